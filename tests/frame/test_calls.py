"""Argument binding and exact-type tests of every method: messages and traceback records."""

import shutil
import subprocess
import sys
import sysconfig
import traceback
from pathlib import Path

import pytest

from zelvo.server.handlers.flowsync import DAGHandler
from zelvo.server.handlers.pipeline_export.pipeport import ZelvoPipelineExportHandler

transmit, finish = DAGHandler.transmit, DAGHandler._finish_with_result
remove = DAGHandler._remove_unused_kernels_on_cabinet
get, post = DAGHandler.get.__wrapped__, DAGHandler.post.__wrapped__
pipeline = ZelvoPipelineExportHandler._get_pipeline
bound = object.__new__(ZelvoPipelineExportHandler)._get_pipeline

SOURCES = Path(__file__).resolve().parents[2]
FLOWSYNC = "zelvo.server.handlers.flowsync"
PIPEPORT = "zelvo.server.handlers.pipeline_export.pipeport"
NOTE = ". Subclasses of built-in types are rejected: the value must be of exactly that type."
TAKES = "{}() takes exactly {} positional argument{} ({} given)"
MANY, ODD, STRINGS = "multiple values for", "an unexpected", "keywords must be strings"
LONG = type("K" * 250, (str,), {})


class Text(str):
    pass


class Payload(dict):
    pass


class Cells(list):
    pass


row = pytest.param


def takes(method, count, given):
    return TAKES.format(method, count, "" if count == 1 else "s", given)


def keyword(method, problem, name):
    return f"{method}() got {problem} keyword argument '{name}'"


def typed(argument, expected, given, note=""):
    return f"Argument '{argument}' has incorrect type (expected {expected}, got {given}){note}"


# The call (with a recording handler `h`) and its message; the record names the method.
BINDING = {
    "one-parameter": row(lambda h: remove(h, 2), takes("_remove_unused_kernels_on_cabinet", 1, 2)),
    "too-few": row(lambda h: transmit("k"), takes("transmit", 2, 1)),
    "too-many": row(lambda h: transmit("k", {}, 1), takes("transmit", 2, 3)),
    "too-many-keywords": row(lambda h: transmit("k", {}, 1, data={}), takes("transmit", 2, 3)),
    # With keywords, the count given is the index of the first unbound parameter.
    "first-by-keyword": row(lambda h: transmit(data={}), takes("transmit", 2, 0)),
    "middle-missing": row(lambda h: finish(h, result={}), takes("_finish_with_result", 3, 1)),
    "last-missing": row(lambda h: finish(h, status_code=200), takes("_finish_with_result", 3, 2)),
    "bound-self-counts": row(lambda h: bound("k", [], "n", "x"), takes("_get_pipeline", 4, 5)),
    "get": row(lambda h: get(h), takes("get", 2, 1)),
    "post": row(lambda h: post(h, "k", 1), takes("post", 2, 3)),
    "multiple": row(
        lambda h: transmit("k", kernel_id="k"), keyword("transmit", MANY, "kernel_id")
    ),
    "generic-call": row(
        lambda h: pipeline(*(h, "k", [], "n"), **{"kernel_id": "k"}),
        keyword("_get_pipeline", MANY, "kernel_id"),
    ),
    "unexpected": row(lambda h: transmit("k", {}, colour=1), keyword("transmit", ODD, "colour")),
}


@pytest.mark.parametrize("call, message", BINDING.values(), ids=BINDING)
def test_binding_error_and_its_record(make_handler, isolated, call, message):
    handler = make_handler()
    with pytest.raises(TypeError) as info:
        call(handler)
    assert str(info.value) == message
    innermost = traceback.extract_tb(info.value.__traceback__)[-1]
    method = message.split("(")[0]
    module, cls = (
        (PIPEPORT, "ZelvoPipelineExportHandler") if "pipe" in method else (FLOWSYNC, "DAGHandler")
    )
    assert innermost.name == f"{module}.{cls}.{method}"
    fn = vars(sys.modules[module])[cls].__dict__[method]
    fn = getattr(fn, "__wrapped__", None) or getattr(fn, "__func__", fn)
    # At the `def` line, which the method's code object gives (checked in test_modules).
    assert (innermost.filename, innermost.lineno) == (
        module.replace(".", "/"),
        fn.__code__.co_firstlineno,
    )


# Exact types, tested in parameter order before the body runs; the frame adds no record,
# nor to keyword dicts with a key that is not a str.
TYPES = {
    "str-subclass": row(
        lambda h: transmit(Text("k"), {}), typed("kernel_id", "str", "Text", NOTE)
    ),
    "int": row(lambda h: get(h, 5), typed("kernel_id", "str", "int")),
    "pipeport-int": row(lambda h: bound(5, [], "n"), typed("kernel_id", "str", "int")),
    # The same types as the row before (each module keeps its own texts): they differ by the
    # argument's name alone.
    "ipynb-name": row(lambda h: bound("k", [], 5), typed("ipynb_name", "str", "int")),
    "none": row(lambda h: post(h, None), typed("kernel_id", "str", "NoneType")),
    "in-order": row(lambda h: transmit(None, None), typed("kernel_id", "str", "NoneType")),
    "data": row(lambda h: transmit("k", {}.keys()), typed("data", "dict", "dict_keys")),
    "dict-subclass": row(
        lambda h: finish(h, 200, Payload()), typed("result", "dict", "Payload", NOTE)
    ),
    "none-for-dict": row(lambda h: finish(h, 200, None), typed("result", "dict", "NoneType")),
    "pipeport": row(lambda h: bound(Text("k"), [], "n"), typed("kernel_id", "str", "Text", NOTE)),
    "tuple-for-list": row(lambda h: bound("k", ("a",), "n"), typed("cell_ids", "list", "tuple")),
    "list-subclass": row(
        lambda h: bound("k", Cells(), "n"), typed("cell_ids", "list", "Cells", NOTE)
    ),
    "name-cut": row(lambda h: transmit(LONG("k"), {}), typed("kernel_id", "str", "K" * 200, NOTE)),
    # Keywords bind by name in any order, `self` included: the type tests show where.
    "by-name": row(lambda h: transmit(data="k", kernel_id={}), typed("kernel_id", "str", "dict")),
    "self-by-keyword": row(
        lambda h: pipeline(ipynb_name="n", cell_ids=(), kernel_id="k", self=h),
        typed("cell_ids", "list", "tuple"),
    ),
    "keyword-not-str": row(lambda h: transmit("k", **{5: 6}), "keywords must be strings"),
    "tp-call": row(lambda h: type(transmit).__call__(transmit, "k", **{5: 6}), STRINGS),
}


@pytest.mark.parametrize("call, message", TYPES.values(), ids=TYPES)
def test_type_error_before_the_body(make_handler, isolated, call, message):
    handler = make_handler({"procedure": None, "status": None, "msg": None, "successful": None})
    with pytest.raises(TypeError) as info:
        call(handler)
    assert str(info.value) == message
    innermost = traceback.extract_tb(info.value.__traceback__)[-1]
    assert (innermost.filename, innermost.name) == (__file__, "<lambda>")
    assert handler.calls == []  # a body that ran would reach the host


@pytest.mark.parametrize(
    "call",
    [
        lambda: transmit(data={}, kernel_id="k"),
        lambda: transmit("k", data={}),
        lambda: transmit(*("k",), **{"data": {}}),
        lambda: transmit(**{"".join(["kernel", "_id"]): "k", "data": {}}),  # not interned
        lambda: type(transmit).__call__(transmit, data={}, kernel_id="k"),
        lambda: object.__new__(DAGHandler).transmit("k", {}),
    ],
    ids=["keywords-reversed", "mixed", "generic", "equal-name", "tp-call", "instance"],
)
def test_binding_succeeds(isolated, call):
    assert call() is None


# A method's body takes one argument per parameter of its descriptor; a body of another
# arity, or a descriptor with more names than it has room for, must not compile.
DESCRIBED = """
#include "frame/frame.h"
extern frame::Module module;
namespace {
enum Name : int { self, kernel_id };
bool body(ARGUMENTS, int &) noexcept { return true; }
constexpr frame::Method METHOD = {"m", "C.m", 1,
                                  frame::Params{{self}, {kernel_id, &PyUnicode_Type}},
                                  frame::Names{LOCALS}, frame::Annotations{}, nullptr,
                                  frame::method_entry<module, METHOD, body>, nullptr};
}
vectorcallfunc entry = METHOD.entry;
"""


@pytest.mark.parametrize(
    "arguments, local_count, compiles",
    [(2, 0, True), (1, 0, False), (3, 0, False), (2, 17, False)],
    ids=["matching", "too-few-arguments", "too-many-arguments", "too-many-names"],
)
def test_body_arity_is_checked_when_compiled(tmp_path, arguments, local_count, compiles):
    compiler = shutil.which("c++") or shutil.which("g++")
    if compiler is None:
        pytest.skip("no C++ compiler")
    source = tmp_path / "described.cpp"
    source.write_text(DESCRIBED)
    locals_ = ",".join(["self"] * local_count)
    command = [
        compiler,
        "-std=c++17",
        "-fsyntax-only",
        f"-DARGUMENTS={','.join(['PyObject *'] * arguments)}",
    ]
    command += [f"-DLOCALS={locals_}", f"-I{SOURCES}", f"-I{sysconfig.get_paths()['include']}"]
    result = subprocess.run([*command, str(source)], capture_output=True, text=True, timeout=120)
    assert (result.returncode == 0) == compiles, result.stderr
    if arguments != 2:
        assert "the body takes one argument per parameter" in result.stderr
