"""Light curve of a source-crossing microlensing event: point source against uniform disk.

The lens passes in front of the source star (impact parameter u0 below the source radius rho, both
in Einstein radii), so the finite size of the source flattens and broadens the peak that a point
source would give. Prints magnification against time and, where matplotlib is importable, writes
light_curve.png to the current directory.
"""

import math

import finitemu

T0 = 0.0  # time of closest approach (days)
TE = 20.0  # Einstein-radius crossing time (days)
U0 = 0.02  # impact parameter (Einstein radii)
RHO = 0.05  # source radius (Einstein radii)


def point_source(u):
    """Paczynski's point-source magnification A0(u) = (u^2 + 2) / (u sqrt(u^2 + 4))."""
    return (u * u + 2.0) / (u * math.sqrt(u * u + 4.0))


def main():
    times = [T0 + TE * (-0.15 + 0.3 * i / 300) for i in range(301)]
    u = [math.hypot(U0, (t - T0) / TE) for t in times]
    # The module measures separations in source radii; re and rstar only enter through rho.
    separations = [x / RHO for x in u]
    disk = finitemu.witt_mao_magnification(separations, 1.0, RHO)
    point = [point_source(x) for x in u]

    print(f"u0 = {U0}, rho = {RHO}, tE = {TE} d")
    print(f"{'t (d)':>8} {'u':>9} {'point source':>13} {'uniform disk':>13}")
    for t, x, a, b in list(zip(times, u, point, disk))[::15]:
        print(f"{t:8.3f} {x:9.5f} {a:13.5f} {b:13.5f}")
    peak = max(range(len(times)), key=lambda i: disk[i])
    print(f"peak: point source {max(point):.3f}, uniform disk {disk[peak]:.3f} at t = {times[peak]:.3f} d")

    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib not importable: no plot written")
        return
    fig, ax = plt.subplots(figsize=(7, 4))
    ax.plot(times, point, label="point source", lw=1.2)
    ax.plot(times, disk, label=f"uniform disk, rho = {RHO}", lw=1.2)
    ax.set_xlabel("time from closest approach (days)")
    ax.set_ylabel("magnification")
    ax.set_title(f"source-crossing event, u0 = {U0}")
    ax.legend()
    fig.tight_layout()
    fig.savefig("light_curve.png", dpi=120)
    print("wrote light_curve.png")


if __name__ == "__main__":
    main()
