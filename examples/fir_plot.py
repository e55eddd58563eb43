#!/usr/bin/env python3
"""Designs a low-pass FIR filter, runs a two-tone signal through the bit-accurate model and
plots into a PNG, in three panels: input and output in time (the output lags by the filter's
group delay), their spectra in dBFS, and the filter's response in dB. The second tone sits in
the stop band where the quantised filter rejects least, so the plot shows the filter at its
worst.

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


def response_db(h, f):
    """20 log10 |H(f)| of the taps h at the frequencies f (cycles per sample)."""
    k = np.arange(len(h))
    return 20 * np.log10(np.maximum(np.abs(np.exp(-2j * np.pi * np.outer(f, k)) @ h), 1e-12))


def main():
    out = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else \
        pathlib.Path(__file__).resolve().parents[1] / "build" / "fir_plot.png"
    out.parent.mkdir(parents=True, exist_ok=True)

    h = design_lowpass(TAPS, CUTOFF)
    hq = np.round(h * 2**(WIDTH - 1)) / 2**(WIDTH - 1)   # the taps the model uses (quantization=1)
    n = 4096
    delay = (TAPS - 1) // 2                               # linear phase: the group delay

    # The stop band starts at the design's first null beyond the cut-off (the end of the
    # transition band); the second tone sits on the FFT bin where the quantised filter rejects
    # least.
    fine = np.arange(0, 0.5, 1 / (16 * n))
    resp_fine = response_db(hq, fine)
    designed = response_db(h, fine)
    dips = np.flatnonzero((designed[1:-1] < designed[:-2]) & (designed[1:-1] < designed[2:])) + 1
    stop_edge = fine[dips[fine[dips] > CUTOFF][0]]
    stop = fine >= stop_edge
    f_worst = fine[stop][np.argmax(resp_fine[stop])]
    worst = resp_fine[stop].max()
    f_pass, f_stop = 0.05, round(f_worst * n) / n
    at_tone = response_db(hq, [f_stop])[0]

    t = np.arange(n)
    rng = np.random.default_rng(0)
    x = 0.45 * np.sin(2 * np.pi * f_pass * t) + 0.45 * np.sin(2 * np.pi * f_stop * t) \
        + 0.01 * rng.standard_normal(n)
    x = np.clip(np.round(x * 2**(WIDTH - 1)), -2**(WIDTH - 1), 2**(WIDTH - 1) - 1) / 2**(WIDTH - 1)

    with FirModel(name="lowpass", coeff=h, quantization=1, coeff_width=WIDTH,
                  coeff_fract_width=WIDTH - 1, data_width=WIDTH, data_fract_width=WIDTH - 1,
                  output_rounding=3, output_width=WIDTH) as fir:
        y = fir.run(x)
        cfg = fir.config
    print(f"{cfg['name']}: {TAPS} taps, output {cfg['output_width']} bits with "
          f"{cfg['output_fract_width']} fraction bits; {x.size} samples in, {y.size} out")

    win = np.hanning(n)
    f = np.fft.rfftfreq(n)

    def dbfs(v):  # 0 dBFS: a sine of amplitude 1, the input's full scale
        return 20 * np.log10(np.maximum(np.abs(np.fft.rfft(v * win)) / (win.sum() / 2), 1e-12))

    k = int(round(f_stop * n))
    print(f"stop band from {stop_edge:.3f} fs: worst level of the quantised filter {worst:.1f} dB "
          f"at {f_worst:.4f} fs; tone at {f_stop:.4f} fs: {dbfs(x)[k]:.1f} dBFS in, "
          f"{dbfs(y)[k]:.1f} dBFS out ({dbfs(y)[k] - dbfs(x)[k]:.1f} dB, the filter: "
          f"{at_tone:.1f} dB); group delay {delay} samples")

    fig, (ax1, ax2, ax3) = plt.subplots(3, 1, figsize=(10, 11))
    shown = slice(0, 200)
    ax1.plot(t[shown], x[shown], label="input", lw=0.8)
    ax1.plot(t[shown], y[shown], label="model output", lw=1.2)
    ax1.plot(t[shown] + delay, 0.45 * np.sin(2 * np.pi * f_pass * t[shown]), lw=0.8, ls=":",
             color="k", label=f"pass-band tone of the input, delayed {delay} samples")
    ax1.set_xlim(0, shown.stop)
    ax1.set_xlabel("sample")
    ax1.set_ylabel("amplitude")
    ax1.set_title(f"{TAPS}-tap low-pass, cut-off {CUTOFF} fs, {WIDTH}-bit data and coefficients: "
                  f"the output lags by the group delay, {delay} samples")
    ax1.legend(loc="upper right", fontsize=8)

    ax2.plot(f, dbfs(x), label="input", lw=0.8)
    ax2.plot(f, dbfs(y), label="model output", lw=0.8)
    for fx in (f_pass, f_stop):
        i = int(round(fx * n))
        ax2.annotate(f"{fx:.4f} fs: {dbfs(x)[i]:.1f} dBFS in, {dbfs(y)[i]:.1f} dBFS out",
                     (fx, dbfs(x)[i]), textcoords="offset points", xytext=(8, -2), fontsize=8,
                     bbox=dict(facecolor="white", edgecolor="none", alpha=0.85))
    ax2.set_ylabel("spectrum, dBFS (Hann window)")
    ax2.set_ylim(-150, 10)
    ax2.legend(loc="lower left", fontsize=8)
    ax2.grid(alpha=0.3)

    ax3.plot(fine, designed, label="designed (double)", lw=0.8, color="0.6")
    ax3.plot(fine, resp_fine, label=f"quantised to {WIDTH} bits (the model's taps)", lw=1.2)
    ax3.axvspan(stop_edge, 0.5, color="C3", alpha=0.07, label="stop band")
    ax3.axhline(worst, color="C3", lw=0.8, ls="--")
    ax3.annotate(f"worst stop-band level {worst:.1f} dB at {f_worst:.4f} fs (the second tone)",
                 (f_worst, worst), textcoords="offset points", xytext=(-320, 8), fontsize=8)
    ax3.set_xlabel("frequency / fs")
    ax3.set_ylabel("filter response, dB")
    ax3.set_ylim(-120, 10)
    ax3.legend(loc="lower left", fontsize=8)
    ax3.grid(alpha=0.3)
    ax2.set_xlim(0, 0.5)
    ax3.set_xlim(0, 0.5)
    fig.tight_layout()
    fig.savefig(out, dpi=100)
    print(f"wrote {out}")


if __name__ == "__main__":
    main()
