"""The collection on local clusters: a Dask LocalCluster of 2 worker
processes (client= and --scheduler) equal to a local collect, also when a
worker is killed in the middle of a batch; the Slurm recipe of
docs/recipes.md on a one-node Slurm, a failed shard reported by the merge
and collected by the resubmission, and runs added to the tree merged by the
next submission."""
import gzip
import os
import re
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

import pdsplit
from conftest import DATA, environment, make_tree
from local_slurm import local_slurm  # noqa: F401 (the fixture)
from test_collect_shards import assert_same_dataset, pdsplit_command

pytest.importorskip("h5py", reason="h5py is not installed")
pytestmark = pytest.mark.cluster


def many_runs(folder, copies=6):
    """A tree of tens of small runs: TREE's 8 (3 failing) and `copies`
    copies of the sample DOSCAR files and run folders; returns its run list."""
    make_tree(folder / "tree", copies=copies)
    runs = folder / "runs.txt"
    runs.write_text("".join(f"{p}\n" for p, _ in pdsplit.list_runs(folder / "tree")))
    return runs


@pytest.fixture(scope="module")
def dask_cluster(tmp_path_factory):
    distributed = pytest.importorskip("distributed", reason="dask.distributed is not installed "
                                      "(Debian: python3-distributed)")
    scratch = str(tmp_path_factory.mktemp("dask"))
    with distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1,
                                  dashboard_address=None, silence_logs=50,
                                  local_directory=scratch) as cluster, \
            distributed.Client(cluster) as client:
        yield cluster, client


@pytest.mark.parametrize("how", ["client", "--scheduler"])
def test_dask_equals_local_collect(dask_cluster, tmp_path, how):
    cluster, client = dask_cluster
    runs = many_runs(tmp_path)
    pdsplit.collect(runs, tmp_path / "local.nc")
    out = tmp_path / "dask.nc"
    if how == "client":
        done = pdsplit.collect(runs, out, client=client, batch_size=4)
        assert (done.runs, done.failed) == (35, 3)
    else:
        status = pdsplit_command("collect", runs, "-o", out, "-q", "--scheduler",
                                 cluster.scheduler_address)
        assert status.returncode == 3, status.stderr
    assert_same_dataset(out, tmp_path / "local.nc")
    assert (tmp_path / "dask.nc.failures.jsonl").read_text() == \
        (tmp_path / "local.nc.failures.jsonl").read_text()


def test_dask_missing_named(tmp_path, monkeypatch):
    monkeypatch.setitem(sys.modules, "distributed", None)  # as if not installed
    with pytest.raises(ImportError, match="python3-distributed"):
        pdsplit.collect(many_runs(tmp_path, copies=0), tmp_path / "d.nc", client="tcp://x:1")
    assert not (tmp_path / "d.nc").exists()


def slow_doscar(folder, atoms=40):
    """folder/DOSCAR.gz of `atoms` atoms of 99,999 points each, l,m-projected:
    about 12 MB of text an atom, every atom's block the same gzip member
    (compressed once), so that it is made in a moment and read in seconds
    (a batch under way long enough to be stopped); returns its path."""
    n = 99999
    line6 = f"{500.0:16.8f}{-500.0:16.8f}{n:5d}{0.0:16.8f}{1.0:16.8f}\n"
    energies = [f"{-500 + j * 0.001:11.3f}" for j in range(n)]
    head = f"{atoms:4d}{atoms:4d}   1   0\n  0.1E+02\n  1.0E-004\n  CAR \n slow\n" + line6 + \
        "".join(e + "  0.1000E+01  0.2000E+01\n" for e in energies)
    block = line6 + "".join(e + "  0.1000E+00" * 9 + "\n" for e in energies)
    member = gzip.compress(block.encode(), compresslevel=1, mtime=0)
    folder.mkdir(parents=True, exist_ok=True)
    path = folder / "DOSCAR.gz"
    path.write_bytes(gzip.compress(head.encode(), compresslevel=1, mtime=0) + member * atoms)
    return path


def _readers(pids, path):
    """The processes of `pids` that have `path` open."""
    found = []
    for pid in pids:
        try:
            fds = os.listdir(f"/proc/{pid}/fd")
        except OSError:
            continue
        for fd in fds:
            try:
                if os.readlink(f"/proc/{pid}/fd/{fd}") == str(path):
                    found.append(pid)
            except OSError:
                pass
    return found


def _worker_pids(cluster):
    """{worker address: pid} of the live worker processes, from their nannies
    (never asking a worker that may be dead)."""
    return {n.worker_address: n.process.pid for n in list(cluster.workers.values())
            if n.process is not None and n.process.pid is not None and n.worker_address}


def _wait_for(test, what, seconds=60):
    deadline = time.monotonic() + seconds
    while not test():
        assert time.monotonic() < deadline, what
        time.sleep(0.05)


def test_dask_worker_killed_mid_batch(dask_cluster, tmp_path):
    """One run's DOSCAR takes seconds to read: the worker reading it is
    killed then (its pid from its nanny); once the scheduler has seen it go,
    the batch is read again by another worker, and the dataset equals a
    local collection."""
    cluster, client = dask_cluster
    runs = many_runs(tmp_path, copies=2)
    slow = slow_doscar(tmp_path / "tree/slow")
    runs.write_text(runs.read_text() + f"{slow.parent}\n")
    done = {}
    collecting = threading.Thread(target=lambda: done.update(
        result=pdsplit.collect(runs, tmp_path / "dask.nc", client=client, batch_size=3)))
    collecting.start()
    try:
        reader = []
        _wait_for(lambda: not collecting.is_alive() or reader.extend(
            a for a, pid in _worker_pids(cluster).items() if _readers([pid], slow)) or reader,
            "the slow run not read", seconds=120)
        assert reader, "the collection ended before the slow run was seen being read"
        killed = reader[0]
        os.kill(_worker_pids(cluster)[killed], signal.SIGKILL)
        _wait_for(lambda: killed not in client.scheduler_info()["workers"],
                  "the scheduler still lists the killed worker")
    finally:
        collecting.join(300)
    assert done["result"].runs == 1 + 5 + 2 * 5
    pdsplit.collect(runs, tmp_path / "local.nc")
    assert_same_dataset(tmp_path / "dask.nc", tmp_path / "local.nc")


def _erred_tries(cluster, tries):
    """Appends to `tries` the key of each try of read_batch that ends in an
    error (a plugin of the LocalCluster's scheduler, which runs here)."""
    from distributed.diagnostics.plugin import SchedulerPlugin

    class Count(SchedulerPlugin):
        def transition(self, key, start, finish, *args, **kwargs):
            if finish == "erred" and str(key).startswith("read_batch"):
                tries.append(key)

    cluster.scheduler.add_plugin(Count(), name="erred-tries")


# a client closed before the collection, or while it waits for a batch (a run
# that takes seconds to read); a worker whose pdsplit refuses an option of this one (an older
# version) fails every try of the one batch: (what, the message, the tries that
# end in an error: three in all, as docs/dataset.md says)
CLUSTER_FAILURES = {
    "client closed before": ("closed", "the Dask client is clos", 0),
    "client closed while reading": ("closing", "the Dask client is clos", 0),
    "an option the workers refuse": ("option", "failed 3 times", 3),
}


@pytest.mark.parametrize("case", CLUSTER_FAILURES)
def test_dask_failures_end_with_their_cause(dask_cluster, tmp_path, monkeypatch, case):
    from pdsplit.dataset.collection import collect_runs
    from pdsplit.dataset.dask import Dask
    from pdsplit.dataset.find import find_runs
    from pdsplit.dataset.options import make_options
    from distributed import Client

    cluster, shared = dask_cluster
    how, message, erred = CLUSTER_FAILURES[case]
    tree = make_tree(tmp_path / "tree", ["good/spin1"] + ["good/ti8"] * (how != "option"))
    options = make_options((-10, 10, 0.05), "efermi", 0, None, False, (-10, 10), (-1, 0),
                           0.001, None)
    if how == "option":
        options["newer_option"] = 1
    if how == "closing":
        monkeypatch.setenv("PDSPLIT_CHECKPOINT_SECONDS", "0")  # a checkpoint a batch
        slow_doscar(tree / "slow", atoms=80)
    client = shared if how == "option" else Client(cluster.scheduler_address, timeout="60s")
    if how == "closed":
        client.close()
    out = tmp_path / "dos.nc"
    failed = {}

    def collecting():
        try:
            collect_runs(*find_runs(tree), out, options, Dask(client), batch_size=1)
        except BaseException as e:
            failed["error"] = e

    tries = []
    _erred_tries(cluster, tries)
    worker = threading.Thread(target=collecting)
    worker.start()
    if how == "closing":
        parts = Path(f"{out}.parts")
        _wait_for(lambda: not worker.is_alive() or parts.exists() and len(
            list(parts.glob("batch-*"))) == 2, "the two good runs not saved")
        client.close()
    worker.join(120)
    cluster.scheduler.remove_plugin(name="erred-tries")
    assert not worker.is_alive() and isinstance(failed.get("error"), pdsplit.CollectError)
    assert message in str(failed["error"]) and len(tries) == erred
    assert not out.exists()
    if how == "closing":  # the runs read are kept: the next collection reads the rest
        assert len(list(Path(f"{out}.parts").glob("batch-*"))) == 2


def recipe_scripts(folder):
    """The scripts of docs/recipes.md's Slurm collection, written into folder
    under the names their first comment gives (submit.sh ...)."""
    page = (DATA.parent.parent / "docs/recipes.md").read_text()
    section = page.split("## Many runs into one dataset on Slurm", 1)[1].split("\n## ", 1)[0]
    names = []
    for block in re.findall(r"```bash\n(.*?)```", section, re.S):
        name = re.search(r"^# (\S+\.(?:sh|sbatch))[: ]", block, re.M).group(1)
        (folder / name).write_text(block)
        (folder / name).chmod(0o755)
        names.append(name)
    assert sorted(names) == ["collect-shard.sbatch", "merge.sbatch", "submit.sh"]


def test_slurm_recipe_with_a_failed_shard(local_slurm, tmp_path):  # noqa: F811
    many_runs(tmp_path, copies=1)
    recipe_scripts(tmp_path)
    env = dict(local_slurm.env, PYTHON=sys.executable, SHARDS="3", MAX="2",
               PYTHONPATH=environment()["PYTHONPATH"])
    blocker = tmp_path / "shards/shard-00001-of-00003.partial.nc"
    blocker.mkdir(parents=True)  # task 1 cannot write its shard: it fails

    def submit():
        done = subprocess.run(["./submit.sh", "tree"], cwd=tmp_path, env=env,
                              capture_output=True, text=True, timeout=60)
        assert done.returncode == 0, done.stderr
        jobs = done.stdout.split()
        states = local_slurm.wait_jobs(jobs, timeout=50)
        return jobs, states, (tmp_path / f"merge-{jobs[-1]}.out").read_text()

    (array, merge), states, log = submit()
    assert [states[f"{array}_{k}"][0] for k in range(3)] == ["COMPLETED", "FAILED", "COMPLETED"]
    assert states[merge] == ("FAILED", "5:0")
    assert "shard-00001-of-00003.nc" in log and "(array indices 1)" in log
    assert not (tmp_path / "dos.nc").exists()
    blocker.rmdir()
    (array, merge), states, log = submit()  # only the missing shard again
    assert sorted(states) == sorted([f"{array}_1", merge]) and states[merge] == ("FAILED", "3:0")
    assert "pdsplit merge: 10 runs" in log
    pdsplit.collect(tmp_path / "runs.txt", tmp_path / "local.nc")
    assert_same_dataset(tmp_path / "dos.nc", tmp_path / "local.nc")
    make_tree(tmp_path / "tree/added", ["good/spin1", "good/ti8"])  # the tree grows
    (array, merge), states, log = submit()  # a new set of shards, of every run
    assert [states[f"{array}_{k}"][0] for k in range(3)] == ["COMPLETED"] * 3
    assert states[merge] == ("FAILED", "3:0") and "pdsplit merge: 12 runs" in log
    pdsplit.collect(tmp_path / "runs.txt", tmp_path / "grown.nc")
    assert_same_dataset(tmp_path / "dos.nc", tmp_path / "grown.nc")
