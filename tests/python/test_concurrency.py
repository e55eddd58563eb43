"""Failing and succeeding calls from several threads at once: every exception carries its own
message, the process's standard error stream survives, and nothing is left behind."""

import os
import threading

import numpy as np
import pytest

from kip_models.fft import FftError, FftModel
from kip_models.fir import FirError, FirModel

THREADS = 4
ROUNDS = 300


def open_fds():
    return sorted(os.listdir("/proc/self/fd"))


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


@pytest.fixture
def stderr_watch(capfd):
    """The target of file descriptor 2 and the open descriptors before the test, checked after
    it; the test's own writes to stderr must come through."""
    target = os.readlink("/proc/self/fd/2")
    fds = open_fds()
    yield
    assert os.readlink("/proc/self/fd/2") == target
    os.write(2, b"stderr still works\n")
    assert capfd.readouterr().err == "stderr still works\n"
    assert open_fds() == fds


def test_fft_refusals_in_threads_keep_their_own_messages(stderr_watch):
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


def test_fft_creation_refusals_in_threads(stderr_watch):
    def work(t):
        for _ in range(ROUNDS // 10):
            with pytest.raises(FftError) as e:
                FftModel(C_NFFT_MAX=17 + t)
            assert str(e.value).endswith(f"Value is {17 + t}")
            FftModel(C_NFFT_MAX=3 + t, C_ARCH=2).close()

    run_threads(work)


def test_one_fft_model_shared_by_failing_and_succeeding_threads(stderr_watch):
    with FftModel(C_NFFT_MAX=6, C_ARCH=2) as m:
        def work(t):
            for _ in range(ROUNDS // 3):
                if t % 2:
                    with pytest.raises(FftError, match=f"scaling_sch\\[0\\] = {4 + t}:"):
                        m.transform(np.zeros(64), scaling=[4 + t] + [1] * 5)
                else:
                    assert m.transform(np.zeros(64)).xk.shape == (64,)

        run_threads(work)


def test_fir_refusals_in_threads_keep_their_own_messages(stderr_watch):
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
