"""Python interface of the bit-accurate FIR and FFT core models.

kip_models.fir wraps libIp_tapforge_v6_3_bitacc_cmodel (FirModel), kip_models.fft wraps
libIp_kfft_v8_0_bitacc_cmodel (FftModel). Both are thin layers over the libraries' C
interfaces: samples travel as numpy arrays, failures become exceptions carrying the library's
message text, warnings become Python warnings (FftWarning, FirWarning) or log records.
quantize() puts samples on a fixed-point grid. help(kip_models.fir) and help(kip_models.fft)
explain every field and code.

The two submodules load their libraries on first use, so each works without the other.
"""

import importlib

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

__all__ = list(_EXPORTS)


def __getattr__(name):
    if name == "__version__":  # the package's version: the FIR model's, "6.3.1"
        return importlib.import_module(".fir", __name__).__version__
    module = _EXPORTS.get(name)
    if module is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    return getattr(importlib.import_module(f".{module}", __name__), name)


def __dir__():
    return sorted(list(globals()) + __all__)
