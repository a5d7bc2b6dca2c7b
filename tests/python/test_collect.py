"""pdsplit.collect and `python3 -m pdsplit collect`: the dataset read back
with h5py, xarray and ncdump, failures listed with their causes, resuming
after SIGKILL at several points, equal collections, refusals."""
import fcntl
import re
import json
import os
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

import pdsplit
from conftest import DATA, TREE, environment, make_tree
from pdsplit.dataset.store import Lock, batch_keys

h5py = pytest.importorskip("h5py", reason="h5py is not installed")
pytest.importorskip("h5netcdf", reason="h5netcdf is not installed")

def load(path):
    xr = pytest.importorskip("xarray", reason="xarray is not installed")
    with xr.open_dataset(path, engine="h5netcdf") as ds:
        return ds.load()


def command(*args, checkpoint=None, **kw):
    return subprocess.run([sys.executable, "-m", "pdsplit", "collect", *map(str, args)],
                          env=environment(checkpoint), capture_output=True, text=True,
                          timeout=60, **kw)


def test_dataset_read_back(tree, tmp_path):
    out = tmp_path / "dos.nc"
    done = pdsplit.collect(tree, out, workers=2)
    good = sorted(n for n, (_, cause) in TREE.items() if cause is None)
    assert (done.runs, done.failed, done.read) == (len(good), len(TREE) - len(good), len(TREE))
    with h5py.File(out, "r") as h5:
        assert [p.decode() for p in h5["path"][:]] == good
        assert h5["dos"].shape == (len(good), 5, 400) and h5["dos"].chunks[1:] == (5, 400)
        assert h5["dos"].dtype == np.float32
    ds = load(out)
    assert list(ds.channel.values) == ["total", "all(s)", "all(p)", "all(d)", "all(f)"]
    np.testing.assert_allclose(ds.energy.values[[0, -1]], [-9.975, 9.975])
    row = {p: i for i, p in enumerate(ds.path.values)}
    # a run without projected DOS: a row, total resolved, the rest NaN with reasons
    t = row["good/total-only"]
    assert np.isfinite(ds.dos[t, 0].values[ds.valid[t].values == 1]).all()
    assert np.isnan(ds.dos[t, 1:].values).all() and all(ds.channel_reason[t, 1:].values)
    # symbols from POSCAR give element rows; without a structure none
    ti = row["good/ti8"]
    start, count = int(ds.run_element_start[ti]), int(ds.run_element_count[ti])
    assert list(ds.element_symbol.values[start:start + count]) == ["Ti", "O"]
    assert ds.formula.values[ti] == "Ti4O4" and int(ds.run_element_count[row["good/spin1"]]) == 0
    al = row["good/al"]
    assert (ds.incar_NEDOS.values[al], ds.incar_ISMEAR.values[al], ds.compression.values[al]) == (
        601, 0, "gzip")
    assert np.isnan(ds.incar_NEDOS[ti]) and ds.spin.values[row["good/spin1"]] == "collinear"
    ncdump = shutil.which("ncdump")
    if ncdump is None:
        pytest.skip("ncdump is not installed (Debian: netcdf-bin)")
    header = subprocess.run([ncdump, "-h", str(out)], capture_output=True, text=True, timeout=60)
    assert header.returncode == 0, header.stderr
    assert "float dos(run, channel, energy)" in header.stdout


# runs of the tree, with --sites: dimensions as netCDF-4 readers see them (a
# dimension of size 0 is unlimited there)
LAYOUTS = [
    (list(TREE), True, {"run": 5, "element_row": 3, "site_row": 18, "failure": 3}),
    (["bad/cut", "bad/nan"], False, {"run": 0, "element_row": 0, "failure": 2}),
    (["good/spin1"], False, {"run": 1, "element_row": 0, "failure": 0}),
]


@pytest.mark.parametrize("names,sites,sizes", LAYOUTS)
def test_netcdf_layout(tmp_path, names, sites, sizes):
    h5netcdf = pytest.importorskip("h5netcdf")
    from pdsplit.dataset.schema import SCHEMA

    out = tmp_path / "dos.nc"
    pdsplit.collect(make_tree(tmp_path / "tree", names), out, sites=sites)
    with h5netcdf.File(out, "r") as f:
        assert {d: len(v) for d, v in f.dimensions.items()} == dict(
            sizes, channel=5, energy=400, orbital=4)
        assert [d for d, v in f.dimensions.items() if v.isunlimited()] == [
            d for d, n in sizes.items() if n == 0]
        for name, (dims, _, units, _) in SCHEMA.items():
            if all(d in sizes or d in ("channel", "energy") for d in dims):
                assert f[name].dimensions == dims and f[name].attrs.get("units", "") == units
        orbitals = [o.decode() if isinstance(o, bytes) else o for o in f["orbital"][:]]
        assert f["energy"].dimensions == ("energy",) and orbitals == list("spdf")


def test_failures_listed_with_causes(tree, tmp_path):
    out = tmp_path / "dos.nc"
    status = command(tree, "-o", out, "-q")
    assert status.returncode == 3, status.stderr
    want = {n: cause for n, (_, cause) in TREE.items() if cause}
    ds = load(out)
    assert dict(zip(ds.failure_path.values, ds.failure_error_cause.values)) == want
    lines = [json.loads(l) for l in Path(f"{out}.failures.jsonl").read_text().splitlines()]
    assert {l["path"]: l["error_cause"] for l in lines} == want
    assert all(l["message"] and l["error_type"] for l in lines)


def test_sources_overlap_once_labels_and_loops(tree, tmp_path):
    (tree / "good/loop").symlink_to(tree / "good")
    listing = tmp_path / "list.txt"
    listing.write_text(f"{tree / 'good/ti8'}  rock salt\n# a comment\n\n{tree / 'missing'}\n")
    out = tmp_path / "dos.nc"
    done = pdsplit.collect([tree / "good", tree / "good/ti8", listing], out)
    ds = load(out)
    assert sorted(ds.path.values) == list(ds.path.values) and len(set(ds.path.values)) == 5
    labels = dict(zip(ds.path.values, ds.label.values))
    assert labels["good/ti8"] == "rock salt"
    assert dict(zip(ds.failure_path.values, ds.failure_error_cause.values)) == {
        "missing": "no-doscar"}
    assert done.runs == 5


def test_updates_and_retry(tree, tmp_path):
    out, fresh = tmp_path / "dos.nc", tmp_path / "fresh.nc"
    first = pdsplit.collect(tree, out, sites=True)
    again = pdsplit.collect(tree, out, sites=True)  # nothing to do
    assert (again.read, again.kept, again.runs, again.failed) == (0, len(TREE), first.runs, 3)
    shutil.rmtree(tree / "good/spin1")
    make_tree(tmp_path / "tree", ["good/spin1"])
    os.utime(tree / "good/spin1/DOSCAR", ns=(1, 1))  # changed
    shutil.rmtree(tree / "good/al")  # gone
    done = pdsplit.collect(tree, out, sites=True)
    assert (done.read, done.dropped) == (1, ["good/al"])
    assert pdsplit.collect(tree, out, sites=True, retry_failed=True).read == 3
    pdsplit.collect(tree, fresh, sites=True)
    assert load(out).identical(load(fresh))


def test_progress_and_summary(tree, tmp_path, capfd):
    pdsplit.collect(tree, tmp_path / "quiet.nc")
    assert capfd.readouterr() == ("", "")  # the function prints nothing unless asked
    status = command(tree, "-o", tmp_path / "dos.nc")  # not a terminal: plain lines
    assert "8/8 runs read, 3 failed" in status.stderr
    assert status.stdout.startswith("pdsplit collect: 5 runs in ") and "3 failed" in status.stdout


def test_refusals(tree, tmp_path):
    out = tmp_path / "dos.nc"
    pdsplit.collect(tree, out, sigma=0.1)
    before = out.read_bytes()
    status = command(tree, "-o", out, "--sigma", "0.2", "--grid", "-5", "5", "0.1")
    assert status.returncode == 4 and "grid, sigma" in status.stderr
    with Lock(str(out)):  # a second writer at once
        with pytest.raises(pdsplit.CollectError, match="another collection"):
            pdsplit.collect(tree, out, sigma=0.1)
    assert out.read_bytes() == before
    assert command(tmp_path / "empty-nothing", "-o", out).returncode == 4
    assert command(tree, "-o", out, "--grid", "1", "0", "1").returncode == 2
    bad = command(tree, "-o", out, "--scheduler", "not an address")
    assert bad.returncode == 2 and "not the address" in bad.stderr and "Traceback" not in bad.stderr
    run = tree / "good/nedos10"  # holds DOSCAR.gz only
    for name in ("DOSCAR", "vasprun.xml", "INCAR.bak", "CONTCAR"):
        refused = command(run, "-o", run / name)
        assert refused.returncode == 4 and "named like an input" in refused.stderr, name
        assert not (run / name).exists()


def test_failure_list_not_written_after_the_dataset(tree, tmp_path):
    out = tmp_path / "dos.nc"
    Path(f"{out}.failures.jsonl").mkdir()
    done = command(tree, "-o", out, "-q")
    assert done.returncode == 3 and "warning" in done.stderr and "dataset was written" in done.stderr
    assert len(load(out).failure_path) == 3


def _stop_when(out, seen, signum, checkpoint=0, batch=1):
    """Runs the command `batch` runs per batch (and a checkpoint per batch)
    and sends it `signum` once seen(files beside the output) holds; returns
    the exit status."""
    args = [sys.executable, "-m", "pdsplit", "collect", str(out.parent.parent / "tree"), "-o",
            str(out), "-q", "-j", "1", "--batch-size", str(batch), "--sites"]
    process = subprocess.Popen(args, env=environment(checkpoint))
    deadline = time.monotonic() + 60
    while process.poll() is None and time.monotonic() < deadline:
        parts = Path(f"{out}.parts")
        names = os.listdir(parts) if parts.exists() else []
        if seen(names + os.listdir(out.parent)):
            process.send_signal(signum)
            break
    return process.wait(timeout=60)


def _batches(names):
    return sum(n.startswith("batch-") and n.endswith(".pkl") for n in names)


def _writing(names):
    return any(".nc.tmp-" in n for n in names)


# when to stop it, how, its exit status (None: it may finish first), the
# seconds between checkpoints (None: the default, none in so short a run) and
# the runs per batch (70: a checkpoint holds more than one pickle of rows)
STOPS = {
    "kill after the first batch": (lambda names: _batches(names) >= 1, signal.SIGKILL, -9, 0, 1),
    "kill after five batches": (lambda names: _batches(names) >= 5, signal.SIGKILL, -9, 0, 1),
    "kill after a batch of 70": (lambda names: _batches(names) >= 1, signal.SIGKILL, None, 0, 70),
    "kill while assembling": (_writing, signal.SIGKILL, None, 0, 1),
    "kill while writing, no checkpoint": (_writing, signal.SIGKILL, None, None, 1),
    "Ctrl-C after two batches": (lambda names: _batches(names) >= 2, signal.SIGINT, 130, 0, 1),
}


@pytest.mark.parametrize("stop", STOPS)
def test_stopped_and_resumed_equals_uninterrupted(tmp_path, stop):
    make_tree(tmp_path / "tree", more=72)  # more runs: more batches to be stopped among
    out = tmp_path / "out" / "dos.nc"
    out.parent.mkdir()
    seen, signum, status, checkpoint, batch = STOPS[stop]
    assert _stop_when(out, seen, signum, checkpoint, batch) == status or status is None
    resumed = command(tmp_path / "tree", "-o", out, "-q", "--sites")
    assert resumed.returncode == 3, resumed.stderr
    assert not Path(f"{out}.parts").exists()
    whole = tmp_path / "whole.nc"
    assert command(tmp_path / "tree", "-o", whole, "-q", "--sites", "-j", "2").returncode == 3
    assert load(out).identical(load(whole))


def test_interrupt_at_any_moment_ends_the_command(tmp_path):
    """Ctrl-C at moments spread over a collection of 2 threads: each run
    ends (130; 3 when it finished first; killed by SIGINT, as Python is,
    when it came before the command started), never waits for ever on a
    lock the interrupt left held, and the next run completes the dataset."""
    make_tree(tmp_path / "tree", more=24)
    for delay in (0.3, 0.45, 0.6, 0.75, 0.9, 1.2):
        out = tmp_path / f"out{delay}" / "dos.nc"
        out.parent.mkdir()
        args = [sys.executable, "-m", "pdsplit", "collect", str(tmp_path / "tree"), "-o",
                str(out), "-q", "-j", "2", "--batch-size", "1"]
        process = subprocess.Popen(args, env=environment(0), stderr=subprocess.DEVNULL)
        time.sleep(delay)
        process.send_signal(signal.SIGINT)
        assert process.wait(timeout=30) in (130, 3, -signal.SIGINT), delay
        assert command(tmp_path / "tree", "-o", out, "-q").returncode == 3


def test_complete_output_survives_a_killed_update(tmp_path):
    make_tree(tmp_path / "tree", more=12)
    out = tmp_path / "out" / "dos.nc"
    out.parent.mkdir()
    assert command(tmp_path / "tree", "-o", out, "-q", "--sites").returncode == 3
    before = out.read_bytes()
    for doscar in (tmp_path / "tree").glob("**/DOSCAR"):
        os.utime(doscar, ns=(10**18, 10**18))  # changed: every run is read again
    _stop_when(out, lambda names: any(".nc.tmp-" in n for n in names), signal.SIGKILL)
    assert out.read_bytes() == before
    assert command(tmp_path / "tree", "-o", out, "-q", "--sites").returncode == 3
    whole = tmp_path / "whole.nc"
    assert command(tmp_path / "tree", "-o", whole, "-q", "--sites").returncode == 3
    assert load(out).identical(load(whole))


# bytes a file may grow to (a full disk) and the seconds between checkpoints:
# a checkpoint fails; checkpoints of one run fit, the dataset (about 240 kB) does
# not; no checkpoint before the end, when the rows read are saved for the writer
@pytest.mark.parametrize("limit,checkpoint", [(4_000, 0), (100_000, 0), (100_000, None)])
def test_full_disk_leaves_the_output_as_it_was(tree, tmp_path, limit, checkpoint):
    import resource

    out = tmp_path / "dos.nc"
    assert command(tree, "-o", out, "-q").returncode == 3
    before = out.read_bytes()
    for doscar in tree.glob("good/*/DOSCAR*"):
        os.utime(doscar, ns=(10**18, 10**18))
    full = command(tree, "-o", out, "-q", "--batch-size", "1", checkpoint=checkpoint,
                   preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit)))
    assert full.returncode == 4 and "nothing written" in full.stderr
    assert out.read_bytes() == before
    assert command(tree, "-o", out, "-q").returncode == 3
    whole = tmp_path / "whole.nc"
    assert command(tree, "-o", whole, "-q").returncode == 3
    assert load(out).identical(load(whole))


# the dataset is written in the collecting process only where a write of its
# size cannot fail: (file size limit, bytes to write, written here)
ROOM = [
    (None, 1 << 20, True),
    (2 << 20, 2 << 20, True),
    (2 << 20, (2 << 20) + 1, False),
    (None, "twice the free space", False),
]


@pytest.mark.parametrize("limit,size,here", ROOM)
def test_dataset_written_here_only_with_room(tmp_path, limit, size, here):
    import resource

    if size == "twice the free space":
        st = os.statvfs(tmp_path)
        size = 2 * st.f_bavail * st.f_frsize
    code = ("import sys; from pdsplit.dataset.assemble import room; "
            "print(room(sys.argv[1], int(sys.argv[2])))")
    limits = (lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))) if limit else None
    done = subprocess.run([sys.executable, "-c", code, str(tmp_path / "dos.nc"), str(size)],
                          env=environment(), capture_output=True, text=True, timeout=60,
                          preexec_fn=limits)
    assert done.stdout.split() == [str(here)], done.stderr
    assert os.listdir(tmp_path) == []  # the reservation given back


@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGINT])
def test_pipes_never_hold_the_command(tmp_path, signum):
    """Runs never read to their end (pipes nobody writes: the DOSCAR of a
    listed folder, an INCAR) and a listed DOSCAR that is a pipe (refused
    unopened), among good runs: a signal ends the command at once, 130, with
    the other runs saved (or, where the reader refuses pipes itself, the
    command ends by itself: 3)."""
    tree = make_tree(tmp_path / "tree", ["good/ti8", "good/spin1", "good/al"])
    for name in ("incar", "listed", "pipe"):
        (tree / name).mkdir()
    (tree / "incar/DOSCAR").write_bytes((DATA / "spin-l-1atom.DOSCAR").read_bytes())
    for pipe in ("incar/INCAR", "listed/DOSCAR", "pipe/DOSCAR"):
        os.mkfifo(tree / pipe)
    listing = tmp_path / "list.txt"
    listing.write_text(f"{tree / 'pipe'}\n{tree / 'listed/DOSCAR'}\n")
    out = tmp_path / "dos.nc"
    args = [sys.executable, "-m", "pdsplit", "collect", str(tree), str(listing), "-o", str(out),
            "-q", "-j", "2", "--batch-size", "1"]
    process = subprocess.Popen(args, env=environment(0), stderr=subprocess.PIPE, text=True)
    parts, deadline = Path(f"{out}.parts"), time.monotonic() + 60
    while process.poll() is None and len(list(parts.glob("batch-*"))) < 4:
        assert time.monotonic() < deadline, "the good runs not saved"
        time.sleep(0.05)
    process.send_signal(signum)
    status = process.wait(timeout=10)
    errors = process.stderr.read()
    if status == 3:  # the reader refused the pipes
        saved = {p: True for p in load(out).failure_path.values} | {
            p: False for p in load(out).path.values}
        saved = {str(tree / p): f for p, f in saved.items()}
    else:
        assert status == 130 and "interrupted" in errors, errors
        saved = {k[0]: k[1] for b in parts.glob("batch-*") for k in batch_keys(b)}
    assert {str(tree / n): False for n in ("good/ti8", "good/spin1", "good/al")}.items() <= \
        saved.items() and saved[str(tree / "listed")] is True


def test_interrupted_between_checkpoints_keeps_the_runs_read(tmp_path, monkeypatch):
    """Ctrl-C (a real SIGINT to this process) after the fourth run read, long
    before a checkpoint is due: the runs read are saved, and the next
    collection reads only the others."""
    from pdsplit.dataset.store import Pending

    make_tree(tmp_path / "tree", more=12)
    monkeypatch.setenv("PDSPLIT_CHECKPOINT_SECONDS", str(10**6))
    add, added = Pending.add, []

    def add_then_interrupt(self, keys, rows):
        add(self, keys, rows)
        added.extend(keys)
        if len(added) == 4:
            os.kill(os.getpid(), signal.SIGINT)

    monkeypatch.setattr(Pending, "add", add_then_interrupt)
    out = tmp_path / "dos.nc"
    with pytest.raises(KeyboardInterrupt):
        pdsplit.collect(tmp_path / "tree", out, workers=1, batch_size=1)
    monkeypatch.undo()
    assert 4 <= len(added) < 20
    done = pdsplit.collect(tmp_path / "tree", out)
    assert (done.kept, done.read) == (len(added), 20 - len(added))


def test_killed_collection_leaves_no_writer_holding_the_lock(tree, tmp_path):
    """kill -9 of a collection the moment its child writer starts (a file
    size limit below the room it asks for): the child ends with it, and the
    lock is free at once, not after the child's imports."""
    import resource

    out = tmp_path / "dos.nc"
    limit = 8 << 20
    process = subprocess.Popen(
        [sys.executable, "-m", "pdsplit", "collect", str(tree), "-o", str(out), "-q"],
        env=environment(), preexec_fn=lambda: resource.setrlimit(
            resource.RLIMIT_FSIZE, (limit, limit)))
    deadline = time.monotonic() + 60
    while not _children(process.pid):
        assert process.poll() is None and time.monotonic() < deadline, "no child writer"
        time.sleep(0.01)
    process.kill()
    process.wait(timeout=60)
    killed = time.monotonic()
    with open(f"{out}.lock", "w") as lock:
        while True:
            try:
                fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
                break
            except OSError:
                assert time.monotonic() - killed < 1.0, "the child writer holds the lock"
                time.sleep(0.01)
    assert command(tree, "-o", out, "-q").returncode == 3


def _children(pid):
    try:
        return [c for t in os.listdir(f"/proc/{pid}/task")
                for c in Path(f"/proc/{pid}/task/{t}/children").read_text().split()]
    except OSError:
        return []
