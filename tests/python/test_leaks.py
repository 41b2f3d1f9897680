"""Every public operation, its failure paths included, run thousands of times: resident memory,
the number of live tracked objects and the reference counts of the inputs must not grow."""
import gc
import os
import sys

import numpy as np
import pytest

import _quorvaline as q

# Under the sanitizers freed memory sits in quarantine, so resident size says nothing there;
# LeakSanitizer checks engine memory instead, and fewer rounds keep the run short.
SANITIZED = bool(os.environ.get("QV_SANITIZED"))
ROUNDS = 300 if SANITIZED else 3000
N = 10_000  # elements per buffer: a buffer leaked per call is 80 kB, 240 MB over the rounds
RSS_SLACK = 24 << 20
OBJECT_SLACK = 200


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def swallow(fn, *exceptions):
    def run():
        try:
            fn()
        except exceptions:
            pass
    return run


LABELS = ("build and print", "argument discovery", "elementwise and map", "go tree kernel",
          "go flat kernel", "go reduction", "asarray and back", "failed tasks",
          "channel send and recv", "select", "delivery", "delivery into a closed channel",
          "closed channel errors", "channel dropped holding buffers", "conversion errors",
          "internal faults")


def operations(kernel, rt):
    """label -> (one call, the inputs whose reference counts must stay put)."""
    x, y = kernel.args("x", "y")
    big = x
    for i in range(100):  # ~700 nodes, so a tree leaked per call is tens of kB
        big = kernel.where_(x > i, big * 1.5, y - i)
    (ix, iy) = (x.get_referenced_args()[0], y.get_referenced_args()[0])
    arr = np.linspace(-1.0, 1.0, N)
    buf = rt.asarray(arr)
    spec = kernel.elementwise(big)
    flat = kernel.elementwise(kernel.sqrt(abs(x)) + y * 2)
    mapped = kernel.map(kernel.elementwise(kernel.where_(x > 0, kernel.sqrt(x), y * 2)),
                        x=buf, y=0.5)
    flat_mapped = kernel.map(flat, x=buf, y=buf)
    reduce = kernel.mean(buf)
    missing = kernel.map(spec, x=buf)
    mismatch = kernel.map(flat, x=buf, y=rt.asarray(np.zeros(3)))
    chan, idle = rt.chan(1), rt.chan(0)
    closed = rt.chan(1)
    closed.close()
    strided = np.arange(2.0 * N)[::2]
    bad_name = object()

    def channel_round_trip():
        chan.send(buf)
        return chan.recv()

    def select_round_trip():
        chan.send(buf)
        q.py_select(q.RecvCase(idle), q.RecvCase(chan), default=False)
        q.py_select(q.RecvCase(idle), default=True)

    def delivered():
        handle = rt.go(flat_mapped, out=chan)
        chan.recv()
        return handle.result()

    def drop_full_channel():
        c = rt.chan(4)
        c.send(buf)
        c.send(buf)
        c.close()

    return {
        "build and print": (lambda: repr(kernel.where_(big > 0, big, -big)), [big]),
        "argument discovery": (lambda: (big.rewrite_args({ix: iy, iy: ix}).get_temp_args(),
                                        big.get_referenced_args()), [big]),
        "elementwise and map": (lambda: kernel.map(kernel.elementwise(big), x=buf, y=2),
                                [big, buf]),
        "go tree kernel": (lambda: rt.go(mapped).result().numpy(), [mapped, buf]),
        "go flat kernel": (lambda: len(rt.go(flat_mapped).result()), [flat_mapped]),
        "go reduction": (lambda: rt.go(reduce).result().scalar(), [reduce]),
        "asarray and back": (lambda: rt.asarray(arr).numpy(), [arr]),
        "failed tasks": (lambda: (swallow(rt.go(missing).result, ValueError)(),
                                  swallow(rt.go(mismatch).result, ValueError)(),
                                  repr(rt.go(mismatch))), [missing, mismatch]),
        "channel send and recv": (channel_round_trip, [chan, buf]),
        "select": (select_round_trip, [chan, idle, buf]),
        "delivery": (delivered, [flat_mapped, chan]),
        "delivery into a closed channel": (
            swallow(lambda: rt.go(flat_mapped, out=closed).result(), RuntimeError),
            [flat_mapped, closed]),
        "closed channel errors": (lambda: (swallow(lambda: closed.send(buf), RuntimeError)(),
                                           swallow(closed.recv, RuntimeError)()), [closed, buf]),
        "channel dropped holding buffers": (drop_full_channel, [buf]),
        "conversion errors": (lambda: (swallow(lambda: kernel.arg(bad_name), TypeError)(),
                                       swallow(lambda: x + bad_name, TypeError)(),
                                       swallow(lambda: kernel.map(spec, x=bad_name), TypeError)(),
                                       swallow(lambda: rt.go(bad_name), TypeError)()),
                              [bad_name, x, spec]),
        "internal faults": (lambda: (swallow(lambda: rt.asarray(strided), BaseException)(),
                                     swallow(q.py_select, BaseException)()), [strided]),
    }


def measure(fn, watched, rounds):
    for _ in range(rounds // 10):  # warm up: caches, pool, delivery worker, allocator arenas
        fn()
    gc.collect()
    refs, objects, resident = [sys.getrefcount(v) for v in watched], len(gc.get_objects()), rss()
    for _ in range(rounds):
        fn()
    gc.collect()
    after = [sys.getrefcount(v) for v in watched]
    return rss() - resident, len(gc.get_objects()) - objects, [a - b for a, b in zip(after, refs)]


@pytest.fixture(scope="module")
def table(kernel, rt):
    ops = operations(kernel, rt)
    assert tuple(ops) == LABELS
    return ops


@pytest.mark.parametrize("label", LABELS)
def test_no_growth(table, label):
    fn, watched = table[label]
    grown, objects, refs = measure(fn, watched, ROUNDS)
    assert refs == [0] * len(watched), f"input references grew: {refs}"
    assert objects < OBJECT_SLACK, f"{objects} more live objects after {ROUNDS} rounds"
    if not SANITIZED:
        assert grown < RSS_SLACK, f"resident memory grew by {grown >> 20} MB in {ROUNDS} rounds"
