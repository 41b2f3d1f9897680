"""Several Python threads submitting maps and reductions at once share the pool and the
kernel cache; every result must be the one computed alone."""
import threading

import numpy as np

THREADS = 6
ROUNDS = 25


def test_concurrent_maps_and_reductions(rt, kernel):
    rng = np.random.default_rng(3)
    sizes = [10, 4095, 4096, 50_000]
    data = {n: (rng.standard_normal(n), rng.standard_normal(n)) for n in sizes}
    bufs = {n: (rt.asarray(a), rt.asarray(b)) for n, (a, b) in data.items()}
    a, b = kernel.args("a", "b")
    specs = [kernel.elementwise(a * b + 1), kernel.elementwise(kernel.where_(a > 0, a, b))]
    wants = [lambda x, y: x * y + 1, lambda x, y: np.where(x > 0, x, y)]

    results, errors = [], []
    start = threading.Barrier(THREADS)

    def worker(tid):
        try:
            start.wait(timeout=30)
            for r in range(ROUNDS):
                n = sizes[(tid + r) % len(sizes)]
                k = (tid + r) % 3
                xa, xb = data[n]
                ba, bb = bufs[n]
                if k < 2:
                    got = rt.go(kernel.map(specs[k], a=ba, b=bb)).result().numpy()
                    ok = got.tobytes() == wants[k](xa, xb).tobytes()
                else:
                    got = rt.go(kernel.sum(ba)).result().scalar()
                    total = -0.0
                    for v in xa.tolist():
                        total += v
                    ok = got == total
                results.append((tid, r, ok))
        except Exception as e:  # reported below, on the main thread
            errors.append(e)

    threads = [threading.Thread(target=worker, args=(t,)) for t in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert not any(t.is_alive() for t in threads), "a submission did not finish"
    assert errors == []
    assert sorted((t, r) for t, r, _ in results) == [(t, r) for t in range(THREADS)
                                                      for r in range(ROUNDS)]
    assert [x for x in results if not x[2]] == []
