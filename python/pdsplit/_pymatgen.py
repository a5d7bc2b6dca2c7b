"""Doscar.to_pymatgen: the DOS as a pymatgen CompleteDos."""


def _imports():
    try:
        from pymatgen.core import IStructure
        from pymatgen.electronic_structure.core import Orbital, OrbitalType, Spin
        from pymatgen.electronic_structure.dos import CompleteDos, Dos
        from pymatgen.io.vasp import Poscar
    except ImportError as e:
        raise ImportError(
            "Doscar.to_pymatgen() needs pymatgen (Debian: apt-get install python3-pymatgen)"
        ) from e
    return IStructure, Orbital, OrbitalType, Spin, CompleteDos, Dos, Poscar


def _structure(dos, IStructure, Poscar):
    source = dos.structure
    if dos._cell is not None and source == dos.path:
        # A vasprun.xml: the cell and positions of its last structure
        # before the DOS, with the elements it names.
        lattice, positions = dos._cell
        return IStructure(lattice, list(dos.symbols), positions)
    if isinstance(source, str):
        return Poscar.from_file(source).structure
    if isinstance(source, IStructure):
        return source
    if hasattr(source, "get_chemical_symbols"):
        from pymatgen.io.ase import AseAtomsAdaptor

        return AseAtomsAdaptor.get_structure(source)
    if source is None:
        # Why read() found no structure: none beside the DOSCAR, or the one
        # found names no elements (a VASP 4 POSCAR without POTCAR) or another
        # atom count.
        why = dos._symbols_reason
        fix = ("give read(..., structure=...) a POSCAR with element symbols, an ASE Atoms or "
               "a pymatgen Structure")
        if why.startswith("there is no CONTCAR"):
            fix += ", or put the run's CONTCAR or POSCAR beside " + dos.path
        elif "VASP 4" in why:
            fix += ", or put the run's POTCAR beside the POSCAR"
    else:
        why = "the list of symbols given to read() has no positions"
        fix = "give read(..., structure=...) a POSCAR, an ASE Atoms or a pymatgen Structure"
    raise ValueError(f"to_pymatgen() needs the structure with its positions: {why}; {fix}")


def _densities(block, first, spin, noncollinear, Spin):
    """{Spin: values} of the channel columns from `first`: the DOS of a
    non-spin or non-collinear file (its magnetisation left out), or up and
    down."""
    densities = {Spin.up: block[:, first].copy()}
    if spin and not noncollinear:
        densities[Spin.down] = block[:, first + 1].copy()
    return densities


def to_pymatgen(dos):
    """The DOS as a pymatgen CompleteDos, for pymatgen's element and spd DOS,
    band centres and DosPlotter.

    Structure: the file that symbols came from, read by pymatgen's
    Poscar.from_file (a vasprun.xml: the cell and positions of its last
    structure before the DOS, pymatgen's final structure of a single-point
    run), or the pymatgen Structure or ASE Atoms given to
    read(structure=...). Total DOS: the total block with the file's Fermi
    level; per site (the atoms kept) and orbital (pymatgen's Orbital for l,m
    columns, OrbitalType for l columns) the columns of its block, Spin.up and
    Spin.down; a non-collinear file gives the DOS columns as Spin.up, without
    the magnetisation (pymatgen's own Vasprun(...).complete_dos of a
    non-collinear vasprun.xml has the same Spin.up, and as Spin.down the
    last spin set, mz). Energies are the total block's.

    ImportError without pymatgen; ValueError without a structure.
    """
    IStructure, Orbital, OrbitalType, Spin, CompleteDos, Dos, Poscar = _imports()
    structure = _structure(dos, IStructure, Poscar)
    energies = dos.total[:, 0].copy()
    total = Dos(dos.efermi, energies, _densities(dos.total, 1, dos.spin, False, Spin))
    channels = 4 if dos.noncollinear else 2 if dos.spin else 1
    orbitals = len(dos.atom_columns) // channels
    keys = [Orbital(k) if dos.projection == "lm" else OrbitalType(k) for k in range(orbitals)]
    pdoss = {}
    for atom in dos.atoms:
        block = dos.atom(atom)
        pdoss[structure[atom - 1]] = {
            key: _densities(block, 1 + k * channels, dos.spin, dos.noncollinear, Spin)
            for k, key in enumerate(keys)
        }
    return CompleteDos(structure, total, pdoss)
