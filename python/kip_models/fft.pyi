import enum
from typing import Dict, Literal, NamedTuple, Optional, Tuple

import numpy as np
from numpy.typing import ArrayLike

from ._lifecycle import ModelLifecycle

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

__version__: str
GENERICS: Tuple[str, ...]
GENERIC_DESCRIPTIONS: Tuple[Dict[str, object], ...]

class Arch(enum.IntEnum):
    RADIX4_BURST = 1
    RADIX2_BURST = 2
    PIPELINED_STREAMING = 3
    RADIX2_LITE_BURST = 4

class FftError(RuntimeError):
    code: Optional[int]
    frame: Optional[int]
    def __init__(self, message: str, code: Optional[int] = ..., frame: Optional[int] = ...) -> None: ...

class FftWarning(UserWarning): ...

class FftResult(NamedTuple):
    xk: np.ndarray
    blk_exp: int
    overflow: bool

class FftBatchResult(NamedTuple):
    xk: np.ndarray
    blk_exp: np.ndarray
    overflow: np.ndarray

def default_generics() -> Dict[str, int]: ...

class FftModel(ModelLifecycle):
    def __init__(
        self,
        *,
        C_NFFT_MAX: int = ...,
        C_ARCH: int = ...,
        C_HAS_NFFT: int = ...,
        C_USE_FLT_PT: int = ...,
        C_INPUT_WIDTH: int = ...,
        C_TWIDDLE_WIDTH: int = ...,
        C_HAS_SCALING: int = ...,
        C_HAS_BFP: int = ...,
        C_HAS_ROUNDING: int = ...,
        **generics: int,
    ) -> None: ...
    def close(self) -> None: ...
    @property
    def closed(self) -> bool: ...
    def __enter__(self) -> "FftModel": ...
    @property
    def generics(self) -> Dict[str, int]: ...
    @property
    def nfft_max(self) -> int: ...
    def effective_nfft(self, n_samples: int, nfft: Optional[int] = ...) -> int: ...
    def uses_schedule(self) -> bool: ...
    def default_schedule(self, nfft: Optional[int] = ...) -> np.ndarray: ...
    def quantize(self, x: ArrayLike) -> np.ndarray: ...
    def output_width(self, nfft: Optional[int] = ...) -> int: ...
    def numpy_scale(
        self,
        result: FftResult | FftBatchResult,
        scaling: Optional[ArrayLike] = ...,
        nfft: Optional[int] = ...,
        inverse: bool = ...,
    ) -> np.ndarray | int: ...
    def transform(
        self,
        x: ArrayLike,
        nfft: Optional[int] = ...,
        scaling: Optional[ArrayLike] = ...,
        inverse: bool = ...,
        numpy_units: bool = ...,
        output: Literal["real", "int"] = ...,
    ) -> FftResult: ...
    def transform_batch(
        self,
        frames: ArrayLike,
        nfft: Optional[int] = ...,
        scaling: Optional[ArrayLike] = ...,
        inverse: bool = ...,
        numpy_units: bool = ...,
        workers: Optional[int] = ...,
        output: Literal["real", "int"] = ...,
    ) -> FftBatchResult: ...
