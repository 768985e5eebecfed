"""Importing each module of the package in a fresh interpreter, against
importing the outside libraries it loads (every module the import adds to
sys.modules that is not the package's own), alone, in a fresh interpreter.
Both are measured with `python3 -X importtime`, the interpreter's own start-up
left out; each round is one fresh interpreter.

    PYTHONPATH=build /usr/bin/python3 benchmarks/bench_import.py
"""

import ast
import importlib.machinery
import os
import pathlib
import subprocess
import sys

from harness import Case, run

import vesprand_python_configuration

PACKAGE = vesprand_python_configuration.__name__
FOLDER = pathlib.Path(vesprand_python_configuration.__file__).parent
ENV = {**os.environ, "PYTHONPATH": os.pathsep.join([str(FOLDER.parent), *sys.path[1:]])}
MARK = "-- imports --"


def modules():
    suffixes = sorted(importlib.machinery.EXTENSION_SUFFIXES, key=len, reverse=True)
    names = set()
    for path in FOLDER.iterdir():
        suffix = next((s for s in suffixes if path.name.endswith(s)), None)
        if suffix:
            names.add(path.name[: -len(suffix)])
    return sorted(names)


def python(code, *options):
    return subprocess.run(
        [sys.executable, "-P", *options, "-c", code],
        env=ENV, capture_output=True, text=True, check=True,
    )  # fmt: skip


def outside_libraries(module):
    """The modules, in import order, that importing `module` loads besides
    the package's own."""
    code = (
        "import sys; before = set(sys.modules)\n"
        f"import {PACKAGE}.{module}\n"
        "print(repr([n for n in sys.modules if n not in before]))"
    )
    loaded = ast.literal_eval(python(code).stdout)
    return [name for name in loaded if name != PACKAGE and not name.startswith(PACKAGE + ".")]


def import_seconds(code):
    """Seconds the top-level imports of `code` took in a fresh interpreter."""
    stderr = python(f"import sys; sys.stderr.write({MARK!r} + '\\n')\n{code}", "-X", "importtime")
    lines = stderr.stderr.split(MARK + "\n", 1)[1].splitlines()
    total = 0
    for line in lines:
        if not line.startswith("import time:") or "cumulative" in line:
            continue
        _, cumulative, name = line.split("|")
        if not name.startswith("  "):  # a top-level import, not a nested one
            total += int(cumulative)
    return total / 1e6


def cases(stack):
    out = []
    for module in modules():
        libraries = outside_libraries(module)
        floor = (
            f"for name in {libraries!r}:\n"
            "    try: __import__(name)\n"
            "    except Exception: pass\n"
        )
        out.append(
            Case(f"import {module} / its outside libraries alone",
                 lambda module=module: import_seconds(f"import {PACKAGE}.{module}"),
                 lambda floor=floor: import_seconds(floor), rounds=5, timed=True)  # fmt: skip
        )
    return out


if __name__ == "__main__":
    run(cases)
