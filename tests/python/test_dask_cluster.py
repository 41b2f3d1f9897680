"""quorvaline.dask on a real distributed.LocalCluster of worker processes on the loopback
address: bit-identical results, a worker killed mid-computation, engine errors at compute(),
a clean close. Every wait is bounded."""
import logging
import os
import signal
import sys
import time

import numpy as np
import pytest

import quorvaline as qv

pytest.importorskip("dask.array")
distributed = pytest.importorskip("distributed")
import cloudpickle  # noqa: E402
import dask.array as da  # noqa: E402

import quorvaline.dask as qvd  # noqa: E402

# Worker processes cannot import this test module: ship its functions by value.
cloudpickle.register_pickle_by_value(sys.modules[__name__])

WAIT = 60  # seconds: the bound on every wait for the cluster
N, CHUNK = 400_000, 25_000


def haversine(lat1, lon1, lat2, lon2):
    k = qv.kernel
    p = (k.sin((lat2 - lat1) * 0.5) ** 2
         + k.cos(lat1) * k.cos(lat2) * k.sin((lon2 - lon1) * 0.5) ** 2)
    return 2 * 6371.0 * k.atan2(k.sqrt(p), k.sqrt(1 - p))


def start_cluster(workers):
    return distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                    host="127.0.0.1", dashboard_address="127.0.0.1:0",
                                    silence_logs=logging.ERROR)


@pytest.fixture(scope="module")
def client():
    with start_cluster(2) as cluster, distributed.Client(cluster, timeout=WAIT) as client:
        yield client


@pytest.fixture(scope="module")
def lazy():
    """Coordinates made chunk by chunk where they are used, the same on every run."""
    rng = da.random.default_rng(11)
    return {name: rng.uniform(-3.0, 3.0, N, chunks=CHUNK)
            for name in ("lat1", "lon1", "lat2", "lon2")}


@pytest.fixture(scope="module")
def coordinates(lazy):
    return {name: array.compute(scheduler="threads") for name, array in lazy.items()}


def same_bits(a, b):
    a, b = np.asarray(a, dtype=np.float64), np.asarray(b, dtype=np.float64)
    return a.shape == b.shape and np.array_equal(a.view(np.uint64), b.view(np.uint64))


def test_results_have_the_single_machine_bits(client, lazy, coordinates):
    distances = qvd.evaluate(haversine, lazy)
    expected = qv.evaluate(haversine, coordinates)
    got = client.compute([distances, qvd.sum(distances), qvd.mean(distances),
                          qvd.min(distances), qvd.max(distances)])
    values = client.gather(got, errors="raise")
    assert same_bits(values[0], expected)
    for value, whole in zip(values[1:], (qv.sum, qv.mean, qv.min, qv.max)):
        assert same_bits(value, whole(expected))
    # Each worker's engine took the one thread per Dask thread that Dask gives libraries.
    assert set(client.run(qv.get_num_threads).values()) == {1}


def gate(block, block_info=None):
    """The last chunk waits until the test opens the gate (bounded)."""
    if block_info[0]["chunk-location"][0] == block_info[0]["num-chunks"][0] - 1:
        distributed.Event("qv-gate").wait(timeout=WAIT)
    return block


def test_a_worker_killed_mid_computation_changes_no_bit(client, lazy, coordinates):
    pids = client.run(os.getpid)
    gated = dict(lazy, lat1=lazy["lat1"].map_blocks(gate, dtype=np.float64))
    total = qvd.sum(qvd.evaluate(haversine, gated))
    future = client.compute(total)
    deadline = time.monotonic() + WAIT
    while not any(client.has_what().values()):   # results held: the work is under way
        assert time.monotonic() < deadline, "no task finished"
        time.sleep(0.05)
    victim = max(client.has_what().items(), key=lambda item: len(item[1]))[0]
    os.kill(pids[victim], signal.SIGKILL)
    assert not future.done()
    distributed.Event("qv-gate", client=client).set()
    assert same_bits(future.result(timeout=WAIT), qv.sum(qv.evaluate(haversine, coordinates)))
    client.wait_for_workers(2, timeout=WAIT)


def test_a_failing_chunk_raises_the_engine_error_at_compute(client):
    x = da.from_array(np.arange(100.0), chunks=30)
    lazy = qvd.evaluate(qv.compile("x + y"), x=x)
    with pytest.raises(ValueError, match="^missing arg: y$"):
        client.compute(lazy).result(timeout=WAIT)
    with pytest.raises(ValueError, match="^cannot Mean empty buffer$"):
        client.compute(qvd.mean(x[:0])).result(timeout=WAIT)


def test_closing_the_cluster_mid_computation_hangs_nothing():
    started = time.monotonic()
    with start_cluster(1) as cluster:
        client = distributed.Client(cluster, timeout=WAIT)
        pid = next(iter(client.run(os.getpid).values()))
        x = da.from_array(np.arange(1000.0), chunks=100).map_blocks(gate, dtype=np.float64)
        future = client.compute(qvd.sum(qvd.evaluate(lambda x: x * 2, x=x)))
        client.close(timeout=WAIT)
    with pytest.raises(Exception):
        future.result(timeout=WAIT)
    for _ in range(WAIT * 10):
        if not os.path.exists(f"/proc/{pid}") or "Z" in open(f"/proc/{pid}/stat").read().split()[2]:
            break
        time.sleep(0.1)
    else:
        pytest.fail("the worker process outlived its cluster")
    assert time.monotonic() - started < WAIT
