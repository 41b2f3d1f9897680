"""Compiled kernels: calls, identity by formula, and travel through pickle and processes."""
import concurrent.futures
import copy
import inspect
import math
import multiprocessing
import pickle
import struct

import numpy as np
import pytest

import quorvaline as qv
from quorvaline import _native, kernel, rt

rng = np.random.default_rng(7)
XS, YS = rng.random(5000) * 4 - 2, rng.random(5000) * 4 - 2
PAYLOAD_NAN = struct.unpack("<d", struct.pack("<Q", 0x7ff80000deadbeef))[0]


def bit_nodes(expr):
    names, nodes = _native.expr_nodes(expr)
    return names, [(t, struct.pack("<d", p) if t == 0 else p) for t, p in nodes]


class TestKernel:
    def test_calls_compute_what_evaluate_computes(self):
        k = qv.compile("where(x > 0, sqrt(x) * y, -y ** 2)")
        expected = qv.evaluate(lambda x, y: kernel.where_(x > 0, kernel.sqrt(x) * y, -y ** 2),
                               x=XS, y=YS)
        assert k(x=XS, y=YS).tobytes() == expected.tobytes()
        assert k({"x": XS}, y=rt.asarray(YS)).tobytes() == expected.tobytes()
        assert k.names == ("x", "y")

    def test_the_kernel_kept_after_a_call_serves_every_operand_kind(self):
        # Each call after the first runs the kernel its spec keeps; evaluate(Expr) goes
        # through the cache. Scalars, Buffers and broadcasts decode other programs.
        k = qv.compile("where(x > y, x * y, x - 2)")
        small = XS[:10]
        for x, y in [(small, YS[:10]), (0.5, small), (small, -0.25), (rt.asarray(small), small),
                     (small.reshape(2, 5), small[:5]), (XS, YS), (small, YS[:10])]:
            expected = qv.evaluate(k.expr, x=x, y=y)
            assert k(x=x, y=y).tobytes() == expected.tobytes()

    def test_out_receives_the_result(self):
        k = qv.compile("x * 2")
        out = np.zeros(3)
        assert k(x=np.array([1.0, 2.0, 3.0]), out=out) is out
        assert out.tolist() == [2.0, 4.0, 6.0]
        for bad, kind in [(np.zeros(3, np.float32), TypeError), (np.zeros(4), ValueError),
                          ([0.0] * 3, TypeError)]:
            with pytest.raises(kind, match="^argument 'out': "):
                k(x=np.array([1.0, 2.0, 3.0]), out=bad)

    def test_operand_errors_are_evaluates(self):
        k = qv.compile("x - y")
        with pytest.raises(ValueError, match="^missing arg: y$"):
            k(x=XS)
        with pytest.raises(ValueError, match="^unexpected args: z$"):
            k(x=XS, y=YS, z=1.0)
        with pytest.raises(TypeError, match="got multiple values for argument 'x'"):
            k({"x": XS}, x=XS, y=YS)

    def test_the_native_call_keeps_the_documented_signature(self):
        k = qv.compile("x * 2")
        assert str(inspect.signature(k)) == (
            "(*operands: 'Any', out: 'Optional[ResultArray]' = None, **named: 'Operand') "
            "-> 'ResultArray'")
        assert list(inspect.signature(qv.Kernel).parameters) == ["formula"]
        with pytest.raises(TypeError, match=r"^Kernel.__call__\(\) takes 1 operands by position "
                                            r"\(x\), but 2 were given$"):
            k({"x": XS}, None)
        keywords = {"x": np.array([1.0, 2.0]), "out": np.zeros(2)}
        assert k(None, **keywords) is keywords["out"]
        assert sorted(keywords) == ["out", "x"] and keywords["out"].tolist() == [2.0, 4.0]

    def test_equal_and_hashed_by_formula(self):
        by_text = qv.compile("2*a + 3*b")
        by_expr = qv.compile(qv.parse("2 * a + 3 * b"))
        by_callable = qv.compile(lambda a, b: 2 * a + 3 * b)
        assert by_text == by_expr == by_callable == qv.Kernel(by_text)
        assert qv.compile(by_text) is by_text
        assert len({by_text, by_expr, by_callable}) == 1
        b, a = kernel.args("b", "a")
        other_order = qv.compile(2 * a + 3 * b)
        assert other_order.names == ("b", "a") and other_order != by_text
        assert qv.compile("2*a + 3.5*b") != by_text
        assert by_text != "2.0 * a + 3.0 * b"

    def test_repr_shows_the_formula(self):
        assert repr(qv.compile("2*a+b")) == "Kernel('2 * a + b')"
        b, a = kernel.args("b", "a")
        assert repr(qv.compile(a + b)) == "Kernel('a + b', names=('b', 'a'))"
        assert qv.to_text(qv.compile("a+b")) == "a + b"

    def test_a_kernel_whose_names_no_text_can_hold(self):
        odd = qv.compile(kernel.arg("my var") * float("nan"))
        assert odd == pickle.loads(pickle.dumps(odd)) and hash(odd) == hash(qv.Kernel(odd))
        assert repr(odd).startswith("Kernel(Expr(Binary(Mul, ArgRef(")
        assert qv.compile("x * 0.0") != qv.compile("x * -0.0")

    def test_compile_refuses_what_is_not_a_formula(self):
        with pytest.raises(TypeError, match=r"^compile\(\) expects an Expr, a formula text"):
            qv.compile(42)
        with pytest.raises(ValueError, match="^duplicate arg name: x$"):
            qv.compile(kernel.arg("x") + kernel.arg("x"))


class TestPickle:
    @pytest.mark.parametrize("constant", [PAYLOAD_NAN, -math.nan, -0.0, math.inf, 5e-324, 0.1])
    def test_expr_keeps_tree_names_and_constant_bits(self, constant):
        x, y = kernel.args("x", "y")
        expr = kernel.where_(x > constant, kernel.atan2(y, x) * constant, -x)
        for copied in (pickle.loads(pickle.dumps(expr)), copy.deepcopy(expr)):
            assert bit_nodes(copied) == bit_nodes(expr)

    def test_expr_kinds_a_text_cannot_hold(self):
        lone = pickle.loads(pickle.dumps(kernel.arg("my var")))
        assert repr(lone) == "Expr(my var)"
        twins = kernel.arg("x") + kernel.arg("x")  # valid as an Expr, refused by elementwise
        assert bit_nodes(pickle.loads(pickle.dumps(twins))) == bit_nodes(twins)

    def test_kernel_keeps_its_order_and_results(self):
        b, a = kernel.args("b", "a")
        k = qv.compile(a / b + PAYLOAD_NAN * (a > 1))
        back = pickle.loads(pickle.dumps(k))
        assert back == k and back.names == ("b", "a")
        assert back(a=XS, b=YS).tobytes() == k(a=XS, b=YS).tobytes()

    def test_a_kernel_computes_identically_in_a_spawned_process(self):
        k = qv.compile("where(x > 0, log(x) * y ** 2.5, atan2(y, x))"
                       " + from_bits(0x3ff0000000000001)")
        with _spawned() as pool:
            there = pool.submit(k, x=XS, y=YS).result(timeout=120)
        assert there.tobytes() == k(x=XS, y=YS).tobytes()


def _spawned():
    context = multiprocessing.get_context("spawn")
    return concurrent.futures.ProcessPoolExecutor(1, mp_context=context)


def test_dask_tokens_follow_the_formula_in_any_process():
    tokenize = pytest.importorskip("dask.base").tokenize
    k = qv.compile("a * b")
    assert tokenize(k) == tokenize(qv.compile(lambda a, b: a * b))
    assert tokenize(k) != tokenize(qv.compile("b * a"))
    with _spawned() as pool:
        assert pool.submit(tokenize, k).result(timeout=120) == tokenize(k)
