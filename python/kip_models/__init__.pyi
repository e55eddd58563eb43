from .fft import Arch as Arch
from .fft import FftBatchResult as FftBatchResult
from .fft import FftError as FftError
from .fft import FftModel as FftModel
from .fft import FftResult as FftResult
from .fft import FftWarning as FftWarning
from .fir import ChannelSequence as ChannelSequence
from .fir import ConfigMethod as ConfigMethod
from .fir import FilterType as FilterType
from .fir import FirError as FirError
from .fir import FirModel as FirModel
from .fir import FirWarning as FirWarning
from .fir import Quantization as Quantization
from .fir import RateChange as RateChange
from .fir import Rounding as Rounding
from .quant import quantize as quantize

__all__: list
