"""python3 -m pdsplit: the DOS of selections, written into one column file
with a header line naming the columns."""
import argparse
import os
import sys

import numpy as np

import pdsplit
from pdsplit._grammar import GRAMMAR

DEFAULT_NAME = "iSELDOS"

DESCRIPTION = f"""\
Writes the DOS of each SELECTION of the run's DOSCAR into one file: the
energy (minus the Fermi level unless --no-shift), then each selection's
columns: its DOS (non-spin), up and down (spin-polarised), or its DOS, mx,
my and mz (non-collinear), after a "#" line that names them ("O(p)_up").
The energies are those of the first selection (the total block's for
"total", else atom 1's). The file is {DEFAULT_NAME} beside the DOSCAR unless -o
names one; its name is all that is printed.

Exit status: 0 written; 1 a selection that is not in the language or not
in the file, a DOSCAR or structure file that cannot be opened, an output
that cannot be written; the DoscarError number (24, 64, 1 ...) for a file
that cannot be read; 2 wrong options."""

EXAMPLES = """
Examples:
  python3 -m pdsplit "O(p)" "Fe(t2g)" "Fe(eg)"      O p, Fe t2g and eg
  python3 -m pdsplit --dir run1 -o Ti-d.dat "Ti(d)"
  python3 -m pdsplit --no-shift total "1-8(d)"
"""


def _parser():
    parser = argparse.ArgumentParser(
        prog="python3 -m pdsplit",
        description=DESCRIPTION,
        epilog=GRAMMAR + EXAMPLES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("selections", nargs="+", metavar="SELECTION",
                        help='e.g. "O(p)", "Fe(t2g,eg)", "1-8(d)", total (grammar below)')
    parser.add_argument("--dir", default=".", metavar="RUN",
                        help="the run's folder or its DOSCAR file (default: .); DOSCAR.gz, "
                        ".xz and .bz2 are read as well")
    parser.add_argument("--no-shift", action="store_true",
                        help="energies as in the file, not minus the Fermi level")
    parser.add_argument("-o", metavar="FILE", dest="output",
                        help=f"the output file (default: {DEFAULT_NAME} beside the DOSCAR)")
    return parser


def _fail(error, status):
    text = str(error)
    if isinstance(error, KeyError) and error.args:
        text = error.args[0]
    elif isinstance(error, OSError) and error.filename:
        text = f"{os.fsdecode(error.filename)}: {error.strerror}"
    print(f"pdsplit: {text}", file=sys.stderr)
    return status


def _table(dos, selections):
    """The energy, then every selection's columns, and their names."""
    columns, names = [], []
    for selection in selections:
        block = dos.select(selection)
        if not columns:
            columns.append(block[:, 0])
        columns.extend(block[:, k] for k in range(1, block.shape[1]))
        names.extend(dos.select_columns(selection))
    return np.column_stack(columns), ["energy"] + names


def main(argv=None):
    args = _parser().parse_args(argv)
    try:
        dos = pdsplit.read(args.dir)
    except pdsplit.DoscarError as e:
        return _fail(e, e.number)
    except OSError as e:
        return _fail(e, 1)
    try:
        table, names = _table(dos, args.selections)
    except pdsplit.DoscarError as e:
        return _fail(e, e.number)
    except (ValueError, KeyError, OSError) as e:
        return _fail(e, 1)
    output = args.output or os.path.normpath(os.path.join(os.path.dirname(dos.path), DEFAULT_NAME))
    try:
        pdsplit.write(output, table, shift=0.0 if args.no_shift else dos.efermi, header=names)
    except pdsplit.DoscarError as e:
        return _fail(e, e.number)
    except (ValueError, OSError) as e:
        return _fail(e, 1)
    print(output)
    return 0


if __name__ == "__main__":
    sys.exit(main())
