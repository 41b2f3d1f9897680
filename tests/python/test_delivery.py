"""rt.go with out=channel: the delivery worker sends results in submission order, skips
cancelled and closed cases, and never sends a failed computation."""
import glob
import random
import time

import numpy as np
import pytest
from channel_util import JOIN_LIMIT, Worker, assert_closed, buf, value, watchdog  # noqa: F401

import _quorvaline
from _quorvaline import RecvCase, py_select

kernel = _quorvaline._KernelModule()
COPY = kernel.elementwise(kernel.arg("x") * 1.0)


def submit(rt, v, out):
    return rt.go(kernel.map(COPY, x=buf(rt, v)), out=out)


def state(task):
    return repr(task)[len("TaskHandle(state="):-1]


def wait_for_state(task, wanted):
    deadline = time.monotonic() + JOIN_LIMIT
    while state(task) != wanted:
        assert time.monotonic() < deadline, f"stuck in {state(task)}, expected {wanted}"
        time.sleep(0.001)


def is_empty(ch):
    return py_select(RecvCase(ch), default=True) == (-1, None)


def assert_task_error(task, exc, text):
    with pytest.raises(exc) as info:
        task.result()
    assert type(info.value) is exc and str(info.value) == text


def delivery_workers():
    names = []
    for path in glob.glob("/proc/self/task/*/comm"):
        try:
            with open(path) as f:
                names.append(f.read().strip())
        except FileNotFoundError:  # a thread that ended meanwhile
            pass
    return names.count("delivery-worker")


@pytest.fixture
def blocked_worker(rt):
    """Holds the one delivery worker in a send to a full capacity-1 channel, so later
    jobs stay queued; releases it at teardown even when the test failed."""
    ch = rt.chan(1)
    ch.send(buf(rt, -1))
    task = submit(rt, -2, ch)
    wait_for_state(task, "Delivering")
    released = []

    def release():
        if not released:
            released.append(True)
            assert value(ch.recv()) == -1
            assert value(ch.recv()) == -2
            wait_for_state(task, "Completed")
    yield release
    release()


def test_results_arrive_in_submission_order(rt):
    ch = rt.chan(1)
    consumer = Worker(lambda: [value(ch.recv()) for _ in range(200)])
    tasks = [submit(rt, v, ch) for v in range(200)]
    assert consumer.finish() == list(range(200))
    assert [value(t.result()) for t in tasks] == list(range(200))
    assert all(state(t) == "Completed" for t in tasks)


def test_first_delivery_starts_one_named_worker_thread(rt):
    ch = rt.chan(8)
    for v in range(8):
        submit(rt, v, ch).result()
    assert delivery_workers() == 1
    assert [value(ch.recv()) for _ in range(8)] == list(range(8))


def test_a_full_channel_holds_back_the_jobs_behind_it(rt):
    one, other = rt.chan(1), rt.chan(4)
    try:
        first = submit(rt, 1, one)
        wait_for_state(first, "Completed")
        second = submit(rt, 2, one)
        wait_for_state(second, "Delivering")
        third = submit(rt, 3, other)
        time.sleep(0.1)
        assert state(third) == "DeliveryQueued"
        assert is_empty(other)
    finally:
        assert value(one.recv()) == 1
    wait_for_state(second, "Completed")
    wait_for_state(third, "Completed")
    assert value(other.recv()) == 3
    assert value(one.recv()) == 2


def test_cancel_while_queued_sends_nothing(rt, blocked_worker):
    ch = rt.chan(4)
    task = submit(rt, 5, ch)
    assert state(task) == "DeliveryQueued"
    waiter = Worker(task.result)
    assert waiter.stays_blocked()
    assert task.cancel() is True
    assert task.cancel() is False
    with pytest.raises(RuntimeError, match="^task cancelled$"):
        waiter.finish()
    blocked_worker()
    later = submit(rt, 6, ch)
    assert value(later.result()) == 6
    assert value(ch.recv()) == 6  # the cancelled result never came
    assert is_empty(ch)
    assert state(task) == "Cancelled" and task.is_done()


def test_cancel_while_sending_withdraws_the_buffer_and_frees_the_worker(rt):
    ch = rt.chan(1)
    ch.send(buf(rt, 0))
    task = submit(rt, 7, ch)
    wait_for_state(task, "Delivering")
    assert task.cancel() is True
    assert_task_error(task, RuntimeError, "task cancelled")
    other = rt.chan(1)
    assert value(submit(rt, 8, other).result()) == 8  # the worker moved on
    assert value(ch.recv()) == 0
    assert is_empty(ch)                               # 7 was never sent
    assert state(task) == "Cancelled" and task.is_done()


def test_channel_closed_before_the_worker_takes_the_job(rt, blocked_worker):
    ch = rt.chan(4)
    task = submit(rt, 8, ch)
    ch.close()
    blocked_worker()
    assert_task_error(task, RuntimeError, "channel closed")
    assert state(task) == "Failed(ChannelClosed)"
    assert_closed(ch.recv)  # only the marker was queued


def test_channel_closed_while_the_worker_waits_to_send(rt):
    ch = rt.chan(1)
    ch.send(buf(rt, 0))
    task = submit(rt, 9, ch)
    wait_for_state(task, "Delivering")
    ch.close()
    assert value(ch.recv()) == 0
    assert value(task.result()) == 9  # the flag is not looked at again
    assert_closed(ch.recv)  # the marker was due right behind the buffer queued before it
    assert value(ch.recv()) == 9


def test_reduction_delivers_a_one_element_buffer(rt):
    ch = rt.chan(1)
    task = rt.go(kernel.sum(buf(rt, 1.5, 2.0, 4.0)), out=ch)
    sent = ch.recv()
    assert type(sent) is _quorvaline.Buffer and sent.numpy().tolist() == [7.5]
    got = task.result()
    assert got is not sent and got.numpy().tolist() == [7.5]


@pytest.mark.parametrize("make_spec, exc, text", [
    (lambda rt: kernel.map(kernel.elementwise(kernel.arg("x") + kernel.arg("y")),
                           x=buf(rt, 1.0)), ValueError, "missing arg: y"),
    (lambda rt: kernel.sum(rt.asarray(np.zeros(0))), ValueError, "cannot Sum empty buffer"),
])
def test_failed_computation_sends_nothing(rt, make_spec, exc, text):
    ch = rt.chan(1)
    task = rt.go(make_spec(rt), out=ch)
    assert_task_error(task, exc, text)
    # Anything sent would already be queued ahead of this one.
    assert value(submit(rt, 3, ch).result()) == 3
    assert value(ch.recv()) == 3
    assert is_empty(ch)


def test_cancellation_racing_delivery(rt):
    # Every task ends Completed or Cancelled; every completed result arrives exactly once,
    # and a cancelled one arrives at most once (when the send had already begun).
    n = 600
    ch = rt.chan(2)
    stop = -1.0

    def consume():
        got = []
        while (v := value(ch.recv())) != stop:
            got.append(v)
        return got

    consumer = Worker(consume)
    tasks = []
    rng = random.Random(7)
    for v in range(n):
        tasks.append(submit(rt, v, ch))
        if rng.random() < 0.5:
            rng.choice(tasks).cancel()
    submit(rt, stop, ch)  # jobs run in order: once it arrives, all earlier ones are done
    received = consumer.finish()

    states = [state(t) for t in tasks]
    assert set(states) <= {"Completed", "Cancelled"}
    completed = {float(v) for v, s in enumerate(states) if s == "Completed"}
    assert len(received) == len(set(received)), "a result was delivered twice"
    assert completed <= set(received)
    assert set(received) <= set(map(float, range(n)))
    assert received == sorted(received)
