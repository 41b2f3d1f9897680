"""Channels side by side with queue.Queue, printed as messages per second and ratios.

Run: python3 bench/bench_channels.py [--messages 20000]
Cases: ping-pong over capacity 1, a stream over capacity 64, and py_select over four channels
against polling four queues. A ratio above 1.0 means we move more messages per second.
"""
import argparse
import queue
import threading
import time

import numpy as np

import _quorvaline as q

rt = q._RuntimeModule()
JOIN_SECONDS = 120


def _timed(producer, consumer):
    """Seconds for a producer thread and the consumer (on this thread) to finish."""
    t = threading.Thread(target=producer, daemon=True)
    t0 = time.perf_counter()
    t.start()
    consumer()
    t.join(JOIN_SECONDS)
    if t.is_alive():
        raise RuntimeError("producer did not finish")
    return time.perf_counter() - t0


def ping_pong(make, send, recv, n, item):
    there, back = make(1), make(1)

    def echo():
        for _ in range(n):
            send(back, recv(there))

    def drive():
        for _ in range(n):
            send(there, item)
            recv(back)

    return 2 * n / _timed(echo, drive)


def stream(make, send, recv, n, item):
    ch = make(64)
    return n / _timed(lambda: [send(ch, item) for _ in range(n)],
                      lambda: [recv(ch) for _ in range(n)])


def fan_in(make, send, make_pick, n, item):
    chans = [make(64) for _ in range(4)]
    pick = make_pick(chans)

    def produce():
        for i in range(n):
            send(chans[i % 4], item)

    return n / _timed(produce, lambda: [pick() for _ in range(n)])


def polling(queues):
    def pick():
        while True:
            for qu in queues:
                try:
                    return qu.get_nowait()
                except queue.Empty:
                    pass
            time.sleep(0)
    return pick


def selecting(chans):
    cases = [q.RecvCase(c) for c in chans]
    return lambda: q.py_select(*cases)


def best(fn, rounds=3):
    return max(fn() for _ in range(rounds))


def run(n=20000):
    buf = rt.asarray(np.zeros(1))
    try:
        rt.chan(1)
    except NotImplementedError:
        print("channels: not available in this build")
        return []
    qsend, qrecv = (lambda c, x: c.put(x)), (lambda c: c.get())
    csend, crecv = (lambda c, x: c.send(x)), (lambda c: c.recv())
    rows = []

    def row(name, ours, peer):
        print(f"{name:<28}{ours:>12.0f}{peer:>12.0f}{ours / peer:>9.2f}")
        rows.append((name, ours, peer))

    print(f"{'case':<28}{'ours msg/s':>12}{'queue msg/s':>12}{'ratio':>9}")
    row("ping-pong, capacity 1", best(lambda: ping_pong(rt.chan, csend, crecv, n, buf)),
        best(lambda: ping_pong(queue.Queue, qsend, qrecv, n, buf)))
    row("stream, capacity 64", best(lambda: stream(rt.chan, csend, crecv, n, buf)),
        best(lambda: stream(queue.Queue, qsend, qrecv, n, buf)))
    row("select over 4 vs polling 4", best(lambda: fan_in(rt.chan, csend, selecting, n, buf)),
        best(lambda: fan_in(queue.Queue, qsend, polling, n, buf)))
    return rows


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--messages", type=int, default=20000)
    run(p.parse_args().messages)


if __name__ == "__main__":
    main()
