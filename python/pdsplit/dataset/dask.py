"""The Dask executor (collect(client=...), or --scheduler ADDRESS): the
batches of a collection read by a cluster's workers. A task is a batch of
runs: the worker runs batch.read_batch on it and returns its results
(numbers, strings and numpy arrays), which are handed to the collection's
callback here as they arrive (put on a queue by each task's done callback
and waited for a bounded time at once); the collection keeps them with
the local collection's checkpoints, failure list and resume. Dask
reschedules the tasks of a worker that is lost; a batch whose task still
ends in an error (Dask's KilledWorker after several lost workers) is
submitted again, up to RETRIES tries in all, and then the collection stops
with the finished batches kept: no batch is dropped. A client closed or a
scheduler lost stops it the same way (CollectError). distributed is
imported only when a cluster is used (an optional package). Imports
options, interrupts and batch."""
import asyncio
import itertools
import math
import queue

from .batch import read_batch
from .interrupts import Interrupts
from .options import CollectError

RETRIES = 3  # tries of a batch in all: the first and two more
# Runs per task: a task costs the scheduler about 2 ms and a run 1 to 50 ms
# of a core, so batches of 16 to 1024 runs keep the overhead within a few
# percent while making about 8 tasks a worker thread for the balance of
# the load.
SMALLEST, LARGEST = 16, 1024


def _distributed():
    try:  # an optional package, imported only when a cluster is used
        import distributed
    except ImportError as e:
        raise ImportError(f"pdsplit.collect(client=...) needs dask.distributed ({e}; Debian: "
                          "apt-get install python3-distributed)") from e
    return distributed


def connect(client):
    """(Client, whether to close it): a Client as it is, an address of a
    scheduler connected to."""
    distributed = _distributed()
    if isinstance(client, str):
        check_address(client)
        return distributed.Client(client, timeout="30s"), True
    return client, False


def check_address(address):
    """ValueError naming the address when it is none of a scheduler
    (tcp://HOST:PORT, HOST:PORT, tls://, ucx://, ws://), before any
    connection is tried."""
    comm = _distributed().comm
    try:
        comm.get_address_host_port(address)
    except (ValueError, TypeError) as e:
        raise ValueError(f"scheduler: not the address of a Dask scheduler, {address!r} ({e}); "
                         "give tcp://HOST:PORT") from None


def batch_size_for(runs, threads, size=None):
    if size is None:
        size = max(SMALLEST, min(LARGEST, math.ceil(runs / max(1, 8 * threads))))
    return size


class Dask:
    """Reads batches on the workers of a dask.distributed Client."""

    def __init__(self, client):
        self.client = client

    def run(self, todo, size, options, finish, tick):
        """Reads `todo` ([(Run, fingerprint)]) in batches of `size` runs
        (default: see SMALLEST, LARGEST), calling finish(batch, results) as
        each one ends and tick() after each. Each finished task is put on a
        queue by its done callback, waited for a bounded time at once, as
        the local executor does (interrupts.Interrupts). On an error or
        KeyboardInterrupt the tasks under way are cancelled; a client that
        is closed or has lost its scheduler is a CollectError naming the
        cause."""
        client = self.client
        threads = max(1, sum(_cluster(client, client.nthreads).values()))
        size = batch_size_for(len(todo), threads, size)
        batches = iter([todo[i:i + size] for i in range(0, len(todo), size)])
        running, done = {}, queue.SimpleQueue()

        def submit(batch, tries=0):
            future = _cluster(client, client.submit, read_batch, [run.real for run, _ in batch],
                              options, pure=False)
            running[future.key] = (future, batch, tries)
            future.add_done_callback(done.put)

        try:
            with Interrupts() as interrupts:
                for batch in itertools.islice(batches, 2 * threads):
                    submit(batch)
                while running:
                    future = interrupts.next_done(done, tick, lambda: _alive(client))
                    _, batch, tries = running.pop(future.key)
                    results = _outcome(client, future, batch, tries)
                    if results is None:
                        submit(batch, tries + 1)
                        continue
                    finish(batch, results)
                    batch = next(batches, None)
                    if batch is not None:
                        submit(batch)
                    tick()
        except BaseException:
            _cancel(client, [future for future, _, _ in running.values()])
            raise


def _outcome(client, future, batch, tries):
    """The results of a finished task; None for a task that failed and is to
    be tried again; CollectError after RETRIES tries, or when the client
    cancelled it (closed, or its scheduler lost)."""
    if future.status == "finished":
        results = _cluster(client, future.result)
        future.release()
        return results
    if future.status == "cancelled":
        _alive(client)
        raise CollectError(f"a batch of {len(batch)} runs was cancelled on the cluster (the "
                           "client lost its scheduler); the finished batches are kept for "
                           "the next run")
    error = _cluster(client, future.exception)
    future.release()
    if tries + 1 >= RETRIES:
        raise CollectError(f"a batch of {len(batch)} runs failed {RETRIES} times on the cluster "
                           f"({type(error).__name__}: {error}); the finished batches are kept "
                           "for the next run")
    return None


def _alive(client):
    """CollectError when `client` can no longer run tasks."""
    if client.status in ("closing", "closed"):
        raise CollectError(f"the Dask client is {client.status} (closed, or it lost its "
                           "scheduler); the finished batches are kept for the next run")


def _cluster(client, call, *args, **kw):
    """call(*args, **kw) of the client; its failures (a closed client, a
    lost scheduler) as a CollectError naming the cause."""
    try:
        return call(*args, **kw)
    except (OSError, RuntimeError, asyncio.TimeoutError, asyncio.CancelledError,
            AttributeError) as e:
        _alive(client)
        raise CollectError(f"the Dask cluster failed ({type(e).__name__}: {e}); the finished "
                           "batches are kept for the next run") from e


def _cancel(client, futures):
    """The tasks `futures` cancelled, where the client still can."""
    if futures and client.status == "running":
        try:
            client.cancel(futures)
        except Exception:  # a cluster lost meanwhile: nothing runs for us there
            pass
