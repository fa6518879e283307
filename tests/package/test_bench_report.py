"""bench/report.py explains a missed target only with what the figures show, whatever they are."""

import copy
import importlib.util
import json
import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
spec = importlib.util.spec_from_file_location("bench_report", ROOT / "bench" / "report.py")
report = importlib.util.module_from_spec(spec)
spec.loader.exec_module(report)
MEASURED = json.loads((ROOT / "bench" / "results" / "3.13.json").read_text())


def behind(data, key, ratio):
    """Makes `key` run at `ratio` of the plain twin's speed."""
    entry = data["micro"][key]
    entry["time"]["native"] = entry["time"]["plain"] / ratio
    entry["ratio"]["plain"] = ratio
    entry["spread"]["plain"] = [ratio, ratio]


# (native call, bytecode call, native ÷ floor of the empty path), sentences that must and must
# not be written.
CASES = {
    "a call from native code is cheaper": (
        (45e-9, 53e-9, 0.95),
        ["formats its message and makes a code object", "give no cause for the rest"],
        ["spend their time", "calls into Python code (),", "no loop through the C API can beat"],
    ),
    "a call from native code is dearer": (
        (36e-9, 11e-9, 0.95),
        ["Those that call Python code spend their time there", "formats its message"],
        ["They spend their time", "give no cause", "calls into Python code (),"],
    ),
    "the native method is behind the floor": (
        (36e-9, 11e-9, 2.0),
        ["more than 1.2× slower than the floor"],
        ["as fast as the floor", "the limit: the interpreter"],
    ),
}


@pytest.mark.parametrize("case", CASES)
def test_sentences_hold_for_the_figures(case):
    (native, bytecode, at_floor), present, absent = CASES[case]
    data = copy.deepcopy(MEASURED)
    data["interpreter"]["call"] = {"native": native, "bytecode": bytecode}
    for key in ("pipeline_binding_error", "pipeline_type_error", "get_unknown"):
        behind(data, key, 0.5)
    for key in ("pipeline_empty_pos", "pipeline_empty_kw"):
        times = data["micro"][key]["time"]
        times["native"] = times["floor"] * at_floor
    text = "\n".join(report.analysis({"3.13": data}))
    for sentence in present:
        assert sentence in text
    for sentence in absent:
        assert sentence not in text
    assert not re.search(r"-\d", text)  # no negative durations
