"""FFT model (libIp_kfft_v8_0_bitacc_cmodel) from Python.

    import numpy as np
    from kip_models.fft import FftModel

    with FftModel(C_NFFT_MAX=8, C_ARCH=3) as fft:
        r = fft.transform(x)              # x: 256 complex samples, -1 <= re, im < 1
        spectrum, blk_exp, overflow = r

Generics are given by their names (C_NFFT_MAX, ...); the C_ prefix and upper case may be left
out (nfft_max=8, arch=3). Omitted generics keep the library's defaults (default_generics()).

Messages: the library writes its warnings and errors to the standard error stream (file
descriptor 2), and this module leaves successful calls alone, so warnings appear there as for
any C program. When a call is refused, it is repeated once with file descriptor 2 redirected to
a temporary file to obtain the library's error line; FftError carries that line (str(error))
and the library's code (error.code; None for refused generics). The repeat is harmless: a
refused call writes no output. While the repeat runs (a fraction of a millisecond), output that
other threads write to file descriptor 2 is held back and written after it, except lines of
this library, which are dropped (the repeat's own warnings were written by the first attempt).
"""

import operator
from typing import NamedTuple

import numpy as np

from . import _fft
from ._lifecycle import ModelLifecycle

__all__ = [
    "FftModel",
    "FftError",
    "FftResult",
    "FftBatchResult",
    "GENERICS",
    "default_generics",
]

#: Names of the generics, in record order.
GENERICS = (
    "C_NFFT_MAX",
    "C_ARCH",
    "C_HAS_NFFT",
    "C_USE_FLT_PT",
    "C_INPUT_WIDTH",
    "C_TWIDDLE_WIDTH",
    "C_HAS_SCALING",
    "C_HAS_BFP",
    "C_HAS_ROUNDING",
)


class FftError(RuntimeError):
    """The FFT model refused a call. str(error) is the library's message line; .code is the
    library's return code (1 to 24) or None when create_state refused the generics; .frame is
    the index of the refused frame in transform_batch (None otherwise)."""

    def __init__(self, message, code=None, frame=None):
        super().__init__(message)
        self.code = code
        self.frame = frame


class FftResult(NamedTuple):
    """One transformed frame: the spectrum (complex128, bin 0 first), the block exponent
    (block floating point: the true transform is about xk * 2**blk_exp) and the overflow flag."""

    xk: np.ndarray
    blk_exp: int
    overflow: bool


class FftBatchResult(NamedTuple):
    """Frames transformed by transform_batch: xk shaped (frames, N), blk_exp (int32) and
    overflow (bool) shaped (frames,)."""

    xk: np.ndarray
    blk_exp: np.ndarray
    overflow: np.ndarray


def default_generics():
    """The library's default generics as a dict in record order."""
    d = _fft.default_generics()
    return {g: d[g] for g in GENERICS}


def _generic_name(key):
    name = key.upper()
    if not name.startswith("C_"):
        name = "C_" + name
    if name not in GENERICS:
        raise TypeError(f"unknown generic {key!r}")
    return name


class FftModel(ModelLifecycle):
    """One FFT model instance (a state of the library), built from the generics."""

    def __init__(self, **generics):
        g = {}
        for key, value in generics.items():
            name = _generic_name(key)
            if name in g:
                raise TypeError(f"generic {name} given twice")
            try:
                g[name] = operator.index(value)
            except TypeError:
                raise TypeError(f"{name} must be an integer") from None
        model, message = _fft.Model.create(g)
        if model is None:
            raise FftError(message)
        self._m = model
        built = model.generics
        self._g = {k: built[k] for k in GENERICS}

    # -- lifecycle -----------------------------------------------------------------------------

    def __repr__(self):
        g = self._g
        return (f"<FftModel N=2**{g['C_NFFT_MAX']} arch={g['C_ARCH']}"
                f"{' (closed)' if self.closed else ''}>")

    @property
    def generics(self):
        """The generics the model was built with (dict in record order)."""
        return dict(self._g)

    @property
    def nfft_max(self):
        return self._g["C_NFFT_MAX"]

    # -- transforms ----------------------------------------------------------------------------

    def effective_nfft(self, n_samples, nfft=None):
        """The frame length exponent a call uses: nfft (or, when None, log2 of the number of
        samples) with a run-time length (C_HAS_NFFT 1), else C_NFFT_MAX."""
        if not self._g["C_HAS_NFFT"]:
            return self._g["C_NFFT_MAX"]
        if nfft is not None:
            return int(nfft)
        if n_samples > 0 and n_samples & (n_samples - 1) == 0:
            return n_samples.bit_length() - 1
        return self._g["C_NFFT_MAX"]

    def uses_schedule(self):
        """True when calls take a scaling schedule (scaled fixed point without block floating
        point)."""
        g = self._g
        return g["C_HAS_SCALING"] == 1 and g["C_HAS_BFP"] == 0 and g["C_USE_FLT_PT"] == 0

    def default_schedule(self, nfft=None):
        """The schedule used when none is given: 1/N overall, i.e. a shift of 2 per radix-4
        stage (1 for the last stage of an odd length) on C_ARCH 1 and 3, a shift of 1 per
        radix-2 stage on C_ARCH 2 and 4. The output is then the transform divided by N. Inputs
        near full scale can still overflow (see the overflow flag); pass a schedule with larger
        early shifts for those."""
        n = self.nfft_max if nfft is None else int(nfft)
        if self._g["C_ARCH"] in (1, 3):
            sched = [2] * (n // 2) + ([1] if n % 2 else [])
        else:
            sched = [1] * n
        return np.array(sched, dtype=np.int32)

    def transform(self, x, nfft=None, scaling=None, inverse=False):
        """Transforms one frame of complex samples x (1-D; fixed-point mode: real and imaginary
        parts in -1 <= v < 1). nfft: frame length exponent (run-time length models; default:
        from len(x)). scaling: per-stage right shifts (element 0 for the first stage; only read
        by scaled models without block floating point; default: default_schedule()).
        inverse: kernel e^(+j2pi nk/N), without 1/N. Returns an FftResult."""
        a = np.asarray(x)
        if a.ndim != 1:
            raise ValueError("transform takes a 1-D frame; use transform_batch for several")
        r = self.transform_batch(a[np.newaxis, :], nfft=nfft, scaling=scaling, inverse=inverse,
                                 _single=True)
        return FftResult(r.xk[0], int(r.blk_exp[0]), bool(r.overflow[0]))

    def transform_batch(self, frames, nfft=None, scaling=None, inverse=False, _single=False):
        """Transforms every row of frames (2-D, one frame per row) in one call, with the GIL
        released while the library runs. scaling: one schedule for all frames (1-D) or one per
        frame (2-D). Returns an FftBatchResult. On the first refused frame raises FftError with
        .frame set to its index."""
        a = np.asarray(frames)
        if a.ndim != 2:
            raise ValueError("transform_batch takes a 2-D array, one frame per row")
        if a.dtype == object or not (np.issubdtype(a.dtype, np.number) or a.dtype == bool):
            raise TypeError("frames must hold numbers")
        x = np.ascontiguousarray(a, dtype=np.complex128)
        n = self.effective_nfft(a.shape[1], nfft)
        call_nfft = n if nfft is None else _int32("nfft", nfft)
        sched = None
        if scaling is not None:
            sched = np.asarray(scaling)
            if sched.size and not np.issubdtype(sched.dtype, np.integer):
                raise TypeError("scaling must hold integers")
            if sched.ndim not in (1, 2):
                raise ValueError("scaling must be 1-D (all frames) or 2-D (one row per frame)")
            i32 = np.iinfo(np.int32)
            if sched.size and (sched.min() < i32.min or sched.max() > i32.max):
                raise ValueError("scaling values do not fit 32-bit integers")
            sched = np.ascontiguousarray(sched, dtype=np.int32)
        elif self.uses_schedule():
            sched = self.default_schedule(n)
        rc, failed, xk, blk, ovf, message = self._m.simulate(x, call_nfft, sched,
                                                             0 if inverse else 1)
        if rc != 0:
            raise FftError(message, code=rc, frame=None if _single else failed)
        return FftBatchResult(xk, blk, ovf.astype(bool))


def _int32(name, value):
    v = int(value)
    if not -2**31 <= v < 2**31:
        raise ValueError(f"{name} does not fit a 32-bit integer")
    return v
