"""The sections that single benchmarks keep in bench/RESULTS.md beside the full report's."""

import re
from pathlib import Path

RESULTS = Path(__file__).resolve().parent / "RESULTS.md"


def replace(heading, text):
    """Replace the section under ``heading`` (up to the next ## heading) with ``text``, or add
    it at the end."""
    current = RESULTS.read_text()
    pattern = re.compile(rf"^{re.escape(heading)}\n.*?(?=^## |\Z)", re.M | re.S)
    if pattern.search(current):
        current = pattern.sub(lambda _: text + "\n", current, count=1).rstrip("\n") + "\n"
    else:
        current = current.rstrip("\n") + "\n\n" + text
    RESULTS.write_text(current)
