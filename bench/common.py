"""Shared timing helpers for the side-by-side benchmarks."""
import ctypes
import os
import pathlib
import subprocess
import tempfile
import time

import numpy as np


def best_of(fn, repeat=7, min_time=0.05):
    """Best per-call time of fn over `repeat` rounds, each at least `min_time` long."""
    fn()
    calls = 1
    while True:
        t0 = time.perf_counter()
        for _ in range(calls):
            fn()
        dt = time.perf_counter() - t0
        if dt >= min_time or calls >= 1 << 20:
            break
        calls *= 2
    best = dt / calls
    for _ in range(repeat - 1):
        t0 = time.perf_counter()
        for _ in range(calls):
            fn()
        best = min(best, (time.perf_counter() - t0) / calls)
    return best


def best_reported(fn, repeat=7, min_time=0.35):
    """Smallest of the times fn reports (in seconds) over at least `repeat` calls and at least
    `min_time` seconds in all: the same care best_of takes, for floors timed inside C."""
    times = [fn()]
    while len(times) < repeat or sum(times) < min_time:
        times.append(fn())
    return min(times)


def pool_threads():
    """The thread count our pool uses, by the same environment rules."""
    for var in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"):
        v = os.environ.get(var, "")
        if v.isdigit() and int(v) > 0:
            return int(v)
    return len(os.sched_getaffinity(0))


def copy_floor(nbytes, threads):
    """Seconds to copy nbytes / 2 bytes into another nbytes / 2 on `threads` threads: the same
    bytes moved and the same working set as a kernel that moves nbytes, warm as the kernels
    find their data (at sizes that fit the caches, this is the caches' pace)."""
    n = nbytes // 16
    src = np.random.default_rng(0).random(n)
    dst = np.empty_like(src)
    lib = libm()
    return best_reported(lambda: lib.copy_seconds(src.ctypes.data, dst.ctypes.data, n, threads))


_libm = None


def libm():
    """The math-library floor probe, compiled once with the system C compiler."""
    global _libm
    if _libm is None:
        here = pathlib.Path(__file__).parent
        out = pathlib.Path(tempfile.gettempdir()) / "quorvaline_libm_floor.so"
        subprocess.run(["cc", "-O2", "-ffp-contract=off", "-fPIC", "-shared", "-pthread",
                        str(here / "libm_floor.c"), "-o", str(out), "-lm", "-ldl"], check=True)
        lib = ctypes.CDLL(str(out))
        lib.libm_floor_seconds.restype = ctypes.c_double
        lib.libm_floor_seconds.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p,
                                           ctypes.c_size_t, ctypes.c_int, ctypes.c_int]
        lib.copy_seconds.restype = ctypes.c_double
        lib.copy_seconds.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t,
                                     ctypes.c_int]
        lib.libm_calls_seconds.restype = ctypes.c_double
        lib.libm_calls_seconds.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p,
                                           ctypes.c_int, ctypes.c_void_p, ctypes.c_size_t,
                                           ctypes.c_int, ctypes.c_int]
        lib.pow_array.restype = None
        lib.pow_array.argtypes = [ctypes.c_void_p, ctypes.c_double, ctypes.c_void_p,
                                  ctypes.c_size_t]
        lib.add_chain_seconds.restype = ctypes.c_double
        lib.add_chain_seconds.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_void_p]
        _libm = lib
    return _libm


def libm_floor(a, b, which, threads):
    """Best time of the scalar math-library calls of case `which` over a, b."""
    out = np.empty_like(a)
    lib = libm()
    return best_reported(lambda: lib.libm_floor_seconds(a.ctypes.data, b.ctypes.data,
                                                        out.ctypes.data, a.size, threads, which))


def add_chain_floor(a):
    """Best time of one dependent addition per element of a, in order (the strict sum's floor)."""
    sink = ctypes.c_double()
    lib = libm()
    return best_reported(lambda: lib.add_chain_seconds(a.ctypes.data, a.size, ctypes.byref(sink)))


LIBM_FUNCTIONS = {"sin": 0, "cos": 1, "exp": 2, "log": 3, "atan2": 4, "tan": 5}


def libm_calls_floor(calls, threads, cpu=False):
    """Best time of a formula's math-library calls alone, per element on `threads` threads:
    `calls` lists (function name, argument array[, second argument array]) as the formula
    makes them, each over the arguments it really gets. With `cpu`, the threads' CPU time
    added up."""
    n = calls[0][1].size
    fns = (ctypes.c_int * len(calls))(*(LIBM_FUNCTIONS[c[0]] for c in calls))
    keep = [np.ascontiguousarray(c[1]) for c in calls] + \
           [np.ascontiguousarray(c[2] if len(c) > 2 else c[1]) for c in calls]
    xs = (ctypes.c_void_p * len(calls))(*(a.ctypes.data for a in keep[:len(calls)]))
    ys = (ctypes.c_void_p * len(calls))(*(a.ctypes.data for a in keep[len(calls):]))
    out = np.empty(n)
    lib = libm()
    return best_reported(lambda: lib.libm_calls_seconds(fns, xs, ys, len(calls), out.ctypes.data,
                                                        n, threads, int(cpu)))


def libm_pow(x, c):
    """pow(x, c) from the platform math library, element by element, as the reference bits."""
    x = np.ascontiguousarray(x, dtype=np.float64)
    out = np.empty_like(x)
    libm().pow_array(x.ctypes.data, float(c), out.ctypes.data, x.size)
    return out


def best_times(repeats, fns):
    """Best time of each candidate, interleaved so that drift on a shared machine hits all."""
    best = [float("inf")] * len(fns)
    for fn in fns:
        fn()  # warm: compile, pool, allocator
    for _ in range(repeats):
        for i, fn in enumerate(fns):
            start = time.perf_counter()
            fn()
            best[i] = min(best[i], time.perf_counter() - start)
    return best


def rounds_against_first(fns, rounds, repeats=3):
    """Per candidate of the mapping: its best time over `rounds` rounds of `best_times`, and
    the lowest and highest ratio of the first candidate's time to its own in one round."""
    names = list(fns)
    per_round = [best_times(repeats, [fns[name] for name in names]) for _ in range(rounds)]
    return {name: (min(r[i] for r in per_round),
                   min(r[0] / r[i] for r in per_round),
                   max(r[0] / r[i] for r in per_round))
            for i, name in enumerate(names)}
