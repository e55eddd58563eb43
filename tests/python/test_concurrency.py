"""Failing and succeeding calls from several threads at once: every exception carries its own
message, the process's standard error stream survives, and nothing is left behind."""

import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

from kip_models.fft import FftError, FftModel
from kip_models.fir import FirError, FirModel

THREADS = 4
ROUNDS = 300


def run_threads(work):
    errors = []

    def guarded(t):
        try:
            work(t)
        except BaseException as e:  # reported in the main thread
            errors.append((t, e))

    threads = [threading.Thread(target=guarded, args=(t,)) for t in range(THREADS)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    assert errors == []


def test_stderr_survives_concurrent_refusals():
    """In a process of its own, whose stderr is a pipe: threads hammer refused FFT and FIR calls;
    afterwards file descriptor 2 still designates the pipe, no descriptor was left open, and
    nothing but the process's own line reached the stream."""
    script = textwrap.dedent("""
        import os, threading
        import numpy as np
        from kip_models import FftError, FftModel, FirError, FirModel
        target, fds = os.readlink("/proc/self/fd/2"), sorted(os.listdir("/proc/self/fd"))
        def work(t):
            with FftModel(C_NFFT_MAX=6) as fft, FirModel(num_paths=t + 1) as fir:
                for r in range(500):
                    try:
                        fft.transform(np.full(64, 1.0 + t))
                    except FftError as e:
                        assert str(e).endswith("must be in the range -1.0 <= data < 1.0")
                    fft.transform(np.zeros(64))
                    try:
                        fir.send_channel(np.zeros(t + 2))
                    except FirError:
                        pass
        threads = [threading.Thread(target=work, args=(t,)) for t in range(4)]
        [t.start() for t in threads]
        [t.join() for t in threads]
        assert os.readlink("/proc/self/fd/2") == target
        assert sorted(os.listdir("/proc/self/fd")) == fds
        os.write(2, b"stderr still works\\n")
    """)
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         timeout=120)
    assert run.returncode == 0, run.stderr
    assert run.stderr == "stderr still works\n"


def test_fft_refusals_in_threads_keep_their_own_messages():
    x = np.zeros(64)
    want = FftModel(C_NFFT_MAX=6).transform(x).xk
    counts = [0] * THREADS

    def work(t):
        with FftModel(C_NFFT_MAX=6) as m:
            for r in range(ROUNDS):
                bad = x.copy()
                bad[t + 1] = 2.0 + r  # refused, naming this thread's index and value
                with pytest.raises(FftError) as e:
                    m.transform(bad)
                assert e.value.code == 10
                assert str(e.value) == (
                    f"ERROR:kfft_v8_0:simulate called with invalid real data value: "
                    f"xn_re[{t + 1}] = {2 + r}: all values must be in the range -1.0 <= data < 1.0")
                assert np.array_equal(m.transform(x).xk, want)
                counts[t] += 1

    run_threads(work)
    assert counts == [ROUNDS] * THREADS


def test_fft_creation_refusals_in_threads():
    def work(t):
        for _ in range(ROUNDS // 10):
            with pytest.raises(FftError) as e:
                FftModel(C_NFFT_MAX=17 + t)
            assert str(e.value).endswith(f"Value is {17 + t}")
            FftModel(C_NFFT_MAX=3 + t, C_ARCH=2).close()

    run_threads(work)


def test_one_fft_model_shared_by_failing_and_succeeding_threads():
    with FftModel(C_NFFT_MAX=6, C_ARCH=2) as m:
        def work(t):
            for _ in range(ROUNDS // 3):
                if t % 2:
                    with pytest.raises(FftError, match=f"scaling_sch\\[0\\] = {4 + t}:"):
                        m.transform(np.zeros(64), scaling=[4 + t] + [1] * 5)
                else:
                    assert m.transform(np.zeros(64)).xk.shape == (64,)

        run_threads(work)


def test_fir_refusals_in_threads_keep_their_own_messages():
    def work(t):
        paths = t + 1
        with FirModel(num_paths=paths, name=f"fir{t}") as m:
            for _ in range(ROUNDS // 3):
                with pytest.raises(FirError) as e:
                    m.send_channel(np.zeros(paths + 1))
                assert str(e.value) == (f"fir{t} ERROR: Incorrect data size, expecting "
                                        f"num_paths: {paths}")
                y = m.run(np.ones((paths, 1, 3)))
                assert y.shape == (paths, 1, 3)

    run_threads(work)
