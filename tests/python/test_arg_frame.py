"""The argument frame checked through a test-only extension built from the same sources."""
import importlib.util
import os
import subprocess
import sysconfig
from pathlib import Path

import numpy as np
import pytest

ROOT = Path(__file__).resolve().parents[2]
SOURCES = ["src/python/arg_frame.cpp", "src/python/entry.cpp", "src/python/errors.cpp",
           "src/python/numpy_api.cpp", "src/core/engine_error.cpp", "src/core/debug_text.cpp",
           "src/core/fault.cpp"]


@pytest.fixture(scope="module")
def f(tmp_path_factory):
    out = (tmp_path_factory.mktemp("probe")
           / ("frame_probe" + sysconfig.get_config_var("EXT_SUFFIX")))
    cmd = [os.environ.get("CXX", "g++"), "-std=c++20", "-O1", "-shared", "-fPIC",
           "-fvisibility=hidden", "-Wall", "-Wextra", "-Werror",
           f"-I{ROOT / 'src'}", f"-I{sysconfig.get_paths()['include']}", f"-I{np.get_include()}",
           "-DNPY_NO_DEPRECATED_API=NPY_1_7_API_VERSION",
           str(Path(__file__).with_name("frame_probe.cpp")), *(str(ROOT / s) for s in SOURCES),
           "-o", str(out)]
    subprocess.run(cmd, check=True, timeout=300)
    spec = importlib.util.spec_from_file_location("frame_probe", out)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


class BadIndex:
    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc


@pytest.mark.parametrize("call, message", [
    (lambda f: f.three(1),
     "_KernelModule.where_() missing 2 required positional arguments: 'true_val' and 'false_val'"),
    (lambda f: f.three(),
     "_KernelModule.where_() missing 3 required positional arguments: "
     "'cond', 'true_val', and 'false_val'"),
    (lambda f: f.three(1, false_val=3),
     "_KernelModule.where_() missing 1 required positional argument: 'true_val'"),
    (lambda f: f.three(1, 2, 3, 4),
     "_KernelModule.where_() takes 3 positional arguments but 4 were given"),
    (lambda f: f.three(1, 2, cond=3),
     "_KernelModule.where_() got multiple values for argument 'cond'"),
    (lambda f: f.optional(1, 2, 3),
     "_RuntimeModule.go() takes from 1 to 2 positional arguments but 3 were given"),
    (lambda f: f.optional(out=1),
     "_RuntimeModule.go() missing 1 required positional argument: 'spec'"),
    (lambda f: f.none(1), "f() takes 0 positional arguments but 1 was given"),
    (lambda f: f.none(x=1), "f() got an unexpected keyword argument 'x'"),
    (lambda f: f.varargs(names="x"),
     "_KernelModule.args() got an unexpected keyword argument 'names'"),
    (lambda f: f.varargs("a", 1),
     "argument 'names': 'int' object cannot be converted to 'PyString'"),
    (lambda f: f.varkw(1, 2), "_KernelModule.map() takes 1 positional arguments but 2 were given"),
    (lambda f: f.varkw(x=1), "_KernelModule.map() missing 1 required positional argument: 'spec'"),
    (lambda f: f.varkw(1, spec=2), "_KernelModule.map() got multiple values for argument 'spec'"),
    (lambda f: f.text(5), "argument 'name': 'int' object cannot be converted to 'PyString'"),
    (lambda f: f.text(b"x"), "argument 'name': 'bytes' object cannot be converted to 'PyString'"),
    (lambda f: f.dict([]), "argument 'mapping': 'list' object cannot be converted to 'PyDict'"),
    (lambda f: f.u64(1.5), "argument 'n': 'float' object cannot be interpreted as an integer"),
    (lambda f: f.u64(BadIndex(TypeError("no index"))), "argument 'n': no index"),
])
def test_messages(f, call, message):
    with pytest.raises(TypeError) as e:
        call(f)
    assert type(e.value) is TypeError
    assert str(e.value) == message


@pytest.mark.parametrize("call, expected", [
    (lambda f: f.three(1, 2, 3), (1, 2, 3)),
    (lambda f: f.three(false_val=3, cond=1, true_val=2), (1, 2, 3)),
    (lambda f: f.three(**{"".join(["co", "nd"]): 1, "true_val": 2, "false_val": 3}), (1, 2, 3)),
    (lambda f: f.optional(1), (1, None)),
    (lambda f: f.optional(1, out=2), (1, 2)),
    (lambda f: f.varargs(), []),
    (lambda f: f.varargs("a", "é"), ["a", "é"]),
    (lambda f: f.varkw(1), (1, None)),
    (lambda f: f.varkw(spec=1, a=2, b=3), (1, {"a": 2, "b": 3})),
    (lambda f: f.u64(2**64 - 1), 2**64 - 1),
    (lambda f: f.u64(np.int64(7)), 7),
    (lambda f: f.u64(True), 1),
    (lambda f: f.size(3), 3),
    (lambda f: f.text("é"), 2),
])
def test_accepted(f, call, expected):
    assert call(f) == expected


@pytest.mark.parametrize("call, kind", [
    (lambda f: f.u64(-1), OverflowError),
    (lambda f: f.u64(2**64), OverflowError),
    (lambda f: f.size(-1), OverflowError),
    (lambda f: f.u64(BadIndex(ZeroDivisionError("z"))), ZeroDivisionError),
    (lambda f: f.text("\ud800"), UnicodeEncodeError),
])
def test_other_errors_pass_through_unchanged(f, call, kind):
    with pytest.raises(BaseException) as e:
        call(f)
    assert type(e.value) is kind
    assert not str(e.value).startswith("argument ")


def test_rewrapped_type_error_keeps_cause(f):
    inner = TypeError("inner")
    inner.__cause__ = ValueError("root")
    with pytest.raises(TypeError) as e:
        f.u64(BadIndex(inner))
    assert str(e.value) == "argument 'n': inner"
    assert e.value is not inner
    assert type(e.value.__cause__) is ValueError and str(e.value.__cause__) == "root"


def test_kwargs_dict_is_a_fresh_copy(f):
    given = {"a": 1}
    _, got = f.varkw(1, **given)
    got["b"] = 2
    assert given == {"a": 1}
