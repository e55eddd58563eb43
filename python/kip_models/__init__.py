"""Python interface of the bit-accurate FIR and FFT core models.

kip_models.fir wraps libIp_tapforge_v6_3_bitacc_cmodel, kip_models.fft wraps
libIp_kfft_v8_0_bitacc_cmodel. Samples travel as numpy arrays, refusals become exceptions
carrying the library's message, the libraries' warnings become Python warnings; nothing is
written to the standard error stream. help(kip_models.fir) and help(kip_models.fft) explain
every field, code and call.

    FirModel, FirError, FirWarning      the FIR model, its refusals and warnings
    FilterType, RateChange, Quantization, Rounding, ChannelSequence, ConfigMethod
                                        codes of the FIR configuration fields
    FftModel, FftError, FftWarning      the FFT model, its refusals and warnings
    FftResult, FftBatchResult           results of FftModel.transform / transform_batch
    Arch                                codes of the C_ARCH generic
    quantize(x, width, fract)           samples onto a signed fixed-point grid

__version__ is the package's version (the FIR model's, "6.3.1"); kip_models.fir.__version__
and kip_models.fft.__version__ are the two libraries' versions.

The submodules load their libraries on first use, so each works without the other.
numpy is checked at import: an interpreter without it is refused there, with its path.
"""

import importlib
import sys

try:
    import numpy  # noqa: F401  (every call takes and gives numpy arrays)
except ImportError as _error:
    # Say so at import, not at the first call: the python3 first on a user's PATH (pyenv, a
    # virtual environment without system packages) is often not Debian's, which has numpy.
    raise ImportError(
        f"kip_models needs numpy, which {sys.executable} cannot import; run Debian's "
        "/usr/bin/python3 (package python3-numpy), e.g. through build/python/kip_python, or "
        "install numpy for this interpreter"
    ) from _error

_EXPORTS = {
    "FirModel": "fir",
    "FirError": "fir",
    "FirWarning": "fir",
    "FilterType": "fir",
    "RateChange": "fir",
    "Quantization": "fir",
    "Rounding": "fir",
    "ChannelSequence": "fir",
    "ConfigMethod": "fir",
    "FftModel": "fft",
    "FftError": "fft",
    "FftWarning": "fft",
    "FftResult": "fft",
    "FftBatchResult": "fft",
    "Arch": "fft",
    "quantize": "quant",
}
_SUBMODULES = ("fir", "fft", "quant")

__all__ = list(_EXPORTS)


def __getattr__(name):
    if name == "__version__":
        return importlib.import_module(".fir", __name__).__version__
    if name in _SUBMODULES:
        return importlib.import_module(f".{name}", __name__)
    module = _EXPORTS.get(name)
    if module is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    return getattr(importlib.import_module(f".{module}", __name__), name)


def __dir__():
    # The exported names load their libraries; listing only the module's own names keeps
    # help(kip_models) to the index above instead of repeating the submodules' help.
    return sorted(set(globals()) | set(_SUBMODULES))
