"""Read VASP DOSCAR files into numpy arrays, exactly and fast; write DOS column files.

    import pdsplit
    dos = pdsplit.read("run1")                    # run1/DOSCAR
    dos.total, dos.pdos, dos.atom(2), dos.sum([1, 2, 3])
    pdsplit.write("iDOS", dos.total, shift=dos.efermi)

The values are the doubles that the pdsplit command line reads, and
pdsplit.write() writes the bytes that it writes. See help(pdsplit.read),
help(pdsplit.Doscar) and help(pdsplit.write).
"""


class DoscarError(ValueError):
    """A DOSCAR that cannot be read, or an output name that is refused.

    number:  the exit status that the pdsplit command line gives for the same
             problem: 24 the file ends early, 64 a field is not a number,
             1 column counts of no known kind, an atom not in the file or an
             output file named DOSCAR.
    path:    the file concerned.
    line:    the line of the file (from 1) where the problem was found, or None.
    columns: (first, last) columns (from 1) of a field that is not a number, or None.
    field:   the text of that field, or None.
    """

    def __init__(self, message, number, path=None, line=None, columns=None, field=None):
        super().__init__(message)
        self.number = number
        self.path = path
        self.line = line
        self.columns = columns
        self.field = field

    def __reduce__(self):
        return (type(self), (str(self), self.number, self.path, self.line, self.columns, self.field))


from ._core import Doscar, read, write  # noqa: E402  (the extension raises DoscarError)

__all__ = ["Doscar", "DoscarError", "read", "write"]
__version__ = "1.0.0"
