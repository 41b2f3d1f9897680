#!/usr/bin/env python3
"""The exhaustive check of the vector exp, log, expf, logf, pow, powf, sin and cos against the math
library this machine loads: every replica this CPU runs; for exp and log over all 2^32 float32
bit patterns widened to double and every double within 2^24 ulps of each threshold of the
library's special paths, for expf and logf over all 2^32 float32 inputs, for pow and powf over
2^30 pseudo-random pairs spread over its special regions, for sin and cos over every float32
below 2^27 of either sign widened and every double within 2^24 ulps of each threshold (the
functions named on the command line, or all). The replicas checked are those of the build of
each function the library runs: its FMA build, or its non-FMA one (recorded as "exp_nofma"
...; run the script under GLIBC_TUNABLES=glibc.cpu.hwcaps=-AVX2,-FMA to check those on an FMA
CPU; sin and cos have FMA copies only).
When no result differs, the library's GNU build-id is recorded for them in
src/exec/vector_libm/checked_builds.inc (the builds on which the engine turns the vector path
on), beside the build's earlier results for the others.

Builds the engine tests (build/engine-tests) if needed. Takes a few minutes on two idle cores."""

import datetime
import pathlib
import re
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parents[1]
BUILD = ROOT / "build" / "engine-tests"
LIST = ROOT / "src" / "exec" / "vector_libm" / "checked_builds.inc"
# {"build-id", "functions", "what" ...}: clang-format splits what into adjacent literals.
ENTRY = re.compile(r'\{"([0-9a-f]+)",\s*"([a-z_ ]*)",(.*?)\},', re.S)
FUNCTIONS = ("exp", "log", "expf", "logf", "pow", "powf", "sin", "cos")
RECORDED = FUNCTIONS + tuple(f + "_nofma" for f in FUNCTIONS[:6])  # each build's replicas
LINE = re.compile(r"^exhaustive: (\w+) (\w+) (\d+) inputs, (\d+) differ$", re.M)


def test_name(function):
    if function in ("pow", "powf"):
        return f"VectorPow/{function}.DISABLED_Exhaustive"
    return f"*.DISABLED_Exhaustive/{function}"


def run(*args):
    subprocess.run(args, cwd=ROOT, check=True)


def main():
    wanted = sys.argv[1:] or list(FUNCTIONS)
    if not set(wanted) <= set(FUNCTIONS):
        sys.exit(f"usage: check_vector_libm.py [{' '.join(FUNCTIONS)}]  (default: all)")
    run(
        "cmake",
        "-S",
        ".",
        "-B",
        str(BUILD),
        "-G",
        "Ninja",
        "-DQUORVALINE_PYTHON=OFF",
        "-DQUORVALINE_TESTS=ON",
    )
    run("cmake", "--build", str(BUILD), "-j2", "--target", "engine_tests")
    out = subprocess.run(
        [
            str(BUILD / "engine_tests"),
            "--gtest_also_run_disabled_tests",
            "--gtest_filter=" + ":".join(test_name(f) for f in wanted),
            "--gtest_brief=0",
        ],
        cwd=ROOT,
        capture_output=True,
        text=True,
    )
    print(out.stdout[-4000:], out.stderr[-2000:], sep="\n")
    results = LINE.findall(out.stdout)
    build_id = subprocess.run(
        [str(BUILD / "engine_tests"), "--gtest_filter=VectorLibmReport.*"],
        cwd=ROOT,
        capture_output=True,
        text=True,
    ).stdout
    match = re.search(r"build-id ([0-9a-f]+)", build_id)
    if out.returncode != 0 or not results or not match:
        print(
            "check_vector_libm: the check failed or did not run; nothing recorded", file=sys.stderr
        )
        return 1
    functions = {f.removesuffix("_nofma") for f, *_ in results}
    if functions != set(wanted):
        print(f"check_vector_libm: only {sorted(functions)} ran; nothing recorded", file=sys.stderr)
        return 1
    per_function = {}
    for f, isa, n, _ in results:
        per_function.setdefault(f, (n, []))[1].append(isa)
    today = datetime.date.today()
    items = {
        f: f"{today}: {f} ({' '.join(isas)}) {n} inputs, 0 differ"
        for f, (n, isas) in per_function.items()
    }
    text = LIST.read_text()
    header = "".join(ln for ln in text.splitlines(keepends=True) if ln.startswith("//"))
    entries = list(ENTRY.finditer(text))
    # The build's earlier results stand for the functions not checked again.
    for m in entries:
        if m.group(1) != match.group(1):
            continue
        for item in "".join(re.findall(r'"([^"]*)"', m.group(3))).split("; "):
            f = re.match(r"[\d-]+: (\w+) ", item)
            if f and f.group(1) in RECORDED:
                items.setdefault(f.group(1), item)
    names = " ".join(f for f in RECORDED if f in items)
    what = "; ".join(items[f] for f in RECORDED if f in items)
    entry = f'{{"{match.group(1)}", "{names}", "{what}"}},\n'
    others = [m.group(0) + "\n" for m in entries if m.group(1) != match.group(1)]
    LIST.write_text(header + "".join(others) + entry)
    subprocess.run(["clang-format", "-i", str(LIST)], check=False)  # the style check's layout
    print(f"check_vector_libm: recorded {match.group(1)} in {LIST.relative_to(ROOT)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
