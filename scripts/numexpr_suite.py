#!/usr/bin/env python3
"""Runs numexpr's own test suite against quorvaline.numexpr and reports the share that passes,
on float64 operands and overall, with the causes of the rest grouped.

numexpr's tests import `numexpr`; here that name is quorvaline.numexpr (numexpr's own
submodules stay importable for the few tests that reach into them). Needs numexpr installed
(`pip install ".[bench]"`): its test file is read from the installed package.

    python3 scripts/numexpr_suite.py [-k EXPR] [--show N]
"""
import argparse
import collections
import os
import pathlib
import re
import shutil
import sys
import tempfile

# Causes in the order they are tried; the first pattern found in a test's message names it.
CAUSES = [
    (r"disassemble\(\)", "numexpr's program listing (disassemble)"),
    (r"would give (int32|int64|bool) values|Thread-\d+ failed",
     "integer results (dtype not yet supported)"),
    (r"float32", "float32 operands or results (dtype not yet supported)"),
    (r"complex", "complex data (not yet supported)"),
    (r"strings|contains\(\)|<U|\|S|regarding '(add_sss|ge_bsi)'", "strings (not supported)"),
    (r"should raise exception", "negative axes, which numexpr refuses, reduce as in NumPy here"),
    (r"no '(\w+)' in quorvaline's formulas", "functions not yet in quorvaline's formulas"),
    (r"operator '(%|//|<<|>>|\^)'|expression '.*%",
     "operators not yet in quorvaline's formulas (<< >> ^)"),
    (r"needs comparisons", "& | ~ on non-comparisons (bool and integer operands)"),
    (r"'and'|'or'|'not'", "and, or, not: Python's words (numexpr reads them as & | ~)"),
    (r"only float64 \(double\) inputs", "signatures of other dtypes (not yet supported)"),
    (r"MAX_THREADS|_init_num_threads|vml|cpuinfo|necompiler|utils|OMP_NUM_THREADS",
     "numexpr's internals (thread configuration, VML, compiler)"),
    (r"E\.|ConstantNode|VariableNode|Tracer", "numexpr's expression objects (ConstantNode)"),
]


class Collector:
    """Outcomes by test, with quorvaline's own message where a test turns it into a skip."""

    def __init__(self, module):
        self.outcomes = {}  # nodeid -> (outcome, message)
        self.float64 = set()
        self.refusal = ""
        for name in ("evaluate", "re_evaluate", "NumExpr"):
            setattr(module, name, self.recording(getattr(module, name)))

    def recording(self, function):
        import inspect
        depth = inspect.signature(function).parameters.get("_frame_depth")

        def call(*args, **kwargs):
            if depth is not None:  # this frame stands between the test and the function
                kwargs["_frame_depth"] = kwargs.get("_frame_depth", depth.default) + 1
            try:
                return function(*args, **kwargs)
            except NotImplementedError as error:
                self.refusal = str(error)
                raise
        return call

    def pytest_runtest_setup(self, item):
        self.refusal = ""

    def pytest_collection_modifyitems(self, items):
        import numpy as np
        for item in items:
            params = getattr(getattr(item, "callspec", None), "params", {})
            if params.get("dtype") is np.float64:
                self.float64.add(item.nodeid)

    def pytest_runtest_logreport(self, report):
        if report.when == "call" or report.outcome != "passed":
            old = self.outcomes.get(report.nodeid)
            if old is not None and old[0] != "passed":
                return  # the first failure of a test (setup or call) is its cause
            message = ""
            if report.outcome == "skipped":
                message = self.refusal or (str(report.longrepr[2])
                                           if isinstance(report.longrepr, tuple) else "")
            elif report.outcome == "failed":
                crash = getattr(report.longrepr, "reprcrash", None)
                message = crash.message if crash is not None else str(report.longrepr)[-400:]
            self.outcomes[report.nodeid] = (report.outcome, message)


def cause(message):
    for pattern, label in CAUSES:
        if re.search(pattern, message):
            return label
    return "other: " + message.splitlines()[0][:110] if message else "other"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("-k", default=None, help="pytest's -k selection")
    parser.add_argument("--show", type=int, default=0, help="print N messages of each cause")
    options = parser.parse_args()

    import numexpr  # noqa: F401  (numexpr's submodules, before the name is taken over)
    import numexpr.expressions  # noqa: F401
    import numexpr.necompiler  # noqa: F401
    import numexpr.utils  # noqa: F401
    source = pathlib.Path(numexpr.__file__).parent / "tests" / "test_numexpr.py"
    import quorvaline.numexpr
    sys.modules["numexpr"] = quorvaline.numexpr

    import pytest
    collector = Collector(quorvaline.numexpr)
    with tempfile.TemporaryDirectory() as folder:
        shutil.copy(source, folder)  # away from numexpr's conftest
        args = [os.path.join(folder, "test_numexpr.py"), "-q", "-p", "no:cacheprovider",
                "-W", "ignore", "--no-header", "-rN", "--tb=no"]
        if options.k:
            args += ["-k", options.k]
        pytest.main(args, plugins=[collector])

    groups = {"overall": list(collector.outcomes),
              "float64 operands (test_expressions, dtype float64)":
                  [n for n in collector.outcomes if n in collector.float64]}
    for title, ids in groups.items():
        passed = sum(collector.outcomes[n][0] == "passed" for n in ids)
        share = 100.0 * passed / len(ids) if ids else 0.0
        print(f"{title}: {passed} of {len(ids)} pass ({share:.1f}%); the rest by cause:")
        causes = collections.Counter()
        examples = collections.defaultdict(list)
        for outcome, message in (collector.outcomes[n] for n in ids):
            if outcome != "passed":
                label = cause(message)
                causes[label] += 1
                examples[label].append(message)
        for label, count in causes.most_common():
            print(f"  {count:5d}  {label}")
            for message in examples[label][:options.show]:
                print(f"           {message.splitlines()[0][:150] if message else ''}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
