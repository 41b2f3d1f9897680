"""The native face's tree exchange refuses malformed nodes before it builds anything."""
import numpy as np
import pytest

from quorvaline import _native, kernel
from quorvaline._nodes import OPERATORS, UNARY

UNARY_COUNT = sum(op.kind == UNARY for op in OPERATORS)  # the first code past the table


@pytest.mark.parametrize("names,nodes,kind,message", [
    (["x"], [(1, 1)], ValueError, "^node 0: argument position out of range$"),
    (["x"], [(1, 0), (3, 0)], ValueError, "^node 1: too few operands$"),
    (["x"], [(1, 0), (1, 0)], ValueError, "^nodes must form exactly one tree, not 2$"),
    (["x"], [], ValueError, "^nodes must form exactly one tree, not 0$"),
    (["x", "y"], [(1, 0)], ValueError, "^name 1 is not used by any node$"),
    (["x"], [(1, 0), (2, UNARY_COUNT)], ValueError, "^node 1: unknown operator$"),
    (["x"], [(1, 0), (1, 0), (1, 0), (5, 1)], ValueError, "^node 3: unknown operator$"),
    (["x"], [(1, 0), (6, 0)], ValueError, "^node 1: unknown tag$"),
    (["x"], [(1, 0), (0, "1"), (3, 0)], ValueError,
     "^node 1: a constant must be a float, an int, a bool or a NumPy scalar$"),
    *[(["x"], [(1, 0), (0, scalar), (3, 0)], ValueError,
       "^node 1: a NumPy constant must be bool, int32, int64, float32 or float64$")
      for scalar in (np.clongdouble(1), np.longdouble(1), np.str_("x" * 64), np.int8(1),
                     np.float16(1), np.datetime64(1, "s"))],
    (["x"], [(1, 0), (0, 2 ** 63), (3, 0)], ValueError,
     "^node 1: an integer constant must fit in int64$"),
    (["x"], [(1, 0), (0, 1.0, 2)], ValueError, r"^node 1: must be a pair \(tag, payload\)$"),
    (["x"], [(1, 2 ** 80)], ValueError, "^node 0: argument position out of range$"),
    ([1], [(1, 0)], TypeError, "^argument 'names': 'int' object cannot be converted"),
    ("x", 5, TypeError, "nodes must be a sequence of pairs"),
])
def test_malformed_nodes_are_refused_and_draw_no_argument_id(names, nodes, kind, message):
    before = kernel.arg("probe").get_referenced_args()[0]
    with pytest.raises(kind, match=message):
        _native.expr_from_nodes(names, nodes)
    assert kernel.arg("probe").get_referenced_args()[0] == before + 1


def test_nodes_of_an_expression_in_post_order():
    x, y = kernel.args("x", "y")
    expr = kernel.where_(y > 0.5, kernel.atan2(x, y), -x)
    names, nodes = _native.expr_nodes(expr)
    assert names == ("x", "y")
    assert nodes == ((1, 1), (0, 0.5), (4, 0), (1, 0), (1, 1), (3, 5), (1, 0), (2, 0), (5, 0))
    rebuilt = _native.expr_from_nodes(names, nodes)
    assert _native.expr_nodes(rebuilt) == (names, nodes)
    assert repr(_native.expr_from_nodes(["x"], [(1, 0)])) == "Expr(x)"


@pytest.mark.parametrize("constant", [True, False, np.int32(-7), np.int64(2**62 + 1),
                                      np.float32(0.1), np.float64(-0.0)])
def test_constants_of_their_own_dtype_come_back_as_they_went(constant):
    expr = _native.expr_from_nodes(["x"], [(1, 0), (0, constant), (3, 0)])
    back = _native.expr_nodes(expr)[1][1][1]
    assert type(back) is type(constant)
    assert np.asarray(back).tobytes() == np.asarray(constant).tobytes()
