/* Bit-accurate model of the kfft v8.0 fixed-point FFT core: public C interface. */
#ifndef KFFT_V8_0_BITACC_CMODEL_H
#define KFFT_V8_0_BITACC_CMODEL_H

#include <stdint.h>

#if defined(KIP_FFT_BUILDING)
#define KFFT_API __attribute__((visibility("default")))
#else
#define KFFT_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Generics of one model instance: nine signed 32-bit integers, in this order. */
typedef struct kelvar_ip_kfft_v8_0_generics {
    int32_t C_NFFT_MAX;      /* log2 of the maximum transform length, 3 to 16 */
    int32_t C_ARCH;          /* 1 radix-4 burst, 2 radix-2 burst, 3 pipelined, 4 radix-2 lite */
    int32_t C_HAS_NFFT;      /* 1: transform length chosen per call; 0: always C_NFFT_MAX */
    int32_t C_USE_FLT_PT;    /* 1: single-precision floating-point input and output */
    int32_t C_INPUT_WIDTH;   /* input sample width in bits, 8 to 34 */
    int32_t C_TWIDDLE_WIDTH; /* twiddle factor width in bits, 8 to 34 */
    int32_t C_HAS_SCALING;   /* 1: scaled (schedule or block floating point); 0: unscaled */
    int32_t C_HAS_BFP;       /* 1: block floating point */
    int32_t C_HAS_ROUNDING;  /* 1: convergent rounding after scaling; 0: truncation */
} kelvar_ip_kfft_v8_0_generics;

#ifdef __cplusplus
}
#endif

#endif /* KFFT_V8_0_BITACC_CMODEL_H */
