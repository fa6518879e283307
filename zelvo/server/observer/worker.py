"""The one thread where the observer's heavy work runs, off the server's event loop.

The analysis of code (``zelvo_core.analysis.cell_facts``) catches the parser's warnings with
``warnings.catch_warnings``, which changes process-wide filters: two threads analysing at
once would restore each other's filters wrongly. So every analysis of the server runs here,
one job at a time, in the order the jobs came; reading and decoding a saved notebook too.

The queue is bounded: a job asked for while ``limit`` jobs wait or run is refused at once
with ``Busy``, and the caller goes without (a run without parents, a save read at the next
one). Jobs of one kernel are coalesced by their callers, so the bound is only reached by
many kernels at once, or by a job that never ends.
"""

from __future__ import annotations

import asyncio
import concurrent.futures
import sys
import threading

# Jobs waiting or running, at most.
LIMIT = 256


class Busy(Exception):
    """The worker has ``limit`` jobs already."""


class Closed(Exception):
    """The worker was closed: the server stops."""


class Worker:
    """One thread, owned by the extension, and its bounded queue of jobs."""

    def __init__(self, limit=LIMIT):
        self.limit = limit
        self._slots = threading.BoundedSemaphore(limit)
        self._executor = concurrent.futures.ThreadPoolExecutor(
            max_workers=1, thread_name_prefix="zelvo-worker"
        )
        self._closed = False

    async def run(self, fn, *args):
        """``fn(*args)`` in the worker's thread; its result, or its exception.

        Raises Busy when ``limit`` jobs wait or run, Closed once the worker is closed.
        Cancelling the caller drops a job that has not started; one that started ends
        unseen.
        """
        if self._closed:
            raise Closed()
        if not self._slots.acquire(blocking=False):
            raise Busy()
        try:
            job = self._executor.submit(fn, *args)
        except RuntimeError:  # shut down meanwhile
            self._slots.release()
            raise Closed() from None
        # Done, failed or cancelled: the slot is free again (called in either thread).
        job.add_done_callback(lambda _: self._slots.release())
        return await asyncio.wrap_future(job)

    def close(self):
        """Drop the jobs that wait and let the running one end; the thread then stops."""
        if self._closed:
            return
        self._closed = True
        if sys.version_info >= (3, 9):
            self._executor.shutdown(wait=False, cancel_futures=True)
        else:  # pragma: no cover (3.8: no cancel_futures; the queued jobs still run)
            self._executor.shutdown(wait=False)

    @property
    def closed(self):
        return self._closed
