"""Reader for Korrin result files (.krn1): the mean power spectrum and the bispectrum phases.

    import krn1
    r = krn1.read("capture/binary.krn1")
    r.power[fy + r.width // 2, fx + r.width // 2]   # mean power at frequency (fx, fy)
    r.phase((ux, uy), (vx, vy))                     # bispectrum phase of the pair (u, v)

Needs numpy only. The layout is described in docs/result-format.md.
"""

from dataclasses import dataclass

import numpy as np

SUPPORTED_WIDTHS = (128, 256, 512, 1024)

__all__ = ["Krn1Error", "Result", "read", "parse", "phase_count", "phase_index"]


class Krn1Error(ValueError):
    """The file is not a sound result file; the message says what is wrong."""


def _kept_v(width, dkmax, u):
    """The v in [-dkmax, dkmax] for which width/2 - (u + v) is a pixel index, as (first, count)."""
    first = max(-dkmax, 1 - width // 2 - u)
    last = min(dkmax, width // 2 - u)
    return first, max(0, last - first + 1)


def phase_count(width, kmax, dkmax):
    """Number of phases in a file: the pairs (u, v) whose -(u + v) lies inside the spectrum."""
    x_pairs = sum(_kept_v(width, dkmax, ux)[1] for ux in range(-kmax, kmax + 1))
    y_pairs = sum(_kept_v(width, dkmax, uy)[1] for uy in range(0, kmax + 1))
    return x_pairs * y_pairs


def phase_index(width, kmax, dkmax, u, v):
    """Position of the phase of u = (ux, uy), v = (vx, vy) in the file's phase list, or None when
    the pair is not stored. The file lists ux outermost, then uy, vx, and vy fastest, leaving out
    the pairs that are not stored."""
    (ux, uy), (vx, vy) = u, v
    if not (-kmax <= ux <= kmax and 0 <= uy <= kmax):
        return None
    first_x, count_x = _kept_v(width, dkmax, ux)
    first_y, count_y = _kept_v(width, dkmax, uy)
    if not (0 <= vx - first_x < count_x and 0 <= vy - first_y < count_y):
        return None
    y_total = sum(_kept_v(width, dkmax, b)[1] for b in range(0, kmax + 1))
    x_before = sum(_kept_v(width, dkmax, a)[1] for a in range(-kmax, ux))
    y_before = sum(_kept_v(width, dkmax, b)[1] for b in range(0, uy))
    return (x_before * y_total + count_x * y_before + (vx - first_x) * count_y + (vy - first_y))


@dataclass
class Result:
    width: int
    kmax: int
    dkmax: int
    power: np.ndarray  # width x width float64, indexed [fy + width/2, fx + width/2]
    power_checksum: float
    phases: np.ndarray  # float32 radians, in file order
    phase_checksum: float

    def power_at(self, fx, fy):
        """Mean power at frequency (fx, fy), both in [-width/2, width/2 - 1]."""
        return float(self.power[fy + self.width // 2, fx + self.width // 2])

    def phase(self, u, v):
        """Phase in radians of the pair u = (ux, uy), v = (vx, vy); None when not stored."""
        at = phase_index(self.width, self.kmax, self.dkmax, u, v)
        return None if at is None else float(self.phases[at])

    def phase_table(self):
        """All phases in the accumulators' memory order: an array indexed
        [uy, ux + kmax, vy + dkmax, vx + dkmax], NaN for the pairs the file does not hold."""
        k, d, half = self.kmax, self.dkmax, self.width // 2
        ux, uy, vx, vy = np.meshgrid(np.arange(-k, k + 1), np.arange(0, k + 1),
                                     np.arange(-d, d + 1), np.arange(-d, d + 1), indexing="ij")
        # meshgrid with "ij" enumerates in the file's loop order when flattened.
        cx, cy = half - (ux + vx), half - (uy + vy)
        kept = (cx >= 0) & (cx < self.width) & (cy >= 0) & (cy < self.width)
        table = np.full((k + 1, 2 * k + 1, 2 * d + 1, 2 * d + 1), np.nan, dtype=np.float32)
        table[uy[kept], ux[kept] + k, vy[kept] + d, vx[kept] + d] = self.phases
        return table


def _sequential_sum(values):
    # The writer adds the values one by one in file order; numpy's accumulate does the same (its
    # plain sum adds pairwise and can differ in the last bits).
    if values.size == 0:
        return 0.0
    return float(np.add.accumulate(values.astype(np.float64))[-1])


def _same_sum(stored, computed):
    return stored == computed or (np.isnan(stored) and np.isnan(computed))


def parse(data):
    """Parses the bytes of a result file, checking its length and both checksums."""
    size = len(data)
    if size < 4:
        raise Krn1Error(f"file is {size} bytes long, too short to hold even the width")
    width = int(np.frombuffer(data, "<i4", 1, 0)[0])
    if width not in SUPPORTED_WIDTHS:
        raise Krn1Error(f"width field is {width}, not one of 128, 256, 512, 1024: "
                        "not a result file")
    pixels = width * width
    header_end = 4 + 8 * pixels + 16
    if size < header_end + 8:
        raise Krn1Error(f"file is {size} bytes long, too short for a width of {width} "
                        f"(at least {header_end + 8} bytes)")
    kmax, dkmax = (int(x) for x in np.frombuffer(data, "<i4", 2, header_end - 8))
    limit = width // 2 - 1
    for name, value in (("kmax", kmax), ("dkmax", dkmax)):
        if not 0 <= value <= limit:
            raise Krn1Error(f"{name} field is {value}, outside 0..{limit} for width {width}")
    count = phase_count(width, kmax, dkmax)
    expected = 28 + 8 * pixels + 4 * count
    if size != expected:
        raise Krn1Error(f"file is {size} bytes long, but width {width}, kmax {kmax} and dkmax "
                        f"{dkmax} need {expected} bytes ({count} phases)")

    by_column = np.frombuffer(data, "<f8", pixels, 4)
    power_checksum = float(np.frombuffer(data, "<f8", 1, 4 + 8 * pixels)[0])
    total = _sequential_sum(by_column)
    if not _same_sum(power_checksum, total):
        raise Krn1Error(f"power checksum does not match: stored {power_checksum!r}, "
                        f"the power values sum to {total!r}")
    phases = np.frombuffer(data, "<f4", count, header_end).astype(np.float32)
    phase_checksum = float(np.frombuffer(data, "<f8", 1, header_end + 4 * count)[0])
    total = _sequential_sum(phases)
    if not _same_sum(phase_checksum, total):
        raise Krn1Error(f"phase checksum does not match: stored {phase_checksum!r}, "
                        f"the phases sum to {total!r}")

    # The file runs column by column (x frequency outermost); rows are y here.
    power = by_column.reshape(width, width).T.astype(np.float64)
    return Result(width, kmax, dkmax, power, power_checksum, phases, phase_checksum)


def read(path):
    """Reads and checks a result file; raises Krn1Error when it is not sound."""
    with open(path, "rb") as f:
        return parse(f.read())


if __name__ == "__main__":
    import sys

    for name in sys.argv[1:]:
        r = read(name)
        print(f"{name}: width {r.width}, kmax {r.kmax}, dkmax {r.dkmax}, "
              f"{r.phases.size} phases, power {r.power.min():.6g} .. {r.power.max():.6g}")
