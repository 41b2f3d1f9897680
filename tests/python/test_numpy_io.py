"""NumPy in and out of the engine through the package's native face: arrays read in place,
conversions and refusals, out=, shapes and broadcasting, reductions, thread control."""
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import _quorvaline
import quorvaline as qv
from quorvaline import _native, kernel, rt

threadpoolctl = pytest.importorskip("threadpoolctl")


def affine(x, y):
    return x * y + 1


def reference(x, y):
    return np.asarray(x, dtype=np.float64) * np.asarray(y, dtype=np.float64) + 1


def same_bits(a, b):
    a, b = np.asarray(a), np.asarray(b)
    return a.shape == b.shape and a.dtype == b.dtype and a.tobytes() == b.tobytes()


class TestInPlace:
    def test_inputs_are_read_where_they_are_and_keep_their_counts(self):
        xs, ys = np.arange(5000.0), np.full(5000, 2.0)
        counts = sys.getrefcount(xs), sys.getrefcount(ys)
        first = qv.evaluate(affine, x=xs, y=ys)
        xs[7] = 100.0
        second = qv.evaluate(affine, x=xs, y=ys)
        assert first[7] == 15.0 and second[7] == 201.0
        assert (sys.getrefcount(xs), sys.getrefcount(ys)) == counts
        assert first.flags.writeable and first.flags.c_contiguous and first.dtype == np.float64
        assert not np.shares_memory(first, xs) and not np.shares_memory(first, second)

    def test_results_give_their_block_back_and_stay_valid_meanwhile(self):
        xs = np.arange(100_000.0)
        kept = [qv.evaluate(lambda x: x + 1, x=xs) for _ in range(3)]
        assert all(same_bits(k, xs + 1) for k in kept)
        del kept
        assert same_bits(qv.evaluate(lambda x: x * 3, x=xs), xs * 3)


CONVERTED = {
    "int64": np.arange(-3, 3),
    "uint64": np.array([0, 2**64 - 1, 7], dtype=np.uint64),
    "int8": np.arange(6, dtype=np.int8),
    "bool": np.array([True, False, True]),
    "float32": np.linspace(0, 1, 5, dtype=np.float32),
    "float16": np.linspace(0, 1, 5, dtype=np.float16),
    "longdouble": np.linspace(0, 1, 5, dtype=np.longdouble),
    "big-endian": np.arange(4.0).astype(">f8"),
    "strided": np.arange(10.0)[::2],
    "reversed": np.arange(5.0)[::-1],
    "fortran": np.asfortranarray(np.arange(6.0).reshape(2, 3)),
    "list": [1, 2.5, True],
    "nested list": [[1.0, 2.0], [3.0, 4.0]],
    "0-d": np.array(2.5),
    "numpy scalar": np.float32(1.5),
    "python int": 7,
}


class TestConversions:
    @pytest.mark.parametrize("y", CONVERTED.values(), ids=CONVERTED.keys())
    def test_converts_by_value_with_numpys_bits(self, y):
        x = np.full(np.shape(y), 3.0) if np.ndim(y) else np.arange(4.0)
        assert same_bits(qv.evaluate(affine, x=x, y=y), reference(x, y))

    def test_converted_copy_is_not_a_view_of_the_input(self):
        y = np.arange(10.0)[::2]
        out = qv.evaluate(affine, x=1.0, y=y)
        out[:] = -1
        assert y.tolist() == [0.0, 2.0, 4.0, 6.0, 8.0]

    @pytest.mark.parametrize("y,error,message", [
        (np.array([1, None]), TypeError, "None is not a number"),
        (np.array([1.5, {}], dtype=object), TypeError, "dtype object does not convert"),
        (np.array(["a", "b", "c"]), TypeError, "an array of text (<U1) is not numbers"),
        (np.zeros(3, "M8[s]"), TypeError, "dtype datetime64[s] does not convert"),
        (np.zeros(3, "m8[s]"), TypeError, "dtype timedelta64[s] does not convert"),
        (np.ma.array([1.0, 2.0, 3.0], mask=[0, 1, 0]), TypeError, "masked arrays are refused"),
        (b"1", TypeError, "'bytes' object is text, not a number"),
        (np.array([[1.0], [2.0, 3.0]], dtype=object), TypeError, "dtype object does not convert"),
    ], ids=["None inside", "object", "str", "datetime",
            "timedelta", "masked", "bytes", "ragged"])
    def test_refusals_name_the_operand(self, y, error, message):
        out = np.full(3, 9.0)
        with pytest.raises(error) as info:
            qv.evaluate(affine, x=np.ones(3), y=y, out=out)
        assert str(info.value).startswith(f"argument 'y': {message}")
        assert out.tolist() == [9.0, 9.0, 9.0]


class TestOut:
    def test_out_is_written_and_returned(self):
        xs, out = np.arange(6.0).reshape(2, 3), np.empty((2, 3))
        assert qv.evaluate(affine, x=xs, y=2.0, out=out) is out
        assert same_bits(out, reference(xs, 2.0))

    @pytest.mark.parametrize("n", [7, 100_000])  # the calling thread; the pool
    @pytest.mark.parametrize("build", [
        lambda x, y: x * y + x,
        lambda x, y: kernel.where_(x > 0, kernel.sqrt(x) * y, -x),
        lambda x, y: kernel.atan2(y, x) - x / (y + 3),
    ], ids=["fused", "select", "calls"])
    def test_out_may_be_an_input(self, n, build):
        rng = np.random.default_rng(n)
        xs, ys = rng.standard_normal(n), rng.standard_normal(n)
        expected = qv.evaluate(build, x=xs, y=ys)
        for name in ("x", "y"):
            operands = {"x": xs.copy(), "y": ys.copy()}
            target = operands[name]
            assert qv.evaluate(build, operands, out=target) is target
            assert same_bits(target, expected)

    @pytest.mark.parametrize("out,error,message", [
        ([0.0] * 4, TypeError, "'list' object is not a NumPy array"),
        (np.zeros(4, np.int64), TypeError, "dtype int64 given; the result is float64"),
        (np.zeros(4, np.bool_), TypeError, "dtype bool given; the result is float64, which "
                                           "casting='same_kind' does not let become bool"),
        (np.zeros(5), ValueError, "shape (5,) given; the operands broadcast to (4,)"),
        (np.zeros((1, 4)), ValueError, "shape (1, 4) given"),
        (np.zeros(8)[::2], ValueError, "a C-contiguous aligned array is needed"),
        (np.zeros(4).astype(">i8"), TypeError, "dtype >i8 given"),
    ], ids=["list", "int", "bool", "shape", "ndim", "strided", "big-endian"])
    def test_wrong_out_is_refused(self, out, error, message):
        with pytest.raises(error) as info:
            qv.evaluate(affine, x=np.ones(4), y=2.0, out=out)
        assert str(info.value).startswith(f"argument 'out': {message}")

    def test_read_only_and_partly_overlapping_out_are_refused_before_writing(self):
        frozen = np.zeros(4)
        frozen.flags.writeable = False
        with pytest.raises(ValueError, match="^argument 'out': the array is read-only$"):
            qv.evaluate(affine, x=np.ones(4), y=2.0, out=frozen)
        base = np.arange(5.0)
        with pytest.raises(ValueError, match="^argument 'out': overlaps operand 'x' without "
                                             "being exactly it$"):
            qv.evaluate(affine, x=base[:4], y=2.0, out=base[1:])
        assert base.tolist() == [0.0, 1.0, 2.0, 3.0, 4.0]


class TestShapes:
    @pytest.mark.parametrize("x_shape,y_shape", [
        ((2, 3), (2, 3)), ((2, 3), (3,)), ((4, 1), (1, 5)), ((2, 1, 3), (3,)), ((3,), (2, 1, 1, 3)),
        ((0, 3), (3,)), ((5,), ()),
    ])
    def test_broadcasts_as_numpy_does(self, x_shape, y_shape):
        rng = np.random.default_rng(0)
        xs, ys = rng.random(x_shape), rng.random(y_shape)
        assert same_bits(qv.evaluate(affine, x=xs, y=ys), reference(xs, ys))

    def test_a_buffer_is_one_dimensional_and_broadcasts_too(self):
        xs = np.arange(6.0).reshape(2, 3)
        buf = rt.asarray(np.array([1.0, 2.0, 3.0]))
        assert same_bits(qv.evaluate(affine, x=xs, y=buf), reference(xs, [1.0, 2.0, 3.0]))

    def test_shapes_that_do_not_broadcast_name_both_operands(self):
        with pytest.raises(ValueError, match=r"^operands 'x' with shape \(2, 3\) and 'y' with "
                                             r"shape \(2,\) do not broadcast together$"):
            qv.evaluate(affine, x=np.zeros((2, 3)), y=np.zeros(2))

    def test_scalars_alone_give_a_0d_array(self):
        # As numexpr gives them; out may be a 0-d float64 array.
        result = qv.evaluate(affine, x=np.array(1.0), y=2)
        assert result.shape == () and same_bits(result, qv.evaluate(affine, x=[1.0], y=2)[0])
        out = np.zeros(())
        assert qv.evaluate("x * y + 1", x=2.0, y=3, out=out) is out and out[()] == 7.0
        with pytest.raises(ValueError, match="^argument 'out': the result is 0-d"):
            qv.evaluate("x * y", x=2.0, y=3, out=np.zeros(1))


class TestReductions:
    @pytest.mark.parametrize("helper,make_spec", [
        (qv.sum, kernel.sum), (qv.mean, kernel.mean), (qv.min, kernel.min_reduce),
        (qv.max, kernel.max_reduce),
    ], ids=["sum", "mean", "min", "max"])
    @pytest.mark.parametrize("layout", ["C", "F"])
    def test_any_shape_reduces_in_c_order(self, helper, make_spec, layout):
        xs = np.random.default_rng(3).standard_normal((3, 4, 5)) * 1e10
        expected = rt.go(make_spec(rt.asarray(xs.ravel()))).result().scalar()
        assert helper(np.asarray(xs, order=layout)) == expected

    def test_sum_from_a_start_chains_over_chunks_with_the_whole_sums_bits(self):
        xs = np.random.default_rng(4).standard_normal(10_001) * 1e6
        carried = -0.0
        for chunk in np.array_split(xs, 7):
            carried = _native.sum(chunk, carried)
        assert same_bits(carried, qv.sum(xs))
        assert _native.sum(np.zeros(0), 2.5) == 2.5


def run_fresh(body):
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(body)], capture_output=True,
                          text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr[-3000:]
    return proc.stdout


class TestThreads:
    def test_limits_are_set_read_and_refused_below_one(self):
        before = qv.get_num_threads()
        try:
            assert qv.set_num_threads(1) == before and qv.get_num_threads() == 1
            xs = np.random.default_rng(5).random(100_000)
            assert same_bits(qv.evaluate(lambda x: kernel.sin(x) * x, x=xs), np.sin(xs) * xs)
            with pytest.raises(ValueError, match="at least 1 thread"):
                qv.set_num_threads(0)
        finally:
            qv.set_num_threads(before)
        assert qv.get_num_threads() == before

    def test_threadpoolctl_lists_and_limits_the_engine(self):
        before = qv.get_num_threads()
        infos = [i for i in threadpoolctl.threadpool_info() if i["user_api"] == "quorvaline"]
        assert len(infos) == 1 and infos[0]["num_threads"] == before
        assert infos[0]["filepath"].endswith(os.path.basename(_quorvaline.__file__))
        with threadpoolctl.threadpool_limits(1):
            assert qv.get_num_threads() == 1
        assert qv.get_num_threads() == before

    def test_a_limit_of_one_starts_no_worker(self):
        # NumPy's BLAS may have threads of its own: count before and after.
        before, after, last = run_fresh("""
            import os, numpy as np, quorvaline as qv
            before = len(os.listdir("/proc/self/task"))
            qv.set_num_threads(1)
            out = qv.evaluate(lambda x: x * 2, x=np.ones(1_000_000))
            print(before, len(os.listdir("/proc/self/task")), out[-1])
        """).split()
        assert before == after and last == "2.0"


def test_the_engine_module_alone_is_unchanged_and_both_share_one_library():
    names = run_fresh("""
        import sys, _quorvaline
        assert "quorvaline._native" not in sys.modules
        print(" ".join(_quorvaline.__all__))
    """).split()
    assert names == ["__version__", "Expr", "Buffer", "TaskHandle", "KernelSpec", "MapSpec",
                     "ReduceSpec", "_KernelModule", "_RuntimeModule", "Channel", "RecvCase",
                     "py_select"]
    assert _native.__file__ == _quorvaline.__file__
