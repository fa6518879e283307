import os
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

SOURCES = Path(__file__).resolve().parents[2]
MESSAGE = (
    "compile time Python version {claimed} of module '{name}' does not match runtime version "
    "{runtime}"
)


@pytest.fixture(scope="module")
def claiming_module(tmp_path_factory):
    """flowsync built for this interpreter but claiming to be built for 3.7."""
    cmake = shutil.which("cmake", path=os.path.dirname(sys.executable)) or shutil.which("cmake")
    if cmake is None:
        pytest.skip("cmake is not installed")
    build = tmp_path_factory.mktemp("claiming-build")
    configure = [cmake, "-S", str(SOURCES), "-B", str(build), "-DZELVO_CLAIM_VERSION=3.7"]
    configure += [f"-DPython_EXECUTABLE={sys.executable}", "-DSKBUILD_DATA_DIR=data"]
    for command in (configure, [cmake, "--build", str(build), "--target", "flowsync"]):
        subprocess.run(command, check=True, capture_output=True, timeout=600)
    return build / ("flowsync" + sysconfig.get_config_var("EXT_SUFFIX"))


LOAD = """
import importlib.util, sys
import zelvo.server.handlers  # the package that the module's relative imports need
spec = importlib.util.spec_from_file_location("zelvo.server.handlers.flowsync", sys.argv[1])
module = importlib.util.module_from_spec(spec)
sys.modules[spec.name] = module
spec.loader.exec_module(module)
print(type(module.DAGHandler).__name__)
"""


@pytest.mark.parametrize("as_error", [False, True])
def test_version_mismatch_warns(claiming_module, tmp_path, as_error):
    runtime = "{}.{}".format(*sys.version_info[:2])
    message = MESSAGE.format(claimed="3.7", name="zelvo.server.handlers.flowsync", runtime=runtime)
    action = "error" if as_error else "always"
    child = subprocess.run(
        [sys.executable, "-W", f"{action}::RuntimeWarning", "-c", LOAD, str(claiming_module)],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert f"RuntimeWarning: {message}" in child.stderr
    if as_error:
        # A warning turned into an error fails the initialisation.
        assert child.returncode != 0
    else:
        assert child.returncode == 0 and child.stdout.strip() == "type"
