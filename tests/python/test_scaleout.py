"""Scale-out: batches spread over threads give the same bits as one thread, and the Dask sweep
example gives the same digests on a 2-process LocalCluster as a serial run."""

import os
import pathlib
import subprocess
import sys
import warnings

import numpy as np
import pytest

from kip_models.fft import FftError, FftModel, FftWarning
from kip_models.fir import FirError, FirModel

REPO = pathlib.Path(__file__).resolve().parents[2]


def grid(rng, shape, scale=0.5):
    return (np.round(rng.uniform(-scale, scale, shape) * 2**15)
            + 1j * np.round(rng.uniform(-scale, scale, shape) * 2**15)) / 2**15


class TestFftWorkers:
    @pytest.mark.parametrize("generics", [
        {"C_NFFT_MAX": 8, "C_ARCH": 1},
        {"C_NFFT_MAX": 7, "C_ARCH": 3, "C_HAS_BFP": 1},
        {"C_NFFT_MAX": 6, "C_ARCH": 2, "C_HAS_SCALING": 0, "C_HAS_ROUNDING": 1},
    ])
    def test_workers_give_the_bits_of_one_thread(self, generics, rng):
        n = 2 ** generics["C_NFFT_MAX"]
        frames = grid(rng, (37, n))
        with FftModel(**generics) as m:
            one = m.transform_batch(frames)
            for workers in (2, 3, 64):
                many = m.transform_batch(frames, workers=workers)
                for a, b in zip(one, many):
                    assert a.dtype == b.dtype and np.array_equal(a, b), workers
            scaled = m.transform_batch(frames, workers=2, numpy_units=True)
            assert np.array_equal(scaled.xk, m.transform_batch(frames, numpy_units=True).xk)

    def test_per_frame_schedules_follow_their_frames(self, rng):
        frames = grid(rng, (9, 64))
        scheds = rng.integers(0, 4, (9, 3))
        scheds[:, 2] = 1
        with FftModel(C_NFFT_MAX=6, C_ARCH=1) as m, warnings.catch_warnings(record=True) as w:
            warnings.simplefilter("always")
            single = [m.transform(f, scaling=s) for f, s in zip(frames, scheds)]
            got = m.transform_batch(frames, scaling=scheds, workers=4)
        assert np.array_equal(np.array([r.xk for r in single]), got.xk)
        # The batch's one overflow warning names the first overflowing frame's own schedule.
        over = [i for i, r in enumerate(single) if r.overflow]
        assert got.overflow.tolist() == [r.overflow for r in single]
        assert [str(x.message) for x in w[len(over):]] == ([
            f"the scaling schedule overflowed in {len(over)} of 9 frame(s), the first frame "
            f"{over[0]} (schedule {scheds[over[0]].tolist()}): the outputs wrapped; the default "
            f"schedule (default_schedule()) never overflows"] if over else [])

    def test_the_first_refused_frame_is_named_with_its_own_message(self, rng):
        frames = grid(rng, (12, 64))
        frames[9, 1] = 1.5   # in the last worker's share
        frames[4, 2] = -2.0  # in an earlier share: the one reported
        with FftModel(C_NFFT_MAX=6, C_ARCH=2) as m:
            for workers in (1, 3):
                with pytest.raises(FftError) as e:
                    m.transform_batch(frames, workers=workers)
                assert (e.value.frame, e.value.code) == (4, 10)
                assert "xn_re[2] = -2:" in str(e.value)

    def test_warnings_are_those_of_one_thread(self, rng):
        frames = rng.uniform(-0.5, 0.5, (8, 64))
        with FftModel(C_NFFT_MAX=6) as m:
            for workers in (1, 4):
                with warnings.catch_warnings(record=True) as w:
                    warnings.simplefilter("always")
                    m.transform_batch(frames, workers=workers)
                assert [type(x.message) for x in w] == [FftWarning]


class TestFirWorkers:
    CONFIGS = [
        dict(coeff=[3, -1, 4, 1, -5, 9, 2], filter_type=2, rate_change=1, interp_rate=3,
             decim_rate=4, num_channels=2),
        dict(coeff=[3, -1, 4, 1, -5], filter_type=3),
        dict(coeff=[2**15 - 1, -2**15, 77], coeff_width=16, data_width=45),  # integer mode
    ]

    @pytest.mark.parametrize("config", CONFIGS)
    def test_run_batch_equals_fresh_models(self, config, rng):
        with FirModel(**config) as m:
            shape = (m.paths, m.channels)
            stimuli = [rng.integers(-2**12, 2**12, shape + (int(v),)) for v in
                       rng.integers(0, 90, 7)]
            if shape == (1, 1):
                stimuli = [s[0, 0] for s in stimuli]
            m.send(stimuli[0])  # the instance's own state plays no part
            want = []
            for s in stimuli:
                with FirModel(**config) as fresh:
                    want.append(fresh.run(s))
            for workers in (1, 2, 5):
                got = m.run_batch(stimuli, workers=workers)
                assert len(got) == len(want)
                for g, w in zip(got, want):
                    assert g.dtype == w.dtype and np.array_equal(g, w), workers

    def test_a_refused_stimulus_is_named(self):
        with FirModel(coeff=[1, 2]) as m:
            stimuli = [np.ones(4), np.ones(4), np.array([1.0, float("inf")]), np.ones(3)]
            for workers in (1, 2):
                with pytest.raises(FirError, match="Data value inf at path: 0 chan: 0 vector: 1 "
                                                   "cannot be quantised") as e:
                    m.run_batch(stimuli, workers=workers)
                assert e.value.index == 2
        with FirModel(num_channels=2) as m:
            with pytest.raises(ValueError, match="\\(paths, channels, vectors\\) = \\(1, 2, n\\)"):
                m.run_batch([np.zeros((1, 2, 3)), np.zeros((2, 3))])


def test_dask_sweep_on_a_local_cluster_equals_a_serial_run(tmp_path):
    pytest.importorskip("dask.distributed")
    import kip_models
    # The worker processes import the package this test imports.
    path = [str(pathlib.Path(kip_models.__file__).parents[1])] + sys.path
    env = dict(os.environ, DASK_TEMPORARY_DIRECTORY=str(tmp_path),
               PYTHONPATH=os.pathsep.join(p for p in path if p))
    run = subprocess.run(
        [sys.executable, str(REPO / "examples" / "sweep_dask.py"), "--workers", "2",
         "--configs", "24", "--stimuli", "3", "--length", "4096", "--check"],
        env=env, cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stdout + run.stderr
    assert "72 cases in" in run.stdout and "identical to the serial run" in run.stdout
