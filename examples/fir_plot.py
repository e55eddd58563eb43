#!/usr/bin/env python3
"""Designs a low-pass FIR filter, runs a two-tone signal through the bit-accurate model and
plots input, output and spectra into a PNG.

    build/python/kip_python examples/fir_plot.py [output.png]

The default output is build/fir_plot.png beside this repository's examples/ directory. The
coefficients come from scipy.signal.firwin when scipy is installed, else from a windowed sinc
computed with numpy (the same design).
"""

import pathlib
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

from kip_models.fir import FirModel  # noqa: E402

TAPS = 63
CUTOFF = 0.2  # of the sample rate
WIDTH = 16    # data and coefficient width in bits (15 fraction bits: values in [-1, 1))


def design_lowpass(taps, cutoff):
    try:
        from scipy.signal import firwin
        return firwin(taps, 2 * cutoff, window="hamming")
    except ImportError:
        n = np.arange(taps) - (taps - 1) / 2
        h = 2 * cutoff * np.sinc(2 * cutoff * n) * np.hamming(taps)
        return h / h.sum()


def main():
    out = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else \
        pathlib.Path(__file__).resolve().parents[1] / "build" / "fir_plot.png"
    out.parent.mkdir(parents=True, exist_ok=True)

    h = design_lowpass(TAPS, CUTOFF)
    fs = 1.0
    t = np.arange(4096)
    rng = np.random.default_rng(0)
    x = 0.45 * np.sin(2 * np.pi * 0.05 * t) + 0.45 * np.sin(2 * np.pi * 0.35 * t) \
        + 0.01 * rng.standard_normal(t.size)
    x = np.clip(np.round(x * 2**(WIDTH - 1)), -2**(WIDTH - 1), 2**(WIDTH - 1) - 1) / 2**(WIDTH - 1)

    with FirModel(name="lowpass", coeff=h, quantization=1, coeff_width=WIDTH,
                  coeff_fract_width=WIDTH - 1, data_width=WIDTH, data_fract_width=WIDTH - 1,
                  output_rounding=3, output_width=WIDTH) as fir:
        y = fir.run(x)
        cfg = fir.config
    print(f"{cfg['name']}: {TAPS} taps, output {cfg['output_width']} bits with "
          f"{cfg['output_fract_width']} fraction bits; {x.size} samples in, {y.size} out")

    win = np.hanning(x.size)
    f = np.fft.rfftfreq(x.size, 1 / fs)

    def db(v):
        return 20 * np.log10(np.maximum(np.abs(np.fft.rfft(v * win)) / (win.sum() / 2), 1e-12))

    hq = np.round(h * 2**(WIDTH - 1)) / 2**(WIDTH - 1)
    resp = 20 * np.log10(np.maximum(np.abs(np.fft.rfft(hq, 8192)), 1e-12))
    print(f"tone at 0.35: {db(x)[np.argmin(abs(f - 0.35))]:.1f} dB in, "
          f"{db(y)[np.argmin(abs(f - 0.35))]:.1f} dB out; worst stop-band level of the "
          f"quantised filter {resp[np.fft.rfftfreq(8192) > CUTOFF + 0.05].max():.1f} dB")

    fig, (ax1, ax2) = plt.subplots(2, 1, figsize=(10, 8))
    shown = slice(0, 200)
    ax1.plot(t[shown], x[shown], label="input", lw=0.8)
    ax1.plot(t[shown], y[shown], label="model output", lw=1.2)
    ax1.set_xlabel("sample")
    ax1.set_ylabel("amplitude")
    ax1.set_title(f"{TAPS}-tap low-pass, cut-off {CUTOFF} fs, {WIDTH}-bit data and coefficients")
    ax1.legend(loc="upper right")
    ax2.plot(f, db(x), label="input spectrum", lw=0.8)
    ax2.plot(f, db(y), label="output spectrum", lw=0.8)
    ax2.plot(np.fft.rfftfreq(8192), resp, label="filter response (quantised)", lw=1.2, ls="--")
    ax2.set_xlabel("frequency / fs")
    ax2.set_ylabel("dB")
    ax2.set_ylim(-140, 10)
    ax2.legend(loc="lower left")
    ax2.grid(alpha=0.3)
    fig.tight_layout()
    fig.savefig(out, dpi=100)
    print(f"wrote {out}")


if __name__ == "__main__":
    main()
