"""FIR filter model (libIp_tapforge_v6_3_bitacc_cmodel) from Python.

    import numpy as np
    from kip_models.fir import FirModel, FilterType

    taps = [0.02, 0.1, 0.25, 0.3, 0.25, 0.1, 0.02]          # designed in [-1, 1)
    with FirModel(coeff=taps, coeff_width=16, coeff_fract_width=15,
                  filter_type=FilterType.DECIMATING, decim_rate=2,
                  data_width=16, data_fract_width=15) as fir:
        x = fir.quantize(0.9 * np.sin(np.arange(64) / 3))   # onto the 16-bit input grid
        y = fir.run(x)                    # send, then collect everything waiting

Formats. Samples, coefficients and outputs are signed fixed point: data_width bits with
data_fract_width fraction bits (default 16 and 0: integers!), coefficients coeff_width and
coeff_fract_width (default 16 and 0). Values in [-1, 1) therefore need data_fract_width and
coeff_fract_width (for example 15 with 16-bit widths), or quantization=2 for coefficients
(FirModel.coeff_scale gives the factor it applies). Coefficients are rounded to the nearest
code (ties toward zero). The model rounds samples it is given off the grid down (a bias of
-1/2 LSB) and wraps values beyond the format; each call that converts samples so gives one
FirWarning naming the counts and the first index (kip_fir_v6_3_input_check), and
quantize() rounds to nearest first. FirModel also warns when the quantised coefficients lose
most of their value and, at creation, of every setting the model ignores (a rate the filter
type does not use, ...: kip_fir_v6_3_config_check).

Layout. Samples are numpy arrays shaped (paths, channels, vectors): x[p, c, v] is sample v of
channel c on path p; a model with one path and one channel also takes (vectors,). Outputs
come back in the same layout.

Output values. In full precision (output_rounding 0) the output is the accumulator, in units
of 2**-output_fract_width (config["output_fract_width"], usually coeff_fract_width +
data_fract_width): a format other than the input's. With rounding 1 to 7 it is rounded to
output_width bits. The caller chooses the output type, per model (FirModel(output=...)) or per
call: output="real" (the default) gives float64 values in real units (complex128 for a Hilbert
filter), output="int" gives the output words, int64 in units of the output's least
significant bit (Python ints in an object array when output_width exceeds 63 bits; a Hilbert
filter gives fields "re" and "im"). The type never depends on the values. Outputs wider than
53 bits are exact only with output="int".

Rate change (the hardware's own alignment, no delay compensation): with interpolation L
and decimation M, u the input zero-stuffed by L (u[nL] = x[n], zeros between) and c the taps,
output m is

    y[m] = sum_j c[j] * u[m*M + d - j],   d = M - 1 when L <= M, else 0,

so the decimator keeps the last sample of each group of M. With scipy:

    from scipy.signal import upfirdn
    d = M - 1 if L <= M else 0
    ref = upfirdn(c, x, L, 1)[d::M][:len(y)]      # equals y for integer formats

Messages of the model go to the callable given as on_message(error, text), each distinct text
once per call, or else become Python warnings of class FirWarning (each distinct text once per
call; Python's filter then shows each once per place in your code); nothing is written to the
standard error stream by the model. Debug notes (debug=True) go to on_message, a callable of
their own, or the logger "kip_models.fir" at DEBUG level. A failed call raises FirError
carrying the library's message; argument errors found before the library is called raise
ValueError or TypeError naming the argument.

Threads: one model may be shared by threads; each call (send, get, run, ...) runs alone, but a
sequence of calls is not atomic: two threads calling run() on one model interleave their
samples in the one filter history. Give each thread its own model, or use run_batch().

Ctrl-C stops a long send(), run() or run_batch() between chunks of samples with
KeyboardInterrupt; the samples sent before it stay in the model (reset() starts over).
"""

import enum
import logging
import math
import numbers
import operator
import textwrap
import warnings
from concurrent.futures import ThreadPoolExecutor

import numpy as np

from . import _fir
from ._common import Codes, refuse_masked, warn, worker_count
from ._lifecycle import ModelLifecycle
from .quant import quantize as _quantize

__all__ = [
    "FirModel",
    "FirError",
    "FirWarning",
    "FilterType",
    "RateChange",
    "Quantization",
    "Rounding",
    "ChannelSequence",
    "ConfigMethod",
    "version",
    "default_config",
    "CONFIG_FIELDS",
    "FIELDS",
    "PATTERN_NONE",
    "PATTERN_COUNT",
    "PATTERN_MIN",
    "PATTERN_MAX",
    "PATTERN_SEQ",
    "PATTERN_MAP",
    "patterns_for",
    "OUTPUTS",
]

#: The FIR library's version string (kip_fir_v6_3_get_version).
__version__ = _fir.version()

#: Output types of get(), run(), run_batch() and get_channel().
OUTPUTS = ("real", "int")

#: The library's description of each configuration field, in record order: dicts with name,
#: help, rule, default_text, kind, computed, min, max and default.
FIELDS = tuple(_fir.fields())
#: Fields of the configuration record, in record order.
CONFIG_FIELDS = tuple(f["name"] for f in FIELDS)
_INT_FIELDS = tuple(f["name"] for f in FIELDS
                    if f["kind"] not in (_fir.FIELD_STRING, _fir.FIELD_REAL_ARRAY))


class FilterType(enum.IntEnum, metaclass=Codes):
    """Values of filter_type.

    SINGLE_RATE   = 0: one output per input
    INTERPOLATING = 1: interp_rate outputs per input (with rate_change 1: L/M)
    DECIMATING    = 2: one output per decim_rate inputs (with rate_change 1: L/M)
    HILBERT       = 3: Hilbert transformer: complex output (delayed input, filter output)
    ZERO_PACKED   = 4: coefficients spread by zero_pack_factor
    """

    SINGLE_RATE = 0
    INTERPOLATING = 1
    DECIMATING = 2
    HILBERT = 3
    ZERO_PACKED = 4


class RateChange(enum.IntEnum, metaclass=Codes):
    """Values of rate_change.

    INTEGER    = 0: interpolation or decimation by an integer
    FRACTIONAL = 1: interpolation by interp_rate and decimation by decim_rate together
    """

    INTEGER = 0
    FRACTIONAL = 1


class Quantization(enum.IntEnum, metaclass=Codes):
    """Values of quantization (coefficient quantisation).

    INTEGER_COEFFICIENTS   = 0: rounded to the nearest code of coeff_width /
                                coeff_fract_width (ties toward zero)
    QUANTIZE_ONLY          = 1: the same as 0
    MAXIMIZE_DYNAMIC_RANGE = 2: scaled by FirModel.coeff_scale, so that the largest tap
                                reaches the end of the format, then rounded as 0
    """

    INTEGER_COEFFICIENTS = 0
    QUANTIZE_ONLY = 1
    MAXIMIZE_DYNAMIC_RANGE = 2


class Rounding(enum.IntEnum, metaclass=Codes):
    """Values of output_rounding: full precision, or rounding to output_width bits.

    FULL_PRECISION      = 0: the whole accumulator; output_width becomes its width
    FLOOR               = 1: toward minus infinity (truncation of two's complement)
    HALF_TOWARD_ZERO    = 2: nearest, ties toward zero
    HALF_AWAY_FROM_ZERO = 3: nearest, ties away from zero
    HALF_EVEN           = 4: nearest, ties to even (convergent)
    HALF_ODD            = 5: nearest, ties to odd
    HALF_DOWN           = 6: nearest, ties toward minus infinity
    HALF_UP             = 7: nearest, ties toward plus infinity
    """

    FULL_PRECISION = 0
    FLOOR = 1
    HALF_TOWARD_ZERO = 2
    HALF_AWAY_FROM_ZERO = 3
    HALF_EVEN = 4
    HALF_ODD = 5
    HALF_DOWN = 6
    HALF_UP = 7


class ChannelSequence(enum.IntEnum, metaclass=Codes):
    """Values of chan_seq.

    BASIC    = 0: channels in order 0 .. num_channels-1
    ADVANCED = 1: channel patterns (num_channels 4, 6, 8, 12, 16, 24, 32, 48 or 64)
    """

    BASIC = 0
    ADVANCED = 1


class ConfigMethod(enum.IntEnum, metaclass=Codes):
    """Values of config_method: how configuration packets select coefficient sets.

    SINGLE     = 0: one selector for every channel
    BY_CHANNEL = 1: one selector per channel
    """

    SINGLE = 0
    BY_CHANNEL = 1


#: Channel pattern number selecting the basic channel sequence.
PATTERN_NONE = _fir.PATTERN_NONE
#: Number of channel patterns (0 to PATTERN_COUNT - 1).
PATTERN_COUNT = _fir.PATTERN_COUNT
#: First and last pattern for N channel slots (index N = 0 to 64), -1 where none exists.
PATTERN_MIN = _fir.pattern_min
PATTERN_MAX = _fir.pattern_max
#: PATTERN_SEQ[p, s]: channel owning slot s of pattern p (-1 beyond the pattern's slots).
PATTERN_SEQ = _fir.pattern_seq
#: PATTERN_MAP[p, c, 0]: slots channel c owns in pattern p; [p, c, 1:1 + rate]: those slots.
PATTERN_MAP = _fir.pattern_map

_LOG = logging.getLogger("kip_models.fir")

# The library's note that a model computes on integers: the output type is the caller's
# choice here (output=), and integer_mode tells the arithmetic, so the note becomes no
# FirWarning (on_message still receives it).
_INTEGER_MODE_NOTE = " WARNING: Model will use MPZ data type"

class FirError(RuntimeError):
    """A call of the FIR model failed.

    str(error) is the library's message (for a refused configuration followed by the fields
    it concerns and their values); .messages holds every message of the failed call as
    (error flag, text) pairs, texts as the library wrote them; .index is the stimulus index
    for run_batch (None otherwise)."""

    def __init__(self, message, messages=(), index=None):
        super().__init__(message)
        self.messages = list(messages)
        self.index = index


class FirWarning(UserWarning):
    """A configuration or stimulus that the model accepts but that is probably not what was
    meant (coefficients or samples quantised away, a field overridden by the filter type)."""


def version():
    """The model's version string, "6.3.1"."""
    return _fir.version()


def default_config():
    """The library's default configuration as a dict in record order (coeff as a read-only
    array: 21 integer taps)."""
    d = _fir.default_config()
    out = {f: d[f] for f in CONFIG_FIELDS}
    out["coeff"].flags.writeable = False
    return out


def patterns_for(num_channels):
    """The channel pattern numbers available for num_channels slots (an empty range if none)."""
    if not 0 <= num_channels < len(PATTERN_MIN) or PATTERN_MIN[num_channels] < 0:
        return range(0)
    return range(int(PATTERN_MIN[num_channels]), int(PATTERN_MAX[num_channels]) + 1)


def _samples(a, name="x"):
    """Samples as float64. Integers beyond 2**53 would be rounded on the way to the library's
    doubles, so they are refused rather than changed silently (in-range samples of the widest
    data format, 49 bits, always convert exactly); so are elements that are not real
    numbers. NaN and infinities pass on: the library refuses them with its own message."""
    if a.dtype.kind in "iu" and a.size:
        if a.max() > 2**53 or a.min() < -2**53:
            raise ValueError(f"{name}: integer samples beyond 2**53 cannot be passed exactly "
                             f"as doubles")
    elif a.dtype.kind == "b":
        raise TypeError(f"{name}: boolean samples are not numbers")
    elif a.dtype == object:
        for i, v in enumerate(a.flat):
            if isinstance(v, bool) or not isinstance(v, numbers.Real):
                idx = np.unravel_index(i, a.shape) if a.ndim > 1 else i
                raise TypeError(f"{name}[{idx}] is {v!r}: samples must be real numbers")
            if isinstance(v, numbers.Integral) and abs(int(v)) > 2**53:
                raise ValueError(f"{name}: integer samples beyond 2**53 cannot be passed "
                                 f"exactly as doubles")
        return a.astype(np.float64)
    elif a.dtype.kind not in "fiu":
        raise TypeError(f"{name}: samples must be real numbers, not {a.dtype}")
    return a


def _check_output(output):
    if output not in OUTPUTS:
        raise ValueError(f"output={output!r}: expected one of {', '.join(map(repr, OUTPUTS))}")
    return output


def _as_int(name, value):
    try:
        return operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}") from None


def _lost_energy(exact, codes):
    """Energy of the quantisation error as a share of the energy of exact (0.0 for an all-zero
    input)."""
    e = float(np.sum(np.square(exact)))
    return 0.0 if e == 0 else float(np.sum(np.square(exact - codes))) / e


def _fract_for(values, width):
    """Fraction bits that bring the largest magnitude of values just inside width bits."""
    peak = float(np.max(np.abs(values))) if np.size(values) else 0.0
    if peak == 0 or not math.isfinite(peak):
        return None
    return width - 1 - math.floor(math.log2(peak)) - 1


class FirModel(ModelLifecycle):
    """One FIR model instance.

    FirModel(*, on_message=None, debug=False, output="real", **config)

    Keyword arguments are the fields of the configuration record (CONFIG_FIELDS); fields left
    out keep the library's defaults (default_config()). Codes may be given as the IntEnums of
    this module or as ints. The fields, as the library describes them (FIELDS has the
    descriptions: range, default, rule):

{fields}
    coeff may also be a 2-D array shaped (coeff_sets, num_coeffs); num_coeffs and coeff_sets
    follow from coeff when not given. Fields whose codes have an IntEnum here: {enums}.

    on_message: None (the model's warnings become FirWarning), a logging.Logger, or a
    callable on_message(error, text) with error True for error-level messages.
    debug: False; True to receive the model's debug notes too (through on_message, or the
    logger "kip_models.fir" at DEBUG level); or a callable of its own for them.
    output: "real" or "int", the output type of get(), run(), run_batch() and get_channel()
    when a call does not choose (see the module help).

    Output alignment (the hardware's, no delay compensation): with L = interp_rate and
    M = decim_rate as completed (config), u the input zero-stuffed by L and c the taps,
    y[m] = sum_j c[j] * u[m*M + d - j] with d = M - 1 when L <= M, else 0: the decimator
    keeps the last sample of each group of M. scipy.signal.upfirdn(c, x, L, 1)[d::M] gives
    the same sequence. Full-precision output has output_fract_width fraction bits.

    Raises FirError (the library's text and the fields concerned) when the library refuses
    the configuration, TypeError for unknown fields or non-integer values, ValueError for
    coefficients that do not match num_coeffs * coeff_sets (extra taps as well as missing
    ones) and for masked arrays with masked elements. Warns (FirWarning) when the
    quantised coefficients keep less than half their energy, and when a given rate or
    packing factor is overridden by the filter type.

    One instance may be used from several threads: each call is serialised, but a sequence
    such as run() (send, then get) is not atomic, and the filter history is shared;
    run_batch() runs independent stimuli on several model states in parallel."""

    def __init__(self, *, on_message=None, debug=False, output="real", **config):
        unknown = sorted(set(config) - set(CONFIG_FIELDS))
        if unknown:
            raise TypeError(f"unknown configuration field(s): {', '.join(unknown)}; the "
                            f"fields are {', '.join(CONFIG_FIELDS)}")
        self._on_message = on_message
        self._debug = debug
        self._output = _check_output(output)
        fields = {}
        for f in _INT_FIELDS:
            if f in config:
                fields[f] = _as_int(f, config[f])
        if "name" in config:
            if not isinstance(config["name"], str):
                raise TypeError("name must be a str")
            fields["name"] = config["name"]
        coeff = config.get("coeff")
        if coeff is not None:
            refuse_masked(coeff, "coeff")
            coeff = _samples(np.asarray(coeff), "coeff").astype(np.float64)
            if coeff.ndim == 2:
                sets, taps = coeff.shape
                for f, v in (("coeff_sets", sets), ("num_coeffs", taps)):
                    if fields.setdefault(f, v) != v:
                        raise ValueError(
                            f"{f}={fields[f]} does not match coeff of shape {coeff.shape}")
            elif coeff.ndim == 1:
                sets = fields.setdefault("coeff_sets", 1)
                if "num_coeffs" not in fields:
                    if sets <= 0 or len(coeff) % sets:
                        raise ValueError(f"coeff: {len(coeff)} coefficients do not split into "
                                         f"coeff_sets={sets} sets")
                    fields["num_coeffs"] = len(coeff) // sets
            else:
                raise ValueError(f"coeff must be 1-D or 2-D, got shape {coeff.shape}")
            coeff = np.ascontiguousarray(coeff.reshape(-1))
            defaults = _fir.default_config()
            taps = fields.get("num_coeffs", defaults["num_coeffs"])
            sets = fields.get("coeff_sets", defaults["coeff_sets"])
            if taps > 0 and sets > 0 and coeff.size != taps * sets:
                raise ValueError(f"coeff holds {coeff.size} values, the configuration needs "
                                 f"num_coeffs * coeff_sets = {taps} * {sets} = {taps * sets}")
        self._fields = fields
        model, messages, notes, refused_field = _fir.Model.create(fields, coeff, bool(debug))
        if model is None:
            errors = [text for _dbg, err, text in messages if err]
            self._deliver([m for m in messages if m[2] not in errors])
            text = errors[-1] if errors else "model creation failed"
            if refused_field is None:  # a rule between fields: show what was given
                text = self._explain_refusal(text)
            raise FirError(text, [m[1:] for m in messages])
        self._m = model
        if coeff is None:
            coeff = default_config()["coeff"]
        self._coeff = coeff.copy()
        self._coeff.flags.writeable = False
        self._deliver(messages)
        for note in notes:  # settings the model ignores
            warnings.warn(note, FirWarning, stacklevel=2)
        self._check_coefficients(self.config)

    # -- lifecycle -----------------------------------------------------------------------------

    def __repr__(self):
        if self.closed:
            return "<FirModel (closed)>"
        return f"<FirModel {self.name!r} paths={self.paths} channels={self.channels}>"

    # -- configuration -------------------------------------------------------------------------

    @property
    def config(self):
        """The completed configuration the model runs with (read back from the library), as a
        dict in record order: rates as forced by the filter type, output_width (the
        accumulator width in full precision) and output_fract_width as computed; coeff holds
        the coefficients given at creation."""
        d = self._m.get_config()
        d["coeff"] = self._coeff
        return {f: d[f] for f in CONFIG_FIELDS}

    @property
    def name(self):
        """The instance name."""
        return self._m.get_config()["name"]

    @property
    def paths(self):
        """num_paths: the first dimension of every sample array."""
        return self._m.paths

    @property
    def channels(self):
        """num_channels: the second dimension of every sample array."""
        return self._m.channels

    @property
    def hilbert(self):
        """True for a Hilbert transformer (complex output)."""
        return self._m.hilbert

    @property
    def integer_mode(self):
        """True when the model computes on exact integers (accumulator of 53 bits and more);
        get() then returns integers in units of the output LSB by default."""
        return self._m.integer_mode

    @property
    def coeff_scale(self):
        """The factor the model multiplied the coefficients by before rounding them to the
        coefficient format: with quantization=2 (MAXIMIZE_DYNAMIC_RANGE) the one that brings the
        largest tap to the end of the format, else 1.0. The outputs then carry this factor."""
        return self._m.coeff_scale

    @property
    def output(self):
        """The model's default output type, "real" or "int"."""
        return self._output

    @property
    def waiting(self):
        """Whole output vectors waiting to be collected (what get() returns now)."""
        return max(self._m.waiting(), 0)

    def quantize(self, x, rounding="nearest"):
        """x on this model's input grid (data_width bits, data_fract_width fraction bits):
        rounding "nearest" (ties to even) or "floor" (what the model does itself); values
        beyond the format raise ValueError rather than wrap. Returns float64. See
        kip_models.quantize for other formats."""
        c = self.config
        return _quantize(x, c["data_width"], c["data_fract_width"], rounding=rounding,
                         overflow="error")

    # -- data ----------------------------------------------------------------------------------

    def send(self, x):
        """Sends samples: an array shaped (paths, channels, vectors), (paths, channels) for one
        vector, or (vectors,) for a model with one path and one channel. Real numbers only;
        off-grid values are rounded down, values beyond data_width wrap, with one FirWarning
        for the call (see quantize()). Raises ValueError naming the expected layout when the
        shape does not fit, or for a masked array with masked elements, TypeError for
        elements that are not real numbers, FirError when the library refuses the call.
        Ctrl-C stops a long send between chunks of vectors (KeyboardInterrupt); the vectors
        sent before it stay in the model."""
        refuse_masked(x, "x")
        a = self._input(x)
        rc, messages, converted = self._m.send(np.asfortranarray(a, dtype=np.float64))
        self._warn_conversion(converted, a, np.ndim(x) == 1)
        self._finish("send", rc, messages)

    def get(self, vectors=None, output=None, integer=None):
        """Collects output vectors: every vector waiting (vectors=None) or at most `vectors`.

        Returns an array shaped (paths, channels, vectors). output: "real" gives float64
        (complex128 for a Hilbert filter) in real units, the words times
        2**-output_fract_width; "int" gives the words, int64 in units of the output's least
        significant bit (Python ints in an object array when output_width exceeds 63 bits; a
        Hilbert filter gives a structured array with fields "re" and "im"); None: the model's
        default (FirModel(output=...), "real" unless chosen). integer=True/False is the older
        spelling of output="int"/"real". Raises FirError when the library refuses the call."""
        want = -1 if vectors is None else _as_int("vectors", vectors)
        if vectors is not None and want < 0:
            raise ValueError(f"vectors={want}: must not be negative")
        rc, out, messages = self._m.get(self._kind(output, integer), want)
        self._finish("get", rc, messages)
        return out

    def run(self, x, output=None, integer=None):
        """send(x), then get(): returns every output vector waiting afterwards, shaped
        (vectors,) for a 1-D input and (paths, channels, vectors) otherwise. A rate-changing
        filter gives len(x) * L // M outputs per channel in total, aligned as the module help
        states (y[m] = sum_j c[j] u[m*M + d - j]). output as for get(). The send and the get
        are two calls: threads sharing one model must not run() on it at the same time."""
        refuse_masked(x, "x")
        a = np.asarray(x)
        kind = self._kind(output, integer)
        self.send(a)
        rc, out, messages = self._m.get(kind, -1)
        self._finish("get", rc, messages)
        return out[0, 0] if a.ndim == 1 else out

    def run_batch(self, stimuli, workers=1, output=None, integer=None):
        """Runs each stimulus of the sequence `stimuli` on this configuration from the state
        after creation (as reset() leaves it) and returns the list of outputs, as run() gives
        them. workers: number of threads (None: one per processor), each with a model state of
        its own, no more than there are stimuli or processors; the results are identical to
        workers=1. Reconfiguration packets sent to this instance are not carried over.
        Messages are delivered in stimulus order after the run; a refused stimulus raises
        FirError with .index set (the first one, in order). Every stimulus is checked before
        any model state is made. Ctrl-C stops every thread (KeyboardInterrupt)."""
        items = []
        for i, s in enumerate(stimuli):
            refuse_masked(s, f"stimuli[{i}]")
            items.append(np.asarray(s))
        shaped = [self._input(a) for a in items]
        workers = worker_count(workers, len(items))
        kind = self._kind(output, integer)
        bounds = np.linspace(0, len(items), workers + 1).astype(int)
        cancel = _fir.CancelFlag()

        def run_share(k):
            model, msgs, _notes, _field = _fir.Model.create(self._fields, self._coeff, False)
            if model is None:
                raise FirError("\n".join(m[2] for m in msgs if m[1]) or "model creation failed",
                               [m[1:] for m in msgs])
            results = []
            try:
                for i in range(bounds[k], bounds[k + 1]):
                    if cancel.is_set():
                        break
                    rc, msgs = model.reset()
                    converted = None
                    if rc == 0:
                        rc, more, converted = model.send(
                            np.asfortranarray(shaped[i], dtype=np.float64), cancel)
                        msgs = msgs + more
                    out = None
                    if rc == 0:
                        rc, out, more = model.get(kind, -1)
                        msgs = msgs + more
                    results.append((rc, out, msgs, converted))
                    if rc != 0:
                        break
            finally:
                model.close()
            return results

        if workers == 1:
            shares = [run_share(0)]
        else:
            pool = ThreadPoolExecutor(workers)
            try:
                futures = [pool.submit(run_share, k) for k in range(workers)]
                shares = [f.result() for f in futures]
            except BaseException:
                cancel.set()
                raise
            finally:
                pool.shutdown(wait=True)
        outs = []
        for i, (rc, out, msgs, converted) in enumerate(r for share in shares for r in share):
            self._warn_conversion(converted, shaped[i], items[i].ndim == 1, f"stimuli[{i}]: ")
            if rc != 0:
                try:
                    self._finish("run_batch", rc, msgs)
                except FirError as e:
                    e.index = i
                    raise
            self._deliver(msgs)
            outs.append(out[0, 0] if items[i].ndim == 1 else out)
        return outs

    def send_channel(self, x):
        """Sends one channel position of every path: x shaped (paths,), or a scalar for one
        path. Positions go round the channels in order (the pattern's slots under the advanced
        channel sequence)."""
        refuse_masked(x, "x")
        a = np.atleast_1d(np.asarray(x))
        if np.iscomplexobj(a):
            raise TypeError("x: the model takes real samples")
        if a.ndim != 1:
            raise ValueError(f"x: send_channel takes one sample per path, shape "
                             f"({self.paths},); got {a.shape}")
        a = np.ascontiguousarray(_samples(a), dtype=np.float64)
        rc, messages, converted = self._m.send_channel(a)
        self._warn_conversion(converted, a, True)
        self._finish("send_channel", rc, messages)

    def get_channel(self, output=None, integer=None):
        """Collects one channel position of every path: an array shaped (paths,), or shaped
        (0,) when that channel has nothing waiting. output as for get()."""
        rc, out, messages = self._m.get_channel(self._kind(output, integer))
        self._finish("get_channel", rc, messages)
        return out

    # -- run-time reconfiguration --------------------------------------------------------------

    def reload(self, fsel, coeffs):
        """Queues a reload of coefficient set fsel (0 to coeff_sets - 1) with num_coeffs
        values; it takes effect at the configuration point where the next configure() packet
        is applied. Needs reloadable=1 (otherwise the library ignores it with a warning)."""
        refuse_masked(coeffs, "coeffs")
        c = _samples(np.asarray(coeffs), "coeffs")
        if c.ndim != 1:
            raise ValueError(f"coeffs must be 1-D, got shape {c.shape}")
        rc, messages = self._m.reload(_as_int("fsel", fsel),
                                      np.ascontiguousarray(c, dtype=np.float64))
        self._finish("reload", rc, messages)

    def configure(self, fsel=0, pattern=PATTERN_NONE):
        """Queues a configuration packet: coefficient-set selectors (one per channel with
        config_method 1, else one for all channels; an int or a sequence) and, under the
        advanced channel sequence, the channel pattern. Applied at the next configuration
        point."""
        sel = np.atleast_1d(np.asarray(fsel))
        if sel.ndim != 1 or not (sel.size == 0 or np.issubdtype(sel.dtype, np.integer)):
            raise TypeError("fsel must be an integer or a 1-D sequence of integers")
        if sel.size and (sel.min() < 0 or sel.max() > np.iinfo(np.uint32).max):
            raise ValueError("fsel values must lie in 0 to 2**32 - 1")
        rc, messages = self._m.configure(np.ascontiguousarray(sel, dtype=np.uint32),
                                         _as_int("pattern", pattern))
        self._finish("configure", rc, messages)

    def reset(self):
        """Returns the data path to its state after creation: filters, output FIFOs, queued
        packets and channel position cleared, init_pattern in force (see the C header)."""
        rc, messages = self._m.reset()
        self._finish("reset", rc, messages)

    # -- internals -----------------------------------------------------------------------------

    def _input(self, x):
        """x as an array in the (paths, channels, vectors) layout, or refused naming it."""
        a = np.asarray(x)
        if np.iscomplexobj(a):
            raise TypeError("x: the model takes real samples")
        p, c = self.paths, self.channels
        layout = f"(paths, channels, vectors) = ({p}, {c}, n)"
        if a.ndim == 1:
            if p != 1 or c != 1:
                raise ValueError(f"x: a 1-D input needs a model with one path and one channel; "
                                 f"this one takes {layout}")
            return _samples(a).reshape(1, 1, -1)
        if a.ndim not in (2, 3):
            raise ValueError(f"x: expected an array shaped {layout} or (vectors,), got "
                             f"{a.ndim} dimensions")
        if a.shape[:2] != (p, c):
            hint = ""
            if p == 1 and a.shape[0] == c:
                hint = ("; a (channels, samples) array is one path: pass x[np.newaxis]")
            raise ValueError(f"x: shape {a.shape} does not fit this model's layout "
                             f"{layout}{hint}")
        return _samples(a)

    def _kind(self, output, integer=None):
        if output is None:
            output = self._output if integer is None else ("int" if integer else "real")
        elif integer is not None:
            raise TypeError("give output= or integer=, not both")
        if _check_output(output) == "int":
            return _fir.KIND_MPZ_COMPLEX if self.hilbert else _fir.KIND_MPZ
        return _fir.KIND_COMPLEX if self.hilbert else _fir.KIND_REAL

    def _explain_refusal(self, text):
        """The library's refusal of a configuration, followed by the values the caller gave
        (the other fields had their defaults)."""
        given = ", ".join(f"{f}={v!r}" for f, v in self._fields.items() if f != "name")
        return f"{text} (given: {given})" if given else text

    def _check_coefficients(self, done):
        """Warns when rounding to the coefficient format changes the taps by more than half of
        their energy (typically taps designed in [-1, 1) with coeff_fract_width 0)."""
        if done["quantization"] == Quantization.MAXIMIZE_DYNAMIC_RANGE:
            return
        exact = np.ldexp(self._coeff, done["coeff_fract_width"])
        codes = np.sign(exact) * np.ceil(np.abs(exact) - 0.5)  # nearest, ties toward zero
        lost = _lost_energy(exact, codes)
        if lost <= 0.5:
            return
        f = _fract_for(self._coeff, done["coeff_width"])
        what = ("all become zero" if not np.any(codes) else
                f"keep little of their value (the rounding error has {lost:.0%} of their energy)")
        warnings.warn(
            f"the coefficients quantised to coeff_width={done['coeff_width']}, "
            f"coeff_fract_width={done['coeff_fract_width']} {what}: set coeff_fract_width"
            f"{f' (e.g. {f})' if f is not None else ''} or "
            f"quantization=Quantization.MAXIMIZE_DYNAMIC_RANGE (2)", FirWarning, stacklevel=3)

    def _warn_conversion(self, converted, a, flat, prefix=""):
        """One FirWarning for the samples of a call that the model wraps or rounds down: the
        library's text (counts and first indices into the samples in the model's order, paths
        fastest), with the positions in x for a (paths, channels, vectors) array, and a hint
        when the rounding leaves little of the samples' value."""
        if converted is None:
            return
        text, wrapped, first_wrapped, rounded, first_rounded = converted
        if not flat:
            where = [f"x[{', '.join(map(str, np.unravel_index(i, a.shape, order='F')))}]"
                     for n, i in ((wrapped, first_wrapped), (rounded, first_rounded)) if n]
            text += f" (first at {' and '.join(where)})"
        if rounded:
            c = self._m.get_config()
            exact = np.ldexp(np.asarray(a, dtype=np.float64), c["data_fract_width"])
            exact = exact[np.isfinite(exact)]
            lost = _lost_energy(exact, np.floor(exact))
            if lost > 0.5:
                f = _fract_for(exact * 2.0**-c["data_fract_width"], c["data_width"])
                text += (f"; the rounding error has {lost:.0%} of the samples' energy: set "
                         f"data_fract_width{f' (e.g. {f})' if f is not None else ''} or scale "
                         f"the samples")
        warn(prefix + text, FirWarning)

    def _finish(self, op, rc, messages):
        """Delivers the messages of a call; raises FirError when it failed. The error messages
        of a failed call (or, without one, its last warning, as for a refused reload) become
        the exception instead of being delivered."""
        if rc == 0:
            self._deliver(messages)
            return
        culprits = [m for m in messages if not m[0] and m[1]]
        if not culprits:
            culprits = [m for m in messages if not m[0]][-1:]
        rest = [m for m in messages if m not in culprits]
        self._deliver(rest)
        text = "\n".join(m[2] for m in culprits) or f"FIR model {op} failed"
        raise FirError(text, [m[1:] for m in messages])

    def _deliver(self, messages):
        """Hands the messages of a call to on_message / the debug callable, or makes the
        warnings FirWarning and the debug notes DEBUG records of the logger; each distinct
        warning or error once per call."""
        seen = set()
        for debug, error, text in messages:
            if not debug:  # debug traces repeat legitimately
                if (error, text) in seen:
                    continue
                seen.add((error, text))
            target = self._on_message
            if debug and callable(self._debug) and not isinstance(self._debug, bool):
                target = self._debug
            if target is None and not debug:
                if not text.endswith(_INTEGER_MODE_NOTE):
                    warn(text, FirWarning)
            elif target is None or isinstance(target, logging.Logger):
                logger = target or _LOG
                if error:
                    level = logging.ERROR
                else:
                    level = logging.DEBUG if debug else logging.WARNING
                logger.log(level, "%s", text)
            else:
                target(bool(error), text)


# Fields whose codes have an IntEnum of this module.
_ENUM_FIELDS = {"filter_type": FilterType, "rate_change": RateChange,
                "quantization": Quantization, "output_rounding": Rounding,
                "chan_seq": ChannelSequence, "config_method": ConfigMethod}


def _field_table():
    """The library's help for every field, as lines of FirModel's docstring."""
    lines = []
    for f in FIELDS:
        text = f["help"]
        if f["kind"] == _fir.FIELD_INT:
            text += f", {f['min']} to {f['max']}"
        text += f"; {f['rule']}" if f["rule"] else ""
        if not f["computed"]:
            text += f" (default {f['default_text']})"
        if f["name"] in _ENUM_FIELDS:
            text = f"{_ENUM_FIELDS[f['name']].__name__}: {text}"
        head = f"    {f['name']:<18}" if len(f["name"]) < 18 else f"    {f['name']} "
        lines += textwrap.wrap(text, 96, initial_indent=head, subsequent_indent=" " * 22)
    return "\n".join(lines)


FirModel.__doc__ = FirModel.__doc__.replace("{fields}", _field_table()).replace(
    "{enums}", ", ".join(f"{f} ({e.__name__})" for f, e in _ENUM_FIELDS.items()))
