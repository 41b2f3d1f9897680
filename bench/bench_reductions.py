"""Reductions side by side with NumPy; the strict sums against their dependent-addition floor.

Run: python3 bench/bench_reductions.py [--n 1e7]
Ratios are ours / peer (below 1.0 means we are faster).
"""
import argparse
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
from common import add_chain_floor, best_of  # noqa: E402

import _quorvaline as q  # noqa: E402

kernel = q._KernelModule()
rt = q._RuntimeModule()


def run(n):
    x = np.random.default_rng(7).random(n)
    buf = rt.asarray(x)
    chain = add_chain_floor(x)
    cases = [("min_reduce", kernel.min_reduce, np.min, None),
             ("max_reduce", kernel.max_reduce, np.max, None),
             ("sum", kernel.sum, np.sum, chain),
             ("mean", kernel.mean, np.mean, chain)]
    print(f"{'case':<12}{'n':>10}{'ours ms':>10}{'/numpy':>9}{'/floor':>9}")
    rows = []
    for name, make, peer, floor in cases:
        spec = make(buf)
        ours = best_of(lambda: rt.go(spec).result())
        t_np = best_of(lambda: peer(x))
        ratio_floor = ours / floor if floor else float("nan")
        print(f"{name:<12}{n:>10}{ours * 1e3:>10.3f}{ours / t_np:>9.2f}{ratio_floor:>9.2f}")
        rows.append((name, n, ours, t_np, floor))
    return rows


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--n", default="1e7")
    run(int(float(p.parse_args().n)))


if __name__ == "__main__":
    main()
