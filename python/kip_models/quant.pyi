from typing import Literal

import numpy as np
from numpy.typing import ArrayLike

__all__ = ["quantize"]

def quantize(
    x: ArrayLike,
    width: int,
    fract: int,
    rounding: Literal["nearest", "floor"] = ...,
    overflow: Literal["error", "saturate", "wrap"] = ...,
) -> np.ndarray: ...
