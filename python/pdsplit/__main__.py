"""python3 -m pdsplit: the DOS of selections, written into one column file
with a header line naming the columns."""
import argparse
import os
import sys

import numpy as np

import pdsplit
from pdsplit._core import _refuse_output
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
that cannot be written or is refused (an empty name, a DOSCAR, DOSCAR.gz,
.xz or .bz2, a link to one or to the file read); the DoscarError number
(24, 64, 1 ...) for a file that cannot be read; 2 wrong options."""

EXAMPLES = """
Examples:
  python3 -m pdsplit "O(p)" "Fe(t2g)" "Fe(eg)"      O p, Fe t2g and eg
  python3 -m pdsplit --dir run1 -o Ti-d.dat "Ti(d)"
  python3 -m pdsplit --no-shift total "1-8(d)" "all(d)"
  python3 -m pdsplit --structure POSCAR.vasp5 --collinear "Fe,Co(d)"

Many runs into one dataset: python3 -m pdsplit collect --help; the shards
of a collection into one: python3 -m pdsplit merge --help.
"""

# The library's advice names read()'s arguments; the command's options
# stand for them here.
ADVICE = [
    ("read it with noncollinear=True or noncollinear=False",
     "run the command with --noncollinear or --collinear"),
    ("Give read(..., structure=...) a list of symbols, an ASE Atoms, a pymatgen Structure or a "
     "POSCAR with element symbols", "Give --structure a POSCAR or CONTCAR with element symbols"),
]


def _parser():
    parser = argparse.ArgumentParser(
        prog="python3 -m pdsplit",
        description=DESCRIPTION,
        epilog=GRAMMAR + EXAMPLES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("selections", nargs="+", metavar="SELECTION",
                        help='e.g. "O(p)", "Fe(t2g,eg)", "Fe,Co(d)", "1-8(d)", "all(d)", total '
                        "(grammar below)")
    parser.add_argument("--dir", default=".", metavar="RUN",
                        help="the run's folder or its DOS file (default: .): in a folder the "
                        "DOSCAR (also .gz, .xz, .bz2) is read, else vasprun.xml (in the same "
                        "forms), else vaspout.h5")
    parser.add_argument("--no-shift", action="store_true",
                        help="energies as in the file, not minus the Fermi level")
    parser.add_argument("-o", metavar="FILE", dest="output",
                        help=f"the output file (default: {DEFAULT_NAME} beside the DOSCAR)")
    parser.add_argument("--structure", metavar="FILE",
                        help="the POSCAR or CONTCAR that names the element of every atom "
                        "(default: CONTCAR or POSCAR beside the DOSCAR)")
    kind = parser.add_mutually_exclusive_group()
    kind.add_argument("--noncollinear", action="store_const", const=True, dest="noncollinear",
                      help="per-atom lines of 16 values are a non-collinear run's "
                      "(default: INCAR beside the DOSCAR tells)")
    kind.add_argument("--collinear", action="store_const", const=False, dest="noncollinear",
                      help="per-atom lines of 16 values are a collinear run's")
    return parser


def _fail(error, status):
    text = str(error)
    if isinstance(error, KeyError) and error.args:
        text = error.args[0]
    elif isinstance(error, OSError) and error.filename:
        text = f"{os.fsdecode(error.filename)}: {error.strerror}"
    for library, command in ADVICE:
        text = text.replace(library, command)
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
    argv = sys.argv[1:] if argv is None else list(argv)
    if argv[:1] == ["collect"]:  # python3 -m pdsplit collect: many runs into one dataset
        from pdsplit.dataset.cli import main as collect_main

        return collect_main(argv[1:])
    if argv[:1] == ["merge"]:  # python3 -m pdsplit merge: the shards of a collection into one
        from pdsplit.dataset.cli import merge_main

        return merge_main(argv[1:])
    args = _parser().parse_args(argv)
    try:
        dos = pdsplit.read(args.dir, noncollinear=args.noncollinear, structure=args.structure)
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
    output = args.output
    if output is None:
        output = os.path.normpath(os.path.join(os.path.dirname(dos.path), DEFAULT_NAME))
    try:
        _refuse_output(output, dos.path)
        pdsplit.write(output, table, shift=0.0 if args.no_shift else dos.efermi, header=names)
    except pdsplit.DoscarError as e:
        return _fail(e, e.number)
    except (ValueError, OSError) as e:
        return _fail(e, 1)
    print(output)
    return 0


if __name__ == "__main__":
    sys.exit(main())
