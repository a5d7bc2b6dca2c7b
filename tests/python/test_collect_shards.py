"""A collection in shards: `collect --list-runs`, `collect LIST --shard K/N`
and `merge`: every run in exactly one shard, the merge equal to one collect
of the list, missing, damaged and foreign shards reported."""
import os
import resource
import shutil
import subprocess
import sys

import numpy as np
import pytest

import pdsplit
from conftest import TREE, environment, make_tree
from pdsplit.dataset.schema import unescape_text
from pdsplit.dataset.shards import array_ranges

h5py = pytest.importorskip("h5py", reason="h5py is not installed")
pytest.importorskip("h5netcdf", reason="h5netcdf is not installed")


def pdsplit_command(*args):
    return subprocess.run([sys.executable, "-m", "pdsplit", *map(str, args)], env=environment(),
                          capture_output=True, text=True, timeout=60)


def assert_same_dataset(path, expected, ignore=()):
    """The variables (values, types, attributes) and global attributes of two
    datasets are equal, bit for bit (but for the variables `ignore`)."""
    with h5py.File(path, "r") as a, h5py.File(expected, "r") as b:
        names = sorted(k for k in b if isinstance(b[k], h5py.Dataset))
        assert sorted(k for k in a if isinstance(a[k], h5py.Dataset)) == names
        for name in set(names) - set(ignore):
            x, y = a[name][()], b[name][()]
            assert (x.dtype, x.shape) == (y.dtype, y.shape), name
            assert x.tobytes() == y.tobytes() if x.dtype.kind != "O" else x.tolist() == y.tolist()
            assert sorted(a[name].attrs) == sorted(b[name].attrs), name
        attrs = lambda h5: {k: str(v) for k, v in h5.attrs.items() if not k.startswith("_")}
        assert attrs(a) == attrs(b)


@pytest.fixture(scope="module")
def listed(tmp_path_factory):
    """(run list file, the dataset of one collect of it) of a tree of the
    8 runs of TREE, 3 of them failing."""
    folder = tmp_path_factory.mktemp("listed")
    make_tree(folder / "tree")
    status = pdsplit_command("collect", folder / "tree", "--list-runs")
    assert status.returncode == 0
    runs = folder / "runs.txt"
    runs.write_text(status.stdout.replace("/good/al\n", "/good/al aluminium\n"))
    pdsplit.collect(runs, folder / "one.nc", sites=True)
    return runs, folder / "one.nc"


@pytest.mark.parametrize("shards", [1, 3, 8, 11])
def test_shards_cover_every_run_once_and_merge_equals_collect(listed, tmp_path, shards):
    runs, one = listed
    folder = tmp_path / "shards"  # created by the first shard
    listed_paths = [line.split()[0] for line in runs.read_text().splitlines()]
    assert len(listed_paths) == len(TREE)
    seen = []
    for k in range(shards):
        done = pdsplit.collect_shard(runs, folder, k, shards, sites=True)
        assert not done.skipped and os.path.exists(done.path)
        if done.runs:
            with h5py.File(done.path, "r") as h5:
                root = h5.attrs["root"]
                paths = [p.decode() for p in h5["run"][:]] + \
                    [p.decode() for p in h5["failure_path"][:]]
            seen += [os.path.join(root, p) for p in paths]
    assert sorted(seen) == sorted(listed_paths)  # every run once
    assert pdsplit.collect_shard(runs, folder, shards - 1, shards, sites=True).skipped
    done = pdsplit.merge_shards(folder, tmp_path / "merged.nc")
    assert (done.runs, done.failed) == (5, 3)
    assert_same_dataset(tmp_path / "merged.nc", one)
    assert (tmp_path / "merged.nc.failures.jsonl").read_text() == \
        open(f"{one}.failures.jsonl").read()


@pytest.fixture(scope="module")
def shards3(listed, tmp_path_factory):
    """A folder of the 3 complete shards of the listed runs (copy it to spoil it)."""
    folder = tmp_path_factory.mktemp("shards3") / "shards"
    for k in range(3):
        pdsplit.collect_shard(listed[0], folder, k, 3, sites=True)
    return folder


S1 = "shard-00001-of-00003"


def _flip(chunk, where):  # in shard 1's compressed dos chunk `chunk`, at a fraction of it
    def spoil(folder, *_):
        shard = folder / f"{S1}.nc"
        with h5py.File(shard, "r") as h5:
            info = h5["dos"].id.get_chunk_info(chunk % h5["dos"].id.get_num_chunks())
        data = bytearray(shard.read_bytes())
        data[info.byte_offset + int(where * (info.size - 1))] ^= 0x08
        shard.write_bytes(bytes(data))
    return spoil


def _copy(source, name, folder, new, suffixes=(".nc", ".sha256")):
    for suffix in suffixes:
        shutil.copy(source / (name + suffix), folder / (new + suffix))


def _foreign(folder, tmp_path, runs):  # shard 1 (and its checksum) of a list of other runs
    (tmp_path / "o.txt").write_text("".join(runs.read_text().splitlines(True)[:4]))
    pdsplit.collect_shard(tmp_path / "o.txt", tmp_path / "o", 1, 3, sites=True)
    _copy(tmp_path / "o", S1, folder, S1)


def _grown(folder, tmp_path, runs):  # the run list now: one run removed, one added
    added = make_tree(tmp_path / "tree", ["good/spin1"]) / "good/spin1"
    (tmp_path / "now.txt").write_text("".join(runs.read_text().splitlines(True)[1:]) +
                                      f"{added}\n")
    return tmp_path / "now.txt"


def _edit(name, edit):
    def spoil(folder, *_):
        (folder / name).write_bytes(edit((folder / name).read_bytes()))
    return spoil


# what happens to shard 1 of 3 or its folder: (harm, merge status, words of the message)
HARMS = {
    "missing": (lambda folder, *_: (folder / f"{S1}.nc").unlink(), 5,
                f"{S1}.nc (collect them again: --array=1)"),
    "cut": (_edit(f"{S1}.nc", lambda b: b[:len(b) // 2]), 5,
            "1 of 3 shards missing, incomplete or damaged"),
    "bit flipped, first byte": (_flip(0, 0.0), 5, f"{S1}.nc"),
    "bit flipped, middle": (_flip(0, 0.5), 5, f"{S1}.nc"),
    "bit flipped, last byte of the last chunk": (_flip(-1, 1.0), 5, f"{S1}.nc"),
    "foreign": (_foreign, 4, "a shard of another run list"),
    "another index": (lambda folder, *_: _copy(folder, "shard-00000-of-00003", folder, S1), 4,
                      "holds shard 0 of 3, not 1 of 3"),
    "a stray shard of 5": (lambda folder, *_: _copy(folder, S1, folder, "shard-00001-of-00005",
                                                    (".nc",)),
                           4, "of another shard count than the 3 of shards.json"),
    "count edited": (_edit("shards.json", lambda b: b.replace(b'"shards": 3', b'"shards": 5')),
                     4, "another shard count"),
    "shards.json not JSON": (_edit("shards.json", lambda b: b[:-5]), 4, "shards.json: damaged"),
    "an older dataset format": (_edit("shards.json", lambda b: b.replace(
        b'"format_version": 2', b'"format_version": 1')), 4, "in dataset format 1"),
    "the run list grown (--runs)": (_grown, 4, "list than {runs} (1 runs added, 1 removed); "
                                    "start a new collection in shards"),
}


@pytest.mark.parametrize("harm", HARMS)
def test_missing_damaged_and_foreign_shards_reported(listed, shards3, tmp_path, harm):
    """merge and merge --missing agree: a shard to collect again (5, its
    index) or a folder refused (4, the same message); nothing is written."""
    runs, one = listed
    spoil, status, words = HARMS[harm]
    folder = tmp_path / "shards"
    shutil.copytree(shards3, folder)
    now = spoil(folder, tmp_path, runs) or runs  # the run list of the merge
    done = pdsplit_command("merge", folder, "-o", tmp_path / "merged.nc", "--runs", now)
    assert done.returncode == status and words.format(runs=now) in done.stderr, done.stderr
    assert not (tmp_path / "merged.nc").exists()
    again = pdsplit_command("merge", folder, "--missing", "--runs", now)
    if status == 4:
        assert again.returncode == 4 and again.stderr.strip() in done.stderr
        return
    with pytest.raises(pdsplit.ShardsMissing) as error:
        pdsplit.merge_shards(folder, tmp_path / "merged.nc")
    assert error.value.missing == [1] == pdsplit.missing_shards(folder)
    # the resubmission: the shards the files say are missing, then the merge
    assert again.stdout == "1\n"
    for k in again.stdout.split(","):
        assert pdsplit_command("collect", runs, "--shard", f"{int(k)}/3", "-o", folder, "-q",
                               "--sites").returncode == 0
    assert pdsplit_command("merge", folder, "--missing").stdout == ""
    assert pdsplit_command("merge", folder, "-o", tmp_path / "merged.nc", "--runs",
                           runs).returncode == 3
    assert_same_dataset(tmp_path / "merged.nc", one)


@pytest.mark.parametrize("indices,text", [([], ""), ([0], "0"), ([1, 2, 3, 5], "1-3,5"),
                                          ([0, 2, 4], "0,2,4"), ([6, 7], "6-7")])
def test_missing_indices_joined_into_ranges(indices, text):  # as --missing prints them
    assert array_ranges(indices) == text


# outputs a merge never writes (beside the run list, or the shards): (name, words)
REFUSED = {"a DOSCAR": ("tree/good/spin1/DOSCAR", "is never written"),
           "a run's INCAR, absent": ("tree/good/ti8/INCAR", "named like an input of a run"),
           "the run list": ("runs.txt", "not a dataset"),
           "a shard": ("shards/shard-00002-of-00003.nc", "not a dataset"),
           "shards.json": ("shards/shards.json", "not a dataset")}


@pytest.mark.parametrize("output", REFUSED)
def test_merge_output_refused(listed, shards3, output):
    name, words = REFUSED[output]
    folders = [listed[0].parent, shards3]
    files = lambda: {p: p.read_bytes() for f in folders for p in f.rglob("*") if p.is_file()}
    before = files()
    base = shards3.parent if name.startswith("shards/") else listed[0].parent
    done = pdsplit_command("merge", shards3, "-o", base / name)
    assert done.returncode == 4 and words in done.stderr, done.stderr
    assert files() == before


def test_merged_arrays_are_the_shards_chunks(listed, tmp_path):
    """The arrays of the merge are the shards' compressed chunks, copied."""
    runs, _ = listed
    for k in range(2):
        pdsplit.collect_shard(runs, tmp_path / "s", k, 2, sites=True)
    pdsplit.merge_shards(tmp_path / "s", tmp_path / "m.nc")
    with h5py.File(tmp_path / "m.nc", "r") as m, \
            h5py.File(tmp_path / "s/shard-00001-of-00002.nc", "r") as s:
        assert m["dos"].is_virtual
        copy, original = m["pdsplit_shards/shard_00001/dos"], s["dos"]
        assert copy.id.read_direct_chunk((0, 0, 0)) == original.id.read_direct_chunk((0, 0, 0))
        assert np.array_equal(m["dos"][-copy.shape[0]:], original[:], equal_nan=True)
    xr = pytest.importorskip("xarray", reason="xarray is not installed")
    with xr.open_dataset(tmp_path / "m.nc", engine="h5netcdf") as ds:  # netCDF-4 still
        assert ds["dos"].dims == ("run", "channel", "energy") and ds.sizes["run"] == 5
    if shutil.which("ncdump"):
        assert "float dos(run, channel, energy)" in subprocess.run(
            ["ncdump", "-h", tmp_path / "m.nc"], capture_output=True, text=True).stdout


# a file size limit (ulimit -f): a few kB (no room for the shards' data:
# refused before writing); a byte less than the merged file (written in a
# child process, which fails)
@pytest.mark.parametrize("limit,words", [(20_000, "no room"), (-1, "could not be written")])
def test_merge_without_room_leaves_nothing(listed, shards3, tmp_path, limit, words):
    limit %= os.path.getsize(pdsplit.merge_shards(shards3, tmp_path / "whole.nc").output)
    done = subprocess.run([sys.executable, "-m", "pdsplit", "merge", shards3, "-o",
                           tmp_path / "out/dos.nc"], env=environment(), capture_output=True,
                          text=True, timeout=60, preexec_fn=lambda: resource.setrlimit(
                              resource.RLIMIT_FSIZE, (limit, limit)))
    assert done.returncode == 4 and words in done.stderr and "nothing written" in done.stderr
    assert os.listdir(tmp_path / "out") == ["dos.nc.lock"]


def test_shard_tasks_with_other_options_at_once(listed, tmp_path):
    """Two tasks started together on an empty folder: one is refused."""
    tasks = [subprocess.Popen([sys.executable, "-m", "pdsplit", "collect", listed[0], "--shard",
                               f"{k}/2", "-o", tmp_path, "-q", "--sigma", str(k / 10)],
                              env=environment(), stderr=subprocess.DEVNULL) for k in (0, 1)]
    assert sorted(task.wait(timeout=60) for task in tasks) == [0, 4]


def test_run_list_quotes_paths_with_blanks(tmp_path):
    names = ["a b/run", 'quote"d/run', "tab\tx/run", "plain/run"]
    for name in names:
        os.renames(make_tree(tmp_path / "t", ["good/spin1"]) / "good/spin1", tmp_path / "t" / name)
    listing = pdsplit_command("collect", tmp_path / "t", "--list-runs")
    assert sum(line.startswith('"') for line in listing.stdout.splitlines()) == 3
    (tmp_path / "runs.txt").write_text(listing.stdout.replace('a b/run"', 'a b/run" a label'))
    pdsplit.collect(tmp_path / "runs.txt", tmp_path / "d.nc")
    with h5py.File(tmp_path / "d.nc", "r") as h5:
        assert sorted(unescape_text(p.decode()) for p in h5["run"][:]) == sorted(names)
        assert b"a label" in list(h5["label"][:])
