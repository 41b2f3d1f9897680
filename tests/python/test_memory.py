# Peak memory of a large evaluation: the output and nothing of full length besides it.
import json
import os
import subprocess
import sys
import textwrap

import pytest

# A probe's reading of its own memory figures (VmRSS, VmHWM), in bytes.
RSS = textwrap.dedent("""
    def rss(field):
        for line in open("/proc/self/status"):
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
        raise RuntimeError(field)
""")

# Runs in a fresh interpreter so the peak belongs to this evaluation alone. The peak is reset
# (clear_refs) once the inputs exist, then read back after the evaluation.
PROBE = RSS + textwrap.dedent("""
    import json, sys
    import numpy as np
    import _quorvaline as q

    k, rt = q._KernelModule(), q._RuntimeModule()
    n = 10_000_000
    a, b = k.args("a", "b")
    exprs = {
        "flat": k.sqrt(k.abs((a * b + 1.5) * (a - b) / (b + 2.0) - a * 0.25)) + b * b,
        "select": k.where_(a > 0.5, k.exp(a * b + 1.0) - a, k.log(b + 2.0) * (b - a)),
    }
    spec = k.elementwise(exprs[sys.argv[1]])
    small = rt.asarray(np.linspace(0.0, 1.0, 8192))
    rt.go(k.map(spec, a=small, b=small)).result()  # the pool and its stacks exist from here
    x = rt.asarray(np.linspace(0.0, 1.0, n))
    y = rt.asarray(np.linspace(1.0, 2.0, n))
    m = k.map(spec, a=x, b=y)
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    before = rss("VmRSS")
    out = rt.go(m).result()
    print(json.dumps({"rise": rss("VmHWM") - before, "out": 8 * n}))
""")


@pytest.mark.parametrize("form", ["flat", "select"])
def test_large_evaluation_needs_no_full_length_temporaries(form):
    done = subprocess.run([sys.executable, "-c", PROBE, form], capture_output=True, text=True,
                          timeout=120)
    if done.returncode != 0 and "clear_refs" in done.stderr:
        pytest.skip("peak memory cannot be reset here")
    assert done.returncode == 0, done.stderr
    figures = json.loads(done.stdout)
    assert figures["rise"] <= 1.1 * figures["out"], figures


# A reduction written around a formula folds its values as they are computed: the peak rises
# by a few blocks per thread, never by the formula's values (32 MB here).
REDUCTION_PROBE = RSS + textwrap.dedent("""
    import json, sys
    import numpy as np
    import quorvaline as qv
    import quorvaline.numexpr as ne

    run = {"qv": lambda t, ops: qv.evaluate(t, ops), "ne": lambda t, ops: ne.evaluate(t, ops)}
    n = 4_000_000
    small = {"a": np.ones(8192), "b": np.ones(8192), "x": np.ones((4, 2048))}
    big = {"a": np.linspace(0, 1, n), "b": np.linspace(1, 2, n),
           "x": np.linspace(0, 1, n).reshape(2000, -1)}
    rises = {}
    for text in ["sum(a * b)", "sum(x**2, axis=1)", "prod(a * 0 + b / b)", "max(a - b, axis=0)"]:
        for face, call in run.items():
            call(text, small)  # the pool, its stacks and the kernel exist from here
            with open("/proc/self/clear_refs", "w") as f:
                f.write("5")
            before = rss("VmRSS")
            call(text, big)
            rises[face + " " + text] = rss("VmHWM") - before
    print(json.dumps({"rises": rises, "values": 8 * n}))
""")


@pytest.mark.skipif(bool(os.environ.get("QV_SANITIZED")),
                    reason="ASan's allocator keeps freed blocks for a while: its peak, not ours")
def test_reductions_of_formulas_keep_no_temporary_of_their_values():
    done = subprocess.run([sys.executable, "-c", REDUCTION_PROBE], capture_output=True,
                          text=True, timeout=120)
    if done.returncode != 0 and "clear_refs" in done.stderr:
        pytest.skip("peak memory cannot be reset here")
    assert done.returncode == 0, done.stderr
    figures = json.loads(done.stdout)
    assert max(figures["rises"].values()) <= figures["values"] // 16, figures


# Out of memory is an ordinary MemoryError wherever a copy out of the engine fails, and the
# buffer stays usable once memory is back. Address space is limited to what exists plus a
# margin: enough for the engine's result, not for NumPy's copy of it.
OUT_OF_MEMORY = textwrap.dedent("""
    import resource
    import numpy as np
    import quorvaline as qv
    from quorvaline import rt

    def used():
        for line in open("/proc/self/status"):
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024

    n = 2**26  # 512 MiB of float64
    b = rt.asarray(np.zeros(n))
    qv.evaluate(lambda x: x + 1.0, x=np.zeros(8192))  # the pool exists before the limit
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    # qv.evaluate writes its result straight into a new array: half of it fits, not all.
    for margin, call in [(2**28, b.numpy), (2**28, lambda: qv.evaluate(lambda x: x * 2.0, x=b))]:
        resource.setrlimit(resource.RLIMIT_AS, (used() + margin, hard))
        try:
            call()
            raise SystemExit("no MemoryError")
        except MemoryError:
            pass
        finally:
            resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    assert b.numpy()[-1] == 0.0
    print("ok")
""")


@pytest.mark.skipif(bool(os.environ.get("QV_SANITIZED")),
                    reason="the sanitizers reserve more address space than any limit allows")
def test_out_of_memory_in_numpy_is_memory_error():
    done = subprocess.run([sys.executable, "-c", OUT_OF_MEMORY], capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0 and done.stdout == "ok\n", done.stdout + done.stderr


# A parameter that changes on every call makes a new formula each time (lambdas, texts and
# compiled kernels alike): the compiled forms kept for them must stay bounded.
NEW_FORMULA_EVERY_CALL = textwrap.dedent("""
    import numpy as np
    import quorvaline as qv

    def rss():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * 4096

    x = np.ones(8)
    forms = (lambda s: qv.evaluate(lambda x: x * s + 1.0, x=x),
             lambda s: qv.evaluate(f"x * {s!r} + 1.0", x=x),
             lambda s: qv.compile(f"x * {s!r} + 2.0")(x=x))
    calls = iter(range(10**9))
    def run(n):
        for i in range(n):
            s = 0.5 + next(calls)
            forms[i % 3](s)
    run(9000)   # past the cache's limit, so the level is reached
    before = rss()
    run(30000)
    print((rss() - before) >> 20)
""")


@pytest.mark.skipif(bool(os.environ.get("QV_SANITIZED")),
                    reason="freed memory sits in the sanitizers' quarantine")
def test_new_formula_on_every_call_keeps_memory_bounded():
    done = subprocess.run([sys.executable, "-c", NEW_FORMULA_EVERY_CALL], capture_output=True,
                          text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert int(done.stdout) < 8, f"resident memory grew by {done.stdout.strip()} MiB"
