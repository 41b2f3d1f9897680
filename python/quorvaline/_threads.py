"""Thread control: how many threads, the caller included, work on one call.

The worker pool is sized once, when it is created (by the CPUs available to the process,
or RAYON_NUM_THREADS / RAYON_RS_NUM_CPUS); the limit set here caps what each call uses
from then on. threadpoolctl sees the engine through a controller registered at import,
so `threadpool_limits(1)` limits it as it limits BLAS and OpenMP.
"""
from __future__ import annotations

from quorvaline import _native


def get_num_threads() -> int:
    """Threads, the caller included, that one call may use now."""
    return _native.get_num_threads()


def set_num_threads(n: int) -> int:
    """Let at most `n` threads (n >= 1, the caller included) work on each call from now on;
    returns the previous count. 1 keeps every call on its calling thread."""
    return _native.set_num_threads(n)


def _register_with_threadpoolctl() -> None:
    try:
        import threadpoolctl  # type: ignore[import-untyped]
    except ImportError:
        return
    if not hasattr(threadpoolctl, "register"):  # before threadpoolctl 3.5
        return

    from _quorvaline import __version__

    class QuorvalineController(threadpoolctl.LibController):  # type: ignore[misc]
        """The engine's pool, found as the library that holds _quorvaline."""

        user_api = "quorvaline"
        internal_api = "quorvaline"
        filename_prefixes = ("_quorvaline",)
        check_symbols = ("PyInit__native",)

        def get_num_threads(self) -> int:
            return get_num_threads()

        def set_num_threads(self, num_threads: int) -> None:
            set_num_threads(num_threads)

        def get_version(self) -> str:
            return __version__

    threadpoolctl.register(QuorvalineController)


_register_with_threadpoolctl()
