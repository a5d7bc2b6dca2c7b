"""`python3 -m pdsplit collect --list-runs | --shard K/N` and
`python3 -m pdsplit merge DIR -o FILE`: a collection in shards."""
import argparse
import re
import signal
import sys
import threading

from ._collect import CollectError

MISSING = 5  # merge: shards absent, damaged or cut; nothing written

MERGE_DESCRIPTION = """\
Merges the shard files that `python3 -m pdsplit collect LIST --shard K/N -o
DIR` wrote into DIR into one dataset FILE, equal to `python3 -m pdsplit
collect LIST -o FILE`: no run is read again and no array is recompressed.
Shards of another run list, shard count or options are refused; shards
absent, damaged or cut (a Slurm task that failed) are named, with the
--array indices to collect again, and nothing is written.

Exit status: 0 every run read; 3 FILE written and some runs failed (listed
in FILE.failures.jsonl); 4 nothing written (shards of another collection,
FILE being written by another process or not writable); 5 shards missing or
incomplete, nothing written; 2 wrong options. With --missing: the indices
of the missing shards on standard output (1,4-6; nothing when none), 0."""

MERGE_EXAMPLES = """
Examples:
  python3 -m pdsplit collect runs/ --list-runs > runs.txt
  python3 -m pdsplit collect runs.txt --shard 0/4 -o shards/   (... up to 3/4)
  python3 -m pdsplit merge shards/ -o dos.nc
  sbatch --array=$(python3 -m pdsplit merge shards/ --missing) collect.sbatch
"""


def _terminate(signum, frame):
    raise KeyboardInterrupt


def _with_sigterm(work):
    """work() with SIGTERM (Slurm's end of a job) raising KeyboardInterrupt."""
    previous = None
    if threading.current_thread() is threading.main_thread():
        previous = signal.signal(signal.SIGTERM, _terminate)
    try:
        return work()
    finally:
        if previous is not None:
            signal.signal(signal.SIGTERM, previous)


def shard_command(parser, args, noncollinear):
    from ._collect_shard import collect_shard, format_list, list_runs

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
    try:
        done = _with_sigterm(lambda: collect_shard(
            args.sources, args.output, shard, shards, workers=args.workers,
            batch_size=args.batch_size, progress=not args.quiet, retry_failed=args.retry_failed,
            grid=args.grid, align=args.align, sigma=args.sigma, channels=args.channels,
            sites=args.sites, band_erange=args.band_erange, window=args.window,
            gap_tol=args.gap_tol, noncollinear=noncollinear))
    except (CollectError, OSError) as e:
        print(f"pdsplit collect: {e}; nothing written", file=sys.stderr)
        return 4
    except KeyboardInterrupt:
        print("pdsplit collect: interrupted; the runs read so far are kept for the next run",
              file=sys.stderr)
        return 130
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
    p.add_argument("-q", "--quiet", action="store_true", help="no summary")
    args = p.parse_args(argv)
    from ._collect_shard import array_ranges, missing_shards

    if args.missing:
        try:
            text = array_ranges(missing_shards(args.folder))
        except (CollectError, OSError) as e:
            print(f"pdsplit merge: {e}", file=sys.stderr)
            return 4
        if text:
            print(text)
        return 0
    if args.output is None:
        p.error("the following arguments are required: -o/--output")
    from ._collect_shard import ShardsMissing, merge_shards

    try:
        done = merge_shards(args.folder, args.output)
    except ShardsMissing as e:
        print(f"pdsplit merge: {e}; nothing written", file=sys.stderr)
        return MISSING
    except (CollectError, OSError) as e:
        print(f"pdsplit merge: {e}; nothing written", file=sys.stderr)
        return 4
    if not args.quiet:
        text = f"pdsplit merge: {done.runs} runs in {done.output}, {done.failed} failed"
        print(text + (f" (listed in {done.failures_file})" if done.failed else ""))
    return 3 if done.failed else 0
