"""kip_models.fir against exact references and against the C interface called directly."""

import logging
import threading
import warnings

import numpy as np
import pytest

import capi
from conftest import SEED
from kip_models import fir as F
from kip_models.fir import FirError, FirModel

DEFAULT_TAPS = [6, 0, -4, -3, 5, 6, -6, -13, 7, 44, 64, 44, 7, -13, -6, 6, 5, -3, -4, 0, 6]


def conv(x, h):
    """Causal convolution in exact Python integers, as many outputs as inputs."""
    x = [int(v) for v in x]
    h = [int(v) for v in h]
    return [sum(h[k] * x[n - k] for k in range(len(h)) if n - k >= 0) for n in range(len(x))]


def first_difference(got, want):
    got, want = np.asarray(got).ravel(), np.asarray(want).ravel()
    bad = np.flatnonzero(got != want)
    if not bad.size:
        return ""
    i = bad[0]
    return f"seed {SEED}: first difference at flat index {i}: {got[i]} != {want[i]}"


class Recorder:
    def __init__(self):
        self.messages = []

    def __call__(self, error, text):
        self.messages.append((error, text))

    def texts(self):
        return [t for _e, t in self.messages]


# ---------------------------------------------------------------------------------------------
# Configuration
# ---------------------------------------------------------------------------------------------

class TestConfig:
    def test_version_and_defaults_match_the_c_interface(self):
        assert F.version() == "6.3.1"
        d = F.default_config()
        assert list(d) == list(F.CONFIG_FIELDS)
        assert d["coeff"].tolist() == DEFAULT_TAPS
        assert not d["coeff"].flags.writeable
        c = capi.FirConfig()
        capi._load("fir", "libIp_tapforge_v6_3_bitacc_cmodel.so").kip_fir_v6_3_default_config(
            capi.C.byref(c))
        for f in F.CONFIG_FIELDS:
            if f == "name":
                assert d[f] == c.name.decode()
            elif f != "coeff":
                assert d[f] == getattr(c, f), f

    def test_config_reads_back_the_completed_record(self):
        with pytest.warns(F.FirWarning, match="^decim_rate 5 is ignored by filter_type 1 "
                                              "\\(interpolating\\) with rate_change 0$"), \
             FirModel(filter_type=1, interp_rate=3, decim_rate=5, num_channels=3, num_paths=2,
                      name="f1") as m:
            cfg = m.config
            assert list(cfg) == list(F.CONFIG_FIELDS)
            assert cfg["name"] == "f1" and m.name == "f1"
            assert (cfg["interp_rate"], cfg["decim_rate"]) == (3, 1)  # forced by the type
            assert cfg["output_width"] == 16 + 7  # full precision: the accumulator width
            assert cfg["coeff"].tolist() == DEFAULT_TAPS
            assert (m.paths, m.channels, m.hilbert, m.integer_mode) == (2, 3, False, False)
            # The dict is a valid set of keyword arguments for an identical model.
            with FirModel(**cfg) as again:
                assert again.config["output_width"] == cfg["output_width"]
                assert {k: v for k, v in again.config.items() if k != "coeff"} == \
                       {k: v for k, v in cfg.items() if k != "coeff"}

    def test_coefficient_sets_from_a_2d_array(self):
        sets = np.array([[1, 2, 3], [4, 5, 6]])
        with FirModel(coeff=sets) as m:
            assert (m.config["coeff_sets"], m.config["num_coeffs"]) == (2, 3)
        with FirModel(coeff=sets.ravel(), coeff_sets=2) as m:
            assert m.config["num_coeffs"] == 3
        with pytest.raises(ValueError):
            FirModel(coeff=sets, num_coeffs=2)

    def test_argument_errors_are_caught_before_the_library(self):
        with pytest.raises(TypeError, match="unknown configuration field"):
            FirModel(taps=3)
        with pytest.raises(TypeError):
            FirModel(data_width=16.0)
        with pytest.raises(ValueError, match="32-bit"):
            FirModel(output_fract_width=2**40)  # computed: written as given, then ignored
        # The library reads num_coeffs * coeff_sets values and cannot check the length.
        with pytest.raises(ValueError, match="num_coeffs"):
            FirModel(coeff=[1, 2, 3], num_coeffs=4)
        with pytest.raises(ValueError, match="default coefficient set"):
            FirModel(num_coeffs=22)
        with pytest.raises(ValueError, match="NUL"):
            FirModel(name="a\0b")

    def test_refused_configuration_raises_the_library_text(self):
        rec = Recorder()
        # A value outside its field's range: the library's description names field and range.
        with pytest.raises(FirError) as e:
            FirModel(filter_type=5, on_message=rec)
        assert str(e.value) == "Invalid value 5 for filter_type: must be in the range 0 to 4"
        assert e.value.messages == [(1, str(e.value))]
        assert rec.messages == []  # raised, not delivered as well
        with pytest.raises(FirError, match="^Invalid value 1099511627776 for data_width: must "
                                           "be in the range 1 to 49$"):
            FirModel(data_width=2**40)
        # A rule between fields: the model's refusal, with the values given.
        with pytest.raises(FirError, match="^Invalid Filter rate \\(given: filter_type=2, "
                                           "decim_rate=0\\)$"):
            FirModel(filter_type=2, decim_rate=0)
        with pytest.raises(FirError, match="^Coefficient values must be finite"):
            FirModel(coeff=[1.0, float("nan")])
        with pytest.raises(FirError, match="^Data fractional width must be less than or equal "
                                           "to the data width \\(given: data_fract_width=17\\)$"):
            FirModel(data_fract_width=17)


# ---------------------------------------------------------------------------------------------
# Data path
# ---------------------------------------------------------------------------------------------

class TestData:
    def test_full_precision_single_rate_equals_numpy_convolve(self, rng):
        taps = rng.integers(-2**15, 2**15, 31)
        x = rng.integers(-2**15, 2**15, 500)
        with FirModel(coeff=taps) as m:
            y = m.run(x)
        want = np.convolve(x, taps)[:len(x)]
        assert y.dtype == np.float64 and y.shape == x.shape
        assert np.array_equal(y, want), first_difference(y, want)

    def test_paths_and_channels_filter_independently(self, rng):
        taps = rng.integers(-100, 100, 9)
        x = rng.integers(-2**15, 2**15, (3, 4, 50))
        with FirModel(coeff=taps, num_paths=3, num_channels=4) as m:
            m.send(x)
            y = m.get()
        assert y.shape == (3, 4, 50) and y.dtype == np.float64
        want = np.array([[conv(x[p, c], taps) for c in range(4)] for p in range(3)])
        assert np.array_equal(y, want), first_difference(y, want)

    def test_blocks_give_the_same_output_as_one_block(self, rng):
        x = rng.integers(-2**15, 2**15, 300)
        cfg = {"filter_type": 2, "decim_rate": 3}
        with FirModel(**cfg) as whole, FirModel(**cfg) as parts:
            y1 = whole.run(x)
            for chunk in np.array_split(x, [1, 2, 7, 100, 101, 250]):
                parts.send(chunk)
            y2 = parts.get()[0, 0]
        assert np.array_equal(y1, y2), first_difference(y2, y1)

    @pytest.mark.parametrize("config", [
        {},
        {"filter_type": 1, "interp_rate": 3},
        {"filter_type": 2, "decim_rate": 2},
        {"filter_type": 1, "rate_change": 1, "interp_rate": 3, "decim_rate": 2},
        {"filter_type": 4, "zero_pack_factor": 3},
        {"num_channels": 3, "num_paths": 2, "output_rounding": 4, "output_width": 12,
         "data_fract_width": 4},
        {"chan_seq": 1, "num_channels": 4, "filter_type": 2, "decim_rate": 2},
    ])
    def test_matches_the_c_interface(self, config, rng):
        cfg = dict(config, coeff=np.array(DEFAULT_TAPS, dtype=float) / 8)
        with FirModel(**cfg) as m:
            # Several channels: 100,000 samples and more, sent in chunks of whole vectors.
            vectors = 40 if m.paths * m.channels == 1 else 25_000
            x = rng.integers(-2**15, 2**15, (m.paths, m.channels, vectors)) / 16
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", F.FirWarning)  # off-grid samples, as meant
                m.send(x)
            y = m.get()
        want, _ = capi.fir_run(cfg, x)
        assert y.shape == want.shape
        assert np.array_equal(y, want), first_difference(y, want)

    def test_integer_mode_is_exact_in_python_ints(self, rng):
        taps = [int(t) for t in rng.integers(-2**19, 2**19, 12)]
        x = [int(v) for v in rng.integers(-2**44, 2**44, 60)] + [2**44 - 1, -2**44]
        rec = Recorder()
        with FirModel(coeff=taps, coeff_width=20, data_width=45, on_message=rec) as m:
            assert m.integer_mode
            assert "tapforge_v6_3 WARNING: Model will use MPZ data type" in rec.texts()
            y = m.run(np.array(x), output="int")
            assert y.dtype == object and y.shape == (len(x),)
            assert all(type(v) is int for v in y)
            assert list(y) == conv(x, taps)
            # Floats on request: the same values, rounded to doubles by the library.
            m.send(np.array(x[:5]))
            f = m.get(integer=False)
            assert f.dtype == np.float64 and f.shape == (1, 1, 5)

    def test_integer_output_of_a_double_mode_model(self):
        with FirModel(coeff=[1, 2]) as m:
            m.send(np.array([3, 4, 5]))
            y = m.get(integer=True)
        assert y.dtype == np.int64 and y[0, 0].tolist() == [3, 10, 13]

    def test_hilbert_outputs_are_complex(self):
        taps = [-1, 0, -3, 0, 3, 0, 1]
        x = np.arange(1, 9)
        with FirModel(filter_type=3, coeff=taps) as m:
            y = m.run(x)
        assert y.dtype == np.complex128
        assert y.real.tolist() == [0, 0, 0] + x[:5].tolist()  # (7 + 1) // 2 - 1 samples late
        assert y.imag.tolist() == conv(x, taps)

    def test_hilbert_integer_mode_gives_pairs_of_ints(self):
        taps = [-(2**20), 0, 2**20 - 1]
        x = [2**40, -(2**40), 3]
        with FirModel(filter_type=3, coeff=taps, coeff_width=22, data_width=42) as m:
            assert m.integer_mode
            y = m.run(np.array(x), output="int")
        assert y.dtype.names == ("re", "im")
        assert list(y["re"]) == [0, 2**40, -(2**40)]
        assert list(y["im"]) == conv(x, taps)

    def test_channel_positions_round_trip(self, rng):
        x = rng.integers(-1000, 1000, (2, 3, 5))
        cfg = {"num_paths": 2, "num_channels": 3}
        with FirModel(**cfg) as frames, FirModel(**cfg) as single:
            frames.send(x)
            want = frames.get()
            assert single.get_channel().shape == (0,)  # nothing waiting
            got = np.zeros_like(want)
            for v in range(5):
                for c in range(3):
                    single.send_channel(x[:, c, v])
                    out = single.get_channel()
                    assert out.shape == (2,) and out.dtype == np.float64
                    got[:, c, v] = out
        assert np.array_equal(got, want), first_difference(got, want)

    def test_input_and_call_order_errors(self):
        with FirModel(num_channels=2) as m:
            with pytest.raises(ValueError, match="one path and one channel"):
                m.send(np.zeros(4))
            with pytest.raises(TypeError):
                m.send(np.zeros((1, 2, 3), dtype=complex))
            # Integers a double cannot hold exactly are refused, not rounded.
            with pytest.raises(ValueError, match="2\\*\\*53"):
                m.send(np.full((1, 2, 1), 2**60))
            with pytest.raises(ValueError, match="2\\*\\*53"):
                m.send(np.array([[[2**53 + 1], [0]]], dtype=object))
            with pytest.raises(ValueError) as e:
                m.send(np.zeros((1, 3, 2)))
            assert str(e.value) == ("x: shape (1, 3, 2) does not fit this model's layout "
                                    "(paths, channels, vectors) = (1, 2, n)")
            # A (channels, samples) array is not silently read as (paths, channels).
            with pytest.raises(ValueError, match="\\(channels, samples\\) array is one path: "
                                                 "pass x\\[np.newaxis\\]"):
                m.send(np.zeros((2, 5)))
            with pytest.raises(TypeError, match="^x\\[\\(0, 1, 0\\)\\] is None: samples must be "
                                                "real numbers$"):
                m.send(np.array([[[6], [None]]], dtype=object))
            m.send_channel([1.0])
            with pytest.raises(FirError, match="Channel postion non-zero, cannot send a packet"):
                m.send(np.zeros((1, 2, 1)))
            with pytest.raises(FirError, match="^tapforge_v6_3 ERROR: Incorrect data size, "
                                               "expecting num_paths: 1$"):
                m.send_channel([1.0, 2.0])

    def test_explicit_vector_count(self):
        rec = Recorder()
        with FirModel(on_message=rec) as m:
            m.send(np.arange(5))
            assert m.get(vectors=2).shape == (1, 1, 2)
            assert rec.messages == []
            assert m.waiting == 3
            # At most the vectors waiting: the request is trimmed, nothing is allocated for it.
            assert m.get(vectors=2**62).shape == (1, 1, 3)
            assert m.get().shape == (1, 1, 0)
            assert rec.messages == []
            with pytest.raises(ValueError, match="^vectors=-1: must not be negative$"):
                m.get(vectors=-1)


# ---------------------------------------------------------------------------------------------
# Run-time reconfiguration
# ---------------------------------------------------------------------------------------------

class TestReconfiguration:
    def test_reload_takes_effect_with_the_next_configuration_packet(self, rng):
        h1 = rng.integers(-100, 100, 8)
        h2 = rng.integers(-100, 100, 8)
        x1 = rng.integers(-1000, 1000, 20)
        x2 = rng.integers(-1000, 1000, 20)
        with FirModel(coeff=h1, reloadable=1) as m:
            y1 = m.run(x1)
            m.reload(0, h2)
            y_no_packet = m.run(x2[:5])  # a reload alone changes nothing
            m.configure(0)
            y2 = m.run(x2[5:])
        full = np.concatenate([x1, x2])
        assert y1.tolist() == conv(x1, h1)
        assert y_no_packet.tolist() == conv(full, h1)[20:25]
        assert y2.tolist() == conv(full, h2)[25:]  # history kept across the switch

    def test_coefficient_set_selection_and_reset(self, rng):
        sets = rng.integers(-100, 100, (2, 6))
        x = rng.integers(-1000, 1000, 12)
        with FirModel(coeff=sets) as m:
            m.configure(1)
            assert m.run(x).tolist() == conv(x, sets[1])
            m.reset()
            assert m.run(x).tolist() == conv(x, sets[0])

    def test_refusals_and_warnings_of_packets(self):
        rec = Recorder()
        with FirModel(coeff=np.ones((4, 5)), reloadable=1, on_message=rec) as m:
            with pytest.raises(FirError, match="^tapforge_v6_3 WARNING: Invalid reload fsel, 4, "
                                               "ignoring packet$"):
                m.reload(4, np.ones(5))
            with pytest.raises(FirError, match="Insufficient coeff values specified, expecting5"):
                m.reload(3, np.ones(4))
            m.configure([7])
            assert rec.texts() == ["tapforge_v6_3 WARNING: fsel[0] : 7 is greater than maximum "
                                   "number of coeff_sets: 3. Reseting to: 3"]
            with pytest.raises(ValueError):
                m.configure([-1])
        rec = Recorder()
        with FirModel(on_message=rec) as m:
            m.configure(0)
            assert rec.texts() == ["tapforge_v6_3 WARNING: Ignoring config packet as not "
                                   "required for model configuration"]

    def test_channel_pattern_packet(self):
        rec = Recorder()
        invalid = ("tapforge_v6_3 WARNING: Channel pattern ID is invalid for specified number of "
                   "channels, using default value")
        with FirModel(chan_seq=1, num_channels=4, on_message=rec) as m:
            assert rec.texts() == [invalid]  # the default init_pattern, 175, is replaced
            assert m.config["init_pattern"] == F.patterns_for(4)[0]
            m.configure(0, pattern=F.patterns_for(4)[-1])
            assert rec.texts() == [invalid]
            m.configure(0, pattern=F.PATTERN_NONE)
            assert rec.texts() == [invalid, invalid]


# ---------------------------------------------------------------------------------------------
# Messages, tables, lifecycle
# ---------------------------------------------------------------------------------------------

class TestMessagesTablesLifecycle:
    def test_messages_become_warnings_by_default(self, caplog, capfd):
        with caplog.at_level(logging.DEBUG, logger="kip_models.fir"):
            with warnings.catch_warnings():
                warnings.simplefilter("error")
                FirModel(data_width=49).close()  # integer arithmetic: no warning
                FirModel(debug=True).close()
        records = [(r.levelno, r.getMessage()) for r in caplog.records]
        assert (logging.DEBUG, "tapforge_v6_3 NOTE: Passed basic checks") in records
        assert all(level == logging.DEBUG for level, _ in records)
        # A library warning is a FirWarning, once per call, pointing at the caller's line.
        with warnings.catch_warnings(record=True) as w:
            warnings.simplefilter("always")
            with FirModel() as m:
                for _ in range(3):
                    m.reload(0, [1.0] * 21)
        assert [(x.category, str(x.message)) for x in w] == [
            (F.FirWarning, "tapforge_v6_3 WARNING: Ignoring reload packet as not required for "
                           "model configuration")] * 3
        assert all(x.filename == __file__ for x in w)
        assert capfd.readouterr().err == ""

    def test_debug_notes_to_their_own_callable(self):
        notes, msgs = Recorder(), Recorder()
        with FirModel(debug=notes, on_message=msgs) as m:
            m.run(np.arange(3))
        assert "tapforge_v6_3 NOTE: Calculated accumulator width: 24" in notes.texts()
        assert msgs.messages == []

    def test_pattern_tables(self):
        assert F.PATTERN_MIN.shape == (65,) and F.PATTERN_MAX.shape == (65,)
        assert F.PATTERN_SEQ.shape == (F.PATTERN_COUNT, 64)
        assert F.PATTERN_MAP.shape == (F.PATTERN_COUNT, 64, 17)
        for t in (F.PATTERN_MIN, F.PATTERN_MAX, F.PATTERN_SEQ, F.PATTERN_MAP):
            assert t.dtype == np.int32
            with pytest.raises(ValueError):
                t.flat[0] = 5
        assert F.PATTERN_MIN[10] == -1 and len(F.patterns_for(10)) == 0
        for n in (4, 6, 8, 12, 16, 24, 32, 48, 64):
            for p in F.patterns_for(n):
                seq = F.PATTERN_SEQ[p]
                assert (seq[n:] == -1).all() and (seq[:n] >= 0).all()
                # Every channel's slots in the map are the slots it owns in the sequence.
                for c in set(seq[:n].tolist()):
                    rate = F.PATTERN_MAP[p, c, 0]
                    owned = np.flatnonzero(seq == c).tolist()
                    assert F.PATTERN_MAP[p, c, 1:1 + rate].tolist() == owned

    def test_closed_model_refuses_calls(self):
        m = FirModel()
        m.close()
        m.close()
        assert m.closed
        with pytest.raises(ValueError, match="closed"):
            m.send(np.zeros(3))
        with pytest.raises(ValueError, match="closed"):
            m.config

    def test_models_in_threads_match_serial_runs(self, rng):
        x = rng.integers(-2**15, 2**15, (2, 4, 4000))
        with FirModel(num_paths=2, num_channels=4, filter_type=1, interp_rate=2) as m:
            m.send(x)
            want = m.get()
        results = [None] * 4

        def work(i):
            with FirModel(num_paths=2, num_channels=4, filter_type=1, interp_rate=2) as mm:
                mm.send(x)
                results[i] = mm.get()

        threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        for r in results:
            assert np.array_equal(r, want)

    def test_one_model_shared_by_threads_stays_consistent(self):
        # Calls on one model from several threads are serialised: no sample is lost.
        with FirModel(coeff=[1]) as m:
            def work():
                for _ in range(50):
                    m.send(np.ones(10))
            threads = [threading.Thread(target=work) for _ in range(4)]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
            assert m.get().shape == (1, 1, 2000)
