"""A walk through _quorvaline on built-in data: buffers from NumPy and back, their reprs,
and how the module reports wrong input and internal faults."""
import numpy as np

import _quorvaline

rt = _quorvaline._RuntimeModule()


def show(title, call):
    try:
        print(f"{title}: {call()!r}")
    except Exception as e:
        print(f"{title}: {type(e).__name__}: {e}")
    except BaseException as e:  # internal faults deliberately bypass `except Exception`
        print(f"{title}: {type(e).__name__} (internal fault): {e}")


def main():
    print(f"_quorvaline {_quorvaline.__version__}: {', '.join(_quorvaline.__all__)}")

    samples = np.linspace(0.0, 1.0, 5)
    buf = rt.asarray(samples)
    samples[:] = -1.0  # the buffer holds its own copy
    print(repr(buf), "len", len(buf))
    print("numpy()  ", buf.numpy())
    print("scalar() ", buf.scalar())

    empty = rt.asarray(np.zeros(0))
    print(repr(empty))

    big = rt.asarray(np.arange(1_000_000, dtype=np.float64))
    print(repr(big), "sum", big.numpy().sum())

    print("-- refusals")
    show("int64 array", lambda: rt.asarray(np.arange(3)))
    show("2-d array", lambda: rt.asarray(np.zeros((2, 2))))
    show("list", lambda: rt.asarray([1.0, 2.0]))
    show("missing argument", lambda: rt.asarray())
    show("unknown keyword", lambda: rt.asarray(arr=samples))
    show("empty scalar()", empty.scalar)
    show("Buffer()", lambda: _quorvaline.Buffer())
    show("strided view", lambda: rt.asarray(np.arange(6.0)[::2]))


if __name__ == "__main__":
    main()
