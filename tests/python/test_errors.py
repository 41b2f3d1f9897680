import numpy as np
import pytest

import _quorvaline

FAULTS = [
    (lambda rt: rt.asarray(np.arange(6.0)[::2]), "contiguous array required: NotContiguousError"),
    (lambda rt: rt.asarray(array=np.arange(3.0)[::-1]),
     "contiguous array required: NotContiguousError"),
    # 2**40 elements of stride 0: refused before anything is allocated
    (lambda rt: rt.asarray(np.broadcast_to(np.zeros(1), (2**40,))),
     "contiguous array required: NotContiguousError"),
    (lambda rt: _quorvaline.py_select(), "no operations have been added to `Select`"),
    (lambda rt: _quorvaline.py_select(default=np.bool_(False)),
     "no operations have been added to `Select`"),
]


def panic_of(call):
    try:
        call()
    except Exception as e:  # a fault must not be catchable as an ordinary error
        pytest.fail(f"caught as Exception: {e!r}")
    except BaseException as e:
        return e
    pytest.fail("no exception raised")


@pytest.mark.parametrize("call, text", FAULTS)
def test_internal_fault_surfaces_as_panic(rt, call, text):
    e = panic_of(lambda: call(rt))
    cls = type(e)
    assert cls.__name__ == "PanicException"
    assert cls.__bases__ == (BaseException,)
    assert str(e) == text and e.args == (text,)


def test_panic_class_is_created_once_and_not_exported(rt):
    first = type(panic_of(lambda: _quorvaline.py_select()))
    second = type(panic_of(lambda: rt.asarray(np.zeros(4)[::2])))
    assert first is second
    assert first.__module__ == "_quorvaline"
    assert not hasattr(_quorvaline, "PanicException")


def test_fault_changes_nothing(rt):
    a = np.arange(8.0)
    view = a[::2]
    panic_of(lambda: rt.asarray(view))
    assert a.tolist() == list(np.arange(8.0)) and view.base is a


@pytest.mark.parametrize("value, kind", [
    (1, TypeError), ("x", TypeError), (None, TypeError),
])
def test_conversion_errors_are_plain_type_errors(rt, value, kind):
    with pytest.raises(kind) as e:
        rt.asarray(value)
    assert type(e.value) is kind
    assert e.value.__cause__ is None
