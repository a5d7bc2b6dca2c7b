"""pdsplit.collect and `python3 -m pdsplit collect`: the dataset read back
with h5py, xarray and ncdump, failures listed with their causes, resuming
after SIGKILL at several points, equal collections, refusals."""
import fcntl
import json
import os
import shutil
import signal
import subprocess
import sys
import time
from hashlib import sha256
from pathlib import Path

import numpy as np
import pytest

import pdsplit
from conftest import DATA, NEDOS10, TREE, environment, make_tree
from pdsplit.dataset.store import Checkpoint, Lock

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
        assert [p.decode() for p in h5["run"][:]] == good
        assert h5["dos"].shape == (len(good), 5, 400) and h5["dos"].chunks[1:] == (5, 400)
        assert h5["dos"].dtype == np.float32
    ds = load(out)
    assert list(ds.channel.values) == ["total", "all(s)", "all(p)", "all(d)", "all(f)"]
    np.testing.assert_allclose(ds.energy.values[[0, -1]], [-9.975, 9.975])
    row = {p: i for i, p in enumerate(ds.run.values)}
    # a run without projected DOS: a row, total resolved, the rest NaN with reasons
    t = row["good/total-only"]
    assert np.isfinite(ds.dos[t, 0].values[ds.valid[t].values == 1]).all()
    assert np.isnan(ds.dos[t, 1:].values).all() and all(ds.channel_reason[t, 1:].values)
    # symbols from POSCAR give element rows; without a structure none
    ti = row["good/ti8"]
    start, count = int(ds.run_element_start[ti]), int(ds.run_element_count[ti])
    assert list(ds.element_symbol.values[start:start + count]) == ["Ti", "O"]
    assert ds.formula.values[ti] == "TiO" and int(ds.run_element_count[row["good/spin1"]]) == 0
    assert str(ds.sel(run="good/ti8").formula.values) == "TiO"  # run is the coordinate
    # 10 points over 9 eV are coarse on a grid of 0.05 eV; the 301 of ti8 not
    assert (ds.coarse.values[row["good/nedos10"]], ds.coarse.values[ti]) == (1, 0)
    assert ds.align_energy.values[ti] == ds.efermi.values[ti]
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
        assert {d for d, v in f.dimensions.items() if v.isunlimited()} == {
            d for d, n in sizes.items() if n == 0}
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
    assert all(l["message"].startswith(l["path"] + "/DOSCAR") and l["error_type"] for l in lines)
    # each names the DOSCAR that was tried
    assert all(os.path.basename(l["doscar"]).startswith("DOSCAR") for l in lines), lines


def test_sources_overlap_once_labels_and_loops(tree, tmp_path):
    (tree / "good/loop").symlink_to(tree / "good")
    listing = tmp_path / "list.txt"
    listing.write_text(f"{tree / 'good/ti8'}  rock salt\n# a comment\n\n{tree / 'missing'}\n")
    out = tmp_path / "dos.nc"
    done = pdsplit.collect([tree / "good", tree / "good/ti8", listing], out)
    ds = load(out)
    assert sorted(ds.run.values) == list(ds.run.values) and len(set(ds.run.values)) == 5
    labels = dict(zip(ds.run.values, ds.label.values))
    assert labels["good/ti8"] == "rock salt"
    assert dict(zip(ds.failure_path.values, ds.failure_error_cause.values)) == {
        "missing": "no-doscar"}
    assert done.runs == 5
    listing.write_text(f"{tree / 'missing'}\n")  # the label removed: as a fresh collection
    pdsplit.collect([tree / "good", tree / "good/ti8", listing], out)
    assert "rock salt" not in load(out).label.values


def _folder(root, name, files):
    folder = Path(root, os.fsdecode(name))
    folder.mkdir(parents=True)
    for file, data in files.items():
        (folder / file).write_bytes(data)


def _columns(out, *names):
    with h5py.File(out, "r") as h5:
        return [list(h5[n].asstr()[:]) for n in names]


# list file lines (RUN: the tree's good/ti8, TREE: the tree): {stored path: label}, or the
# refusal's words; each list also names bad/cut, so that the root is the tree
LISTS = {
    "a byte order mark": (b"\xef\xbb\xbfRUN x\n", {"good/ti8": "x"}),
    "a label that is not UTF-8": (b"RUN caf\xe9\n", {"good/ti8": "caf\\xe9"}),
    "a line naming the DOSCAR": (b"RUN/DOSCAR y\n", {"good/ti8": "y"}),
    "a path that is not UTF-8": (b"TREE/caf\xe9\n", {"caf\\xe9": ""}),
    "a NUL byte on line 2": (b"RUN\nRUN\0\n", "line 2: a NUL byte"),
}


@pytest.mark.parametrize("case", LISTS)
def test_list_files_as_bytes(tree, tmp_path, case):
    lines, want = LISTS[case]
    _folder(tree, b"caf\xe9", {"DOSCAR": NEDOS10.encode()})
    listing, out = tmp_path / "list.txt", tmp_path / "dos.nc"
    listing.write_bytes(lines.replace(b"RUN", bytes(tree / "good/ti8")).replace(
        b"TREE", bytes(tree)) + bytes(tree / "bad/cut") + b"\n")
    status = command(listing, "-o", out, "-q")
    if isinstance(want, str):
        assert status.returncode == 4 and want in status.stderr
    else:
        assert status.returncode == 3 and dict(zip(*_columns(out, "run", "label"))) == want


# a run folder (bytes) with NEDOS10's DOSCAR and more files: a variable of its row and what
# it stores (a byte of a run's files fails that run at most, never the collection)
HOSTILE = [
    (b"nbsp", {"INCAR": b"ISMEAR =\xa00\n"}, "run", "nbsp"),
    (b"mu", {"INCAR": b"SIGMA = 0.05\xb5\n"}, "run", "mu"),
    (b"ff", {"INCAR": b"LSORBIT = \xff\n"}, "incar_LSORBIT", "\\xff"),
    (b"caf\xe9", {}, "run", "caf\\xe9"),
    (b"back\\slash", {}, "run", "back\\\\slash"),
    (b"nul", {"DOSCAR": NEDOS10.encode()[:900] + bytes(300)}, "failure_path", "nul"),
]


@pytest.mark.parametrize("name,files,variable,stored", HOSTILE)
def test_bytes_of_a_run_stored_escaped(tmp_path, name, files, variable, stored):
    from pdsplit.dataset.schema import stored_bytes

    tree, out = tmp_path / "tree", tmp_path / "dos.nc"
    _folder(tree, name, dict({"DOSCAR": NEDOS10.encode()}, **files))
    _folder(tree, b"other", {"DOSCAR": NEDOS10.encode()})
    assert command(tree, "-o", out, "-q").returncode in (0, 3)
    values, paths, failed = _columns(out, variable, "run", "failure_path")
    assert stored in values and name in [stored_bytes(p) for p in paths + failed]
    assert pdsplit.collect(tree, out).read == 0


def test_folders_not_searched_are_counted(tree, tmp_path):
    fd = os.open(tree, os.O_RDONLY)
    for name in ["deep"] + ["d" * 250] * 20:  # nested past PATH_MAX
        os.mkdir(name, dir_fd=fd)
        fd, parent = os.open(name, os.O_RDONLY, dir_fd=fd), fd
        os.close(parent)
    done = pdsplit.collect(tree, tmp_path / "dos.nc")
    assert [w for w in done.warnings if w.startswith("1 folders could not be searched") and
            "File name too long" in w], done.warnings


def test_updates_and_retry(tree, tmp_path):
    out, fresh = tmp_path / "dos.nc", tmp_path / "fresh.nc"
    first = pdsplit.collect(tree, out, sites=True)
    again = pdsplit.collect(tree, out, sites=True)  # nothing to do
    assert (again.read, again.kept, again.runs, again.failed) == (0, len(TREE), first.runs, 3)
    shutil.rmtree(tree / "good/spin1")
    make_tree(tmp_path / "tree", ["good/spin1"])
    os.utime(tree / "good/spin1/DOSCAR", ns=(1, 1))  # changed
    shutil.rmtree(tree / "good/al")  # gone
    (tree / "good/nedos10/INCAR").write_text("ISMEAR = 1\n")  # changed: an INCAR
    done = pdsplit.collect(tree, out, sites=True)
    assert (done.read, done.dropped) == (2, ["good/al"])
    assert pdsplit.collect(tree, out, sites=True, retry_failed=True).read == 3
    pdsplit.collect(tree, fresh, sites=True)
    assert load(out).identical(load(fresh))


# run folder: its files (DATA/... or their bytes), the file read, formula,
# band edges of the eigenvalues read from (None: NaN)
MIXED = {
    # an EIGENVAL that cannot be read costs the band edges alone
    "doscar": ({"DOSCAR": "nonspin-lm-8atoms.DOSCAR", "POSCAR": "nonspin-lm-8atoms.POSCAR",
                "EIGENVAL": b"    1    1    1    1\n"}, "DOSCAR", "TiO", None),
    "vasprun": ({"vasprun.xml.gz": "vasprun/nonspin-l-SrTiO3-cut.vasprun.xml.gz"},
                "vasprun.xml.gz", "SrTiO3", "vasprun.xml.gz"),
    "vaspout": ({"vaspout.h5": "vaspout/nonspin-lm-GaSb-bands.vaspout.h5"}, "vaspout.h5",
                "GaSb", None),
    # the DOSCAR is read; the elements of its atoms and (no EIGENVAL) the
    # band edges from the vasprun.xml
    "both": ({"DOSCAR": "nonspin-lm-4atoms-nedos10.DOSCAR",
              "vasprun.xml": "vasprun/nonspin-lm-Al4-nedos10.vasprun.xml"}, "DOSCAR", "Al",
             "vasprun.xml"),
}


def states_to(total, x):
    """The integral of the total DOS, linear between its points, up to x."""
    e, y = total[:, 0], total[:, 1]
    k = np.searchsorted(e, x) - 1
    dx, slope = x - e[k], (y[k + 1] - y[k]) / (e[k + 1] - e[k])
    return np.sum(np.diff(e[:k + 1]) * (y[1:k + 1] + y[:k]) / 2) + y[k] * dx + slope * dx**2 / 2


def test_mixed_sources(tmp_path):
    for run, (files, *_) in MIXED.items():
        (tmp_path / "runs" / run).mkdir(parents=True)
        for name, sample in files.items():
            to = tmp_path / "runs" / run / name
            to.write_bytes(sample if isinstance(sample, bytes) else (DATA / sample).read_bytes())
    out, step = tmp_path / "dos.nc", 0.05
    assert pdsplit.collect(tmp_path / "runs", out).runs == len(MIXED)
    ds = load(out)
    for i, run in enumerate(ds.run.values):
        files, source, formula, eigen = MIXED[run]
        assert (ds.source.values[i], ds.formula.values[i]) == (source, formula)
        alone = pdsplit.read(tmp_path / "runs" / run / source)
        # the states of the total in the run's bins are those of the file
        valid = ds.valid.values[i] == 1
        lo = ds.energy.values[valid][0] - step / 2 + alone.efermi
        expected = states_to(alone.total, lo + step * valid.sum()) - states_to(alone.total, lo)
        np.testing.assert_allclose(ds.dos.values[i, 0][valid].sum() * step, expected, rtol=1e-5)
        edges = [ds[f"eigenvalue_{k}"].values[i] for k in ("gap", "cbm", "vbm", "direct")]
        if eigen is None:
            assert np.isnan(edges[:3]).all() and edges[3] == -1
        else:
            assert tuple(edges) == pdsplit.read(tmp_path / "runs" / run / eigen,
                                                eigenvalues=True).eigenvalue_band_properties
    os.utime(tmp_path / "runs/vasprun/vasprun.xml.gz", ns=(1, 1))  # a changed vasprun.xml
    assert pdsplit.collect(tmp_path / "runs", out).read == 1


def test_progress_and_summary(tree, tmp_path, capfd):
    pdsplit.collect(tree, tmp_path / "quiet.nc")
    assert capfd.readouterr() == ("", "")  # the function prints nothing unless asked
    status = command(tree, "-o", tmp_path / "dos.nc")  # not a terminal: plain lines
    assert "8/8 runs read, 3 failed" in status.stderr
    causes = "3 failed (1 corrupt-compressed, 1 not-a-number, 1 truncated; listed in "
    assert status.stdout.startswith("pdsplit collect: 5 runs in ")
    assert "(5 read, 0 kept), " + causes in status.stdout  # failures apart from the runs read
    again = command(tree, "-o", tmp_path / "dos.nc")
    assert "(0 read, 5 kept), " + causes in again.stdout


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
    with h5py.File(out, "a") as h5:  # as a pdsplit of the first dataset format left it
        h5.attrs["pdsplit_options"] = h5.attrs["pdsplit_options"].replace(
            '"format_version": 2', '"format_version": 1')
    status = command(tree, "-o", out, "--sigma", "0.1")
    assert status.returncode == 4 and "in dataset format 1; this pdsplit writes format 2" in \
        status.stderr
    shown = " ".join(command("--help").stdout.split())  # the defaults, auto as the word it is
    assert all(f"(default {d})" in shown for d in ("efermi", "0.001", "auto"))


# options beyond the library's limits: status 2 before any run is read (no
# lock taken), the option named as the command spells it
LIMITS = [
    (["--sigma", "inf"], "--sigma: a finite number of eV, 0 or more, not inf"),
    (["--sigma", "1e20"], "--sigma: 1e+20 eV reaches K = "),
    (["--sigma", "1e6", "--grid", "-1", "1", "0.05"], "over the limit of 50000000"),
    (["--grid", "-1", "1", "1e-7"], "makes 20000000 bins"),
    (["--grid", "-1", "1", "1e-300"], "a grid has 1 to 200000 bins"),
    (["--gap-tol", "nan"], "--gap-tol: a finite number, 0 or more, not nan"),
    (["--gap-tol", "-1"], "--gap-tol: a finite number, 0 or more, not -1"),
    (["--gap-tol", "inf"], "--gap-tol: a finite number, 0 or more, not inf"),
    (["--band-erange", "0", "nan"], "--band-erange: (lo, hi) finite with lo < hi"),
]


@pytest.mark.parametrize("args,words", LIMITS)
def test_options_beyond_limits_refused_before_reading(tree, tmp_path, args, words):
    status = command(tree, "-o", tmp_path / "dos.nc", *args)
    assert status.returncode == 2 and words in status.stderr, status.stderr
    assert not os.path.exists(tmp_path / "dos.nc.lock")


# grids whose bin count ((emax - emin) / step rounded, a half up) Python rounded otherwise
@pytest.mark.parametrize("grid,bins", [((-10, 10.25, 0.5), 41), ((0, 1, 0.4), 3)])
def test_grid_bins_one_rule(tmp_path, grid, bins):
    status = command(make_tree(tmp_path / "t", ["good/spin1"]), "-o", tmp_path / "d.nc", "--grid",
                     *grid)
    assert status.returncode == 0, status.stderr
    with h5py.File(tmp_path / "d.nc", "r") as h5:
        assert (h5.attrs["grid_nbins"], len(h5["energy"]), pdsplit._core._grid_bins(*grid)) == (
            bins,) * 3


# 16 values per point without INCAR: a row whose projected channels name the
# fix in the command's words, which are not stored as an option
@pytest.mark.parametrize("shard,name", [([], "d.nc"),
                                        (["--shard", "0/1"], "shard-00000-of-00001.nc")])
def test_sixteen_values_without_incar_name_the_commands_option(tmp_path, shard, name):
    from test_formats import craft

    (tmp_path / "runs/sixteen").mkdir(parents=True)
    (tmp_path / "runs/sixteen/DOSCAR").write_text(craft(2, 3, 16)[0])
    out = tmp_path / "out"
    command(tmp_path / "runs", *shard, "-o", out if shard else out / name)
    with h5py.File(out / name, "r") as h5:
        assert h5["channel_reason"][0, 1].decode().endswith(
            "or collect with --noncollinear yes or --noncollinear no")
        assert h5["spin"][0] == b"unknown" and "fix" not in h5.attrs["pdsplit_options"]


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
    return sum(n.startswith("batch-") and n.endswith(".npz") for n in names)


def _writing(names):
    return any(".nc.tmp-" in n for n in names)


# when to stop it, how, its exit status (None: it may finish first), the
# seconds between checkpoints (None: the default, none in so short a run) and
# the runs per batch (70: a checkpoint written and read in more than one group of rows)
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


def stop_after(monkeypatch, tree, out, batches, batch_size=1):
    """The checkpoints of a collection of `tree` into `out` stopped by an
    error after `batches` batches, each saved as a checkpoint."""
    from pdsplit.dataset import threads

    read, calls = threads.read_batch, []

    def stopping(folders, options):
        calls.append(folders)
        if len(calls) > batches:
            raise RuntimeError("stopped")
        return read(folders, options)

    monkeypatch.setattr(threads, "read_batch", stopping)
    monkeypatch.setenv("PDSPLIT_CHECKPOINT_SECONDS", "0")
    with pytest.raises(RuntimeError, match="stopped"):
        pdsplit.collect(tree, out, sites=True, workers=1, batch_size=batch_size)
    monkeypatch.undo()
    return sorted(Path(f"{out}.parts").glob("batch-*.npz"))


@pytest.fixture
def stopped(tmp_path, monkeypatch):
    """(tree, output, its checkpoints) of a collection stopped after 5 batches of one run
    (in path order: the 3 failures, then runs)."""
    tree, out = make_tree(tmp_path / "tree"), tmp_path / "dos.nc"
    return tree, out, stop_after(monkeypatch, tree, out, 5)


def _no_rows(path):
    """The checkpoint `path` without the rows of `dos`, renamed to its new checksum."""
    arrays = dict(np.load(path))
    np.savez_compressed(path, **dict(arrays, dos=arrays["dos"][:0]))
    path.rename(path.with_name(f"{path.name[:13]}-{sha256(path.read_bytes()).hexdigest()}.npz"))


# damage done to the last checkpoint (a run's): what the warning says
DAMAGES = {
    "a value edited": (lambda p: p.write_bytes(p.read_bytes()[:-9] + b"\0" * 9), "checksum"),
    "cut in half": (lambda p: p.write_bytes(p.read_bytes()[:p.stat().st_size // 2]), "checksum"),
    "runs listed, no rows, checksum right": (_no_rows, "cannot be read"),
    "a pickle that runs code": (lambda p: p.with_name("batch-0000009.pkl").write_bytes(
        b"cos\nmkdir\n(V" + bytes(p.parent.parent / "pickle-ran") + b"\ntR."), "older pdsplit"),
}


@pytest.mark.parametrize("damage", DAMAGES)
def test_damaged_checkpoint_dropped_and_read_again(stopped, tmp_path, damage):
    tree, out, parts = stopped
    assert len(parts) >= 5
    spoil, words = DAMAGES[damage]
    spoil(parts[-1])
    done = pdsplit.collect(tree, out, sites=True)
    assert [w for w in done.warnings if "checkpoint dropped" in w and words in w], done.warnings
    assert not (tmp_path / "pickle-ran").exists()
    pdsplit.collect(tree, tmp_path / "whole.nc", sites=True)
    assert load(out).identical(load(tmp_path / "whole.nc"))


def test_checkpoints_compressed_and_every_row_written(tmp_path, monkeypatch):
    from pdsplit.dataset.assemble import assemble
    from pdsplit.dataset.store import Checkpoint

    tree, out = make_tree(tmp_path / "tree", more=24), tmp_path / "dos.nc"
    parts = stop_after(monkeypatch, tree, out, 1, batch_size=29)
    saved = sum(p.stat().st_size for p in parts)
    pdsplit.collect(tree, tmp_path / "whole.nc", sites=True)
    assert saved < 1.5 * (tmp_path / "whole.nc").stat().st_size
    # a run planned from a checkpoint that does not hold it: nothing renamed into place
    stored = Checkpoint(parts[0])
    real, (key, _) = next(iter(stored.keys.items()))
    final = [(r, key, ("batch", str(parts[0]))) for r in (real, str(tree / "x"))]
    with pytest.raises(OSError, match="1 runs have no row"):
        # the options as collect() takes them: the stored form says noncollinear "auto"
        assemble(str(out), str(tree), final, {}, dict(stored.options, noncollinear=-1), True)
    assert not out.exists() and not list(tmp_path.glob("dos.nc.tmp-*"))


def test_checkpoints_of_other_options_refused_and_only_own_files_deleted(stopped):
    tree, out, parts = stopped
    status = command(tree, "-o", out, "--sites", "--sigma", "0.1")
    assert status.returncode == 4 and "checkpoints made with other options: sigma" in status.stderr
    assert sorted(Path(f"{out}.parts").glob("batch-*.npz")) == parts
    # name: (content, kept)
    files = {f"{out}.parts/notes.txt": (b"mine", True), f"{out}.tmp-backup": (b"mine", True),
             f"{out}.tmp-12": (b"not HDF5", True), f"{out}.tmp-13": (b"\x89HDF\r\n\x1a\n", False),
             f"{out}.parts/batch-0000099.tmp-14": (b"", False)}
    for name, (data, _) in files.items():
        Path(name).write_bytes(data)
    done = pdsplit.collect(tree, out, sites=True)
    assert {n: Path(n).exists() for n in files} == {n: kept for n, (_, kept) in files.items()}
    assert sorted(os.listdir(f"{out}.parts")) == ["notes.txt"]
    assert len([w for w in done.warnings if "left in place" in w]) == 3, done.warnings


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
            p: False for p in load(out).run.values}
        saved = {str(tree / p): f for p, f in saved.items()}
    else:
        assert status == 130 and "interrupted" in errors, errors
        saved = {real: key[1] for b in parts.glob("batch-*")
                 for real, (key, _) in Checkpoint(b).keys.items()}
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
