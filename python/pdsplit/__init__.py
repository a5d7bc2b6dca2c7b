"""Read the DOS of VASP runs (DOSCAR, vasprun.xml, vaspout.h5) into numpy arrays, exactly and fast; write DOS column files.

    import pdsplit
    dos = pdsplit.read("run1")                    # run1/DOSCAR, else run1/vasprun.xml ...
    dos.total, dos.pdos, dos.atom(2), dos.sum([1, 2, 3])
    dos.select("O(p)"), dos.select_columns("O(p)")  # by element and orbital
    pdsplit.write("iDOS", dos.total, shift=dos.efermi)
    dos.plot("O(p)", "Ti(d)"), dos.to_pymatgen()  # matplotlib, pymatgen
    pdsplit.collect("runs/", "dos.nc")            # many runs into one netCDF-4 dataset

The values are the doubles that the pdsplit command line reads, and
pdsplit.write() writes the bytes that it writes. See help(pdsplit.read),
help(pdsplit.Doscar) and help(pdsplit.write); python3 -m pdsplit --help for
the command that writes selections into one file.

"""

import importlib

__version__ = "1.0.0"


class DoscarError(ValueError):
    """A DOSCAR (or vasprun.xml, vaspout.h5) that cannot be read, or an output name that is refused.

    number:  the exit status that the pdsplit command line gives for the same
             problem: 24 the file (or its compressed data) ends early, or
             atoms= on a file without projected DOS; 64 a field is not a
             number (also a number cut by the end of the file), or compressed
             data is damaged; 62 no upper-case E in line 7 (not VASP's layout:
             LOBSTER's DOSCAR.lobster); 66 100 or more values in a line; 1
             column counts of no known kind (also a total block of other than 2
             or 4 values, which the command line splits), an atom not in the
             file, a structure of another atom count, or an output name that is
             refused (empty, DOSCAR, DOSCAR.gz, .xz, .bz2, or a link to such a
             file). Where the command line would read the file, the library
             gives its own: 24 for a blank data line or NUL bytes to the end, 1
             for its other refusals.
    path:    the file concerned.
    line:    the line of the file (from 1) where the problem was found, or None.
    columns: (first, last) columns (from 1) of a field that is not a number, or None.
    field:   the text of that field, or None (raw bytes of the file, NUL
             included; the message escapes them).
    cause:   a short machine-readable cause, carried by the refusal itself, or
             None:
             "truncated" (the file or its compressed data ends early: also a
             last line that ends inside a number, right after its E or E-, and
             data that ends in NUL bytes, which a job killed while writing
             leaves on some file systems; the message says where the text
             ends), "corrupt-compressed", "not-a-number", "not-vasp-layout"
             (62), "too-many-values" (66), "unknown-columns" (column counts of
             no known kind), "ambiguous-columns" (16 values per point and no
             INCAR to tell), "no-grid-points", "no-pdos" (atoms= on a file
             without projected DOS), "atom-not-in-file", "structure-mismatch"
             (a structure of another atom count), "bad-structure" (a structure
             file that cannot be read), "refused-output" (an output name
             refused), "not-text" (1: a line over 1 MiB, or a NUL byte in
             lines 1-6 that is not end padding: binary data), and
             "not-a-regular-file" (1: a FIFO, device, socket or folder, or a
             link to one, found in a folder or given to a collection: never
             opened; name a FIFO itself to read a stream from it);
             for vasprun.xml also "not-vasprun" (62: XML that does not start
             with <modeling> or a <calculation>), "no-dos" (24: no <dos> block,
             or none of KPOINTS_OPT with kpoints_opt=True), "entity" (1: a
             <!DOCTYPE> declaration; no DTD or entity is ever read),
             "malformed-xml" (64: a row without its </r>, a row or block of
             another size than its <field>s and the total block say, a tag out
             of place), "no-eigenvalues" (24 or 1: band edges asked of a file
             without eigenvalues and occupations, or of a DOSCAR without
             EIGENVAL), "refused-source" (1: source="vaspout" for data that is
             not a file);
             for vaspout.h5 also "not-hdf5" (1: not an HDF5 file), "no-dos" (1:
             no results/electron_dos or one of its arrays) and "no-hdf5" (1: a
             module built without libhdf5); "no-doscar", "permission",
             "os-error" for failures of the operating system; "failure" (any
             other).
    """

    def __init__(
        self, message, number, path=None, line=None, columns=None, field=None, cause=None
    ):
        super().__init__(message)
        self.number = number
        self.path = path
        self.line = line
        self.columns = columns
        self.field = field
        self.cause = cause

    def __reduce__(self):
        return (
            type(self),
            (str(self), self.number, self.path, self.line, self.columns, self.field, self.cause),
        )


from ._core import Doscar, read, write  # noqa: E402  (the extension raises DoscarError)
from ._grammar import GRAMMAR as _GRAMMAR  # noqa: E402
from ._plot import plot as _plot  # noqa: E402
from ._pymatgen import to_pymatgen as _to_pymatgen  # noqa: E402

__doc__ += _GRAMMAR
Doscar.plot = _plot
Doscar.to_pymatgen = _to_pymatgen

__all__ = ["Collected", "CollectError", "Doscar", "DoscarError", "ShardsMissing", "collect",
           "collect_shard", "list_runs", "merge_shards", "missing_shards", "read", "write"]

# The names of the dataset code (pdsplit.dataset) and their modules: loaded
# when first used, since they need h5py, which reading a DOSCAR does not.
_DATASET = {"CollectError": "options", "Collected": "options", "ShardsMissing": "options",
            "collect": "collection", "collect_shard": "shards", "list_runs": "shards",
            "missing_shards": "shards", "merge_shards": "merge"}


def __getattr__(name):
    module = _DATASET.get(name)
    if module is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    try:
        value = getattr(importlib.import_module(f".dataset.{module}", __name__), name)
    except ImportError as e:
        raise ImportError(f"pdsplit.{name} needs h5py and h5netcdf ({e}; Debian: apt-get "
                          "install python3-h5py python3-h5netcdf)") from e
    globals()[name] = value
    return value


def __dir__():
    return sorted(set(globals()) | set(_DATASET))
