"""kip_models.fft against numpy.fft and against the C interface called directly."""

import threading
import warnings

import numpy as np
import pytest

import capi
from conftest import SEED
from kip_models import fft as F
from kip_models.fft import FftError, FftModel, FftWarning


def grid_frame(rng, n, width, scale=1.0, shape=()):
    """Complex samples on the grid of a width-bit fixed-point input, |re|, |im| < scale."""
    top = int(2**(width - 1) * scale)
    re = rng.integers(-top, top, shape + (n,))
    im = rng.integers(-top, top, shape + (n,))
    return (re + 1j * im) / 2**(width - 1)


def check_close(got, want, bound, what):
    err = np.abs(got - want)
    worst = int(np.argmax(err))
    assert err[worst] <= bound, (f"seed {SEED}, {what}: bin {worst} off by {err[worst]:.3g}, "
                                 f"bound {bound:.3g}: {got[worst]} vs {want[worst]}")


# ---------------------------------------------------------------------------------------------
# Generics and creation
# ---------------------------------------------------------------------------------------------

class TestCreation:
    def test_defaults_match_the_c_interface(self):
        assert F.default_generics() == capi.fft_default_generics()
        assert list(F.default_generics()) == list(F.GENERICS)
        with FftModel() as m:
            assert m.generics == F.default_generics()

    def test_generic_names(self):
        with FftModel(nfft_max=6, C_ARCH=3, has_scaling=0) as m:
            g = m.generics
            assert (g["C_NFFT_MAX"], g["C_ARCH"], g["C_HAS_SCALING"]) == (6, 3, 0)
        with pytest.raises(TypeError, match="unknown generic"):
            FftModel(width=3)
        with pytest.raises(TypeError, match="twice"):
            FftModel(C_ARCH=2, arch=2)
        with pytest.raises(TypeError):
            FftModel(C_ARCH=2.0)
        with pytest.raises(ValueError):
            FftModel(C_ARCH=2**40)

    def test_refused_generics_raise_the_library_line(self, capfd):
        line = ("ERROR:kfft_v8_0:create_state called with invalid C_NFFT_MAX generic: must be in "
                "the range 3 to 16: Value is 17")
        with pytest.raises(FftError) as e:
            FftModel(C_NFFT_MAX=17)
        assert str(e.value) == line
        assert e.value.code is None and e.value.frame is None
        assert capfd.readouterr().err == ""  # raised only, not printed as well
        with pytest.raises(FftError, match="C_HAS_SCALING = 0 \\(unscaled\\) and C_HAS_BFP = 1"):
            FftModel(C_HAS_SCALING=0, C_HAS_BFP=1)


# ---------------------------------------------------------------------------------------------
# Results
# ---------------------------------------------------------------------------------------------

ARCHS = (1, 2, 3, 4)


class TestResults:
    @pytest.mark.parametrize("arch", ARCHS)
    @pytest.mark.parametrize("iw,tw", [(8, 8), (16, 16), (16, 24), (24, 16), (34, 34)])
    def test_full_precision_agrees_with_numpy(self, arch, iw, tw, rng):
        # Unscaled arithmetic keeps every bit of growth; the error comes from the twiddle and
        # input widths and grows with the stages and the square root of the length.
        nf = 7
        n = 1 << nf
        x = grid_frame(rng, n, iw)
        bound = 1.5 * nf * np.sqrt(n) * 2.0**(1 - min(iw, tw))
        with FftModel(C_NFFT_MAX=nf, C_ARCH=arch, C_HAS_SCALING=0, C_INPUT_WIDTH=iw,
                      C_TWIDDLE_WIDTH=tw) as m:
            fwd = m.transform(x)
            inv = m.transform(x, inverse=True)
        assert fwd.xk.dtype == np.complex128 and fwd.xk.shape == (n,)
        assert (fwd.blk_exp, fwd.overflow) == (0, False)
        check_close(fwd.xk, np.fft.fft(x), bound, "forward")
        check_close(inv.xk, np.fft.ifft(x) * n, bound, "inverse")

    @pytest.mark.parametrize("arch", ARCHS)
    @pytest.mark.parametrize("rounding", [0, 1])
    def test_scaled_and_block_floating_point(self, arch, rounding, rng):
        nf, iw = 8, 16
        n = 1 << nf
        x = grid_frame(rng, n, iw, scale=0.5)
        lsb = 2.0**(1 - iw)
        with FftModel(C_NFFT_MAX=nf, C_ARCH=arch, C_HAS_ROUNDING=rounding) as m:
            r = m.transform(x)  # the library's default schedule divides by 2N
            assert m.default_schedule().sum() == nf + 1 and not r.overflow
            check_close(r.xk, np.fft.fft(x) / (2 * n), 2 * nf * lsb, "scaled 1/2N")
        with FftModel(C_NFFT_MAX=nf, C_ARCH=arch, C_HAS_BFP=1, C_HAS_ROUNDING=rounding) as m:
            r = m.transform(x)
            assert r.blk_exp > 0 and not r.overflow
            check_close(r.xk * 2.0**r.blk_exp, np.fft.fft(x), 4 * nf * lsb * 2.0**r.blk_exp, "bfp")
            assert np.abs(r.xk).max() > 0.25  # normalised, not scaled down by N

    def test_overflow_flag(self):
        with FftModel(C_NFFT_MAX=6, C_ARCH=2) as m:
            x = np.full(64, 0.75 + 0.75j)
            with pytest.warns(FftWarning) as w:
                assert m.transform(x, scaling=[0] * 6).overflow
            assert [str(i.message) for i in w] == [
                "the scaling schedule overflowed in 1 of 1 frame(s), the first frame 0 (schedule "
                "[0, 0, 0, 0, 0, 0]): the outputs wrapped; the default schedule "
                "(default_schedule()) never overflows"]
            with warnings.catch_warnings():
                warnings.simplefilter("error")
                assert not m.transform(x).overflow

    @pytest.mark.parametrize("arch", ARCHS)
    def test_floating_point_mode(self, arch, rng):
        nf = 8
        n = 1 << nf
        x = ((rng.standard_normal(n) * 1e3).astype(np.float32)
             + 1j * rng.standard_normal(n).astype(np.float32))
        x[3] = 1e-41  # denormal in single precision: flushed in the library's copy only
        before = x.copy()
        with FftModel(C_NFFT_MAX=nf, C_ARCH=arch, C_USE_FLT_PT=1, C_INPUT_WIDTH=32) as m:
            with pytest.warns(FftWarning, match="denormalized real data value"):
                r = m.transform(x)
        assert np.array_equal(x, before)
        flushed = x.astype(np.complex128)
        flushed[3] = 1j * flushed[3].imag
        ref = np.fft.fft(flushed)
        check_close(r.xk, ref, nf * 2.0**-15 * np.abs(ref).max(), "floating point")

    @pytest.mark.parametrize("generics,schedule", [
        ({"C_ARCH": 1}, [3, 2, 2, 1]),
        ({"C_ARCH": 3, "C_HAS_ROUNDING": 1}, None),
        ({"C_ARCH": 2, "C_HAS_BFP": 1}, None),
        ({"C_ARCH": 4, "C_HAS_SCALING": 0, "C_INPUT_WIDTH": 20, "C_TWIDDLE_WIDTH": 12}, None),
        ({"C_ARCH": 2, "C_USE_FLT_PT": 1, "C_INPUT_WIDTH": 32}, None),
    ])
    def test_bit_identical_to_the_c_interface(self, generics, schedule, rng):
        g = dict(generics, C_NFFT_MAX=7)
        x = grid_frame(rng, 128, g.get("C_INPUT_WIDTH", 16) if not g.get("C_USE_FLT_PT") else 16)
        with FftModel(**g) as m:
            sched = schedule
            if sched is None and m.uses_schedule():
                sched = m.default_schedule()
            r = m.transform(x, scaling=schedule, inverse=True)
        rc, xk, blk, ovf = capi.fft_run(g, x, 7, sched, 0)
        assert rc == 0
        assert np.array_equal(r.xk, xk), f"first difference at bin {np.flatnonzero(r.xk != xk)[0]}"
        assert (r.blk_exp, r.overflow) == (blk, bool(ovf))

    def test_run_time_length(self, rng):
        with FftModel(C_NFFT_MAX=9, C_ARCH=2, C_HAS_NFFT=1, C_HAS_SCALING=0) as m:
            for nf in (3, 5, 9):
                x = grid_frame(rng, 1 << nf, 16)
                r = m.transform(x)
                assert r.xk.shape == (1 << nf,)
                check_close(r.xk, np.fft.fft(x), 2 * nf * np.sqrt(1 << nf) * 2.0**-15, f"nfft {nf}")

    def test_length_substitution_warning_passes_through(self, capfd, rng):
        with FftModel(C_NFFT_MAX=6, C_ARCH=2) as m:
            with pytest.warns(FftWarning, match="^WARNING:kfft_v8_0:simulate called with nfft "
                              "input = 4, different from C_NFFT_MAX = 6") as w:
                r = m.transform(grid_frame(rng, 64, 16), nfft=4)
        assert r.xk.shape == (64,)
        assert len(w) == 1
        assert capfd.readouterr().err == ""


# ---------------------------------------------------------------------------------------------
# Refused calls
# ---------------------------------------------------------------------------------------------

class TestErrors:
    @pytest.mark.parametrize("generics,call,code,text", [
        ({}, lambda m, x: m.transform(np.concatenate([x[:3], [1.0], x[4:]])), 10,
         "ERROR:kfft_v8_0:simulate called with invalid real data value: xn_re[3] = 1: all values "
         "must be in the range -1.0 <= data < 1.0"),
        ({}, lambda m, x: m.transform(x + 2j), 13,
         "ERROR:kfft_v8_0:simulate called with invalid imaginary data value: xn_im[0] = "),
        ({}, lambda m, x: m.transform(x[:32]), 9,
         "ERROR:kfft_v8_0:simulate called with incorrect xn_re_size input 32: must be 2^nfft = 64"),
        ({}, lambda m, x: m.transform(x, scaling=[2, 2, 4]), 17,
         "ERROR:kfft_v8_0:simulate called with invalid scaling value: scaling_sch[2] = 4: all "
         "values must be in the range 0 to 3"),
        ({}, lambda m, x: m.transform(x, scaling=[2, 2]), 15,
         "ERROR:kfft_v8_0:simulate called with incorrect scaling_sch_size input 2: must be "
         "ceil(nfft/2) = 3"),
        ({"C_ARCH": 2}, lambda m, x: m.transform(x, scaling=[1] * 5), 16,
         "ERROR:kfft_v8_0:simulate called with incorrect scaling_sch_size input 5: must be "
         "nfft = 6"),
        ({"C_ARCH": 2, "C_HAS_NFFT": 1}, lambda m, x: m.transform(x[:4], nfft=2), 7,
         "ERROR:kfft_v8_0:simulate called with nfft input 2 out of legal range 3 to C_NFFT_MAX"),
        ({"C_NFFT_MAX": 8, "C_HAS_NFFT": 1}, lambda m, x: m.transform(x[:32]), 6,
         "ERROR:kfft_v8_0:simulate called with nfft input 5 out of legal range 6 to C_NFFT_MAX"),
    ])
    def test_codes_and_messages(self, generics, call, code, text, capfd, rng):
        g = dict({"C_NFFT_MAX": 6}, **generics)
        x = grid_frame(rng, 64, 16, scale=0.5)
        with FftModel(**g) as m:
            with pytest.raises(FftError) as e:
                call(m, x)
            assert e.value.code == code
            assert str(e.value).startswith(text) and "\n" not in str(e.value)
            assert capfd.readouterr().err == ""
            m.transform(x)  # the model is still usable

    def test_argument_errors(self):
        with FftModel(C_NFFT_MAX=6) as m:
            with pytest.raises(ValueError):
                m.transform(np.zeros((2, 64)))
            with pytest.raises(ValueError):
                m.transform_batch(np.zeros(64))
            with pytest.raises(TypeError):
                m.transform(np.zeros(64), scaling=[1.5, 2, 2])
            with pytest.raises(TypeError):
                m.transform(np.array(["a"] * 64))
        m.close()
        with pytest.raises(ValueError, match="closed"):
            m.transform(np.zeros(64))


# ---------------------------------------------------------------------------------------------
# Batches and threads
# ---------------------------------------------------------------------------------------------

class TestBatch:
    def test_batch_equals_frame_by_frame(self, rng):
        frames = grid_frame(rng, 256, 16, scale=0.5, shape=(6,))
        scheds = np.array([[2, 2, 2, 2], [3, 2, 2, 1]] * 3)
        with FftModel(C_NFFT_MAX=8, C_ARCH=1) as m:
            b = m.transform_batch(frames, scaling=scheds)
            assert b.xk.shape == (6, 256) and b.blk_exp.shape == (6,) and b.overflow.dtype == bool
            for f in range(6):
                r = m.transform(frames[f], scaling=scheds[f])
                assert np.array_equal(b.xk[f], r.xk) and b.overflow[f] == r.overflow
            same = m.transform_batch(frames, scaling=[2, 2, 2, 2])
            assert np.array_equal(same.xk[::2], b.xk[::2])
        with FftModel(C_NFFT_MAX=8, C_ARCH=3, C_HAS_BFP=1) as m:
            quiet = m.quantize(frames * [[1], [0.01], [1], [1], [1], [1]])
            b = m.transform_batch(quiet)
            assert b.blk_exp[1] < b.blk_exp[0]
            assert b.blk_exp.tolist() == [m.transform(f).blk_exp for f in quiet]

    def test_refused_frame_is_named(self, rng):
        frames = grid_frame(rng, 64, 16, scale=0.5, shape=(4,))
        frames[2, 5] = -1.5
        with FftModel(C_NFFT_MAX=6, C_ARCH=2) as m:
            with pytest.raises(FftError) as e:
                m.transform_batch(frames)
        assert (e.value.code, e.value.frame) == (10, 2)
        assert "xn_re[5] = -1.5" in str(e.value)

    def test_threads_share_nothing(self, rng):
        frames = grid_frame(rng, 1024, 16, scale=0.5, shape=(8,))
        with FftModel(C_ARCH=3) as m:
            want = m.transform_batch(frames).xk
        results = [None] * 3
        shared = FftModel(C_ARCH=3)

        def work(i):
            if i == 0:
                results[i] = shared.transform_batch(frames).xk
            else:
                with FftModel(C_ARCH=3) as own:
                    results[i] = own.transform_batch(frames).xk

        threads = [threading.Thread(target=work, args=(i,)) for i in range(3)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        shared.close()
        for r in results:
            assert np.array_equal(r, want)
