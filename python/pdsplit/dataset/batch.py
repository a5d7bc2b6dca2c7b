"""The unit of work of a collection, the same on every executor (threads,
a Dask worker, a shard task): a batch of run folders in, read by
_core._collect_batch into results (numbers, strings and numpy arrays:
rows and failures); and those results as the keys and rows that the
collection keeps (rows_from_results). Imports options and schema."""
from .. import _core
from .options import read_options
from .schema import counts, is_failure, row_from_result


def read_batch(folders, options):
    """The task of an executor: the run folders `folders` read, one result
    each (options: make_options', the caller's noncollinear_fix with them)."""
    core, keywords = read_options(options)
    return _core._collect_batch(folders, core, **keywords)


def refused_result(message, doscar):
    """The result of a run refused unopened (find.Run.refused), as the
    reader gives a failure."""
    return {"ok": False, "doscar": doscar, "error_type": "DoscarError", "error_number": 1,
            "error_cause": "not-a-regular-file", "error_message": message}


def rows_from_results(batch, results, labels):
    """(keys, rows) of a finished batch ([(Run, fingerprint)], the results of
    read_batch); a key is (real path, failed, element rows, site rows,
    fingerprint)."""
    keys, rows = [], []
    for (run, fp), result in zip(batch, results):
        row = row_from_result(result, "", labels.get(run.real, run.label), fp)
        ne, ns = counts(row)
        keys.append((run.real, is_failure(row), ne, ns, fp))
        rows.append(row)
    return keys, rows
