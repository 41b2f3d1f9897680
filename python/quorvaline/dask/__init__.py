"""Quorvaline kernels over Dask arrays, on one machine or a cluster.

Imported on demand (``import quorvaline.dask``), so the package itself never needs Dask::

    import dask.array as da
    import quorvaline.dask as qvd

    x = da.random.random(100_000_000, chunks=10_000_000)
    r = qvd.evaluate("sqrt(x*x + 1)", x=x)      # a lazy Dask array, nothing computed yet
    total = qvd.sum(r).compute()                 # bit-identical to qv.sum of the whole array

Each chunk runs through the engine's NumPy path, on the threads of whichever Dask worker
holds it; `sum` and `mean` carry their in-order sum from chunk to chunk, so the result has
the bits of one pass over the whole array in C order, whatever the chunking.
"""
from quorvaline.dask._evaluate import evaluate

# Kept out of __all__, as in the package: a star import would hide the built-ins.
from quorvaline.dask._reduce import max as max
from quorvaline.dask._reduce import mean as mean
from quorvaline.dask._reduce import min as min
from quorvaline.dask._reduce import sum as sum

__all__ = ["evaluate"]
