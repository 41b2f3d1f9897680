import sys

import numpy as np
import pytest

TARGET = "PyArray<T, D>"


class F64Sub(np.ndarray):
    pass


def misaligned(n):
    raw = np.zeros(n * 8 + 1, dtype=np.uint8)
    view = raw[1:].view(np.float64)
    view[:] = np.arange(n, dtype=np.float64) + 0.25
    return view


class TestAsarrayAccepts:
    @pytest.mark.parametrize("make", [
        lambda: np.array([2.5, 7.0, -1.0]),
        lambda: np.arange(10.0)[2:7],                          # contiguous slice of a view
        lambda: np.arange(5.0).view(F64Sub),                   # ndarray subclass
        lambda: np.asfortranarray(np.arange(4.0)),
        lambda: np.arange(6.0)[::2].copy(),
        lambda: np.arange(1.0),                                 # single element
        lambda: np.arange(6.0)[::2][:1],                        # one element, any stride
        lambda: misaligned(5),
        lambda: np.array([np.nan, np.inf, -np.inf, -0.0, 5e-324]),
        lambda: np.zeros(3, dtype=np.dtype("float64", metadata={"m": 1})),
    ])
    def test_roundtrip_is_exact_and_distinct(self, rt, make):
        source = make()
        b = rt.asarray(source)
        out = b.numpy()
        assert type(out) is np.ndarray and out.dtype == np.float64 and out.ndim == 1
        assert out.tobytes() == np.ascontiguousarray(source).tobytes()
        assert out.flags.c_contiguous and out.flags.owndata and out.base is None
        assert not np.shares_memory(out, source)
        assert len(b) == source.size

    def test_read_only_array(self, rt):
        a = np.arange(4.0)
        a.flags.writeable = False
        assert rt.asarray(a).numpy().tolist() == [0.0, 1.0, 2.0, 3.0]

    def test_buffer_does_not_follow_later_changes(self, rt):
        a = np.array([1.0, 2.0, 3.0])
        b = rt.asarray(a)
        a[:] = 9.0
        assert b.numpy().tolist() == [1.0, 2.0, 3.0]

    def test_each_numpy_call_is_a_new_array(self, buf):
        x, y = buf.numpy(), buf.numpy()
        x[0] = 100.0
        assert x is not y and y[0] == 2.5 and buf.scalar() == 2.5

    def test_large_array(self, rt):
        a = np.random.default_rng(1).standard_normal(3_000_001)
        assert np.array_equal(rt.asarray(a).numpy(), a)


class TestAsarrayRefuses:
    @pytest.mark.parametrize("value, actual", [
        (np.zeros((2, 3)), "ndarray"),
        (np.zeros((2, 3)).view(F64Sub), "F64Sub"),
        (np.array(1.0), "ndarray"),                              # zero dimensions
        (np.zeros(3, dtype=np.float32), "ndarray"),
        (np.zeros(3, dtype=np.int64), "ndarray"),
        (np.zeros(3, dtype=np.complex128), "ndarray"),
        (np.zeros(3, dtype=">f8" if sys.byteorder == "little" else "<f8"), "ndarray"),
        ([1.0, 2.0], "list"),
        (1.5, "float"),
        (np.float64(1.5), "float64"),
        (None, "NoneType"),
        (memoryview(b"12345678"), "memoryview"),
    ])
    def test_conversion_type_error(self, rt, value, actual):
        with pytest.raises(TypeError) as e:
            rt.asarray(value)
        assert str(e.value) == (f"argument 'array': '{actual}' object cannot be converted "
                                f"to '{TARGET}'")


class TestBufferMethods:
    def test_repr_len_scalar(self, buf):
        assert repr(buf) == "Buffer(dtype=float64, shape=[3], len=3)"
        assert len(buf) == 3
        assert buf.scalar() == 2.5 and type(buf.scalar()) is float

    def test_empty(self, rt):
        b = rt.asarray(np.zeros(0))
        assert len(b) == 0
        assert repr(b) == "Buffer(dtype=float64, shape=[0], len=0)"
        out = b.numpy()
        assert out.dtype == np.float64 and out.shape == (0,)
        with pytest.raises(ValueError) as e:
            b.scalar()
        assert str(e.value) == "buffer is empty"

    def test_scalar_two_values(self, rt):
        assert rt.asarray(np.array([2.5, 7.0])).scalar() == 2.5

    @pytest.mark.parametrize("call, message", [
        (lambda b: b.numpy(1), "takes no arguments"),
        (lambda b: b.scalar(x=1), "takes no keyword arguments"),
    ])
    def test_methods_take_no_arguments(self, buf, call, message):
        with pytest.raises(TypeError, match=message):
            call(buf)

    @pytest.mark.parametrize("op", [
        lambda b: b[0], lambda b: b.shape, lambda b: memoryview(b),
        lambda b: setattr(b, "x", 1),
    ])
    def test_no_indexing_attributes_or_buffer_protocol(self, buf, op):
        with pytest.raises((TypeError, AttributeError)):
            op(buf)

    def test_references_outlive_source(self, rt):
        bufs = [rt.asarray(np.full(100, float(i))) for i in range(50)]
        assert [b.scalar() for b in bufs] == [float(i) for i in range(50)]
        assert all(b.numpy().sum() == 100.0 * i for i, b in enumerate(bufs))
