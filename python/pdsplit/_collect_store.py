"""What a collection keeps between runs of it: the finished output (a
dataset of runs and failures) and, while a collection is under way or after
it was stopped, the checkpoint folder OUTPUT.parts/ beside it. Each finished
batch of runs is one file there, written to a temporary name and renamed, so
a file present is complete; options.json says with what options it was made.
A batch file holds two pickles: the rows' keys (real path, failed, element
rows, site rows, fingerprint), then the rows."""
import json
import os
import pickle

import h5py

from ._collect_write import read_rows


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
        os.makedirs(self.folder, exist_ok=True)
        path = os.path.join(self.folder, "options.json")
        if not os.path.exists(path):
            text = json.dumps(options, sort_keys=True).encode()
            replace_atomically(path, lambda f: f.write(text))

    def batches(self):
        """Batch files in the order they were written (later ones win)."""
        if not self.exists():
            return []
        names = sorted(n for n in os.listdir(self.folder)
                       if n.startswith("batch-") and n.endswith(".pkl"))
        return [os.path.join(self.folder, n) for n in names]

    def save(self, keys, rows):
        existing = self.batches()
        number = int(os.path.basename(existing[-1])[6:-4]) + 1 if existing else 1
        path = os.path.join(self.folder, f"batch-{number:07d}.pkl")

        def write(f):
            pickle.dump(keys, f, protocol=pickle.HIGHEST_PROTOCOL)
            pickle.dump(rows, f, protocol=pickle.HIGHEST_PROTOCOL)

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
    with open(path, "rb") as f:
        pickle.load(f)
        return pickle.load(f)


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

