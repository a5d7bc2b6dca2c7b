"""The Dask and shard modes of bench/many_runs.py: the same tree collected
by one local collect and by the other way, the times and their ratio."""
import os
import time

import pdsplit


def timed(work):
    start = time.perf_counter()
    result = work()
    return time.perf_counter() - start, result


def local(tree, scratch, workers, grid):
    seconds, done = timed(lambda: pdsplit.collect(tree, scratch / "local.nc", grid=grid,
                                                   workers=workers))
    print(f"local collect ({workers} threads):  {seconds:8.2f} s  "
          f"{(done.runs + done.failed) / seconds:8.1f} runs/s  ({done.runs} read, "
          f"{done.failed} failed)")
    return seconds


def dask_mode(tree, scratch, workers, grid):
    import distributed

    with distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                  dashboard_address=None, silence_logs=50) as cluster, \
            distributed.Client(cluster) as client:
        client.run(lambda: __import__("pdsplit"))  # the workers' imports, before the clock
        t_local = local(tree, scratch, workers, grid)
        t_dask, done = timed(lambda: pdsplit.collect(tree, scratch / "dask.nc", grid=grid,
                                                     client=client))
    print(f"Dask ({workers} worker processes): {t_dask:8.2f} s  "
          f"{(done.runs + done.failed) / t_dask:8.1f} runs/s")
    print(f"Dask / local speed: {t_local / t_dask:.2f}x")


def shards_mode(tree, scratch, workers, shards, grid):
    t_list, runs = timed(lambda: pdsplit.list_runs(tree))
    (scratch / "runs.txt").write_text("".join(f"{p}\n" for p, _ in runs))
    t_local = local(scratch / "runs.txt", scratch, workers, grid)
    t_shards = 0.0
    for k in range(shards):
        t_shards += timed(lambda: pdsplit.collect_shard(scratch / "runs.txt", scratch / "shards",
                                                        k, shards, grid=grid,
                                                        workers=workers))[0]
    t_merge, done = timed(lambda: pdsplit.merge_shards(scratch / "shards", scratch / "m.nc"))
    size = os.path.getsize(scratch / "m.nc") / 1e6
    total = t_list + t_shards + t_merge
    print(f"list {t_list:.2f} s, {shards} shards {t_shards:.2f} s, merge {t_merge:.2f} s "
          f"({done.runs} runs, {size:.0f} MB): {total:.2f} s")
    print(f"shards + merge / local speed: {t_local / total:.2f}x; merge {t_local / t_merge:.1f}x "
          f"faster than the collect")


def compare(mode, tree, scratch, workers, shards, grid):
    if mode == "dask":
        dask_mode(tree, scratch, workers, grid)
    else:
        shards_mode(tree, scratch, workers, shards, grid)
    return 0
