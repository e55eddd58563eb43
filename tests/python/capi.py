"""Direct ctypes calls of the two C interfaces: the references the Python layer must match."""

import ctypes as C
import os
import pathlib

import numpy as np
import pytest

BUILD = pathlib.Path(os.environ.get("KIP_PY_BUILD_DIR",
                                    pathlib.Path(__file__).resolve().parents[2] / "build"))


def _load(subdir, name):
    path = BUILD / subdir / name
    if not path.exists():
        pytest.skip(f"{path} not found (set KIP_PY_BUILD_DIR to the build directory)")
    return C.CDLL(str(path))


# ---------------------------------------------------------------------------------------------
# FIR
# ---------------------------------------------------------------------------------------------

FIR_INT_FIELDS = ("filter_type", "rate_change", "interp_rate", "decim_rate", "zero_pack_factor")
FIR_INT_FIELDS2 = ("coeff_padding", "num_coeffs", "coeff_sets", "reloadable", "is_halfband",
                   "quantization", "coeff_width", "coeff_fract_width", "chan_seq",
                   "num_channels", "init_pattern", "num_paths", "data_width",
                   "data_fract_width", "output_rounding", "output_width",
                   "output_fract_width", "config_method")


class FirConfig(C.Structure):
    _fields_ = ([("name", C.c_char_p)] + [(f, C.c_int32) for f in FIR_INT_FIELDS]
                + [("coeff", C.POINTER(C.c_double))] + [(f, C.c_int32) for f in FIR_INT_FIELDS2])


assert C.sizeof(FirConfig) == 112


class ArrayReal(C.Structure):
    _fields_ = [("data", C.POINTER(C.c_double)), ("data_size", C.c_size_t),
                ("data_capacity", C.c_size_t), ("dim", C.POINTER(C.c_size_t)),
                ("dim_size", C.c_size_t), ("dim_capacity", C.c_size_t), ("owner", C.c_int32)]


MSG_HANDLER = C.CFUNCTYPE(None, C.c_void_p, C.c_int32, C.c_char_p)


def _real_array(buf, dims):
    """A record over a float64 numpy buffer that stays the caller's (owner 1)."""
    d = (C.c_size_t * len(dims))(*dims)
    a = ArrayReal(buf.ctypes.data_as(C.POINTER(C.c_double)), buf.size, buf.size, d, len(dims),
                  len(dims), 1)
    a._keep = (buf, d)
    return a


def fir_run(config, x):
    """Creates a FIR model with the C interface from config (a dict of record fields, coeff a
    float64 array), sends x (paths, channels, vectors) in one data_send and collects every
    vector with data_get. Returns (float64 output array (paths, channels, vectors), messages)."""
    lib = _load("fir", "libIp_tapforge_v6_3_bitacc_cmodel.so")
    lib.kip_fir_v6_3_create.restype = C.c_void_p
    lib.kip_fir_v6_3_create.argtypes = [C.POINTER(FirConfig), MSG_HANDLER, C.c_void_p]
    lib.kip_fir_v6_3_destroy.argtypes = [C.c_void_p]
    for f in ("kip_fir_v6_3_data_send", "kip_fir_v6_3_data_get"):
        getattr(lib, f).restype = C.c_int32
    lib.kip_fir_v6_3_data_send.argtypes = [C.c_void_p, C.POINTER(ArrayReal)]
    lib.kip_fir_v6_3_data_get.argtypes = [C.c_void_p, C.POINTER(ArrayReal), C.c_void_p]

    cfg = FirConfig()
    assert lib.kip_fir_v6_3_default_config(C.byref(cfg)) == 0
    coeff = None
    for k, v in config.items():
        if k == "coeff":
            coeff = np.ascontiguousarray(v, dtype=np.float64)
            cfg.coeff = coeff.ctypes.data_as(C.POINTER(C.c_double))
        elif k == "name":
            cfg.name = v.encode()
        else:
            setattr(cfg, k, v)
    messages = []
    handler = MSG_HANDLER(lambda h, e, t: messages.append((e, t.decode())))
    model = lib.kip_fir_v6_3_create(C.byref(cfg), handler, None)
    assert model, messages
    try:
        xin = np.asfortranarray(x, dtype=np.float64)
        arr_in = _real_array(xin.reshape(-1, order="F"), xin.shape)
        assert lib.kip_fir_v6_3_data_send(model, C.byref(arr_in)) == 0, messages
        p, c, v = xin.shape
        cap = 4 * v * max(cfg.interp_rate, 1) + 64
        out = np.zeros(p * c * cap)
        arr = _real_array(out, (p, c, cap))
        lib.kip_fir_v6_3_data_get(model, C.byref(arr), None)
        got = arr.dim[2]
        return out[:p * c * got].reshape((p, c, got), order="F"), messages
    finally:
        lib.kip_fir_v6_3_destroy(model)


# ---------------------------------------------------------------------------------------------
# FFT
# ---------------------------------------------------------------------------------------------

GENERICS = ("C_NFFT_MAX", "C_ARCH", "C_HAS_NFFT", "C_USE_FLT_PT", "C_INPUT_WIDTH",
            "C_TWIDDLE_WIDTH", "C_HAS_SCALING", "C_HAS_BFP", "C_HAS_ROUNDING")


class FftGenerics(C.Structure):
    _fields_ = [(g, C.c_int32) for g in GENERICS]


class FftInputs(C.Structure):
    _fields_ = [("nfft", C.c_int32), ("xn_re", C.POINTER(C.c_double)), ("xn_re_size", C.c_int32),
                ("xn_im", C.POINTER(C.c_double)), ("xn_im_size", C.c_int32),
                ("scaling_sch", C.POINTER(C.c_int32)), ("scaling_sch_size", C.c_int32),
                ("direction", C.c_int32)]


class FftOutputs(C.Structure):
    _fields_ = [("xk_re", C.POINTER(C.c_double)), ("xk_re_size", C.c_int32),
                ("xk_im", C.POINTER(C.c_double)), ("xk_im_size", C.c_int32),
                ("blk_exp", C.c_int32), ("overflow", C.c_int32)]


def _fft_lib():
    lib = _load("fft", "libIp_kfft_v8_0_bitacc_cmodel.so")
    lib.kelvar_ip_kfft_v8_0_get_default_generics.restype = FftGenerics
    lib.kelvar_ip_kfft_v8_0_create_state.restype = C.c_void_p
    lib.kelvar_ip_kfft_v8_0_create_state.argtypes = [FftGenerics]
    lib.kelvar_ip_kfft_v8_0_destroy_state.argtypes = [C.c_void_p]
    lib.kelvar_ip_kfft_v8_0_bitacc_simulate.restype = C.c_int
    lib.kelvar_ip_kfft_v8_0_bitacc_simulate.argtypes = [C.c_void_p, C.POINTER(FftInputs),
                                                       C.POINTER(FftOutputs)]
    return lib


def fft_default_generics():
    g = _fft_lib().kelvar_ip_kfft_v8_0_get_default_generics()
    return {k: getattr(g, k) for k in GENERICS}


def fft_run(generics, x, nfft, schedule, direction):
    """One frame through the C interface: returns (code, xk complex, blk_exp, overflow)."""
    lib = _fft_lib()
    g = lib.kelvar_ip_kfft_v8_0_get_default_generics()
    for k, v in generics.items():
        setattr(g, k, v)
    state = lib.kelvar_ip_kfft_v8_0_create_state(g)
    assert state
    try:
        re = np.ascontiguousarray(np.real(x), dtype=np.float64)
        im = np.ascontiguousarray(np.imag(x), dtype=np.float64)
        sch = np.ascontiguousarray(schedule if schedule is not None else [0], dtype=np.int32)
        n = len(re)
        ore, oim = np.zeros(n), np.zeros(n)
        dp = C.POINTER(C.c_double)
        inp = FftInputs(nfft, re.ctypes.data_as(dp), n, im.ctypes.data_as(dp), n,
                        sch.ctypes.data_as(C.POINTER(C.c_int32)),
                        len(schedule) if schedule is not None else 0, direction)
        out = FftOutputs(ore.ctypes.data_as(dp), n, oim.ctypes.data_as(dp), n, 0, 0)
        rc = lib.kelvar_ip_kfft_v8_0_bitacc_simulate(state, C.byref(inp), C.byref(out))
        return rc, ore[:out.xk_re_size] + 1j * oim[:out.xk_im_size], out.blk_exp, out.overflow
    finally:
        lib.kelvar_ip_kfft_v8_0_destroy_state(state)
