"""Pool scaling: a compute-bound kernel at 1e7 on one pool thread against two, and on one core
against all of them.

Run: python3 bench/bench_scaling.py [--n 1e7]
The pool reads RAYON_NUM_THREADS once, so each setting runs in its own process; the processes
alternate and each reports its best time, plus the CPU time its threads used (on a loaded
machine wall time alone cannot tell whether the threads computed side by side). The calling
thread computes pieces too, so one pool thread already means two computing threads.
"""
import argparse
import os
import subprocess
import sys

CHILD = """
import os, sys, time
import numpy as np
if sys.argv[2] == "one-core":
    os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
import _quorvaline as q
k, rt = q._KernelModule(), q._RuntimeModule()
n = int(sys.argv[1])
rng = np.random.default_rng(5)
a, b = k.args("a", "b")
m = k.map(k.elementwise(k.sin(a) ** 2 + k.cos(b) ** 2), a=rt.asarray(rng.random(n)),
          b=rt.asarray(rng.random(n)))
rt.go(m).result()
best, cpu = 1e9, 0.0
for _ in range(3):
    t0, c0 = time.perf_counter(), time.process_time()
    rt.go(m).result()
    dt = time.perf_counter() - t0
    if dt < best:
        best, cpu = dt, time.process_time() - c0
print(best, cpu)
"""


# name: (RAYON_NUM_THREADS, cores)
SETTINGS = {"one core": (1, "one-core"), "pool 1": (1, "all"), "pool 2": (2, "all")}


def one(setting, n):
    threads, cores = SETTINGS[setting]
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    out = subprocess.run([sys.executable, "-c", CHILD, str(n), cores], env=env,
                         capture_output=True, text=True, timeout=600, check=True).stdout.split()
    return float(out[0]), float(out[1])


def run(n, rounds=3):
    best = {name: (float("inf"), 0.0) for name in SETTINGS}
    for _ in range(rounds):
        for name in SETTINGS:
            wall, cpu = one(name, n)
            if wall < best[name][0]:
                best[name] = (wall, cpu)
    load = os.getloadavg()[0]
    for name, (wall, cpu) in best.items():
        print(f"sin(a)**2+cos(b)**2 n={n} {name:<9} {wall * 1e3:7.0f} ms  cpu/wall "
              f"{cpu / wall:.2f}")
    speedup_pool = best["pool 1"][0] / best["pool 2"][0]
    speedup_cores = best["one core"][0] / best["pool 2"][0]
    print(f"speed-up pool 2 over pool 1 {speedup_pool:.2f}, all cores over one core "
          f"{speedup_cores:.2f}, load {load:.1f}")
    return speedup_pool, speedup_cores, load


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--n", default="1e7")
    run(int(float(p.parse_args().n)))


if __name__ == "__main__":
    main()
