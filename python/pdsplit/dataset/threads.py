"""The local executor: batches of runs (batch.read_batch) on a pool of
threads of this process (_core._collect_batch releases the GIL), two
batches a thread in flight, each finished batch handed to the collection's
callback in this thread. Ctrl-C and SIGTERM are noted while the threads
work and raised between batches (Interrupts). Imports batch."""
import math
import os
import signal
import threading
from concurrent.futures import FIRST_COMPLETED, ThreadPoolExecutor, wait

from .batch import read_batch


class Interrupts:
    """Ctrl-C (SIGINT, and SIGTERM where a handler of the command turns it
    into KeyboardInterrupt) noted while the reading threads work, and raised
    as KeyboardInterrupt by check() between batches. A KeyboardInterrupt
    raised anywhere could leave a lock of a future or of the pool held, and
    the reading thread that finishes that batch would then wait for it for
    ever. Only in the main thread, where Python runs signal handlers."""

    def __init__(self):
        self.noted = threading.Event()
        self.previous = {}

    def __enter__(self):
        if threading.current_thread() is threading.main_thread():
            for signum in (signal.SIGINT, signal.SIGTERM):
                handler = signal.getsignal(signum)
                if callable(handler) and handler is not signal.SIG_DFL:
                    self.previous[signum] = signal.signal(signum, self._note)
        return self

    def _note(self, signum, frame):
        self.noted.set()

    def check(self):
        if self.noted.is_set():
            raise KeyboardInterrupt

    def __exit__(self, *exc):
        for signum, handler in self.previous.items():
            signal.signal(signum, handler)


class Threads:
    """Reads batches on `workers` threads (default: the cores this process
    may use: a Slurm allocation, not all of the node's)."""

    def __init__(self, workers=None):
        self.workers = workers or (len(os.sched_getaffinity(0))
                                   if hasattr(os, "sched_getaffinity") else os.cpu_count()) or 1

    def run(self, todo, size, options, finish, tick):
        """Reads `todo` ([(Run, fingerprint)]) in batches of `size` runs
        (default 8 to 32: four batches a thread), calling finish(batch,
        results) as each one ends and tick() a few times a second. On
        KeyboardInterrupt (or another error) the batches under way are
        finished first; an interrupt noted during the last batch is raised
        after it."""
        if size is None:
            size = max(8, min(32, math.ceil(len(todo) / max(1, 4 * self.workers))))
        batches = iter([todo[i:i + size] for i in range(0, len(todo), size)])
        with ThreadPoolExecutor(max_workers=self.workers) as pool, Interrupts() as interrupts:
            running = {}
            try:
                while True:
                    while len(running) < 2 * self.workers:
                        batch = next(batches, None)
                        if batch is None:
                            break
                        folders = [run.real for run, _ in batch]
                        running[pool.submit(read_batch, folders, options)] = batch
                    if not running:
                        break
                    done, _ = wait(running, timeout=0.25, return_when=FIRST_COMPLETED)
                    for future in done:
                        finish(running.pop(future), future.result())
                    tick()
                    interrupts.check()
            except BaseException:
                for future in running:
                    future.cancel()
                for future, batch in running.items():
                    if not future.cancelled():
                        try:
                            finish(batch, future.result())
                        except Exception:
                            pass
                raise
        if interrupts.noted.is_set():  # at the very end, after the last batch
            raise KeyboardInterrupt
