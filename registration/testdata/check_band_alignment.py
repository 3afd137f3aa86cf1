#!/usr/bin/python3
"""Independent check of the band alignment of a merged capture.

Reads the multi-band TIFF with GDAL, and for every band against the reference band estimates the local
shift on a grid of 96-pixel windows: gradient magnitude (numpy), whitened cross-power spectrum, integer
peak, then a sub-pixel estimate refined by shifting the window in the Fourier domain until the
correction is negligible. Prints one line per band: "band B windows N median M p90 P".

usage: check_band_alignment.py MERGED.tif REFERENCE_BAND_INDEX (0-based)
"""
import sys

import numpy as np
from osgeo import gdal

WINDOW = 96
STEP = 80
MIN_PEAK = 0.1


def smooth(img):
    # Binomial 5-tap blur, separable.
    k = np.array([1, 4, 6, 4, 1], dtype=np.float64) / 16.0
    out = np.apply_along_axis(lambda r: np.convolve(r, k, mode="same"), 1, img)
    return np.apply_along_axis(lambda c: np.convolve(c, k, mode="same"), 0, out)


def gradient_magnitude(img):
    s = smooth(img.astype(np.float64))
    gy, gx = np.gradient(s)
    return np.hypot(gx, gy)


def hann2(n):
    h = np.hanning(n)
    return np.outer(h, h)


def shift_estimate(a, b, win):
    """Shift d with b(x) ~ a(x - d), and the height of the correlation peak."""
    fa = np.fft.fft2((a - a.mean()) * win)
    total = np.zeros(2)
    peak_height = 0.0
    n = a.shape[0]
    freqs = np.fft.fftfreq(n)
    fy, fx = np.meshgrid(freqs, freqs, indexing="ij")
    fb0 = np.fft.fft2((b - b.mean()) * win)
    fb = fb0
    for it in range(8):
        cross = fb * np.conj(fa)
        cross /= np.abs(cross) + 1e-15
        surface = np.real(np.fft.ifft2(cross))
        iy, ix = np.unravel_index(np.argmax(surface), surface.shape)
        if it == 0:
            peak_height = surface[iy, ix]
        def parabola(m, c, p):
            d = m - 2 * c + p
            return 0.5 * (m - p) / d if d < 0 else 0.0
        c = surface[iy, ix]
        dx = parabola(surface[iy, (ix - 1) % n], c, surface[iy, (ix + 1) % n])
        dy = parabola(surface[(iy - 1) % n, ix], c, surface[(iy + 1) % n, ix])
        sx = (ix if ix < n // 2 else ix - n) + dx
        sy = (iy if iy < n // 2 else iy - n) + dy
        total += (sx, sy)
        # Undo the shift found so far in the spectrum of b and look again.
        fb = fb0 * np.exp(2j * np.pi * (fx * total[0] + fy * total[1]))
        if abs(sx) < 1e-3 and abs(sy) < 1e-3:
            break
    return total, peak_height


def main():
    path, ref_index = sys.argv[1], int(sys.argv[2])
    ds = gdal.Open(path)
    if ds is None:
        print("cannot open", path)
        return 1
    bands = [ds.GetRasterBand(i + 1).ReadAsArray().astype(np.float64) for i in range(ds.RasterCount)]
    ref = bands[ref_index]
    gref = gradient_magnitude(ref)
    win = hann2(WINDOW)
    h, w = ref.shape
    for bi, band in enumerate(bands):
        if bi == ref_index:
            continue
        g = gradient_magnitude(band)
        lengths = []
        for y in range(WINDOW // 2, h - WINDOW - WINDOW // 2 + 1, STEP):
            for x in range(WINDOW // 2, w - WINDOW - WINDOW // 2 + 1, STEP):
                if (band[y:y + WINDOW, x:x + WINDOW] == 0).any() or (ref[y:y + WINDOW, x:x + WINDOW] == 0).any():
                    continue
                d, peak = shift_estimate(gref[y:y + WINDOW, x:x + WINDOW], g[y:y + WINDOW, x:x + WINDOW], win)
                if peak < MIN_PEAK or np.hypot(*d) > WINDOW / 4:
                    continue
                lengths.append(np.hypot(*d))
        if lengths:
            print("band %d windows %d median %.3f p90 %.3f" % (bi, len(lengths), np.median(lengths),
                                                                 np.percentile(lengths, 90)))
        else:
            print("band %d windows 0 median nan p90 nan" % bi)
    return 0


if __name__ == "__main__":
    sys.exit(main())
