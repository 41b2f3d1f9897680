"""Many threads mixing submissions of maps and reductions, deliveries into channels, send,
recv, select, close and cancel for a bounded time; afterwards every buffer is accounted for
exactly once and every task is terminal. A watchdog turns a deadlock into stacks and a failure.
A plain run mixes for two seconds; CI sets QV_SOAK_SECONDS for the full length."""
import faulthandler
import itertools
import os
import random
import threading
import time

import numpy as np

import _quorvaline as q

SECONDS = float(os.environ.get("QV_SOAK_SECONDS", "2"))
PRODUCERS, SELECTORS = 6, 2
SETTLE = 60.0  # bound on every wait after the mixing phase


class Ledger:
    """What each thread did, merged at the end; lists only grow, so appends need no lock."""
    def __init__(self):
        self.submitted = []  # (id, handle, cancelled) of deliveries into channels
        self.sent = []  # ids a send put into a channel
        self.received = []  # ids taken out of any channel
        self.bad = []  # contents that were not what their id promises
        self.ops = {}
        self._lock = threading.Lock()

    def count(self, what, n=1):
        with self._lock:
            self.ops[what] = self.ops.get(what, 0) + n

    def take(self, buf):
        arr = buf.numpy()
        tag = int(arr[0])
        if not np.array_equal(arr, np.arange(tag, tag + len(arr), dtype=np.float64)):
            self.bad.append(tag)
        self.received.append(tag)


def kernels(kernel):
    """Kernels that give back their input exactly for positive integers: a result's contents
    show whether it is the one its first element names."""
    x, y = kernel.args("x", "y")
    return [kernel.elementwise(e) for e in (
        x + 0 * y, kernel.max(x, x - y), kernel.where_(x > 0, x, -y), (x * 2) / (y * 2),
        kernel.floor(x) * y, kernel.where_(y > 0, kernel.min(x, x + y), 0))]


def test_soak(kernel, rt):
    ledger = Ledger()
    ids = itertools.count(1)
    specs = kernels(kernel)
    channels = [rt.chan(0), rt.chan(1), rt.chan(4), rt.chan(64)]
    deadline = time.monotonic() + SECONDS
    stop_receiving = threading.Event()
    faulthandler.dump_traceback_later(SECONDS + 3 * SETTLE, exit=True)

    def tagged(rng):
        tag = next(ids) * 10_000  # room for the largest buffer's ascending run
        n = rng.choice([1, 7, 64, 300]) if rng.random() < 0.9 else rng.choice([4096, 6000])
        return tag, rt.asarray(np.arange(tag, tag + n, dtype=np.float64))

    def map_spec(rng, buf):
        spec = rng.choice(specs)
        return kernel.map(spec, x=buf, y=1) if rng.random() < 0.5 else \
            kernel.map(spec, x=buf, y=rt.asarray(np.ones(len(buf))))

    def submit(rng, out):
        tag, buf = tagged(rng)
        spec = map_spec(rng, buf) if rng.random() < 0.7 else kernel.min_reduce(buf)
        handle = rt.go(spec, out=out)
        cancelled = rng.random() < 0.1 and handle.cancel()
        ledger.submitted.append((tag, handle, cancelled))
        ledger.count("go with out")
        ledger.count("cancel", cancelled)
        return handle

    def direct(rng):
        tag, buf = tagged(rng)
        if rng.random() < 0.5:
            got = rt.go(map_spec(rng, buf)).result().numpy()
            assert np.array_equal(got, np.arange(tag, tag + len(got), dtype=np.float64))
        else:
            assert rt.go(kernel.min_reduce(buf)).result().scalar() == tag
        ledger.count("go")

    def send(rng):
        tag, buf = tagged(rng)
        rng.choice(channels).send(buf)
        ledger.sent.append(tag)
        ledger.count("send")

    def short_lived(rng):
        # A channel of its own, closed while deliveries into it may be queued, mid-send or done.
        chan = rt.chan(rng.choice([0, 1, 3]))
        handles = [submit(rng, chan) for _ in range(rng.randint(1, 3))]
        if rng.random() < 0.5:
            chan.close()
            ledger.count("close")
        end = time.monotonic() + SETTLE
        while not all(h.is_done() for h in handles):
            assert time.monotonic() < end, "deliveries into a short-lived channel never ended"
            try:
                _, buf = q.py_select(q.RecvCase(chan), default=True)
                if buf is not None:
                    ledger.take(buf)
                else:
                    time.sleep(0.0005)
            except RuntimeError as e:
                assert str(e) == "ChannelClosed"
        chan.close()
        drain(chan, ledger)

    def produce(seed):
        rng = random.Random(seed)
        actions = [lambda: submit(rng, rng.choice(channels))] * 4 + [lambda: direct(rng)] * 2 \
            + [lambda: send(rng), lambda: short_lived(rng)]
        while time.monotonic() < deadline:
            rng.choice(actions)()

    def receive(chan):
        while not stop_receiving.is_set():
            try:
                ledger.take(chan.recv())
                ledger.count("recv")
            except RuntimeError as e:  # closed: items of parked senders may still follow
                assert str(e) == "ChannelClosed"
                time.sleep(0.001)

    def select(seed):
        rng = random.Random(seed)
        while not stop_receiving.is_set():
            cases = [q.RecvCase(c) for c in rng.sample(channels, rng.randint(1, len(channels)))]
            try:
                _, buf = q.py_select(*cases, default=rng.random() < 0.3)
                if buf is not None:
                    ledger.take(buf)
                ledger.count("select")
            except RuntimeError as e:
                assert str(e) == "ChannelClosed"
                time.sleep(0.001)

    errors = []

    def guarded(fn, *args):
        def run():
            try:
                fn(*args)
            except BaseException as e:  # reported by the main thread
                errors.append(e)
        return threading.Thread(target=run)

    producers = [guarded(produce, s) for s in range(PRODUCERS)]
    # One receiver per channel at least: the worker delivers in order, so a full channel
    # that only selectors waiting elsewhere could drain would hold up every later delivery.
    consumers = [guarded(receive, c) for c in channels] \
        + [guarded(select, 100 + s) for s in range(SELECTORS)]
    for t in producers + consumers:
        t.start()
    try:
        for t in producers:
            t.join(SECONDS + SETTLE)
            assert not t.is_alive(), "a producer is stuck"
        for c in channels:
            c.close()
        end = time.monotonic() + SETTLE
        while not all(h.is_done() for _, h, _ in ledger.submitted):
            assert time.monotonic() < end, "tasks still waiting after the channels closed: " + \
                str([repr(h) for _, h, _ in ledger.submitted if not h.is_done()][:3]) + str(errors)
            time.sleep(0.01)
    finally:
        stop_receiving.set()
        for t in consumers:
            t.join(SETTLE)
        faulthandler.cancel_dump_traceback_later()
    assert not any(t.is_alive() for t in consumers), "a consumer is stuck"
    assert not errors, errors
    for c in channels:
        drain(c, ledger)

    # Accounting: each delivered or sent buffer came out once; cancelled ones at most once;
    # ones refused by a closed channel never; nothing came out that nobody put in.
    received = {}
    for tag in ledger.received:
        received[tag] = received.get(tag, 0) + 1
    expected = {tag: 1 for tag in ledger.sent}
    for tag, handle, cancelled in ledger.submitted:
        try:
            handle.result()
            expected[tag] = 1
        except RuntimeError as e:
            assert str(e) == ("task cancelled" if cancelled else "channel closed"), str(e)
            # A cancel that lands while the worker is already sending lets the buffer arrive.
            expected[tag] = min(received.get(tag, 0), 1) if cancelled else 0
    assert not ledger.bad, f"corrupted buffers: {ledger.bad[:5]}"
    assert received == {t: n for t, n in expected.items() if n}, _difference(received, expected)
    moved = len(ledger.received)
    assert moved > 100, f"only {moved} buffers moved in {SECONDS} s"
    print(f"\nsoak: {PRODUCERS + len(channels) + SELECTORS} threads, {SECONDS:.0f} s, "
          f"ops {ledger.ops}, {moved} buffers moved, {len(ledger.submitted)} deliveries, "
          f"{len(ledger.sent)} sends")


def drain(chan, ledger):
    """Takes what is left in a closed channel without waiting: the items before its end
    marker, the marker, and the items of senders that were parked when it closed."""
    after_marker = False
    while True:
        try:
            _, buf = q.py_select(q.RecvCase(chan), default=True)
        except RuntimeError:
            if after_marker:  # the marker is gone and nothing is left
                return
            after_marker = True
            continue
        if buf is None:
            return
        ledger.take(buf)


def _difference(received, expected):
    extra = {t: n for t, n in received.items() if expected.get(t, 0) != n}
    missing = {t: n for t, n in expected.items() if n and received.get(t, 0) != n}
    return f"received but not expected so: {list(extra.items())[:5]}; " \
           f"expected but not received so: {list(missing.items())[:5]}"
