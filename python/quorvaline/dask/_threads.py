"""The engine's thread limit inside Dask workers.

A `distributed` worker runs one task per Dask thread and tells the libraries it hosts how
many threads each may add: the nanny starts every worker process with OMP_NUM_THREADS
(and MKL's and OpenBLAS's) set, 1 by default. The engine takes the same limit in such a
process, before the first chunk computed there; a lower limit already set (by
`qv.set_num_threads` or threadpoolctl) stands. Dask's threaded scheduler sets no limit: its
threads share the process's one pool, which never grows past its size.
"""
from __future__ import annotations

import os
import sys
import threading
from typing import Optional

import quorvaline as qv

_lock = threading.Lock()
_done = False


def follow_worker_limit() -> None:
    global _done
    if _done:
        return
    with _lock:
        if not _done:
            limit = _worker_limit()
            if limit is not None and limit < qv.get_num_threads():
                qv.set_num_threads(limit)
            _done = True


def _worker_limit() -> Optional[int]:
    distributed = sys.modules.get("distributed")
    if distributed is None:  # not a worker: a worker process has it imported
        return None
    try:
        distributed.get_worker()
    except ValueError:
        return None
    value = os.environ.get("OMP_NUM_THREADS", "")
    return int(value) if value.isdigit() and int(value) > 0 else None
