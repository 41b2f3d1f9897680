"""Every benchmark in one run, ending with one results table.

Run: python3 bench/run_all.py [--sizes 1e6,1e7] [--quick]
Columns: case, size, pool threads, our time, and our time over NumPy's, numexpr's and the
floor's (below 1.0 means we are faster). The channels have a table of their own: messages per
second through ours and through queue.Queue, and ours over queue.Queue's (above 1.0 means we
move more).
"""
import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(__file__))
import bench_call  # noqa: E402
import bench_channels  # noqa: E402
import bench_kernels  # noqa: E402
import bench_memory  # noqa: E402
import bench_reductions  # noqa: E402
import bench_scaling  # noqa: E402
from common import pool_threads  # noqa: E402

NAN = float("nan")


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--sizes", default="1e6,1e7")
    p.add_argument("--quick", action="store_true", help="small sizes only (smoke run)")
    args = p.parse_args()
    sizes = [10_000, 100_000] if args.quick else [int(float(s)) for s in args.sizes.split(",")]
    threads = pool_threads()
    rows = []

    for name, n, ours, t_np, t_ne, floor in bench_kernels.run(sizes, threads):
        rows.append((name, n, threads, f"{ours * 1e3:.3f} ms", ours / t_np, ours / t_ne,
                     ours / floor))
    ours, t_ufunc, t_ne = bench_kernels.latency(threads)
    rows.append(("rt.go(...).result()", 10, threads, f"{ours * 1e6:.2f} us", ours / t_ufunc,
                 ours / t_ne, NAN))
    # The floor of a Kernel call: the engine's own call plus the NumPy conversions.
    calls = bench_call.run(10, rounds=3, threads=threads)
    ours = min(calls["Kernel call"])
    t_ne = min(calls.get("numexpr.evaluate", [NAN]))
    rows.append(("Kernel call", 10, threads, f"{ours * 1e6:.2f} us", NAN, ours / t_ne,
                 ours / min(calls["floor"])))
    n_reduce = max(sizes)
    for name, n, ours, t_np, floor in bench_reductions.run(n_reduce):
        rows.append((name, n, 1, f"{ours * 1e3:.3f} ms", ours / t_np, NAN,
                     ours / floor if floor else NAN))
    mem_ours, mem_np = bench_memory.run()
    rows.append(("peak memory / output", 10_000_000, threads, f"{mem_ours:.2f}x",
                 mem_ours / mem_np, NAN, NAN))
    if not args.quick:
        speedup_pool, speedup_cores, load = bench_scaling.run(n_reduce)
        rows.append(("speed-up pool 2 / pool 1", n_reduce, 2, f"{speedup_pool:.2f}x", NAN, NAN,
                     NAN))
        rows.append(("speed-up all / one core", n_reduce, 2, f"{speedup_cores:.2f}x", NAN, NAN,
                     NAN))
    channels = bench_channels.run()

    print()
    print(f"cores {len(os.sched_getaffinity(0))}, load {os.getloadavg()[0]:.1f}")
    header = (f"{'case':<28}{'size':>10}{'threads':>8}{'ours':>14}{'/numpy':>9}{'/numexpr':>10}"
              f"{'/floor':>9}")
    print(header)
    print("-" * len(header))
    for name, n, t, ours, r_np, r_ne, r_floor in rows:
        print(f"{name:<28}{n:>10}{t:>8}{ours:>14}{r_np:>9.2f}{r_ne:>10.2f}{r_floor:>9.2f}")
    print()
    header = f"{'channels (messages/s)':<28}{'ours':>12}{'queue.Queue':>13}{'ours/Queue':>12}"
    print(header)
    print("-" * len(header))
    for name, ours, peer in channels:
        print(f"{name:<28}{ours:>12,.0f}{peer:>13,.0f}{ours / peer:>12.2f}")


if __name__ == "__main__":
    main()
