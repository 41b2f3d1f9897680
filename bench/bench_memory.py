"""Peak memory of a 10-operator expression at 1e7 elements: ours against NumPy's temporaries.

Run: python3 bench/bench_memory.py
Each side runs in a fresh process; the peak is reset once the inputs exist and the rise is
printed as a multiple of the output's size.
"""
import json
import subprocess
import sys

PROBE = """
import json, sys
import numpy as np
import _quorvaline as q

def status(field):
    for line in open("/proc/self/status"):
        if line.startswith(field + ":"):
            return int(line.split()[1]) * 1024

k, rt = q._KernelModule(), q._RuntimeModule()
n = 10_000_000
x, y = np.linspace(0.0, 1.0, n), np.linspace(1.0, 2.0, n)
a, b = k.args("a", "b")
m = k.map(k.elementwise(k.sqrt(k.abs((a * b + 1.5) * (a - b) / (b + 2.0) - a * 0.25)) + b * b),
          a=rt.asarray(x), b=rt.asarray(y))
small = rt.asarray(np.linspace(0.0, 1.0, 8192))
rt.go(k.map(k.elementwise(a + b), a=small, b=small)).result()
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
before = status("VmRSS")
if sys.argv[1] == "ours":
    out = rt.go(m).result()
else:
    out = np.sqrt(np.abs((x * y + 1.5) * (x - y) / (y + 2.0) - x * 0.25)) + y * y
print(json.dumps((status("VmHWM") - before) / (8 * n)))
"""


def rise(side):
    done = subprocess.run([sys.executable, "-c", PROBE, side], capture_output=True, text=True,
                          timeout=300, check=True)
    return json.loads(done.stdout)


def run():
    ours, numpy = rise("ours"), rise("numpy")
    print(f"peak rise, 10 operators at 1e7: ours {ours:.2f}x output, numpy {numpy:.2f}x output")
    return ours, numpy


if __name__ == "__main__":
    run()
