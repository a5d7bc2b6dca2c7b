"""The dataset file of pdsplit.collect: netCDF-4 written with h5netcdf, every
variable of _collect_rows.SCHEMA chunked along its row dimension, rows
written group by group at their final places so that memory holds one
group at a time, and the rows of a stored dataset read back."""
import h5netcdf
import h5py
import numpy as np

from ._collect_rows import SCHEMA, STR

ORBITALS = ["s", "p", "d", "f"]
CHUNK_BYTES = 1 << 20
STRING = h5py.string_dtype()
# row dimension: (start, count) pointer variables of the run dimension and
# the run index of each row
POINTERS = {"element_row": ("run_element_start", "run_element_count", "element_run"),
            "site_row": ("run_site_start", "run_site_count", "site_run")}


class Plan:
    """Where each row goes: the run or failure index of every final row (in
    order) and the element and site rows of each run."""

    def __init__(self, entries):
        # entries: (is_failure, element rows, site rows) per final row, sorted
        self.index, self.elem, self.site = [], [], []
        n_run = n_fail = n_elem = n_site = 0
        for failed, ne, ns in entries:
            if failed:
                self.index.append(n_fail)
                n_fail += 1
                self.elem.append((0, 0))
                self.site.append((0, 0))
                continue
            self.index.append(n_run)
            n_run += 1
            self.elem.append((n_elem, ne))
            self.site.append((n_site, ns))
            n_elem += ne
            n_site += ns
        self.sizes = {"run": n_run, "failure": n_fail, "element_row": n_elem, "site_row": n_site}


def _create(f, name, dims, kind, units, text):
    shape = [f.dimensions[d].size for d in dims]
    if kind == STR:
        chunks = (max(1, min(shape[0], 4096)), *shape[1:])
        v = f.create_variable(name, dims, STRING, chunks=chunks)
    else:
        row = int(np.prod(shape[1:], dtype=np.int64)) * np.dtype(kind).itemsize
        rows = max(1, min(shape[0], CHUNK_BYTES // max(row, 1)))
        fill = np.nan if kind.startswith("f") else None
        v = f.create_variable(name, dims, kind, chunks=(rows, *shape[1:]), compression="gzip",
                              compression_opts=4, shuffle=True, fillvalue=fill)
    if units:
        v.attrs["units"] = units
    v.attrs["long_name"] = text


def create(path, plan, coords, attrs, sites):
    """An empty dataset of the plan's sizes, made by h5netcdf (the netCDF-4
    dimensions, variables and attributes); returns it open with h5py, which
    writes the rows into the variables as they are."""
    with h5netcdf.File(path, "w") as f:
        _define(f, plan, coords, attrs, sites)
    return h5py.File(path, "r+")


def _define(f, plan, coords, attrs, sites):
    f.dimensions = {"run": plan.sizes["run"], "channel": len(coords["channel"]),
                    "energy": len(coords["energy"]), "orbital": 4,
                    "element_row": plan.sizes["element_row"], "failure": plan.sizes["failure"]}
    if sites:
        f.dimensions["site_row"] = plan.sizes["site_row"]
    f.create_variable("energy", ("energy",), "f8", data=coords["energy"])
    f["energy"].attrs.update(units="eV", long_name="bin centre relative to the alignment energy")
    f.create_variable("channel", ("channel",), STRING,
                      data=np.array(coords["channel"], dtype=object))
    f.create_variable("orbital", ("orbital",), STRING, data=np.array(ORBITALS, dtype=object))
    for name, (dims, kind, units, text) in SCHEMA.items():
        if all(d in f.dimensions for d in dims):
            _create(f, name, dims, kind, units, text)
    for dim, (start, count, owner) in POINTERS.items():
        if dim in f.dimensions:
            _create(f, start, ("run",), "i4", "", f"first {dim} of the run")
            _create(f, count, ("run",), "i4", "", f"{dim}s of the run")
            _create(f, owner, (dim,), "i4", "", f"run index of the {dim}")
    for key, value in attrs.items():
        f.attrs[key] = value


def _stack(values, kind):
    if kind == STR:
        return np.array(values, dtype=object)
    return np.asarray(values, dtype=kind)


def _at(indices):
    """A slice where the indices are consecutive (faster), else the list."""
    if indices and indices[-1] - indices[0] == len(indices) - 1:
        return slice(indices[0], indices[-1] + 1)
    return indices


def write_rows(f, plan, positions, rows):
    """Rows (flat dicts) at their final positions (indexes of the plan) into
    the dataset open with h5py (`f`)."""
    runs = [(plan.index[p], p, r) for p, r in zip(positions, rows) if "failure_path" not in r]
    fails = [(plan.index[p], r) for p, r in zip(positions, rows) if "failure_path" in r]
    if fails:
        idx = _at([i for i, _ in fails])
        for name, (dims, kind, _, _) in SCHEMA.items():
            if dims[0] == "failure":
                f[name][idx] = _stack([r[name] for _, r in fails], kind)
    if not runs:
        return
    idx = _at([i for i, _, _ in runs])
    for name, (dims, kind, _, _) in SCHEMA.items():
        if dims[0] == "run":
            f[name][idx] = _stack([r[name] for _, _, r in runs], kind)
    for dim, spans in (("element_row", plan.elem), ("site_row", plan.site)):
        if POINTERS[dim][0] not in f:
            continue
        start, count, owner = POINTERS[dim]
        f[start][idx] = [spans[p][0] for _, p, _ in runs]
        f[count][idx] = [spans[p][1] for _, p, _ in runs]
        sub = [i for i, p, _ in runs for _ in range(spans[p][1])]
        if not sub:
            continue
        rows_idx = _at([spans[p][0] + k for _, p, _ in runs for k in range(spans[p][1])])
        f[owner][rows_idx] = sub
        for name, (dims, kind, _, _) in SCHEMA.items():
            if dims[0] == dim:
                parts = [np.asarray(r[name], dtype=object if kind == STR else kind)
                         for _, p, r in runs if spans[p][1]]
                f[name][rows_idx] = np.concatenate(parts) if kind != STR else \
                    np.array([s for part in parts for s in part], dtype=object)


def _text(values):
    return [v.decode() if isinstance(v, bytes) else str(v) for v in values]


def read_rows(h5, indices, failed):
    """Flat rows of a stored dataset (an open h5py.File): the runs (or the
    failures when `failed`) at `indices`, increasing and best consecutive
    (their element and site rows are read as one span)."""
    if not indices:
        return []
    wanted = "failure" if failed else "run"
    rows = [dict() for _ in indices]
    for name, (dims, kind, _, _) in SCHEMA.items():
        if dims[0] != wanted or name not in h5:
            continue
        values = h5[name][indices]
        if kind == STR:
            values = [_text(v) if np.ndim(v) else _text([v])[0] for v in values]
        for row, v in zip(rows, values):
            row[name] = v
    if failed:
        return rows
    for dim, (start, count, _) in POINTERS.items():
        if start not in h5:
            continue
        starts, counts = h5[start][indices], h5[count][indices]
        first, last = int(starts.min()), int((starts + counts).max())
        for name, (dims, kind, _, _) in SCHEMA.items():
            if dims[0] != dim:
                continue
            span = h5[name][first:last] if last > first else []  # one read for the rows
            for row, s, n in zip(rows, starts - first, counts):
                row[name] = _text(span[s:s + n]) if kind == STR else span[s:s + n]
    return rows
