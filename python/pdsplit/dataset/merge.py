"""The merge of a shard folder (see shards) into the dataset one collect
of the run list makes (merge_shards): rows, order, arrays, descriptors and
failures alike. No run is read again and no array recompressed: each
shard's arrays of two or more dimensions are copied into the group
pdsplit_shards of the output as HDF5 stores them (their compressed chunks),
and the dataset's variable is a virtual dataset over those copies, in shard
order. The columns of one value per row (strings, numbers, the pointers of
the element and site rows, shifted by the rows before) are written anew.
Only shards that pass shards.check_shards (their checksums among them) are
merged, into an output that store.refuse_output allows. The file is
written as a collection's is (assemble.room, assemble.in_child): here where
its room is certain, else in a child process (python3 -m
pdsplit.dataset.merge JOB), refused when there is no room for the shards'
bytes. Hands on a Collected. Imports options, schema, netcdf, store,
assemble and shards."""
import os
import sys
from types import SimpleNamespace

import h5py
import numpy as np

from .assemble import child_main, in_child, room
from .netcdf import POINTERS, create
from .options import Collected, ShardsMissing
from .schema import SCHEMA, STR
from .shards import SHARD_FILE, array_ranges, check_shards
from .store import Lock, failure_causes, refuse_output, remove_temporaries, write_failures_jsonl

COPIES = "pdsplit_shards"
# the dimension of the rows whose count says where a shard's rows start
ROW_OF = {"run": "run", "failure": "failure_path", "element_row": "element_symbol",
          "site_row": "site_symbol"}


def _check(folder, runs):
    """{shard: path} and the state of a shard folder whose every shard is
    complete; ShardsMissing or CollectError (see shards.check_shards)."""
    files, state, missing = check_shards(folder, runs)
    if missing:
        names = [SHARD_FILE.format(k, state["shards"]) for k in missing]
        raise ShardsMissing(f"{folder}: {len(missing)} of {state['shards']} shards missing, "
                            f"incomplete or damaged: {', '.join(names[:20])}"
                            f"{' ...' if len(names) > 20 else ''} (collect them again: "
                            f"--array={array_ranges(missing)})", missing)
    return files, state


def _sizes(h5):
    return {dim: (h5[name].shape[0] if name in h5 else 0) for dim, name in ROW_OF.items()}


def _is_copied(name, dims, kind):
    return kind != STR and len(dims) >= 2


def _concatenate(shards, name, kind):
    parts = [h5[name][:] for h5 in shards if name in h5 and h5[name].shape[0]]
    if not parts:
        return None
    if kind == STR:
        return np.array([v for part in parts for v in part], dtype=object)
    return np.concatenate(parts)


def _pointers(shards, sizes):
    """The pointer columns of the element and site rows, shifted by the
    rows (and runs) of the shards before."""
    out = {}
    for dim, (start, count, owner) in POINTERS.items():
        if start not in shards[0]:
            continue
        starts, counts, owners = [], [], []
        rows = runs = 0
        for h5, size in zip(shards, sizes):
            if size["run"]:
                starts.append(h5[start][:] + rows)
                counts.append(h5[count][:])
            if size[dim]:
                owners.append(h5[owner][:] + runs)
            rows += size[dim]
            runs += size["run"]
        for name, parts in ((start, starts), (count, counts), (owner, owners)):
            if parts:
                out[name] = np.concatenate(parts)
    return out


def _virtual(out, name, shards, sizes, dim, numbers):
    """`name` of the output made a virtual dataset over the shards' copies."""
    old = out[name]
    attrs = {k: v for k, v in old.attrs.items() if k not in ("DIMENSION_LIST",)}
    scales = [(i, d[0]) for i, d in enumerate(old.dims) if len(d)]
    shape, dtype, fill = old.shape, old.dtype, old.fillvalue
    for i, scale in scales:
        old.dims[i].detach_scale(scale)
    del out[name]
    layout = h5py.VirtualLayout(shape=shape, dtype=dtype)
    row = 0
    for k, h5, size in zip(numbers, shards, sizes):
        if not size[dim]:
            continue
        copy = f"{COPIES}/shard_{k:05d}/{name}"
        h5.copy(h5[name], out, copy, without_attrs=True)
        layout[row:row + size[dim]] = h5py.VirtualSource(".", copy, shape=h5[name].shape)
        row += size[dim]
    new = out.create_virtual_dataset(name, layout, fillvalue=fill)
    for i, scale in scales:
        new.dims[i].attach_scale(scale)
    for key, value in attrs.items():
        new.attrs[key] = value


def _merge_into(tmp, shards, numbers, options):
    sizes = [_sizes(h5) for h5 in shards]
    total = {dim: sum(s[dim] for s in sizes) for dim in ROW_OF}
    first = shards[0]
    coords = {"energy": first["energy"][:],
              "channel": [c.decode() if isinstance(c, bytes) else c for c in first["channel"][:]]}
    attrs = {k: v for k, v in first.attrs.items()
             if not k.startswith("_") and not k.startswith("pdsplit_shard")
             and not k.startswith("pdsplit_list")}
    out = create(tmp, SimpleNamespace(sizes=total), coords, attrs, options["sites"])
    try:
        for name, (dims, kind, _, _) in SCHEMA.items():
            if name not in out or not total[dims[0]]:
                continue
            if _is_copied(name, dims, kind):
                _virtual(out, name, shards, sizes, dims[0], numbers)
            else:
                out[name][:] = _concatenate(shards, name, kind)
        for name, values in _pointers(shards, sizes).items():
            out[name][:] = values
    finally:
        out.close()
    return total


def write_merged(output, paths, numbers, options):
    """The shard files `paths` (numbered `numbers`) merged into a temporary
    file renamed to `output`; the temporary file removed on any error."""
    tmp = f"{output}.tmp-{os.getpid()}"
    shards = []
    try:
        shards = [h5py.File(p, "r") for p in paths]
        total = _merge_into(tmp, shards, numbers, options)
        with open(tmp, "rb+") as f:
            os.fsync(f.fileno())
        os.replace(tmp, output)
        return total
    except BaseException:
        if os.path.exists(tmp):
            os.unlink(tmp)
        raise
    finally:
        for h5 in shards:
            h5.close()


def merge_shards(folder, output, runs=None):
    """The shards of `folder` (made by collect_shard) merged into the dataset
    `output`, equal to one collect of the run list; no run is read again.
    runs: the run list the merge is for (a list file or the sources): shards
    made from another list are refused. Raises ShardsMissing (its .missing:
    the shard indices) when shards are absent, damaged or cut, CollectError
    for shards of another collection and outputs refused (refuse_output),
    OSError when the file cannot be written (no room); returns a Collected
    (read 0: every run comes from a shard)."""
    folder = os.fspath(folder)
    output = os.path.abspath(os.fspath(output))
    refuse_output(output)
    files, state = _check(folder, runs)
    options = {k: v for k, v in state["options"].items()
               if k not in ("format_version", "pdsplit_version")}
    numbers = [k for k in sorted(files) if int(_attr(files[k], "pdsplit_shard_runs")) > 0]
    paths = [files[k] for k in numbers]
    os.makedirs(os.path.dirname(output), exist_ok=True)
    size, data = sum(os.path.getsize(p) for p in paths), _data_bytes(paths)
    with Lock(output) as lock:
        remove_temporaries(output)
        if room(output, 2 * size + (16 << 20)):
            write_merged(output, paths, numbers, options)
        elif room(output, data):
            job = dict(output=output, paths=paths, numbers=numbers, options=options)
            try:
                in_child(output + ".parts", lock.fd, job, module="pdsplit.dataset.merge",
                         note="")
            finally:
                _remove_empty(output + ".parts")
        else:
            raise OSError(f"{output}: no room for the merged dataset (at least {data} bytes, "
                          "the shards' data): the disk is full or the limit on file sizes "
                          "(ulimit -f) is lower")
        failures_file = write_failures_jsonl(output)
    with h5py.File(output, "r") as h5:
        total = _sizes(h5)
    return Collected(output=output, failures_file=failures_file, runs=total["run"],
                     kept=total["run"] + total["failure"], failed=total["failure"],
                     causes=failure_causes(output))


def _data_bytes(paths):
    """The bytes of the variables of the shard files `paths`, as stored:
    the least a merged file of them takes."""
    total = 0

    def add(name, item):
        nonlocal total
        if isinstance(item, h5py.Dataset):
            total += item.id.get_storage_size()

    for path in paths:
        with h5py.File(path, "r") as h5:
            h5.visititems(add)
    return total


def _remove_empty(folder):
    try:
        os.rmdir(folder)
    except OSError:
        pass


def _attr(path, name):
    with h5py.File(path, "r") as h5:
        return h5.attrs[name]


if __name__ == "__main__":
    sys.exit(child_main(write_merged, sys.argv[1:]))
