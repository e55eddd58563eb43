"""Argument checks shared by the model wrappers."""

import enum
import operator
import os
import sys
import warnings

import numpy as np


def refuse_masked(x, name):
    """Refuses a numpy masked array with masked elements: the models would read the hidden
    values under the mask as data. A masked array without masked elements passes."""
    if isinstance(x, np.ma.MaskedArray):
        mask = np.ma.getmaskarray(x)
        if mask.any():
            first = np.unravel_index(int(np.argmax(mask)), mask.shape)
            where = first[0] if len(first) == 1 else tuple(int(i) for i in first)
            raise ValueError(
                f"{name}: a masked array with {int(mask.sum())} masked element(s) (the first "
                f"at index {where}); the model would use the values under the mask: pass "
                f"{name}.filled(value) or drop them with {name}.compressed()")


def worker_count(workers, jobs):
    """Threads worth starting for `jobs` independent jobs: workers (None: one per processor),
    at most one per job and per processor. Refuses a count below 1, naming it."""
    cpus = os.cpu_count() or 1
    if workers is None:
        workers = cpus
    try:
        workers = operator.index(workers)
    except TypeError:
        raise TypeError(f"workers must be an integer or None, not "
                        f"{type(workers).__name__}") from None
    if workers < 1:
        raise ValueError(f"workers={workers}: must be at least 1")
    return max(1, min(workers, jobs, cpus))


_PACKAGE_DIR = os.path.dirname(os.path.abspath(__file__))


def warn(text, category):
    """Issues a warning attributed to the caller's code: the first frame outside this
    package."""
    frame, level = sys._getframe(1), 2
    while frame is not None and os.path.dirname(
            os.path.abspath(frame.f_code.co_filename)) == _PACKAGE_DIR:
        frame, level = frame.f_back, level + 1
    warnings.warn(text, category, stacklevel=level)


class Codes(enum.EnumMeta):
    """Metaclass of the code enums (IntEnum): dir() and help() show the codes and the enum's
    own attributes, not the methods every int has."""

    def __dir__(cls):
        return sorted(set(cls._member_names_) | {
            "__class__", "__doc__", "__members__", "__module__", "__name__", "__qualname__"})
