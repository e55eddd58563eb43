"""What a new user meets: warnings for configurations that quantise the signal away or ignore a
field, codes as enums, quantisation, the rate-change alignment, numpy units, integer dtypes,
refusals that name their argument, and the help texts and type stubs."""

import ast
import importlib
import inspect
import json
import pathlib
import pydoc
import subprocess
import sys
import warnings

import numpy as np
import pytest

import capi
import kip_models
from kip_models import fft as FFT
from kip_models import fir as FIR
from kip_models import quantize
from kip_models.fft import Arch, FftModel, FftWarning
from kip_models.fir import FilterType, FirError, FirModel, FirWarning, Quantization, Rounding

LOWPASS = np.array([-0.0105, 0.0, 0.0455, 0.1246, 0.2011, 0.2786, 0.2011, 0.1246, 0.0455, 0.0,
                    -0.0105])


class TestWarnings:
    def test_taps_quantised_away(self):
        with pytest.warns(FirWarning, match="coeff_width=16, coeff_fract_width=0 all become "
                                            "zero: set coeff_fract_width \\(e.g. 16\\)"):
            FirModel(coeff=LOWPASS, filter_type=2, decim_rate=4).close()
        # Taps are rounded to nearest: 2 * LOWPASS becomes [0 0 0 0 0 1 0 0 0 0 0].
        with pytest.warns(FirWarning, match="keep little of their value \\(the rounding error "
                                            "has 85% of their energy\\): set coeff_fract_width "
                                            "\\(e.g. 15\\)"):
            FirModel(coeff=LOWPASS * 2).close()
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            FirModel(coeff=LOWPASS * 8).close()  # [0 0 0 1 2 2 2 1 0 0 0]: close enough
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            FirModel(coeff=LOWPASS, coeff_fract_width=15).close()
            FirModel(coeff=LOWPASS, quantization=Quantization.MAXIMIZE_DYNAMIC_RANGE).close()
            FirModel(coeff=[1, 2, 3]).close()

    def test_converted_samples_give_one_warning_per_call(self):
        x = 0.5 * np.sin(np.arange(50) / 3)  # x[0] = 0 lies on the integer grid
        with FirModel(coeff=[1, 2, 1]) as m:
            with warnings.catch_warnings(record=True) as w:
                warnings.simplefilter("always")
                m.run(np.zeros(5))  # nothing converted
                m.run(x)
                m.run(np.array([40000.0, 1.0, -40000.5]))
                m.run_batch([np.zeros(3), x])
            assert [str(i.message) for i in w] == [
                "49 input samples off the data grid (whole numbers) were rounded down, the first "
                "at index 1; the rounding error has 219% of the samples' energy: set "
                "data_fract_width (e.g. 16) or scale the samples",
                "2 input samples outside the data format (16 bits, 0 fractional: -32768 to "
                "32767) were wrapped, the first at index 0; 1 input sample off the data grid "
                "(whole numbers) was rounded down, the first at index 2",
                "stimuli[1]: 49 input samples off the data grid (whole numbers) were rounded "
                "down, the first at index 1; the rounding error has 219% of the samples' energy: "
                "set data_fract_width (e.g. 16) or scale the samples"]
            assert all(i.category is FirWarning and i.filename == __file__ for i in w)
        with FirModel(coeff=[1, 2, 1], num_paths=2, num_channels=3) as m:
            frame = np.zeros((2, 3, 4))
            frame[1, 2, 3] = 0.5
            with pytest.warns(FirWarning,
                              match="the first at index 23 \\(first at x\\[1, 2, 3\\]\\)"):
                m.send(frame)
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            with FirModel(coeff=[1, 2, 1], data_fract_width=15) as m:
                m.run(m.quantize(x))  # on the grid: nothing converted

    def test_settings_the_filter_type_ignores_are_warned(self):
        cases = {
            "decim_rate 4 is ignored by filter_type 0 (single rate) with rate_change 0":
                {"decim_rate": 4},
            "decim_rate 3 is ignored by filter_type 1 (interpolating) with rate_change 0":
                {"filter_type": 1, "interp_rate": 2, "decim_rate": 3},
            "zero_pack_factor 2 is ignored by filter_type 0 (single rate) (used by filter_type 4 "
            "only)": {"zero_pack_factor": 2},
        }
        for text, config in cases.items():
            with pytest.warns(FirWarning) as w:
                FirModel(**config).close()
            assert [str(i.message) for i in w] == [text]
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            FirModel(filter_type=FilterType.DECIMATING, decim_rate=4).close()
            FirModel(filter_type=1, rate_change=1, interp_rate=2, decim_rate=3).close()
            FirModel(decim_rate=1).close()

    def test_fft_warning_once_per_call_and_never_on_stderr(self, capfd, rng):
        x = rng.uniform(-0.5, 0.5, (20, 64))
        with FftModel(C_NFFT_MAX=6) as m:
            with pytest.warns(FftWarning, match="not pre-quantized") as w:
                m.transform_batch(x)
            assert len(w) == 1
            with warnings.catch_warnings():
                warnings.simplefilter("error")
                m.transform_batch(m.quantize(x))
        assert capfd.readouterr().err == ""


class TestCodesAndQuantisation:
    def test_enums_are_accepted_wherever_a_code_is(self, rng):
        x = rng.integers(-100, 100, 40)
        with FirModel(coeff=[1, 3, 1], filter_type=FilterType.INTERPOLATING, interp_rate=3,
                      output_rounding=Rounding.HALF_EVEN, output_width=10) as a, \
             FirModel(coeff=[1, 3, 1], filter_type=1, interp_rate=3, output_rounding=4,
                      output_width=10) as b:
            assert {k: v for k, v in a.config.items() if k != "coeff"} == \
                {k: v for k, v in b.config.items() if k != "coeff"}
            assert np.array_equal(a.run(x), b.run(x))
        assert FftModel(C_ARCH=Arch.PIPELINED_STREAMING, C_NFFT_MAX=4).generics["C_ARCH"] == 3

    def test_nfft_max_given_as_a_length_is_explained(self):
        with pytest.raises(ValueError, match="C_NFFT_MAX=1024: C_NFFT_MAX is log2 of the maximum "
                                             "transform length \\(3 to 16\\); for 1024 points "
                                             "give C_NFFT_MAX=10"):
            FftModel(nfft_max=1024)

    def test_quantize(self):
        x = np.array([0.3, -0.3, 1.5 / 2**15, 2.5 / 2**15, -1.0, 0.99999])
        q = quantize(x, 16, 15, overflow="saturate")
        assert np.array_equal(q * 2**15, [9830, -9830, 2, 2, -32768, 32767])
        assert np.array_equal(quantize(x, 16, 15, "floor", "saturate") * 2**15,
                              [9830, -9831, 1, 2, -32768, 32767])
        assert np.array_equal(quantize([7.0, -9.0], 4, 0, overflow="wrap"), [7, 7])
        with pytest.raises(ValueError, match="outside the 4-bit format"):
            quantize([8.0], 4, 0)
        with pytest.raises(ValueError, match="non-finite"):
            quantize([np.nan], 8, 0)
        z = quantize([0.3 - 0.7j], 8, 7)
        assert z.dtype == complex and z[0] == (38 - 90j) / 128

    def test_fft_quantize_is_the_models_own_rounding(self, rng):
        x = rng.uniform(-1, 1, 256) + 1j * rng.uniform(-1, 1, 256)
        x[:4] = [1 - 2**-17, -1, 0.5 + 2**-16, 0.5 + 3 * 2**-16]
        with FftModel(C_NFFT_MAX=8, C_ARCH=2) as m:
            q = m.quantize(x)
            with pytest.warns(FftWarning):
                raw = m.transform(x)
            assert np.array_equal(m.transform(q).xk, raw.xk)
            assert q[:4].real.tolist() == [1 - 2**-15, -1, 0.5, 0.5 + 4 * 2**-16]
            with pytest.raises(ValueError, match="-1 <= v < 1"):
                m.quantize([1.0])

    def test_fir_quantize_rounds_where_the_model_floors(self):
        with FirModel(coeff=[1], data_width=8, data_fract_width=7, output_rounding=0) as m:
            x = np.array([0.3, -0.3])
            assert m.quantize(x).tolist() == [38 / 128, -38 / 128]
            assert m.run(m.quantize(x)).tolist() == [38 / 128, -38 / 128]
            with pytest.warns(FirWarning, match="^2 input samples off the data grid \\(multiples "
                                                "of 2\\^-7\\) were rounded down, the first at "
                                                "index 0$"):
                assert m.run(x).tolist() == [38 / 128, -39 / 128]  # floored


class TestOutputs:
    @pytest.mark.parametrize("ft,rc,L,M", [(2, 0, 1, 4), (1, 0, 3, 1), (1, 1, 3, 2), (2, 1, 2, 5),
                                           (1, 1, 5, 2)])
    def test_rate_change_lines_up_with_upfirdn(self, ft, rc, L, M, rng):
        from scipy.signal import upfirdn
        c = rng.integers(-50, 50, 13).astype(float)
        x = rng.integers(-1000, 1000, 120).astype(float)
        with FirModel(coeff=c, filter_type=ft, rate_change=rc, interp_rate=L, decim_rate=M) as m:
            y = m.run(x)
        d = M - 1 if L <= M else 0
        assert len(y) == len(x) * L // M
        assert np.array_equal(y, upfirdn(c, x, L, 1)[d::M][:len(y)])

    def test_output_type_is_the_callers_whatever_the_widths(self, rng):
        taps = rng.integers(-2**15, 2**15, 9)
        x = rng.integers(-2**14, 2**14, 50)
        want = [sum(int(taps[k]) * int(x[n - k]) for k in range(9) if n >= k) for n in range(50)]
        for width in (16, 41):  # double arithmetic, then integer arithmetic
            with FirModel(coeff=taps, data_width=width) as m:
                assert m.integer_mode == (width == 41) and m.config["output_width"] <= 63
                y = m.run(x)
                assert y.dtype == np.float64 and y.tolist() == want
                assert m.run(x, output="int").dtype == np.int64
            with FirModel(coeff=taps, data_width=width, output="int") as m:
                y = m.run(x)
                assert y.dtype == np.int64 and y.tolist() == want
                assert m.run_batch([x], output="real")[0].dtype == np.float64
            with FirModel(coeff=taps, data_width=width, filter_type=3) as m:
                assert m.run(x).dtype == np.complex128
                h = m.run(x, output="int")
                assert h.dtype.names == ("re", "im") and h.dtype["re"] == np.int64
        with pytest.raises(ValueError, match="output='float': expected one of 'real', 'int'"):
            FirModel(output="float")

    def test_numpy_units(self, rng):
        x = rng.uniform(-0.5, 0.5, 64) + 1j * rng.uniform(-0.5, 0.5, 64)
        for g in ({"C_ARCH": 1}, {"C_ARCH": 2, "C_HAS_BFP": 1}, {"C_ARCH": 3, "C_HAS_SCALING": 0},
                  {"C_ARCH": 4}):
            with FftModel(C_NFFT_MAX=6, **g) as m:
                q = m.quantize(x)
                raw = m.transform(q)
                for inverse, ref in ((False, np.fft.fft(q)), (True, np.fft.ifft(q))):
                    r = m.transform(q, inverse=inverse)
                    got = m.transform(q, inverse=inverse, numpy_units=True)
                    shift = m.numpy_scale(r, inverse=inverse)
                    assert np.array_equal(got.xk, r.xk * 2.0**shift)  # exact power of two
                    assert np.max(np.abs(got.xk - ref)) < 0.02 * np.max(np.abs(ref)), g
                assert np.array_equal(raw.xk, m.transform(q).xk)


class TestRefusals:
    def test_huge_configuration_names_the_given_fields(self):
        m = FirModel.__new__(FirModel)
        m._fields = {"num_coeffs": 2**30, "name": "big"}
        text = m._explain_refusal("Uncaught exception in FIR model create")
        assert text == "Uncaught exception in FIR model create (given: num_coeffs=1073741824)"

    def test_non_finite_samples_are_refused_with_the_librarys_text(self):
        with FirModel(coeff=[1, 2]) as m:
            with pytest.raises(FirError, match="^tapforge_v6_3 ERROR: Data value nan at path: 0 "
                                               "chan: 0 vector: 1 cannot be quantised"):
                m.send([1.0, float("nan")])
            # An object array holding None is refused before it could become NaN.
            with pytest.raises(TypeError, match="^x\\[1\\] is None: samples must be real numbers$"):
                m.send(np.array([6, None], dtype=object))
            assert m.run([1.0, 2.0]).tolist() == [1.0, 4.0]


class TestDocumentation:
    PUBLIC = [FirModel, FftModel, FIR.FirError, FFT.FftError, FIR.FirWarning, FFT.FftWarning,
              FFT.FftResult, FFT.FftBatchResult]

    def test_an_interpreter_without_numpy_is_refused_at_import(self, monkeypatch):
        monkeypatch.setitem(sys.modules, "numpy", None)  # import numpy raises ImportError
        for name in [m for m in sys.modules if m.split(".")[0] == "kip_models"]:
            monkeypatch.delitem(sys.modules, name)
        with pytest.raises(ImportError, match="kip_models needs numpy, which .* cannot import"):
            importlib.import_module("kip_models")

    def test_every_public_callable_has_a_docstring(self):
        for cls in self.PUBLIC:
            assert inspect.getdoc(cls), cls
            for name, member in vars(cls).items():
                if not name.startswith("_") and (callable(member) or isinstance(member, property)):
                    assert inspect.getdoc(member), f"{cls.__name__}.{name}"
        for mod in (FIR, FFT, kip_models.quant):
            for name in mod.__all__:
                assert inspect.getdoc(getattr(mod, name)), f"{mod.__name__}.{name}"

    def test_help_explains_every_field_and_code(self):
        doc = inspect.getdoc(FirModel)
        for f in FIR.CONFIG_FIELDS:
            assert f in doc, f
        for doc in (inspect.getdoc(FftModel), inspect.getdoc(FFT)):
            for g in FFT.GENERICS:
                assert g in doc, g
            assert "log2 of the maximum transform length" in doc
        for doc in (inspect.getdoc(FirModel), inspect.getdoc(FIR)):
            assert "y[m] = sum_j c[j] * u[m*M + d - j]" in doc
        # The fields' help comes from the library's description.
        for f in FIR.FIELDS:
            assert " ".join(f["help"].split()[:4]) in " ".join(inspect.getdoc(FirModel).split())
        for g in FFT.GENERIC_DESCRIPTIONS:
            assert " ".join(g["help"].split()[:4]) in " ".join(inspect.getdoc(FftModel).split())

    def test_type_stubs_cover_the_public_names(self):
        pkg = pathlib.Path(kip_models.__file__).parent
        for mod in (FIR, FFT, kip_models.quant):
            stub = pkg / (mod.__name__.rsplit(".", 1)[1] + ".pyi")
            tree = ast.parse(stub.read_text())
            names = {n.name for n in tree.body if isinstance(n, (ast.ClassDef, ast.FunctionDef))}
            names |= {t.id for n in tree.body if isinstance(n, (ast.Assign, ast.AnnAssign))
                      for t in (n.targets if isinstance(n, ast.Assign) else [n.target])
                      if isinstance(t, ast.Name)}
            assert set(mod.__all__) <= names, set(mod.__all__) - names
            for cls in (n for n in tree.body if isinstance(n, ast.ClassDef)):
                real = getattr(mod, cls.name)
                stubbed = {f.name for f in cls.body if isinstance(f, ast.FunctionDef)}
                public = {n for n, v in vars(real).items() if not n.startswith("_")
                          and (callable(v) or isinstance(v, property))}
                assert public <= stubbed | {f.target.id for f in cls.body
                                            if isinstance(f, ast.AnnAssign)}, cls.name
        assert (pkg / "py.typed").exists()


class TestForVerification:
    def test_taps_must_match_their_counts(self):
        with pytest.raises(ValueError, match="^coeff holds 10 values, the configuration needs "
                                             "num_coeffs \\* coeff_sets = 4 \\* 1 = 4$"):
            FirModel(coeff=range(1, 11), num_coeffs=4)
        with pytest.raises(ValueError, match="^coeff holds 10 values, .* = 6 \\* 2 = 12$"):
            FirModel(coeff=range(1, 11), num_coeffs=6, coeff_sets=2)
        with FirModel(coeff=range(1, 11), num_coeffs=5, coeff_sets=2) as m:
            assert m.config["num_coeffs"] == 5

    def test_quantization_2_exposes_its_scale(self):
        taps = np.array([0.1, -0.4, 0.25])
        with FirModel(coeff=taps, quantization=2, coeff_fract_width=15,
                      data_fract_width=15) as m:
            # The most negative tap reaches the most negative code exactly.
            assert m.coeff_scale == 2.0**15 / 2**15 / 0.4
            y = m.run(np.full(8, 0.5))
            codes = np.sign(taps * m.coeff_scale) * np.ceil(
                np.abs(taps * m.coeff_scale * 2**15) - 0.5)
            assert y[-1] == 0.5 * codes.sum() * 2.0**-15
        with FirModel(coeff=taps, coeff_fract_width=15) as m:
            assert m.coeff_scale == 1.0

    @pytest.mark.parametrize("generics", [
        {"C_ARCH": 1}, {"C_ARCH": 3, "C_HAS_SCALING": 0}, {"C_ARCH": 2, "C_HAS_BFP": 1},
        {"C_ARCH": 4, "C_INPUT_WIDTH": 12}, {"C_ARCH": 3, "C_USE_FLT_PT": 1, "C_INPUT_WIDTH": 32}])
    def test_fft_output_words_are_kip_goldens(self, generics, rng, tmp_path):
        with FftModel(C_NFFT_MAX=6, **generics) as m:
            x = m.quantize(rng.uniform(-0.7, 0.7, (3, 64)) + 1j * rng.uniform(-0.7, 0.7, (3, 64)))
            r = m.transform_batch(x)
            w = m.transform_batch(x, output="int")
            width = m.output_width()
        assert w.xk.dtype.names == ("re", "im") and w.xk.shape == (3, 64)
        assert np.array_equal(w.blk_exp, r.blk_exp) and np.array_equal(w.overflow, r.overflow)
        if generics.get("C_USE_FLT_PT"):
            assert width == 32
            assert np.array_equal(w.xk["re"].astype(np.uint32).view(np.float32), r.xk.real)
        else:
            assert width == m.generics["C_INPUT_WIDTH"] + (0 if m.generics["C_HAS_SCALING"]
                                                           else 7)
            one = 2.0 ** (m.generics["C_INPUT_WIDTH"] - 1)
            assert np.array_equal(w.xk["re"] / one, r.xk.real)
            assert np.array_equal(w.xk["im"] / one, r.xk.imag)
            for f in ("re", "im"):
                assert w.xk[f].min() >= -2**(width - 1) and w.xk[f].max() < 2**(width - 1)
        golden = capi.BUILD / "golden" / "kip-golden"
        if not golden.exists():
            return
        # kip-golden's words for the same frames and schedule, in decimal.
        cfg = dict(generics, C_NFFT_MAX=6)
        sched = m.default_schedule() if m.uses_schedule() else None
        if sched is not None:
            cfg["scaling_sch"] = sched.tolist()
        (tmp_path / "c.json").write_text(json.dumps(cfg))
        if generics.get("C_USE_FLT_PT"):
            words = np.stack([x.real, x.imag], -1).astype(np.float32).view(np.int32)
        else:
            one = 2.0 ** (m.generics["C_INPUT_WIDTH"] - 1)
            words = np.round(np.stack([x.real, x.imag], -1) * one)
        np.savetxt(tmp_path / "in.txt", words.reshape(-1).astype(np.int64), fmt="%d")
        subprocess.run([str(golden), "fft", "--config", str(tmp_path / "c.json"), "--input",
                        str(tmp_path / "in.txt"), "--output", str(tmp_path / "out.txt"),
                        "--radix", "dec"], check=True, capture_output=True)
        out = np.loadtxt(tmp_path / "out.txt", dtype=np.int64).reshape(3, 2 * 64 + 2)
        bins = out[:, :128].reshape(3, 64, 2)
        if generics.get("C_USE_FLT_PT"):
            bins = bins & 0xFFFFFFFF
        assert np.array_equal(bins[..., 0], w.xk["re"]) and np.array_equal(bins[..., 1], w.xk["im"])
        assert np.array_equal(out[:, 128], w.blk_exp)

    def test_messages_use_the_callers_values_and_names(self):
        with FftModel() as m:
            with pytest.raises(ValueError, match="^nfft=9: this model's length is fixed "
                                                 "\\(C_HAS_NFFT=0\\) at 2\\*\\*C_NFFT_MAX = 1024 "
                                                 "samples and x has 512"):
                m.transform(np.zeros(512), nfft=9)
            with pytest.raises(ValueError, match="^output='words': expected 'real' or 'int'"):
                m.transform(np.zeros(1024), output="words")

    def test_versions_and_short_help(self):
        assert FIR.__version__ == "6.3.1" == kip_models.__version__
        assert FFT.__version__ == "8.0"
        page = pydoc.render_doc(kip_models, renderer=pydoc.plaintext)
        assert len(page.splitlines()) < 80 and "FirModel, FirError" in page
        for enum_class in (FIR.FilterType, FIR.Rounding, FIR.Quantization, FFT.Arch):
            page = pydoc.render_doc(enum_class, renderer=pydoc.plaintext)
            assert len(page.splitlines()) < 70 and "bit_length" not in page, enum_class
            for member in enum_class:
                assert f"{member.name}" in inspect.getdoc(enum_class)
        assert FIR.FilterType(2) is FIR.FilterType.DECIMATING == 2
        # The taps are rounded to nearest, as the documentation says.
        for doc in map(inspect.getdoc, (FIR, FirModel, FIR.Quantization)):
            assert "truncated" not in doc
            assert "nearest" in doc
