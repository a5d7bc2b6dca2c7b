"""The dataset file: netCDF-4 written with h5py, every variable of
schema.SCHEMA chunked along its row dimension (create), rows written group
by group at their final places (Plan, Writer) so that memory holds one group
at a time, and the rows of a stored dataset read back (read_rows, for
store). Imports options and schema."""
import h5py
import numpy as np

from .. import __version__
from .options import grid_bins
from .schema import SCHEMA, STR, escape_text, unescape_text

ORBITALS = ["s", "p", "d", "f"]
CHUNK_BYTES = 1 << 20
GZIP_LEVEL = 4  # level 1: about 5% less CPU time per collection, files 10% larger
CHUNK_CACHE = 2 << 20  # bytes of chunks each variable keeps (a chunk is at most 1 MiB)
STRING_BYTES = 256  # a generous mean size of a stored string (size estimates)
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


class _Layout:
    """The netCDF-4 layout in HDF5, written with h5py as h5netcdf (1.1)
    writes it, in a fraction of its time: links and attributes in creation
    order; a dimension is a dimension scale dataset (float32, its
    _Netcdf4Dimid the order of creation), replaced by its coordinate
    variable where there is one; a variable has the scales of its dimensions
    attached, _Netcdf4Coordinates (more than one dimension), _Netcdf4Dimid
    (its first dimension's) and _FillValue; the file _NCProperties."""

    NOT_A_VARIABLE = b"This is a netCDF dimension but not a netCDF variable."

    def __init__(self, f):
        self.f, self.sizes, self.ids = f, {}, {}

    def dimension(self, name, size):
        self.ids[name], self.sizes[name] = np.int32(len(self.ids)), size
        v = self.f.create_dataset(name, (size,), ">f4", track_order=True,
                                  **({"maxshape": (None,)} if size == 0 else {}))
        v.attrs["_Netcdf4Dimid"] = self.ids[name]
        v.make_scale(self.NOT_A_VARIABLE + f"{size or 1:10}".encode())

    def coordinate(self, name, data, dtype):
        del self.f[name]
        v = self.f.create_dataset(name, (self.sizes[name],), dtype, data=data, track_order=True)
        v.attrs["_Netcdf4Dimid"] = self.ids[name]
        v.make_scale(name)
        return v

    def variable(self, name, dims, dtype, chunks, fill=None, **filters):
        """A variable; named as its dimension, the dimension's coordinate
        variable (made before the variables of that dimension)."""
        shape = tuple(self.sizes[d] for d in dims)
        most = tuple(None if self.sizes[d] == 0 else self.sizes[d] for d in dims)
        if name in self.ids:
            del self.f[name]
        v = self.f.create_dataset(name, shape, dtype, chunks=chunks, fillvalue=fill,
                                  track_order=True, **({"maxshape": most} if most != shape else {}),
                                  **filters)
        if name in self.ids:
            v.make_scale(name)
        for n, d in enumerate(dims):
            if d != name:
                v.dims[n].attach_scale(self.f[d])
        if len(dims) > 1:
            v.attrs["_Netcdf4Coordinates"] = np.array([self.ids[d] for d in dims], np.int32)
        v.attrs["_Netcdf4Dimid"] = self.ids[dims[0]]
        if fill is not None:
            v.attrs["_FillValue"] = v.dtype.type(fill)
        return v

    def properties(self):
        text = (f"version=2,pdsplit={__version__},hdf5={h5py.version.hdf5_version},"
                f"h5py={h5py.__version__}")
        self.f.attrs["_NCProperties"] = np.array(text, dtype=h5py.string_dtype("ascii", len(text)))


def _create(nc, name, dims, kind, units, text):
    shape = [nc.sizes[d] for d in dims]
    if kind == STR:
        v = nc.variable(name, dims, STRING, (max(1, min(shape[0], 4096)), *shape[1:]))
    else:
        row = int(np.prod(shape[1:], dtype=np.int64)) * np.dtype(kind).itemsize
        rows = max(1, min(shape[0], CHUNK_BYTES // max(row, 1)))
        v = nc.variable(name, dims, kind, (rows, *shape[1:]),
                        np.nan if kind.startswith("f") else None, compression="gzip",
                        compression_opts=GZIP_LEVEL, shuffle=True)
    if units:
        v.attrs["units"] = units
    v.attrs["long_name"] = text


def coordinates(options):
    """The coordinates of a collection's options: energy (the bin centres
    of the grid) and channel (total, then the channels)."""
    emin, emax, step = options["grid"]
    nbins = grid_bins(options["grid"])
    return {"energy": emin + (np.arange(nbins) + 0.5) * step,
            "channel": ["total"] + list(options["channels"])}


def create(path, plan, coords, attrs, sites):
    """An empty netCDF-4 dataset of the plan's sizes (dimensions, variables
    and attributes), returned open with h5py, which writes the rows into the
    variables as they are."""
    f = h5py.File(path, "w", track_order=True, rdcc_nbytes=CHUNK_CACHE)
    try:
        _define(_Layout(f), plan, coords, attrs, sites)
    except BaseException:
        f.close()
        raise
    return f


def row_bytes(nbins, nchannels):
    """{row dimension: bytes of one row of it} before compression, strings
    counted at STRING_BYTES; the pointer variables included."""
    sizes = {"channel": nchannels, "energy": nbins, "orbital": 4}
    unit = {"run": 8 + 4, "element_row": 4, "site_row": 4, "failure": 0}
    for dims, kind, _, _ in SCHEMA.values():
        n = int(np.prod([sizes[d] for d in dims[1:]], dtype=np.int64))
        unit[dims[0]] += n * (STRING_BYTES if kind == STR else np.dtype(kind).itemsize)
    return unit


def _dimensions(plan, coords, sites):
    dims = {"run": plan.sizes["run"], "channel": len(coords["channel"]),
            "energy": len(coords["energy"]), "orbital": 4,
            "element_row": plan.sizes["element_row"], "failure": plan.sizes["failure"]}
    if sites:
        dims["site_row"] = plan.sizes["site_row"]
    return dims


def in_memory(plan, coords, sites):
    """The variables of a dataset of the plan's sizes as numpy arrays
    {name: array} (strings as objects), for Writer to fill: a checkpoint."""
    dims = _dimensions(plan, coords, sites)
    arrays = {}
    for name, (names, kind, _, _) in SCHEMA.items():
        if all(d in dims for d in names):
            shape = tuple(dims[d] for d in names)
            arrays[name] = (np.full(shape, "", dtype=object) if kind == STR else
                            np.full(shape, np.nan if kind.startswith("f") else 0, dtype=kind))
    for dim, names in POINTERS.items():
        if dim in dims:
            for name, size in zip(names, (dims["run"], dims["run"], dims[dim])):
                arrays[name] = np.zeros(size, dtype="i4")
    return arrays


def _define(nc, plan, coords, attrs, sites):
    dims = _dimensions(plan, coords, sites)
    for name, size in dims.items():
        nc.dimension(name, size)
    energy = nc.coordinate("energy", np.asarray(coords["energy"], dtype="f8"), "f8")
    energy.attrs["units"] = "eV"
    energy.attrs["long_name"] = "bin centre relative to the alignment energy"
    nc.coordinate("channel", np.array([escape_text(c) for c in coords["channel"]], dtype=object),
                  STRING)
    nc.coordinate("orbital", np.array(ORBITALS, dtype=object), STRING)
    for name, (names, kind, units, text) in SCHEMA.items():
        if all(d in dims for d in names):
            _create(nc, name, names, kind, units, text)
    for dim, (start, count, owner) in POINTERS.items():
        if dim in dims:
            _create(nc, start, ("run",), "i4", "", f"first {dim} of the run")
            _create(nc, count, ("run",), "i4", "", f"{dim}s of the run")
            _create(nc, owner, (dim,), "i4", "", f"run index of the {dim}")
    for key, value in attrs.items():
        nc.f.attrs[key] = escape_text(value) if isinstance(value, str) else value
    nc.properties()


def _stored(value, kind):
    """A value of a row as its variable stores it: strings escaped (see
    schema.escape_text), so that no byte read from a run's files reaches
    a string variable as it is."""
    if kind != STR:
        return value
    return escape_text(value) if isinstance(value, str) else [escape_text(v) for v in value]


def _column(rows, name, kind, tail):
    """One variable of `rows` stacked into one array, filled in place."""
    if not tail:
        return np.array([_stored(r[name], kind) for r in rows],
                        dtype=object if kind == STR else kind)
    column = np.empty((len(rows), *tail), dtype=object if kind == STR else kind)
    for i, r in enumerate(rows):
        column[i] = _stored(r[name], kind)
    return column


def _rows_column(rows, name, kind, tail, total):
    """A variable of the element or site rows of `rows`, concatenated."""
    column = np.empty((total, *tail), dtype=object if kind == STR else kind)
    at = 0
    for r in rows:
        part = _stored(r.get(name, ()), kind)
        n = len(part)
        if n:
            column[at:at + n] = part
            at += n
    return column


class Writer:
    """Rows (flat dicts) written at their final places (indexes of the plan)
    into the dataset open with h5py (or the arrays of in_memory), a whole
    group per h5py call: each
    variable of the group stacked once and written to a slice (consecutive
    places: a fresh collection) or to a list of places (an update)."""

    def __init__(self, f, plan):
        self.f, self.plan = f, plan
        self.vars = {}  # first dimension: [(name, kind, shape after it, dataset)]
        for name, (dims, kind, _, _) in SCHEMA.items():
            if name in f:
                v = f[name]
                self.vars.setdefault(dims[0], []).append((name, kind, v.shape[1:], v))
        self.pointers = {dim: tuple(f[n] for n in names) for dim, names in POINTERS.items()
                         if names[0] in f}
        self.written = np.zeros(len(plan.index), dtype=bool)

    def unwritten(self):
        """The places of the plan that no row was written to."""
        return np.flatnonzero(~self.written).tolist()

    def write(self, positions, rows):
        self.written[list(positions)] = True
        order = sorted(range(len(rows)), key=positions.__getitem__)
        runs = [k for k in order if "failure_path" not in rows[k]]
        fails = [k for k in order if "failure_path" in rows[k]]
        if fails:
            self._write("failure", [positions[k] for k in fails], [rows[k] for k in fails])
        if runs:
            self._write("run", [positions[k] for k in runs], [rows[k] for k in runs])

    def _write(self, dim, positions, rows):
        plan = self.plan
        index = np.array([plan.index[p] for p in positions], dtype=np.int64)
        where = _where(index)
        for name, kind, tail, v in self.vars.get(dim, ()):
            v[where] = _column(rows, name, kind, tail)
        if dim == "failure":
            return
        for sub, sizes in (("element_row", plan.elem), ("site_row", plan.site)):
            if sub not in self.pointers:
                continue
            start_v, count_v, owner_v = self.pointers[sub]
            starts = np.array([sizes[p][0] for p in positions], dtype=np.int32)
            counts = np.array([sizes[p][1] for p in positions], dtype=np.int32)
            start_v[where] = starts
            count_v[where] = counts
            total = int(counts.sum())
            if not total:
                continue
            # the file's row of each stacked row: its run's start + its place in the run
            ends = np.cumsum(counts)
            file_rows = np.repeat(starts - ends + counts, counts) + np.arange(total)
            at = _where(file_rows)
            owner_v[at] = np.repeat(index.astype(np.int32), counts)
            for name, kind, tail, v in self.vars.get(sub, ()):
                v[at] = _rows_column(rows, name, kind, tail, total)


def _where(index):
    """The places `index` (increasing) as a slice where they are consecutive,
    else as an array: one h5py call either way."""
    if index[-1] - index[0] == len(index) - 1:
        return slice(int(index[0]), int(index[-1]) + 1)
    return index


def read_text(values):
    """Stored strings (bytes or str) as the str they stood for (see schema.escape_text)."""
    return [unescape_text(v.decode() if isinstance(v, bytes) else str(v)) for v in values]


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
            values = [read_text(v) if np.ndim(v) else read_text([v])[0] for v in values]
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
                row[name] = read_text(span[s:s + n]) if kind == STR else span[s:s + n]
    return rows
