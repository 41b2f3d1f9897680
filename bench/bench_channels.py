"""Messages per second through channels against queue.Queue, in one process.

Each case runs the same threads and message count over both kinds of queue:
  ping-pong  two threads bounce one buffer over two capacity-1 queues;
  stream     one producer, one consumer, capacity 64;
  select4    four producers each feed their own capacity-64 queue and one consumer
             takes from whichever has an item: py_select over four RecvCases, against
             four queue.Queue polled round-robin with get_nowait, blocking briefly on
             one of them (get with a 1 ms timeout) after a round that found nothing.
Ratio = channel messages per second / queue.Queue messages per second (target >= 1).
Run: python3 bench/bench_channels.py [messages] [repeats]
"""
import argparse
import queue
import threading
import time

import numpy as np

import _quorvaline

rt = _quorvaline._RuntimeModule()
PAYLOAD = rt.asarray(np.zeros(1))


class ChannelKind:
    name = "channel"

    @staticmethod
    def make(capacity):
        c = rt.chan(capacity)
        return c, c.send, c.recv

    @staticmethod
    def take_any(queues):
        cases = [_quorvaline.RecvCase(c) for c in queues]
        py_select = _quorvaline.py_select
        return lambda: py_select(*cases)


class QueueKind:
    name = "queue.Queue"

    @staticmethod
    def make(capacity):
        q = queue.Queue(capacity)
        return q, q.put, q.get

    @staticmethod
    def take_any(queues):
        polls = [q.get_nowait for q in queues]
        waits = [q.get for q in queues]
        n, turn = len(queues), [0]

        def take():
            while True:
                for _ in range(n):
                    i = turn[0] = (turn[0] + 1) % n
                    try:
                        return polls[i]()
                    except queue.Empty:
                        pass
                try:
                    return waits[turn[0]](timeout=0.001)
                except queue.Empty:
                    pass
        return take


def timed(*bodies):
    threads = [threading.Thread(target=b) for b in bodies]
    start = time.perf_counter()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return time.perf_counter() - start


def ping_pong(kind, n):
    (_, put_a, get_a), (_, put_b, get_b) = kind.make(1), kind.make(1)

    def ping():
        for _ in range(n):
            put_a(PAYLOAD)
            get_b()

    def pong():
        for _ in range(n):
            put_b(get_a())

    return 2 * n / timed(ping, pong)


def stream(kind, n):
    _, put, get = kind.make(64)

    def produce():
        for _ in range(n):
            put(PAYLOAD)

    def consume():
        for _ in range(n):
            get()

    return n / timed(produce, consume)


def select4(kind, n):
    made = [kind.make(64) for _ in range(4)]
    take = kind.take_any([q for q, _, _ in made])
    per = n // 4

    def producer(put):
        def produce():
            for _ in range(per):
                put(PAYLOAD)
        return produce

    def consume():
        for _ in range(4 * per):
            take()

    return 4 * per / timed(consume, *(producer(put) for _, put, _ in made))


CASES = [("ping-pong, capacity 1", ping_pong), ("stream, capacity 64", stream),
         ("py_select over 4", select4)]


def run(n=100_000, repeats=5):
    """(case, channel messages/s, queue.Queue messages/s), best of interleaved rounds."""
    rows = []
    for name, case in CASES:
        best = {ChannelKind: 0.0, QueueKind: 0.0}
        for _ in range(repeats):
            for kind in best:
                best[kind] = max(best[kind], case(kind, n))
        rows.append((name, best[ChannelKind], best[QueueKind]))
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("messages", nargs="?", type=lambda s: int(float(s)), default=100_000,
                        help="messages per run, an integer or a float such as 1e5 "
                             "(default 100000)")
    parser.add_argument("repeats", nargs="?", type=int, default=5,
                        help="runs per case and kind; the best counts (default 5)")
    options = parser.parse_args()
    n, repeats = options.messages, options.repeats
    print(f"{n} messages per run, best of {repeats} (interleaved)")
    for name, ours, theirs in run(n, repeats):
        print(f"{name:22s} channel {ours:10,.0f}/s   queue.Queue {theirs:10,.0f}/s   "
              f"ratio {ours / theirs:5.2f}")


if __name__ == "__main__":
    main()
