"""Read the sanitizer reports of a `make test-asan` run; exit 1 if any counts.

The runtimes write one file per process (``<kind>.<executable>.<pid>``) instead of failing
the process, so that a child interpreter's leak report fails the run rather than confuse the
test that started it. Every report of an interpreter process counts (the test runner, the
servers and child interpreters it starts, the kernels), except a leak report of a few
allocations: a leak of the modules repeats with the path that makes it, and the suite runs
every path many times over, while an interpreter that exits with daemon threads still running
(a kernel, a server) may leave one or two of their blocks behind. Other programs that inherit
the preloaded runtime (the compiler and shell a test runs) are not built by this project;
their leak reports are only counted, but any other report of theirs still fails the run.
"""

import collections
import pathlib
import re
import sys

# Leak reports of an interpreter with at most this many leaked allocations are shown only.
STRAY_ALLOCATIONS = 4


def leaked_allocations(text):
    found = re.search(r"SUMMARY: AddressSanitizer: \d+ byte\(s\) leaked in (\d+) allocation", text)
    return int(found.group(1)) if found else 0


def main(folder):
    failed = False
    others = collections.Counter()
    for path in sorted(pathlib.Path(folder).glob("*.*.*")):
        text = path.read_text(errors="replace")
        executable = path.name.split(".")[1]
        only_leaks = "LeakSanitizer" in text and not re.search(
            r"ERROR: AddressSanitizer|runtime error:", text
        )
        if not only_leaks:
            failed = True
            print(f"== {path.name}\n{text}")
        elif executable.startswith("python"):
            stray = leaked_allocations(text) <= STRAY_ALLOCATIONS
            failed = failed or not stray
            print(f"== {path.name}{' (stray blocks, not counted)' if stray else ''}\n{text}")
        else:
            others[executable] += 1
    if others:
        print("leak reports of other programs, not counted:", dict(others))
    print("sanitizers: " + ("REPORTS FOUND" if failed else "no report of the interpreter"))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
