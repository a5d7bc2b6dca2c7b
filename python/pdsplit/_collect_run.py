"""The work of pdsplit.collect: find the runs, take the output's lock, see
what is stored already, read the rest in batches on threads with a
checkpoint every few seconds, assemble the dataset (here, or in a child
process where a write could fail) and rename it into place."""
import ctypes
import fcntl
import json
import math
import os
import pickle
import resource
import signal
import subprocess
import sys
import threading
import time
from concurrent.futures import FIRST_COMPLETED, ThreadPoolExecutor, wait

import numpy as np

from . import _core
from ._collect import CollectError, Collected, stored_options
from ._collect_assemble import assemble
from ._collect_find import find_runs, fingerprint, relative
from ._collect_progress import Progress
from ._collect_rows import counts, is_failure, row_from_result
from ._collect_store import Sidecar, Stored, batch_keys, check_options, replace_atomically
from ._collect_write import row_bytes

CHECKPOINT_SECONDS = 5.0  # PDSPLIT_CHECKPOINT_SECONDS in the environment overrides it
PENDING_BYTES = 64 << 20


class _Lock:
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


def _remove_temporaries(output):
    """Temporary files of collections that were killed (the lock is ours)."""
    folder, name = os.path.split(output)
    for entry in os.listdir(folder):
        if entry.startswith(name + ".tmp-") or entry.startswith(name + ".failures.jsonl.tmp-"):
            os.unlink(os.path.join(folder, entry))


def _known(output, sidecar, wanted):
    """{real path: (key, source)} of the runs stored in the output and the
    checkpoints; source: ("stored", index) or ("batch", file)."""
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
        differ = check_options(made, wanted) if made is not None else []
        if differ:
            raise CollectError(f"{output} was made with other options: {', '.join(differ)} "
                               f"(stored: {', '.join(f'{n}={made.get(n)!r}' for n in differ)}); "
                               "use the same options or another output")
    for path in sidecar.batches():
        for key in batch_keys(path):
            known[key[0]] = (key, ("batch", path))
    return known, stored


def _batches(runs, workers, size):
    if size is None:
        size = max(8, min(32, math.ceil(len(runs) / max(1, 4 * workers))))
    return [runs[i:i + size] for i in range(0, len(runs), size)]


class _Pending:
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


def store_results(batch, results, labels, pending):
    """The rows of a finished batch ([(run, fingerprint)], the results of
    _collect_batch) into `pending`; returns how many of its runs failed."""
    keys, rows = [], []
    for (run, fp), result in zip(batch, results):
        row = row_from_result(result, "", labels.get(run.real, run.label), fp)
        ne, ns = counts(row)
        keys.append((run.real, is_failure(row), ne, ns, fp))
        rows.append(row)
    pending.add(keys, rows)
    return sum(k[1] for k in keys)


class Interrupts:
    """Ctrl-C (SIGINT, and SIGTERM where a handler of the command turns it
    into KeyboardInterrupt) noted while the reading threads work, and raised
    as KeyboardInterrupt by check() between batches. A KeyboardInterrupt
    raised anywhere could leave a lock of a future or of the pool held, and
    the reading thread that finishes that batch would then wait for it for
    ever. Only in the main thread, where Python runs signal handlers."""

    def __init__(self):
        self.noted = threading.Event()
        self.previous = {}

    def __enter__(self):
        if threading.current_thread() is threading.main_thread():
            for signum in (signal.SIGINT, signal.SIGTERM):
                handler = signal.getsignal(signum)
                if callable(handler) and handler is not signal.SIG_DFL:
                    self.previous[signum] = signal.signal(signum, self._note)
        return self

    def _note(self, signum, frame):
        self.noted.set()

    def check(self):
        if self.noted.is_set():
            raise KeyboardInterrupt

    def __exit__(self, *exc):
        for signum, handler in self.previous.items():
            signal.signal(signum, handler)


def _read(todo, options, workers, batch_size, pending, progress, labels):
    """Reads the runs `todo` ([(Run, fingerprint)]) in batches on `workers`
    threads into `pending`; on KeyboardInterrupt, batches under way are
    finished and everything read is saved first."""
    batches = iter(_batches(todo, workers, batch_size))
    failures = 0

    def finish(future, batch):
        nonlocal failures
        failures += store_results(batch, future.result(), labels, pending)
        progress.update(len(batch), failures)

    with ThreadPoolExecutor(max_workers=workers) as pool, Interrupts() as interrupts:
        running = {}
        try:
            while True:
                while len(running) < 2 * workers:
                    batch = next(batches, None)
                    if batch is None:
                        break
                    folders = [run.real for run, _ in batch]
                    running[pool.submit(_core._collect_batch, folders, options)] = batch
                if not running:
                    break
                done, _ = wait(running, timeout=0.25, return_when=FIRST_COMPLETED)
                for future in done:
                    finish(future, running.pop(future))
                progress.tick()
                interrupts.check()
        except BaseException:
            for future in running:
                future.cancel()
            for future, batch in running.items():
                if not future.cancelled():
                    try:
                        finish(future, batch)
                    except Exception:
                        pass
            try:
                pending.save()
            except Exception:
                pass
            raise
    if interrupts.noted.is_set():  # at the very end, after the last batch
        pending.save()
        raise KeyboardInterrupt
    return failures


def _room(output, size):
    """True when `size` bytes can be written beside `output` now: the limit
    on file sizes (RLIMIT_FSIZE) allows it, statvfs shows the space, and the
    space can be reserved (fallocate, which also counts quotas); the
    reservation is given back at once."""
    soft = resource.getrlimit(resource.RLIMIT_FSIZE)[0]
    if soft != resource.RLIM_INFINITY and soft < size:
        return False
    folder = os.path.dirname(output)
    st = os.statvfs(folder)
    if st.f_bavail * st.f_frsize < size:
        return False
    try:
        libc = ctypes.CDLL(None, use_errno=True)
        fallocate = libc.fallocate
    except (OSError, AttributeError):
        return False
    fallocate.argtypes = [ctypes.c_int, ctypes.c_int, ctypes.c_int64, ctypes.c_int64]
    path = f"{output}.tmp-{os.getpid()}"
    try:
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    except OSError:
        return False
    try:
        return fallocate(fd, 0, 0, size) == 0
    finally:
        os.close(fd)
        os.unlink(path)


def _write_here(output, final, options):
    """Whether to write the dataset in this process: when twice its size
    before compression, plus 16 MiB, has room (see _room), a failed write
    and HDF5 crashing with it cannot happen."""
    emin, emax, step = options["grid"]
    unit = row_bytes(int(round((emax - emin) / step)), 1 + len(options["channels"]))
    size = sum(unit["failure" if k[1] else "run"] + k[2] * unit["element_row"] +
               k[3] * unit["site_row"] for _, k, _ in final)
    return _room(output, 2 * size + (16 << 20))


def _assemble(sidecar, lock, job):
    """assemble(**job) in a child process (see _collect_assemble), which
    holds the output's lock with this one and ends when this one ends."""
    os.makedirs(sidecar.folder, exist_ok=True)
    path = os.path.join(sidecar.folder, "assemble.pkl")
    text = pickle.dumps(dict(job, parent=os.getpid()), protocol=pickle.HIGHEST_PROTOCOL)
    replace_atomically(path, lambda f: f.write(text))
    package = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [package] + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]))
    child = subprocess.Popen([sys.executable, "-m", "pdsplit._collect_assemble", path], env=env,
                             stdin=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                             pass_fds=(lock,))
    try:
        _, errors = child.communicate()
    except BaseException:
        child.kill()
        child.wait()
        _remove_temporaries(job["output"])
        raise
    if child.returncode != 0:
        _remove_temporaries(job["output"])
        lines = [l for l in errors.splitlines() if l.strip()]
        why = lines[-1] if child.returncode > 0 and lines else f"status {child.returncode}"
        raise OSError(f"{job['output']}: the dataset could not be written ({why}); "
                      "the finished runs are kept for the next run")


def _failures_jsonl(output):
    path = output + ".failures.jsonl"
    import h5py
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


def _unchanged(output, stored):
    """The summary of a collection that had nothing to do."""
    failed = sum(1 for key, _ in stored.keys.values() if key[1])
    return Collected(output=output, failures_file=_failures_jsonl(output),
                     runs=len(stored.keys) - failed, kept=len(stored.keys), failed=failed)


def run_collection(sources, output, options, *, workers, batch_size, progress, retry_failed,
                   labels, say, found=None, reader=None):
    # found: (root, runs) chosen by the caller (a shard of a run list);
    # reader: _read's stand-in that reads elsewhere (_collect_dask)
    output = os.path.abspath(os.fspath(output))
    root, runs = find_runs(sources) if found is None else found
    if not runs:
        raise CollectError("no run folders (folders that hold DOSCAR, DOSCAR.gz, .xz or .bz2) "
                           "in the sources")
    labels = {os.path.realpath(os.fspath(k)): str(v) for k, v in (labels or {}).items()}
    labels.update({r.real: r.label for r in runs if r.label and r.real not in labels})
    # the cores this process may use (a Slurm allocation), not all of the node's
    workers = workers or (len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity")
                          else os.cpu_count()) or 1
    wanted = stored_options(options)
    os.makedirs(os.path.dirname(output), exist_ok=True)
    with _Lock(output) as lock:
        sidecar = Sidecar(output)
        sidecar.clean_temporaries()
        _remove_temporaries(output)
        known, stored = _known(output, sidecar, wanted)
        current = {r.real for r in runs}
        todo, final = [], []
        for run in runs:
            fp = fingerprint(run.real)
            key, source = known.get(run.real, (None, None))
            if key is None or key[4] != fp or (key[1] and retry_failed):
                todo.append((run, fp))
        dropped = sorted(relative(k, root) for k in known if k not in current)
        for path in dropped:
            say(f"pdsplit collect: {path}: no longer a run of the sources, dropped")
        if not (todo or dropped or labels or sidecar.batches()) and stored.root == root:
            sidecar.remove()
            return _unchanged(output, stored)
        sidecar.start(wanted)
        bar = Progress(len(todo), progress)
        pending = _Pending(sidecar)
        try:
            new_failures = (reader or _read)(todo, options, workers, batch_size, pending, bar,
                                             labels)
        finally:
            bar.close()
        known, _ = _known(output, sidecar, wanted)
        known.update(pending.known())
        final = [(r.real, *known[r.real]) for r in runs]
        job = dict(output=output, root=root, final=final, labels=labels, options=options,
                   sites=options["sites"])
        if _write_here(output, final, options):
            try:
                assemble(**job, memory=pending.memory())
            except BaseException as e:
                try:
                    pending.save()
                except Exception:
                    pass
                if not isinstance(e, Exception):
                    raise
                raise OSError(f"{output}: the dataset could not be written ({e}); "
                              "the finished runs are kept for the next run") from e
        else:
            pending.save()
            known, _ = _known(output, sidecar, wanted)
            job["final"] = final = [(r.real, *known[r.real]) for r in runs]
            _assemble(sidecar, lock.fd, job)
        failures_file = _failures_jsonl(output)
        sidecar.remove()
    failed = sum(1 for _, key, _ in final if key[1])
    return Collected(output=output, failures_file=failures_file, runs=len(final) - failed,
                     read=len(todo), kept=len(final) - len(todo), failed=failed,
                     new_failures=new_failures, dropped=dropped)
