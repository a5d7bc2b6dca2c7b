"""Writes a large vasprun.xml in VASP's layout, and a DOSCAR with the same
values, for the benchmarks of pdsplit.read against pymatgen's Vasprun.

    python3 bench/gen_vasprun.py OUT_FOLDER [--ions 200] [--nedos 3001]
        [--kpoints 40] [--bands 400] [--no-doscar]

Spin-polarised, LORBIT = 11 (s py pz px dxy dyz dz2 dxz x2-y2): <parameters>,
<atominfo>, one <calculation> with one electronic step, its structure,
forces, stress, <eigenvalues>, <dos> (total and partial) and <projected>
(eigenvalues and, per spin, k-point and band, a row per ion), then the
final structure. With the defaults about 920 MB, a sixth of it the DOS.
Values are pseudo-random and repeat from atom to atom (the text is what is
timed, not the numbers); the DOSCAR beside it has them in E12.4.
"""
import argparse
import random
from pathlib import Path

ORBITALS = ["s", "py", "pz", "px", "dxy", "dyz", "dz2", "dxz", "x2-y2"]
EFERMI = 5.12345678


def head(ions, nedos):
    types = ["Ti"] * (ions // 2) + ["O"] * (ions - ions // 2)
    atoms = "".join(f"    <rc><c>{t:2s}</c><c>   {1 if t == 'Ti' else 2}</c></rc>\n" for t in types)
    params = (f'   <i type="int" name="ISPIN">     2</i>\n'
              f'   <i type="logical" name="LNONCOLLINEAR"> F  </i>\n'
              f'   <i type="logical" name="LSORBIT"> F  </i>\n'
              f'   <i type="int" name="NEDOS">  {nedos}</i>\n'
              f'   <i type="int" name="LORBIT">    11</i>\n'
              f'   <i type="int" name="NELM">    60</i>\n'
              f'   <i type="int" name="NSW">     0</i>\n'
              f'   <i type="int" name="IBRION">    -1</i>\n')
    atomtypes = "".join(
        f"    <rc><c>{n:4d}</c><c>{t:2s}</c><c>     {m:.8f}</c><c>      {v:.8f}</c>"
        f"<c>  PAW_PBE {t} 08Apr2002                  </c></rc>\n"
        for t, n, m, v in (("Ti", ions // 2, 47.88, 4.0), ("O", ions - ions // 2, 16.0, 6.0)))
    return ('<?xml version="1.0" encoding="ISO-8859-1"?>\n<modeling>\n <generator>\n'
            '  <i name="program" type="string">vasp </i>\n'
            '  <i name="version" type="string">6.4.2 </i>\n </generator>\n'
            ' <incar>\n  <i type="int" name="ISPIN">     2</i>\n'
            f'  <i type="int" name="NEDOS">  {nedos}</i>\n'
            '  <i type="int" name="LORBIT">    11</i>\n </incar>\n'
            f' <parameters>\n  <separator name="electronic" >\n{params}  </separator>\n'
            ' </parameters>\n <atominfo>\n'
            f'  <atoms>     {ions} </atoms>\n  <types>       2 </types>\n'
            '  <array name="atoms" >\n   <dimension dim="1">ion</dimension>\n'
            '   <field type="string">element</field>\n   <field type="int">atomtype</field>\n'
            f'   <set>\n{atoms}   </set>\n  </array>\n'
            '  <array name="atomtypes" >\n   <dimension dim="1">type</dimension>\n'
            '   <field type="int">atomspertype</field>\n   <field type="string">element</field>\n'
            '   <field>mass</field>\n   <field>valence</field>\n'
            '   <field type="string">pseudopotential</field>\n'
            f'   <set>\n{atomtypes}   </set>\n  </array>\n </atominfo>\n')


def structure(ions, name):
    side = 4.0 * round(ions ** (1 / 3) + 0.5)
    basis = "".join(f"    <v> {' '.join(f'{side if i == j else 0:16.8f}' for j in range(3))} </v>\n"
                    for i in range(3))
    rnd = random.Random(ions)
    pos = "".join(f"   <v> {rnd.random():16.8f} {rnd.random():16.8f} {rnd.random():16.8f} </v>\n"
                  for _ in range(ions))
    attr = f' name="{name}" ' if name else ""
    return (f" <structure{attr}>\n  <crystal>\n   <varray name=\"basis\" >\n{basis}"
            f"   </varray>\n   <i name=\"volume\">  {side ** 3:.8f} </i>\n  </crystal>\n"
            f"  <varray name=\"positions\" >\n{pos}  </varray>\n </structure>\n")


def eigenvalues(kpoints, bands, indent):
    sets = []
    for spin in (1, 2):
        body = "".join(f"{indent}     <r> {-20 + 30 * b / bands:10.4f} "
                       f"{1.0 if b < bands // 2 else 0.0:10.4f} </r>\n" for b in range(bands))
        sets.append(f'{indent}   <set comment="spin {spin}">\n' + "".join(
            f'{indent}    <set comment="kpoint {k + 1}">\n{body}{indent}    </set>\n'
            for k in range(kpoints)) + f"{indent}   </set>\n")
    return (f"{indent}<eigenvalues>\n{indent} <array>\n"
            f'{indent}  <dimension dim="1">band</dimension>\n'
            f'{indent}  <dimension dim="2">kpoint</dimension>\n'
            f'{indent}  <dimension dim="3">spin</dimension>\n'
            f"{indent}  <field>eigene</field>\n{indent}  <field>occ</field>\n"
            f"{indent}  <set>\n{''.join(sets)}{indent}  </set>\n{indent} </array>\n"
            f"{indent}</eigenvalues>\n")


def dos_rows(nedos, spin, ion):
    rnd = random.Random(1000 * ion + spin)
    energies = [-20 + 30 * j / (nedos - 1) for j in range(nedos)]
    return energies, [[rnd.random() * 0.5 for _ in range(9)] for _ in range(nedos)]


def write(folder, ions, nedos, kpoints, bands, doscar=True):
    folder.mkdir(parents=True, exist_ok=True)
    distinct = 4  # atoms' blocks repeat after this many
    blocks = [[dos_rows(nedos, s, i) for s in (1, 2)] for i in range(distinct)]
    energies = blocks[0][0][0]
    totals = [[sum(b[s][1][j][0] for b in blocks) for j in range(nedos)] for s in (0, 1)]
    with open(folder / "vasprun.xml", "w") as f:
        f.write(head(ions, nedos) + structure(ions, "initialpos") + " <calculation>\n")
        f.write("  <scstep>\n   <energy>\n    <i name=\"e_fr_energy\">   -100.0 </i>\n"
                "    <i name=\"e_wo_entrp\">   -100.0 </i>\n"
                "    <i name=\"e_0_energy\">   -100.0 </i>\n   </energy>\n  </scstep>\n")
        f.write(structure(ions, ""))
        zeros = "".join("   <v>       0.00000000       0.00000000       0.00000000 </v>\n"
                        for _ in range(ions))
        f.write(f'  <varray name="forces" >\n{zeros}  </varray>\n  <varray name="stress" >\n'
                f"{zeros[: 3 * len(zeros) // max(ions, 1)]}  </varray>\n")
        f.write("  <energy>\n   <i name=\"e_fr_energy\">   -100.0 </i>\n"
                "   <i name=\"e_wo_entrp\">   -100.0 </i>\n"
                "   <i name=\"e_0_energy\">   -100.0 </i>\n  </energy>\n")
        f.write(eigenvalues(kpoints, bands, "  "))
        f.write(f"  <dos>\n   <i name=\"efermi\">    {EFERMI:.8f} </i>\n   <total>\n    <array>\n"
                '     <dimension dim="1">gridpoints</dimension>\n'
                '     <dimension dim="2">spin</dimension>\n     <field>energy</field>\n'
                "     <field>total</field>\n     <field>integrated</field>\n     <set>\n")
        for s in (0, 1):
            f.write(f'      <set comment="spin {s + 1}">\n')
            f.writelines(f"       <r> {energies[j]:10.4f} {totals[s][j]:11.4f} {j * 0.01:11.4f} </r>\n"
                         for j in range(nedos))
            f.write("      </set>\n")
        f.write("     </set>\n    </array>\n   </total>\n   <partial>\n    <array>\n"
                '     <dimension dim="1">gridpoints</dimension>\n'
                '     <dimension dim="2">spin</dimension>\n'
                '     <dimension dim="3">ion</dimension>\n     <field>energy</field>\n'
                + "".join(f"     <field>{o:>5s}</field>\n" for o in ORBITALS) + "     <set>\n")
        texts = [["".join(f"        <r> {e:10.4f}" + "".join(f"{v:11.4f}" for v in r) + " </r>\n"
                          for e, r in zip(*blocks[i][s])) for s in (0, 1)] for i in range(distinct)]
        for ion in range(ions):
            f.write(f'      <set comment="ion {ion + 1}">\n')
            for s in (0, 1):
                f.write(f'       <set comment="spin {s + 1}">\n{texts[ion % distinct][s]}'
                        "       </set>\n")
            f.write("      </set>\n")
        f.write("     </set>\n    </array>\n   </partial>\n  </dos>\n  <projected>\n")
        f.write(eigenvalues(kpoints, bands, "   "))
        f.write("   <array>\n" + "".join(f"    <field>{o:>5s}</field>\n" for o in ORBITALS)
                + "    <set>\n")
        band = "".join(f"        <r>" + "".join(f"{0.0123 * ((i + k) % 7):10.4f}" for k in range(9))
                       + " </r>\n" for i in range(ions))
        for s in (1, 2):
            f.write(f'     <set comment="spin{s}">\n')
            for k in range(kpoints):
                f.write(f'      <set comment="kpoint {k + 1}">\n')
                for b in range(bands):
                    f.write(f'       <set comment="band {b + 1}">\n{band}       </set>\n')
                f.write("      </set>\n")
            f.write("     </set>\n")
        f.write("    </set>\n   </array>\n  </projected>\n </calculation>\n")
        f.write(structure(ions, "finalpos") + "</modeling>\n")
    if doscar:
        write_doscar(folder / "DOSCAR", ions, energies, totals, blocks, distinct)


def write_doscar(path, ions, energies, totals, blocks, distinct):
    nedos = len(energies)
    line6 = f"{energies[-1]:16.8f}{energies[0]:16.8f}{nedos:5d}{EFERMI:16.8f}{1.0:16.8f}\n"
    with open(path, "w") as f:
        f.write(f"{ions:4d}{ions:4d}   1   0\n  0.1E+02  0.4E-09  0.4E-09  0.4E-09  0.5E-15\n"
                "  1.000000000000000E-004\n  CAR \n bench\n" + line6)
        f.writelines(f"{energies[j]:11.3f}{totals[0][j]:12.4E}{totals[1][j]:12.4E}"
                     f"{j * 0.01:12.4E}{j * 0.01:12.4E}\n" for j in range(nedos))
        texts = []
        for i in range(distinct):
            (e, up), (_, down) = blocks[i]
            texts.append("".join(f"{e[j]:11.3f}" + "".join(f"{u:12.4E}{d:12.4E}"
                                                           for u, d in zip(up[j], down[j])) + "\n"
                                 for j in range(nedos)))
        for ion in range(ions):
            f.write(line6 + texts[ion % distinct])


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("folder", type=Path)
    p.add_argument("--ions", type=int, default=200)
    p.add_argument("--nedos", type=int, default=3001)
    p.add_argument("--kpoints", type=int, default=40)
    p.add_argument("--bands", type=int, default=400)
    p.add_argument("--no-doscar", action="store_true", help="the vasprun.xml alone")
    a = p.parse_args()
    write(a.folder, a.ions, a.nedos, a.kpoints, a.bands, not a.no_doscar)


if __name__ == "__main__":
    main()
