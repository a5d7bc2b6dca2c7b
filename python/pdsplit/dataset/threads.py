"""The local executor: batches of runs (batch.read_batch) on daemon threads
of this process (_core._collect_batch releases the GIL), each finished
batch handed to the collection's callback in the calling thread. It waits
for batches a bounded time at once (interrupts.Interrupts): on Ctrl-C,
SIGTERM or an error it stops at once with the batches finished so far
handed on, and the threads still reading (a run that never ends: a pipe)
are abandoned, never joined. Imports interrupts and batch."""
import math
import os
import queue
import threading

from .batch import read_batch
from .interrupts import Interrupts, abandon


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
        KeyboardInterrupt (or another error) the batches finished are handed
        on first and the others abandoned; an interrupt noted during the
        last batch is raised after it."""
        if size is None:
            size = max(8, min(32, math.ceil(len(todo) / max(1, 4 * self.workers))))
        tasks, done, stop = queue.SimpleQueue(), queue.SimpleQueue(), threading.Event()
        count = 0
        for i in range(0, len(todo), size):
            tasks.put(todo[i:i + size])
            count += 1

        def work():
            while not stop.is_set():
                try:
                    batch = tasks.get_nowait()
                except queue.Empty:
                    return
                try:
                    done.put((batch, read_batch([run.real for run, _ in batch], options), None))
                except BaseException as e:  # handed to the calling thread
                    done.put((batch, None, e))

        threads = [threading.Thread(target=work, name=f"pdsplit-reader-{k}", daemon=True)
                   for k in range(min(self.workers, count))]
        try:
            with Interrupts() as interrupts:  # before the threads start: none left unknown
                for thread in threads:
                    thread.start()
                for _ in range(count):
                    batch, results, error = interrupts.next_done(done, tick)
                    if error is not None:
                        raise error
                    finish(batch, results)
                    tick()
        except BaseException:
            stop.set()
            _finish_done(done, finish)
            abandon(threads)
            raise


def _finish_done(done, finish):
    """The batches finished and not yet handed on, handed on (after an error)."""
    while True:
        try:
            batch, results, error = done.get_nowait()
        except queue.Empty:
            return
        if error is None:
            try:
                finish(batch, results)
            except Exception:
                return
