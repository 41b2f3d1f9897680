import importlib
import inspect
import subprocess
import sys
import textwrap

import pytest

import _quorvaline

NAMES = [
    "__version__", "Expr", "Buffer", "TaskHandle", "KernelSpec", "MapSpec", "ReduceSpec",
    "_KernelModule", "_RuntimeModule", "Channel", "RecvCase", "py_select",
]
CLASSES = NAMES[1:-1]
NOT_CONSTRUCTIBLE = ["Expr", "Buffer", "TaskHandle", "KernelSpec", "MapSpec", "ReduceSpec",
                     "Channel"]
DOCS = {
    "Expr": "Python-visible expression node.\n"
            "Operator overloading builds an `Expr` tree without any computation.\n\n"
            "`temp_args` maps temporary argument IDs to their names.\n"
            "Each `arg(\"x\")` call assigns a unique `temp_id` via a global counter,\n"
            "and operators merge both sides' `temp_args` via `BTreeMap` union.",
    "TaskHandle": "Python-visible task handle.",
    "KernelSpec": "Python-visible kernel specification.",
    "MapSpec": "Specification for mapping a kernel over arguments.",
    "ReduceSpec": "Specification for a reduce operation.",
    "_KernelModule": "The kernel module exposed to Python.\n"
                     "Contains factory functions for creating expressions and kernel specs.",
    "_RuntimeModule": "The runtime module exposed to Python.",
    "Channel": "Python-visible channel handle.",
    "RecvCase": "Python-visible `RecvCase` for select.",
}
SIGNATURES = {"_KernelModule": "()", "_RuntimeModule": "()", "RecvCase": "(channel)"}


def run_python(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=120)


class TestModuleObject:
    def test_all_and_version(self):
        assert _quorvaline.__all__ == NAMES
        assert _quorvaline.__version__ == "1.0.0"
        assert all(hasattr(_quorvaline, n) for n in NAMES)

    def test_no_instances_or_extra_attributes(self):
        public = {n for n in vars(_quorvaline) if not n.startswith("__")}
        assert public == set(NAMES) - {"__version__"}

    def test_reimport_gives_same_object(self):
        again = importlib.import_module("_quorvaline")
        assert again is _quorvaline
        del sys.modules["_quorvaline"]
        try:
            fresh = importlib.import_module("_quorvaline")
            assert fresh is _quorvaline
        finally:
            sys.modules["_quorvaline"] = _quorvaline

    def test_concurrent_first_imports_share_one_module(self):
        r = run_python("""
            import threading
            seen = []
            def load():
                import _quorvaline
                seen.append(_quorvaline)
            ts = [threading.Thread(target=load) for _ in range(8)]
            for t in ts: t.start()
            for t in ts: t.join(60)
            assert len(seen) == 8 and all(m is seen[0] for m in seen), seen
        """)
        assert r.returncode == 0, r.stderr

    def test_sub_interpreter_refused(self):
        r = run_python("""
            import _quorvaline
            try:
                import _testcapi
            except ImportError:
                raise SystemExit(77)
            rc = _testcapi.run_in_subinterp("import _quorvaline")
            raise SystemExit(0 if rc == -1 else 1)
        """)
        if r.returncode == 77:
            pytest.skip("no _testcapi")
        assert r.returncode == 0
        assert "ImportError" in r.stderr and "sub-interpreters" in r.stderr


class TestClasses:
    @pytest.mark.parametrize("name", CLASSES)
    def test_names(self, name):
        cls = getattr(_quorvaline, name)
        assert cls.__name__ == name
        assert cls.__module__ == "builtins"
        assert repr(cls) == f"<class 'builtins.{name}'>"

    @pytest.mark.parametrize("name", sorted(DOCS))
    def test_docstrings_and_signatures(self, name):
        cls = getattr(_quorvaline, name)
        assert cls.__doc__ == DOCS[name]
        assert cls.__text_signature__ == SIGNATURES.get(name)

    def test_buffer_docstring_names_its_role(self):
        assert "engine buffer" in _quorvaline.Buffer.__doc__

    @pytest.mark.parametrize("name", NOT_CONSTRUCTIBLE)
    @pytest.mark.parametrize("args, kwargs", [((), {}), ((1, 2), {"x": 3})])
    def test_no_constructor(self, name, args, kwargs):
        with pytest.raises(TypeError) as e:
            getattr(_quorvaline, name)(*args, **kwargs)
        assert str(e.value) == f"No constructor defined for {name}"

    @pytest.mark.parametrize("name", ["_KernelModule", "_RuntimeModule"])
    def test_factories(self, name):
        cls = getattr(_quorvaline, name)
        a, b = cls(), cls()
        assert type(a) is cls and a is not b
        with pytest.raises(TypeError) as e:
            cls(1)
        assert str(e.value) == f"{name}.__new__() takes 0 positional arguments but 1 was given"
        with pytest.raises(TypeError) as e:
            cls(1, 2)
        assert str(e.value) == f"{name}.__new__() takes 0 positional arguments but 2 were given"
        with pytest.raises(TypeError) as e:
            cls(x=1)
        assert str(e.value) == f"{name}.__new__() got an unexpected keyword argument 'x'"

    def test_method_text_signatures(self, rt):
        assert str(inspect.signature(rt.asarray)) == "(array)"
        assert _quorvaline.Buffer.numpy.__text_signature__ == "($self)"
        assert _quorvaline.Buffer.scalar.__text_signature__ == "($self)"
        assert str(inspect.signature(_quorvaline.py_select)) == "(*cases, default=False)"
        assert _quorvaline.py_select.__doc__ == "Python-visible select function."
        assert _quorvaline.py_select.__name__ == "py_select"


class TestArgumentFrame:
    """Messages of the shared argument frame, through the methods that exist so far."""

    @pytest.mark.parametrize("call, message", [
        (lambda rt: rt.asarray(),
         "_RuntimeModule.asarray() missing 1 required positional argument: 'array'"),
        (lambda rt: rt.asarray(1, 2),
         "_RuntimeModule.asarray() takes 1 positional arguments but 2 were given"),
        (lambda rt: rt.asarray(1, array=2),
         "_RuntimeModule.asarray() got multiple values for argument 'array'"),
        (lambda rt: rt.asarray(arr=1),
         "_RuntimeModule.asarray() got an unexpected keyword argument 'arr'"),
        (lambda rt: rt.asarray(**{"".join(["arr", "ay"]): [1.0], "zz": 1}),
         "_RuntimeModule.asarray() got an unexpected keyword argument 'zz'"),
        (lambda rt: rt.asarray("x"),
         "argument 'array': 'str' object cannot be converted to 'PyArray<T, D>'"),
        (lambda rt: _quorvaline.RecvCase(),
         "RecvCase.__new__() missing 1 required positional argument: 'channel'"),
        (lambda rt: _quorvaline.RecvCase(1, 2),
         "RecvCase.__new__() takes 1 positional arguments but 2 were given"),
        (lambda rt: _quorvaline.RecvCase(channel=rt),
         "argument 'channel': '_RuntimeModule' object cannot be converted to 'Channel'"),
        (lambda rt: _quorvaline.py_select(1),
         "argument 'cases': 'int' object cannot be converted to 'RecvCase'"),
        (lambda rt: _quorvaline.py_select(default=1),
         "argument 'default': 'int' object cannot be converted to 'PyBool'"),
        (lambda rt: _quorvaline.py_select(cases=1),
         "py_select() got an unexpected keyword argument 'cases'"),
    ])
    def test_messages(self, rt, call, message):
        with pytest.raises(TypeError) as e:
            call(rt)
        assert type(e.value) is TypeError
        assert str(e.value) == message

    def test_keyword_names_need_not_be_interned(self, rt):
        import numpy as np
        key = "".join(["arr", "ay"])
        assert len(rt.asarray(**{key: np.zeros(2)})) == 2

    @pytest.mark.parametrize("flag", [True, "numpy"])
    def test_select_default_accepts_numpy_bool(self, flag):
        import numpy as np
        value = np.bool_(True) if flag == "numpy" else flag
        assert _quorvaline.py_select(default=value) == (-1, None)
