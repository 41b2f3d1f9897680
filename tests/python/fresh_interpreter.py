"""Runs a test script in a new interpreter, with the engine and a few specs ready."""
import os
import subprocess
import sys
import textwrap

TIMEOUT = 120

PRELUDE = """
import os, signal, sys, threading, time, warnings
import numpy as np
import _quorvaline as q
kernel, rt = q._KernelModule(), q._RuntimeModule()
x = kernel.arg("x")
small = kernel.map(kernel.elementwise(x * 2 + 1), x=rt.asarray(np.arange(10.0)))
large = kernel.map(kernel.elementwise(kernel.sqrt(x) * 2 + kernel.sin(x)),
                   x=rt.asarray(np.arange(200_000.0)))
total = kernel.sum(rt.asarray(np.arange(10.0)))

def check_engine():
    assert list(rt.go(small).result().numpy()[:3]) == [1.0, 3.0, 5.0]
    assert rt.go(total).result().scalar() == 45.0
    assert len(rt.go(large).result()) == 200_000          # the pool
    c = rt.chan(2)
    h = rt.go(small, out=c)                                # the delivery worker
    assert c.recv().numpy()[1] == 3.0 and h.result().numpy()[1] == 3.0
    c.send(rt.asarray(np.ones(2)))
    assert q.py_select(q.RecvCase(rt.chan(0)), q.RecvCase(c))[0] == 1

warnings.simplefilter("ignore", DeprecationWarning)    # fork() with threads running

# Forks; the child runs body() and exits 0, or 1 with the error printed; a child still
# running after 20 s is ended by SIGALRM. Returns the child's pid.
def in_child(body):
    pid = os.fork()
    if pid:
        return pid
    code = 1
    try:
        signal.alarm(20)
        body()
        code = 0
    except BaseException as e:
        print("child:", repr(e), file=sys.stderr, flush=True)
    os._exit(code)

# Waits (bounded) for every child to exit with status 0.
def reap(pids, seconds=60):
    end = time.monotonic() + seconds
    for pid in pids:
        while True:
            done, status = os.waitpid(pid, os.WNOHANG)
            if done:
                code = os.waitstatus_to_exitcode(status)
                assert code == 0, f"child exit {code}"
                break
            if time.monotonic() > end:
                os.kill(pid, 9)
                raise SystemExit("child hung")
            time.sleep(0.01)
"""


def run(body):
    """Runs PRELUDE + body in a new interpreter; returns its stdout."""
    script = PRELUDE + textwrap.dedent(body)
    env = dict(os.environ)
    if "ASAN_OPTIONS" in env:  # threads left mid-call at exit keep what they hold, by design
        env["ASAN_OPTIONS"] += ":detect_leaks=0"
    proc = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          timeout=TIMEOUT, env=env)
    assert proc.returncode == 0, f"exit status {proc.returncode}\n{proc.stderr[-3000:]}"
    for sign in ("Fatal Python error", "terminate called", "Segmentation fault", "Panic"):
        assert sign not in proc.stderr, proc.stderr[-3000:]
    return proc.stdout
