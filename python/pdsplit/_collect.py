"""pdsplit.collect: the DOS of many runs on one energy grid, with descriptors,
into one netCDF-4 file for training models; resumable, one writer at a time.
The work is in _collect_run (h5py is imported when it runs)."""
import math
import sys
from dataclasses import dataclass, field

FORMAT_VERSION = 1
DEFAULT_CHANNELS = ["all(s)", "all(p)", "all(d)", "all(f)"]
SPIN_RULE = ("dos: up + down (spin-polarised runs), the DOS column otherwise; "
             "magnetisation: up - down, 0 without spin, mz for the projections of "
             "non-collinear runs and NaN for their total (the total block has none)")


class CollectError(Exception):
    """A collection refused or impossible: no runs found, options other than
    those the output was made with, another writer at work on the output,
    an output that is not a dataset of pdsplit.collect."""


@dataclass
class Collected:
    """What pdsplit.collect did. runs: rows in the dataset; read: runs read
    this time; kept: rows kept from before; failed: failures listed in the
    dataset; new_failures: of them, from runs read this time; dropped: stored
    runs that are gone (paths)."""
    output: str
    failures_file: str
    runs: int = 0
    read: int = 0
    kept: int = 0
    failed: int = 0
    new_failures: int = 0
    dropped: list = field(default_factory=list)


def _options(grid, align, sigma, channels, sites, band_erange, window, gap_tol, noncollinear):
    emin, emax, step = (float(x) for x in grid)
    if not (step > 0 and emax > emin and math.isfinite(emin) and math.isfinite(emax)):
        raise ValueError(f"grid: (emin, emax, step) with emin < emax and step > 0, not {grid}")
    if align not in ("efermi", "vbm"):
        raise ValueError(f'align: "efermi" or "vbm", not {align!r}')
    if not sigma >= 0:
        raise ValueError(f"sigma: 0 or more eV, not {sigma}")
    channels = list(DEFAULT_CHANNELS if channels is None else channels)
    if not all(isinstance(c, str) for c in channels):
        raise TypeError("channels: a list of selections such as 'O(p)'")
    options = {"grid": [emin, emax, step], "align": align, "sigma": float(sigma),
               "channels": channels, "sites": bool(sites), "gap_tol": float(gap_tol),
               "noncollinear": -1 if noncollinear is None else int(bool(noncollinear))}
    for name, value in (("band_erange", band_erange), ("window", window)):
        lo, hi = (float(x) for x in value)
        if not lo < hi:
            raise ValueError(f"{name}: (lo, hi) with lo < hi, not {value}")
        options[name] = [lo, hi]
    return options


def stored_options(options):
    from . import __version__
    return dict(options, format_version=FORMAT_VERSION, pdsplit_version=__version__)


def collect(sources, output, *, grid=(-10.0, 10.0, 0.05), align="efermi", sigma=0.0,
            channels=None, sites=False, band_erange=(-10.0, 10.0), window=(-1.0, 0.0),
            gap_tol=0.001, noncollinear=None, labels=None, workers=None, batch_size=None,
            progress=False, retry_failed=False, client=None):
    """The DOS of many VASP runs on one energy grid, with descriptors, into
    one netCDF-4 (HDF5) file `output`; returns a Collected summary.

    sources: a folder searched recursively for run folders (folders that hold
        DOSCAR, DOSCAR.gz, .xz or .bz2), a run folder, or a file that lists
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

    Calling it again with the same output resumes or updates the dataset:
    runs whose files are unchanged are kept, new and changed ones read, gone
    ones dropped. Runs that cannot be read are listed in the dataset and in
    OUTPUT.failures.jsonl. Raises CollectError when refused (no runs, other
    options than the output was made with, another writer), and
    KeyboardInterrupt after saving the finished batches when interrupted.
    """
    options = _options(grid, align, sigma, channels, sites, band_erange, window, gap_tol,
                       noncollinear)
    say = (lambda text: print(text, file=sys.stderr)) if progress else (lambda text: None)
    try:
        from ._collect_run import run_collection
    except ImportError as e:
        raise ImportError(f"pdsplit.collect needs h5py and h5netcdf ({e}; Debian: apt-get "
                          "install python3-h5py python3-h5netcdf)") from e
    if client is None:
        return run_collection(sources, output, options, workers=workers,
                              batch_size=batch_size, progress=progress,
                              retry_failed=retry_failed, labels=labels, say=say)
    from ._collect_dask import connect, dask_reader

    client, close = connect(client)
    try:
        return run_collection(sources, output, options, workers=workers,
                              batch_size=batch_size, progress=progress,
                              retry_failed=retry_failed, labels=labels, say=say,
                              reader=dask_reader(client))
    finally:
        if close:
            client.close()

