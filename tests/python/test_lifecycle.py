"""Process lifecycle, each case in a fresh interpreter: exit while the delivery worker is
blocked, while pool threads and Python threads are busy in the engine, after many
submissions; fork after the pool and the delivery worker exist; multiprocessing with fork."""
import os
import subprocess
import sys

import pytest
from fresh_interpreter import run

EXITS = {
    "delivery worker blocked on a full channel": """
        c, other = rt.chan(1), rt.chan(1)
        handles = [rt.go(small, out=c) for _ in range(3)] + [rt.go(small, out=other)]
        end = time.monotonic() + 30
        while repr(handles[1]) != "TaskHandle(state=Delivering)" and time.monotonic() < end:
            time.sleep(0.01)
        print([repr(h) for h in handles])
    """,
    "pool threads busy, Python threads inside go and result": """
        def compute():
            while True:
                rt.go(large)
        def wait_forever():
            c = rt.chan(0)
            rt.go(small, out=c).result()   # nobody receives: waits in result()
        def receive_forever():
            rt.chan(1).recv()
        for fn in (compute, compute, wait_forever, receive_forever):
            threading.Thread(target=fn, daemon=True).start()
        time.sleep(0.5)
        print("exiting")
    """,
    "Python threads inside conversion hooks": """
        class Hook:
            def __float__(self):            # Python code: the lock may change hands here
                return float(sum(range(200)))
        def convert():
            spec, hook = kernel.elementwise(x + 1), Hook()
            while True:
                kernel.map(spec, x=hook)
                x + hook
        for _ in range(3):
            threading.Thread(target=convert, daemon=True).start()
        time.sleep(0.3)
        print("exiting")
    """,
    "Python threads inside the package's reductions": """
        import quorvaline as qv
        from quorvaline import _native
        a = np.ones(1_000_000)
        def reduce_forever(f):
            while True:
                f(a)
        for f in (qv.sum, qv.mean, qv.min, qv.max, lambda a: _native.sum(a, 0.0)):
            threading.Thread(target=reduce_forever, args=(f,), daemon=True).start()
        time.sleep(0.3)
        print("exiting")
    """,
    "after many submissions": """
        c = rt.chan(100_000)
        for i in range(20_000):
            rt.go(small if i % 3 else total, out=c if i % 2 else None)
        for i in range(200):
            rt.go(large)
        print("exiting")
    """,
}


@pytest.mark.parametrize("case", EXITS)
def test_clean_exit(case):
    assert run(EXITS[case])


FORK = """
    check_engine()                      # pool and delivery worker exist now
    busy = threading.Event()
    def churn():                        # engine locks in use at the moment of the forks
        c = rt.chan(4)
        while not busy.is_set():
            rt.go(small, out=c); c.recv(); rt.go(large)
    threads = [threading.Thread(target=churn) for _ in range(2)]
    for t in threads:
        t.start()
    kept = rt.chan(4)
    kept.send(rt.asarray(np.array([7.0])))
    def child():
        check_engine()
        assert kept.recv().scalar() == 7.0      # a channel made before the fork
    children = []
    for _ in range(4):
        time.sleep(0.05)
        children.append(in_child(child))
    busy.set()
    for t in threads:
        t.join(60)
    reap(children)
    check_engine()                      # the parent is unaffected
    print("ok")
"""


# This case forks while threads allocate, and ASan's own allocator can hang such a child.
@pytest.mark.skipif(bool(os.environ.get("QV_SANITIZED")),
                    reason="under the sanitizer runtime a child forked amid threads can hang")
def test_fork_child_rebuilds_the_engine():
    assert run(FORK).strip() == "ok"


MULTIPROCESSING = """
    import multiprocessing as mp

    def work(n):
        check_engine()
        b = rt.asarray(np.arange(float(n)))
        return rt.go(kernel.sum(b)).result().scalar()

    check_engine()
    with mp.get_context("fork").Pool(2) as pool:
        got = pool.map_async(work, [10, 5000, 100_000, 3]).get(timeout=60)
    assert got == [45.0, 12497500.0, 4999950000.0, 3.0], got
    check_engine()
    print("ok")
"""


def test_multiprocessing_fork():
    assert run(MULTIPROCESSING).strip() == "ok"


# The first interpreter to import the module is a sub-interpreter (mod_wsgi's default).
SUB_INTERPRETER = '''
import importlib
for name in ("_interpreters", "_xxsubinterpreters"):
    try:
        si = importlib.import_module(name)
        break
    except ImportError:
        pass
else:
    raise SystemExit(77)
si.run_string(si.create(), """
import warnings
warnings.simplefilter("ignore")   # NumPy's own warning about sub-interpreters
import numpy as np
import quorvaline as qv
a = np.arange(10.0)
assert (qv.sum(a), qv.mean(a), qv.min(a), qv.max(a)) == (45.0, 4.5, 0.0, 9.0)
assert qv.sum([1.0, 2.0]) == 3.0 and qv.sum(qv.rt.asarray(a)) == 45.0
assert qv.evaluate("a * 2", a=a)[3] == 6.0
""")
print("ok")
'''


def test_sub_interpreter_runs_reductions():
    proc = subprocess.run([sys.executable, "-c", SUB_INTERPRETER], capture_output=True,
                          text=True, timeout=60)
    if proc.returncode == 77:
        pytest.skip("no sub-interpreter module in this Python")
    assert proc.returncode == 0 and proc.stdout.strip() == "ok", proc.stderr[-3000:]
