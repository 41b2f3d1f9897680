"""kernel.elementwise and kernel.map: dense numbering, name binding and value conversion."""
import math
import struct

import numpy as np
import pytest

import _quorvaline


def bits(x):
    return struct.pack("<d", x)


def run(rt, kernel, expr, **bound):
    return rt.go(kernel.map(kernel.elementwise(expr), **bound)).result().numpy()


class TestElementwise:
    def test_returns_a_kernel_spec(self, kernel):
        assert type(kernel.elementwise(kernel.arg("x") + 1)) is _quorvaline.KernelSpec

    @pytest.mark.parametrize("name", ["x", "a\x00b"])
    def test_same_name_twice_is_refused(self, kernel, name):
        with pytest.raises(ValueError) as info:
            kernel.elementwise(kernel.arg(name) + kernel.arg(name))
        assert str(info.value) == f"duplicate arg name: {name}"

    def test_one_argument_used_twice_is_one_argument(self, rt, kernel):
        x = kernel.arg("x")
        assert run(rt, kernel, x * x + x, x=rt.asarray(np.array([3.0]))).tolist() == [12.0]

    @pytest.mark.parametrize("value", [1, "x", None])
    def test_non_expr_is_refused(self, kernel, value):
        name = type(value).__name__
        with pytest.raises(TypeError) as info:
            kernel.elementwise(value)
        assert str(info.value) == f"argument 'expr': '{name}' object cannot be converted to 'Expr'"

    def test_expression_stays_usable(self, rt, kernel):
        x = kernel.arg("x")
        e = x - 1
        kernel.elementwise(e)
        assert run(rt, kernel, e * 2, x=rt.asarray(np.array([4.0]))).tolist() == [6.0]


class TestNumbering:
    # Arguments are numbered by creation, not by name or first use; binding by name must
    # still route each buffer to its own argument, whatever the shape of the tree.
    @pytest.mark.parametrize("build", [
        lambda a, b, c: (a - b) / c,
        lambda a, b, c: c / (b - a) * 0 + (a - b) / c,
        lambda a, b, c: kernel_pow(a, b) - c,
    ])
    @pytest.mark.parametrize("order", ["abc", "cba", "bca"])
    def test_binding_follows_names(self, rt, kernel, build, order):
        made = dict(zip(order, kernel.args(*order)))
        a, b, c = made["a"], made["b"], made["c"]
        values = {"a": np.array([7.0, 2.0]), "b": np.array([3.0, 5.0]), "c": np.array([2.0, 4.0])}
        expr = build(a, b, c)
        got = run(rt, kernel, expr, **{k: rt.asarray(v) for k, v in values.items()})
        want = build(*(values[k] for k in "abc"))
        assert got.tolist() == want.tolist()

    def test_rewritten_extreme_ids(self, rt, kernel):
        a, b = kernel.args("a", "b")
        ida, idb = a.get_referenced_args()[0], b.get_referenced_args()[0]
        e = (a - b).rewrite_args({ida: 2**64 - 1, idb: 0})
        got = run(rt, kernel, e, a=rt.asarray(np.array([10.0])), b=rt.asarray(np.array([1.0])))
        assert got.tolist() == [9.0]

    @pytest.mark.parametrize("left, right", [
        (lambda a, b: a - b, lambda a, b: b - a),          # same codes, other argument order
        (lambda a, b: a * 0.0 + b, lambda a, b: a * -0.0 + b),  # constants differ only in sign
        (lambda a, b: a + 1 + b, lambda a, b: a + 2 + b),
        (lambda a, b: a < b, lambda a, b: a <= b),
    ])
    def test_similar_kernels_do_not_share_results(self, rt, kernel, left, right):
        xa = np.array([1.0, -2.0, 3.0, -0.0])
        xb = np.array([-0.0, -2.0, 5.0, -0.0])
        bound = {"a": rt.asarray(xa), "b": rt.asarray(xb)}
        for _ in range(2):  # the second round is served by cached kernels
            for build in (left, right):
                a, b = kernel.args("a", "b")
                got = run(rt, kernel, build(a, b), **bound)
                want = np.asarray(build(xa, xb), dtype=np.float64)
                assert [bits(v) for v in got] == [bits(v) for v in want]

    def test_names_do_not_matter_to_the_kernel(self, rt, kernel):
        a, b = kernel.args("a", "b")
        x, y = kernel.args("x", "y")
        one, two = rt.asarray(np.array([1.0, 2.0])), rt.asarray(np.array([8.0, 4.0]))
        assert run(rt, kernel, a / b, a=one, b=two).tolist() == [0.125, 0.5]
        assert run(rt, kernel, x / y, x=two, y=one).tolist() == [8.0, 2.0]


def kernel_pow(a, b):
    return a ** b


class TestMapConversion:
    class Index:
        def __index__(self):
            return 7

    class Real:
        def __float__(self):
            return 2.25

    @pytest.mark.parametrize("value, want", [
        (True, 1.0),
        (False, 0.0),
        (-1, -1.0),
        (0, 0.0),
        (2**53 + 1, float(2**53)),           # nearest float64
        (2**63 - 1, 9.223372036854775807e18),
        (2**70, 1.1805916207174113e21),       # beyond int64: through the float conversion
        (-0.0, -0.0),
        (1.5, 1.5),
        (math.inf, math.inf),
        (-math.inf, -math.inf),
        (np.float64(2.5), 2.5),
        (np.int64(-3), -3.0),
        (np.float32(0.5), 0.5),
        (Index(), 7.0),
        (Real(), 2.25),
    ])
    def test_numbers_bind_as_scalars(self, rt, kernel, value, want):
        x, y = kernel.args("x", "y")
        got = run(rt, kernel, x * y, x=value, y=rt.asarray(np.ones(3)))
        assert [bits(v) for v in got] == [bits(want)] * 3

    def test_nan_binds(self, rt, kernel):
        x, y = kernel.args("x", "y")
        assert np.isnan(run(rt, kernel, x + y, x=math.nan, y=rt.asarray(np.zeros(2)))).all()

    @pytest.mark.parametrize("value", ["1.0", None, [1.0], 10**400, np.arange(3.0), object()])
    def test_other_values_are_refused(self, kernel, value):
        spec = kernel.elementwise(kernel.arg("x"))
        with pytest.raises(TypeError) as info:
            kernel.map(spec, x=value)
        assert str(info.value) == "argument 'x' must be Buffer or numeric"

    @pytest.mark.parametrize("name", ["b", "a\x00b"])
    def test_first_bad_binding_named(self, rt, kernel, name):
        spec = kernel.elementwise(kernel.arg("x"))
        with pytest.raises(TypeError) as info:
            kernel.map(spec, a=1, **{name: "no"}, c=None)
        assert str(info.value) == f"argument '{name}' must be Buffer or numeric"

    def test_buffer_binding_shares_data(self, rt, kernel):
        x = kernel.arg("x")
        buf = rt.asarray(np.array([1.0, 2.0]))
        assert run(rt, kernel, x + 0, x=buf).tolist() == [1.0, 2.0]

    @pytest.mark.parametrize("spec", [1, None, "spec"])
    def test_spec_must_be_a_kernel_spec(self, kernel, spec):
        with pytest.raises(TypeError) as info:
            kernel.map(spec, x=1)
        name = type(spec).__name__
        assert str(info.value) == (f"argument 'spec': '{name}' object cannot be converted "
                                   "to 'KernelSpec'")

    def test_map_spec_is_refused_as_spec(self, kernel, rt):
        spec = kernel.elementwise(kernel.arg("x"))
        mapped = kernel.map(spec, x=rt.asarray(np.ones(1)))
        with pytest.raises(TypeError, match="'MapSpec' object cannot be converted to 'KernelSpec'"):
            kernel.map(mapped)

    def test_spec_by_keyword_and_no_bindings(self, kernel):
        spec = kernel.elementwise(kernel.arg("x"))
        assert type(kernel.map(spec=spec)) is _quorvaline.MapSpec
        assert type(kernel.map(spec)) is _quorvaline.MapSpec

    @pytest.mark.parametrize("call, message", [
        (lambda k, s: k.map(),
         "_KernelModule.map() missing 1 required positional argument: 'spec'"),
        (lambda k, s: k.map(s, 1),
         "_KernelModule.map() takes 1 positional arguments but 2 were given"),
    ])
    def test_frame_errors(self, kernel, call, message):
        spec = kernel.elementwise(kernel.arg("x"))
        with pytest.raises(TypeError) as info:
            call(kernel, spec)
        assert str(info.value) == message


class TestBinding:
    @pytest.mark.parametrize("names, bound, message", [
        ("x", {}, "missing arg: x"),
        ("ba", {}, "missing args: a, b"),
        ("ba", {"z": 1.0}, "missing args: a, b"),            # missing is reported first
        ("x", {"x": None, "z": 1.0, "B": 2.0}, "unexpected args: B, z"),
        ("x", {"x": None, "é": 1.0, "e": 1.0, "ee": 1.0}, "unexpected args: e, ee, é"),
    ])
    def test_name_errors_at_result(self, rt, kernel, names, bound, message):
        args = kernel.args(*names)
        expr = args[0]
        for other in args[1:]:
            expr = expr + other
        buf = rt.asarray(np.ones(2))
        mapped = kernel.map(kernel.elementwise(expr), **{k: (buf if v is None else v)
                                                          for k, v in bound.items()})
        handle = rt.go(mapped)  # never raises for a computation error
        assert handle.is_done()
        with pytest.raises(ValueError) as info:
            handle.result()
        assert str(info.value) == message

    def test_failed_binding_leaves_spec_reusable(self, rt, kernel):
        x, y = kernel.args("x", "y")
        spec = kernel.elementwise(x + y)
        buf = rt.asarray(np.array([1.0, 2.0]))
        with pytest.raises(ValueError):
            rt.go(kernel.map(spec, x=buf)).result()
        assert rt.go(kernel.map(spec, x=buf, y=1)).result().numpy().tolist() == [2.0, 3.0]
