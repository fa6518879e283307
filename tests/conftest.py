import os
import warnings

# jupyter_core warns on import unless told to use the platformdirs layout,
# and this suite turns warnings into errors.
os.environ.setdefault("JUPYTER_PLATFORM_DIRS", "1")

# Some of Jupyter Server's dependencies warn about their own deprecated
# imports while being imported; that is not ours to fix.
with warnings.catch_warnings():
    warnings.simplefilter("ignore", DeprecationWarning)
    import jupyter_server.serverapp  # noqa: F401

pytest_plugins = ["pytest_jupyter.jupyter_server"]
