"""Python interface of the bit-accurate FIR and FFT core models.

kip_models.fir wraps libIp_tapforge_v6_3_bitacc_cmodel (FirModel), kip_models.fft wraps
libIp_kfft_v8_0_bitacc_cmodel (FftModel). Both are thin layers over the libraries' C
interfaces: samples travel as numpy arrays, failures become exceptions carrying the library's
message text.
"""

from .fft import FftBatchResult, FftError, FftModel, FftResult
from .fir import FirError, FirModel

__all__ = [
    "FirModel",
    "FirError",
    "FftModel",
    "FftError",
    "FftResult",
    "FftBatchResult",
]
