"""A collection in shards: the run list made once (list_runs), the K-th of
N disjoint parts of it collected into one file of a shard folder
(collect_shard: collection.collect_runs on threads), and the folder's
missing shards named (missing_shards); merge makes the dataset from them.

Shard K of N holds the runs [K*n//N, (K+1)*n//N) of the list's n runs in
their sorted order, so that the merge is the shards one after the other.
The folder's shards.json records the count and the hash of the list (its
root, paths and labels); every shard file records them too, so shards of
another list are refused (is_complete). A shard file appears under its
final name only complete (collected into NAME.partial.nc, then renamed).
Imports options, find, store, collection and threads."""
import hashlib
import inspect
import json
import os
import re
import sys
from dataclasses import dataclass

import h5py

from .collection import collect, collect_runs
from .find import find_runs
from .options import CollectError, make_options, stored_options
from .store import Lock, replace_atomically
from .threads import Threads

SHARD_FILE = "shard-{:05d}-of-{:05d}.nc"
SHARD_PATTERN = re.compile(r"shard-(\d+)-of-(\d+)\.nc$")
STATE_FILE = "shards.json"
OPTION_NAMES = ["grid", "align", "sigma", "channels", "sites", "band_erange", "window",
                "gap_tol", "noncollinear"]


@dataclass
class ShardDone:
    """What collect_shard did: the shard file, its runs, whether it was
    complete already (skipped), and the summary of the collection (None
    when skipped or empty)."""
    path: str
    runs: int
    skipped: bool
    collected: object = None


def list_runs(sources):
    """[(run folder's real path, label)] of the sources, in the order of a
    collection: the lines of the list file that `collect --shard` takes."""
    _, runs = find_runs(sources)
    for run in runs:
        if any(c.isspace() for c in run.real):
            raise CollectError(f"{run.real}: a run folder whose path holds white space cannot "
                               "be written into a run list")
    return [(run.real, run.label) for run in runs]


def format_list(runs):
    return "".join(f"{path} {label}\n" if label else f"{path}\n" for path, label in runs)


def list_hash(root, runs):
    text = json.dumps([root] + [[r.real, r.label] for r in runs])
    return hashlib.sha256(text.encode()).hexdigest()


def shard_span(n, shard, shards):
    """The indices [first, last) of shard `shard` of `shards` over n runs."""
    return shard * n // shards, (shard + 1) * n // shards


def option_values(kw):
    """collect's options from keyword arguments (collect's defaults for the rest)."""
    unknown = sorted(set(kw) - set(OPTION_NAMES))
    if unknown:
        raise TypeError(f"unknown options: {', '.join(unknown)}")
    params = inspect.signature(collect).parameters
    return make_options(**{n: kw.get(n, params[n].default) for n in OPTION_NAMES})


def read_state(folder):
    try:
        with open(os.path.join(folder, STATE_FILE), encoding="utf-8") as f:
            return json.load(f)
    except FileNotFoundError:
        return None


def _start(folder, state):
    """Records (or checks) the folder's shard count, list hash and options."""
    os.makedirs(folder, exist_ok=True)
    before = read_state(folder)
    if before is None:
        text = json.dumps(state, sort_keys=True).encode()
        replace_atomically(os.path.join(folder, STATE_FILE), lambda f: f.write(text))
    elif before != state:
        differ = [k for k in sorted(state) if before.get(k) != state.get(k)]
        raise CollectError(f"{folder} holds the shards of another collection (other "
                           f"{', '.join(differ)}); use another folder or remove it")


def shard_attrs(path):
    """The shard attributes of a shard file; OSError when it cannot be read."""
    with h5py.File(path, "r") as h5:
        attrs = h5.attrs
        return {k: (attrs[k].decode() if isinstance(attrs[k], bytes) else attrs[k])
                for k in attrs if k.startswith("pdsplit_")}


def is_complete(path, state, shard):
    """True when `path` is this shard of this collection; False when it is
    absent or damaged; CollectError when it belongs to another one."""
    if not os.path.exists(path):
        return False
    try:
        attrs = shard_attrs(path)
    except OSError:
        return False
    if attrs.get("pdsplit_list_hash") != state["list_hash"] or \
            int(attrs.get("pdsplit_shard", -1)) != shard:
        raise CollectError(f"{path}: a shard of another run list; remove it")
    if json.loads(attrs.get("pdsplit_options", "{}")) != state["options"]:
        raise CollectError(f"{path}: a shard made with other options; remove it")
    return True


def _mark(path, state, shard, runs):
    with h5py.File(path, "a") as h5:
        h5.attrs["pdsplit_shard"] = shard
        h5.attrs["pdsplit_shards"] = state["shards"]
        h5.attrs["pdsplit_shard_runs"] = runs
        h5.attrs["pdsplit_list_hash"] = state["list_hash"]
        h5.attrs["pdsplit_list_runs"] = state["runs"]
        if "pdsplit_options" not in h5.attrs:  # an empty shard
            h5.attrs["pdsplit_options"] = json.dumps(state["options"], sort_keys=True)
    with open(path, "rb+") as f:
        os.fsync(f.fileno())


def collect_shard(sources, folder, shard, shards, *, workers=None, batch_size=None,
                  progress=False, retry_failed=False, **options):
    """Collects shard `shard` (0 <= shard < shards) of the runs of `sources`
    (best: a run list made once by list_runs) into
    folder/shard-KKKKK-of-NNNNN.nc; skips a shard already complete. The
    options are collect's; returns a ShardDone. A shard whose runs partly
    failed is complete (its failures are in it)."""
    if not 0 <= shard < shards:
        raise ValueError(f"shard: 0 <= K < N, not {shard}/{shards}")
    options = option_values(options)
    folder = os.path.abspath(os.fspath(folder))
    root, runs = find_runs(sources)
    state = {"shards": shards, "list_hash": list_hash(root, runs), "runs": len(runs),
             "options": stored_options(options)}
    _start(folder, state)
    path = os.path.join(folder, SHARD_FILE.format(shard, shards))
    first, last = shard_span(len(runs), shard, shards)
    with Lock(path):  # one task a shard: a second one is refused
        if is_complete(path, state, shard):
            os.unlink(path + ".lock")
            return ShardDone(path, last - first, skipped=True)
        work = path[:-3] + ".partial.nc"
        done = None
        if last > first:
            say = (lambda text: print(text, file=sys.stderr)) if progress else \
                (lambda text: None)
            done = collect_runs(root, runs[first:last], work, options, Threads(workers),
                                batch_size=batch_size, progress=progress,
                                retry_failed=retry_failed, labels=None, say=say)
        else:
            h5py.File(work, "w").close()
        _mark(work, state, shard, last - first)
        os.replace(work, path)
        for leftover in (work + ".lock", work + ".failures.jsonl", path + ".lock"):
            if os.path.exists(leftover):
                os.unlink(leftover)
    return ShardDone(path, last - first, skipped=False, collected=done)


def shard_files(folder):
    """{shard index: path} of the complete-looking shard files of `folder`
    for its recorded shard count."""
    state = read_state(folder)
    found = {}
    for name in sorted(os.listdir(folder)):
        m = SHARD_PATTERN.fullmatch(name)
        if m and state and int(m.group(2)) == state["shards"]:
            found[int(m.group(1))] = os.path.join(folder, name)
    return found


def missing_shards(folder):
    """The shard indices of `folder` with no complete shard file (absent,
    damaged, or cut): the ones to collect again."""
    folder = os.fspath(folder)
    state = read_state(folder)
    if state is None:
        raise CollectError(f"{folder}: not a shard folder (no {STATE_FILE})")
    files = shard_files(folder)
    missing = []
    for k in range(state["shards"]):
        try:
            if k not in files or not is_complete(files[k], state, k):
                missing.append(k)
        except CollectError:
            missing.append(k)
    return missing


def array_ranges(indices):
    """1,3-5,9: Slurm's --array form of a list of indices."""
    parts, start = [], None
    for i, k in enumerate(indices):
        if start is None:
            start = k
        if i + 1 == len(indices) or indices[i + 1] != k + 1:
            parts.append(str(start) if start == k else f"{start}-{k}")
            start = None
    return ",".join(parts)

