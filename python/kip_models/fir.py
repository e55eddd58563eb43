"""FIR filter model (libIp_tapforge_v6_3_bitacc_cmodel) from Python.

    import numpy as np
    from kip_models.fir import FirModel

    with FirModel(coeff=[1, 2, 3, 2, 1], data_width=16) as fir:
        y = fir.run(np.arange(10))        # send, then collect everything waiting

Samples are numpy arrays shaped (paths, channels, vectors), as the library lays them out; a
model with one path and one channel also takes (vectors,). Outputs are float64 arrays (complex
for a Hilbert filter); a model that computes on arbitrary-precision integers (accumulators of
53 bits and more) returns numpy object arrays of Python ints instead, in units of the output's
least significant bit (config["output_fract_width"] fraction bits), so no bit is lost.

Messages of the model (warnings, and debug notes when created with debug=True) go to the
callable given as on_message(error, text), or else to the logging module (logger
"kip_models.fir"). A failed call raises FirError carrying the library's message.
"""

import logging
import operator

import numpy as np

from . import _fir
from ._lifecycle import ModelLifecycle

__all__ = [
    "FirModel",
    "FirError",
    "version",
    "default_config",
    "CONFIG_FIELDS",
    "PATTERN_NONE",
    "PATTERN_COUNT",
    "PATTERN_MIN",
    "PATTERN_MAX",
    "PATTERN_SEQ",
    "PATTERN_MAP",
    "patterns_for",
]

#: Fields of the configuration record, in record order.
CONFIG_FIELDS = (
    "name",
    "filter_type",
    "rate_change",
    "interp_rate",
    "decim_rate",
    "zero_pack_factor",
    "coeff",
    "coeff_padding",
    "num_coeffs",
    "coeff_sets",
    "reloadable",
    "is_halfband",
    "quantization",
    "coeff_width",
    "coeff_fract_width",
    "chan_seq",
    "num_channels",
    "init_pattern",
    "num_paths",
    "data_width",
    "data_fract_width",
    "output_rounding",
    "output_width",
    "output_fract_width",
    "config_method",
)
_INT_FIELDS = tuple(f for f in CONFIG_FIELDS if f not in ("name", "coeff"))

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


class FirError(RuntimeError):
    """A call of the FIR model failed. str(error) is the library's message; .messages holds
    every message of the failed call as (error flag, text) pairs."""

    def __init__(self, message, messages=()):
        super().__init__(message)
        self.messages = list(messages)


def version():
    """The model's version string, "6.3.1"."""
    return _fir.version()


def default_config():
    """The library's default configuration as a dict in record order (coeff as an array)."""
    d = _fir.default_config()
    out = {f: d[f] for f in CONFIG_FIELDS}
    out["coeff"].flags.writeable = False
    return out


def patterns_for(num_channels):
    """The channel pattern numbers available for num_channels slots (an empty range if none)."""
    if not 0 <= num_channels < len(PATTERN_MIN) or PATTERN_MIN[num_channels] < 0:
        return range(0)
    return range(int(PATTERN_MIN[num_channels]), int(PATTERN_MAX[num_channels]) + 1)


def _samples(a):
    """Samples as float64. The library takes doubles; integers beyond 2**53 would be rounded on
    the way, so they are refused rather than changed silently (in-range samples of the widest
    data format, 49 bits, always convert exactly)."""
    if a.dtype.kind in "iu" and a.size:
        if a.max() > 2**53 or a.min() < -2**53:
            raise ValueError("integer samples beyond 2**53 cannot be passed exactly as doubles")
    elif a.dtype == object:
        f = a.astype(np.float64)
        ints = ((v, w) for v, w in zip(a.flat, f.flat) if isinstance(v, (int, np.integer)))
        if any(int(v) != float(w) for v, w in ints):
            raise ValueError("integer samples beyond 2**53 cannot be passed exactly as doubles")
        return f
    return a


def _as_int(name, value):
    try:
        return operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}") from None


class FirModel(ModelLifecycle):
    """One FIR model instance.

    Keyword arguments are the fields of the configuration record (CONFIG_FIELDS); fields left
    out keep the library's defaults (default_config()). coeff takes a sequence or array of
    num_coeffs * coeff_sets values, set after set, or a 2-D array shaped (coeff_sets,
    num_coeffs); num_coeffs and coeff_sets are derived from it when not given.
    output_fract_width is computed by the model; a given value is ignored.

    on_message: None (messages go to the logger "kip_models.fir"), a logging.Logger, or a
    callable on_message(error, text) with error True for error-level messages.
    debug: False; True to receive the model's debug notes too (through on_message, or the
    logger at DEBUG level); or a callable of its own for them.
    """

    def __init__(self, *, on_message=None, debug=False, **config):
        unknown = sorted(set(config) - set(CONFIG_FIELDS))
        if unknown:
            raise TypeError(f"unknown configuration field(s): {', '.join(unknown)}")
        self._on_message = on_message
        self._debug = debug
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
            coeff = np.array(coeff, dtype=np.float64)
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
                        raise ValueError(f"{len(coeff)} coefficients do not split into "
                                         f"coeff_sets={sets} sets")
                    fields["num_coeffs"] = len(coeff) // sets
            else:
                raise ValueError("coeff must be 1-D or 2-D")
            coeff = np.ascontiguousarray(coeff.reshape(-1))
        model, messages = _fir.Model.create(fields, coeff, bool(debug))
        if model is None:
            errors = [text for _dbg, err, text in messages if err]
            self._deliver([m for m in messages if not m[2] in errors])
            raise FirError(errors[-1] if errors else "model creation failed",
                           [m[1:] for m in messages])
        self._m = model
        if coeff is None:
            coeff = default_config()["coeff"]
        self._coeff = coeff.copy()
        self._coeff.flags.writeable = False
        self._deliver(messages)

    # -- lifecycle -----------------------------------------------------------------------------

    def __repr__(self):
        if self.closed:
            return "<FirModel (closed)>"
        return f"<FirModel {self.name!r} paths={self.paths} channels={self.channels}>"

    # -- configuration -------------------------------------------------------------------------

    @property
    def config(self):
        """The completed configuration the model runs with (read back from the library), as a
        dict in record order; coeff holds the coefficients given at creation."""
        d = self._m.get_config()
        d["coeff"] = self._coeff
        return {f: d[f] for f in CONFIG_FIELDS}

    @property
    def name(self):
        return self._m.get_config()["name"]

    @property
    def paths(self):
        return self._m.paths

    @property
    def channels(self):
        return self._m.channels

    @property
    def hilbert(self):
        """True for a Hilbert transformer (complex output)."""
        return self._m.hilbert

    @property
    def integer_mode(self):
        """True when the model computes on arbitrary-precision integers; get() then returns
        Python ints (object arrays) by default."""
        return self._m.integer_mode

    # -- data ----------------------------------------------------------------------------------

    def send(self, x):
        """Sends samples: an array shaped (paths, channels, vectors), (paths, channels) for one
        vector, or (vectors,) for a model with one path and one channel."""
        a = np.asarray(x)
        if np.iscomplexobj(a):
            raise TypeError("the model takes real samples")
        if a.ndim == 1:
            if self.paths != 1 or self.channels != 1:
                raise ValueError(
                    f"a 1-D input needs a model with one path and one channel; this one has "
                    f"{self.paths} and {self.channels}: shape the input (paths, channels, vectors)")
            a = a.reshape(1, 1, -1)
        elif a.ndim not in (2, 3):
            raise ValueError("samples must be shaped (paths, channels, vectors) or (vectors,)")
        rc, messages = self._m.send(np.asfortranarray(_samples(a), dtype=np.float64))
        self._finish("send", rc, messages)

    def get(self, vectors=None, integer=None):
        """Collects output vectors: every vector waiting (vectors=None) or at most `vectors`.
        Returns an array shaped (paths, channels, vectors). integer=None chooses by the model's
        arithmetic; True gives Python ints in units of the output's least significant bit
        (object array; for a Hilbert filter a structured array with fields "re" and "im"),
        False gives float64 (complex128 for a Hilbert filter)."""
        want = -1 if vectors is None else _as_int("vectors", vectors)
        if vectors is not None and want < 0:
            raise ValueError("vectors must not be negative")
        rc, out, messages = self._m.get(self._kind(integer), want)
        self._finish("get", rc, messages)
        return out

    def run(self, x, integer=None):
        """send(x), then get(): returns every output vector waiting afterwards, shaped
        (vectors,) for a 1-D input and (paths, channels, vectors) otherwise."""
        a = np.asarray(x)
        self.send(a)
        out = self.get(integer=integer)
        return out[0, 0] if a.ndim == 1 else out

    def send_channel(self, x):
        """Sends one channel position of every path: x shaped (paths,), or a scalar for one
        path. Positions go round the channels in order (the pattern's slots under the advanced
        channel sequence)."""
        a = np.atleast_1d(np.asarray(x))
        if np.iscomplexobj(a):
            raise TypeError("the model takes real samples")
        if a.ndim != 1:
            raise ValueError("send_channel takes one sample per path")
        rc, messages = self._m.send_channel(np.ascontiguousarray(_samples(a), dtype=np.float64))
        self._finish("send_channel", rc, messages)

    def get_channel(self, integer=None):
        """Collects one channel position of every path: an array shaped (paths,), or shaped
        (0,) when that channel has nothing waiting."""
        rc, out, messages = self._m.get_channel(self._kind(integer))
        self._finish("get_channel", rc, messages)
        return out

    # -- run-time reconfiguration --------------------------------------------------------------

    def reload(self, fsel, coeffs):
        """Queues a reload of coefficient set fsel with num_coeffs values; it takes effect at
        the configuration point where the next configure() packet is applied."""
        c = np.asarray(coeffs, dtype=np.float64)
        if c.ndim != 1:
            raise ValueError("coeffs must be 1-D")
        rc, messages = self._m.reload(_as_int("fsel", fsel), np.ascontiguousarray(c))
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
        """Returns the data path to its state after creation (see the C header)."""
        rc, messages = self._m.reset()
        self._finish("reset", rc, messages)

    # -- internals -----------------------------------------------------------------------------

    def _kind(self, integer):
        if integer is None:
            integer = self.integer_mode
        if integer:
            return _fir.KIND_MPZ_COMPLEX if self.hilbert else _fir.KIND_MPZ
        return _fir.KIND_COMPLEX if self.hilbert else _fir.KIND_REAL

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
        for debug, error, text in messages:
            target = self._on_message
            if debug and callable(self._debug) and not isinstance(self._debug, bool):
                target = self._debug
            if target is None or isinstance(target, logging.Logger):
                logger = target or _LOG
                if error:
                    level = logging.ERROR
                else:
                    level = logging.DEBUG if debug else logging.WARNING
                logger.log(level, "%s", text)
            else:
                target(bool(error), text)
