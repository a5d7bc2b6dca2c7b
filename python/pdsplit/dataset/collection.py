"""One collection, as its data flows: the runs of the sources (find) are
planned against what the output and its checkpoints hold (plan: the runs
to read and the runs gone), read in batches by an executor (threads.Threads
here, dask.Dask on a cluster, the same unit of work, batch.read_batch),
whose results become rows kept in checkpoints (store.Pending), and the
dataset is written from every run's source (assemble), here or in a child
process. collect() checks the options and picks the executor; collect_runs()
is one collection of runs found (also a shard's). Hands a Collected to the
caller.
Imports options, find, progress, batch, store, assemble, threads and dask."""
import os
import sys

from .assemble import assemble, fits, in_child
from .batch import refused_result, rows_from_results
from .dask import Dask, connect
from .find import find_runs, fingerprint, relative
from .options import CollectError, Collected, make_options, stored_options
from .progress import Progress
from .store import (Lock, Pending, Sidecar, failure_causes, known_runs, refuse_output,
                    remove_temporaries,
                    write_failures_jsonl)
from .threads import Threads


def collect(sources, output, *, grid=(-10.0, 10.0, 0.05), align="efermi", sigma=0.0,
            channels=None, sites=False, band_erange=(-10.0, 10.0), window=(-1.0, 0.0),
            gap_tol=0.001, noncollinear=None, labels=None, workers=None, batch_size=None,
            progress=False, retry_failed=False, client=None, noncollinear_fix=None):
    """The DOS of many VASP runs on one energy grid, with descriptors, into
    one netCDF-4 (HDF5) file `output`; returns a Collected summary.

    sources: a folder searched recursively for run folders (folders that hold
        a DOSCAR, vasprun.xml or vaspout.h5, also compressed: read in that
        order of preference), a run folder, or a file that lists
        run folders one a line, each optionally followed by a label ("-":
        standard input); or a list of them. A run reached twice counts once.
    grid: (emin, emax, step) in eV relative to each run's alignment energy.
    align: "efermi" or "vbm" (the valence band maximum where there is a gap).
    sigma: Gaussian broadening in eV (0: none).
    channels: selections summed into channels after "total" (default
        all(s), all(p), all(d), all(f)).
    sites: also the DOS of every atom by orbital.
    band_erange, window, gap_tol, noncollinear: see docs/dataset.md.
    labels: {run folder: label}, beside the labels of list files.
    workers: threads (default: all cores); batch_size: runs per task.
    progress: a progress bar (a terminal) or a line every few seconds on
        standard error; nothing is printed otherwise.
    retry_failed: read again the runs that failed before (unchanged ones are
        otherwise kept as failures).
    client: a dask.distributed Client, or a scheduler's address, whose
        workers read the runs (batch_size: runs per task, default 16-1024);
        the dataset is written here, the same as a local collection's.
    noncollinear_fix: how a front end over this function sets noncollinear
        (the command: "--noncollinear yes or --noncollinear no"), named in
        the reason of runs that need it; default the keyword's own words.

    Calling it again with the same output resumes or updates the dataset:
    runs whose files are unchanged are kept, new and changed ones read, gone
    ones dropped. Runs that cannot be read are listed in the dataset and in
    OUTPUT.failures.jsonl (when that file cannot be written, the summary's
    warnings say so). Raises CollectError when refused (no runs, other
    options than the output was made with, another writer, an output named
    like an input of a run, a Dask client closed or its scheduler lost), and
    KeyboardInterrupt after saving the finished batches when interrupted.
    """
    options = make_options(grid, align, sigma, channels, sites, band_erange, window, gap_tol,
                           noncollinear, noncollinear_fix)
    say = (lambda text: print(text, file=sys.stderr)) if progress else _silent
    output = os.path.abspath(os.fspath(output))
    skipped = []
    root, runs = find_runs(sources, skipped)
    notes = [skipped_note(skipped)] if skipped else []
    if client is None:
        return collect_runs(root, runs, output, options, Threads(workers),
                            batch_size=batch_size, progress=progress,
                            retry_failed=retry_failed, labels=labels, say=say, notes=notes)
    client, close = connect(client)
    try:
        return collect_runs(root, runs, output, options, Dask(client),
                            batch_size=batch_size, progress=progress,
                            retry_failed=retry_failed, labels=labels, say=say, notes=notes)
    finally:
        if close:
            client.close()


def _silent(text):
    pass


def skipped_note(skipped):
    """What to say of the folders a search could not list ([(path, why)])."""
    path, why = skipped[0]
    return (f"{len(skipped)} folders could not be searched and were skipped (the first: "
            f"{path}: {why})")


def collect_runs(root, runs, output, options, executor, *, batch_size=None, progress=False,
                 retry_failed=False, labels=None, say=_silent, notes=()):
    """One collection of the runs `runs` ([Run], sorted; paths stored
    relative to `root`) into `output` with checked `options`, read by
    `executor` (Threads or Dask); returns a Collected. `notes`: warnings
    of the search, said with the collection's own (Collected.warnings)."""
    output = os.path.abspath(os.fspath(output))
    refuse_output(output)
    if not runs:
        raise CollectError("no run folders (folders that hold a DOSCAR, vasprun.xml or "
                           "vaspout.h5: DOSCAR, DOSCAR.static, vasprun.xml and "
                           "vasprun.xml.static also .gz, .xz or .bz2) in the sources")
    labels = {os.path.realpath(os.fspath(k)): str(v) for k, v in (labels or {}).items()}
    labels.update({r.real: r.label for r in runs if r.label and r.real not in labels})
    wanted = stored_options(options)
    os.makedirs(os.path.dirname(output), exist_ok=True)
    notes = list(notes)
    with Lock(output) as lock:
        sidecar = Sidecar(output)
        sidecar.clean_temporaries()
        notes += [f"{output}{name[len(os.path.basename(output)):]}: not made by pdsplit "
                  "collect, left in place" for name in remove_temporaries(output)]
        todo, dropped, stored = plan(root, runs, output, sidecar, wanted, retry_failed)
        for path in dropped:
            say(f"pdsplit collect: {path}: no longer a run of the sources, dropped")
        notes += sidecar.notes
        _say_notes(say, notes)
        current = {r.real for r in runs}
        if not (todo or dropped or sidecar.checkpoints(wanted)) and stored.root == root and \
                stored.labels == {k: v for k, v in labels.items() if v and k in current}:
            return _unchanged(output, stored, _removed(sidecar, say, notes))
        sidecar.start(wanted)
        pending = Pending(sidecar)
        new_failures = read(todo, executor, batch_size, options, labels, pending, progress)
        final = write(root, runs, output, options, labels, sidecar, wanted, pending, lock)
        failures_file = _failures_file(output, notes)
        notes = _removed(sidecar, say, notes)
    failed = sum(1 for _, key, _ in final if key[1])
    return Collected(output=output, failures_file=failures_file, runs=len(final) - failed,
                     read=len(todo), kept=len(final) - len(todo), failed=failed,
                     new_failures=new_failures, dropped=dropped, warnings=notes,
                     causes=failure_causes(output))


def _failures_file(output, warnings):
    """FILE.failures.jsonl written (its path), or None with a warning added
    to `warnings`: the dataset, written already, lists the failures too."""
    try:
        return write_failures_jsonl(output)
    except OSError as e:
        warnings.append(f"{output}.failures.jsonl could not be written ({e}); the dataset was "
                        "written and lists the failures in its failure_* variables")
        return None


def _say_notes(say, notes):
    for text in notes:
        say(f"pdsplit collect: warning: {text}")


def _removed(sidecar, say, notes):
    """The checkpoint folder removed; `notes` with what it left said."""
    before = len(sidecar.notes)
    sidecar.remove()
    _say_notes(say, sidecar.notes[before:])
    return notes + sidecar.notes[before:]


def plan(root, runs, output, sidecar, wanted, retry_failed):
    """(todo, dropped, stored): the runs to read ([(Run, fingerprint)]: new,
    changed, or failed before and retried), the stored runs that are gone
    (paths relative to root), and the stored dataset (or None)."""
    known, stored = known_runs(output, sidecar, wanted)
    current = {r.real for r in runs}
    todo = []
    for run in runs:
        fp = fingerprint(run.real)
        key, _ = known.get(run.real, (None, None))
        if key is None or key[4] != fp or (key[1] and retry_failed):
            todo.append((run, fp))
    dropped = sorted(relative(k, root) for k in known if k not in current)
    return todo, dropped, stored


def read(todo, executor, batch_size, options, labels, pending, progress):
    """The runs `todo` read by `executor`, each batch's rows into `pending`;
    returns how many failed. On an error or KeyboardInterrupt everything
    read is saved in a checkpoint first."""
    bar = Progress(len(todo), progress)
    failures = 0

    def finish(batch, results):
        nonlocal failures
        keys, rows = rows_from_results(batch, results, labels)
        pending.add(keys, rows)
        failures += sum(k[1] for k in keys)
        bar.update(len(batch), failures)

    try:
        for run, fp in todo:
            if run.refused:  # never opened, nor handed to an executor
                finish([(run, fp)], [refused_result(run.refused, run.doscar)])
        executor.run([t for t in todo if not t[0].refused], batch_size, options, finish,
                     bar.tick)
    except BaseException:
        try:
            pending.save()
        except Exception:
            pass
        raise
    finally:
        bar.close()
    return failures


def write(root, runs, output, options, labels, sidecar, wanted, pending, lock):
    """The dataset of `runs` written from their sources (the stored dataset,
    checkpoints, rows in memory): here where it fits, else (after a
    checkpoint of the rows in memory) in a child process; returns the final
    list [(real path, key, source)]."""

    def final():
        known, _ = known_runs(output, sidecar, wanted)
        known.update(pending.known())
        return [(r.real, *known[r.real]) for r in runs]

    job = dict(output=output, root=root, final=final(), labels=labels, options=options,
               sites=options["sites"])
    if fits(output, job["final"], options):
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
        job["final"] = final()
        in_child(sidecar.folder, lock.fd, job)
    return job["final"]


def _unchanged(output, stored, notes):
    """The summary of a collection that had nothing to do."""
    failed = sum(1 for key, _ in stored.keys.values() if key[1])
    notes = list(notes)
    return Collected(output=output, failures_file=_failures_file(output, notes),
                     runs=len(stored.keys) - failed, kept=len(stored.keys), failed=failed,
                     warnings=notes, causes=failure_causes(output))
