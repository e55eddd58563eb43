#!/usr/bin/env python3
"""Cross-front-end test: the same FIR and FFT configurations and stimuli (random, seeded by
KIP_TEST_SEED) through the C interfaces, the DPI-C layers, Python (kip_models), Octave (the MEX
files, run by octave-cli) and kip-golden, each driven the way its users drive it, must give the
same output words bit for bit and the same refusals.

    run_cross.py --harness BIN --golden BIN --octave-cli BIN --mex-dir DIR --work DIR

PYTHONPATH must reach the kip_models package. Prints one line per difference, grouped by case,
and a summary; exit status 1 when any front end differs from the C interface, 0 otherwise.
--cases-only writes the cases and stops; --keep leaves the work folder's files in place.
"""

import argparse
import json
import math
import os
import random
import struct
import subprocess
import sys
import warnings

DEFAULT_SEED = 20240611


# ------------------------------------------------------------------------------ the cases

def _words(rng, n, width):
    lo, hi = -(1 << (width - 1)), (1 << (width - 1)) - 1
    w = [rng.randint(lo, hi) for _ in range(n)]
    for i in range(0, n, 7):  # the most negative and the largest code, regularly
        w[i] = lo if (i // 7) % 2 == 0 else hi
    return w


def fir_cases(rng):
    """At least 20 accepted configurations covering every filter type, both arithmetic modes,
    both channel sequences and every rounding mode, the defaults among them; then refusals."""
    cases = [{"config": {}, "vectors": 40}]  # the library's defaults, default taps included
    for i in range(26):
        ft = i % 5
        cfg = {"filter_type": ft}
        if ft == 1:
            cfg["interp_rate"] = rng.randint(2, 5)
        if ft == 2:
            cfg["decim_rate"] = rng.randint(2, 5)
        if ft in (1, 2) and i % 3 == 0:
            cfg["rate_change"] = 1
            cfg["interp_rate"], cfg["decim_rate"] = rng.choice([(2, 3), (3, 2), (3, 4), (5, 2)])
        if ft == 4:
            cfg["zero_pack_factor"] = rng.randint(2, 4)
        w = rng.choice([8, 12, 16, 18, 24])
        cfg["data_width"] = w
        cfg["data_fract_width"] = rng.choice([0, w - 1, w // 2])
        fc = rng.choice([0, 8, 15])
        cfg["coeff_fract_width"] = fc
        cfg["coeff_width"] = 16 if i % 4 else 18
        taps = rng.randint(3, 24) | (1 if ft == 3 else 0)
        if fc == 0:
            coeff = [float(rng.randint(-100, 100)) for _ in range(taps)]
        elif i % 2:
            coeff = [rng.randint(-(1 << fc), (1 << fc) - 1) / (1 << fc) for _ in range(taps)]
        else:
            coeff = [rng.uniform(-0.9, 0.9) for _ in range(taps)]  # off the coefficient grid
        if all(c == 0 for c in coeff):
            coeff[0] = 1.0
        cfg["quantization"] = rng.choice([0, 1, 2]) if fc else 0
        cfg["num_channels"] = rng.randint(1, 3)
        cfg["num_paths"] = rng.randint(1, 2)
        if i % 6 == 5:
            cfg["reloadable"] = 1
            cfg["is_halfband"] = int(i % 12 == 5)
        if i % 7 == 3:
            cfg["coeff_padding"] = rng.randint(1, 4)
        cfg["output_rounding"] = i % 8
        if cfg["output_rounding"]:
            cfg["output_width"] = w + 2
        if i % 9 == 4:
            cfg["coeff_sets"] = 2
            coeff = coeff + [c / 2 for c in coeff]
        cfg["coeff"] = coeff
        cases.append({"config": cfg, "vectors": rng.randint(20, 50)})
    # Integer (GMP) arithmetic: a 53-bit accumulator and more.
    cases.append({"config": {"filter_type": 2, "decim_rate": 3, "reloadable": 1,
                             "coeff_width": 24, "data_width": 24, "output_rounding": 4,
                             "output_width": 40,
                             "coeff": [float(rng.randint(-(1 << 20), 1 << 20)) for _ in range(9)]},
                  "vectors": 30})
    cases.append({"config": {"reloadable": 1, "coeff_width": 30, "data_width": 30,
                             "coeff": [float(rng.randint(-(1 << 28), 1 << 28)) for _ in range(7)]},
                  "vectors": 20})
    # The advanced channel sequence (default pattern of 4 channels).
    cases.append({"config": {"chan_seq": 1, "num_channels": 4, "init_pattern": 0,
                             "coeff": [1.0, 2.0, 3.0, 2.0, 1.0]}, "vectors": 24})
    # Refusals: one field out of range, and combinations the library refuses.
    for cfg in ({"filter_type": 5}, {"data_width": 50},
                {"rate_change": 1, "filter_type": 1, "interp_rate": 4, "decim_rate": 6},
                {"chan_seq": 1, "num_channels": 10},
                {"data_width": 12, "data_fract_width": 13},
                {"output_rounding": 1, "output_width": 60},
                {"num_paths": 0}):
        cases.append({"config": cfg, "vectors": 4})
    out = []
    for k, c in enumerate(cases):
        cfg = c["config"]
        w = cfg.get("data_width", 16)
        w = w if 1 <= w <= 49 else 16
        frame = max(cfg.get("num_paths", 1), 1) * max(cfg.get("num_channels", 1), 1)
        out.append({"id": f"fir{k:02d}", "kind": "fir", "config": cfg,
                    "input_words": _words(rng, frame * c["vectors"], w)})
    return out


def _float_word(x):
    return struct.unpack("<I", struct.pack("<f", x))[0]


def _full_scale_tone(n, width, k):
    """Real and imaginary parts at the corners of the square, aligned with bin k: the frame
    that drives a transform closest to its overflow bound."""
    lo, hi = -(1 << (width - 1)), (1 << (width - 1)) - 1
    w = []
    for t in range(n):
        a = 2 * math.pi * k * t / n + math.pi / 4
        w += [hi if math.cos(a) >= 0 else lo, hi if math.sin(a) >= 0 else lo]
    return w


def fft_cases(rng):
    """At least 20 accepted configurations covering every architecture and scaling mode
    (unscaled, default schedule, given schedule, block floating point, floating point), the
    defaults among them; then refusals."""
    fft_cases = [({}, None, None, 1)]  # the defaults: 1024 points, radix-4, default schedule
    for i in range(24):
        arch = i % 4 + 1
        mode = (i // 4) % 5  # 0 unscaled, 1 default schedule, 2 given schedule, 3 bfp, 4 float
        nmax = rng.randint(6 if arch == 1 else 3, 8)
        g = {"C_ARCH": arch, "C_NFFT_MAX": nmax}
        if rng.random() < 0.5 and nmax >= (7 if arch == 1 else 4):
            g["C_HAS_NFFT"] = 1
        g["C_INPUT_WIDTH"] = rng.choice([8, 12, 16, 18, 24, 34])
        g["C_TWIDDLE_WIDTH"] = rng.choice([8, 12, 16, 18, 24, 34])
        g["C_HAS_ROUNDING"] = rng.randint(0, 1)
        if mode == 0:
            g["C_HAS_SCALING"] = 0
        if mode == 3:
            g["C_HAS_BFP"] = 1
        if mode == 4:
            g["C_USE_FLT_PT"] = 1
            g["C_INPUT_WIDTH"] = 32
        nfft = None
        if g.get("C_HAS_NFFT"):
            nfft = rng.randint(6 if arch == 1 else 3, nmax)
        n = nfft if nfft is not None else nmax
        sched = None
        if mode == 2:
            steps = (n + 1) // 2 if arch in (1, 3) else n
            sched = [rng.randint(0, 3) for _ in range(steps)]
            if arch in (1, 3) and n % 2:
                sched[-1] = rng.randint(0, 1)
        fft_cases.append((g, nfft, sched, rng.randint(0, 1)))
    # Refusals: a combination of generics, a length and a schedule the model refuses.
    fft_cases += [({"C_ARCH": 1, "C_NFFT_MAX": 5}, None, None, 1),
              ({"C_HAS_SCALING": 0, "C_HAS_BFP": 1, "C_NFFT_MAX": 6}, None, None, 1),
              ({"C_NFFT_MAX": 17}, None, None, 1),
              ({"C_ARCH": 2, "C_NFFT_MAX": 6, "C_HAS_NFFT": 1}, 2, None, 1),
              ({"C_ARCH": 3, "C_NFFT_MAX": 5}, None, [1, 1], 1),
              ({"C_USE_FLT_PT": 1, "C_NFFT_MAX": 6}, None, None, 1)]
    out = []
    for k, (g, nfft, sched, direction) in enumerate(fft_cases):
        nmax = g.get("C_NFFT_MAX", 10)
        # Frames as long as the nfft asked for (the Octave front end takes the length from the
        # frame), an out-of-range one included.
        n = 1 << min(max(nfft if nfft is not None else nmax, 1), 16)
        iw = g.get("C_INPUT_WIDTH", 16)
        if g.get("C_USE_FLT_PT") and iw == 32:
            frames = [[_float_word(rng.gauss(0, 1000)) for _ in range(2 * n)] for _ in range(2)]
        else:
            iw = iw if 8 <= iw <= 34 else 16
            frames = [_words(rng, 2 * n, iw), _full_scale_tone(n, iw, rng.randint(0, n - 1))]
        out.append({"id": f"fft{k:02d}", "kind": "fft", "generics": g, "nfft": nfft,
                    "scaling": sched, "direction": direction, "frames": frames})
    return out


# ------------------------------------------------------------------------------ Python

def _ok(words, **extra):
    r = {"status": "ok", "words": [str(int(w)) for w in words]}
    r.update(extra)
    return r


def _refused(e):
    return {"status": "refused", "message": f"{type(e).__name__}: {e}"}


def python_fir(case):
    import numpy as np
    from kip_models.fir import FirModel
    cfg = dict(case["config"])
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            with FirModel(output="int", **cfg) as fir:
                done = fir.config
                p, c = done["num_paths"], done["num_channels"]
                w = np.array(case["input_words"], dtype=np.float64)
                x = np.ldexp(w, -done["data_fract_width"]).reshape(-1, c, p).transpose(2, 1, 0)
                y = fir.run(x)
    except Exception as e:  # every refusal, whatever its class
        return _refused(e)
    y = np.asarray(y).transpose(2, 1, 0).reshape(-1)  # vectors, channels, paths fastest
    if y.dtype.names:
        return _ok([v for pair in zip(y["re"], y["im"]) for v in pair])
    return _ok(y)


def python_fft(case):
    import numpy as np
    from kip_models.fft import FftModel
    g = case["generics"]
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            with FftModel(**g) as fft:
                flt = fft.generics["C_USE_FLT_PT"] == 1
                iw = fft.generics["C_INPUT_WIDTH"]
                words, blk, ovf = [], [], []
                for frame in case["frames"]:
                    if flt:
                        v = np.array(frame, dtype=np.uint32).view(np.float32).astype(np.float64)
                    else:
                        v = np.ldexp(np.array(frame, dtype=np.float64), 1 - iw)
                    x = v[0::2] + 1j * v[1::2]
                    r = fft.transform(x, nfft=case["nfft"], scaling=case["scaling"],
                                      inverse=case["direction"] == 0, output="int")
                    for re, im in zip(r.xk["re"], r.xk["im"]):
                        words += [int(re), int(im)]
                    blk.append(int(r.blk_exp))
                    ovf.append(int(r.overflow))
                width = fft.output_width(case["nfft"])
    except Exception as e:
        return _refused(e)
    return _ok(words, blk_exp=blk, overflow=ovf, output_width=width)


# ------------------------------------------------------------------------------ kip-golden

def golden(case, exe, work):
    cfg_path = os.path.join(work, case["id"] + ".json")
    in_path = os.path.join(work, case["id"] + ".in.txt")
    out_path = os.path.join(work, case["id"] + ".out.txt")
    if case["kind"] == "fir":
        cfg = case["config"]
        words = case["input_words"]
    else:
        cfg = dict(case["generics"])
        if case["nfft"] is not None:
            cfg["nfft"] = case["nfft"]
        if case["scaling"] is not None:
            cfg["scaling_sch"] = case["scaling"]
        cfg["direction"] = case["direction"]
        words = [w for frame in case["frames"] for w in frame]
        if cfg.get("C_USE_FLT_PT") == 1:  # 32-bit words in two's complement
            words = [w - (1 << 32) if w >= 1 << 31 else w for w in words]
    with open(cfg_path, "w") as f:
        json.dump(cfg, f)
    with open(in_path, "w") as f:
        f.write("\n".join(str(w) for w in words) + "\n")
    run = subprocess.run([exe, case["kind"], "--config", cfg_path, "--input", in_path,
                          "--output", out_path, "--radix", "dec"],
                         capture_output=True, text=True, timeout=300)
    if run.returncode != 0:
        return {"status": "refused", "message": run.stderr.strip().splitlines()[-1:]}
    with open(out_path) as f:
        out = [int(t) for t in f.read().split()]
    if case["kind"] == "fir":
        return _ok(out)
    n2 = len(case["frames"][0])
    words, blk, ovf = [], [], []
    for k in range(len(case["frames"])):
        chunk = out[k * (n2 + 2):(k + 1) * (n2 + 2)]
        words += chunk[:n2]
        blk.append(chunk[n2])
        ovf.append(chunk[n2 + 1])
    width = None
    for token in run.stdout.split():
        if token.endswith("-bit"):
            width = int(token[:-4])
    if case["generics"].get("C_USE_FLT_PT") == 1:
        words = [w & 0xFFFFFFFF for w in words]
    return _ok(words, blk_exp=blk, overflow=ovf, output_width=width)


# ------------------------------------------------------------------------------ Octave

def octave(cases_path, results_path, cli, mex_dir, script_dir):
    run = subprocess.run([cli, "--no-gui", "--norc", "--no-history", "--quiet",
                          "--no-window-system", "--path", mex_dir,
                          os.path.join(script_dir, "cross_octave.m"), cases_path, results_path],
                         capture_output=True, text=True, timeout=1200)
    if run.returncode != 0:
        raise RuntimeError("octave-cli failed:\n" + run.stdout + run.stderr)
    with open(results_path) as f:
        return json.load(f)


# ------------------------------------------------------------------------------ comparison

def normalise(case, r, width):
    """Words as unsigned 32-bit patterns (floating-point FFT) or as two's complement words of
    the output width the library gives (the hardware's words: a value beyond the width, as an
    overflowed scaled FFT frame can give, stands for the word it wraps to)."""
    if r is None:
        return {"status": "missing"}
    r = dict(r)
    if r.get("status") == "ok":
        words = [int(w) for w in r["words"]]
        if case["kind"] == "fft" and case["generics"].get("C_USE_FLT_PT") == 1:
            words = [w & 0xFFFFFFFF for w in words]
        elif width and not (case["kind"] == "fir" and case["config"].get("filter_type") == 3):
            top = 1 << (width - 1)
            words = [((w + top) & ((1 << width) - 1)) - top for w in words]
        r["words"] = words
    return r


def compare(cases, results, reference="c"):
    """Differences of every front end from the reference, as (case id, front end, text)."""
    diffs = []
    for case in cases:
        width = results[reference].get(case["id"], {}).get("output_width")
        ref = normalise(case, results[reference].get(case["id"]), width)
        for fe, res in results.items():
            if fe == reference:
                continue
            r = normalise(case, res.get(case["id"]), width)
            if r["status"] == "n/a":
                continue
            if r["status"] != ref["status"]:
                why = r.get("message") if r["status"] == "refused" else ref.get("message")
                diffs.append((case["id"], fe, f"{r['status']} where C is {ref['status']}"
                                               f" ({why})"))
                continue
            if r["status"] != "ok":
                continue
            a, b = ref["words"], r["words"]
            if a != b:
                first = next((i for i, (x, y) in enumerate(zip(a, b)) if x != y), min(len(a), len(b)))
                diffs.append((case["id"], fe, f"{len(b)} words where C has {len(a)}; first "
                              f"difference at word {first}: "
                              f"{b[first] if first < len(b) else '-'} vs C "
                              f"{a[first] if first < len(a) else '-'}"))
            for key in ("blk_exp", "overflow", "output_width"):
                if key in r and key in ref and r[key] is not None and r[key] != ref[key]:
                    diffs.append((case["id"], fe, f"{key} {r[key]} where C has {ref[key]}"))
    return diffs


def describe(case):
    if case["kind"] == "fir":
        cfg = {k: v for k, v in case["config"].items() if k != "coeff"}
        return f"FIR {cfg or 'defaults'}"
    return (f"FFT {case['generics'] or 'defaults'} nfft={case['nfft']} "
            f"scaling={case['scaling'] or 'default'} direction={case['direction']}")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--harness")
    ap.add_argument("--golden")
    ap.add_argument("--octave-cli")
    ap.add_argument("--mex-dir")
    ap.add_argument("--work", required=True)
    ap.add_argument("--cases-only", action="store_true")
    a = ap.parse_args()
    seed = int(os.environ.get("KIP_TEST_SEED", DEFAULT_SEED))
    rng = random.Random(seed)
    cases = fir_cases(rng) + fft_cases(rng)
    os.makedirs(a.work, exist_ok=True)
    cases_path = os.path.join(a.work, "cases.json")
    with open(cases_path, "w") as f:
        json.dump(cases, f)
    n_fir = sum(c["kind"] == "fir" for c in cases)
    print(f"{n_fir} FIR and {len(cases) - n_fir} FFT cases, KIP_TEST_SEED={seed}")
    if a.cases_only:
        return 0

    results = {}
    c_path = os.path.join(a.work, "results_c_dpi.json")
    with open(os.path.join(a.work, "harness.stderr"), "w") as err:
        subprocess.run([a.harness, cases_path, c_path], check=True, timeout=600, stderr=err)
    with open(c_path) as f:
        results.update(json.load(f))
    results["python"] = {c["id"]: (python_fir(c) if c["kind"] == "fir" else python_fft(c))
                         for c in cases}
    results["golden"] = {c["id"]: golden(c, a.golden, a.work) for c in cases}
    results["octave"] = octave(cases_path, os.path.join(a.work, "results_octave.json"),
                               a.octave_cli, a.mex_dir, os.path.dirname(os.path.abspath(__file__)))
    with open(os.path.join(a.work, "results.json"), "w") as f:
        json.dump(results, f, indent=1)

    accepted = {c["id"] for c in cases if results["c"][c["id"]]["status"] == "ok"}
    print(f"accepted by C: {sum(i.startswith('fir') for i in accepted)} FIR, "
          f"{sum(i.startswith('fft') for i in accepted)} FFT")
    diffs = compare(cases, results)
    by_case = {}
    for cid, fe, text in diffs:
        by_case.setdefault(cid, []).append((fe, text))
    for case in cases:
        if case["id"] in by_case:
            print(f"{case['id']}: {describe(case)}")
            for fe, text in by_case[case["id"]]:
                print(f"    {fe:7s} {text}")
    per_fe = {}
    for _cid, fe, _text in diffs:
        per_fe[fe] = per_fe.get(fe, 0) + 1
    print("differences from C:", ", ".join(f"{fe} {per_fe.get(fe, 0)}" for fe in
                                             ("dpi", "python", "octave", "golden")))
    return 1 if diffs else 0


if __name__ == "__main__":
    sys.exit(main())
