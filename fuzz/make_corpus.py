#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

Seeds come from the real samples in tests/data (cut to a few atoms and grid
points) and from crafted inputs: CRLF, no final line feed, short files,
malformed fields, lower-case exponents, zero points, huge claims.
Run from anywhere: python3 fuzz/make_corpus.py
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "..", "tests", "data")
OUT = os.path.join(HERE, "corpus")


def sample(name):
    with open(os.path.join(DATA, name), "rb") as f:
        return f.read().split(b"\n")


def cut(name, atoms, points):
    """The sample with its first `atoms` blocks of `points` grid points."""
    lines = sample(name)
    npoints = int(lines[5][32:37])
    out = [b"%4d" % atoms + lines[0][4:]] + lines[1:5]
    out.append(lines[5][:32] + b"%5d" % points + lines[5][37:])
    out += lines[6:6 + points]
    for a in range(atoms):
        start = 6 + npoints + a * (npoints + 1)
        out += lines[start:start + 1 + points]
    return b"\n".join(out) + b"\n"


def header(natoms, npoints, efermi=1.0, name=b"crafted"):
    return (b"%4d%4d%4d%4d\n" % (natoms, natoms, 1, 0) + b"  0.1E+02  0.1E-09\n  1.0E-004\n  CAR\n " +
            name + b"\n" + b"%16.8f%16.8f%5d%16.8f%16.8f\n" % (10.0, -5.0, npoints, efermi, 1.0))


def data_line(e, values):
    return b"%11.3f" % e + b"".join(b"%12.4E" % v for v in values) + b"\n"


def block(npoints, ncol, scale=1.0):
    return b"".join(data_line(-2.0 + j, [scale * (k + 1) * 0.1 for k in range(ncol)])
                    for j in range(npoints))


def crafted(natoms, npoints, ntcol, npcol):
    body = header(natoms, npoints) + block(npoints, ntcol)
    for a in range(natoms):
        body += b"   10.0 -5.0 %d 1.0 1.0\n" % npoints + block(npoints, npcol, a + 1)
    return body


def write(target, name, data):
    d = os.path.join(OUT, target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


def program_seeds():
    nonspin = cut("nonspin-lm-4atoms-nedos10.DOSCAR", 2, 3)
    spin_l = cut("spin-l-1atom.DOSCAR", 1, 4)
    spin_lm = cut("spin-lm-57atoms.DOSCAR", 3, 3)
    nonspin8 = cut("nonspin-lm-8atoms.DOSCAR", 2, 2)
    seeds = {
        "total": (b"-t", nonspin),
        "total-named": (b"-ft\tTOT", spin_l),
        "all": (b"-a", nonspin),
        "all-stem": (b"-af\tFe", spin_lm),
        "one": (b"-p\t2", nonspin),
        "one-named": (b"-pf\t1\tL", spin_l),
        "run": (b"-s1\t2\t1", spin_lm),
        "run-named": (b"-fs1\t1\t3\tsum", spin_lm),
        "list": (b"-s2\t1\t2\t1\tout", nonspin8),
        "list-one": (b"-fs2\t2", nonspin8),
        "list-numbers": (b"-s2f\t2.7\t003\t+1\t3*2", spin_lm),
        "help": (b"-h", b""),
        "no-argument": (b"", nonspin),
        "wrong-option": (b"-x", nonspin),
        "no-doscar": (b"#-t", b""),
        "doscar-dir": (b"##-a", b""),
        "name-doscar": (b"-t\tDOSCAR", nonspin),
        "name-dot-doscar": (b"-tf\t./DOSCAR", nonspin),
        "blank-atom": (b"-p\t ", nonspin),
        "bad-atom": (b"-p\tabc", nonspin),
        "atom-range": (b"-s1\t0\t9", nonspin),
        "missing-dir": (b"-t\tsub/x", nonspin),
        "dir-output": (b"-t\t.", nonspin),
        "not-a-dir": (b"-t\tDOSCAR/x", nonspin),
        "too-many": (b"-p\t1\ta\tb", nonspin),
        "crlf": (b"-a", nonspin.replace(b"\n", b"\r\n")),
        "no-final-lf": (b"-p\t1", nonspin.rstrip(b"\n")),
        "short": (b"-t", b"\n".join(nonspin.split(b"\n")[:8])),
        "truncated-block": (b"-a", nonspin[:-40]),
        "malformed-field": (b"-t", nonspin.replace(b"0.1400E+00", b"0.14x0E+00")),
        "nul-field": (b"-t", nonspin.replace(b"0.1400E+00", b"0.14\0\0E+00")),
        "lower-e": (b"-t", nonspin.replace(b"E", b"e")),
        "zero-points": (b"-a", crafted(2, 0, 2, 9)),
        "negative-points": (b"-t", header(2, -3) + b"\n" * 4),
        "huge-points": (b"-t", header(1, 99999) + block(3, 2)),
        "huge-atoms": (b"-a", header(9999, 2) + block(2, 2) + b"x\n" + block(2, 32)),
        # 9999 atoms x 800 points x 17 values x 8 bytes: 1.09 GB reserved
        # for a file of a few kilobytes, inside the size rule.
        "big-claim": (b"-p\t1", header(9999, 800) + block(1, 2) + b"\n" * 799 + block(1, 16)),
        "ntcol-3": (b"-t", crafted(1, 2, 3, 5)),
        "unspecified": (b"-a", crafted(1, 2, 2, 5)),
        "f-orbitals": (b"-s1\t1\t2", crafted(2, 2, 4, 32)),
        "ntcol-120": (b"-t", header(1, 1) + b" 1.0" + b"E" * 120 + b"\nx\n 1.0 1E0\n"),
        "ntcol-0-points": (b"-t", header(1, 2) + b" 1.0 2.0\n 2.0 3.0\nx\n 1 1E0\n"),
        "d-and-q": (b"-t", header(1, 2) + data_line(1.0, [1.0, 2.0]) +
                    b"      2.000  0.1000D+01  0.1000Q+01  0.1000+01       12345\n"
                    b"x\n" + block(2, 3)),
    }
    for name, (args, doscar) in seeds.items():
        write("program", name, args + b"\n" + doscar)


def fields_seeds():
    def seed(name, d, shape, value, field):
        write("fields", name, bytes([d, shape]) + struct.pack("<d", value) + field)

    seed("e-field", 4, 1, 1.0, b"  0.1234E+01")
    seed("e-negative-tiny", 4, 1, -2.5e-7, b" -0.1104E-42")
    seed("d-exponent", 4, 1, 0.000123456, b"  0.1234D+01")
    seed("sign-exponent", 4, 1, 1234.5, b"   0.1234+01")
    seed("no-point", 4, 1, 1e-150, b"       12345")
    seed("f-field", 3, 0, 12.34567, b"    -10.000")
    seed("f16", 8, 0, -0.0004, b"     13.67039808")
    seed("f8-halfway", 3, 2, 0.0625, b"   0.062")
    seed("carry", 4, 1, 0.99995, b" 0.99995")
    seed("nan", 4, 1, float("nan"), b"  NaN")
    seed("infinity", 4, 1, float("-inf"), b"-Infinity")
    seed("two-points", 3, 0, 9999.9995, b"1.5.3")
    seed("inner-blanks", 3, 0, -0.0006, b" 1 2 3 ")
    seed("tab", 3, 0, 10000.0, b"\t5\t")
    seed("blank", 4, 1, -0.0, b"            ")
    seed("lower-e", 4, 1, 5e-324, b" 0.1234e-300")
    seed("huge-exponent", 4, 1, 1.7976931348623157e308, b"1E99999999999")
    seed("long-mantissa", 0, 0x4b, 2.2250738585072014e-308, b"0.10000000000000000000000000000001E+2")
    seed("int-field", 0, 0x23, 123456789.0, b"  -2147483648")
    seed("wide", 10, 0x7f, 3.0517578125e-05, b"+12")


def format_seeds():
    for i, text in enumerate([b"(1X,A14,F8.3)", b"(1X,A17,I4)", b"(1X,A22,I5)", b"(I4)",
                              b"(A40)", b"(2F16.8,I5,F16.8)\n     13.67039808     -3.43982524   10",
                              b"(A)", b"(I0)", b"(I3.3)", b"(F11.3,9E12.4e2)\n     -3.440 -0.1104E-42",
                              b"(F11.3,32E12.4)", b"(F11.3,0E12.4e2)", b"( 1x , a22 , i5 )",
                              b"()", b"(E12.4e)", b"(3X,2A5,I0)\nabcdefghijklm 12"]):
        write("format", "f%02d" % i, text)


def dataline_seeds():
    lines = sample("nonspin-lm-4atoms-nedos10.DOSCAR")
    write("dataline", "total", bytes([2]) + lines[6])
    write("dataline", "atom", bytes([9]) + lines[17])
    write("dataline", "spin-lm", bytes([18]) + sample("spin-lm-57atoms.DOSCAR")[45])
    write("dataline", "spin-l", bytes([6]) + sample("spin-l-1atom.DOSCAR")[400])
    for i, text in enumerate([b"     -3.440 -0.0000E+00  0.0123E+01  0.9999E-99  0.0001E-99",
                              b"      1.000  0.1234D+01  0.1234+01       12345  0.1234e+01",
                              b"      1.000  1.2345E+00 -0.1234E+100 0.1000E+00     NaN  ",
                              b"      1.000  0.1234E+0",
                              b"      1.000  0.12x4E+01",
                              b"      1.000\0\0\0\00.1234E+01",
                              b"      1.000 +0.1234E+01 -0.9999E+99  0.5000E-00"]):
        write("dataline", "c%02d" % i, bytes([4]) + text)


def freeint_seeds():
    for i, text in enumerate([b"7", b"  7", b"007", b"7,8", b"2.7", b",", b"/", b"abc", b"2a", b"-",
                              b"     ", b"3*7", b"3*", b"1e2", b"-2.9", b"+3", b"2147483648",
                              b"1d1", b"2 x", b".5", b"3.", b"0*5", b"\t4"]):
        write("freeint", "i%02d" % i, text)


if __name__ == "__main__":
    program_seeds()
    fields_seeds()
    format_seeds()
    dataline_seeds()
    freeint_seeds()
