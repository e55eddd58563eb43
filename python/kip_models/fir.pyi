import enum
import logging
from typing import Any, Callable, Dict, List, Literal, Optional, Sequence, Tuple, Union

import numpy as np
from numpy.typing import ArrayLike

from ._lifecycle import ModelLifecycle

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

__version__: str
OUTPUTS: Tuple[str, ...]
FIELDS: Tuple[Dict[str, Any], ...]
Output = Literal["real", "int"]

CONFIG_FIELDS: Tuple[str, ...]
PATTERN_NONE: int
PATTERN_COUNT: int
PATTERN_MIN: np.ndarray
PATTERN_MAX: np.ndarray
PATTERN_SEQ: np.ndarray
PATTERN_MAP: np.ndarray

class FilterType(enum.IntEnum):
    SINGLE_RATE = 0
    INTERPOLATING = 1
    DECIMATING = 2
    HILBERT = 3
    ZERO_PACKED = 4

class RateChange(enum.IntEnum):
    INTEGER = 0
    FRACTIONAL = 1

class Quantization(enum.IntEnum):
    INTEGER_COEFFICIENTS = 0
    QUANTIZE_ONLY = 1
    MAXIMIZE_DYNAMIC_RANGE = 2

class Rounding(enum.IntEnum):
    FULL_PRECISION = 0
    FLOOR = 1
    HALF_TOWARD_ZERO = 2
    HALF_AWAY_FROM_ZERO = 3
    HALF_EVEN = 4
    HALF_ODD = 5
    HALF_DOWN = 6
    HALF_UP = 7

class ChannelSequence(enum.IntEnum):
    BASIC = 0
    ADVANCED = 1

class ConfigMethod(enum.IntEnum):
    SINGLE = 0
    BY_CHANNEL = 1

class FirError(RuntimeError):
    messages: List[Tuple[int, str]]
    index: Optional[int]
    def __init__(
        self, message: str, messages: Sequence[Tuple[int, str]] = ..., index: Optional[int] = ...
    ) -> None: ...

class FirWarning(UserWarning): ...

def version() -> str: ...
def default_config() -> Dict[str, Any]: ...
def patterns_for(num_channels: int) -> range: ...

MessageTarget = Union[None, logging.Logger, Callable[[bool, str], Any]]

class FirModel(ModelLifecycle):
    def __init__(
        self,
        *,
        on_message: MessageTarget = ...,
        debug: Union[bool, Callable[[bool, str], Any]] = ...,
        output: Output = ...,
        name: str = ...,
        filter_type: int = ...,
        rate_change: int = ...,
        interp_rate: int = ...,
        decim_rate: int = ...,
        zero_pack_factor: int = ...,
        coeff: Optional[ArrayLike] = ...,
        coeff_padding: int = ...,
        num_coeffs: int = ...,
        coeff_sets: int = ...,
        reloadable: int = ...,
        is_halfband: int = ...,
        quantization: int = ...,
        coeff_width: int = ...,
        coeff_fract_width: int = ...,
        chan_seq: int = ...,
        num_channels: int = ...,
        init_pattern: int = ...,
        num_paths: int = ...,
        data_width: int = ...,
        data_fract_width: int = ...,
        output_rounding: int = ...,
        output_width: int = ...,
        output_fract_width: int = ...,
        config_method: int = ...,
    ) -> None: ...
    def close(self) -> None: ...
    @property
    def closed(self) -> bool: ...
    def __enter__(self) -> "FirModel": ...
    @property
    def config(self) -> Dict[str, Any]: ...
    @property
    def name(self) -> str: ...
    @property
    def paths(self) -> int: ...
    @property
    def channels(self) -> int: ...
    @property
    def hilbert(self) -> bool: ...
    @property
    def integer_mode(self) -> bool: ...
    @property
    def waiting(self) -> int: ...
    def quantize(self, x: ArrayLike, rounding: str = ...) -> np.ndarray: ...
    @property
    def coeff_scale(self) -> float: ...
    @property
    def output(self) -> str: ...
    def send(self, x: ArrayLike) -> None: ...
    def get(
        self,
        vectors: Optional[int] = ...,
        output: Optional[Output] = ...,
        integer: Optional[bool] = ...,
    ) -> np.ndarray: ...
    def run(
        self, x: ArrayLike, output: Optional[Output] = ..., integer: Optional[bool] = ...
    ) -> np.ndarray: ...
    def run_batch(
        self,
        stimuli: Sequence[ArrayLike],
        workers: Optional[int] = ...,
        output: Optional[Output] = ...,
        integer: Optional[bool] = ...,
    ) -> List[np.ndarray]: ...
    def send_channel(self, x: ArrayLike) -> None: ...
    def get_channel(
        self, output: Optional[Output] = ..., integer: Optional[bool] = ...
    ) -> np.ndarray: ...
    def reload(self, fsel: int, coeffs: ArrayLike) -> None: ...
    def configure(self, fsel: Union[int, Sequence[int]] = ..., pattern: int = ...) -> None: ...
    def reset(self) -> None: ...
