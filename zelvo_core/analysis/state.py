"""Libraries' global state: which calls change it, and which uses read it.

Each library's state is a synthetic name, "<state:matplotlib>", that a cell changing it
revises and a cell using the library reads, so that the Linker links them as it links any
name. A cell uses a library when it reads (or imports) a name bound to the library or one
of its modules by import. Random generators are a state of their own ("<state:numpy.random>"):
a cell drawing from numpy's global generator advances it, and depends on the cells that drew
before it, but a cell computing `np.sin(x)` does not.
"""

from __future__ import annotations

import functools

from .channels import MUTATING_METHODS


def state(library):
    return f"<state:{library}>"


def is_state(name):
    return name.startswith("<state:")


WARNINGS = state("warnings")

# Calls that change a library's state, by the module path called, and the states they
# change. `plt.style.use(...)` with `import matplotlib.pyplot as plt` calls
# "matplotlib.pyplot.style.use". Magics count as calls of their name ("%matplotlib").
_MATPLOTLIB = ("matplotlib",)
_SEEDS = ("numpy", "numpy.random", "random", "tensorflow", "keras")
STATE_CALLS = {
    **dict.fromkeys(
        (f"matplotlib.{name}" for name in ("rc", "rcdefaults", "rc_file", "rc_file_defaults",
                                           "use", "style.use", "interactive")), _MATPLOTLIB),
    **dict.fromkeys(
        (f"matplotlib.pyplot.{name}" for name in ("rc", "rcdefaults", "style.use", "xkcd",
                                                  "switch_backend", "ion", "ioff", "set_cmap")),
        _MATPLOTLIB),
    **dict.fromkeys(
        (f"seaborn.{name}" for name in ("set", "set_theme", "set_style", "set_context",
                                        "set_palette", "set_color_codes", "reset_defaults",
                                        "reset_orig")), _MATPLOTLIB),
    "pandas.plotting.register_matplotlib_converters": _MATPLOTLIB,
    "IPython.display.set_matplotlib_formats": _MATPLOTLIB,
    "matplotlib_inline.backend_inline.set_matplotlib_formats": _MATPLOTLIB,
    "%matplotlib": _MATPLOTLIB,
    "%config InlineBackend": _MATPLOTLIB,
    "numpy.random.seed": ("numpy", "numpy.random"),
    "numpy.random.set_state": ("numpy", "numpy.random"),
    **dict.fromkeys(
        (f"numpy.{name}" for name in ("set_printoptions", "seterr", "seterrcall", "setbufsize",
                                      "set_string_function")), ("numpy",)),
    "random.seed": ("random",),
    "random.setstate": ("random",),
    **dict.fromkeys(
        (f"torch.{name}" for name in ("manual_seed", "seed", "random.manual_seed", "random.seed",
                                      "set_rng_state", "random.set_rng_state",
                                      "cuda.manual_seed", "cuda.manual_seed_all")),
        ("torch", "torch.random")),
    **dict.fromkeys(
        (f"torch.{name}" for name in ("set_default_dtype", "set_default_tensor_type",
                                      "set_default_device", "set_grad_enabled",
                                      "use_deterministic_algorithms", "set_printoptions",
                                      "set_num_threads", "set_float32_matmul_precision")),
        ("torch",)),
    "tensorflow.random.set_seed": ("tensorflow",),
    "tensorflow.keras.utils.set_random_seed": _SEEDS,
    "keras.utils.set_random_seed": _SEEDS,
    "tensorflow.keras.backend.set_floatx": ("tensorflow",),
    "tensorflow.keras.backend.clear_session": ("tensorflow",),
    "keras.backend.clear_session": ("keras",),
    "pandas.set_option": ("pandas",),
    "pandas.reset_option": ("pandas",),
    "sklearn.set_config": ("sklearn",),
    "warnings.filterwarnings": ("warnings",),
    "warnings.simplefilter": ("warnings",),
    "warnings.resetwarnings": ("warnings",),
    "logging.basicConfig": ("logging",),
    "logging.disable": ("logging",),
}  # fmt: skip
# Calls under these modules change those states: TensorFlow's configuration.
STATE_MODULES = {"tensorflow.config": ("tensorflow",)}
# Objects of a library's state that change when assigned into or changed in place
# (`mpl.rcParams["lines.linewidth"] = 2`, `pd.options.display.max_rows = 9`).
STATE_OBJECTS = {
    "matplotlib.rcParams": _MATPLOTLIB,
    "matplotlib.pyplot.rcParams": _MATPLOTLIB,
    "pandas.options": ("pandas",),
    "torch.backends": ("torch",),
}
# The global generators: any other function of these modules draws from them, which
# advances them ("numpy.random.rand", "random.choice").
RANDOM_MODULES = {"numpy.random": "numpy.random", "random": "random", "torch": "torch.random"}
NOT_DRAWING = frozenset(
    {"default_rng", "RandomState", "Generator", "SeedSequence", "BitGenerator", "PCG64",
     "PCG64DXSM", "MT19937", "Philox", "SFC64", "get_state", "Random", "SystemRandom",
     "getstate"}
)  # fmt: skip
# torch's functions that draw from its generator (the rest of torch does not).
TORCH_DRAWING = frozenset(
    {"rand", "randn", "randint", "randperm", "rand_like", "randn_like", "randint_like",
     "normal", "bernoulli", "multinomial", "poisson"}
)  # fmt: skip

# The states a use of a library reads, besides its own: seaborn draws with matplotlib's
# settings; scikit-learn and SciPy draw from numpy's global generator (random_state=None).
ALSO_READ = {
    "seaborn": ("matplotlib",),
    "sklearn": ("numpy.random",),
    "scipy": ("numpy.random",),
}
# Methods that draw with matplotlib (pandas' plotting, and Axes and Figures made in another
# cell): a call reads matplotlib's state.
PLOTTING_METHODS = frozenset(
    {"plot", "hist", "boxplot", "scatter_matrix", "bar", "barh", "scatter", "imshow",
     "savefig", "pie", "area", "kde", "density", "hexbin", "errorbar", "fill_between",
     "contour", "contourf", "pcolormesh", "violinplot", "matshow", "stem", "step"}
)  # fmt: skip
# The states that decide how a value is shown (print options, display options): a cell
# that shows one (it ends with an expression, or calls print or display) reads them.
SHOWING = (state("pandas"), state("numpy"))
SHOWING_CALLS = frozenset({"print", "display"})


# pyplot's current figure, where it persists from cell to cell (a backend that does not
# close figures after each cell): a cell drawing with pyplot leaves one open unless it
# shows or closes it at last, and a cell whose first use of pyplot is one of these, which
# act on the current figure without drawing a new one, depends on the cell that left it.
FIGURE = state("matplotlib.pyplot.figure")
ON_CURRENT_FIGURE = frozenset(
    {"savefig", "title", "xlabel", "ylabel", "legend", "colorbar", "gca", "gcf",
     "tight_layout", "xlim", "ylim", "axis", "grid", "text", "annotate", "suptitle",
     "subplots_adjust", "xticks", "yticks", "xscale", "yscale", "clim", "figlegend", "draw",
     "show"}
)  # fmt: skip
CLOSING = frozenset({"show", "close", "clf", "cla"})


def figure_use(functions):
    """(whether a cell reads the current figure, whether it leaves one open) from the pyplot
    functions it calls, in order."""
    if not functions:
        return False, None
    return functions[0] in ON_CURRENT_FIGURE, functions[-1] not in CLOSING


@functools.lru_cache(maxsize=4096)
def changed_by(path, how):
    """The states a call of, or an assignment into, module path ``path`` changes."""
    found = []
    if how == "call":
        found += STATE_CALLS.get(path, ())
        for module, states in STATE_MODULES.items():
            if path.startswith(module + "."):
                found += states
        module, _, function = path.rpartition(".")
        drawn = RANDOM_MODULES.get(module)
        if module == "torch" and function not in TORCH_DRAWING:
            drawn = None
        if drawn and function not in NOT_DRAWING and not function.startswith("_"):
            found.append(drawn)
    for owner, states in STATE_OBJECTS.items():
        if path == owner or path.startswith(owner + "."):
            rest = path[len(owner) + 1 :]
            # A store anywhere in it, or a call of a method that changes it in place.
            if how == "store" or (rest and rest.rpartition(".")[2] in MUTATING_METHODS):
                found += states
    return tuple(state(library) for library in dict.fromkeys(found))


@functools.lru_cache(maxsize=4096)
def read_by(module):
    """The states a use of ``module`` (a name bound to it by import) reads."""
    library = module.partition(".")[0]
    return (state(library), *(state(other) for other in ALSO_READ.get(library, ())), WARNINGS)
