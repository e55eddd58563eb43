/* Common declarations of the tapforge FIR model's public headers: export macro, C linkage
 * and the channel pattern number type. */
#ifndef KIP_FIR_V6_3_COMMON_H
#define KIP_FIR_V6_3_COMMON_H

#include <stdint.h>

#if defined(KIP_FIR_BUILDING)
#define KIP_FIR_API __attribute__((visibility("default")))
#else
#define KIP_FIR_API
#endif

#ifdef __cplusplus
#define KIP_FIR_EXTERN_C_BEGIN extern "C" {
#define KIP_FIR_EXTERN_C_END }
#else
#define KIP_FIR_EXTERN_C_BEGIN
#define KIP_FIR_EXTERN_C_END
#endif

/* Channel pattern number: 0 to 173 select a row of the pattern tables,
 * KIP_FIR_V6_3_PATTERN_NONE (175) selects the basic channel sequence. */
typedef int32_t kip_fir_v6_3_pattern;
#define KIP_FIR_V6_3_PATTERN_COUNT 174
#define KIP_FIR_V6_3_PATTERN_NONE 175

#endif /* KIP_FIR_V6_3_COMMON_H */
