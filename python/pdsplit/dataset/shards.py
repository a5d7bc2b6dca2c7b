"""A collection in shards: the run list made once (list_runs), the K-th of
N disjoint parts of it collected into one file of a shard folder
(collect_shard: collection.collect_runs on threads), and the folder's
missing shards named (missing_shards); merge makes the dataset from them.

Shard K of N holds the runs [K*n//N, (K+1)*n//N) of the list's n runs in
their sorted order, so that the merge is the shards one after the other.
The folder's shards.json records the count and the hash of the list (its
root, paths and labels); every shard file records them too, so shards of
another list are refused (is_complete). A shard file appears under its
final name only complete (collected into NAME.partial.nc, then renamed),
with its checksum beside it (shard-KKKKK-of-NNNNN.sha256, in sha256sum's
form): a shard is merged only when its file still has that checksum, and
one that fails it is damaged and collected again. check_shards decides, for
merge and --missing alike, which shards are missing and what refuses the
folder (another list, count, index or options). Run lists are written and
read with find.list_line's quoting.
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
from .find import find_runs, list_line
from .options import CollectError, check_format, make_options, stored_options
from .store import Lock, replace_atomically
from .threads import Threads

SHARD_FILE = "shard-{:05d}-of-{:05d}.nc"
SHARD_PATTERN = re.compile(r"shard-(\d+)-of-(\d+)\.nc$")
STATE_FILE = "shards.json"
STATE_KEYS = {"shards", "list_hash", "runs", "options"}
OPTION_NAMES = ["grid", "align", "sigma", "channels", "sites", "band_erange", "window",
                "gap_tol", "noncollinear", "noncollinear_fix"]


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
    return [(run.real, run.label) for run in runs]


def format_list(runs):
    return "".join(list_line(path, label) for path, label in runs)


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
    """The folder's shards.json, None when absent; CollectError when damaged."""
    path = os.path.join(folder, STATE_FILE)
    try:
        with open(path, encoding="utf-8") as f:
            state = json.load(f)
    except FileNotFoundError:
        return None
    except ValueError as e:  # also UnicodeDecodeError
        state = str(e)
    if not isinstance(state, dict) or not STATE_KEYS <= set(state) or \
            not isinstance(state["shards"], int) or state["shards"] < 1:
        raise CollectError(f"{path}: damaged, not the record of a shard folder "
                           f"({state if isinstance(state, str) else 'fields missing'}); remove "
                           f"the folder {folder} and collect its shards again")
    if isinstance(state["options"], dict):
        check_format(state["options"], folder)
    return state


def _start(folder, state):
    """Records (or checks) the folder's shard count, list hash and options.
    shards.json is created whole or not at all (linked from a temporary
    file), so of two tasks started at once one records and the other compares."""
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(folder, STATE_FILE)
    if not os.path.exists(path):
        text = json.dumps(state, sort_keys=True).encode()
        tmp = f"{path}.tmp-{os.getpid()}"
        replace_atomically(tmp, lambda f: f.write(text))
        try:
            os.link(tmp, path)
        except FileExistsError:
            pass
        finally:
            os.unlink(tmp)
    before = read_state(folder)
    if before != state:
        differ = [k for k in sorted(state) if before.get(k) != state.get(k)]
        raise CollectError(f"{folder} holds the shards of another collection (other "
                           f"{', '.join(differ)}); use another folder or remove it")


def sum_path(path):
    """The checksum file of the shard file `path`."""
    return path[:-len(".nc")] + ".sha256"


def _digest(path):
    sha = hashlib.sha256()
    with open(path, "rb") as f:
        while block := f.read(1 << 20):
            sha.update(block)
    return sha.hexdigest()


def _seal(work, path):
    """The finished shard `work` renamed to `path`, its checksum written first."""
    text = f"{_digest(work)}  {os.path.basename(path)}\n".encode()
    replace_atomically(sum_path(path), lambda f: f.write(text))
    os.replace(work, path)


def proven(path):
    """True when the shard file `path` has the checksum recorded beside it."""
    try:
        with open(sum_path(path), "rb") as f:
            recorded = f.read(200).split()[:1]
        return recorded == [_digest(path).encode()]
    except OSError:
        return False


def shard_attrs(path):
    """The shard attributes of a shard file; OSError when it cannot be read."""
    with h5py.File(path, "r") as h5:
        attrs = h5.attrs
        return {k: (attrs[k].decode() if isinstance(attrs[k], bytes) else attrs[k])
                for k in attrs if k.startswith("pdsplit_")}


def is_complete(path, state, shard):
    """True when `path` is this shard of this collection; False when it is
    absent, damaged or cut (its checksum differs), CollectError when it is
    a shard of another list, index or options."""
    if not os.path.exists(path) or not proven(path):
        return False
    try:
        attrs = shard_attrs(path)
    except OSError:
        return False
    if attrs.get("pdsplit_list_hash") != state["list_hash"]:
        raise CollectError(f"{path}: a shard of another run list; remove it")
    index = (int(attrs.get("pdsplit_shard", -1)), int(attrs.get("pdsplit_shards", -1)))
    if index != (shard, state["shards"]):
        raise CollectError(f"{path}: holds shard {index[0]} of {index[1]}, not {shard} of "
                           f"{state['shards']}; remove it")
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
             "options": stored_options(options), "paths": [r.real for r in runs]}
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
        _seal(work, path)
        for leftover in (work + ".lock", work + ".failures.jsonl", path + ".lock"):
            if os.path.exists(leftover):
                os.unlink(leftover)
    return ShardDone(path, last - first, skipped=False, collected=done)


def _same_list(folder, state, source):
    """CollectError when the run list `source` is not the one the shards
    of `folder` were made from, with the runs added and removed since."""
    root, runs = find_runs(source)
    if list_hash(root, runs) == state["list_hash"]:
        return
    what = "other runs or labels"
    if "paths" in state:
        before, now = set(state["paths"]), {r.real for r in runs}
        added, removed = len(now - before), len(before - now)
        what = f"{added} runs added, {removed} removed" if added or removed else "other labels"
    raise CollectError(
        f"{folder}: its shards were made from another run list than {source} ({what}); "
        f"start a new collection in shards (remove {folder}, then collect every shard of "
        f"{source}) or update the dataset: python3 -m pdsplit collect {source} -o FILE")


def check_shards(folder, runs=None):
    """({index: path} of the shard files, the folder's state, [the indices
    of the shards missing, damaged or cut]) of the shard folder `folder`:
    what merge and --missing decide from. CollectError when collecting
    shards again cannot make the folder mergeable: no or a damaged
    shards.json, an empty run list, shard files of another count, list,
    index or options, or
    (runs: the run list to merge) shards of another run list than `runs`."""
    folder = os.fspath(folder)
    state = read_state(folder)
    if state is None:
        raise CollectError(f"{folder}: not a shard folder (no {STATE_FILE})")
    if state["runs"] == 0:
        raise CollectError(f"{folder}: the run list of these shards is empty")
    if runs is not None:
        _same_list(folder, state, os.fspath(runs))
    files, foreign = {}, []
    for name in sorted(os.listdir(folder)):
        m = SHARD_PATTERN.fullmatch(name)
        if m and int(m.group(2)) == state["shards"] and int(m.group(1)) < state["shards"]:
            files[int(m.group(1))] = os.path.join(folder, name)
        elif m:
            foreign.append(name)
    if foreign:
        raise CollectError(f"{folder}: shard files of another shard count than the "
                           f"{state['shards']} of {STATE_FILE}: {', '.join(foreign[:20])}"
                           f"{' ...' if len(foreign) > 20 else ''}; remove them")
    missing = [k for k in range(state["shards"])
               if k not in files or not is_complete(files[k], state, k)]
    return files, state, missing


def missing_shards(folder, runs=None):
    """The shard indices of `folder` with no complete shard file (absent,
    damaged, or cut): the ones to collect again. CollectError as
    check_shards (where merge_shards refuses too)."""
    return check_shards(folder, runs)[2]


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

