"""FFT model (libIp_kfft_v8_0_bitacc_cmodel) from Python.

    import numpy as np
    from kip_models.fft import FftModel, Arch

    with FftModel(C_NFFT_MAX=8, C_ARCH=Arch.PIPELINED_STREAMING) as fft:
        x = fft.quantize(0.5 * np.exp(2j * np.pi * 5 * np.arange(256) / 256))
        r = fft.transform(x)                  # bit-accurate, in the model's scaled units
        X = fft.transform(x, numpy_units=True).xk   # comparable with numpy.fft.fft(x)

Generics are given by their names (C_NFFT_MAX, ...); the C_ prefix and upper case may be left
out (nfft_max=8, arch=3). Omitted generics keep the library's defaults (default_generics());
as the library describes them (GENERIC_DESCRIPTIONS has ranges, defaults and rules):

{generics}

Fixed-point samples must lie in -1 <= re, im < 1. A frame whose samples are not on the
C_INPUT_WIDTH grid is rounded by the model (ties to even) and produces a warning; quantize()
rounds it the same way beforehand.

Scaling: without a schedule, scaled fixed-point models use the library's default schedule
(default_schedule(): 1/(2N) overall, which no in-range frame can overflow). A call in which a
schedule overflowed gives one FftWarning naming the count and the first frame.

Messages: the library's warnings become Python warnings of class FftWarning, one per distinct
text per call (and, by Python's default filter, once per place in your code); its errors
become FftError. Nothing is written to the standard error stream.
"""

import enum
import operator
import textwrap
import warnings
from concurrent.futures import ThreadPoolExecutor
from typing import NamedTuple

import numpy as np

from . import _fft
from ._common import Codes, refuse_masked, warn, worker_count
from ._lifecycle import ModelLifecycle
from .quant import quantize as _quantize

__all__ = [
    "FftModel",
    "FftError",
    "FftWarning",
    "FftResult",
    "FftBatchResult",
    "Arch",
    "GENERICS",
    "GENERIC_DESCRIPTIONS",
    "default_generics",
]

#: The FFT library's version (the library has no version function: the version its header
#: names, as the binding reports it).
__version__ = _fft.VERSION

#: The library's description of each generic, in record order: dicts with name, help, rule,
#: kind, min, max and default.
GENERIC_DESCRIPTIONS = tuple(_fft.generics())
#: Names of the generics, in record order.
GENERICS = tuple(g["name"] for g in GENERIC_DESCRIPTIONS)


def _generic_table():
    """The library's help for every generic, as lines of a docstring."""
    lines = []
    for g in GENERIC_DESCRIPTIONS:
        text = (f"{'Arch: ' if g['name'] == 'C_ARCH' else ''}{g['help']}; {g['min']} to "
                f"{g['max']}{'; ' + g['rule'] if g['rule'] else ''} (default {g['default']})")
        lines += textwrap.wrap(text, 96, initial_indent=f"    {g['name']:<17}",
                               subsequent_indent=" " * 21)
    return "\n".join(lines)


__doc__ = __doc__.replace("{generics}", _generic_table())


class Arch(enum.IntEnum, metaclass=Codes):
    """Values of the C_ARCH generic.

    RADIX4_BURST        = 1: Radix-4 Burst I/O (transform length 64 and more)
    RADIX2_BURST        = 2: Radix-2 Burst I/O
    PIPELINED_STREAMING = 3: Pipelined Streaming I/O
    RADIX2_LITE_BURST   = 4: Radix-2 Lite Burst I/O (same results as RADIX2_BURST)
    """

    RADIX4_BURST = 1
    RADIX2_BURST = 2
    PIPELINED_STREAMING = 3
    RADIX2_LITE_BURST = 4


class FftError(RuntimeError):
    """The FFT model refused a call.

    str(error) is the library's message line ("ERROR:kfft_v8_0:..."); .code is the library's
    return code (1 to 24) or None when create_state refused the generics; .frame is the index
    of the refused frame in transform_batch (None for transform and creation)."""

    def __init__(self, message, code=None, frame=None):
        super().__init__(message)
        self.code = code
        self.frame = frame


class FftWarning(UserWarning):
    """A warning line of the FFT model ("WARNING:kfft_v8_0:..."): input rounded to the input
    grid, length substituted, denormal or non-finite floating-point data."""


class FftResult(NamedTuple):
    """One transformed frame.

    xk: the spectrum, complex128, bin 0 first (natural order), N = 2**nfft bins.
    blk_exp: block exponent (block floating point: the number of right shifts applied; the
    true transform is xk * 2**blk_exp); 0 otherwise.
    overflow: True when the datapath overflowed (scaled schedules too small, or a floating-
    point result beyond single precision); always False for block floating point."""

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
    """The library's default generics as a dict in record order (C_NFFT_MAX 10, C_ARCH 1,
    16-bit data and twiddles, scaled, truncating)."""
    d = _fft.default_generics()
    return {g: d[g] for g in GENERICS}


def _generic_name(key):
    name = key.upper()
    if not name.startswith("C_"):
        name = "C_" + name
    if name not in GENERICS:
        raise TypeError(f"unknown generic {key!r}; the generics are {', '.join(GENERICS)}")
    return name


def _check_generic(name, value):
    """Refuses, with the reason, the values the library would refuse in a way that misleads a
    Python caller (a length instead of its logarithm)."""
    if name == "C_NFFT_MAX" and value > 16 and value & (value - 1) == 0:
        raise ValueError(f"C_NFFT_MAX={value}: C_NFFT_MAX is log2 of the maximum transform "
                         f"length (3 to 16); for {value} points give "
                         f"C_NFFT_MAX={value.bit_length() - 1}")


def _report(lines, stacklevel):
    """Issues the distinct warning lines of a call, in order, as FftWarning."""
    seen = set()
    for _frame, is_error, text in lines:
        if not is_error and text not in seen:
            seen.add(text)
            warnings.warn(text, FftWarning, stacklevel=stacklevel + 1)


def _error_text(lines, fallback):
    errors = [text for _f, is_error, text in lines if is_error]
    return errors[-1] if errors else fallback


class FftModel(ModelLifecycle):
    """One FFT model instance (a state of the library), built from the generics.

    FftModel(**generics): keyword arguments are generics, by name (the C_ prefix and upper
    case may be left out); omitted ones keep the defaults. As the library describes them:

{generics}

    Raises
    FftError with the library's line when the generics are refused, TypeError for an unknown
    name or a non-integer value, ValueError for a length given where its log2 is expected.

    The model is closed with close() or by a with-block; one instance may be used from several
    threads (calls are serialised); transform_batch(workers=N) runs N states in parallel."""

    def __init__(self, **generics):
        g = {}
        for key, value in generics.items():
            name = _generic_name(key)
            if name in g:
                raise TypeError(f"generic {name} given twice")
            try:
                g[name] = operator.index(value)
            except TypeError:
                raise TypeError(f"{name} must be an integer, not {type(value).__name__}") from None
            _check_generic(name, g[name])
        model, lines = _fft.Model.create(g)
        if model is None:
            raise FftError(_error_text(lines, "ERROR:kfft_v8_0:create_state refused the generics"))
        _report(lines, 2)
        self._m = model
        built = model.generics
        self._g = {k: built[k] for k in GENERICS}
        self._workers = []  # extra states for transform_batch(workers=N), made on first use

    # -- lifecycle -----------------------------------------------------------------------------

    def close(self):
        """Frees the model (and its worker states); later calls raise ValueError."""
        self._release_workers()
        self._m.close()

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
        """C_NFFT_MAX: log2 of the maximum transform length."""
        return self._g["C_NFFT_MAX"]

    # -- helpers -------------------------------------------------------------------------------

    def effective_nfft(self, n_samples, nfft=None):
        """The frame length exponent a call uses, by the library's rule (frame_length): nfft
        (or, when None, log2 of the number of samples) with a run-time length (C_HAS_NFFT 1),
        else C_NFFT_MAX. A length the model refuses is returned as asked, for the model to
        refuse."""
        if nfft is None:
            nfft = self.nfft_max
            if n_samples > 0 and n_samples & (n_samples - 1) == 0:
                nfft = n_samples.bit_length() - 1
        length = self._m.frame_length(_int32("nfft", nfft))
        return length.bit_length() - 1 if length else int(nfft)

    def uses_schedule(self):
        """True when calls read a scaling schedule (scaled fixed point without block floating
        point)."""
        return self._m.default_schedule(self.nfft_max).size > 0

    def default_schedule(self, nfft=None):
        """The library's default schedule for a frame of 2**nfft points (default C_NFFT_MAX),
        used when a call gives none: a shift of 3 (radix-4 first step, C_ARCH 1 and 3) or 2
        (radix-2, C_ARCH 2 and 4) for the first step and each later step's full growth, 1/(2N)
        overall. No frame of in-range samples can make it overflow. Empty when the generics read
        no schedule. Returns an int32 array, element 0 for the first step."""
        n = self.nfft_max if nfft is None else _int32("nfft", nfft)
        return self._m.default_schedule(n)

    def quantize(self, x):
        """x rounded to the input grid of the model (C_INPUT_WIDTH bits, C_INPUT_WIDTH - 1
        fraction bits), exactly as the model rounds a frame that is not on the grid: to
        nearest, ties to even, values that would reach +1.0 kept just below it. Real and
        imaginary parts separately; complex in, complex out. Raises ValueError for values
        outside -1 <= v < 1, which the model refuses. Floating-point models take any finite
        value: x is returned unchanged."""
        a = np.asarray(x)
        if self._g["C_USE_FLT_PT"]:
            return a
        w = self._g["C_INPUT_WIDTH"]
        parts = (a.real, a.imag) if np.iscomplexobj(a) else (a,)
        for p in parts:
            if p.size and not (np.all(p >= -1.0) and np.all(p < 1.0)):
                raise ValueError("x: fixed-point samples must lie in -1 <= v < 1")
        return _quantize(a, w, w - 1, rounding="nearest", overflow="saturate")

    def numpy_scale(self, result, scaling=None, nfft=None, inverse=False):
        """log2 of the factor that takes this model's xk to numpy's units: the sum of the
        schedule's shifts (scaled fixed point; default schedule when scaling is None), blk_exp
        (block floating point), else 0; minus nfft for an inverse transform (numpy.fft.ifft
        divides by N). result: an FftResult or FftBatchResult (its blk_exp is used)."""
        n = self.nfft_max if nfft is None else self.effective_nfft(0, nfft)
        if self.uses_schedule():
            sched = self.default_schedule(n) if scaling is None else np.asarray(scaling)
            shift = sched.astype(np.int64).sum(axis=-1)
        elif self._g["C_HAS_BFP"] and not self._g["C_USE_FLT_PT"]:
            shift = np.asarray(result.blk_exp, dtype=np.int64)
        else:
            shift = np.int64(0)
        return shift - (n if inverse else 0)

    def output_width(self, nfft=None):
        """Width in bits of the output words (output="int"), by the library's rule:
        C_INPUT_WIDTH when scaled (schedule or block floating point), C_INPUT_WIDTH +
        C_NFFT_MAX + 1 unscaled, 32 (the single-precision bit pattern) in floating-point mode;
        the layout kip-golden writes. nfft: the frame's length exponent (default C_NFFT_MAX)."""
        n = self.nfft_max if nfft is None else _int32("nfft", nfft)
        width = self._m.output_width(n)
        if width == 0:
            raise ValueError(f"nfft={n}: a frame length this model refuses")
        return width

    def transform(self, x, nfft=None, scaling=None, inverse=False, numpy_units=False,
                  output="real"):
        """Transforms one frame.

        x: 1-D complex (or real) samples; fixed point: real and imaginary parts in
        -1 <= v < 1 (off-grid values are rounded with an FftWarning; see quantize()).
        Masked arrays with masked elements are refused (ValueError).
        nfft: frame length exponent for run-time length models (default: log2(len(x))).
        scaling: per-stage right shifts, 0 to 3, element 0 for the first stage; read only by
        scaled models without block floating point (default: default_schedule()).
        inverse: False forward, X[k] = sum x[n] e^(-j2pi nk/N); True inverse kernel
        e^(+j2pi nk/N) without 1/N.
        numpy_units: False gives the model's output bit for bit; True multiplies it exactly by
        2**numpy_scale(...) so that it compares with numpy.fft.fft(x) (numpy.fft.ifft(x) when
        inverse), within the model's quantisation.
        output: "real" gives xk as complex128 values; "int" gives the output words, as
        kip-golden writes them, for comparison with RTL: a structured int64 array with fields
        "re" and "im", output_width() bits each in two's complement, value word *
        2**-(C_INPUT_WIDTH - 1) (block floating point: times 2**blk_exp); in floating-point
        mode the single-precision bit patterns (0 to 2**32 - 1).

        Returns an FftResult (xk, blk_exp, overflow). Raises FftError (the library's line and
        code) when the model refuses the call, ValueError/TypeError for arrays of the wrong
        shape or type (before anything is allocated for them). Ctrl-C stops the call between
        frames (KeyboardInterrupt); the model stays usable."""
        refuse_masked(x, "x")
        a = np.asarray(x)
        if a.ndim != 1:
            raise ValueError(f"x: transform takes a 1-D frame, got shape {a.shape}; use "
                             f"transform_batch for several")
        r = self._batch(a[np.newaxis, :], nfft, scaling, inverse, numpy_units, output, 1,
                        single=True)
        return FftResult(r.xk[0], int(r.blk_exp[0]), bool(r.overflow[0]))

    def transform_batch(self, frames, nfft=None, scaling=None, inverse=False,
                        numpy_units=False, workers=1, output="real"):
        """Transforms every row of frames (2-D, one frame per row) with the GIL released.

        scaling: one schedule for all frames (1-D) or one per frame (2-D, a row per frame).
        workers: number of threads (None: one per processor); each runs its own model state of
        the same generics on a contiguous share of the frames. No more threads are started
        than there are frames or processors; the extra states are kept for later calls and
        freed when a call fails. The results are identical to workers=1. Other arguments as
        transform().

        Returns an FftBatchResult. On a refused frame raises FftError with .frame set to the
        index of the first refused frame (and .code to the library's code); the warnings of
        the frames before it are issued. Ctrl-C stops every thread between frames
        (KeyboardInterrupt); the model stays usable."""
        refuse_masked(frames, "frames")
        a = np.asarray(frames)
        if a.ndim != 2:
            raise ValueError(f"frames: expected a 2-D array, one frame per row, got shape "
                             f"{a.shape}")
        workers = worker_count(workers, a.shape[0])
        return self._batch(a, nfft, scaling, inverse, numpy_units, output, workers,
                           single=False)

    # -- internals -----------------------------------------------------------------------------

    def _check_length(self, length, nfft, what):
        """Refuses, before any copy is made, a frame longer than the model takes, and a frame
        whose length disagrees with an nfft that a fixed-length model ignores."""
        n_max = 1 << self.nfft_max
        if length > n_max:
            raise ValueError(f"{what}: {length} samples per frame; this model's frames hold at "
                             f"most 2**C_NFFT_MAX = {n_max} samples (C_NFFT_MAX="
                             f"{self.nfft_max})")
        if nfft is None:
            return
        n = _int32("nfft", nfft)
        expected = self._m.frame_length(n)
        if 0 <= n < 31 and expected not in (0, 1 << n) and length != expected:
            raise ValueError(f"nfft={nfft}: this model's length is fixed (C_HAS_NFFT=0) at "
                             f"2**C_NFFT_MAX = {expected} samples and {what} has {length}; give "
                             f"frames of {expected} samples, or build the model with "
                             f"C_HAS_NFFT=1 to choose the length per call")

    def _warn_overflow(self, overflow, sched):
        """One FftWarning when a schedule overflowed in any frame of the call."""
        count = int(np.count_nonzero(overflow))
        if not count or sched is None:
            return
        first = int(np.argmax(overflow))
        used = sched[first] if sched.ndim == 2 else sched
        warn(f"the scaling schedule overflowed in {count} of {len(overflow)} frame(s), the "
             f"first frame {first} (schedule {used.tolist()}): the outputs wrapped; the default "
             f"schedule (default_schedule()) never overflows", FftWarning)

    def _batch(self, a, nfft, scaling, inverse, numpy_units, output, workers, single):
        if output not in ("real", "int"):
            raise ValueError(f"output={output!r}: expected 'real' or 'int'")
        if output == "int" and numpy_units:
            raise ValueError("numpy_units=True gives values, not words: use output='real'")
        if a.dtype == object or not (np.issubdtype(a.dtype, np.number) or a.dtype == bool):
            raise TypeError(f"frames must hold numbers, not {a.dtype}")
        self._check_length(a.shape[1], nfft, "x" if single else "frames")
        x = np.ascontiguousarray(a, dtype=np.complex128)
        n = self.effective_nfft(a.shape[1], nfft)
        call_nfft = n if nfft is None else _int32("nfft", nfft)
        sched = None
        if scaling is not None:
            sched = np.asarray(scaling)
            if sched.size and not np.issubdtype(sched.dtype, np.integer):
                raise TypeError(f"scaling must hold integers, not {sched.dtype}")
            if sched.ndim not in (1, 2):
                raise ValueError("scaling must be 1-D (all frames) or 2-D (one row per frame)")
            i32 = np.iinfo(np.int32)
            if sched.size and (sched.min() < i32.min or sched.max() > i32.max):
                raise ValueError("scaling values do not fit 32-bit integers")
            sched = np.ascontiguousarray(sched, dtype=np.int32)
        elif self.uses_schedule():
            sched = self.default_schedule(n)
        direction = 0 if inverse else 1
        count = x.shape[0]
        workers = max(1, min(workers, count))
        if workers == 1:
            parts = [(0, self._m.simulate(x, call_nfft, sched, direction))]
        else:
            parts = self._run_workers(x, call_nfft, sched, direction, workers)
        lines = []
        for lo, (rc, failed, _xk, _blk, _ovf, part_lines) in parts:
            lines += [(lo + f, e, t) for f, e, t in part_lines]
            if rc != 0:
                first = lo + failed
                _report([ln for ln in lines if ln[0] < first], 3)
                text = _error_text([ln for ln in lines if ln[0] == first],
                                   f"ERROR:kfft_v8_0:simulate failed with code {rc}")
                raise FftError(text, code=rc, frame=None if single else int(first))
        _report(lines, 3)
        if len(parts) == 1:
            xk, blk, ovf = parts[0][1][2:5]
        else:
            xk = np.concatenate([p[1][2] for p in parts])
            blk = np.concatenate([p[1][3] for p in parts])
            ovf = np.concatenate([p[1][4] for p in parts])
        if self.uses_schedule():
            self._warn_overflow(ovf, sched)
        result = FftBatchResult(xk, blk, ovf.astype(bool))
        if numpy_units:
            shift = self.numpy_scale(result, sched, n, inverse)
            xk = np.ldexp(xk.real, np.reshape(shift, (-1, 1))) + 1j * np.ldexp(
                xk.imag, np.reshape(shift, (-1, 1)))
            result = result._replace(xk=xk)
        elif output == "int":
            result = result._replace(xk=self._words(xk))
        return result

    def _words(self, xk):
        """Output values as the words kip-golden writes (see transform(output="int"))."""
        words = np.empty(xk.shape, dtype=[("re", np.int64), ("im", np.int64)])
        if self._g["C_USE_FLT_PT"]:
            for f, part in (("re", xk.real), ("im", xk.imag)):
                words[f] = part.astype(np.float32).view(np.uint32)
            return words
        shift = self._g["C_INPUT_WIDTH"] - 1
        for f, part in (("re", xk.real), ("im", xk.imag)):
            scaled = np.ldexp(part, shift)
            words[f] = scaled.astype(np.int64)
        return words

    def _run_workers(self, x, nfft, sched, direction, workers):
        """Runs shares of the frames on this state and workers - 1 others, in threads. Ctrl-C
        (or any failure to finish) cancels every share between frames; a refused call frees
        the extra states."""
        count = x.shape[0]
        bounds = np.linspace(0, count, workers + 1).astype(int)
        models = [self._m] + self._worker_states(workers - 1)
        cancel = _fft.CancelFlag()

        def run(i):
            lo, hi = bounds[i], bounds[i + 1]
            s = sched[lo:hi] if sched is not None and sched.ndim == 2 else sched
            return lo, models[i].simulate(x[lo:hi], nfft, s, direction, cancel)

        pool = ThreadPoolExecutor(workers)
        try:
            futures = [pool.submit(run, i) for i in range(workers)]
            parts = [f.result() for f in futures]
        except BaseException:
            cancel.set()
            pool.shutdown(wait=True)
            self._release_workers()
            raise
        pool.shutdown(wait=True)
        if any(p[1][0] != 0 for p in parts):
            self._release_workers()
        return parts

    def _worker_states(self, count):
        """count extra model states with this model's generics, kept for later calls."""
        try:
            while len(self._workers) < count:
                model, lines = _fft.Model.create(self._g)
                if model is None:
                    raise FftError(_error_text(lines, "ERROR:kfft_v8_0:create_state failed"))
                self._workers.append(model)
        except BaseException:
            self._release_workers()
            raise
        return self._workers[:count]

    def _release_workers(self):
        for w in self._workers:
            w.close()
        self._workers = []


def _int32(name, value):
    v = operator.index(value)
    if not -2**31 <= v < 2**31:
        raise ValueError(f"{name}={v} does not fit a 32-bit integer")
    return v


FftModel.__doc__ = FftModel.__doc__.replace("{generics}", _generic_table())
