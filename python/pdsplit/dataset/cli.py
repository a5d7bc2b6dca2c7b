"""The commands of the dataset: `python3 -m pdsplit collect` (pdsplit.collect),
its `--list-runs` and `--shard K/N` (a collection in shards), and
`python3 -m pdsplit merge DIR -o FILE`; each maps the outcome to an exit
status. Imports options, interrupts, dask, collection, shards and merge."""
import argparse
import re
import sys

from .collection import collect
from .dask import check_address
from .interrupts import exit_if_abandoned, guarded
from .merge import merge_shards
from .options import COMMAND_FIX, CollectError, ShardsMissing, make_options
from .shards import array_ranges, collect_shard, format_list, list_runs, missing_shards

MISSING = 5  # merge: shards absent, damaged or cut; nothing written

DESCRIPTION = """\
Collects the DOS of many VASP runs on one energy grid, with descriptors, into
one netCDF-4 (HDF5) file for training models: per run the DOS and
magnetisation of each channel, per element and (--sites) per atom the DOS by
orbital, and the runs that could not be read with their causes (also in
FILE.failures.jsonl). A SOURCE is a folder searched recursively for run
folders (folders that hold a DOSCAR, vasprun.xml or vaspout.h5, also
compressed; the DOSCAR is read first, then vasprun.xml, then vaspout.h5), a
run folder, or a file that lists run folders one a line, each optionally
followed by a label ("-": standard input).

Run the same command again to resume after a stop or to update the file:
runs whose DOS files, EIGENVAL, structure file and INCAR are unchanged are
kept, new and changed runs are read, runs that are gone are dropped, failed
runs are read again only with --retry-failed. Other options than the file
was made with are refused. Ctrl-C (or SIGTERM) stops within a second, keeping
the runs read in FILE.parts/ for the next run.

Exit status: 0 every run read; 3 the file written and some runs failed
(also when only FILE.failures.jsonl could not be written: a warning says
so); 4 nothing written (no runs found, options refused, another collection
at work on FILE, FILE not writable or named like a run's input: DOSCAR*,
vasprun.xml*, vaspout.h5, INCAR*, POSCAR*, CONTCAR*, EIGENVAL*; a Dask
cluster lost); 2 wrong options; 130 interrupted.

In shards (a Slurm job array): `--list-runs` prints the run list of the
SOURCEs once; `LIST --shard K/N -o DIR` collects the K-th of N parts of it
into DIR/shard-K-of-N.nc (0 also when some of its runs failed: they are
listed in it; a shard complete already is skipped); `python3 -m pdsplit
merge DIR -o FILE` makes the dataset."""

EXAMPLES = """
Examples:
  python3 -m pdsplit collect runs/ -o dos.nc
  find . -name 'DOSCAR*' -printf '%h\\n' | python3 -m pdsplit collect - -o dos.nc
  python3 -m pdsplit collect runs/ -o dos.nc --grid -8 6 0.02 --align vbm -c "O(p)"
"""

MERGE_DESCRIPTION = """\
Merges the shard files that `python3 -m pdsplit collect LIST --shard K/N -o
DIR` wrote into DIR into one dataset FILE, equal to `python3 -m pdsplit
collect LIST -o FILE`: no run is read again and no array is recompressed.
Shards of another run list, shard count, index or options are refused, and
with --runs LIST shards made from another list than LIST (runs added or
removed since); shards absent, damaged (failing the checksum recorded when
they were finished) or cut (a Slurm task that failed) are named, with the
--array indices to collect again, and nothing is written. FILE is never a
DOSCAR, a run's INCAR, POSCAR or CONTCAR, or an existing file that is not a
dataset (a shard, the run list, shards.json).

Exit status: 0 every run read; 3 FILE written and some runs failed (listed
in FILE.failures.jsonl); 4 nothing written (shards of another collection,
FILE refused, being written by another process, or no room for it); 5
shards missing, incomplete or damaged, nothing written; 2 wrong options.
With --missing: the indices of the shards to collect again on standard
output (1-3,5; nothing when none), 0; 4 with the reason where the merge
would be refused."""

MERGE_EXAMPLES = """
Examples:
  python3 -m pdsplit collect runs/ --list-runs > runs.txt
  python3 -m pdsplit collect runs.txt --shard 0/4 -o shards/   (... up to 3/4)
  python3 -m pdsplit merge shards/ -o dos.nc --runs runs.txt
  sbatch --array=$(python3 -m pdsplit merge shards/ --missing --runs runs.txt) collect.sbatch
"""


def _parser():
    p = argparse.ArgumentParser(prog="python3 -m pdsplit collect", description=DESCRIPTION,
                                epilog=EXAMPLES,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("sources", nargs="+", metavar="SOURCE",
                   help="a folder of runs, a run folder, or a file listing run folders (-: stdin)")
    p.add_argument("-o", "--output", metavar="FILE",
                   help="the dataset file (with --shard: the folder of the shard files)")
    p.add_argument("--grid", nargs=3, type=float, default=(-10.0, 10.0, 0.05),
                   metavar=("EMIN", "EMAX", "STEP"),
                   help="energy bins in eV relative to the alignment energy: (EMAX - EMIN) / "
                   "STEP rounded, a half up, 1 to 200000 bins (default: -10 10 0.05)")
    p.add_argument("--align", choices=("efermi", "vbm"), default="efermi",
                   help="energy zero: the Fermi level, or the VBM where there is a gap "
                   "(default efermi)")
    p.add_argument("--sigma", type=float, default=0.0,
                   help="Gaussian broadening, eV (default 0; its kernel, 5 sigma to each side, "
                   "bounded: see docs/dataset.md)")
    p.add_argument("-c", "--channel", action="append", dest="channels", metavar="SELECTION",
                   help="a channel after total, e.g. \"O(p)\" (repeat; default: all(s) all(p) "
                   "all(d) all(f))")
    p.add_argument("--sites", action="store_true", help="also the DOS of every atom by orbital")
    p.add_argument("--band-erange", nargs=2, type=float, metavar=("LO", "HI"),
                   default=(-10.0, 10.0),
                   help="energies (eV, relative to E_F) of the band moments (default -10 10)")
    p.add_argument("--window", nargs=2, type=float, metavar=("LO", "HI"), default=(-1.0, 0.0),
                   help="energies (eV, relative to E_F) of states_window (default -1 0)")
    p.add_argument("--gap-tol", type=float, default=0.001, metavar="T",
                   help="a point of the run's DOS is empty (band edges) when its DOS is at most "
                   "T times the run's mean DOS (default 0.001)")
    p.add_argument("--noncollinear", choices=("auto", "yes", "no"), default="auto",
                   help="how to take 16 values per point (and nothing else): yes non-collinear, "
                   "no collinear with f orbitals; auto: INCAR decides (LNONCOLLINEAR, LSORBIT), "
                   "and without one such runs keep their total DOS (default auto)")
    p.add_argument("-j", "--workers", type=int, metavar="N", help="threads (default: all cores)")
    p.add_argument("--batch-size", type=int, metavar="N", help="runs per task (default 8-32)")
    p.add_argument("--retry-failed", action="store_true", help="read failed runs again")
    p.add_argument("--list-runs", action="store_true",
                   help="print the run list of the sources (a list file for --shard); no -o")
    p.add_argument("--shard", metavar="K/N",
                   help="collect the K-th of N parts of the runs (0 <= K < N) into a file of "
                   "the folder -o; see `python3 -m pdsplit merge`")
    p.add_argument("--scheduler", metavar="ADDRESS",
                   help="read on the Dask cluster of this scheduler (needs python3-distributed)")
    p.add_argument("-q", "--quiet", action="store_true", help="no progress and no summary")
    return p


def _summary(done):
    read = done.read - done.new_failures  # rows read now, failures apart
    text = f"pdsplit collect: {done.runs} runs in {done.output} ({read} read, " \
           f"{done.runs - read} kept), {_failed(done)}"
    if done.dropped:
        text += f", {len(done.dropped)} gone and dropped"
    return text


def _failed(done):
    """'3 failed (2 truncated, 1 no-doscar; listed in FILE)', or '0 failed'."""
    if not done.failed:
        return "0 failed"
    causes = ", ".join(f"{n} {cause}" for cause, n in done.causes.items())
    return f"{done.failed} failed ({causes}; listed in {done.failures_file})"


def _option_error(message):
    """A refusal of the options in the command's words: "gap_tol: ..." is
    "--gap-tol: ..."."""
    return re.sub(r"^([a-z_]+):", lambda m: "--" + m.group(1).replace("_", "-") + ":", message)


def _run(command, work, errors, interrupted):
    """(work(), None), or (None, exit status) after saying why: `errors`
    maps exception types to the status of nothing written (4, 5), 130 when
    interrupted (`interrupted`: what is kept). One handler turns SIGTERM
    (Slurm's end of a job) and Ctrl-C alike into KeyboardInterrupt
    (interrupts.guarded); a process whose reading threads were abandoned
    ends here."""
    try:
        return guarded(work), None
    except KeyboardInterrupt:
        print(f"pdsplit {command}: interrupted; {interrupted}", file=sys.stderr)
        status = 130
    except Exception as e:
        status = next((s for kind, s in errors.items() if isinstance(e, kind)), None)
        if status is None:
            raise
        print(f"pdsplit {command}: {e}; nothing written", file=sys.stderr)
    exit_if_abandoned(status)
    return None, status


KEPT = "the runs read so far are kept for the next run"


def _warn(done):
    for text in done.warnings:
        print(f"pdsplit collect: warning: {text}", file=sys.stderr)


def main(argv):
    parser = _parser()
    args = parser.parse_args(argv)
    if args.workers is not None and args.workers < 1 or args.batch_size is not None and \
            args.batch_size < 1:
        parser.error("--workers and --batch-size take 1 or more")
    noncollinear = {"auto": None, "yes": True, "no": False}[args.noncollinear]
    try:  # the limits checked before any run is read
        make_options(args.grid, args.align, args.sigma, args.channels, args.sites,
                     args.band_erange, args.window, args.gap_tol, noncollinear)
    except (ValueError, TypeError) as e:
        parser.error(_option_error(str(e)))
    if args.scheduler:
        try:
            check_address(args.scheduler)
        except ValueError as e:
            parser.error(f"--{e}")
        except ImportError:
            pass  # collect says what to install
    if args.list_runs or args.shard or args.output is None:
        return shard_command(parser, args, noncollinear)
    done, status = _run("collect", lambda: collect(
        args.sources, args.output, grid=args.grid, align=args.align, sigma=args.sigma,
        channels=args.channels, sites=args.sites, band_erange=args.band_erange,
        window=args.window, gap_tol=args.gap_tol, noncollinear=noncollinear,
        workers=args.workers, batch_size=args.batch_size, progress=not args.quiet,
        retry_failed=args.retry_failed, client=args.scheduler, noncollinear_fix=COMMAND_FIX),
        {(CollectError, OSError, ImportError): 4}, KEPT)
    if status is not None:
        return status
    _warn(done)
    if not args.quiet:
        print(_summary(done))
    return 3 if done.failed else 0


def shard_command(parser, args, noncollinear):
    """`collect --list-runs` and `collect LIST --shard K/N -o DIR`."""
    if args.list_runs:
        if args.shard or args.output:
            parser.error("--list-runs takes neither -o nor --shard")
        try:
            sys.stdout.write(format_list(list_runs(args.sources)))
        except (CollectError, OSError) as e:
            print(f"pdsplit collect: {e}", file=sys.stderr)
            return 4
        return 0
    if args.output is None:
        parser.error("the following arguments are required: -o/--output")
    m = re.fullmatch(r"(\d+)/(\d+)", args.shard)
    if not m or not int(m.group(1)) < int(m.group(2)):
        parser.error(f"--shard: K/N with 0 <= K < N, not {args.shard}")
    if args.scheduler:
        parser.error("--shard reads on this machine; --scheduler is for whole collections")
    shard, shards = int(m.group(1)), int(m.group(2))
    done, status = _run("collect", lambda: collect_shard(
        args.sources, args.output, shard, shards, workers=args.workers,
        batch_size=args.batch_size, progress=not args.quiet, retry_failed=args.retry_failed,
        grid=args.grid, align=args.align, sigma=args.sigma, channels=args.channels,
        sites=args.sites, band_erange=args.band_erange, window=args.window,
        gap_tol=args.gap_tol, noncollinear=noncollinear, noncollinear_fix=COMMAND_FIX),
        {(CollectError, OSError): 4}, KEPT)
    if status is not None:
        return status
    if not args.quiet:
        what = "complete already, skipped" if done.skipped else "written"
        failed = done.collected.failed if done.collected else 0
        print(f"pdsplit collect: shard {shard}/{shards} ({done.runs} runs, {failed} failed) "
              f"{what}: {done.path}")
    return 0


def merge_main(argv):
    p = argparse.ArgumentParser(prog="python3 -m pdsplit merge", description=MERGE_DESCRIPTION,
                                epilog=MERGE_EXAMPLES,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("folder", metavar="DIR", help="the folder of the shard files")
    p.add_argument("-o", "--output", metavar="FILE", help="the dataset file")
    p.add_argument("--missing", action="store_true",
                   help="print the indices of the missing shards (for sbatch --array) and stop")
    p.add_argument("--runs", metavar="LIST",
                   help="the run list the shards are for: shards made from another are refused")
    p.add_argument("-q", "--quiet", action="store_true", help="no summary")
    args = p.parse_args(argv)
    if args.missing:
        try:
            text = array_ranges(missing_shards(args.folder, args.runs))
        except (CollectError, OSError) as e:
            print(f"pdsplit merge: {e}", file=sys.stderr)
            return 4
        if text:
            print(text)
        return 0
    if args.output is None:
        p.error("the following arguments are required: -o/--output")
    done, status = _run("merge", lambda: merge_shards(args.folder, args.output, args.runs),
                        {ShardsMissing: MISSING, (CollectError, OSError): 4}, "nothing written")
    if status is not None:
        return status
    if not args.quiet:
        print(f"pdsplit merge: {done.runs} runs in {done.output}, {_failed(done)}")
    return 3 if done.failed else 0
