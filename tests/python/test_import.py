import _quorvaline


def test_module_imports():
    assert _quorvaline.__name__ == "_quorvaline"
