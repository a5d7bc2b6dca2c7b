"""What a collection keeps between runs of it: the finished output (a
dataset of runs and failures) and, while a collection is under way or after
it was stopped, the checkpoint folder OUTPUT.parts/ beside it. Each
checkpoint (the runs read in a few seconds) is one file there, written to a
temporary name, synced and renamed, so a file present is complete;
options.json, written before the first, says with what options they were made.
A checkpoint file holds a pickle of the rows' keys (real path, failed,
element rows, site rows, fingerprint), then the rows in the same order as
pickles of up to ROWS_PER_PICKLE rows, so that they can be read a few at a
time."""
import json
import os
import pickle

import h5py

from ._collect_write import read_rows

ROWS_PER_PICKLE = 64


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


def check_options(stored, wanted):
    """The names of the options that differ between a stored collection and this one."""
    names = sorted(set(stored) | set(wanted))
    return [n for n in names if stored.get(n) != wanted.get(n)]

