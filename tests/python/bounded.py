"""Threads whose joins are bounded, so a lost wake-up fails a test instead of hanging it."""
import threading

JOIN_LIMIT = 30.0      # seconds a thread that should finish may take
BLOCKED_WATCH = 0.1    # seconds a thread that should stay blocked is watched


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
        except BaseException as e:  # noqa: B036 - handed to the joining thread
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
