"""Light curve of a source-crossing microlensing event under four source models.

    PYTHONPATH=build/python/cp311 /usr/bin/python3 examples/light_curve.py [--figure FILE.png]

The lens passes in front of the source star (impact parameter u0 below the source radius rho,
both in Einstein radii), so the finite size of the source flattens and broadens the peak that a
point source would give, and the brightness profile of the disk shapes the top of the peak.
Models: a point source (Paczynski), a uniform disk (Witt & Mao), the module's limb-darkened disk
(linear law, coefficient 0.6) and a caller-given profile (a quadratic limb-darkening law
tabulated as a flux map by examples/limb_darkening.py). Prints magnification against time and,
where matplotlib is importable, draws the figure of the README (docs/light_curve.png): the four
light curves above, and below them each model's relative difference from the uniform disk.
"""

import argparse
import math

import finitemu
from limb_darkening import flux_map, quadratic_law

T0 = 0.0  # time of closest approach (days)
TE = 20.0  # Einstein-radius crossing time (days)
U0 = 0.02  # impact parameter (Einstein radii)
RHO = 0.05  # source radius (Einstein radii)
QUADRATIC = (0.8, 0.15)  # I(mu) = 1 - a (1 - mu) - b (1 - mu)^2, mu = sqrt(1 - r^2)


def point_source(u):
    """Paczynski's point-source magnification A0(u) = (u^2 + 2) / (u sqrt(u^2 + 4))."""
    return (u * u + 2.0) / (u * math.sqrt(u * u + 4.0))


def light_curves(times):
    """{model: magnifications at `times`} for the event above."""
    u = [math.hypot(U0, (t - T0) / TE) for t in times]
    # The module measures separations in source radii; re and rstar only enter through rho.
    separations = [x / RHO for x in u]
    bl, bf = flux_map(quadratic_law(*QUADRATIC), 60)
    return {
        "point source": [point_source(x) for x in u],
        "uniform disk": finitemu.witt_mao_magnification(separations, 1.0, RHO),
        "limb-darkened disk (linear, 0.6)": finitemu.integrated_witt_mao_magnification(
            separations, 1.0, RHO),
        f"flux map (quadratic, a = {QUADRATIC[0]}, b = {QUADRATIC[1]})":
            finitemu.integrated_flux_map_heyrovsky_magnification(separations, 1.0, RHO, bl, bf),
    }, u


def draw(times, curves, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, (top, bottom) = plt.subplots(2, 1, figsize=(7.0, 6.0), sharex=True,
                                      gridspec_kw={"height_ratios": [3, 2]})
    uniform = curves["uniform disk"]
    styles = [("--", "C0"), ("-", "C1"), ("-", "C2"), (":", "C3")]
    lowest = highest = 0.0
    for (label, values), (style, color) in zip(curves.items(), styles):
        top.plot(times, values, style, color=color, lw=1.6 if style == ":" else 1.3, label=label)
        if label != "uniform disk":
            percent = [100.0 * (a / b - 1.0) for a, b in zip(values, uniform)]
            bottom.plot(times, percent, style, color=color, lw=1.3)
            lowest, highest = min(lowest, *percent), max(highest, *percent)
    crossing = TE * math.sqrt(RHO * RHO - U0 * U0)  # the lens is inside the disk for |t| below
    for ax in (top, bottom):
        for t in (-crossing, crossing):
            ax.axvline(T0 + t, color="0.75", lw=0.8, zorder=0,
                       label="lens on the limb" if ax is top and t > 0 else None)
    top.set_ylabel("magnification A")
    top.set_title(f"source-crossing event: u0 = {U0}, rho = {RHO}, tE = {TE:g} d")
    top.legend(fontsize=8, loc="upper right")
    margin = 0.06 * (highest - lowest)  # every curve whole, the point source's peak included
    bottom.set_ylim(lowest - margin, highest + margin)
    bottom.axhline(0.0, color="0.5", lw=0.8)
    bottom.set_ylabel("(A − A_uniform) / A_uniform (%)", fontsize=9)
    bottom.set_xlabel("time from closest approach (days)")
    fig.align_ylabels()
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--figure", default="light_curve.png", help="PNG file to write")
    args = parser.parse_args()

    times = [T0 + TE * (-0.15 + 0.3 * i / 300) for i in range(301)]
    curves, u = light_curves(times)
    point, disk, limb, mapped = curves.values()

    print(f"u0 = {U0}, rho = {RHO}, tE = {TE} d")
    print(f"{'t (d)':>8} {'u':>9} {'point source':>13} {'uniform disk':>13} {'limb-darkened':>13}"
          f" {'flux map':>13}")
    for i in range(0, len(times), 15):
        print(f"{times[i]:8.3f} {u[i]:9.5f} {point[i]:13.5f} {disk[i]:13.5f} {limb[i]:13.5f}"
              f" {mapped[i]:13.5f}")
    peak = max(range(len(times)), key=lambda i: disk[i])
    print(f"peak: point source {max(point):.3f}, uniform disk {disk[peak]:.3f} at "
          f"t = {times[peak]:.3f} d, limb-darkened {max(limb):.3f}, flux map {max(mapped):.3f}")

    try:
        import matplotlib  # noqa: F401
    except ImportError:
        print("matplotlib not importable: no figure written")
        return
    draw(times, curves, args.figure)
    print(f"wrote {args.figure}")


if __name__ == "__main__":
    main()
