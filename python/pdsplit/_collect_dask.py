"""pdsplit.collect on a Dask cluster (client=, or --scheduler ADDRESS): the
same collection, its runs read by the cluster's workers. A task is a batch
of runs: the worker calls _core._collect_batch on it and returns its result
(numbers, strings and numpy arrays); the driver turns the results into rows
as they arrive (as_completed) and keeps them with the local collection's
checkpoints, failure list and resume. Dask reschedules the tasks of a
worker that is lost; a batch whose task still ends in an error (Dask's
KilledWorker after several lost workers) is submitted again, and after
RETRIES the collection stops with the finished batches kept: no batch is
dropped."""
import math

from ._collect import CollectError
from ._collect_run import store_results

RETRIES = 3
# Runs per task: a task costs the scheduler about 2 ms and a run 1 to 50 ms
# of a core, so batches of 16 to 1024 runs keep the overhead within a few
# percent while making about 8 tasks a worker thread for the balance of
# the load.
SMALLEST, LARGEST = 16, 1024


def _distributed():
    try:
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


def read_batch(folders, options):
    """The task of a worker: a batch of run folders read."""
    from . import _core

    return _core._collect_batch(folders, options)


def batch_size_for(runs, threads, size=None):
    if size is None:
        size = max(SMALLEST, min(LARGEST, math.ceil(runs / max(1, 8 * threads))))
    return size


def dask_reader(client):
    """A stand-in of _collect_run._read that reads on the client's cluster."""

    def read(todo, options, workers, batch_size, pending, progress, labels):
        distributed = _distributed()
        threads = max(1, sum(client.nthreads().values()))
        size = batch_size_for(len(todo), threads, batch_size)
        batches = iter([todo[i:i + size] for i in range(0, len(todo), size)])
        running, failures = {}, 0
        completed = distributed.as_completed()

        def submit(batch, tries=0):
            future = client.submit(read_batch, [run.real for run, _ in batch], options,
                                   pure=False)
            running[future.key] = (future, batch, tries)
            completed.add(future)

        def finish(batch, results):
            nonlocal failures
            failures += store_results(batch, results, labels, pending)
            progress.update(len(batch), failures)

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
                progress.tick()
        except BaseException:
            client.cancel([future for future, _, _ in running.values()])
            try:
                pending.save()
            except Exception:
                pass
            raise
        return failures

    return read
