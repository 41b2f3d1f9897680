"""py_select and RecvCase: readiness, polling, waiting, close, fairness."""
import collections
import time

import numpy as np
import pytest
from channel_util import Worker, assert_closed, buf, value, watchdog  # noqa: F401

import _quorvaline
from _quorvaline import RecvCase, py_select


class TestArguments:
    def test_recv_case_by_keyword(self, rt):
        ch = rt.chan(1)
        assert type(RecvCase(channel=ch)) is RecvCase
        assert RecvCase.__doc__ == "Python-visible `RecvCase` for select."

    @pytest.mark.parametrize("make_args, text", [
        (lambda rt, ch: (ch,), "argument 'cases': 'Channel' object cannot be converted to "
                               "'RecvCase'"),
        (lambda rt, ch: (RecvCase(ch), ch),
         "argument 'cases': 'Channel' object cannot be converted to 'RecvCase'"),
        (lambda rt, ch: (RecvCase(ch), None),
         "argument 'cases': 'NoneType' object cannot be converted to 'RecvCase'"),
    ])
    def test_refused_cases(self, rt, make_args, text):
        ch = rt.chan(1)
        ch.send(buf(rt, 1))
        with pytest.raises(TypeError) as info:
            py_select(*make_args(rt, ch))
        assert str(info.value) == text
        assert value(ch.recv()) == 1  # nothing was received

    @pytest.mark.parametrize("flag", [0, 1, "yes", None])
    def test_refused_default(self, rt, flag):
        with pytest.raises(TypeError) as info:
            py_select(RecvCase(rt.chan(1)), default=flag)
        assert str(info.value) == (f"argument 'default': '{type(flag).__name__}' object cannot "
                                   "be converted to 'PyBool'")

    def test_default_is_keyword_only(self, rt):
        with pytest.raises(TypeError) as info:
            py_select(RecvCase(rt.chan(1)), True)
        assert "'bool' object cannot be converted to 'RecvCase'" in str(info.value)


class TestReadiness:
    def test_only_the_ready_case_is_chosen(self, rt):
        a, b = rt.chan(1), rt.chan(1)
        b.send(buf(rt, 5))
        index, got = py_select(RecvCase(a), RecvCase(b))
        assert type(index) is int and index == 1
        assert type(got) is _quorvaline.Buffer and value(got) == 5

    @pytest.mark.parametrize("flag", [True, np.bool_(True)])
    def test_polling(self, rt, flag):
        a, b = rt.chan(1), rt.chan(0)
        cases = (RecvCase(a), RecvCase(b))
        assert py_select(*cases, default=flag) == (-1, None)
        a.send(buf(rt, 2))
        index, got = py_select(*cases, default=flag)
        assert index == 0 and value(got) == 2
        assert py_select(*cases, default=flag) == (-1, None)

    def test_polling_takes_from_a_waiting_rendezvous_sender(self, rt):
        ch = rt.chan(0)
        sender = Worker(ch.send, buf(rt, 6))
        deadline = time.monotonic() + 30
        while (res := py_select(RecvCase(ch), default=True)) == (-1, None):
            assert time.monotonic() < deadline, "sender never became ready"
            time.sleep(0.001)
        assert res[0] == 0 and value(res[1]) == 6
        sender.finish()

    def test_default_false_waits(self, rt):
        ch = rt.chan(1)
        selector = Worker(lambda: py_select(RecvCase(ch), default=False))
        assert selector.stays_blocked()
        ch.send(buf(rt, 1))
        assert selector.finish()[0] == 0

    def test_wakes_when_another_thread_sends(self, rt):
        chans = [rt.chan(c) for c in (0, 1, 64)]
        selector = Worker(py_select, *map(RecvCase, chans))
        assert selector.stays_blocked()
        chans[2].send(buf(rt, 3))
        index, got = selector.finish()
        assert index == 2 and value(got) == 3
        assert all(py_select(RecvCase(c), default=True) == (-1, None) for c in chans)

    def test_takes_from_a_waiting_rendezvous_sender(self, rt):
        idle, ch = rt.chan(1), rt.chan(0)
        selector = Worker(py_select, RecvCase(idle), RecvCase(ch))
        assert selector.stays_blocked()
        ch.send(buf(rt, 4))  # completes only because the selector takes it
        index, got = selector.finish()
        assert index == 1 and value(got) == 4

    def test_one_item_goes_to_one_of_several_selectors(self, rt):
        ch = rt.chan(1)
        selectors = [Worker(py_select, RecvCase(ch)) for _ in range(3)]
        assert all(s.stays_blocked() for s in selectors)
        ch.send(buf(rt, 1))
        deadline = time.monotonic() + 30
        while sum(s.is_alive() for s in selectors) > 2:
            assert time.monotonic() < deadline
            time.sleep(0.001)
        assert all(s.stays_blocked() for s in selectors if s.is_alive())
        ch.send(buf(rt, 2))
        ch.send(buf(rt, 3))
        got = sorted(value(s.finish()[1]) for s in selectors)
        assert got == [1, 2, 3]

    def test_case_keeps_its_channel_alive(self, rt):
        ch = rt.chan(2)
        ch.send(buf(rt, 8))
        case = RecvCase(ch)
        del ch
        index, got = py_select(case)
        assert index == 0 and value(got) == 8


class TestClose:
    def test_queued_buffers_come_first_then_closed(self, rt):
        idle, ch = rt.chan(1), rt.chan(4)
        for v in (1, 2):
            ch.send(buf(rt, v))
        ch.close()
        cases = (RecvCase(idle), RecvCase(ch))
        got = [py_select(*cases) for _ in range(2)]
        assert [(i, value(b)) for i, b in got] == [(1, 1), (1, 2)]
        assert_closed(lambda: py_select(*cases))
        # The marker is gone: later selects and receives report at once.
        assert_closed(lambda: py_select(*cases, default=True))
        assert_closed(ch.recv)

    def test_marker_taken_by_select_is_not_seen_by_recv_as_a_buffer(self, rt):
        ch = rt.chan(0)
        ch.close()
        assert_closed(lambda: py_select(RecvCase(ch)))
        assert_closed(ch.recv)

    def test_close_wakes_a_waiting_selector(self, rt):
        idle, ch = rt.chan(1), rt.chan(0)
        selector = Worker(py_select, RecvCase(idle), RecvCase(ch))
        assert selector.stays_blocked()
        ch.close()
        assert_closed(selector.finish)


class TestFairness:
    # Generous bounds: a binomial count over TRIALS stays well within them unless the
    # order is biased.
    TRIALS = 4000

    @pytest.mark.parametrize("n_cases", [2, 4])
    def test_ready_cases_are_chosen_uniformly(self, rt, n_cases):
        chans = [rt.chan(1) for _ in range(n_cases)]
        cases = [RecvCase(c) for c in chans]
        b = buf(rt, 0)
        for c in chans:
            c.send(b)
        counts = collections.Counter()
        for _ in range(self.TRIALS):
            index, _ = py_select(*cases)
            counts[index] += 1
            chans[index].send(b)  # every case stays ready
        share = self.TRIALS / n_cases
        assert sorted(counts) == list(range(n_cases))
        assert all(0.8 * share < counts[i] < 1.2 * share for i in range(n_cases)), counts

    def test_two_cases_of_one_channel_both_fire(self, rt):
        ch = rt.chan(1)
        cases = (RecvCase(ch), RecvCase(ch))
        b = buf(rt, 0)
        counts = collections.Counter()
        for _ in range(400):
            ch.send(b)
            counts[py_select(*cases)[0]] += 1
        assert counts[0] > 100 and counts[1] > 100, counts
