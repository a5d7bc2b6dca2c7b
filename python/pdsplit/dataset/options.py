"""The options of a collection and what every layer of pdsplit.dataset
shares: the options checked (make_options), the form stored in a dataset
and its checkpoints (stored_options), the format version, the errors
(CollectError, ShardsMissing) and the summary a collection hands back
(Collected). It imports nothing of pdsplit.dataset."""
import math
from dataclasses import dataclass, field

from .. import __version__

FORMAT_VERSION = 1
DEFAULT_CHANNELS = ["all(s)", "all(p)", "all(d)", "all(f)"]
SPIN_RULE = ("dos: up + down (spin-polarised runs), the DOS column otherwise; "
             "magnetisation: up - down, 0 without spin, mz for the projections of "
             "non-collinear runs and NaN for their total (the total block has none)")


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
    this time; kept: rows kept from before; failed: failures listed in the
    dataset; new_failures: of them, from runs read this time; dropped: stored
    runs that are gone (paths); warnings: what went wrong after the dataset
    was written (FILE.failures.jsonl not written: failures_file is None)."""
    output: str
    failures_file: str
    runs: int = 0
    read: int = 0
    kept: int = 0
    failed: int = 0
    new_failures: int = 0
    dropped: list = field(default_factory=list)
    warnings: list = field(default_factory=list)


def make_options(grid, align, sigma, channels, sites, band_erange, window, gap_tol,
                 noncollinear):
    """The options of _core._collect_batch from collect's arguments, checked."""
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
    """The options as a dataset and its checkpoints record them."""
    return dict(options, format_version=FORMAT_VERSION, pdsplit_version=__version__)


def differing_options(stored, wanted):
    """The names of the options that differ between a stored collection and this one."""
    names = sorted(set(stored) | set(wanted))
    return [n for n in names if stored.get(n) != wanted.get(n)]
