"""Channels from Python: creation, blocking by capacity, order, close and its marker."""
import os
import signal
import time

import numpy as np
import pytest
from channel_util import Worker, assert_closed, buf, value, watchdog  # noqa: F401

import _quorvaline


class Index:
    def __init__(self, n):
        self.n = n

    def __index__(self):
        return self.n


class TestCreation:
    @pytest.mark.parametrize("capacity", [0, 1, 64, True, np.int64(3), Index(2)])
    def test_accepts_integers(self, rt, capacity):
        ch = rt.chan(capacity)
        assert type(ch) is _quorvaline.Channel
        assert repr(ch) == "Channel()" and not ch.is_closed()

    def test_keyword(self, rt):
        assert repr(rt.chan(capacity=2)) == "Channel()"

    @pytest.mark.parametrize("capacity, exc, text", [
        (-1, OverflowError, None),
        (2**64, OverflowError, None),
        (1.5, TypeError,
         "argument 'capacity': 'float' object cannot be interpreted as an integer"),
        ("3", TypeError, "argument 'capacity': 'str' object cannot be interpreted as an integer"),
        (None, TypeError,
         "argument 'capacity': 'NoneType' object cannot be interpreted as an integer"),
        (2**58, MemoryError, None),  # below the limit but more than any machine has
    ])
    def test_refuses(self, rt, capacity, exc, text):
        with pytest.raises(exc) as info:
            rt.chan(capacity)
        assert type(info.value) is exc
        if text is not None:
            assert str(info.value) == text

    @pytest.mark.parametrize("capacity", [2**59, 2**63])
    def test_capacity_overflow_is_a_fault(self, rt, capacity):
        with pytest.raises(BaseException) as info:
            rt.chan(capacity)
        assert type(info.value).__name__ == "PanicException"
        assert str(info.value) == "capacity overflow"

    @pytest.mark.parametrize("call, text", [
        (lambda rt: rt.chan(), "_RuntimeModule.chan() missing 1 required positional argument: "
                               "'capacity'"),
        (lambda rt: rt.chan(1, 2),
         "_RuntimeModule.chan() takes 1 positional arguments but 2 were given"),
        (lambda rt: rt.chan(1).send(),
         "Channel.send() missing 1 required positional argument: 'buf'"),
        (lambda rt: rt.chan(1).send(1),
         "argument 'buf': 'int' object cannot be converted to 'Buffer'"),
        (lambda rt: rt.chan(1).send(buf=np.zeros(1)),
         "argument 'buf': 'ndarray' object cannot be converted to 'Buffer'"),
        (lambda rt: rt.chan(1).send(rt.asarray(np.zeros(1)), x=1),
         "Channel.send() got an unexpected keyword argument 'x'"),
        (lambda rt: rt.chan(1).recv(1), "Channel.recv() takes no arguments (1 given)"),
        (lambda rt: _quorvaline.Channel(), "No constructor defined for Channel"),
    ])
    def test_argument_errors(self, rt, call, text):
        with pytest.raises(TypeError) as info:
            call(rt)
        assert str(info.value) == text

    @pytest.mark.parametrize("name, signature, doc", [
        ("send", "($self, buf)", "Send a buffer into the channel."),
        ("recv", "($self)", "Receive a buffer from the channel. Blocks until available."),
        ("close", "($self)", "Close the channel. Idempotent."),
        ("is_closed", "($self)", "Returns true if the channel has been closed."),
    ])
    def test_method_docs(self, rt, name, signature, doc):
        method = getattr(rt.chan(1), name)
        assert method.__text_signature__ == signature and method.__doc__ == doc

    def test_chan_doc(self, rt):
        assert rt.chan.__doc__ == "Create a bounded channel."
        assert rt.chan.__text_signature__ == "($self, capacity)"


class TestBlocking:
    def test_capacity_one_second_send_waits_for_a_receive(self, rt):
        ch = rt.chan(1)
        ch.send(buf(rt, 1))
        second = Worker(ch.send, buf(rt, 2))
        assert second.stays_blocked()
        assert value(ch.recv()) == 1
        second.finish()
        assert value(ch.recv()) == 2

    def test_rendezvous_send_waits_for_receive(self, rt):
        ch = rt.chan(0)
        sender = Worker(ch.send, buf(rt, 7))
        assert sender.stays_blocked()
        assert value(ch.recv()) == 7
        assert sender.finish() is None

    def test_rendezvous_receive_waits_for_send(self, rt):
        ch = rt.chan(0)
        receiver = Worker(ch.recv)
        assert receiver.stays_blocked()
        ch.send(buf(rt, 8))
        assert value(receiver.finish()) == 8

    def test_receive_waits_on_empty_bounded_channel(self, rt):
        ch = rt.chan(4)
        receiver = Worker(ch.recv)
        assert receiver.stays_blocked()
        ch.send(buf(rt, 3))
        assert value(receiver.finish()) == 3

    @pytest.mark.parametrize("capacity", [0, 1, 64])
    def test_order_per_channel(self, rt, capacity):
        ch = rt.chan(capacity)
        n = 300
        sender = Worker(lambda: [ch.send(buf(rt, i)) for i in range(n)])
        got = [value(ch.recv()) for _ in range(n)]
        sender.finish()
        assert got == list(range(n))

    def test_received_buffer_has_the_sent_contents(self, rt):
        ch = rt.chan(1)
        data = np.array([1.5, -0.0, np.inf, 5e-324])
        ch.send(rt.asarray(data))
        out = ch.recv()
        assert type(out) is _quorvaline.Buffer
        assert out.numpy().tobytes() == data.tobytes()

    @pytest.mark.parametrize("op", ["recv", "send", "select"])
    def test_signal_does_not_end_a_wait(self, rt, op):
        ch = rt.chan(0)
        if op == "send":
            partner = Worker(lambda: (time.sleep(0.4), ch.recv())[1])
            wait = lambda: ch.send(buf(rt, 9))  # noqa: E731
        else:
            partner = Worker(lambda: (time.sleep(0.4), ch.send(buf(rt, 9))))
            wait = ch.recv if op == "recv" else (
                lambda: _quorvaline.py_select(_quorvaline.RecvCase(ch))[1])
        calls = []
        previous = signal.signal(signal.SIGALRM, lambda *_: calls.append(1))
        signal.setitimer(signal.ITIMER_REAL, 0.05, 0.05)
        try:
            got = wait()
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0, 0)
            signal.signal(signal.SIGALRM, previous)
        received = partner.finish()
        assert value(received if op == "send" else got) == 9
        assert calls, "no signal arrived during the wait"

    # Raised after the call returned, the handler's exception would drop the buffer the
    # wait took: it stays first in the channel instead, and so does the end marker.
    @pytest.mark.parametrize("capacity", [0, 2])
    @pytest.mark.parametrize("op", ["recv", "select"])
    @pytest.mark.parametrize("then_close", [False, True], ids=["buffers", "marker"])
    def test_interrupted_wait_keeps_what_it_took(self, rt, capacity, op, then_close):
        class Interrupted(Exception):
            pass

        def interrupt(*_):
            raise Interrupted

        ch = rt.chan(capacity)
        wait = ch.recv if op == "recv" else (
            lambda: _quorvaline.py_select(_quorvaline.RecvCase(ch))[1])

        def partner():
            time.sleep(0.2)
            os.kill(os.getpid(), signal.SIGINT)
            time.sleep(0.2)
            if not then_close:
                ch.send(buf(rt, 1))
                ch.send(buf(rt, 2))
            ch.close()

        previous = signal.signal(signal.SIGINT, interrupt)
        try:
            sender = Worker(partner)
            with pytest.raises(Interrupted):
                wait()
        finally:
            signal.signal(signal.SIGINT, previous)
        got = [] if then_close else [value(wait()), value(wait())]
        assert_closed(wait)
        sender.finish()
        assert got == ([] if then_close else [1, 2])


class TestClose:
    def test_buffers_queued_before_close_come_first_then_the_marker(self, rt):
        ch = rt.chan(4)
        ch.send(buf(rt, 1))
        ch.send(buf(rt, 2))
        assert ch.close() is None
        assert ch.is_closed()
        assert [value(ch.recv()), value(ch.recv())] == [1, 2]
        assert_closed(ch.recv)

    def test_receive_after_the_marker_was_taken_reports_at_once(self, rt):
        ch = rt.chan(2)
        ch.close()
        assert_closed(ch.recv)
        # Nothing can arrive any more, so no receive may wait for ever.
        for _ in range(3):
            assert_closed(Worker(ch.recv).finish)

    def test_close_is_idempotent(self, rt):
        ch = rt.chan(2)
        ch.send(buf(rt, 1))
        assert ch.close() is None and ch.close() is None
        assert ch.is_closed()
        assert value(ch.recv()) == 1
        assert_closed(ch.recv)

    @pytest.mark.parametrize("capacity", [1, 4])
    def test_send_after_close_fails_without_waiting_and_queues_nothing(self, rt, capacity):
        ch = rt.chan(capacity)
        ch.close()
        assert_closed(lambda: ch.send(buf(rt, 1)))
        assert_closed(ch.recv)  # the marker, not the refused buffer

    def test_close_on_a_full_channel_does_not_block(self, rt):
        ch = rt.chan(1)
        ch.send(buf(rt, 1))
        ch.close()  # would hang the watchdog if it waited for room with the lock held
        assert ch.is_closed()
        assert value(ch.recv()) == 1
        assert_closed(ch.recv)

    def test_close_on_a_rendezvous_channel_without_receiver_does_not_block(self, rt):
        ch = rt.chan(0)
        ch.close()
        assert ch.is_closed()
        assert_closed(ch.recv)

    def test_close_does_not_stop_a_send_that_is_already_waiting(self, rt):
        ch = rt.chan(1)
        ch.send(buf(rt, 1))
        parked = Worker(ch.send, buf(rt, 2))
        assert parked.stays_blocked()
        ch.close()
        assert value(ch.recv()) == 1
        parked.finish()  # the freed slot went to the waiting send
        assert_closed(ch.recv)  # the marker was due behind buffer 1 only
        assert value(ch.recv()) == 2
        assert_closed(ch.recv)

    @pytest.mark.parametrize("capacity", [0, 3])
    def test_close_wakes_every_waiting_receiver_marker_reported_once(self, rt, capacity):
        ch = rt.chan(capacity)
        receivers = [Worker(ch.recv) for _ in range(4)]
        assert all(r.stays_blocked() for r in receivers)
        ch.close()
        for r in receivers:
            assert_closed(r.finish)

    def test_close_from_another_thread_while_receiving(self, rt):
        ch = rt.chan(1)
        closer = Worker(lambda: (time.sleep(0.1), ch.close()))
        assert_closed(ch.recv)
        closer.finish()

    def test_dropping_the_channel_object_does_not_close_it(self, rt):
        ch = rt.chan(1)
        case = _quorvaline.RecvCase(ch)
        ch.send(buf(rt, 4))
        del ch
        index, b = _quorvaline.py_select(case)
        assert index == 0 and value(b) == 4
        assert _quorvaline.py_select(case, default=True) == (-1, None)
