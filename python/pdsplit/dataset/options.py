"""The options of a collection and what every layer of pdsplit.dataset
shares: the options checked (make_options), the form stored in a dataset
and its checkpoints (stored_options), the format version, the errors
(CollectError, ShardsMissing) and the summary a collection hands back
(Collected). It imports nothing of pdsplit.dataset."""
from dataclasses import dataclass, field

from .. import __version__, _core

# 2: the run coordinate (the run's path, formerly the variable path),
# align_energy (formerly shift), band edges around E_F with pymatgen's kept
# as *_pymatgen, dos_ef, magnetic_moment_dos, coarse, file_step, filling
# within band_erange, noncollinear stored as auto/yes/no
FORMAT_VERSION = 2
FIX = "noncollinear_fix"  # not an option of the library: the reason's wording
COMMAND_FIX = "--noncollinear yes or --noncollinear no"
NONCOLLINEAR_WORDS = {-1: "auto", 0: "no", 1: "yes"}
DEFAULT_CHANNELS = ["all(s)", "all(p)", "all(d)", "all(f)"]
SPIN_RULE = ("dos: up + down (spin-polarised runs), the DOS column otherwise; "
             "magnetisation: up - down, 0 without spin, mz for the projections of "
             "non-collinear runs and NaN for their total (the total block has none); "
             "16 values per point that neither noncollinear nor INCAR decides: spin unknown, "
             "the total DOS kept, its magnetisation and the projected channels NaN")


class CollectError(Exception):
    """A collection refused or impossible: no runs found, options other than
    those the output was made with, another writer at work on the output,
    an output that is not a dataset of pdsplit.collect."""


class ShardsMissing(CollectError):
    """Shards absent, damaged or cut: `missing` holds their indices."""

    def __init__(self, message, missing):
        super().__init__(message)
        self.missing = missing


@dataclass
class Collected:
    """What pdsplit.collect did. runs: rows in the dataset; read: runs read
    this time (new_failures of them failed); kept: rows and failures kept
    from before; failed: failures listed in the dataset, causes: their
    count per cause; dropped: stored runs that are gone (paths); warnings:
    what the collection found amiss (folders it could not search,
    checkpoints dropped, files left in place, FILE.failures.jsonl not
    written: failures_file is None)."""
    output: str
    failures_file: str
    runs: int = 0
    read: int = 0
    kept: int = 0
    failed: int = 0
    new_failures: int = 0
    dropped: list = field(default_factory=list)
    warnings: list = field(default_factory=list)
    causes: dict = field(default_factory=dict)


def make_options(grid, align, sigma, channels, sites, band_erange, window, gap_tol,
                 noncollinear, noncollinear_fix=None):
    """The options of _core._collect_batch from collect's arguments, checked
    by the library's limits (_core._check_collect_options: ValueError naming
    the option, before any run is read). noncollinear_fix: how the caller
    sets noncollinear (the command: its option), named in the reason of a
    run that needs it; carried to the readers (read_options), never stored."""
    if align not in ("efermi", "vbm"):
        raise ValueError(f'align: "efermi" or "vbm", not {align!r}')
    channels = list(DEFAULT_CHANNELS if channels is None else channels)
    if not all(isinstance(c, str) for c in channels):
        raise TypeError("channels: a list of selections such as 'O(p)'")
    options = {"grid": _numbers("grid", grid, 3), "align": align, "sigma": float(sigma),
               "channels": channels, "sites": bool(sites), "gap_tol": float(gap_tol),
               "noncollinear": -1 if noncollinear is None else int(bool(noncollinear)),
               "band_erange": _numbers("band_erange", band_erange, 2),
               "window": _numbers("window", window, 2)}
    _core._check_collect_options(options)
    if noncollinear_fix is not None:
        options[FIX] = str(noncollinear_fix)
    return options


def _numbers(name, values, count):
    values = [float(x) for x in values]
    if len(values) != count:
        raise ValueError(f"{name}: {count} numbers, not {len(values)}")
    return values


def read_options(options):
    """(the options of _core._collect_batch, its other keywords: the
    noncollinear_fix given, else the library's own, the function's words)."""
    core = {k: v for k, v in options.items() if k != FIX}
    return core, ({FIX: options[FIX]} if FIX in options else {})


def grid_bins(grid):
    """The bins of the grid (emin, emax, step): the library's one rule."""
    return _core._grid_bins(*grid)


def stored_options(options):
    """The options as a dataset and its checkpoints record them: noncollinear
    as a word (auto, yes, no), without how the caller names it."""
    stored = {k: v for k, v in options.items() if k != FIX}
    stored["noncollinear"] = NONCOLLINEAR_WORDS[options["noncollinear"]]
    return dict(stored, format_version=FORMAT_VERSION, pdsplit_version=__version__)


def check_format(made, where):
    """CollectError unless the stored options `made` (of a dataset, its
    checkpoints or a shard folder, `where`) are of this FORMAT_VERSION: rows
    of another format hold other variables and descriptors by other rules,
    and are never mixed with new ones."""
    version = made.get("format_version")
    if version != FORMAT_VERSION:
        raise CollectError(
            f"{where}: made by pdsplit {made.get('pdsplit_version', '(unknown)')} in dataset "
            f"format {version}; this pdsplit writes format {FORMAT_VERSION} (the run "
            "coordinate, align_energy, band edges around E_F; see docs/troubleshooting.md): "
            "collect into another output, or remove it to collect every run again")


def differing_options(stored, wanted):
    """The names of the options that differ between a stored collection and this one."""
    names = sorted(set(stored) | set(wanted))
    return [n for n in names if stored.get(n) != wanted.get(n)]
