"""The one thread where the observer's heavy work runs, off the server's event loop.

The analysis of code (``zelvo_core.analysis.cell_facts``) catches the parser's warnings with
``warnings.catch_warnings``, which changes process-wide filters: two threads analysing at
once would restore each other's filters wrongly. So every analysis of the server runs here,
one job at a time, in the order the jobs came; reading and decoding a saved notebook too.

The queue is bounded: a job asked for while ``limit`` jobs wait is refused at once with
``Busy``, and the caller goes without (a run without parents, a save read at the next one).
Callers coalesce the jobs of one kernel, so the bound is only reached by many kernels at
once, or behind a job that takes very long. The thread is a daemon: a server that stops
does not wait for the job under way.
"""

from __future__ import annotations

import asyncio
import contextlib
import queue
import threading
import time

from zelvo_core.misc.models import collector_paused

# Jobs waiting, at most (the one running is not counted).
LIMIT = 256
# Seconds of a job's work between two pauses, and the length of a pause (see breathe).
BREATH = 0.002
PAUSE = 0.0002


class Busy(Exception):
    """The worker has ``limit`` jobs waiting already."""


class Closed(Exception):
    """The worker was closed: the server stops."""


class Worker:
    """One thread, owned by the extension, and its bounded queue of jobs."""

    def __init__(self, limit=LIMIT):
        self._jobs = queue.Queue(limit)
        self._closed = False
        self._thread = threading.Thread(target=self._serve, name="zelvo-worker", daemon=True)
        self._thread.start()

    async def run(self, fn, *args):
        """``fn(*args)`` in the worker's thread; its result, or its exception.

        Raises Busy when ``limit`` jobs wait, Closed once the worker is closed. Cancelling
        the caller drops a job that has not started; one that started ends unseen.
        """
        if self._closed:
            raise Closed()
        loop = asyncio.get_running_loop()
        outcome = loop.create_future()
        try:
            self._jobs.put_nowait((loop, outcome, fn, args))
        except queue.Full:
            raise Busy() from None
        return await outcome

    def _serve(self):
        _worker.breathed = time.perf_counter()
        while True:
            job = self._jobs.get()
            if job is None:
                return
            loop, outcome, fn, args = job
            if outcome.cancelled():  # read from this thread: at worst the job runs unseen
                continue
            result = error = None
            try:
                # A job's many short-lived objects would each trigger collections that, being
                # promoted meanwhile, end in full ones: tens of milliseconds with the lock.
                with collector_paused():
                    result = fn(*args)
            except BaseException as raised:  # handed to the caller; the thread goes on
                error = raised
            with contextlib.suppress(RuntimeError):  # a closed loop: nobody waits any more
                loop.call_soon_threadsafe(_settle, outcome, result, error)
            del job, outcome, result, error

    def close(self):
        """Drop the jobs that wait (their callers get Closed) and stop the thread once the
        job under way ends."""
        if self._closed:
            return
        self._closed = True
        while True:
            try:
                job = self._jobs.get_nowait()
            except queue.Empty:
                break
            if job is not None:
                loop, outcome = job[:2]
                with contextlib.suppress(RuntimeError):
                    loop.call_soon_threadsafe(_settle, outcome, None, Closed())
        self._jobs.put(None)

    @property
    def closed(self):
        return self._closed


# The worker's thread: its time since its last pause.
_worker = threading.local()


def breathe():
    """Called often by a long job: every BREATH seconds, pause briefly.

    The event loop's thread needs the interpreter lock for every turn of the loop; a
    thread that computes keeps it until the interpreter forces a switch (every 5 ms), so
    each turn would wait that long. A job that pauses lets the loop have it at once.
    """
    last = getattr(_worker, "breathed", None)
    if last is None:
        return  # not in the worker: the event loop itself never pauses
    now = time.perf_counter()
    if now - last > BREATH:
        time.sleep(PAUSE)
        _worker.breathed = time.perf_counter()


def _settle(outcome, result, error):
    if outcome.done():  # cancelled meanwhile
        return
    if error is not None:
        outcome.set_exception(error)
    else:
        outcome.set_result(result)
