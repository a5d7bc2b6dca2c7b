"""The Dask executor (collect(client=...), or --scheduler ADDRESS): the
batches of a collection read by a cluster's workers. A task is a batch of
runs: the worker runs batch.read_batch on it and returns its results
(numbers, strings and numpy arrays), which are handed to the collection's
callback here as they arrive (as_completed); the collection keeps them with
the local collection's checkpoints, failure list and resume. Dask
reschedules the tasks of a worker that is lost; a batch whose task still
ends in an error (Dask's KilledWorker after several lost workers) is
submitted again, and after RETRIES the collection stops with the finished
batches kept: no batch is dropped. distributed is imported only when a
cluster is used (an optional package). Imports options and batch."""
import math

from .batch import read_batch
from .options import CollectError

RETRIES = 3
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
        return distributed.Client(client, timeout="30s"), True
    return client, False


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
        each one ends and tick() after each; on an error the tasks still
        queued are cancelled."""
        distributed = _distributed()
        client = self.client
        threads = max(1, sum(client.nthreads().values()))
        size = batch_size_for(len(todo), threads, size)
        batches = iter([todo[i:i + size] for i in range(0, len(todo), size)])
        running = {}
        completed = distributed.as_completed()

        def submit(batch, tries=0):
            future = client.submit(read_batch, [run.real for run, _ in batch], options,
                                   pure=False)
            running[future.key] = (future, batch, tries)
            completed.add(future)

        try:
            for batch in batches:
                submit(batch)
                if len(running) >= 2 * threads:
                    break
            for future in completed:
                _, batch, tries = running.pop(future.key)
                if future.status != "finished":
                    error = future.exception()
                    future.release()
                    if tries + 1 >= RETRIES:
                        raise CollectError(f"a batch of {len(batch)} runs failed {RETRIES} times "
                                           f"on the cluster ({type(error).__name__}: {error}); "
                                           "the finished batches are kept for the next run")
                    submit(batch, tries + 1)
                    continue
                results = future.result()
                future.release()
                finish(batch, results)
                batch = next(batches, None)
                if batch is not None:
                    submit(batch)
                tick()
        except BaseException:
            client.cancel([future for future, _, _ in running.values()])
            raise
