"""Hostile and careless input: sizes checked before memory is spent, worker states bounded and
released, long calls that stop on a signal and leave the model usable, masked arrays refused."""

import os
import signal
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

from kip_models.fft import FftError, FftModel
from kip_models.fir import FirModel


def test_frame_lengths_are_checked_before_anything_is_allocated():
    # Under an address-space limit of 1.5 GiB above the start, copying either argument (2 GiB
    # and more) fails with MemoryError; the check must come first and name value and limit.
    script = textwrap.dedent("""
        import resource, time
        import numpy as np
        from kip_models import FftModel
        m = FftModel(C_NFFT_MAX=6)
        m.transform(np.zeros(64))
        with open("/proc/self/statm") as f:
            vm = int(f.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (vm + 3 * 2**29, resource.RLIM_INFINITY))
        t = time.monotonic()
        for call in (lambda: m.transform_batch(np.zeros((0, 2**26))),
                     lambda: m.transform(np.zeros(2**27, np.complex64))):
            try:
                call()
            except ValueError as e:
                print(e)
        assert time.monotonic() - t < 5
    """)
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         timeout=120)
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines() == [
        "frames: 67108864 samples per frame; this model's frames hold at most 2**C_NFFT_MAX = "
        "64 samples (C_NFFT_MAX=6)",
        "x: 134217728 samples per frame; this model's frames hold at most 2**C_NFFT_MAX = 64 "
        "samples (C_NFFT_MAX=6)"]


def test_worker_states_are_bounded_and_released_on_failure(rng):
    frames = np.zeros((40, 64))
    want = FftModel(C_NFFT_MAX=6).transform_batch(frames).xk
    with FftModel(C_NFFT_MAX=6) as m:
        assert np.array_equal(m.transform_batch(frames, workers=1000).xk, want)
        assert len(m._workers) < min(os.cpu_count() or 1, 40)
        bad = frames.copy()
        bad[30, 3] = 2.0
        with pytest.raises(FftError) as e:
            m.transform_batch(bad, workers=1000)
        assert e.value.frame == 30
        assert m._workers == []  # freed with the failed call
        assert np.array_equal(m.transform_batch(frames, workers=3).xk, want)
    with FirModel(coeff=[1, 2]) as m:
        with pytest.raises(ValueError, match="x: expected an array shaped"):
            m.run_batch([np.zeros(4)] * 3 + [np.zeros((2, 2, 2, 2))], workers=1000)
        assert [y.tolist() for y in m.run_batch([[1, 0]] * 5, workers=1000)] == [[1, 2]] * 5


class _Stop(Exception):
    pass


def _interrupted_after(call, delay):
    """Runs call with a SIGALRM handler raising _Stop after delay seconds; returns the time the
    call took to stop (None when it finished first)."""
    def handler(signum, frame):
        raise _Stop()

    old = signal.signal(signal.SIGALRM, handler)
    t = time.monotonic()
    try:
        signal.setitimer(signal.ITIMER_REAL, delay)
        try:
            call()
        except _Stop:
            return time.monotonic() - t
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
        return None
    finally:
        signal.signal(signal.SIGALRM, old)


@pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs signal.setitimer")
def test_long_calls_stop_on_a_signal_and_the_model_stays_usable(rng):
    taps = rng.integers(-100, 100, 2048)
    x = rng.integers(-1000, 1000, 150_000).astype(float)
    frames = rng.integers(-2**14, 2**14, (600, 4096)) * 2.0**-15
    with FirModel(coeff=taps) as fir, FftModel(C_NFFT_MAX=12, C_ARCH=3) as fft:
        want_fft = fft.transform_batch(frames[:4]).xk
        want_fir = fir.run(x[:50])
        calls = {
            "FIR send": lambda: fir.send(x),
            "FIR run_batch, 2 threads": lambda: fir.run_batch([x, x], workers=2),
            "FFT transform_batch": lambda: fft.transform_batch(frames),
            "FFT transform_batch, 2 threads": lambda: fft.transform_batch(frames, workers=2),
        }
        for what, call in calls.items():
            fir.reset()
            t = time.monotonic()
            call()
            full = time.monotonic() - t
            fir.reset()
            took = _interrupted_after(call, full / 10)
            assert took is not None and took < full * 0.6, (what, full, took)
            # Still usable, with the same results.
            fir.reset()
            assert np.array_equal(fir.run(x[:50]), want_fir), what
            assert np.array_equal(fft.transform_batch(frames[:4]).xk, want_fft), what


def test_ctrl_c_raises_keyboard_interrupt_in_a_long_send():
    script = textwrap.dedent("""
        import os, signal, sys, threading, time
        import numpy as np
        from kip_models import FirModel
        m = FirModel(coeff=np.ones(2048))
        x = np.ones(2_000_000)
        threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT)).start()
        t = time.monotonic()
        try:
            m.send(x)
        except KeyboardInterrupt:
            print("interrupted", time.monotonic() - t < 2.0)
            m.reset()
            print(m.run(np.ones(3)).tolist())
    """)
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         timeout=300)
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines() == ["interrupted True", "[1.0, 2.0, 3.0]"]


def test_masked_arrays_with_masked_elements_are_refused():
    x = np.ma.masked_array([1.0, 1000.0, 1.0], mask=[0, 1, 0])
    with FirModel(coeff=[1, 2]) as m:
        for call in (lambda: m.run(x), lambda: m.send(x), lambda: m.run_batch([x]),
                     lambda: m.send_channel(np.ma.masked_array([1.0], mask=[1]))):
            with pytest.raises(ValueError, match="masked array with 1 masked element"):
                call()
        assert m.waiting == 0
        assert m.run(np.ma.masked_array([1.0, 2.0], mask=[0, 0])).tolist() == [1, 4]
    with pytest.raises(ValueError, match="^coeff: a masked array with 1 masked element"):
        FirModel(coeff=np.ma.masked_array([1.0, 2.0], mask=[1, 0]))
    frames = np.ma.masked_array(np.zeros((3, 64)))
    frames[2, 7] = np.ma.masked
    with FftModel(C_NFFT_MAX=6) as m:
        with pytest.raises(ValueError, match=r"^frames: .* \(the first at index \(2, 7\)\)"):
            m.transform_batch(frames)
        with pytest.raises(ValueError, match="^x: a masked array"):
            m.transform(frames[2])
        assert m.transform(frames[0]).xk.shape == (64,)
