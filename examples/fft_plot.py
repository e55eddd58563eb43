#!/usr/bin/env python3
"""A tone in noise through the bit-accurate FFT model, its spectrum next to numpy's, plotted
into a PNG with the model's error in dB.

    build/python/kip_python examples/fft_plot.py [output.png]

The model: a 1,024-point pipelined streaming FFT (C_ARCH 3), 16-bit input and twiddles,
scaled by the schedule [3, 2, 2, 2, 1] (1/512 overall: the first stage shifts by 3 so that a
full-scale input cannot overflow), convergent rounding. The input: a complex tone between two
bins at -6 dBFS plus white noise at -40 dBFS, Hann-windowed, on the 16-bit grid.
numpy.fft.fft of the same quantised samples, in double precision, is the reference; the error
is the model's spectrum minus numpy's, relative to the tone's peak. The default output is
build/fft_plot.png beside this repository's examples/ directory.
"""

import pathlib
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

from kip_models import FftModel  # noqa: E402

NFFT = 10                          # log2 of the length: 1,024 points
SCHEDULE = [3, 2, 2, 2, 1]         # right shifts per radix-4 stage, first stage first
TONE = 100.37                      # cycles per frame: between bins, so the tone leaks


def db(v, ref):
    return 20 * np.log10(np.maximum(np.abs(v), 1e-12) / ref)


def main():
    out = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else \
        pathlib.Path(__file__).resolve().parents[1] / "build" / "fft_plot.png"
    out.parent.mkdir(parents=True, exist_ok=True)

    n = 2**NFFT
    t = np.arange(n)
    rng = np.random.default_rng(1)
    x = 0.5 * np.exp(2j * np.pi * TONE * t / n) \
        + 0.01 * (rng.standard_normal(n) + 1j * rng.standard_normal(n)) / np.sqrt(2)
    x *= np.hanning(n)

    with FftModel(C_NFFT_MAX=NFFT, C_ARCH=3, C_INPUT_WIDTH=16, C_TWIDDLE_WIDTH=16,
                  C_HAS_SCALING=1, C_HAS_ROUNDING=1) as fft:
        xq = fft.quantize(x)
        r = fft.transform(xq, scaling=SCHEDULE, numpy_units=True)
    ref = np.fft.fft(xq)
    if r.overflow:
        sys.exit("the schedule overflowed")

    peak = np.abs(ref).max()
    err = r.xk - ref
    worst = db(err, peak).max()
    snr = 10 * np.log10(np.sum(np.abs(ref)**2) / np.sum(np.abs(err)**2))
    k = np.fft.fftshift(np.fft.fftfreq(n, 1 / n))
    print(f"{n}-point pipelined FFT, schedule {SCHEDULE}: peak at bin {np.argmax(np.abs(r.xk))} "
          f"(numpy: {np.argmax(np.abs(ref))}), worst bin error {worst:.1f} dB of the peak, "
          f"signal to error {snr:.1f} dB")

    fig, (ax1, ax2) = plt.subplots(2, 1, figsize=(10, 8), sharex=True)
    ax1.plot(k, db(np.fft.fftshift(ref), peak), label="numpy.fft.fft (double)", lw=1.6)
    ax1.plot(k, db(np.fft.fftshift(r.xk), peak), label="FFT model (bit-accurate)", lw=0.8)
    ax1.set_ylabel("dB relative to the peak")
    ax1.set_ylim(-130, 5)
    ax1.set_title(f"Tone at {TONE} cycles/frame (-6 dBFS) in noise (-40 dBFS), Hann window\n"
                  f"{n}-point pipelined FFT, 16-bit data and twiddles, schedule {SCHEDULE}")
    ax1.legend(loc="lower left")
    ax1.grid(alpha=0.3)
    ax2.plot(k, db(np.fft.fftshift(err), peak), lw=0.8, color="C3")
    ax2.axhline(worst, color="k", lw=0.8, ls="--")
    ax2.text(0.01, 0.97, f"worst bin {worst:.1f} dB, signal to error {snr:.1f} dB",
             transform=ax2.transAxes, va="top")
    ax2.set_xlabel("bin (cycles per frame)")
    ax2.set_ylabel("error (model - numpy), dB")
    ax2.set_ylim(worst - 50, worst + 10)
    ax2.grid(alpha=0.3)
    fig.tight_layout()
    fig.savefig(out, dpi=100)
    print(f"wrote {out}")


if __name__ == "__main__":
    main()
