"""Doscar.plot: the total DOS and the DOS of selections, drawn with matplotlib."""


def _curves(dos, selection):
    """(energies, [(values, sign)]) of a selection: each spin's DOS, down
    negative; the magnetisation columns of a non-collinear file are left out."""
    block = dos.select(selection)
    curves = []
    for k, name in enumerate(dos.select_columns(selection), start=1):
        if name.endswith(("_mx", "_my", "_mz")):
            continue
        curves.append((block[:, k], -1.0 if name.endswith("_down") else 1.0))
    return block[:, 0] - dos.efermi, curves


def _fit_dos_axis(ax, shown, emin, emax):
    """The DOS axis over the curves inside the energy window only."""
    low, high = 0.0, 0.0
    for e, values in shown:
        inside = values[(e >= emin) & (e <= emax)]
        if inside.size:
            low, high = min(low, inside.min()), max(high, inside.max())
    pad = 0.05 * (high - low) or 1.0
    ax.set_ylim(low - (pad if low < 0 else 0.0), high + pad)


def plot(dos, *selections, ax=None, emin=None, emax=None):
    """Draw the total DOS (grey) and the DOS of each selection; return the Axes.

    selections: strings of the selection language (help(pdsplit)), e.g.
        "O(p)", "Fe(t2g,eg)", "1-8(d)"; each is one colour.
    ax: the matplotlib Axes to draw into; None makes a new figure.
    emin, emax: the energy window in eV from the Fermi level (default: the
        whole grid); the DOS axis fits the curves inside it.

    Energies are E - E_F, with a dashed line at 0. Spin down is drawn
    negative, in the colour of its spin up; of a non-collinear file the DOS
    columns are drawn, not the magnetisation. The legend stands to the right
    of the axes, off the curves.
    """
    try:
        import matplotlib.pyplot as plt
    except ImportError as e:
        raise ImportError(
            "Doscar.plot() needs matplotlib (Debian: apt-get install python3-matplotlib)"
        ) from e
    if ax is None:
        _, ax = plt.subplots(figsize=(6.4, 4.0), layout="constrained")
    shown = []
    for selection, colour in [("total", "0.55")] + [(s, None) for s in selections]:
        e, curves = _curves(dos, selection)
        for k, (values, sign) in enumerate(curves):
            line = ax.plot(e, sign * values, color=colour, lw=1.0,
                           label=selection if k == 0 else None)[0]
            colour = line.get_color()
            shown.append((e, sign * values))
    low = e.min() if emin is None else emin
    high = e.max() if emax is None else emax
    ax.set_xlim(low, high)
    _fit_dos_axis(ax, shown, low, high)
    ax.axvline(0.0, color="k", ls="--", lw=0.8)
    if any(v.min() < 0 for _, v in shown):
        ax.axhline(0.0, color="k", lw=0.5)
    ax.set_xlabel("E - E$_F$ (eV)")
    ax.set_ylabel("DOS (states/eV)")
    ax.legend(loc="upper left", bbox_to_anchor=(1.01, 1.0), borderaxespad=0.0, frameon=False)
    return ax
