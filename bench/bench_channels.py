"""Messages per second through channels against queue.Queue, in one process.

Three cases, each run side by side with the same threads and message count:
  ping-pong   two threads bounce one buffer over two capacity-1 channels
              (queue.Queue(maxsize=1) pair);
  stream      one producer, one consumer, capacity 64 (queue.Queue(maxsize=64));
  select4     four producers each feed their own capacity-64 channel, one consumer
              takes with py_select over the four; against four Queue(maxsize=64) that
              the consumer polls round-robin with get_nowait, blocking on the next one
              with a short timeout when a full round found nothing.
Ratio = channel messages per second / queue.Queue messages per second (target >= 1).
Run: python3 bench/bench_channels.py [messages] [repeats]
"""
import queue
import sys
import threading
import time

import numpy as np

import _quorvaline

rt = _quorvaline._RuntimeModule()
RecvCase = _quorvaline.RecvCase
py_select = _quorvaline.py_select
PAYLOAD = rt.asarray(np.zeros(1))


def timed(threads):
    start = time.perf_counter()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return time.perf_counter() - start


def ping_pong_chan(n):
    a, b = rt.chan(1), rt.chan(1)

    def ping():
        for _ in range(n):
            a.send(PAYLOAD)
            b.recv()

    def pong():
        for _ in range(n):
            b.send(a.recv())

    return 2 * n / timed([threading.Thread(target=ping), threading.Thread(target=pong)])


def ping_pong_queue(n):
    a, b = queue.Queue(1), queue.Queue(1)

    def ping():
        for _ in range(n):
            a.put(PAYLOAD)
            b.get()

    def pong():
        for _ in range(n):
            b.put(a.get())

    return 2 * n / timed([threading.Thread(target=ping), threading.Thread(target=pong)])


def stream_chan(n):
    c = rt.chan(64)

    def produce():
        for _ in range(n):
            c.send(PAYLOAD)

    def consume():
        for _ in range(n):
            c.recv()

    return n / timed([threading.Thread(target=produce), threading.Thread(target=consume)])


def stream_queue(n):
    q = queue.Queue(64)

    def produce():
        for _ in range(n):
            q.put(PAYLOAD)

    def consume():
        for _ in range(n):
            q.get()

    return n / timed([threading.Thread(target=produce), threading.Thread(target=consume)])


def select4_chan(n):
    chans = [rt.chan(64) for _ in range(4)]
    cases = [RecvCase(c) for c in chans]
    per = n // 4

    def produce(c):
        for _ in range(per):
            c.send(PAYLOAD)

    def consume():
        for _ in range(4 * per):
            py_select(*cases)

    threads = [threading.Thread(target=produce, args=(c,)) for c in chans]
    return 4 * per / timed(threads + [threading.Thread(target=consume)])


def select4_queue(n):
    queues = [queue.Queue(64) for _ in range(4)]
    per = n // 4

    def produce(q):
        for _ in range(per):
            q.put(PAYLOAD)

    def consume():
        got, i = 0, 0
        while got < 4 * per:
            for _ in range(4):
                try:
                    queues[i].get_nowait()
                    got += 1
                    break
                except queue.Empty:
                    i = (i + 1) % 4
            else:
                try:
                    queues[i].get(timeout=0.001)
                    got += 1
                except queue.Empty:
                    pass
            i = (i + 1) % 4

    threads = [threading.Thread(target=produce, args=(q,)) for q in queues]
    return 4 * per / timed(threads + [threading.Thread(target=consume)])


CASES = [
    ("ping-pong, capacity 1", ping_pong_chan, ping_pong_queue),
    ("stream, capacity 64", stream_chan, stream_queue),
    ("py_select over 4", select4_chan, select4_queue),
]


def main():
    n = int(float(sys.argv[1])) if len(sys.argv) > 1 else 100_000
    repeats = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    print(f"{n} messages per run, best of {repeats} (interleaved)")
    for name, chan_case, queue_case in CASES:
        best_c = best_q = 0.0
        for _ in range(repeats):
            best_c = max(best_c, chan_case(n))
            best_q = max(best_q, queue_case(n))
        print(f"{name:24s} channel {best_c:12,.0f}/s   queue.Queue {best_q:12,.0f}/s   "
              f"ratio {best_c / best_q:5.2f}")


if __name__ == "__main__":
    main()
