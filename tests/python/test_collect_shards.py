"""A collection in shards: `collect --list-runs`, `collect LIST --shard K/N`
and `merge`: every run in exactly one shard, the merge equal to one collect
of the list, missing, damaged and foreign shards reported."""
import os
import shutil
import subprocess
import sys

import numpy as np
import pytest

import pdsplit
from conftest import TREE, environment, make_tree

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
                paths = [p.decode() for p in h5["path"][:]] + \
                    [p.decode() for p in h5["failure_path"][:]]
            seen += [os.path.join(root, p) for p in paths]
    assert sorted(seen) == sorted(listed_paths)  # every run once
    assert pdsplit.collect_shard(runs, folder, shards - 1, shards, sites=True).skipped
    done = pdsplit.merge_shards(folder, tmp_path / "merged.nc")
    assert (done.runs, done.failed) == (5, 3)
    assert_same_dataset(tmp_path / "merged.nc", one)
    assert (tmp_path / "merged.nc.failures.jsonl").read_text() == \
        open(f"{one}.failures.jsonl").read()


def _remove(path):
    path.unlink()


def _truncate(path):
    data = path.read_bytes()
    path.write_bytes(data[:len(data) // 2])


# what happens to shard 1 of 3: (harm, merge status, words of the message)
HARMS = {
    "missing": (_remove, 5, "shard-00001-of-00003.nc (collect them again: --array=1)"),
    "damaged": (_truncate, 5, "1 of 3 shards missing or incomplete"),
    "foreign": (None, 4, "a shard of another run list"),
}


@pytest.mark.parametrize("harm", HARMS)
def test_missing_damaged_and_foreign_shards_reported(listed, tmp_path, harm):
    runs, one = listed
    spoil, status, words = HARMS[harm]
    folder = tmp_path / "shards"
    for k in range(3):
        assert pdsplit_command("collect", runs, "--shard", f"{k}/3", "-o", folder, "-q",
                               "--sites").returncode == 0
    shard = folder / "shard-00001-of-00003.nc"
    if spoil:
        spoil(shard)
    else:  # the same name from a list of other runs
        other = tmp_path / "other.txt"
        other.write_text("".join(runs.read_text().splitlines(True)[:4]))
        pdsplit.collect_shard(other, tmp_path / "other", 1, 3, sites=True)
        os.replace(tmp_path / "other/shard-00001-of-00003.nc", shard)
    done = pdsplit_command("merge", folder, "-o", tmp_path / "merged.nc")
    assert done.returncode == status and words in done.stderr
    assert not (tmp_path / "merged.nc").exists()
    if harm == "foreign":
        return
    with pytest.raises(pdsplit.ShardsMissing) as error:
        pdsplit.merge_shards(folder, tmp_path / "merged.nc")
    assert error.value.missing == [1] == pdsplit.missing_shards(folder)
    # the resubmission: the shards the files say are missing, then the merge
    again = pdsplit_command("merge", folder, "--missing")
    assert again.stdout == "1\n"
    for k in again.stdout.split(","):
        assert pdsplit_command("collect", runs, "--shard", f"{int(k)}/3", "-o", folder, "-q",
                               "--sites").returncode == 0
    assert pdsplit_command("merge", folder, "--missing").stdout == ""
    assert pdsplit_command("merge", folder, "-o", tmp_path / "merged.nc").returncode == 3
    assert_same_dataset(tmp_path / "merged.nc", one)


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
