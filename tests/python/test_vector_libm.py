"""exp, log and pow over float64 and float32 arrays, sin and cos over float64 ones, give the
math library's bits on whichever path the engine chose at load (scripts/test-all runs this file
with the vector path on and with it off), and the choice is the one show_config() reports."""

import ctypes
import ctypes.util
import json
import os
import subprocess
import sys

import numpy as np
import pytest

import quorvaline as qv

LIBM = ctypes.CDLL(ctypes.util.find_library("m"))
SETTING = os.environ.get("QUORVALINE_VECTOR_LIBM")


UNARY = ("exp", "log", "expf", "logf", "sin", "cos")
FUNCTIONS = UNARY + ("pow", "powf")


def library(name):
    f = getattr(LIBM, name)
    c_type = ctypes.c_float if name.endswith("f") else ctypes.c_double
    arity = 2 if name.startswith("pow") else 1
    f.restype, f.argtypes = c_type, [c_type] * arity
    return np.frompyfunc(f, arity, 1)


def edge_values():
    """Each special path's thresholds and their neighbours, the special values, NaN payloads."""
    edges = [
        0.0,
        2.0**-54,
        512.0,
        1024.0,
        709.782712893384,
        708.3964185322641,
        745.1332191019411,
        0.9375,
        1.064697265625,
        1.0,
        2.0**-1022,
        0.6875,
        1.375,
        5e-324,
        1.7976931348623157e308,
        np.inf,
    ]
    with np.errstate(over="ignore"):
        near = [np.nextafter(e, d) for e in edges for d in (-np.inf, np.inf)]
    values = np.array(edges + near)
    payloads = np.array([0x7FF4000000000001, 0xFFF800000000BEEF], dtype=np.uint64)
    return np.concatenate([values, -values, payloads.view(np.float64), [np.nan]])


def inputs(name):
    rng = np.random.default_rng(28)
    n = 40_000
    if name.endswith("f"):  # float32: every pattern class, the double inputs rounded
        patterns = rng.integers(0, 2**32, n, dtype=np.uint64).astype(np.uint32).view(np.float32)
        with np.errstate(over="ignore", invalid="ignore"):  # large doubles, NaN payloads
            return np.concatenate([inputs(name[:-1]).astype(np.float32), patterns])
    if name in ("sin", "cos"):
        # The paths without reduction, many quadrants, every binade the vector code takes, and
        # the thresholds of both signs: 2^-26, 2^-27, 0.855469, 2.426265, 105414350.
        bounds = np.array([2.0**-26, 2.0**-27, 0.85546875, 2.4262638092041016, 105414336.0, 1e22])
        bounds = np.concatenate([bounds, np.nextafter(bounds, 0)])
        parts = [
            rng.uniform(-2.5, 2.5, n),
            rng.uniform(-1e4, 1e4, n),
            np.ldexp(1 + rng.random(n), rng.integers(-30, 27, n)) * rng.choice([-1, 1], n),
            np.concatenate([bounds, -bounds]),
        ]
    elif name == "exp":
        parts = [
            rng.uniform(-10, 10, n),
            rng.uniform(-760, 760, n),
            rng.integers(0, 2**64, n, dtype=np.uint64).view(np.float64),
        ]
    else:
        parts = [
            rng.uniform(0, 100, n),
            1 + rng.uniform(-0.01, 0.01, n),
            rng.uniform(0.9, 1.1, n),
            np.ldexp(1 + rng.random(n), rng.integers(-1075, 1024, n)),
        ]
    edges = edge_values()
    return np.concatenate([np.tile(edges, 50)] + parts)


def pow_inputs():
    """Pairs over pow's regions: ordinary, the result's whole range (its overflow and
    underflow), x near 1 with large y, negative x with integer y and not, the edge values."""
    rng = np.random.default_rng(28)
    n = 20_000
    x_range = np.ldexp(1 + rng.random(n), rng.integers(-1022, 1024, n))
    edges = edge_values()
    ex, ey = np.meshgrid(edges, np.concatenate([edges, [2.5, -3.0, 0.5, 2.0**-65, 2.0**63]]))
    parts = [
        (rng.uniform(0, 100, n), rng.uniform(-10, 10, n)),
        (x_range, rng.uniform(-760, 720, n) / np.log(x_range)),
        (rng.uniform(0.99, 1.01, n), rng.uniform(-1e5, 1e5, n)),
        (-rng.uniform(0, 10, n), rng.integers(-50, 50, n) + 0.5 * rng.integers(0, 2, n)),
        (ex.ravel(), ey.ravel()),
    ]
    return np.concatenate([p[0] for p in parts]), np.concatenate([p[1] for p in parts])


@pytest.mark.parametrize("name", ["pow", "powf"])
@pytest.mark.parametrize("threads", [1, 2])
def test_pow_gives_the_librarys_bits(name, threads):
    """Both operands arrays, either one a constant (a general one, and for float64 one of the
    exact powers whose declined lanes go to pow), in place."""
    x, y = pow_inputs()
    dtype, bits = (np.float32, np.uint32) if name == "powf" else (np.float64, np.uint64)
    with np.errstate(all="ignore"):
        x, y = x.astype(dtype), y.astype(dtype)
        want = library(name)(x, y).astype(dtype)
    constants = [2.5] if name == "powf" else [2.5, 2.0, 3.0, 4.0, -1.0]
    previous = qv.set_num_threads(threads)
    try:
        for start, stop in [(0, len(x)), (1, len(x) - 3), (7, 8)]:
            got = qv.evaluate("x ** y", x=x[start:stop], y=y[start:stop])
            assert np.array_equal(got.view(bits), want[start:stop].view(bits))
        for c in constants:
            with np.errstate(all="ignore"):
                expect = library(name)(x, dtype(c)).astype(dtype)
            got = qv.evaluate(f"x ** {c:g}", x=x)
            assert np.array_equal(got.view(bits), expect.view(bits)), c
        with np.errstate(all="ignore"):
            expect = library(name)(dtype(2.5), y).astype(dtype)
        assert np.array_equal(qv.evaluate("2.5 ** y", y=y).view(bits), expect.view(bits))
        z = y.copy()
        qv.evaluate("x ** z", x=x, z=z, out=z)
        assert np.array_equal(z.view(bits), want.view(bits))
        w = np.random.default_rng(3).random(len(x)).astype(dtype)
        got = qv.evaluate("where(w > 0.5, x ** y, y)", x=x, y=y, w=w)
        assert np.array_equal(got.view(bits), np.where(w > 0.5, want, y).view(bits))
    finally:
        qv.set_num_threads(previous)


@pytest.mark.parametrize("name", UNARY)
@pytest.mark.parametrize("threads", [1, 2])
def test_arrays_give_the_librarys_bits(name, threads):
    x = inputs(name)
    with np.errstate(all="ignore"):
        want = library(name)(x).astype(x.dtype)
    bits = np.uint32 if x.dtype == np.float32 else np.uint64
    name = name[:-1] if x.dtype == np.float32 else name  # the formula's function
    previous = qv.set_num_threads(threads)
    try:
        # Every length of tail, an unaligned start and the output in place.
        for start, stop in [(0, len(x)), (1, len(x) - 3), (5, 12), (7, 8)]:
            got = qv.evaluate(f"{name}(x)", x=x[start:stop])
            assert got.dtype == x.dtype
            assert np.array_equal(got.view(bits), want[start:stop].view(bits))
        y = x.copy()
        qv.evaluate(f"{name}(y)", y=y, out=y)
        assert np.array_equal(y.view(bits), want.view(bits))
        # The lanes a branch selects, packed together for the vector code.
        w = np.random.default_rng(3).random(len(x)).astype(x.dtype)
        got = qv.evaluate(f"where(w > 0.5, {name}(x), x)", x=x, w=w)
        assert np.array_equal(got.view(bits), np.where(w > 0.5, want, x).view(bits))
    finally:
        qv.set_num_threads(previous)


def test_show_config_reports_the_path_taken(capsys):
    config = qv.show_config()
    printed = capsys.readouterr().out
    assert printed.startswith(f"loop set: {config['loop_set']}\n")
    libm = config["libm"]
    for name in FUNCTIONS:
        state = config["vector_libm"][name]
        assert state["path"] in ("vector", "scalar")
        if SETTING == "0":
            assert state == dict(state, path="scalar", reason="off by QUORVALINE_VECTOR_LIBM=0")
        elif state["path"] == "vector":
            assert state["mismatches"] == 0 and state["checked_inputs"] > 65536
            assert libm["build_checked"] and state["isa"] in ("avx2", "avx512")
            assert f"  {name}: vector ({state['isa']}," in printed
        else:
            assert f"  {name}: scalar library calls ({state['reason']})" in printed


def json_printed_by(code, env, timeout=120):
    """What `code`, run in a fresh interpreter with `env` added, prints as JSON."""
    out = subprocess.run(
        [sys.executable, "-c", code],
        env={**os.environ, **env},
        capture_output=True,
        text=True,
        timeout=timeout,
        check=True,
    )
    return json.loads(out.stdout)


def config_in(env):
    code = "import json, quorvaline as qv; print(json.dumps(qv.show_config(False)))"
    return json_printed_by(code, env)


@pytest.mark.parametrize(
    "setting, reason",
    [
        ("0", "off by QUORVALINE_VECTOR_LIBM=0"),
        ("yes", "QUORVALINE_VECTOR_LIBM='yes' is not 0, 1, avx2, fma or nofma"),
    ],
)
def test_the_setting_turns_the_vector_path_off(setting, reason):
    config = config_in({"QUORVALINE_VECTOR_LIBM": setting})
    for name in FUNCTIONS:
        assert config["vector_libm"][name]["path"] == "scalar"
        assert config["vector_libm"][name]["reason"] == reason


def test_avx2_setting_keeps_the_replicas_to_avx2():
    config = config_in({"QUORVALINE_VECTOR_LIBM": "avx2"})
    for name in FUNCTIONS:
        assert config["vector_libm"][name]["isa"] in (None, "avx2")


# glibc's tunables make its resolvers pick the non-FMA build on an FMA CPU.
NON_FMA = {"GLIBC_TUNABLES": "glibc.cpu.hwcaps=-AVX2,-FMA"}


@pytest.mark.parametrize(
    "env, setting, refused",
    [
        (NON_FMA, "1", None),  # the engine follows the library to its non-FMA build
        (NON_FMA, "fma", "fma"),  # a copy of the other build is refused
        ({}, "nofma", "nofma"),
    ],
)
def test_check_follows_the_build_the_library_resolves(env, setting, refused):
    """The copy of the build the library resolved passes the check at load; a copy of the other
    build fails it, and scalar calls (whose bits are then that build's) are kept."""
    default = config_in({"QUORVALINE_VECTOR_LIBM": "1"})["vector_libm"]
    if default["exp"]["isa"] is None or default["exp"]["variant"] != "fma":
        pytest.skip("the library does not run its FMA build here")
    config = config_in({**env, "QUORVALINE_VECTOR_LIBM": setting})["vector_libm"]
    for name in FUNCTIONS:
        state = config[name]
        if name in ("sin", "cos") and refused != "fma":  # copies of the FMA build only
            assert state["path"] == "scalar" and state["variant"] is None, name
            continue
        assert state["variant"] == (refused or "nofma"), name
        if refused is None:
            assert state["mismatches"] == 0, name
            assert state["path"] == "vector" or state["reason"].startswith("library build ")
        elif name in ("exp", "log", "expf", "pow", "sin", "cos"):
            assert state["path"] == "scalar" and state["mismatches"] > 0, name
            assert state["reason"].startswith("load-time check failed: ")
        elif name == "logf":  # logf's two builds give the same bits on every float
            assert state["mismatches"] == 0


def test_non_fma_build_gives_the_librarys_bits():
    """Under the tunables, every function's results against the library (which then runs its
    non-FMA build) over the inputs above, whichever path the engine took."""
    code = f"""
import json, sys
sys.path.insert(0, {os.path.dirname(__file__)!r})
import numpy as np, quorvaline as qv
import test_vector_libm as t
bad = {{}}
for name in t.UNARY:
    x = t.inputs(name)
    with np.errstate(all="ignore"):
        want = t.library(name)(x).astype(x.dtype)
    got = qv.evaluate(name.rstrip("f") + "(x)", x=x)
    bad[name] = int(np.sum(got.view(np.uint8) != want.view(np.uint8)))
for name, dtype in (("pow", np.float64), ("powf", np.float32)):
    with np.errstate(all="ignore"):
        x, y = (v.astype(dtype) for v in t.pow_inputs())
        want = t.library(name)(x, y).astype(dtype)
    bad[name] = int(np.sum(qv.evaluate("x ** y", x=x, y=y).view(np.uint8) != want.view(np.uint8)))
paths = {{n: s["path"] for n, s in qv.show_config(False)["vector_libm"].items() if n in bad}}
print(json.dumps([bad, paths]))
"""
    bad, paths = json_printed_by(code, NON_FMA, timeout=300)
    assert bad == dict.fromkeys(FUNCTIONS, 0), paths
