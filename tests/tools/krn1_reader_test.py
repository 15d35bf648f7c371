"""python/krn1.py against result files the korrin binary wrote from frames with a known spectrum.

Usage: krn1_reader_test.py KORRIN_BINARY PYTHON_DIR
"""

import os
import subprocess
import sys
import tempfile
import unittest

import numpy as np

KORRIN = sys.argv[1]
sys.path.insert(0, sys.argv[2])
import krn1  # noqa: E402

W, K, D = 128, 62, 3  # K + D > W/2 - 1: the file leaves out pairs at both ends of both axes


def write_fits(path, image):
    """A BITPIX -32 primary image, row 0 first, written card by card."""
    cards = ["SIMPLE  =                    T", "BITPIX  =                  -32",
             "NAXIS   =                    2", f"NAXIS1  = {image.shape[1]:20d}",
             f"NAXIS2  = {image.shape[0]:20d}", "END"]
    header = "".join(c.ljust(80) for c in cards)
    header += " " * (-len(header) % 2880)
    data = image.astype(">f4").tobytes()
    data += b"\0" * (-len(data) % 2880)
    with open(path, "wb") as f:
        f.write(header.encode("ascii") + data)


def spectrum(image):
    """Normalised centred spectrum, indexed [fy + W/2, fx + W/2]."""
    return np.fft.fftshift(np.fft.fft2(image.astype(np.float64))) / (W * W)


class ReaderAgainstTheBinary(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        capture = os.path.join(cls.tmp.name, "capture")
        os.mkdir(capture)
        rng = np.random.default_rng(7)
        cls.frames = []
        for i in range(2):
            y, x = np.mgrid[0:W, 0:W]
            # A bright spot off centre on a noisy background: a spectrum with structure and no
            # vanishing terms, so every phase is well defined.
            image = 100 + 50 * rng.random((W, W)) + 400 * np.exp(
                -((x - 40 - 5 * i) ** 2 + (y - 70) ** 2) / 8.0)
            write_fits(os.path.join(capture, f"f_{i}.fits"), image)
            cls.frames.append(image.astype(np.float32))
        cls.path = os.path.join(cls.tmp.name, "r.krn1")
        done = subprocess.run([KORRIN, f"--dir={capture}", f"--out={cls.path}", f"--kmax={K}",
                               f"--dkmax={D}", "--nprocs=2"], capture_output=True, text=True,
                              env={})
        assert done.returncode == 0, done.stderr + done.stdout
        cls.result = krn1.read(cls.path)
        cls.spectra = [spectrum(f) for f in cls.frames]

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def test_header_and_counts(self):
        r = self.result
        self.assertEqual((r.width, r.kmax, r.dkmax), (W, K, D))
        self.assertEqual(r.power.shape, (W, W))
        self.assertEqual(r.phases.size, krn1.phase_count(W, K, D))
        self.assertEqual(krn1.phase_count(128, 60, 9), 2588872)
        self.assertEqual(krn1.phase_count(256, 60, 9), 2664541)

    def test_power_is_the_mean_over_frames_at_fy_fx(self):
        expected = sum(np.abs(s) ** 2 for s in self.spectra) / len(self.spectra)
        np.testing.assert_allclose(self.result.power, expected, rtol=1e-3,
                                   atol=1e-6 * expected.max())
        # Transposed, the off-centre spot's spectrum would not match.
        self.assertFalse(np.allclose(self.result.power, expected.T, rtol=1e-3))
        self.assertEqual(self.result.power_at(0, 0), self.result.power[W // 2, W // 2])

    def test_phases_are_those_of_the_summed_bispectrum(self):
        h = W // 2

        def f(s, x, y):
            return s[y + h, x + h]

        pairs = [((0, 0), (0, 0)), ((5, 7), (-2, 3)), ((-60, 0), (-3, 3)), ((62, 62), (2, 2)),
                 ((-62, 61), (-1, 3)), ((1, 0), (0, -3)), ((30, 12), (3, -1))]
        for u, v in pairs:
            b = sum(f(s, *u) * f(s, *v) * f(s, -(u[0] + v[0]), -(u[1] + v[1]))
                    for s in self.spectra)
            got = self.result.phase(u, v)
            self.assertIsNotNone(got, (u, v))
            diff = np.angle(np.exp(1j * (got - np.angle(b))))
            self.assertLess(abs(diff), 1e-3, (u, v, got, np.angle(b)))
        # -(u + v) outside the spectrum: not in the file.
        self.assertIsNone(self.result.phase((62, 0), (3, 0)))
        self.assertIsNone(self.result.phase((0, 62), (0, 3)))
        self.assertIsNone(self.result.phase((0, -1), (0, 0)))

    def test_phase_table_is_the_memory_order(self):
        table = self.result.phase_table()
        self.assertEqual(table.shape, (K + 1, 2 * K + 1, 2 * D + 1, 2 * D + 1))
        self.assertEqual(int(np.count_nonzero(~np.isnan(table))), self.result.phases.size)
        for (ux, uy), (vx, vy) in [((5, 7), (-2, 3)), ((-62, 61), (-1, 3)), ((0, 0), (0, 0))]:
            self.assertEqual(table[uy, ux + K, vy + D, vx + D], self.result.phase((ux, uy), (vx, vy)))
        self.assertTrue(np.isnan(table[0, 62 + K, D, 3 + D]))

    def test_damaged_files_are_refused_with_the_reason(self):
        with open(self.path, "rb") as f:
            good = f.read()
        size = len(good)
        with self.assertRaises(krn1.Krn1Error) as e:
            krn1.parse(good[:-1])
        self.assertEqual(str(e.exception), f"file is {size - 1} bytes long, but width {W}, kmax "
                         f"{K} and dkmax {D} need {size} bytes ({self.result.phases.size} phases)")
        bad = bytearray(good)
        bad[4 + 8 * W * W + 16 + 4 * 100 + 2] ^= 0x01  # a middle mantissa bit of phase 100
        with self.assertRaises(krn1.Krn1Error) as e:
            krn1.parse(bytes(bad))
        self.assertTrue(str(e.exception).startswith("phase checksum does not match"))
        bad = bytearray(good)
        bad[4 + 8 * 1000 + 5] ^= 0x01  # a high mantissa bit: a low one drowns in the sum
        with self.assertRaises(krn1.Krn1Error) as e:
            krn1.parse(bytes(bad))
        self.assertTrue(str(e.exception).startswith("power checksum does not match"))
        with self.assertRaises(krn1.Krn1Error) as e:
            krn1.parse(b"\x64\0\0\0" + good[4:])
        self.assertIn("width field is 100", str(e.exception))


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
