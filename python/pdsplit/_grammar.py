"""The selection language of Doscar.select() and of python3 -m pdsplit."""

GRAMMAR = """\
Selections (blanks may stand between any two tokens):

  selection := target [ "(" orbital { "," orbital } ")" ]
  target    := "total"                  the total DOS (no orbitals)
             | "all"                    every atom of the file
             | element { "," element }  every atom of these elements: O, Fe,Co
             | range { "," range }      atom numbers: 1-8, 1,3,5, 1-3,7
  element   := an upper-case letter, then at most two lower-case letters
  range     := number [ "-" number ]    from 1 to 999999, first <= last
  orbital   := s | p | d | f            a shell; in l,m-projected files its
                                        columns (p: py pz px; d: dxy dyz
                                        dz2 dxz x2-y2; f: the seven f)
             | t2g | eg                 dxy dyz dxz | dz2 x2-y2 (l,m only)
             | py | pz | px | dxy | dyz | dz2 | dxz | x2-y2 | fy3x2 | fxyz
             | fyz2 | fz3 | fxz2 | fzx2 | fx3      one l,m column

Atoms, elements and orbitals are sets: each counts once. Without
parentheses every orbital of the atoms counts. Elements and atom numbers
do not mix in one selection. An element needs the element of every atom:
the CONTCAR or POSCAR beside the DOSCAR (also .gz, .xz, .bz2; a POTCAR
there names the elements of a VASP 4 POSCAR).

For instance: O   Fe(t2g,eg)   Fe,Co(d)   O(p)   1-8(d)   1,3,5(s,p)   all(d)   total
"""
