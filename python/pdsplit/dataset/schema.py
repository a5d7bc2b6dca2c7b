"""The variables of a dataset (SCHEMA: every variable, its dimensions, type
and units) and one run as a flat row of them: a row from a result of
_core._collect_batch (a success or a failure), its key counts. Hands rows
to the checkpoints (store) and the writer (netcdf). Imports nothing of
pdsplit.dataset."""
import math
import os
import re
from functools import reduce

import numpy as np

STR = "str"
DESCRIPTORS = ["gap", "vbm", "cbm", "gap_pymatgen", "vbm_pymatgen", "cbm_pymatgen", "dos_ef",
               "dos_ef_up", "dos_ef_down", "spin_polarisation", "magnetic_moment",
               "magnetic_moment_dos", "states_window"]
# The band edges of the eigenvalues (eV; NaN where the run has none).
EIGENVALUE_EDGES = ["eigenvalue_gap", "eigenvalue_vbm", "eigenvalue_cbm"]
CHANNEL_DESCRIPTORS = ["band_centre", "band_width", "band_filling", "band_skewness",
                       "band_kurtosis"]
ELEMENT_DESCRIPTORS = ["d_band_centre", "d_band_width", "d_band_filling", "d_band_skewness",
                       "d_band_kurtosis"]
INCAR_NUMBERS = ["ISPIN", "LORBIT", "NEDOS", "ISMEAR", "SIGMA"]
DESCRIPTOR_UNITS = {"gap": "eV", "vbm": "eV", "cbm": "eV", "gap_pymatgen": "eV",
                    "vbm_pymatgen": "eV", "cbm_pymatgen": "eV", "dos_ef": "states/eV",
                    "dos_ef_up": "states/eV", "dos_ef_down": "states/eV",
                    "spin_polarisation": "1", "magnetic_moment": "mu_B",
                    "magnetic_moment_dos": "mu_B", "states_window": "states",
                    "band_centre": "eV", "band_width": "eV", "band_filling": "1",
                    "band_skewness": "1", "band_kurtosis": "1"}

# name: (dimensions, type, units, description); the first dimension says
# whose row it is: run, element_row, site_row or failure. A variable named
# as its dimension is its coordinate (netcdf.create makes it first).
SCHEMA = {
    "run": (("run",), STR, "", "run folder relative to the root attribute"),
    "label": (("run",), STR, "", "label given with the run ('' none)"),
    "fingerprint": (("run",), STR, "", "NAME:SIZE:MTIME_NS of the input files"),
    "formula": (("run",), STR, "", "element counts of the cell ('' symbols unknown)"),
    "symbols": (("run",), STR, "", "element of every atom, space-separated"),
    "symbols_reason": (("run",), STR, "", "why symbols are unknown ('' known)"),
    "doscar": (("run",), STR, "", "the DOS file read"),
    "source": (("run",), STR, "", "name of the DOS file read: DOSCAR*, vasprun.xml* or vaspout.h5"),
    "compression": (("run",), STR, "", "'', gzip, xz or bzip2"),
    "structure": (("run",), STR, "",
                  "structure file read for the symbols ('' none, or the DOS file names them)"),
    "eigenvalue_direct": (("run",), "i1", "",
                          "1 direct, 0 indirect eigenvalue gap, -1 no eigenvalues"),
    "spin": (("run",), STR, "", "none, collinear, noncollinear or unknown"),
    "natoms": (("run",), "i4", "", "atoms"),
    "npoints": (("run",), "i4", "", "energy points of the file"),
    "nblocks": (("run",), "i4", "", "total blocks in the file"),
    "efermi": (("run",), "f8", "eV", "Fermi energy of the last total block"),
    "file_emin": (("run",), "f8", "eV", "lowest energy of the file"),
    "file_emax": (("run",), "f8", "eV", "highest energy of the file"),
    "file_step": (("run",), "f8", "eV", "(file_emax - file_emin) / (npoints - 1)"),
    "coarse": (("run",), "i1", "", "1 where file_step is over 5 grid steps (or 1 point)"),
    "align_energy": (("run",), "f8", "eV", "alignment energy subtracted from the file's energies"),
    "incar_LSORBIT": (("run",), STR, "", "LSORBIT as INCAR sets it ('' not set)"),
    **{f"incar_{k}": (("run",), "f8", "", f"{k} as INCAR sets it (NaN not set)")
       for k in INCAR_NUMBERS},
    "dos": (("run", "channel", "energy"), "f4", "states/eV",
            "spin-summed mean DOS of each bin (NaN outside the window, or unresolved)"),
    "magnetisation": (("run", "channel", "energy"), "f4", "states/eV",
                      "up minus down mean DOS of each bin"),
    "valid": (("run", "energy"), "i1", "", "1 where the bin lies inside the run's energy window"),
    "channel_reason": (("run", "channel"), STR, "",
                       "why the channel is NaN, or which elements it lacks ('' resolved)"),
    "element_symbol": (("element_row",), STR, "", "element of the row"),
    "element_dos": (("element_row", "orbital", "energy"), "f4", "states/eV",
                    "DOS of the element's atoms by orbital (NaN where the file lacks it)"),
    "site_symbol": (("site_row",), STR, "", "element of the atom ('' unknown)"),
    "site_dos": (("site_row", "orbital", "energy"), "f4", "states/eV", "DOS of the atom"),
    "failure_path": (("failure",), STR, "", "run folder relative to the root attribute"),
    "failure_label": (("failure",), STR, "", "label given with the run"),
    "failure_fingerprint": (("failure",), STR, "", "NAME:SIZE:MTIME_NS of the input files"),
    "failure_doscar": (("failure",), STR, "", "the file tried ('' none)"),
    "failure_error_type": (("failure",), STR, "", "DoscarError, OSError, MemoryError ..."),
    "failure_error_number": (("failure",), "i4", "", "DoscarError number, or -1"),
    "failure_error_cause": (("failure",), STR, "", "short machine-readable cause"),
    "failure_message": (("failure",), STR, "", "the error message"),
}
for _name in DESCRIPTORS:
    SCHEMA[_name] = (("run",), "f8", DESCRIPTOR_UNITS[_name], "descriptor (NaN undefined)")
for _name in EIGENVALUE_EDGES:
    SCHEMA[_name] = (("run",), "f8", "eV", "band edge of the eigenvalues (NaN none)")
for _name in CHANNEL_DESCRIPTORS:
    SCHEMA[_name] = (("run", "channel"), "f8", DESCRIPTOR_UNITS[_name], "descriptor per channel")
for _name in ELEMENT_DESCRIPTORS:
    SCHEMA[_name] = (("element_row",), "f8", DESCRIPTOR_UNITS[_name[2:]], "d-band descriptor")
FAILURE_FIELDS = ["path", "label", "fingerprint", "doscar", "error_type", "error_number",
                  "error_cause", "message"]


# What a string variable cannot hold as it is: a backslash (the escape),
# control characters (NUL among them: HDF5 strings end there) and the bytes
# that are not UTF-8, which a str holds as the surrogates U+DC80-U+DCFF
# (os.fsdecode, the reader's "surrogateescape").
_UNSAFE = re.compile("[\\\\\x00-\x1f\x7f\ud800-\udfff]")
_ESCAPED = re.compile(r"\\(\\|x[0-9a-f]{2})")


def _escape(m):
    c = m.group()
    if c == "\\":
        return "\\\\"
    code = ord(c)
    if 0xDC80 <= code <= 0xDCFF:
        return f"\\x{code - 0xDC00:02x}"
    if code >= 0xD800:  # a lone surrogate of no byte: its UTF-8 form, byte by byte
        return "".join(f"\\x{b:02x}" for b in c.encode("utf-8", "surrogatepass"))
    return f"\\x{code:02x}"


def escape_text(text):
    """`text` as every string variable stores it: valid UTF-8 without control
    characters. A backslash is written \\\\, a control character and a byte
    that is not UTF-8 \\xNN (two lower-case hex digits); unescape_text and
    stored_bytes undo it."""
    return _UNSAFE.sub(_escape, text) if _UNSAFE.search(text) else text


def _unescape(m):
    if m.group(1) == "\\":
        return "\\"
    code = int(m.group(1)[1:], 16)
    return chr(code if code < 0x80 else 0xDC00 + code)


def unescape_text(stored):
    """The str escape_text stored (bytes that are not UTF-8 as os.fsdecode
    gives them: os.fsencode makes them bytes again)."""
    return _ESCAPED.sub(_unescape, stored) if "\\" in stored else stored


def stored_bytes(stored):
    """The bytes of a stored string (a run folder's path as the file system
    names it): stored_bytes(ds.path.values[0])."""
    return unescape_text(stored).encode("utf-8", "surrogateescape")


def formula(symbols):
    """The reduced formula in the order of the elements' first atoms
    (POSCAR's): counts divided by their greatest common divisor, 1 left out
    (Ti4O4: TiO; pymatgen's reduced formula orders by electronegativity)."""
    counts = {}
    for s in symbols:
        counts[s] = counts.get(s, 0) + 1
    divisor = reduce(math.gcd, counts.values(), 0) or 1
    return "".join(s + (str(n // divisor) if n != divisor else "") for s, n in counts.items())


def _incar_number(text):
    try:
        return float(text.split()[0].replace("d", "e").replace("D", "e"))
    except (AttributeError, IndexError, ValueError):
        return math.nan


def success_row(r, path, label, fp):
    symbols = list(r.get("symbols") or [])
    incar = r.get("incar") or {}
    row = {"run": path, "label": label, "fingerprint": fp, "formula": formula(symbols),
           "symbols": " ".join(symbols), "symbols_reason": r.get("symbols_reason", ""),
           "doscar": os.path.basename(r.get("doscar", "")), "compression": r.get("compression", ""),
           "source": r.get("source", ""), "spin": r["spin"],
           "structure": os.path.basename(r.get("structure", "") or ""),
           "incar_LSORBIT": incar.get("LSORBIT", "")}
    for k in ("natoms", "npoints", "nblocks", "efermi", "file_emin", "file_emax", "file_step"):
        row[k] = r[k]
    row["align_energy"], row["coarse"] = r["shift"], np.int8(r["coarse"])
    row["eigenvalue_direct"] = np.int8(r.get("eigenvalue_direct", -1))
    for k in INCAR_NUMBERS:
        row[f"incar_{k}"] = _incar_number(incar.get(k))
    row["dos"], row["magnetisation"] = r["dos"], r["magnetisation"]
    row["valid"] = np.asarray(r["valid"], dtype=np.int8)
    row["channel_reason"] = list(r["channel_reasons"])
    for k in DESCRIPTORS + EIGENVALUE_EDGES:
        row[k] = r["descriptors"].get(k, math.nan)
    for k in CHANNEL_DESCRIPTORS:
        row[k] = r["channel_descriptors"][k]
    row["element_symbol"] = list(r["elements"])
    row["element_dos"] = r["element_dos"]
    for k in ELEMENT_DESCRIPTORS:
        row[k] = r["element_descriptors"][k]
    if r.get("site_dos") is not None:
        row["site_symbol"] = symbols or [""] * len(r["site_dos"])
        row["site_dos"] = r["site_dos"]
    return row


def failure_row(r, path, label, fp):
    return {"failure_path": path, "failure_label": label, "failure_fingerprint": fp,
            "failure_doscar": os.path.basename(r.get("doscar", "") or ""),
            "failure_error_type": r.get("error_type", ""),
            "failure_error_number": int(r.get("error_number", -1)),
            "failure_error_cause": r.get("error_cause", ""),
            "failure_message": r.get("error_message", "")}


def row_from_result(r, path, label, fp):
    return success_row(r, path, label, fp) if r.get("ok") else failure_row(r, path, label, fp)


def is_failure(row):
    return "failure_path" in row


def row_path(row):
    return row["failure_path" if is_failure(row) else "run"]


def counts(row):
    """(element rows, site rows) of a row."""
    if is_failure(row):
        return 0, 0
    return len(row["element_symbol"]), len(row.get("site_symbol", ()))
