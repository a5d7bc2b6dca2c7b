"""The merge of a shard folder (see shards) into the dataset one collect
of the run list makes (merge_shards): rows, order, arrays, descriptors and
failures alike. No run is read again and no array recompressed: each
shard's arrays of two or more dimensions are copied into the group
pdsplit_shards of the output as HDF5 stores them (their compressed chunks),
and the dataset's variable is a virtual dataset over those copies, in shard
order. The columns of one value per row (strings, numbers, the pointers of
the element and site rows, shifted by the rows before) are written anew.
Hands on a Collected. Imports options, schema, netcdf, store and shards."""
import os
from types import SimpleNamespace

import h5py
import numpy as np

from .netcdf import POINTERS, create
from .options import CollectError, Collected, ShardsMissing
from .schema import SCHEMA, STR
from .shards import SHARD_FILE, STATE_FILE, array_ranges, is_complete, read_state, shard_files
from .store import Lock, remove_temporaries, write_failures_jsonl

COPIES = "pdsplit_shards"
# the dimension of the rows whose count says where a shard's rows start
ROW_OF = {"run": "path", "failure": "failure_path", "element_row": "element_symbol",
          "site_row": "site_symbol"}


def _check(folder):
    """{shard: path} of the non-empty shards, in order, and the state;
    ShardsMissing or CollectError (shards of another collection)."""
    state = read_state(folder)
    if state is None:
        raise CollectError(f"{folder}: not a shard folder (no {STATE_FILE})")
    files = shard_files(folder)
    foreign = sorted(set(os.listdir(folder)) - {STATE_FILE} - {
        os.path.basename(p) for p in files.values()})
    foreign = [n for n in foreign if n.startswith("shard-") and n.endswith(".nc")
               and not n.endswith(".partial.nc")]
    if foreign:
        raise CollectError(f"{folder}: shards of another shard count: {', '.join(foreign)}")
    missing = []
    for k in range(state["shards"]):
        if k not in files or not is_complete(files[k], state, k):  # raises on another list
            missing.append(k)
    if missing:
        names = [SHARD_FILE.format(k, state["shards"]) for k in missing]
        raise ShardsMissing(f"{folder}: {len(missing)} of {state['shards']} shards missing or "
                            f"incomplete: {', '.join(names[:20])}"
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


def merge_shards(folder, output):
    """The shards of `folder` (made by collect_shard) merged into the dataset
    `output`, equal to one collect of the run list; no run is read again.
    Raises ShardsMissing (its .missing: the shard indices) when shards are
    absent, damaged or cut, CollectError for shards of another collection;
    returns a Collected (read 0: every run comes from a shard)."""
    folder = os.fspath(folder)
    files, state = _check(folder)
    output = os.path.abspath(os.fspath(output))
    os.makedirs(os.path.dirname(output), exist_ok=True)
    options = {k: v for k, v in state["options"].items()
               if k not in ("format_version", "pdsplit_version")}
    numbers = [k for k in sorted(files) if int(_attr(files[k], "pdsplit_shard_runs")) > 0]
    paths = [files[k] for k in numbers]
    if not paths:
        raise CollectError(f"{folder}: the run list of these shards is empty; nothing written")
    with Lock(output):
        remove_temporaries(output)
        tmp = f"{output}.tmp-{os.getpid()}"
        shards = [h5py.File(p, "r") for p in paths]
        try:
            total = _merge_into(tmp, shards, numbers, options)
            with open(tmp, "rb+") as f:
                os.fsync(f.fileno())
            os.replace(tmp, output)
        except BaseException:
            if os.path.exists(tmp):
                os.unlink(tmp)
            raise
        finally:
            for h5 in shards:
                h5.close()
        failures_file = write_failures_jsonl(output)
    return Collected(output=output, failures_file=failures_file, runs=total["run"],
                     kept=total["run"] + total["failure"], failed=total["failure"])


def _attr(path, name):
    with h5py.File(path, "r") as h5:
        return h5.attrs[name]
