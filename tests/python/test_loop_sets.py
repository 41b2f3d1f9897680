"""Loop sets: forcing one through QUORVALINE_LOOP_SET, and every set giving the same bits.

Each case runs in a new interpreter, since the set is chosen once per process. The bit-exact
suites run once per set in scripts/test-all; here the sets are compared with each other
directly, on values where a loop set could differ: NaNs of several payloads and signs on
either side of sums and products, the lanes the constant powers leave to pow, and counts
that end in partial vectors.
"""

import os
import subprocess
import sys

import pytest

from quorvaline import _native

SUPPORTED = _native.loop_sets()

# Prints the set in use and the bytes of several formulas over hard values.
SCRIPT = """
import hashlib
import numpy as np
from quorvaline import _native, evaluate

rng = np.random.default_rng(7)
n = 10_007                                   # over the pool's threshold, no multiple of 8
nans = np.array([0x7FF8000000000001, 0xFFF8000000000002, 0x7FF0000000000003,
                 0xFFF4000000000000], dtype=np.uint64).view(np.float64)
special = np.array([0.0, -0.0, np.inf, -np.inf, 5e-324, -5e-324, 1e308, 2.0 ** -1022])

def column():
    x = rng.standard_normal(n) * 10.0 ** rng.integers(-8, 8, n)
    x[rng.integers(0, n, n // 10)] = rng.choice(nans, n // 10)
    x[rng.integers(0, n, n // 20)] = rng.choice(special, n // 20)
    return x

ops = {"a": column(), "b": column(), "c": column()}
digest = hashlib.sha256()
for text in ["a + b", "a * b", "a * b + c", "a + b * c", "sqrt(a)", "a ** 2 + b ** 3",
             "a ** 4 - b ** 0.5", "a ** -1 * b ** 1", "(a - b) ** 2 + (b - c) ** 2",
             "where(a > b, a * c, b + c)", "((a * 0.5 + b) * c + 1.5) * a + b / 4"]:
    for operands in (ops, {**ops, "b": 1.5}):
        used = {k: v for k, v in operands.items() if k in text}
        digest.update(evaluate(text, **used).tobytes())
print(_native.loop_set(), digest.hexdigest())
"""


def run_with(loop_set):
    env = dict(os.environ, QUORVALINE_LOOP_SET=loop_set)
    if "ASAN_OPTIONS" in env:  # pool threads left at exit keep what they hold, by design
        env["ASAN_OPTIONS"] += ":detect_leaks=0"
    return subprocess.run(
        [sys.executable, "-c", SCRIPT], capture_output=True, text=True, timeout=120, env=env
    )


def test_the_default_is_the_widest_set_this_cpu_runs():
    assert SUPPORTED[0] == "baseline"
    if not os.environ.get("QUORVALINE_LOOP_SET"):
        assert _native.loop_set() == SUPPORTED[-1]


def test_every_set_gives_the_same_bits():
    outputs = {}
    for name in SUPPORTED:
        done = run_with(name)
        assert done.returncode == 0, done.stderr[-3000:]
        used, digest = done.stdout.split()
        assert used == name
        outputs[name] = digest
    assert len(set(outputs.values())) == 1, outputs


@pytest.mark.parametrize(
    "value, says",
    [
        (
            "sse9",
            "QUORVALINE_LOOP_SET=sse9 names no loop set; the names are baseline, avx2, avx512",
        ),
        ("AVX2", "QUORVALINE_LOOP_SET=AVX2 names no loop set"),
    ]
    + [
        (name, f"QUORVALINE_LOOP_SET={name}: this CPU or build cannot run it")
        for name in ("avx2", "avx512")
        if name not in SUPPORTED
    ],
)
def test_a_set_that_cannot_run_fails_the_import(value, says):
    done = run_with(value)
    assert done.returncode != 0
    assert "ImportError: " + says in done.stderr, done.stderr[-3000:]
