"""kernel.sum, mean, min_reduce and max_reduce through rt.go."""
import math
import struct

import numpy as np
import pytest

import _quorvaline

INF, NAN = math.inf, math.nan
OPS = {"sum": "Sum", "mean": "Mean", "min_reduce": "Min", "max_reduce": "Max"}


def bits(x):
    return struct.pack("<d", x)


def reduce_(rt, kernel, op, values):
    spec = getattr(kernel, op)(rt.asarray(np.array(values, dtype=np.float64)))
    return rt.go(spec).result()


def left_to_right_sum(values):
    total = -0.0
    for v in values:
        total += v
    return total


@pytest.mark.parametrize("op, values, want", [
    ("sum", [-0.0], -0.0),
    ("sum", [0.0], 0.0),
    ("sum", [-0.0, -0.0], -0.0),
    ("sum", [1e308, 1e308, -1e308], INF),      # left to right: the overflow sticks
    ("sum", [-1e308, 1e308, 1e308], 1e308),
    ("sum", [1.0, 1e100, 1.0, -1e100], 0.0),
    ("sum", [INF, -INF], NAN),
    ("mean", [1.0, 2.0, 3.0, 4.0], 2.5),
    ("mean", [-0.0], -0.0),
    ("mean", [1e308, 1e308], INF),
    ("min_reduce", [3.0, NAN, 1.0], NAN),
    ("min_reduce", [NAN, 3.0], NAN),
    ("min_reduce", [-0.0, 0.0], -0.0),          # earliest of equal values wins
    ("min_reduce", [0.0, -0.0], 0.0),
    ("min_reduce", [INF], INF),
    ("min_reduce", [2.0, -5.0, 7.0, -5.0], -5.0),
    ("max_reduce", [NAN, 5.0], NAN),
    ("max_reduce", [5.0, NAN], NAN),
    ("max_reduce", [0.0, -0.0], 0.0),
    ("max_reduce", [-0.0, 0.0], -0.0),
    ("max_reduce", [-INF], -INF),
    ("max_reduce", [5e-324, -1.0], 5e-324),
])
def test_values(rt, kernel, op, values, want):
    got = reduce_(rt, kernel, op, values)
    assert type(got) is _quorvaline.Buffer and len(got) == 1
    g = got.scalar()
    assert (math.isnan(g) and math.isnan(want)) or bits(g) == bits(want)


def test_long_sum_is_strictly_sequential(rt, kernel):
    # Magnitudes far apart, so that any other order of additions rounds differently.
    rng = np.random.default_rng(7)
    values = rng.standard_normal(100_003) * 10.0 ** rng.integers(-5, 12, 100_003)
    assert left_to_right_sum(values[::-1].tolist()) != left_to_right_sum(values.tolist())
    want = left_to_right_sum(values.tolist())
    assert bits(reduce_(rt, kernel, "sum", values).scalar()) == bits(want)
    want_mean = want / len(values)
    assert bits(reduce_(rt, kernel, "mean", values).scalar()) == bits(want_mean)


@pytest.mark.parametrize("op", OPS)
def test_empty_buffer_fails_at_result(rt, kernel, op):
    handle = rt.go(getattr(kernel, op)(rt.asarray(np.array([]))))
    assert handle.is_done()
    assert repr(handle) == (
        f'TaskHandle(state=Failed(EmptyCollection("cannot {OPS[op]} empty buffer")))')
    for _ in range(2):  # the stored error is raised again
        with pytest.raises(ValueError) as info:
            handle.result()
        assert str(info.value) == f"cannot {OPS[op]} empty buffer"


@pytest.mark.parametrize("op", OPS)
@pytest.mark.parametrize("value", [1.0, np.array([1.0]), None])
def test_buf_must_be_a_buffer(kernel, op, value):
    with pytest.raises(TypeError) as info:
        getattr(kernel, op)(value)
    assert str(info.value) == (
        f"argument 'buf': '{type(value).__name__}' object cannot be converted to 'Buffer'")


@pytest.mark.parametrize("op", OPS)
def test_spec_by_keyword_and_reused(rt, kernel, op):
    buf = rt.asarray(np.array([4.0, -2.0, 1.0]))
    spec = getattr(kernel, op)(buf=buf)
    assert type(spec) is _quorvaline.ReduceSpec
    first, second = rt.go(spec).result(), rt.go(spec).result()
    assert first is not second and first.numpy().tolist() == second.numpy().tolist()
    assert first.numpy().tolist() == [{"sum": 3.0, "mean": 1.0, "min_reduce": -2.0,
                                       "max_reduce": 4.0}[op]]


def test_result_is_a_new_buffer_each_call(rt, kernel):
    handle = rt.go(kernel.max_reduce(rt.asarray(np.array([1.0, 9.0]))))
    a, b = handle.result(), handle.result()
    assert a is not b
    assert a.numpy().tolist() == b.numpy().tolist() == [9.0]
    assert repr(a) == "Buffer(dtype=float64, shape=[1], len=1)"
