"""Quantisation of samples to a signed fixed-point grid, as the models' inputs expect."""

import numpy as np

__all__ = ["quantize"]

_ROUNDING = ("nearest", "floor")
_OVERFLOW = ("error", "saturate", "wrap")


def quantize(x, width, fract, rounding="nearest", overflow="error"):
    """x on the grid of a signed two's-complement format of `width` bits with `fract`
    fraction bits: multiples of 2**-fract from -2**(width-1-fract) to
    2**(width-1-fract) - 2**-fract.

    rounding: "nearest" (ties to even, as numpy.rint) or "floor" (toward minus infinity,
    what the FIR model does to samples it is given off the grid, a bias of -1/2 LSB on
    average).
    overflow: what happens to values beyond the format after rounding: "error" raises
    ValueError, "saturate" clips to the nearest end, "wrap" wraps modulo 2**width LSBs (the
    FIR model's behaviour).
    Complex x is quantised part by part. Returns float64 (complex128) values, exact on the
    grid for width up to 53. Raises ValueError for non-finite values and for width/fract
    outside 1 <= width <= 53, |fract| <= 1023."""
    if rounding not in _ROUNDING:
        raise ValueError(f"rounding={rounding!r}: expected one of {_ROUNDING}")
    if overflow not in _OVERFLOW:
        raise ValueError(f"overflow={overflow!r}: expected one of {_OVERFLOW}")
    width, fract = int(width), int(fract)
    if not 1 <= width <= 53:
        raise ValueError(f"width={width}: expected 1 to 53 bits")
    if not -1023 <= fract <= 1023:
        raise ValueError(f"fract={fract}: expected -1023 to 1023")
    a = np.asarray(x)
    if np.iscomplexobj(a):
        re = _quantize_real(a.real, width, fract, rounding, overflow)
        im = _quantize_real(a.imag, width, fract, rounding, overflow)
        return re + 1j * im
    return _quantize_real(a.astype(np.float64), width, fract, rounding, overflow)


def _quantize_real(a, width, fract, rounding, overflow):
    a = np.asarray(a, dtype=np.float64)
    if a.size and not np.all(np.isfinite(a)):
        raise ValueError("x: non-finite values (NaN or infinity) cannot be quantised")
    y = np.ldexp(a, fract)
    q = np.rint(y) if rounding == "nearest" else np.floor(y)
    lo, hi = -(2.0 ** (width - 1)), 2.0 ** (width - 1) - 1
    if overflow == "error":
        bad = (q < lo) | (q > hi)
        if np.any(bad):
            v = a[bad].flat[0]
            raise ValueError(f"x: {v!r} lies outside the {width}-bit format with {fract} "
                             f"fraction bits (overflow='error')")
    elif overflow == "saturate":
        q = np.clip(q, lo, hi)
    else:
        q = np.mod(q - lo, 2.0 ** width) + lo
    return np.ldexp(q, -fract)
