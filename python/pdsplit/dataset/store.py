"""What a collection keeps on disk for itself, and its lock: the finished
output (Stored: a dataset of runs and failures, and its failure list
OUTPUT.failures.jsonl), the lock OUTPUT.lock (Lock: one writer per output)
and, while a collection is under way or after it was stopped, the checkpoint
folder OUTPUT.parts/ beside it (Sidecar, filled by Pending). Each checkpoint
(the runs read in a few seconds) is one file there, written to a temporary
name, synced and renamed, so a file present is complete; options.json,
written before the first, says with what options they were made. A
checkpoint file holds a pickle of the rows' keys (real path, failed, element
rows, site rows, fingerprint), then the rows in the same order as pickles of
up to ROWS_PER_PICKLE rows, so that they can be read a few at a time.
known_runs hands the collection what is stored already. Imports options and
netcdf."""
import fcntl
import fnmatch
import json
import os
import pickle
import time

import h5py
import numpy as np

from .. import _core
from .netcdf import read_rows
from .options import CollectError, differing_options

ROWS_PER_PICKLE = 64
CHECKPOINT_SECONDS = 5.0  # PDSPLIT_CHECKPOINT_SECONDS in the environment overrides it
PENDING_BYTES = 64 << 20


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
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise


class Sidecar:
    def __init__(self, output):
        self.folder = output + ".parts"

    def exists(self):
        return os.path.isdir(self.folder)

    def options(self):
        try:
            with open(os.path.join(self.folder, "options.json"), encoding="utf-8") as f:
                return json.load(f)
        except FileNotFoundError:
            return None

    def start(self, options):
        """The options of the checkpoints to come, written before the first."""
        self.wanted = options

    def _options_written(self):
        os.makedirs(self.folder, exist_ok=True)
        path = os.path.join(self.folder, "options.json")
        if not os.path.exists(path):
            text = json.dumps(self.wanted, sort_keys=True).encode()
            replace_atomically(path, lambda f: f.write(text))

    def batches(self):
        """Batch files in the order they were written (later ones win)."""
        if not self.exists():
            return []
        names = sorted(n for n in os.listdir(self.folder)
                       if n.startswith("batch-") and n.endswith(".pkl"))
        return [os.path.join(self.folder, n) for n in names]

    def save(self, keys, rows):
        self._options_written()
        existing = self.batches()
        number = int(os.path.basename(existing[-1])[6:-4]) + 1 if existing else 1
        path = os.path.join(self.folder, f"batch-{number:07d}.pkl")

        def write(f):
            pickle.dump(keys, f, protocol=pickle.HIGHEST_PROTOCOL)
            for i in range(0, len(rows), ROWS_PER_PICKLE):
                pickle.dump(rows[i:i + ROWS_PER_PICKLE], f, protocol=pickle.HIGHEST_PROTOCOL)

        replace_atomically(path, write)

    def remove(self):
        if not self.exists():
            return
        for name in os.listdir(self.folder):
            os.unlink(os.path.join(self.folder, name))
        os.rmdir(self.folder)

    def clean_temporaries(self):
        for name in os.listdir(self.folder) if self.exists() else []:
            if ".tmp-" in name:
                os.unlink(os.path.join(self.folder, name))


def batch_keys(path):
    with open(path, "rb") as f:
        return pickle.load(f)


def batch_rows(path):
    """(key, row) of each row of a checkpoint file, read a few rows at a time."""
    with open(path, "rb") as f:
        keys = iter(pickle.load(f))
        while True:
            try:
                rows = pickle.load(f)
            except EOFError:
                return
            for row in rows:
                yield next(keys), row


class Stored:
    """A finished dataset: its options and, per run and failure, the key
    (real path, failed, element rows, site rows, fingerprint) and index."""

    def __init__(self, path):
        self.path = path
        with h5py.File(path, "r") as h5:
            attrs = h5.attrs
            self.options = json.loads(_str(attrs["pdsplit_options"]))
            self.root = root = _str(attrs["root"])
            self.keys = {}
            runs = _column(h5, "path")
            fps = _column(h5, "fingerprint")
            ne = h5["run_element_count"][:] if "run_element_count" in h5 else [0] * len(runs)
            ns = h5["run_site_count"][:] if "run_site_count" in h5 else [0] * len(runs)
            for i, p in enumerate(runs):
                real = os.path.normpath(os.path.join(root, p))
                self.keys[real] = ((real, False, int(ne[i]), int(ns[i]), fps[i]), i)
            fails = _column(h5, "failure_path")
            ffps = _column(h5, "failure_fingerprint")
            for i, p in enumerate(fails):
                real = os.path.normpath(os.path.join(root, p))
                self.keys[real] = ((real, True, 0, 0, ffps[i]), i)

    def rows(self, indices, failed):
        with h5py.File(self.path, "r") as h5:
            return read_rows(h5, indices, failed)


def _str(value):
    return value.decode() if isinstance(value, bytes) else str(value)


def _column(h5, name):
    return [_str(v) for v in h5[name][:]] if name in h5 and h5[name].shape[0] else []


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


# Names of the files of a run folder that a collection reads or VASP writes:
# an output named so (or a link to one) is refused.
INPUT_NAMES = ("DOSCAR*", "vasprun.xml*", "vaspout.h5", "INCAR*", "POSCAR*", "CONTCAR*",
               "EIGENVAL*")


def refuse_output(path):
    """CollectError when `path` may not be written as a dataset: named like
    an input of a run (INPUT_NAMES), itself or the file a link points to,
    or refused by the library (an empty name, a DOSCAR under another name)."""
    path = os.fspath(path)
    for name in {os.path.basename(path), os.path.basename(os.path.realpath(path))}:
        if any(fnmatch.fnmatchcase(name, pattern) for pattern in INPUT_NAMES):
            raise CollectError(f"{path}: named like an input of a run ({', '.join(INPUT_NAMES)}), "
                               "which is never written: choose another output name")
    try:
        _core._refuse_output(path, "")
    except ValueError as e:
        raise CollectError(str(e)) from None


def remove_temporaries(output):
    """Temporary files of collections that were killed (the lock is ours)."""
    folder, name = os.path.split(output)
    for entry in os.listdir(folder):
        if entry.startswith(name + ".tmp-") or entry.startswith(name + ".failures.jsonl.tmp-"):
            os.unlink(os.path.join(folder, entry))


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
        for real, (key, index) in stored.keys.items():
            known[real] = (key, ("stored", index))
    for made in ([stored.options] if stored else []) + [sidecar.options()]:
        differ = differing_options(made, wanted) if made is not None else []
        if differ:
            raise CollectError(f"{output} was made with other options: {', '.join(differ)} "
                               f"(stored: {', '.join(f'{n}={made.get(n)!r}' for n in differ)}); "
                               "use the same options or another output")
    for path in sidecar.batches():
        for key in batch_keys(path):
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
