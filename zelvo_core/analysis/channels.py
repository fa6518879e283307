"""What a cell's code passes to later cells other than by names: files, views, stateful objects.

The walk asks these questions of single expressions; the tables say which calls count. Each
answer errs toward an extra dependency rather than a missing one.
"""

from __future__ import annotations

import ast
import functools
import os

# Methods that change the object they are called on, so that `x.m(...)` revises x: those of
# list, dict, set and collections.deque that work in place, and the training methods of the
# common estimator and model libraries (which return the object, or a history, but keep
# what they learnt in it). Besides these, any call with `inplace=` (unless `inplace=False`).
MUTATING_METHODS = frozenset(
    {
        # list, dict, set, deque
        "append", "extend", "insert", "remove", "pop", "clear", "sort", "reverse",
        "update", "setdefault", "popitem", "add", "discard", "difference_update",
        "intersection_update", "symmetric_difference_update", "appendleft", "extendleft",
        "popleft", "rotate",
        # arrays
        "fill", "resize", "itemset",
        # estimators and models
        "fit", "partial_fit", "fit_transform", "fit_predict", "compile", "train",
        "set_params", "load_state_dict", "build",
    }
)  # fmt: skip
# Functions (called by name or as an attribute, e.g. `np.random.shuffle`) that change their
# first argument.
MUTATING_FUNCTIONS = frozenset(
    {"shuffle", "heapify", "heappush", "heappop", "heappushpop", "heapreplace", "setattr",
     "delattr", "copyto", "put", "place", "putmask", "next"}
)  # fmt: skip


# Functions and methods that write the file named by a string literal among their first two
# positional arguments, or by one of FILE_KEYWORDS (`np.save("a", x)`, `torch.save(m, "m.pt")`,
# `df.to_csv("a.csv")`, `plt.savefig("a.png")`). A literal that names no file (a separator,
# a format) only adds a path that nothing reads.
WRITING_CALLS = frozenset(
    {
        "to_csv", "to_excel", "to_json", "to_parquet", "to_pickle", "to_feather", "to_hdf",
        "to_html", "to_latex", "to_markdown", "to_stata", "to_xml", "to_orc", "to_netcdf",
        "to_sql", "savefig", "save", "savez", "savez_compressed", "savetxt", "tofile",
        "imsave", "imwrite", "dump", "save_model", "save_weights", "write_text",
        "write_bytes", "urlretrieve", "copyfile", "copy", "copy2", "move", "rename",
        "to_file", "export_graphviz", "write_image", "write_html",
    }
)  # fmt: skip
# Functions and methods that read the file so named (`open` by its mode).
READING_CALLS = frozenset(
    {
        "read_csv", "read_table", "read_excel", "read_json", "read_parquet", "read_pickle",
        "read_feather", "read_hdf", "read_html", "read_fwf", "read_stata", "read_sas",
        "read_spss", "read_xml", "read_orc", "load", "loadtxt", "genfromtxt", "fromfile",
        "imread", "read_text", "read_bytes", "load_model", "load_weights", "load_workbook",
        "loadmat", "read_file", "read_image", "ExcelFile", "copyfile", "copy",
        "copy2", "move", "rename", "listdir", "glob", "exists", "isfile", "getsize",
        "read_sql",
    }
)  # fmt: skip
FILE_KEYWORDS = frozenset(
    {"file", "fname", "filename", "filepath", "path", "path_or_buf", "filepath_or_buffer",
     "io", "excel_writer", "buf", "out_file", "f", "uri"}
)  # fmt: skip
_FILE_CALLS = WRITING_CALLS | READING_CALLS | {"open"}
# Where NumPy adds a suffix to the name it is given.
_SUFFIXES = {"save": ".npy", "savez": ".npz", "savez_compressed": ".npz"}
# pathlib's classes: `Path("a").write_text(...)` writes "a".
_PATHS = frozenset({"Path", "PurePath", "PosixPath", "WindowsPath"})

# Calls whose result is an object that changes as it is used: a method call on a name bound
# to one (`rng.integers(...)`, `f.readline()`) changes it. Also generator expressions, and
# `next(x)` changes x whatever it is (see MUTATING_FUNCTIONS).
STATEFUL_CALLS = frozenset(
    {
        "default_rng", "RandomState", "Random", "SystemRandom", "Generator", "open", "iter",
        "StringIO", "BytesIO", "reader", "DictReader", "writer", "DictWriter", "urlopen",
        "TextIOWrapper", "scandir", "walk", "iterrows", "itertuples", "Popen",
        "SeedSequence", "PCG64", "MT19937", "Philox", "SFC64", "RandomStreams",
    }
)  # fmt: skip
# itertools' iterators, by a name common elsewhere (`df.count()`): called by themselves, or
# as attributes of itertools.
_ITERTOOLS = frozenset({"count", "cycle", "repeat", "islice", "chain", "tee"})
# Built-in functions that make iterators, called by themselves (`df.map` is not).
_ITERATING = frozenset({"zip", "map", "filter", "enumerate", "reversed"})

# Attributes and methods whose result may share memory with their object: a name bound to
# one is an alias of the object's name (`b = a.T`, `b = a.loc[...]`, `b = a.reshape(2, 3)`).
# A subscript counts too (`b = a[:2]`: a NumPy view; a copy for a list, an extra dependency).
VIEW_ATTRIBUTES = frozenset(
    {"T", "mT", "loc", "iloc", "at", "iat", "values", "real", "imag", "flat", "base", "data",
     "array"}
)  # fmt: skip
VIEW_METHODS = frozenset(
    {"view", "reshape", "ravel", "transpose", "swapaxes", "squeeze", "diagonal", "to_numpy",
     "as_strided", "expand_dims", "moveaxis", "get", "__array__", "asarray", "as_tensor",
     "from_numpy", "numpy"}
)  # fmt: skip


def changes_in_place(call):
    """Whether a method call changes its object: its name, or an `inplace=` argument."""
    if call.func.attr in MUTATING_METHODS:
        return True
    for keyword in call.keywords:
        if keyword.arg == "inplace":
            value = keyword.value
            return not (isinstance(value, ast.Constant) and value.value is False)
    return False


def dotted(node):
    """ "a.b.c" for a chain of attributes from a name, else None."""
    parts = []
    while isinstance(node, ast.Attribute):
        parts.append(node.attr)
        node = node.value
    if not isinstance(node, ast.Name):
        return None
    parts.append(node.id)
    return ".".join(reversed(parts))


def viewed(node):
    """The name whose object ``node`` (an assigned value) may share memory with, or None."""
    while True:
        if isinstance(node, ast.Name):
            return node.id
        if (
            isinstance(node, ast.Subscript)
            or isinstance(node, ast.Attribute)
            and node.attr in VIEW_ATTRIBUTES
        ):
            node = node.value
        elif (
            isinstance(node, ast.Call)
            and isinstance(node.func, ast.Attribute)
            and node.func.attr in VIEW_METHODS
        ):
            # `a.view()`, or `np.asarray(a)` / `torch.from_numpy(a)`: the first argument.
            node = node.args[0] if node.func.attr in _WRAPPING and node.args else node.func.value
        else:
            return None


# Functions whose first argument is the object whose memory the result shares.
_WRAPPING = frozenset({"asarray", "as_tensor", "from_numpy", "as_strided", "expand_dims",
                       "moveaxis"})  # fmt: skip


def is_stateful(node):
    """Whether ``node`` (an assigned value) makes an object that changes as it is used."""
    if isinstance(node, ast.GeneratorExp):
        return True
    if not isinstance(node, ast.Call):
        return False
    function = node.func
    if isinstance(function, ast.Name):
        name = function.id
        return name in STATEFUL_CALLS or name in _ITERTOOLS or name in _ITERATING
    if not isinstance(function, ast.Attribute):
        return False
    if function.attr in _ITERTOOLS:
        return isinstance(function.value, ast.Name) and function.value.id == "itertools"
    return function.attr in STATEFUL_CALLS


def _literal(node):
    if isinstance(node, ast.Constant) and isinstance(node.value, str) and node.value:
        return os.path.normpath(node.value)
    return None


def files(call):
    """(paths read, paths written) by a call, as far as string literals name them."""
    function = call.func
    if isinstance(function, ast.Name):
        name, owner = function.id, None
    elif isinstance(function, ast.Attribute):
        name, owner = function.attr, function.value
    else:
        return (), ()
    if name not in _FILE_CALLS:
        return (), ()
    if (
        isinstance(owner, ast.Call)
        and isinstance(owner.func, (ast.Name, ast.Attribute))
        and (getattr(owner.func, "id", None) or getattr(owner.func, "attr", None)) in _PATHS
        and owner.args
    ):
        # `Path("a").write_text(...)`, `Path("a").open("w")`: the path is the Path's.
        named = [_literal(owner.args[0])]
        if name == "open":
            call = ast.Call(function, [owner.args[0], *call.args], call.keywords)
    else:
        named = [_literal(argument) for argument in call.args[:2]]
        named += [_literal(k.value) for k in call.keywords if k.arg in FILE_KEYWORDS]
    paths = [path for path in named if path is not None]
    if not paths:
        return (), ()
    if name == "open":
        return _opened(call, paths)
    reads = paths if name in READING_CALLS else []
    writes = paths if name in WRITING_CALLS else []
    suffix = _SUFFIXES.get(name)
    if suffix:
        writes = [path if path.endswith(suffix) else path + suffix for path in writes]
    if name in ("copyfile", "copy", "copy2", "move", "rename") and len(paths) > 1:
        reads, writes = paths[:1], paths[1:]
    return tuple(reads), tuple(writes)


def _opened(call, paths):
    """`open(path, mode)`: reads, writes, or both (`r+`, `a`)."""
    mode = call.args[1] if len(call.args) > 1 else None
    for keyword in call.keywords:
        if keyword.arg == "mode":
            mode = keyword.value
    if mode is None:
        return tuple(paths[:1]), ()
    if not (isinstance(mode, ast.Constant) and isinstance(mode.value, str)):
        return tuple(paths[:1]), tuple(paths[:1])  # a mode the code computes: either
    text = mode.value
    writes = tuple(paths[:1]) if any(c in text for c in "wax+") else ()
    reads = tuple(paths[:1]) if "w" not in text and "x" not in text else ()
    return reads, writes


@functools.lru_cache(maxsize=4096)
def module_files(module):
    """The files an import of ``module`` may run from the notebook's folder."""
    parts = module.split(".")
    return (
        os.path.join(*parts) + ".py",
        os.path.join(*parts, "__init__.py"),
    )
