import numpy as np
import pytest

import _quorvaline


@pytest.fixture(scope="session")
def rt():
    return _quorvaline._RuntimeModule()


@pytest.fixture
def buf(rt):
    return rt.asarray(np.array([2.5, 7.0, -1.0]))


@pytest.fixture(scope="session")
def kernel():
    return _quorvaline._KernelModule()
