# python/krn1.py against a result file the korrin binary wrote from frames with a known spectrum.
#
# Usage: krn1_reader_test.py KORRIN_BINARY PYTHON_DIR

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


class ReaderAgainstTheBinary(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        capture = os.path.join(cls.tmp.name, "capture")
        os.mkdir(capture)
        rng = np.random.default_rng(7)
        y, x = np.mgrid[0:W, 0:W]
        cards = ["SIMPLE  =                    T", "BITPIX  =                  -32",
                 "NAXIS   =                    2", f"NAXIS1  = {W:20d}", f"NAXIS2  = {W:20d}", "END"]
        header = "".join(c.ljust(80) for c in cards).ljust(2880).encode("ascii")
        cls.spectra = []
        for i in range(2):
            # A bright spot off centre on a noisy background: a spectrum with structure and no
            # vanishing terms, so every phase is well defined. Row 0 first in the file.
            image = (100 + 50 * rng.random((W, W)) +
                     400 * np.exp(-((x - 40 - 5 * i) ** 2 + (y - 70) ** 2) / 8.0)).astype(np.float32)
            with open(os.path.join(capture, f"f_{i}.fits"), "wb") as f:
                f.write(header + image.astype(">f4").tobytes())
            # Normalised centred spectrum, indexed [fy + W/2, fx + W/2].
            cls.spectra.append(np.fft.fftshift(np.fft.fft2(image.astype(np.float64))) / (W * W))
        cls.path = os.path.join(cls.tmp.name, "r.krn1")
        done = subprocess.run([KORRIN, f"--dir={capture}", f"--out={cls.path}", f"--kmax={K}",
                               f"--dkmax={D}", "--nprocs=2"], capture_output=True, text=True,
                              env={})
        assert done.returncode == 0, done.stderr + done.stdout
        cls.result = krn1.read(cls.path)

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def test_power_is_the_mean_over_frames_at_fy_fx(self):
        r = self.result
        self.assertEqual((r.width, r.kmax, r.dkmax, r.phases.size), (W, K, D, krn1.phase_count(W, K, D)))
        expected = sum(np.abs(s) ** 2 for s in self.spectra) / len(self.spectra)
        np.testing.assert_allclose(r.power, expected, rtol=1e-3, atol=1e-6 * expected.max())
        self.assertEqual(r.power_at(3, -7), r.power[W // 2 - 7, W // 2 + 3])

    def test_phases_are_those_of_the_summed_bispectrum(self):
        def f(s, x, y):
            return s[y + W // 2, x + W // 2]

        table = self.result.phase_table()
        self.assertEqual(table.shape, (K + 1, 2 * K + 1, 2 * D + 1, 2 * D + 1))
        self.assertEqual(int(np.count_nonzero(~np.isnan(table))), self.result.phases.size)
        for u, v in [((0, 0), (0, 0)), ((5, 7), (-2, 3)), ((-60, 0), (-3, 3)), ((62, 62), (2, 2)),
                     ((-62, 61), (-1, 3)), ((1, 0), (0, -3)), ((30, 12), (3, -1))]:
            b = sum(f(s, *u) * f(s, *v) * f(s, -(u[0] + v[0]), -(u[1] + v[1])) for s in self.spectra)
            got = self.result.phase(u, v)
            self.assertLess(abs(np.angle(np.exp(1j * (got - np.angle(b))))), 1e-3, (u, v))
            self.assertEqual(table[u[1], u[0] + K, v[1] + D, v[0] + D], got)
        # -(u + v) outside the spectrum, or u outside the box: not in the file.
        for u, v in [((62, 0), (3, 0)), ((0, 62), (0, 3)), ((0, -1), (0, 0))]:
            self.assertIsNone(self.result.phase(u, v))
        self.assertTrue(np.isnan(table[0, 62 + K, D, 3 + D]))

    def test_damaged_files_are_refused_with_the_reason(self):
        with open(self.path, "rb") as f:
            good = f.read()
        with self.assertRaises(krn1.Krn1Error) as e:
            krn1.parse(good[:-1])
        self.assertEqual(str(e.exception), f"file is {len(good) - 1} bytes long, but width {W}, kmax "
                         f"{K} and dkmax {D} need {len(good)} bytes ({self.result.phases.size} phases)")
        bad = bytearray(good)
        bad[4 + 8 * 1000 + 5] ^= 0x01  # a high mantissa bit: a low one drowns in the sum
        with self.assertRaises(krn1.Krn1Error) as e:
            krn1.parse(bytes(bad))
        self.assertTrue(str(e.exception).startswith("power checksum does not match"))


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
