"""Dask + quorvaline against Dask + NumPy and Dask + numexpr (by map_blocks) on the workload
formulas, on Dask's threaded scheduler and on a LocalCluster of two worker processes.

Run: python3 bench/bench_dask.py [--sizes 1e7,1e8] [--chunk 5e6] [--repeat 3] [--quick]
     [--only clip,gaussian] [--skip-cluster]
Each figure is the time to compute the formula's chunks and keep them (persist), with the
inputs already computed and held where the work runs; ratios are ours / peer (below 1.0 we
are faster), as the best of the repeats and, in brackets, the range over them.
"""
import argparse
import logging
import os
import sys
import threading
import time

import cloudpickle
import dask
import dask.array as da
import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
import bench_workloads as workloads  # noqa: E402

import quorvaline as qv  # noqa: E402
import quorvaline.dask as qvd  # noqa: E402
from quorvaline import kernel  # noqa: E402

try:
    import numexpr as ne
except ImportError:  # the benchmark still runs, without that column
    ne = None

# Worker processes make their inputs with the workload benchmark's own function.
cloudpickle.register_pickle_by_value(workloads)


def lazy_inputs(name, n, chunk):
    """The workload's inputs as Dask arrays, each chunk made where it is computed, with the
    workload benchmark's distributions (one seed per chunk)."""
    sizes = [min(chunk, n - start) for start in range(0, n, chunk)]
    parts = [dask.delayed(workloads.inputs, pure=True)(name, size, np.random.default_rng(i))
             for i, size in enumerate(sizes)]
    names = list(workloads.inputs(name, 1, np.random.default_rng(0)))
    return {arg: da.concatenate([da.from_delayed(part[arg], (size,), dtype=np.float64)
                                 for part, size in zip(parts, sizes)])
            for arg in names}


def numexpr_chunk(*chunks, names, text):
    return ne.evaluate(text, local_dict=dict(zip(names, chunks)))


def peers(name, inputs):
    """The three lazy results of one workload over the same Dask inputs."""
    formula = workloads.FORMULAS[name]
    ours = qv.compile(formula(workloads.KernelMath, *kernel.args(*inputs)))
    # NumPy's functions dispatch to Dask's on Dask arrays: Dask + NumPy, chunk by chunk.
    out = {"ours": qvd.evaluate(ours, inputs), "numpy": formula(workloads.NumpyMath, **inputs)}
    if ne is not None:
        out["numexpr"] = da.map_blocks(numexpr_chunk, *inputs.values(), names=list(inputs),
                                       text=workloads.NE_TEXT[name], dtype=np.float64,
                                       meta=np.empty((0,)))
    return out


def time_persist(persist, lazy):
    t0 = time.perf_counter()
    done = persist(lazy)
    seconds = time.perf_counter() - t0
    del done
    return seconds


def run(sizes, names, chunk, repeat, persist, persist_inputs, label):
    """Times every formula with each peer, interleaved round by round; prints the rows."""
    print(f"\n{label}")
    header = f"{'formula':<22}{'n':>11}{'ours s':>9}{'/ Dask+NumPy':>22}{'/ Dask+numexpr':>22}"
    print(header)
    print("-" * len(header))
    rows = []
    for n in sizes:
        for name in names:
            inputs = persist_inputs(lazy_inputs(name, n, chunk))
            lazies = peers(name, inputs)
            times = {peer: [] for peer in lazies}
            for _ in range(repeat):
                for peer, lazy in lazies.items():
                    times[peer].append(time_persist(persist, lazy))
            ours = min(times["ours"])
            cells = []
            for peer in ("numpy", "numexpr"):
                if peer not in times:
                    cells.append(f"{'-':>22}")
                    continue
                ratios = [o / p for o, p in zip(times["ours"], times[peer])]
                cells.append(f"{ours / min(times[peer]):>10.2f} [{min(ratios):.2f}-"
                             f"{max(ratios):.2f}]")
                rows.append((label, name, n, peer, ours / min(times[peer])))
            print(f"{name:<22}{n:>11.0e}{ours:>9.3f}{cells[0]:>22}{cells[1]:>22}")
            del inputs, lazies
    return rows


def threaded_inputs(lazy):
    return dict(zip(lazy, dask.persist(*lazy.values())))


def threads_computing_at_once(k, inputs, workers):
    """The most threads of this process seen running or ready to run at once (state R in
    /proc), the sampling thread left out, while the threaded scheduler computes with
    `workers` threads."""
    peak, stop = [0], threading.Event()

    def sample():
        me = str(threading.get_native_id())
        while not stop.is_set():
            peak[0] = max(peak[0], sum(_state(tid) == "R"
                                       for tid in os.listdir("/proc/self/task") if tid != me))
            time.sleep(0.0005)

    sampler = threading.Thread(target=sample)
    sampler.start()
    try:
        with dask.config.set(scheduler="threads", num_workers=workers):
            qvd.evaluate(k, {name: inputs[name] for name in k.names}).persist()
    finally:
        stop.set()
        sampler.join(timeout=10)
    return peak[0]


def _state(tid):
    try:
        with open(f"/proc/self/task/{tid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0]
    except OSError:  # the thread has ended
        return ""


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--sizes", default="1e7,1e8")
    p.add_argument("--chunk", type=float, default=5e6)
    p.add_argument("--repeat", type=int, default=3)
    p.add_argument("--quick", action="store_true", help="small sizes (smoke run)")
    p.add_argument("--skip-cluster", action="store_true")
    p.add_argument("--only", help="comma-separated formula names")
    args = p.parse_args()
    names = args.only.split(",") if args.only else list(workloads.FORMULAS)
    unknown = sorted(set(names) - set(workloads.FORMULAS))
    if unknown:
        p.error(f"unknown formulas: {', '.join(unknown)}; known: {', '.join(workloads.FORMULAS)}")
    sizes = [200_000] if args.quick else [int(float(s)) for s in args.sizes.split(",")]
    chunk = 50_000 if args.quick else int(args.chunk)
    cpus = len(os.sched_getaffinity(0))
    print(f"cores {cpus}, load {os.getloadavg()[0]:.1f}, chunks of {chunk:.0e}, "
          f"numexpr={'yes' if ne else 'missing'}")

    with dask.config.set(scheduler="threads"):
        rows = run(sizes, names, chunk, args.repeat, lambda lazy: lazy.persist(), threaded_inputs,
                   f"threaded scheduler, {cpus} threads")
        inputs = threaded_inputs(lazy_inputs("haversine", sizes[-1], chunk))
        k = qv.compile(workloads.haversine(workloads.KernelMath, *kernel.args(*inputs)))
        for workers in (cpus, 2 * cpus):
            peak = threads_computing_at_once(k, inputs, workers)
            print(f"threads computing at once with {workers} Dask threads: at most {peak} "
                  f"(bound: {cpus} CPUs + {workers} callers = {cpus + workers})")
        del inputs

    if not args.skip_cluster:
        import distributed
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                      host="127.0.0.1", dashboard_address="127.0.0.1:0",
                                      silence_logs=logging.ERROR) as cluster, \
                distributed.Client(cluster) as client:
            def persist(lazy):
                done = client.persist(lazy)
                distributed.wait(done)
                return done

            def cluster_inputs(lazy):
                arrays = client.persist(list(lazy.values()))
                distributed.wait(arrays)
                return dict(zip(lazy, arrays))

            rows += run(sizes, names, chunk, args.repeat, persist, cluster_inputs,
                        "LocalCluster, 2 worker processes of 1 thread")
    return rows


if __name__ == "__main__":
    main()
