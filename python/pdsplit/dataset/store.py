"""What a collection keeps on disk for itself, and its lock: the finished
output (Stored: a dataset of runs and failures, and its failure list
OUTPUT.failures.jsonl), the lock OUTPUT.lock (Lock: one writer per output)
and, while a collection is under way or after it was stopped, the checkpoint
folder OUTPUT.parts/ beside it (Sidecar, filled by Pending).

A checkpoint (the runs read in a few seconds) is data, never code: the
variables of the dataset for the rows read (netcdf.in_memory, paths
absolute) and the options it was made with, in a compressed numpy .npz
(read with allow_pickle=False; written by Python's zipfile, so a full disk
is an OSError, where HDF5 could crash). It is written to a temporary name,
synced, and renamed to batch-NNNNNNN-SHA256.npz, the SHA-256 of its bytes.
A checkpoint whose bytes or layout do not pass their check (edited, cut,
crafted) is dropped, and its runs are read again; one made with other
options refuses the collection. The collection deletes only the files it
names itself (OWN_PARTS in the folder, and remove_temporaries beside the
output); others are left in place and named. known_runs hands the
collection what is stored already; refuse_output says which outputs are
never written. Imports options, find, schema and netcdf."""
import fcntl
import fnmatch
import hashlib
import json
import os
import re
import time
import zipfile

import h5py
import numpy as np

from .. import _core
from .netcdf import POINTERS, Plan, Writer, coordinates, in_memory, read_rows, read_text
from .options import CollectError, check_format, differing_options
from .schema import SCHEMA, STR

ROWS_PER_READ = 64
CHECKPOINT_SECONDS = 5.0  # PDSPLIT_CHECKPOINT_SECONDS in the environment overrides it
PENDING_BYTES = 64 << 20
CHECKPOINT = re.compile(r"batch-(\d{7})-([0-9a-f]{64})\.npz")
# The names of OUTPUT.parts/ that a collection makes: checkpoints, the
# child writer's job, and (older versions) pickles, each possibly as a
# temporary file NAME.tmp-PID.
OWN_PARTS = re.compile(r"(batch-\d{7}(-[0-9a-f]{64}\.npz|\.pkl)?|assemble\.(json|pkl)"
                       r"|options\.json)(\.tmp-\d+)?")
HDF5_SIGNATURE = b"\x89HDF\r\n\x1a\n"


def replace_atomically(path, write):
    """write(file object) into a temporary file beside `path`, then rename."""
    tmp = f"{path}.tmp-{os.getpid()}"
    try:
        with open(tmp, "wb") as f:
            write(f)
            f.flush()
            os.fsync(f.fileno())
        os.replace(tmp, path)
    except BaseException:
        _unlink(tmp)
        raise


def _unlink(path):
    try:
        os.unlink(path)
    except OSError:
        pass


def _differences(stored, names):
    """"grid, sigma (stored: grid=..., sigma=...)"."""
    return (f"{', '.join(names)} (stored: "
            f"{', '.join(f'{n}={stored.get(n)!r}' for n in names)})")


def sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


class Sidecar:
    """OUTPUT.parts/: the checkpoints of a collection under way. `notes`
    collects what the collection should say about it (checkpoints dropped,
    files left in place)."""

    def __init__(self, output):
        self.folder = output + ".parts"
        self.notes = []
        self.checked = None  # [(checkpoint file, keys)] that passed their check

    def exists(self):
        return os.path.isdir(self.folder)

    def start(self, options):
        """The options of the checkpoints to come."""
        self.wanted = options

    def _names(self):
        return sorted(os.listdir(self.folder)) if self.exists() else []

    def checkpoints(self, wanted):
        """[(checkpoint file, keys)] in the order they were written (later
        ones win), each checked once: a checkpoint that fails its check is
        deleted and named in `notes`; CollectError when one was made with
        options other than `wanted`."""
        if self.checked is None:
            self.checked = []
            for name in self._names():
                path = os.path.join(self.folder, name)
                if name.endswith(".pkl"):
                    self._drop(path, "a checkpoint of an older pdsplit (a pickle), not read")
                elif CHECKPOINT.fullmatch(name):
                    keys = self._check(path, wanted)
                    if keys is not None:
                        self.checked.append((path, keys))
        return self.checked

    def _check(self, path, wanted):
        """The keys of the checkpoint `path`, or None when it was dropped."""
        try:
            if sha256(path) != CHECKPOINT.fullmatch(os.path.basename(path)).group(2):
                return self._drop(path, "its bytes do not match its checksum (changed or cut)")
            stored = Checkpoint(path)
            check_layout(stored.data, wanted)
        except (OSError, KeyError, ValueError, TypeError, zipfile.BadZipFile) as e:
            return self._drop(path, f"cannot be read ({e})")
        differ = differing_options(stored.options, wanted)
        if differ:
            raise CollectError(f"{self.folder}: checkpoints made with other options: "
                               f"{_differences(stored.options, differ)}; resume with the same "
                               "options, or delete the folder to start afresh")
        return [key for key, _ in stored.keys.values()]

    def _drop(self, path, why):
        _unlink(path)
        self.notes.append(f"{path}: checkpoint dropped: {why}; its runs are read again")
        return None

    def save(self, keys, rows):
        """A checkpoint of the rows `rows` (keys `keys`), written, synced
        and renamed to its name with its checksum."""
        os.makedirs(self.folder, exist_ok=True)
        numbers = [int(m.group(1)) for m in map(CHECKPOINT.fullmatch, self._names()) if m]
        number = max(numbers, default=0) + 1
        tmp = os.path.join(self.folder, f"batch-{number:07d}.tmp-{os.getpid()}")
        try:
            write_checkpoint(tmp, keys, rows, self.wanted)
            with open(tmp, "rb+") as f:
                os.fsync(f.fileno())
            path = os.path.join(self.folder, f"{os.path.basename(tmp)[:13]}-{sha256(tmp)}.npz")
            os.replace(tmp, path)
        except BaseException:
            _unlink(tmp)
            raise
        if self.checked is not None:
            self.checked.append((path, keys))

    def remove(self):
        """The folder and the files the collection made in it; a folder
        that holds other files is left in place, and named in `notes`."""
        names = self._names()
        others = [n for n in names if not OWN_PARTS.fullmatch(n)]
        for name in names:
            if name not in others:
                os.unlink(os.path.join(self.folder, name))
        if others:
            self.notes.append(f"{self.folder}: left in place: holds files not made by pdsplit "
                              f"collect ({', '.join(others)})")
        elif names or self.exists():
            os.rmdir(self.folder)
        self.checked = None

    def clean_temporaries(self):
        for name in self._names():
            if ".tmp-" in name and OWN_PARTS.fullmatch(name):
                os.unlink(os.path.join(self.folder, name))


def write_checkpoint(path, keys, rows, options):
    """The rows `rows` (keys `keys`: real path, failed, element rows, site
    rows, fingerprint) into the checkpoint file `path`, made with `options`;
    paths are the real paths."""
    plan = Plan([(k[1], k[2], k[3]) for k in keys])
    arrays = in_memory(plan, coordinates(options), options["sites"])
    writer = Writer(arrays, plan)
    for key, row in zip(keys, rows):
        row["failure_path" if key[1] else "run"] = key[0]
    for i in range(0, len(rows), ROWS_PER_READ):
        writer.write(range(i, min(i + ROWS_PER_READ, len(rows))), rows[i:i + ROWS_PER_READ])
    arrays = {n: v.astype(str) if v.dtype == object else v for n, v in arrays.items()}
    with open(path, "wb") as f:
        np.savez_compressed(f, pdsplit_options=np.array(json.dumps(options, sort_keys=True)),
                            **arrays)


def check_layout(h5, options):
    """ValueError unless every variable of `h5` (a checkpoint's arrays, or a
    dataset open with h5py) has the shape its rows, the element and site
    pointers and `options` give it, and a type of its kind: a checkpoint
    that names runs holds their rows."""
    size = {"run": h5["run"].shape[0], "failure": h5["failure_path"].shape[0]}
    for dim, (start, count, _) in POINTERS.items():
        if dim == "site_row" and not options["sites"]:
            continue
        counts = h5[count][:].astype(np.int64)
        if len(counts) != size["run"] or (counts < 0).any() or \
                not np.array_equal(h5[start][:], np.cumsum(counts) - counts):
            raise ValueError(f"{start} and {count} do not match the runs")
        size[dim] = int(counts.sum())
    tail = {"channel": 1 + len(options["channels"]), "orbital": 4,
            "energy": len(coordinates(options)["energy"])}
    for name, (dims, kind, _, _) in SCHEMA.items():
        if dims[0] in size:
            want = (size[dims[0]], *(tail[d] for d in dims[1:]))
            if h5[name].shape != want or (h5[name].dtype.kind in "OUS") != (kind == STR):
                raise ValueError(f"{name} has the shape {h5[name].shape} and type "
                                 f"{h5[name].dtype}, not {want} and {kind}")


def batch_rows(path):
    """(key, row) of each row of a checkpoint file."""
    stored = Checkpoint(path)
    for failed in (False, True):
        items = sorted((index, key) for key, index in stored.keys.values() if key[1] == failed)
        for i in range(0, len(items), ROWS_PER_READ):
            piece = items[i:i + ROWS_PER_READ]
            rows = stored.rows([index for index, _ in piece], failed)
            yield from ((key, row) for (_, key), row in zip(piece, rows))


class Stored:
    """A finished dataset: its options, per run and failure the key (real
    path, failed, element rows, site rows, fingerprint) and index, and the
    labels {real path: label} it holds."""

    def __init__(self, path):
        self.path = path
        with h5py.File(path, "r") as h5:
            self._keys(h5, h5.attrs["pdsplit_options"], _str(h5.attrs["root"]))

    def _keys(self, h5, options, root):
        self.options = json.loads(_str(options))
        self.root = root
        self.keys, self.labels = {}, {}
        for failed, prefix in ((False, ""), (True, "failure_")):
            paths = _column(h5, "failure_path" if failed else "run")
            fps, labels = _column(h5, prefix + "fingerprint"), _column(h5, prefix + "label")
            ne, ns = (h5[n][:] if n in h5 and not failed else [0] * len(paths)
                      for n in ("run_element_count", "run_site_count"))
            for i, p in enumerate(paths):
                real = os.path.normpath(os.path.join(root, p))
                self.keys[real] = ((real, failed, int(ne[i]), int(ns[i]), fps[i]), i)
                if labels[i]:
                    self.labels[real] = labels[i]

    def rows(self, indices, failed):
        with h5py.File(self.path, "r") as h5:
            return read_rows(h5, indices, failed)


class Checkpoint(Stored):
    """A checkpoint file (see write_checkpoint), read whole: numbers and
    strings only (allow_pickle=False), paths absolute."""

    def __init__(self, path):
        self.path = path
        with np.load(path, allow_pickle=False) as npz:
            self.data = {name: npz[name] for name in npz.files}
        self._keys(self.data, self.data["pdsplit_options"][()], "")

    def rows(self, indices, failed):
        return read_rows(self.data, indices, failed)


def _str(value):
    return read_text([value])[0]


def _column(h5, name):
    return read_text(h5[name][:]) if name in h5 and h5[name].shape[0] else []


class Lock:
    """An exclusive fcntl lock on OUTPUT.lock: one writer per output."""

    def __init__(self, output):
        self.path = output + ".lock"

    def __enter__(self):
        self.fd = os.open(self.path, os.O_RDWR | os.O_CREAT, 0o644)
        try:
            fcntl.flock(self.fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError:
            os.close(self.fd)
            raise CollectError(f"{self.path}: another collection is writing this output") from None
        return self

    def __exit__(self, *exc):
        fcntl.flock(self.fd, fcntl.LOCK_UN)
        os.close(self.fd)


def is_dataset(path):
    """True when `path` is a dataset of pdsplit.collect or merge (not a shard)."""
    try:
        if not h5py.is_hdf5(path):
            return False
        with h5py.File(path, "r") as h5:
            return "pdsplit_options" in h5.attrs and "pdsplit_shard" not in h5.attrs
    except OSError:
        return False


# Names of the files of a run folder that a collection reads or VASP writes:
# an output named so (or a link to one) is refused.
INPUT_NAMES = ("DOSCAR*", "vasprun.xml*", "vaspout.h5", "INCAR*", "POSCAR*", "CONTCAR*",
               "EIGENVAL*")


def refuse_output(output):
    """CollectError when `output` is never written: named like an input of a
    run (INPUT_NAMES), itself or the file a link points to; refused by the
    library's writers (an empty name, a DOSCAR under another name); a
    folder; or an existing file that is not a dataset (a shard, a run list,
    shards.json)."""
    output = os.fspath(output)
    for name in {os.path.basename(output), os.path.basename(os.path.realpath(output))}:
        if any(fnmatch.fnmatchcase(name, pattern) for pattern in INPUT_NAMES):
            raise CollectError(f"{output}: named like an input of a run "
                               f"({', '.join(INPUT_NAMES)}), which is never written: choose "
                               "another output name")
    try:
        _core._refuse_output(output, "")
    except ValueError as e:
        raise CollectError(str(e)) from None
    if os.path.isdir(output):
        raise CollectError(f"{output}: a folder; name the dataset file")
    if os.path.lexists(output) and not is_dataset(output):
        raise CollectError(f"{output}: exists and is not a dataset of pdsplit.collect; remove "
                           "it or choose another output")


def remove_temporaries(output):
    """The temporary files of collections that were killed (the lock is
    ours): OUTPUT.tmp-PID (HDF5, or empty or zeros: a reservation) and
    OUTPUT.failures.jsonl.tmp-PID (JSON lines). Returns the names like
    OUTPUT.tmp-* left in place (not made by a collection)."""
    folder, name = os.path.split(output)
    ours = re.compile(re.escape(name) + r"(\.failures\.jsonl)?\.tmp-\d+")
    left = []
    for entry in sorted(os.listdir(folder)):
        m = ours.fullmatch(entry)
        path = os.path.join(folder, entry)
        if m and _begins_as_made(path, b"{" if m.group(1) else HDF5_SIGNATURE):
            os.unlink(path)
        elif entry.startswith(name + ".tmp-"):
            left.append(entry)
    return left


def _begins_as_made(path, signature):
    try:
        with open(path, "rb") as f:
            head = f.read(len(signature))
    except OSError:
        return False
    return head in (signature, b"", bytes(len(head)))


def known_runs(output, sidecar, wanted):
    """({real path: (key, source)}, Stored or None) of the runs stored in the
    output and the checkpoints; source: ("stored", index) or ("batch", file).
    CollectError when the output is no dataset or either was made with other
    options than `wanted`."""
    known, stored = {}, None
    if os.path.exists(output):
        try:
            stored = Stored(output)
        except (OSError, KeyError, ValueError) as e:
            raise CollectError(f"{output}: exists and is not a dataset of pdsplit.collect "
                               f"({e}); remove it or choose another output") from None
        check_format(stored.options, output)
        differ = differing_options(stored.options, wanted)
        if differ:
            raise CollectError(f"{output} was made with other options: "
                               f"{_differences(stored.options, differ)}; "
                               "use the same options or another output")
        for real, (key, index) in stored.keys.items():
            known[real] = (key, ("stored", index))
    for path, keys in sidecar.checkpoints(wanted):
        for key in keys:
            known[key[0]] = (key, ("batch", path))
    return known, stored


class Pending:
    """Rows read and not yet in a checkpoint. They are saved as one when
    CHECKPOINT_SECONDS have passed since the last one (or the start) or when
    they hold PENDING_BYTES; a collection that ends sooner and writes its
    dataset in this process saves none."""

    def __init__(self, sidecar):
        self.sidecar, self.keys, self.rows, self.bytes = sidecar, [], [], 0
        self.every = float(os.environ.get("PDSPLIT_CHECKPOINT_SECONDS", CHECKPOINT_SECONDS))
        self.last = time.monotonic()

    def add(self, keys, rows):
        self.keys += keys
        self.rows += rows
        self.bytes += sum(4096 + sum(v.nbytes for v in r.values() if isinstance(v, np.ndarray))
                          for r in rows)
        if time.monotonic() - self.last >= self.every or self.bytes >= PENDING_BYTES:
            self.save()

    def save(self):
        if self.keys:
            self.sidecar.save(self.keys, self.rows)
            self.keys, self.rows, self.bytes = [], [], 0
        self.last = time.monotonic()

    def known(self):
        return {k[0]: (k, ("memory", None)) for k in self.keys}

    def memory(self):
        return {k[0]: r for k, r in zip(self.keys, self.rows)}


def write_failures_jsonl(output):
    """OUTPUT.failures.jsonl: the failures of the dataset `output`, one JSON
    object a line; returns its path."""
    path = output + ".failures.jsonl"
    with h5py.File(output, "r") as h5:
        names = [n for n in h5 if n.startswith("failure_")]
        columns = {n[len("failure_"):]: h5[n][:] for n in names}
    n = len(next(iter(columns.values()))) if columns else 0
    lines = []
    for i in range(n):
        item = {k: (v[i].decode() if isinstance(v[i], bytes) else v[i].item())
                for k, v in columns.items()}
        lines.append(json.dumps(item, sort_keys=True) + "\n")
    text = "".join(lines).encode()
    replace_atomically(path, lambda f: f.write(text))
    return path


def failure_causes(output):
    """{cause: failures} of the dataset `output`, most frequent first."""
    with h5py.File(output, "r") as h5:
        causes = [_str(c) for c in h5["failure_error_cause"][:]] \
            if "failure_error_cause" in h5 else []
    counts = {}
    for cause in causes:
        counts[cause] = counts.get(cause, 0) + 1
    return dict(sorted(counts.items(), key=lambda item: (-item[1], item[0])))
