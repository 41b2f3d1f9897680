"""A pipeline: producer threads submit kernels whose results are delivered into their own
channels (`rt.go(spec, out=channel)`); one consumer waits on every channel at once with
`py_select`, checks each result against NumPy, and the channels are closed and drained.

Run: python3 examples/pipeline.py [--producers P] [--chunks C] [--n ELEMENTS]
"""
from __future__ import annotations

import argparse
import sys
import threading
from typing import Dict, List, Optional

import numpy as np
import numpy.typing as npt

from quorvaline import Buffer, Channel, RecvCase, TaskHandle, kernel, py_select, rt

JOIN_TIMEOUT_S = 60.0

x = kernel.arg("x")
SPEC = kernel.elementwise(kernel.sqrt(x * x + 1.0))  # one kernel, compiled once, shared


def chunk(producer: int, index: int, n: int) -> npt.NDArray[np.float64]:
    """The input of one chunk, reproducible from its coordinates."""
    return np.random.default_rng([producer, index]).standard_normal(n)


def expected(producer: int, index: int, n: int) -> npt.NDArray[np.float64]:
    values = chunk(producer, index, n)
    return np.sqrt(values * values + 1.0)  # the same IEEE operations: equal bit for bit


def produce(producer: int, channel: Channel, chunks: int, n: int,
            errors: List[BaseException]) -> None:
    try:
        handles: List[TaskHandle] = []
        for index in range(chunks):
            buf = rt.asarray(chunk(producer, index, n))
            # go() computes now and queues the result for the delivery worker.
            handles.append(rt.go(kernel.map(SPEC, x=buf), out=channel))
        # A delivery still queued when the channel closes is dropped (its task fails
        # with "channel closed"), so wait until every result is in the channel first.
        for handle in handles:
            handle.result()
    except BaseException as error:
        errors.append(error)
    finally:
        channel.close()  # never blocks: the end marker follows the buffers already queued


def drain(channel: Channel) -> List[Buffer]:
    """Everything left in a closed channel, up to its end marker."""
    rest = []
    while True:
        try:
            rest.append(channel.recv())
        except RuntimeError:  # "ChannelClosed": the end marker, or it was already taken
            return rest


def consume(channels: List[Channel]) -> Dict[int, List[Buffer]]:
    received: Dict[int, List[Buffer]] = {p: [] for p in range(len(channels))}
    open_producers = list(range(len(channels)))
    while open_producers:
        cases = [RecvCase(channels[p]) for p in open_producers]
        try:
            index, buf = py_select(*cases)
        except RuntimeError:
            # An end marker was taken, and select does not say whose. Every channel that
            # is closed now has all its results queued: drain those and stop watching them.
            closed = [p for p in open_producers if channels[p].is_closed()]
            if not closed:
                raise
            for p in closed:
                received[p].extend(drain(channels[p]))
                open_producers.remove(p)
            continue
        received[open_producers[index]].append(buf)
    return received


def main() -> int:
    parser = argparse.ArgumentParser(description="producers, channels and py_select")
    parser.add_argument("--producers", type=int, default=4)
    parser.add_argument("--chunks", type=int, default=16, help="results per producer")
    parser.add_argument("--n", type=int, default=200_000, help="elements per chunk")
    parser.add_argument("--capacity", type=int, default=2, help="slots per channel")
    options = parser.parse_args()

    channels = [rt.chan(options.capacity) for _ in range(options.producers)]
    errors: List[BaseException] = []
    producers = [
        threading.Thread(target=produce, name=f"producer-{p}",
                         args=(p, channels[p], options.chunks, options.n, errors))
        for p in range(options.producers)
    ]
    for thread in producers:
        thread.start()
    received = consume(channels)
    for thread in producers:
        thread.join(JOIN_TIMEOUT_S)
    stuck: Optional[str] = ", ".join(t.name for t in producers if t.is_alive()) or None
    if stuck or errors:
        print(f"producers failed: {stuck or errors}", file=sys.stderr)
        return 1

    # One channel per producer and one delivery worker that sends in submission order,
    # so each producer's results arrive in the order it submitted them.
    wrong = [
        (p, i)
        for p, bufs in received.items()
        for i, buf in enumerate(bufs)
        if not np.array_equal(buf.numpy(), expected(p, i, options.n))
    ]
    counts = [len(received[p]) for p in range(options.producers)]
    total = sum(counts)
    print(f"{options.producers} producers x {options.chunks} chunks of {options.n:,} elements, "
          f"channel capacity {options.capacity}")
    print(f"received {total} results through py_select, per producer {counts}")
    print(f"results equal to NumPy's: {total - len(wrong)} of {total}")
    print(f"channels closed and drained: {sum(c.is_closed() for c in channels)} "
          f"of {len(channels)}")
    complete = all(count == options.chunks for count in counts)
    return 0 if complete and not wrong else 1


if __name__ == "__main__":
    sys.exit(main())
