"""rt.go and TaskHandle: classification, task states and reprs, errors through result(),
cancellation of finished tasks, and the split between the calling thread and the pool."""
import inspect
import os
import signal
import struct
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest
from channel_util import BLOCKED_WATCH, Worker, watchdog  # noqa: F401

import _quorvaline
from _quorvaline import RecvCase, py_select


def bits_list(array):
    return [struct.pack("<d", v) for v in array.tolist()]


@pytest.fixture
def add_spec(kernel):
    x, y = kernel.args("x", "y")
    return kernel.elementwise(x + y)


class TestGo:
    @pytest.mark.parametrize("make", [
        lambda k, rt, spec: spec,                       # a KernelSpec is not submittable
        lambda k, rt, spec: object(),
        lambda k, rt, spec: None,
        lambda k, rt, spec: rt.asarray(np.ones(2)),
    ])
    def test_only_map_and_reduce_specs(self, rt, kernel, add_spec, make):
        with pytest.raises(TypeError) as info:
            rt.go(make(kernel, rt, add_spec))
        assert str(info.value) == "go() expects a MapSpec or ReduceSpec"

    @pytest.mark.parametrize("out", [5, "chan", object()])
    def test_out_is_checked_first(self, rt, out):
        with pytest.raises(TypeError) as info:
            rt.go(object(), out)
        name = type(out).__name__
        assert str(info.value) == (f"argument 'out': '{name}' object cannot be converted "
                                   "to 'Channel'")

    @pytest.mark.parametrize("call, message", [
        (lambda rt: rt.go(), "_RuntimeModule.go() missing 1 required positional argument: 'spec'"),
        (lambda rt: rt.go(1, None, 2),
         "_RuntimeModule.go() takes from 1 to 2 positional arguments but 3 were given"),
        (lambda rt: rt.go(spec=1, into=None),
         "_RuntimeModule.go() got an unexpected keyword argument 'into'"),
    ])
    def test_frame_errors(self, rt, call, message):
        with pytest.raises(TypeError) as info:
            call(rt)
        assert str(info.value) == message

    def test_signature(self, rt):
        assert str(inspect.signature(rt.go)) == "(spec, out=None)"

    @pytest.mark.parametrize("submit", [
        lambda rt, s: rt.go(s),
        lambda rt, s: rt.go(s, None),
        lambda rt, s: rt.go(s, out=None),
        lambda rt, s: rt.go(spec=s, out=None),
    ])
    def test_out_none_is_omitted(self, rt, kernel, add_spec, submit):
        mapped = kernel.map(add_spec, x=rt.asarray(np.array([1.0, 2.0])), y=0.5)
        handle = submit(rt, mapped)
        assert type(handle) is _quorvaline.TaskHandle
        assert handle.is_done() and repr(handle) == "TaskHandle(state=Completed)"
        assert handle.result().numpy().tolist() == [1.5, 2.5]

    def test_same_map_spec_twice(self, rt, kernel, add_spec):
        mapped = kernel.map(add_spec, x=rt.asarray(np.arange(5.0)), y=rt.asarray(np.ones(5)))
        first, second = rt.go(mapped), rt.go(mapped)
        assert first is not second
        a, b = first.result(), second.result()
        assert a is not b and a.numpy().tolist() == b.numpy().tolist() == [1, 2, 3, 4, 5]


class TestResults:
    def test_scalar_used_for_every_element(self, rt, kernel, add_spec):
        got = rt.go(kernel.map(add_spec, x=-1, y=rt.asarray(np.arange(5.0)))).result()
        assert got.numpy().tolist() == [-1.0, 0.0, 1.0, 2.0, 3.0]

    def test_empty_buffers_give_an_empty_buffer(self, rt, kernel, add_spec):
        empty = rt.asarray(np.array([]))
        got = rt.go(kernel.map(add_spec, x=empty, y=empty)).result()
        assert repr(got) == "Buffer(dtype=float64, shape=[0], len=0)"
        assert got.numpy().shape == (0,)

    def test_each_result_call_is_a_new_buffer(self, rt, kernel, add_spec):
        handle = rt.go(kernel.map(add_spec, x=rt.asarray(np.array([2.0])), y=3))
        a, b = handle.result(), handle.result()
        assert a is not b and a.numpy().tolist() == b.numpy().tolist() == [5.0]
        assert handle.is_done()

    @pytest.mark.parametrize("bind, kind, message", [
        (lambda rt: {"x": rt.asarray(np.ones(3)), "y": rt.asarray(np.ones(4))},
         "ShapeError", "buffer length mismatch: 3 vs 4"),
        (lambda rt: {"x": rt.asarray(np.ones(4)), "y": rt.asarray(np.ones(3))},
         "ShapeError", "buffer length mismatch: 4 vs 3"),
        (lambda rt: {"x": 1.0, "y": 2.0}, "ArgError", "no buffer arguments provided"),
        (lambda rt: {"x": np.nan, "y": np.inf}, "ArgError", "no buffer arguments provided"),
        (lambda rt: {"y": rt.asarray(np.ones(3))}, "ArgError", "missing arg: x"),
    ])
    def test_computation_errors_are_raised_by_result(self, rt, kernel, add_spec, bind, kind,
                                                      message):
        handle = rt.go(kernel.map(add_spec, **bind(rt)))
        assert handle.is_done()
        assert repr(handle) == f'TaskHandle(state=Failed({kind}("{message}")))'
        for _ in range(2):
            with pytest.raises(ValueError) as info:
                handle.result()
            assert str(info.value) == message

    def test_length_mismatch_reported_in_argument_order(self, rt, kernel):
        a, b, c = kernel.args("a", "b", "c")
        spec = kernel.elementwise(c + b + a)   # numbered a, b, c by creation
        bound = {"a": rt.asarray(np.ones(2)), "b": 1.0, "c": rt.asarray(np.ones(7))}
        with pytest.raises(ValueError, match=r"^buffer length mismatch: 2 vs 7$"):
            rt.go(kernel.map(spec, **bound)).result()

    def test_cancel_of_finished_tasks(self, rt, kernel, add_spec):
        done = rt.go(kernel.map(add_spec, x=rt.asarray(np.ones(2)), y=1))
        failed = rt.go(kernel.map(add_spec, x=1))
        for handle in (done, failed):
            assert handle.cancel() is False
            assert handle.cancel() is False
            assert handle.is_done() is True
        assert repr(done) == "TaskHandle(state=Completed)"
        assert done.result().numpy().tolist() == [2.0, 2.0]
        assert repr(failed) == 'TaskHandle(state=Failed(ArgError("missing arg: y")))'
        with pytest.raises(ValueError, match=r"^missing arg: y$"):
            failed.result()

    def test_repr_escapes_the_message(self, rt, kernel):
        name = 'q"\\\n\t'
        spec = kernel.elementwise(kernel.arg(name) * 2)
        handle = rt.go(kernel.map(spec))
        assert repr(handle) == 'TaskHandle(state=Failed(ArgError("missing arg: q\\"\\\\\\n\\t")))'
        with pytest.raises(ValueError) as info:
            handle.result()
        assert str(info.value) == "missing arg: " + name

    @pytest.mark.parametrize("method", ["result", "is_done", "cancel"])
    def test_methods_take_no_arguments(self, rt, kernel, add_spec, method):
        handle = rt.go(kernel.map(add_spec, x=1))
        with pytest.raises(TypeError):
            getattr(handle, method)(1)
        assert inspect.signature(getattr(handle, method)).parameters == {}


class TestSplitting:
    # Below 4096 elements the calling thread evaluates; from 4096 on the pool does. The
    # results must not depend on that, nor on how the range was cut.
    @staticmethod
    def bodies(kernel):
        a, b = kernel.args("a", "b")
        yield kernel.sin(a) * kernel.exp(-b) + kernel.atan2(a, b) ** 2 - kernel.round(a * 1e3)
        yield kernel.where_(a > b, kernel.log(a - b), kernel.where_(a == b, -0.0, kernel.sqrt(b)))

    @pytest.mark.parametrize("body", [0, 1])
    @pytest.mark.parametrize("n", [4095, 4096, 4097, 10_000, 65_537])
    def test_pool_matches_calling_thread(self, rt, kernel, body, n):
        rng = np.random.default_rng(n)
        xa, xb = rng.standard_normal(n), rng.standard_normal(n)
        xa[::97] = xb[::97]
        xa[::101] = np.nan
        spec = kernel.elementwise(list(self.bodies(kernel))[body])
        whole = rt.go(kernel.map(spec, a=rt.asarray(xa), b=rt.asarray(xb))).result().numpy()
        pieces = [rt.go(kernel.map(spec, a=rt.asarray(xa[i:i + 4000]),
                                   b=rt.asarray(xb[i:i + 4000]))).result().numpy()
                  for i in range(0, n, 4000)]
        assert bits_list(whole) == bits_list(np.concatenate(pieces))

    def test_scalar_only_large_and_small(self, rt, kernel):
        x, y = kernel.args("x", "y")
        spec = kernel.elementwise(x * y)
        for n in (4095, 4096):
            got = rt.go(kernel.map(spec, x=rt.asarray(np.full(n, 3.0)), y=-0.0)).result().numpy()
            assert bits_list(got) == [struct.pack("<d", -0.0)] * n


class TestWaiting:
    # A capacity-0 channel that nobody reads keeps the delivery worker sending, so the task
    # stays unfinished until this thread receives. The watchdog ends the run should result()
    # keep the interpreter lock while it waits, since no Python thread could fail the test.
    @staticmethod
    def pending(rt, kernel):
        ch = rt.chan(0)
        handle = rt.go(kernel.sum(rt.asarray(np.array([1.0, 2.0]))), out=ch)
        return ch, handle

    def test_result_waits_without_the_interpreter_lock(self, rt, kernel):
        ch, handle = self.pending(rt, kernel)
        waiter = Worker(lambda: handle.result().scalar())
        assert waiter.stays_blocked() and not handle.is_done()
        assert ch.recv().scalar() == 3.0
        waiter.finish()
        assert waiter.result == 3.0 and repr(handle) == "TaskHandle(state=Completed)"

    def test_a_signal_does_not_end_the_wait(self, rt, kernel):
        ch, handle = self.pending(rt, kernel)
        seen = []
        previous = signal.signal(signal.SIGUSR1, lambda *a: seen.append(handle.is_done()))
        try:
            def signal_then_receive():
                time.sleep(3 * BLOCKED_WATCH)  # long enough for this thread to be waiting
                os.kill(os.getpid(), signal.SIGUSR1)
                time.sleep(BLOCKED_WATCH)
                return ch.recv().scalar()
            helper = Worker(signal_then_receive)
            assert handle.result().scalar() == 3.0
            helper.finish()
        finally:
            signal.signal(signal.SIGUSR1, previous)
        assert helper.result == 3.0
        assert seen == [True]  # the handler ran once the wait had ended

    def test_cancel_wakes_the_waiter(self, rt, kernel):
        ch, handle = self.pending(rt, kernel)
        waiter = Worker(handle.result)
        assert waiter.stays_blocked()
        assert handle.cancel() is True and handle.cancel() is False
        with pytest.raises(RuntimeError, match=r"^task cancelled$"):
            waiter.finish()
        later = rt.chan(1)
        assert rt.go(kernel.sum(rt.asarray(np.ones(2))), out=later).result().scalar() == 2.0
        assert py_select(RecvCase(ch), default=True) == (-1, None)  # the send was withdrawn
        assert repr(handle) == "TaskHandle(state=Cancelled)"


# Threads a pooled evaluation ran on (the caller and the pool's workers), in a fresh process.
POOL_THREADS = textwrap.dedent("""
    import os
    import numpy as np
    import _quorvaline as q
    k, rt = q._KernelModule(), q._RuntimeModule()
    x = rt.asarray(np.arange(8192.0))
    before = len(os.listdir("/proc/self/task"))
    assert rt.go(k.map(k.elementwise(k.arg("x") * 2.0), x=x)).result().numpy()[-1] == 16382.0
    print(1 + len(os.listdir("/proc/self/task")) - before)  # the workers it started
""")


def pool_threads(**variables):
    env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    done = subprocess.run([sys.executable, "-c", POOL_THREADS], env={**env, **variables},
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    return int(done.stdout)


def test_pool_size_ignores_what_the_machine_could_not_run():
    default = pool_threads()
    too_many = str(64 * len(os.sched_getaffinity(0)) + 1)
    assert pool_threads(RAYON_NUM_THREADS="3") == 3
    for bad in ["18446744073709551615", too_many, "0"]:
        assert pool_threads(RAYON_NUM_THREADS=bad) == default, bad
    assert pool_threads(RAYON_NUM_THREADS="18446744073709551615", RAYON_RS_NUM_CPUS="2") == 2
