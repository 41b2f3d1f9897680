"""quorvaline.dask on Dask's threaded scheduler: results against the single-machine engine
bit for bit, over random shapes and chunkings; task names; errors at compute()."""
import math

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import quorvaline as qv

da = pytest.importorskip("dask.array")
import dask  # noqa: E402

import quorvaline.dask as qvd  # noqa: E402

PROPERTY = settings(max_examples=60, deadline=None, derandomize=True, database=None,
                    suppress_health_check=[HealthCheck.too_slow])
SPECIAL = [0.0, -0.0, math.inf, -math.inf, math.nan, 1e308, -1e308, 5e-324, 1.0, -2.5]


@pytest.fixture(autouse=True)
def threaded():
    with dask.config.set(scheduler="threads"):
        yield


@st.composite
def chunked(draw, max_ndim=3, special=True):
    """A NumPy array (specials mixed in) and a chunking of it: any chunk sizes per axis."""
    shape = tuple(draw(st.lists(st.integers(1, 7), min_size=1, max_size=max_ndim)))
    rng = np.random.default_rng(draw(st.integers(0, 2 ** 32 - 1)))
    values = rng.standard_normal(shape)
    if special and draw(st.booleans()):
        picks = rng.integers(0, len(SPECIAL), values.size)
        mask = rng.random(values.size) < 0.3
        values.ravel()[mask] = np.array(SPECIAL)[picks[mask]]
    chunks = tuple(draw(st.integers(1, n)) for n in shape)
    return values, chunks


def same_bits(a, b):
    a, b = np.asarray(a, dtype=np.float64), np.asarray(b, dtype=np.float64)
    return a.shape == b.shape and np.array_equal(a.view(np.uint64), b.view(np.uint64))


@PROPERTY
@given(chunked(special=False))
def test_evaluate_matches_the_engine_with_broadcasting(case):
    values, chunks = case
    row = values.reshape(-1, values.shape[-1])[0].copy()   # broadcasts along the last axis
    x = da.from_array(values, chunks=chunks)
    out = qvd.evaluate(lambda x, y, s: qv.kernel.sqrt(abs(x * y)) + s, x=x, y=row, s=2.0)
    assert out.dtype == np.float64 and out.shape == values.shape
    expected = qv.evaluate(lambda x, y, s: qv.kernel.sqrt(abs(x * y)) + s,
                           x=values.ravel(), y=np.broadcast_to(row, values.shape).ravel(),
                           s=2.0)
    assert same_bits(out.compute(), expected.reshape(values.shape))


@PROPERTY
@given(chunked())
def test_reductions_have_the_whole_arrays_bits(case):
    values, chunks = case
    x = da.from_array(values, chunks=chunks)
    flat = values.ravel()
    for ours, whole in ((qvd.sum, qv.sum), (qvd.mean, qv.mean), (qvd.min, qv.min),
                        (qvd.max, qv.max)):
        assert same_bits(ours(x).compute(), whole(flat)), ours.__name__


@PROPERTY
@given(chunked(special=False))
def test_signed_zeros_earliest_wins_across_chunks(case):
    values, chunks = case
    signs = np.random.default_rng(values.size).random(values.shape) < 0.5
    zeros = np.where(signs, -0.0, 0.0)
    for ours, whole in ((qvd.min, qv.min), (qvd.max, qv.max)):
        assert same_bits(ours(da.from_array(zeros, chunks=chunks)).compute(),
                         whole(zeros.ravel()))


@pytest.mark.parametrize("values,chunks", [
    ([1e308, 1e308, -1e308], 1),          # left to right: +inf, not 1e308
    ([-0.0], 1), ([-0.0, -0.0], 1), ([0.0, -0.0], 1),
    ([1.0, 1e100, -1e100, 1.0], 2),
])
def test_exact_sum_chains_special_cases(values, chunks):
    values = np.array(values)
    assert same_bits(qvd.sum(da.from_array(values, chunks=chunks)).compute(), qv.sum(values))


def test_inexact_sum_adds_chunks_in_a_tree():
    values = np.array([1.0, 1e100, -1e100, 1.0])
    x = da.from_array(values, chunks=2)
    assert qvd.sum(x).compute() == qv.sum(values) == 1.0
    assert qvd.sum(x, exact=False).compute() == 0.0        # (1 + 1e100) + (-1e100 + 1)
    big = da.from_array(np.random.default_rng(3).random(10_000), chunks=97)
    assert math.isclose(qvd.mean(big, exact=False).compute(), qvd.mean(big).compute(),
                        rel_tol=1e-12)


@pytest.mark.parametrize("reduce,op", [(qvd.sum, "Sum"), (qvd.mean, "Mean"),
                                       (qvd.min, "Min"), (qvd.max, "Max")])
def test_empty_arrays_fail_at_compute(reduce, op):
    lazy = reduce(da.zeros((3, 0), chunks=2))
    with pytest.raises(ValueError, match=f"^cannot {op} empty buffer$"):
        lazy.compute()


def test_names_are_stable_and_follow_the_inputs():
    x = da.arange(10.0, chunks=3)
    y = np.linspace(0.0, 1.0, 10)
    first = qvd.evaluate(lambda x, y: x * y + 1, x=x, y=y)
    assert first.name == qvd.evaluate(lambda x, y: x * y + 1, x=x, y=y).name
    assert first.name != qvd.evaluate(lambda x, y: x * y + 2, x=x, y=y).name
    assert first.name != qvd.evaluate(lambda x, y: x * y + 1, x=x + 1, y=y).name
    assert first.name != qvd.evaluate(lambda x, y: x * y + 1, x=x, y=y[::-1].copy()).name
    assert qvd.sum(first).name == qvd.sum(first).name != qvd.sum(first, exact=False).name


def test_scalars_that_differ_only_in_nan_bits_are_different_tasks():
    nans = [0x7FF8000000000000, 0xFFF8000000000000, 0x7FF8000000000123]
    x = da.ones(4, chunks=2)
    lazies = [qvd.evaluate("where(x > 0, s, x)", x=x, s=np.uint64(b).view(np.float64))
              for b in nans]
    assert len({lazy.name for lazy in lazies}) == 3
    for b, got in zip(nans, dask.compute(*lazies)):
        assert got.view(np.uint64).tolist() == [b] * 4


def test_out_is_refused_at_once_and_an_operand_named_out_goes_in_the_mapping():
    x = da.arange(4.0, chunks=2)
    with pytest.raises(TypeError, match="does not take out=.*dask.array.store"):
        qvd.evaluate("x * 2", x=x, out=np.empty(4))
    assert qvd.evaluate("x + out", {"out": 1.0}, x=x).compute().tolist() == [1, 2, 3, 4]


def test_operand_names_match_as_written():
    x = da.arange(4.0, chunks=2)
    lazy = qvd.evaluate("\u00b5 * 2", {"\u00b5": x})
    assert lazy.compute().tolist() == [0.0, 2.0, 4.0, 6.0]


def test_engine_errors_surface_at_compute_with_type_and_text():
    x = da.arange(10.0, chunks=4)
    lazy = qvd.evaluate(lambda x, y: x + y, x=x)      # built without running the formula
    assert lazy.dtype == np.float64 and type(lazy._meta) is np.ndarray
    with pytest.raises(ValueError, match="^missing arg: y$"):
        lazy.compute()
    with pytest.raises(ValueError, match="^unexpected args: z$"):
        qvd.evaluate(lambda x: x, x=x, z=x).compute()
    with pytest.raises(ValueError, match="^no buffer arguments provided$"):
        qvd.evaluate(lambda x: x, x=1.0).compute()


def test_texts_and_kernels_are_formulas_too():
    values = np.linspace(-2.0, 2.0, 50)
    x, offset = da.from_array(values, chunks=7), np.float64(0.5)   # offset: from this scope
    expected = qv.evaluate("sqrt(abs(x)) + offset", x=values, offset=0.5)
    by_text = qvd.evaluate("sqrt(abs(x)) + offset", x=x)
    by_kernel = qvd.evaluate(qv.compile("sqrt(abs(x)) + offset"), x=x, offset=offset)
    assert by_text.name == by_kernel.name
    assert same_bits(by_text.compute(), expected) and same_bits(by_kernel.compute(), expected)
    with pytest.raises(NameError, match="'nowhere'"):
        qvd.evaluate("x + nowhere", x=x)


def test_shapes_that_do_not_broadcast_name_both_operands():
    with pytest.raises(ValueError, match=r"argument 'x' of shape \(4,\) and argument 'y' "
                                         r"of shape \(3,\)"):
        qvd.evaluate(lambda x, y: x + y, x=da.ones(4, chunks=2), y=np.ones(3))


@pytest.mark.parametrize("formula, dtypes, want", [
    ("a * 2.5 + b", (np.float32, np.float32), np.float32),
    ("a * b", (np.float32, np.float64), np.float64),
    ("a > b", (np.float32, np.float32), np.bool_),
    ("isnan(a / b) | signbit(b)", (np.float32, np.float64), np.bool_),
    ("a * b + 3", (np.int32, np.int32), np.int32),
    ("a // b + a % 7", (np.int64, np.int32), np.int64),
    ("a * b + 3", (np.int8, np.uint8), np.int16),
    ("a // 3 - b", (np.uint32, np.uint16), np.uint32),
    ("a * (2-1j) + b", (np.float32, np.complex64), np.complex64),
    ("a * z + b", (np.complex128, np.float32), np.complex128),
    ("a // b - a % b", (np.bool_, np.bool_), np.int8),
    ("sqrt(a) * 2.5 - b", (np.bool_, np.bool_), np.float16),
    ("a * a + b", (np.int16, np.float32), np.float32),  # a wrapped int16 read as float32
    ("a * b - sqrt(a * a)", (np.float16, np.int8), np.float16),
    ("where(a > b, True, False) | (imag(a) > 0)", (np.int32, np.int32), np.bool_),
    ("real(a) * True + conj(b)", (np.int16, np.int8), np.int16),
])
def test_dtypes_and_meta_are_the_engines(formula, dtypes, want):
    rng = np.random.default_rng(3)
    a, b = ((rng.standard_normal(1000) * 100).astype(t) for t in dtypes)
    # z: a NumPy complex scalar, strong (float32 data times it would be complex128).
    lazy = qvd.evaluate(formula, {"z": np.complex64(0.5 - 2j)}, a=da.from_array(a, chunks=300),
                        b=b)
    assert lazy.dtype == want and lazy._meta.dtype == want
    got = lazy.compute()
    assert got.dtype == want
    assert np.array_equal(got, qv.evaluate(formula, {"z": np.complex64(0.5 - 2j)}, a=a, b=b))


@pytest.mark.parametrize("dtype", ["float32", "int32", "int64", "bool", "complex64",
                                   "complex128", "int8", "uint16", "float16", "uint64"])
@pytest.mark.parametrize("exact", [True, False])
def test_reductions_give_the_engines_dtypes_and_values(dtype, exact):
    rng = np.random.default_rng(5)
    raw = rng.standard_normal((37, 11)) * 1e3
    values = (raw + 1j * raw[::-1] if dtype.startswith("complex") else raw).astype(dtype)
    if dtype == "int64":
        values *= 2 ** 50  # sums that wrap, as the engine's int64 sums do
    if dtype == "uint64":  # both halves of its range, ordered unsigned
        values = (raw * 2 ** 52).astype(np.int64).view(np.uint64)
    x = da.from_array(values, chunks=(5, 4))
    for ours, whole in ((qvd.sum, qv.sum), (qvd.mean, qv.mean), (qvd.min, qv.min),
                        (qvd.max, qv.max)):
        if dtype.startswith("complex") and ours in (qvd.min, qvd.max):
            with pytest.raises(TypeError, match="complex numbers have no order"):
                ours(x)
            continue
        want = np.asarray(whole(values))
        lazy = ours(x) if ours in (qvd.min, qvd.max) else ours(x, exact=exact)
        assert lazy.dtype == want.dtype and lazy._meta.dtype == want.dtype
        got = np.asarray(lazy.compute())
        assert got.dtype == want.dtype
        if exact or (dtype[0] in "ib" and ours is qvd.sum) or ours in (qvd.min, qvd.max):
            assert got.tobytes() == want.tobytes(), ours.__name__
        else:
            np.testing.assert_allclose(got, want, rtol=1e-5)
