"""The local clusters the distributed collection is tested on: a one-node
Slurm running job arrays (a throttled array, a failing task, a job that
depends on the whole array) and a Dask LocalCluster of worker processes that
finishes a task whose worker was killed while running it."""
import os
import signal
import time

import pytest

from local_slurm import local_slurm  # noqa: F401 (the fixture)

TASK = """#!/bin/sh
# one file per array task; task $FAIL (if set) fails after writing its own
echo "task $SLURM_ARRAY_TASK_ID of $SLURM_ARRAY_JOB_ID" > "out/$SLURM_ARRAY_TASK_ID"
[ "$SLURM_ARRAY_TASK_ID" != "$FAIL" ] || { rm "out/$SLURM_ARRAY_TASK_ID"; exit 1; }
"""


def test_slurm_array_failed_task_and_dependency(local_slurm, tmp_path):  # noqa: F811
    runs = {}
    for name, fail in (("all", ""), ("fail2", "2")):
        folder = tmp_path / name
        (folder / "out").mkdir(parents=True)
        (folder / "task.sh").write_text(TASK)
        array = local_slurm.sbatch("--array=0-3%2", f"--chdir={folder}", f"--export=ALL,FAIL={fail}",
                                   f"--output={folder}/slurm-%a.log", str(folder / "task.sh"))
        runs[name] = (folder, array)
    folder, array = runs["fail2"]
    after = local_slurm.sbatch(f"--dependency=afterany:{array}", f"--chdir={folder}",
                               f"--output={folder}/after.log", "--wrap", "ls out | tr '\\n' ' '")
    states = local_slurm.wait_jobs([runs["all"][1], array, after], timeout=60)

    for name, (folder, job) in runs.items():
        failed = 2 if name == "fail2" else None
        for task in range(4):
            expect = ("FAILED", "1:0") if task == failed else ("COMPLETED", "0:0")
            assert states[f"{job}_{task}"] == expect, (name, task)
            out = folder / "out" / str(task)
            if task == failed:
                assert not out.exists()
            else:
                assert out.read_text() == f"task {task} of {job}\n"
    assert states[after] == ("COMPLETED", "0:0")
    assert (runs["fail2"][0] / "after.log").read_text() == "0 1 3 "


def test_dask_worker_killed_mid_task(tmp_path):
    distributed = pytest.importorskip("distributed", reason="dask.distributed is not installed")

    def square(i, folder):
        # marks its start with the worker's process id, then works a while
        (folder / f"{i}.{os.getpid()}").touch()
        time.sleep(1.5)
        return i * i, os.getpid()

    with distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1,
                                  dashboard_address=None, local_directory=str(tmp_path),
                                  silence_logs=50) as cluster, distributed.Client(cluster) as client:
        workers = set(client.run(os.getpid).values())
        assert len(workers) == 2 and os.getpid() not in workers
        futures = client.map(square, range(4), folder=tmp_path, pure=False)
        deadline = time.monotonic() + 30
        while not list(tmp_path.glob("0.*")):
            assert time.monotonic() < deadline, "task 0 never started"
            time.sleep(0.05)
        killed = int(next(tmp_path.glob("0.*")).suffix[1:])
        assert killed in workers
        os.kill(killed, signal.SIGKILL)
        results = client.gather(futures)
        assert [r[0] for r in results] == [0, 1, 4, 9]
        assert results[0][1] != killed
        # task 0 started twice: on the killed worker, then on another
        assert len(list(tmp_path.glob("0.*"))) == 2
        workers |= set(client.run(os.getpid).values())
    for pid in workers:
        deadline = time.monotonic() + 10
        while os.path.exists(f"/proc/{pid}") and "Z" not in _state(pid):
            assert time.monotonic() < deadline, f"worker {pid} left running"
            time.sleep(0.1)


def _state(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0]
    except OSError:
        return "Z"
