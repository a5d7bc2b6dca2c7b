"""The run folders of a collection's sources: folders searched recursively,
run folders, and files (or standard input, "-") that list run folders one a
line with an optional label after the path. Every run appears once (by its
real path), in sorted order (find_runs hands on the root and the Runs), with
the fingerprint of its input files (fingerprint); the lines of a run list
(list_line). Paths are bytes on Linux: a list's lines are decoded as
os.fsdecode decodes names (bytes that are not UTF-8 kept as surrogates).
Imports options."""
import json
import os
import re
import stat
import sys
from dataclasses import dataclass

from .options import CollectError

SUFFIXES = ("", ".gz", ".xz", ".bz2")
DOSCAR_NAMES = tuple("DOSCAR" + s for s in SUFFIXES)
# The files a run's DOS is read from, in the reader's order of preference
# (a DOSCAR, also AFLOW's DOSCAR.static; vasprun.xml, also
# vasprun.xml.static; vaspout.h5): a folder holding one is a run folder.
DOS_NAMES = tuple(stem + s for stem in ("DOSCAR", "DOSCAR.static") for s in SUFFIXES) + tuple(
    stem + s for stem in ("vasprun.xml", "vasprun.xml.static") for s in SUFFIXES) + ("vaspout.h5",)
# The files whose size and modification time decide whether a stored run is
# still up to date: the DOS files, the EIGENVAL the band edges come from,
# the structure file and INCAR, each possibly compressed.
FINGERPRINT_STEMS = ("DOSCAR", "DOSCAR.static", "vasprun.xml", "vasprun.xml.static", "EIGENVAL",
                     "EIGENVAL.static", "CONTCAR", "POSCAR", "INCAR")
FINGERPRINT_NAMES = tuple(stem + s for stem in FINGERPRINT_STEMS for s in SUFFIXES) + (
    "vaspout.h5",)


@dataclass
class Run:
    real: str  # the folder's real path: the key of the run
    label: str = ""
    listed: bool = False  # named by a list (read even without a DOSCAR)
    refused: str = ""  # why the DOSCAR listed is not opened: a FIFO, device or folder
    doscar: str = ""  # the name of the DOS file listed


def is_run_folder(folder):
    return any(os.path.isfile(os.path.join(folder, name)) for name in DOS_NAMES)


def fingerprint(folder):
    """"NAME:SIZE:MTIME_NS" of each input file present, joined by ";" (one
    listing of the folder, then a stat of the files it names)."""
    try:
        with os.scandir(folder) as listing:
            entries = {e.name: e for e in listing}
    except OSError:
        return ""
    parts = []
    for name in FINGERPRINT_NAMES:
        entry = entries.get(name)
        try:
            st = entry.stat() if entry is not None else None  # follows links
        except OSError:
            continue
        if st is not None:
            parts.append(f"{name}:{st.st_size}:{st.st_mtime_ns}")
    return ";".join(parts)


def _walk(top, found, skipped):
    """Run folders under `top` (itself included), each real folder visited
    once, so that symbolic links that loop end; the folders that cannot be
    listed (no permission, a path longer than PATH_MAX) into `skipped` as
    (path, why)."""
    seen, stack = set(), [os.path.realpath(top)]
    while stack:
        folder = stack.pop()
        if folder in seen:
            continue
        seen.add(folder)
        try:
            entries = list(os.scandir(folder))
        except OSError as e:
            skipped.append((folder, e.strerror or str(e)))
            continue
        if any(e.name in DOS_NAMES and _is(e.is_file) for e in entries):
            found.setdefault(folder, Run(folder))
        for e in entries:
            if _is(e.is_dir):  # follows links; a folder that is no link is real already
                stack.append(os.path.realpath(e.path) if e.is_symlink() else e.path)


def _is(test):
    try:
        return test()
    except OSError:
        return False


def list_line(path, label=""):
    """A line of a run list: the path, then the label after a blank. A path
    that holds white space, a quote or a backslash, starts with "#", or is
    not printable text is written as a JSON string in double quotes."""
    if re.search(r'[\s"\\]', path) or path.startswith("#") or not path.isprintable():
        path = json.dumps(path)
    return f"{path} {label}\n" if label else f"{path}\n"


def _split_line(text):
    """(path, label) of a stripped list line (see list_line)."""
    if text.startswith('"'):
        try:
            path, end = json.JSONDecoder().raw_decode(text)
        except ValueError:
            raise CollectError(f"{text}: a run list's quoted path is a JSON string, "
                               "such as \"/runs/a b\"") from None
        return path, text[end:].strip()
    return tuple((re.split(r"\s+", text, maxsplit=1) + [""])[:2])


def _listed(source, lines, found):
    for number, line in enumerate(lines, 1):
        if "\0" in line:
            raise CollectError(f"{source}, line {number}: a NUL byte, which no path holds")
        text = line.strip()
        if not text or text.startswith("#"):
            continue
        path, label = _split_line(text)
        path = os.path.expanduser(path)
        refused, doscar = "", os.path.basename(path)
        if doscar in DOS_NAMES and os.path.lexists(path):
            refused = irregular(path)
            path = os.path.dirname(path) or "."
        real = os.path.realpath(path)
        run = found.setdefault(real, Run(real))
        run.listed = True
        run.label = run.label or label.strip()
        if refused and not run.refused:
            run.refused, run.doscar = refused, doscar


def irregular(path):
    """Why the file `path` is not read, a FIFO, device, socket or folder (a
    read of a FIFO waits for a writer for ever), or "" for a regular file
    (a link to one too). Only stat is called: the file is never opened."""
    try:
        mode = os.stat(path).st_mode
    except OSError:
        return ""  # the reader names what is wrong with it
    if stat.S_ISREG(mode):
        return ""
    kind = ("a FIFO (named pipe)" if stat.S_ISFIFO(mode) else
            "a character device" if stat.S_ISCHR(mode) else
            "a block device" if stat.S_ISBLK(mode) else
            "a socket" if stat.S_ISSOCK(mode) else
            "a folder" if stat.S_ISDIR(mode) else "not a regular file")
    link = "a link to " if os.path.islink(path) else ""
    return f"{path} is {link}{kind}, not a regular file: it is not opened"


def _read_list(source):
    """The lines of a list file (or standard input), without a byte order mark."""
    if source == "-":
        data = sys.stdin.buffer.read()
    else:
        with open(source, "rb") as f:
            data = f.read()
    data = data[3:] if data.startswith(b"\xef\xbb\xbf") else data
    return [os.fsdecode(line.rstrip(b"\r")) for line in data.split(b"\n")]


def find_runs(sources, skipped=None):
    """(root, [Run] sorted by real path): `root` is the folder the stored paths
    are relative to, the common folder of the sources (a run folder's parent).
    The folders that could not be searched go into the list `skipped`, as
    (path, why). CollectError for a list line that cannot be a path."""
    skipped = [] if skipped is None else skipped
    if isinstance(sources, (str, bytes, os.PathLike)):
        sources = [sources]
    found, tops = {}, []
    for source in sources:
        source = os.fsdecode(source)
        if source == "-" or os.path.isfile(source) and os.path.basename(source) not in DOS_NAMES:
            before = set(found)
            _listed(source, _read_list(source), found)
            tops.extend(os.path.dirname(r) for r in set(found) - before)
        elif os.path.isfile(source):
            folder = os.path.realpath(os.path.dirname(source) or ".")
            found.setdefault(folder, Run(folder))
            tops.append(os.path.dirname(folder))
        elif os.path.isdir(source):
            real = os.path.realpath(source)
            _walk(real, found, skipped)
            tops.append(os.path.dirname(real) if is_run_folder(real) else real)
        else:
            raise FileNotFoundError(2, "no such file or folder", source)
    runs = sorted(found.values(), key=lambda r: r.real)
    root = os.path.commonpath(tops) if tops else os.getcwd()
    return root, runs


def relative(real, root):
    return os.path.relpath(real, root)
