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


class DoscarError(ValueError):
    """A DOSCAR (or vasprun.xml) that cannot be read, or an output name that is refused.

    number:  the exit status that the pdsplit command line gives for the same
             problem: 24 the file (or its compressed data) ends early, or
             atoms= on a file without projected DOS; 64 a field is not a
             number, or compressed data is damaged; 62 no upper-case E in
             line 7 (not VASP's layout: LOBSTER's DOSCAR.lobster); 66 100 or
             more values in a line; 1 column counts of no known kind (also a
             total block of other than 2 or 4 values, which the command line
             splits), an atom not in the file, a structure of another atom
             count, or an output name that is refused (empty, DOSCAR, DOSCAR.gz,
             .xz, .bz2, or a link to such a file).
    path:    the file concerned.
    line:    the line of the file (from 1) where the problem was found, or None.
    columns: (first, last) columns (from 1) of a field that is not a number, or None.
    field:   the text of that field, or None.
    cause:   a short machine-readable cause, or None: "truncated" (the file or
             its compressed data ends early), "corrupt-compressed", "not-a-number",
             "not-vasp-layout" (62), "too-many-values" (66), "unknown-columns"
             (column counts of no known kind), "ambiguous-columns" (16 values
             per point and no INCAR to tell), "no-grid-points", "no-pdos"
             (atoms= on a file without projected DOS), "atom-not-in-file",
             "structure-mismatch" (a structure of another atom count),
             "bad-structure" (a structure file that cannot be read),
             "refused-output" (an output name refused); for vasprun.xml also
             "not-vasprun" (62: XML that does not start with <modeling>),
             "no-dos" (24: no <dos> block, or none of KPOINTS_OPT with
             kpoints_opt=True), "entity" (1: a <!DOCTYPE> declaration; no DTD
             or entity is ever read), "malformed-xml" (64: a row without its
             </r>, a row or block of another size than its <field>s and the
             total block say, a tag out of place); "failure" (any other).
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
from ._collect import CollectError, Collected, collect  # noqa: E402
from ._collect_shard import (ShardsMissing, collect_shard, list_runs,  # noqa: E402
                             merge_shards, missing_shards)
from ._grammar import GRAMMAR as _GRAMMAR  # noqa: E402
from ._plot import plot as _plot  # noqa: E402
from ._pymatgen import to_pymatgen as _to_pymatgen  # noqa: E402

__doc__ += _GRAMMAR
Doscar.plot = _plot
Doscar.to_pymatgen = _to_pymatgen

__all__ = ["Collected", "CollectError", "Doscar", "DoscarError", "ShardsMissing", "collect",
           "collect_shard", "list_runs", "merge_shards", "missing_shards", "read", "write"]
__version__ = "1.0.0"
