"""Writing the dataset of a collection from its sources (the stored
dataset, the checkpoints, the rows in memory): assemble(), called in the
collecting process where the room for the file is certain (fits), else in
a process of its own (in_child): `python3 -m pdsplit.dataset.assemble JOB`
with JOB the arguments of assemble() as JSON (data, never code). HDF5 can crash when a
write fails (a full disk); in a child process such a crash costs the
temporary file alone, which is removed, and the caller gets an OSError.
Hands on the output file renamed into place. Imports options, find,
netcdf and store."""
import ctypes
import json
import os
import re
import resource
import signal
import subprocess
import sys

import numpy as np

from .. import __version__
from .find import relative
from .netcdf import Plan, Writer, coordinates, create, row_bytes
from .options import (FORMAT_VERSION, NONCOLLINEAR_WORDS, SPIN_RULE, grid_bins,
                      stored_options)
from .store import Stored, batch_rows, remove_temporaries, replace_atomically


GROUP_BYTES = 8 << 20  # rows written per group, before compression


def assemble(output, root, final, labels, options, sites, memory=None):
    """The dataset of the runs `final` ([(real path, key, source)], sorted;
    a source is ("stored", index in `output`), ("batch", checkpoint file) or
    ("memory", None): a row of `memory`, {real path: row}) into a temporary
    file renamed to `output`. Rows are written source by source, in groups
    of up to GROUP_BYTES (see netcdf.Writer)."""
    stored = Stored(output) if any(s[0] == "stored" for _, _, s in final) else None
    plan = Plan([(k[1], k[2], k[3]) for _, k, _ in final])
    coords = coordinates(options)
    nbins = len(coords["energy"])
    unit = row_bytes(nbins, len(coords["channel"]))
    tmp = f"{output}.tmp-{os.getpid()}"
    f = None
    try:
        f = create(tmp, plan, coords, _attrs(root, options, nbins), sites)
        writer = Writer(f, plan)
        by_source = {}
        for pos, (real, key, source) in enumerate(final):
            name = source[1] if source[0] == "batch" else source[0]
            by_source.setdefault(name, []).append((pos, real, key, source))
        for name, group in by_source.items():
            if name == "stored":
                for failed in (False, True):
                    for piece in _groups([g for g in group if g[2][1] == failed], unit, True):
                        rows = stored.rows([g[3][1] for g in piece], failed)
                        _write(writer, piece, rows, root, labels)
                continue
            wanted = {g[1]: g for g in group}
            items = memory.items() if name == "memory" else ((k[0], r) for k, r in batch_rows(name))
            # in the order of the file, whose runs lie in runs of consecutive places
            found = ((wanted.pop(real), row) for real, row in items if real in wanted)
            for piece in _groups(found, unit, False):
                _write(writer, [p[0] for p in piece], [p[1] for p in piece], root, labels)
        unwritten = writer.unwritten()
        if unwritten:
            real, _, source = final[unwritten[0]]
            raise OSError(f"{len(unwritten)} runs have no row in their source (the first: "
                          f"{real}, {source[1] if source[0] == 'batch' else source[0]})")
        f.close()
        with open(tmp, "rb+") as fd:
            os.fsync(fd.fileno())
        os.replace(tmp, output)
    except BaseException:
        if f is not None:
            f.close()
        if os.path.exists(tmp):
            os.unlink(tmp)
        raise


def _groups(group, unit, stored):
    """`group` in pieces of up to GROUP_BYTES; stored rows also in pieces of
    consecutive stored indices (each piece is read as one span). Items are
    (pos, real, key, source) or pairs of one and its row."""
    piece, size = [], 0
    for g in group:
        key = g[2] if stored else g[0][2]
        bytes_ = unit["run"] + key[2] * unit["element_row"] + key[3] * unit["site_row"]
        if piece and (size + bytes_ > GROUP_BYTES or
                      (stored and g[3][1] != piece[-1][3][1] + 1)):
            yield piece
            piece, size = [], 0
        piece.append(g)
        size += bytes_
    if piece:
        yield piece


def _write(writer, piece, rows, root, labels):
    for (pos, real, key, source), row in zip(piece, rows):
        prefix = "failure_" if key[1] else ""
        path = row["failure_path" if key[1] else "run"] = relative(real, root)
        row[prefix + "label"] = labels.get(real, "")
        for name in ("failure_message",) if key[1] else ("symbols_reason",):
            row[name] = relative_in_text(row[name], real, path)
    writer.write([p[0] for p in piece], rows)


def relative_in_text(text, real, path):
    """`text` (a message) with the run folder's real path `real` written
    as its stored path `path` (relative to the root)."""
    return re.sub(re.escape(real) + r"(?=/|[\s:'\"),;]|$)", lambda m: path, text)


def _attrs(root, options, nbins):
    emin, emax, step = options["grid"]
    return {
        "title": "DOS of VASP runs on one energy grid, collected by pdsplit",
        "pdsplit_format_version": np.int32(FORMAT_VERSION),
        "pdsplit_version": __version__,
        "pdsplit_options": json.dumps(stored_options(options), sort_keys=True),
        "root": root,
        "grid_emin": emin, "grid_emax": emax, "grid_step": step, "grid_nbins": np.int32(nbins),
        "grid_rule": "bin i covers [emin+i*step, emin+(i+1)*step] relative to the alignment "
                     "energy; energy holds its centre; dos is the states in the bin / step",
        "align": options["align"],
        "align_rule": "efermi: the Fermi energy of the last total block; vbm: the valence band "
                      "maximum where the run has a gap, else the Fermi energy",
        "sigma": options["sigma"], "gap_tol": options["gap_tol"],
        "band_erange": options["band_erange"], "window": options["window"],
        "moments_rule": "band moments (filling too) from the run's own points with "
                        "band_erange[0] <= E - E_F <= band_erange[1]; states_window: states in "
                        "E_F + window; magnetic_moment: int_up - int_down of the total block at "
                        "E_F, linear between points (magnetic_moment_dos: integral of up - down)",
        "band_edges_rule": "empty: DOS <= gap_tol * mean DOS; the gap is the first run of empty "
                           "points whose occupied neighbours enclose E_F (E_F up to one point "
                           "spacing below the lower one); vbm, cbm its first and last empty "
                           "points, gap cbm - vbm; a metal: vbm, cbm NaN, gap 0; *_pymatgen: "
                           "pymatgen's get_cbm_vbm and get_gap",
        "coarse_rule": "coarse = 1 when file_step > 5 * grid_step or the file has one point",
        "noncollinear": NONCOLLINEAR_WORDS[options["noncollinear"]],
        "spin_rule": SPIN_RULE,
        "fingerprint_rule": "NAME:SIZE:MTIME_NS of DOSCAR, CONTCAR, POSCAR, INCAR "
                            "(and their .gz, .xz, .bz2) present in the run folder",
    }


def room(output, size):
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


def fits(output, final, options):
    """Whether to write the dataset in this process: when twice its size
    before compression, plus 16 MiB, has room (see room), a failed write
    and HDF5 crashing with it cannot happen."""
    unit = row_bytes(grid_bins(options["grid"]), 1 + len(options["channels"]))
    size = sum(unit["failure" if k[1] else "run"] + k[2] * unit["element_row"] +
               k[3] * unit["site_row"] for _, k, _ in final)
    return room(output, 2 * size + (16 << 20))


def in_child(folder, lock, job, module="pdsplit.dataset.assemble",
             note="the finished runs are kept for the next run"):
    """assemble(**job) (or the writer of `module`, see child_main) in a
    child process, which holds the output's lock (the descriptor `lock`)
    with this one and ends when this one ends; the job is a JSON file in
    the folder `folder` (paths that are not UTF-8 as JSON's \\udcXX
    escapes), removed when the child ends. OSError saying why when the
    child fails (then `note`)."""
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(folder, "assemble.json")
    text = json.dumps(job).encode()
    replace_atomically(path, lambda f: f.write(text))
    package = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [package] + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]))
    try:
        child = subprocess.Popen([sys.executable, "-m", module, path], env=env,
                                 stdin=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                                 pass_fds=(lock,), preexec_fn=_die_with_parent(os.getpid()))
        try:
            _, errors = child.communicate()
        except BaseException:
            child.kill()
            child.wait()
            remove_temporaries(job["output"])
            raise
    finally:
        os.unlink(path)
    if child.returncode != 0:
        remove_temporaries(job["output"])
        lines = [l for l in errors.splitlines() if l.strip()]
        why = lines[-1] if child.returncode > 0 and lines else f"status {child.returncode}"
        if child.returncode < 0:
            why = (f"its writer ended by signal {-child.returncode} "
                   f"({signal.strsignal(-child.returncode)}), as HDF5 may when a write fails: "
                   "a full disk, or a file size limit (ulimit -f)")
        raise OSError(f"{job['output']}: the dataset could not be written ({why})" +
                      (f"; {note}" if note else ""))


PR_SET_PDEATHSIG = 1


def _die_with_parent(parent):
    """The function the child runs between fork and exec (preexec_fn): the
    parent-death signal SIGKILL set (Linux's prctl), so that a `kill -9` of
    the collection ends the child writer, and the lock it shares, at once,
    also while the child is still importing; a parent gone already ends it
    there. None where prctl is missing."""
    try:
        prctl = ctypes.CDLL(None, use_errno=True).prctl  # resolved here, in the parent
    except (OSError, AttributeError):
        return None

    def set_in_child():
        prctl(PR_SET_PDEATHSIG, int(signal.SIGKILL))
        if os.getppid() != parent:
            os._exit(1)

    return set_in_child


def child_main(work, argv):
    """The child process of in_child: work(**job) of the job file argv[0];
    its status (1 after printing the error)."""
    with open(argv[0], "rb") as f:
        job = json.load(f)
    try:
        work(**job)
    except Exception as e:
        print(f"{type(e).__name__}: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(child_main(assemble, sys.argv[1:]))
