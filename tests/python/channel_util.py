"""Shared pieces of the channel tests: one-number buffers, the closed check, a watchdog,
and threads whose joins are bounded so a lost wake-up fails a test instead of hanging it."""
import faulthandler
import threading

import numpy as np
import pytest

JOIN_LIMIT = 30.0      # seconds a thread that should finish may take
BLOCKED_WATCH = 0.1    # seconds a thread that should stay blocked is watched


@pytest.fixture(autouse=True)
def watchdog():
    # A call that blocked while holding the interpreter lock would stall every join too.
    faulthandler.dump_traceback_later(120, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


def buf(rt, *values):
    return rt.asarray(np.array(values, dtype=np.float64))


def value(b):
    return b.numpy()[0]


def is_closed_error(e):
    return type(e) is RuntimeError and e.args == ("ChannelClosed",)


def assert_closed(call):
    with pytest.raises(RuntimeError) as info:
        call()
    assert is_closed_error(info.value), info.value


class Worker(threading.Thread):
    """Runs fn(*args) at once; finish() returns its result or re-raises its exception."""

    def __init__(self, fn, *args):
        super().__init__(daemon=True)  # a thread left blocked must not keep the run alive
        self._fn, self._args = fn, args
        self.result = self.error = None
        self.start()

    def run(self):
        try:
            self.result = self._fn(*self._args)
        except BaseException as e:  # handed to the joining thread
            self.error = e

    def stays_blocked(self, watch=BLOCKED_WATCH):
        self.join(watch)
        return self.is_alive()

    def finish(self, timeout=JOIN_LIMIT):
        self.join(timeout)
        assert not self.is_alive(), "thread did not finish in time: lost wake-up or deadlock"
        if self.error is not None:
            raise self.error
        return self.result
