"""Reading expressions in tests: argument ids and tree text."""


def ident(e):
    """The one argument id an expression refers to."""
    (i,) = e.get_referenced_args()
    return i


def tree(e):
    """The repr without the outer "Expr(...)"."""
    text = repr(e)
    assert text.startswith("Expr(") and text.endswith(")")
    return text[5:-1]
