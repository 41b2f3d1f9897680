"""Many Python threads sending, receiving and selecting at once: nothing sent is lost or
delivered twice, and close racing senders and receivers ends every thread."""
import time

import pytest
from channel_util import Worker, buf, is_closed_error, value, watchdog  # noqa: F401

from _quorvaline import RecvCase, py_select

PRODUCERS, CONSUMERS, PER_PRODUCER = 4, 4, 1500


def make_consumer(ch, idle, use_select):
    # Two cases on the data channel and one on a channel nobody feeds: a selector is
    # registered with several queues at once and must be served by exactly one.
    cases = (RecvCase(ch), RecvCase(idle), RecvCase(ch))

    def take():
        return py_select(*cases)[1] if use_select else ch.recv()

    def consume():
        got = []
        while True:
            try:
                got.append(value(take()))
            except RuntimeError as e:
                assert is_closed_error(e), e
                return got
    return consume


def make_producer(rt, ch, first):
    def produce():
        sent = []
        for v in range(first, first + PER_PRODUCER):
            try:
                ch.send(buf(rt, v))
            except RuntimeError as e:
                assert is_closed_error(e), e
                break
            sent.append(float(v))
        return sent
    return produce


def drain_late_sends(ch, producers):
    # A send that passed the closed check before close() may land behind the marker,
    # after every consumer has left: in a free slot, or waiting for room. Take what comes
    # until the producers are done and the channel reports closed with nothing left.
    late, case = [], RecvCase(ch)
    deadline = time.monotonic() + 60
    while True:
        assert time.monotonic() < deadline, "producers never finished"
        producers_done = not any(p.is_alive() for p in producers)
        try:
            index, b = py_select(case, default=True)
        except RuntimeError as e:
            assert is_closed_error(e), e
            if producers_done:
                return late
            time.sleep(0.001)
            continue
        if index >= 0:
            late.append(value(b))
        else:
            time.sleep(0.001)


@pytest.mark.parametrize("capacity", [0, 1, 64])
@pytest.mark.parametrize("close_early", [False, True], ids=["drain", "close-racing"])
def test_nothing_lost_nothing_duplicated(rt, capacity, close_early):
    ch, idle = rt.chan(capacity), rt.chan(1)
    consumers = [Worker(make_consumer(ch, idle, use_select=i % 2 == 1))
                 for i in range(CONSUMERS)]
    producers = [Worker(make_producer(rt, ch, i * PER_PRODUCER)) for i in range(PRODUCERS)]
    if close_early:
        time.sleep(0.02)
        ch.close()
    else:
        for p in producers:
            p.join(60)
        ch.close()
    received = [v for c in consumers for v in c.finish()]
    received += drain_late_sends(ch, producers)
    sent = [v for p in producers for v in p.finish()]

    assert len(received) == len(set(received)), "an item was delivered twice"
    assert sorted(received) == sorted(sent), "an item was lost or invented"
    assert sum(received) == sum(sent)
    if not close_early:
        assert len(sent) == PRODUCERS * PER_PRODUCER


@pytest.mark.parametrize("capacity", [0, 1, 64])
def test_each_producer_order_is_kept(rt, capacity):
    # With several receivers the global order interleaves, but one producer's items
    # leave the queue in its send order; one consumer sees them in that order.
    ch = rt.chan(capacity)
    producers = [Worker(make_producer(rt, ch, i * PER_PRODUCER)) for i in range(PRODUCERS)]
    got = [value(ch.recv()) for _ in range(PRODUCERS * PER_PRODUCER)]
    for p in producers:
        p.finish()
    for i in range(PRODUCERS):
        mine = [v for v in got if i * PER_PRODUCER <= v < (i + 1) * PER_PRODUCER]
        assert mine == [float(v) for v in range(i * PER_PRODUCER, (i + 1) * PER_PRODUCER)]


def test_selectors_over_many_channels_with_closes(rt):
    # Each producer owns a channel and closes it when done; one selector watches all of
    # them until every one is closed and drained.
    chans = [rt.chan(c) for c in (0, 1, 8, 64)]

    def produce(ch, first):
        for v in range(first, first + PER_PRODUCER):
            ch.send(buf(rt, v))
        ch.close()

    producers = [Worker(produce, ch, i * PER_PRODUCER) for i, ch in enumerate(chans)]
    got = []
    open_cases = [RecvCase(c) for c in chans]
    while open_cases:
        try:
            got.append(value(py_select(*open_cases)[1]))
        except RuntimeError as e:
            assert is_closed_error(e), e
            # Which case closed is not reported; drop every channel already closed and
            # drained, by polling each alone.
            still_open = []
            for c in open_cases:
                try:
                    r = py_select(c, default=True)
                except RuntimeError:
                    continue
                if r[0] == 0:
                    got.append(value(r[1]))
                still_open.append(c)
            open_cases = still_open
    for p in producers:
        p.finish()
    assert sorted(got) == [float(v) for v in range(len(chans) * PER_PRODUCER)]
