/* Bit-accurate model of the kfft v8.0 fixed-point FFT core: public C interface.
 *
 * Typical use:
 *   kelvar_ip_kfft_v8_0_generics g = kelvar_ip_kfft_v8_0_get_default_generics();
 *   g.C_ARCH = 3;                                  adjust the configuration
 *   kelvar_ip_kfft_v8_0_state *s = kelvar_ip_kfft_v8_0_create_state(g);
 *   ... fill a kelvar_ip_kfft_v8_0_inputs and a kelvar_ip_kfft_v8_0_outputs ...
 *   int rc = kelvar_ip_kfft_v8_0_bitacc_simulate(s, &in, &out);    once per frame
 *   kelvar_ip_kfft_v8_0_destroy_state(s);
 *
 * Messages (errors and warnings) are written to the standard error stream, one line each,
 * starting with "ERROR:kfft_v8_0:" or "WARNING:kfft_v8_0:", ended by a newline and flushed.
 * No function lets an exception escape. The library keeps no global mutable state: separate
 * states are independent, but one state must not be used by two threads at once.
 * Results, messages and return codes do not depend on the caller's floating-point rounding
 * mode: create_state and bitacc_simulate compute in rounding to nearest and restore the
 * calling thread's mode before they return.
 */
#ifndef KFFT_V8_0_BITACC_CMODEL_H
#define KFFT_V8_0_BITACC_CMODEL_H

#include <stddef.h>
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
    int32_t C_NFFT_MAX; /* log2 of the maximum transform length, 3 to 16 */
    int32_t C_ARCH; /* 1 radix-4 burst, 2 radix-2 burst, 3 pipelined, 4 radix-2 lite */
    int32_t C_HAS_NFFT; /* 1: transform length chosen per call; 0: always C_NFFT_MAX */
    int32_t C_USE_FLT_PT; /* 1: single-precision floating-point input and output */
    int32_t C_INPUT_WIDTH; /* input sample width in bits, 8 to 34 */
    int32_t C_TWIDDLE_WIDTH; /* twiddle factor width in bits, 8 to 34 */
    int32_t C_HAS_SCALING; /* 1: scaled (schedule or block floating point); 0: unscaled */
    int32_t C_HAS_BFP; /* 1: block floating point */
    int32_t C_HAS_ROUNDING; /* 1: convergent rounding after scaling; 0: truncation */
} kelvar_ip_kfft_v8_0_generics;

/* Inputs of one frame (caller-owned; 56 bytes, natural alignment on LP64).
 * N below is 2^nfft for the effective nfft (see bitacc_simulate). */
typedef struct kelvar_ip_kfft_v8_0_inputs {
    int32_t nfft; /* log2 of this frame's length; ignored (with a warning when it
                     differs) unless C_HAS_NFFT = 1, C_NFFT_MAX is used instead */
    double* xn_re; /* N real parts, sample 0 first. Fixed-point mode: -1.0 <= x < 1.0.
                      Floating-point mode: single-precision values; a value that is
                      denormal in single precision is set to 0.0 in this array */
    int32_t xn_re_size; /* number of elements of xn_re, must be N */
    double* xn_im; /* N imaginary parts, as xn_re */
    int32_t xn_im_size; /* number of elements of xn_im, must be N */
    const int32_t* scaling_sch; /* per-stage right shifts 0 to 3, element 0 for the first stage;
                                 read only when C_HAS_SCALING = 1, C_HAS_BFP = 0 and
                                 C_USE_FLT_PT = 0 (may be null otherwise). Radix-4 and pipelined:
                                 ceil(nfft/2) elements, the last 0 or 1 when nfft is odd;
                                 radix-2 and lite: nfft elements */
    int32_t scaling_sch_size; /* number of elements of scaling_sch */
    int32_t direction; /* 1 forward (kernel e^-j2pi nk/N), 0 inverse (e^+j2pi nk/N,
                          without a 1/N factor) */
} kelvar_ip_kfft_v8_0_inputs;

/* Results of one frame (caller-owned arrays; 40 bytes, natural alignment on LP64). The output
 * arrays may be the input arrays themselves: all samples are read before any bin is written. */
typedef struct kelvar_ip_kfft_v8_0_outputs {
    double* xk_re; /* receives N real parts of the bins, bin 0 first (natural order) */
    int32_t xk_re_size; /* on entry the capacity of xk_re (at least N); set to N on success */
    double* xk_im; /* receives N imaginary parts */
    int32_t xk_im_size; /* on entry the capacity of xk_im (at least N); set to N on success */
    int32_t blk_exp; /* block floating point: total right shift applied (the true transform is
                        about the output times 2^blk_exp); 0 in every other mode */
    int32_t overflow; /* 1 if a scaled stage overflowed (scaled mode) or an output exceeded the
                         single-precision range (floating-point mode); else 0 */
} kelvar_ip_kfft_v8_0_outputs;

/* One model instance. Opaque: created by create_state, freed by destroy_state. */
typedef struct kelvar_ip_kfft_v8_0_state kelvar_ip_kfft_v8_0_state;

/* Return codes of kelvar_ip_kfft_v8_0_bitacc_simulate. Every failure writes one error line and
 * leaves the outputs untouched; the checks run in the order of the codes, except that the null
 * inputs record (24) is refused right after the state and outputs checks (1 to 5). */
#define KELVAR_IP_KFFT_V8_0_OK 0 /* the frame was transformed */
#define KELVAR_IP_KFFT_V8_0_NULL_STATE 1 /* state is NULL */
#define KELVAR_IP_KFFT_V8_0_NULL_OUTPUTS 2 /* outputs is NULL */
#define KELVAR_IP_KFFT_V8_0_CORRUPT_STATE_R4 3 /* C_ARCH 1: no engine, or it failed */
#define KELVAR_IP_KFFT_V8_0_CORRUPT_STATE_R2 4 /* C_ARCH 2 or 4: the same */
#define KELVAR_IP_KFFT_V8_0_CORRUPT_STATE_PIPELINED 5 /* C_ARCH 3: the same */
#define KELVAR_IP_KFFT_V8_0_BAD_NFFT_R4 6 /* C_ARCH 1: nfft outside 6..C_NFFT_MAX */
#define KELVAR_IP_KFFT_V8_0_BAD_NFFT 7 /* others: nfft outside 3..C_NFFT_MAX */
#define KELVAR_IP_KFFT_V8_0_NULL_XN_RE 8 /* xn_re is NULL */
#define KELVAR_IP_KFFT_V8_0_BAD_XN_RE_SIZE 9 /* xn_re_size is not N */
#define KELVAR_IP_KFFT_V8_0_BAD_XN_RE_VALUE 10 /* a real sample is out of range */
#define KELVAR_IP_KFFT_V8_0_NULL_XN_IM 11 /* xn_im is NULL */
#define KELVAR_IP_KFFT_V8_0_BAD_XN_IM_SIZE 12 /* xn_im_size is not N */
#define KELVAR_IP_KFFT_V8_0_BAD_XN_IM_VALUE 13 /* an imaginary sample is out of range */
#define KELVAR_IP_KFFT_V8_0_NULL_SCALING_SCH 14 /* scaling_sch is NULL where it is read */
#define KELVAR_IP_KFFT_V8_0_BAD_SCALING_SCH_SIZE_R4 15 /* C_ARCH 1, 3: size not ceil(nfft/2) */
#define KELVAR_IP_KFFT_V8_0_BAD_SCALING_SCH_SIZE_R2 16 /* C_ARCH 2, 4: size not nfft */
#define KELVAR_IP_KFFT_V8_0_BAD_SCALING_VALUE 17 /* a schedule value outside 0..3 */
#define KELVAR_IP_KFFT_V8_0_BAD_FINAL_SCALING_VALUE 18 /* C_ARCH 1, 3, odd nfft: last above 1 */
#define KELVAR_IP_KFFT_V8_0_BAD_DIRECTION 19 /* direction is neither 0 nor 1 */
#define KELVAR_IP_KFFT_V8_0_NULL_XK_RE 20 /* xk_re is NULL */
#define KELVAR_IP_KFFT_V8_0_NULL_XK_IM 21 /* xk_im is NULL */
#define KELVAR_IP_KFFT_V8_0_SMALL_XK_RE_SIZE 22 /* xk_re_size is below N */
#define KELVAR_IP_KFFT_V8_0_SMALL_XK_IM_SIZE 23 /* xk_im_size is below N */
#define KELVAR_IP_KFFT_V8_0_NULL_INPUTS 24 /* inputs is NULL */

/* Returns the default generics by value: C_NFFT_MAX 10, C_ARCH 1, C_HAS_NFFT 0,
 * C_USE_FLT_PT 0, C_INPUT_WIDTH 16, C_TWIDDLE_WIDTH 16, C_HAS_SCALING 1, C_HAS_BFP 0,
 * C_HAS_ROUNDING 0. */
KFFT_API kelvar_ip_kfft_v8_0_generics kelvar_ip_kfft_v8_0_get_default_generics(void);

/* Validates the generics (passed by value, only read) and builds a model instance: the twiddle
 * table for 2^C_NFFT_MAX points and the engine of C_ARCH. Returns the new state, owned by the
 * caller until passed to destroy_state. On invalid generics writes one error line naming the
 * first faulty field or combination and returns NULL; if memory cannot be obtained it writes
 * "ERROR:kfft_v8_0:create_state could not allocate memory for the model state" and returns NULL.
 * Nothing is left allocated on failure. An engine is a large object (tens of megabytes). */
KFFT_API kelvar_ip_kfft_v8_0_state* kelvar_ip_kfft_v8_0_create_state(
    kelvar_ip_kfft_v8_0_generics generics);

/* Frees a state returned by create_state and everything it owns. The pointer must not be used
 * afterwards. A NULL state is ignored. */
KFFT_API void kelvar_ip_kfft_v8_0_destroy_state(kelvar_ip_kfft_v8_0_state* state);

/* Transforms one frame.
 *   state   - from create_state; used, not freed.
 *   inputs  - read only, except that in floating-point mode single-precision denormal samples
 *             are set to 0.0 in xn_re / xn_im. A NULL inputs record is refused with
 *             "ERROR:kfft_v8_0:simulate called with null input structure" and code 24, after
 *             the state and outputs checks (codes 1 to 5) and before every other check.
 *   outputs - the caller's arrays receive N bins; sizes, blk_exp and overflow are set.
 * Returns KELVAR_IP_KFFT_V8_0_OK (0) on success. On failure returns the code of the first
 * failed check (see the list above), writes one error line and leaves the outputs untouched.
 * Warnings (nfft substitution, input values not on the C_INPUT_WIDTH grid and rounded,
 * floating-point denormals flushed, infinite or NaN inputs) do not stop the call. In
 * floating-point mode an infinite or NaN input makes every output bin NaN, with blk_exp 0,
 * overflow 0 and return code 0. An internal failure of the engine (not expected) is reported
 * with one error line and the corrupted-state code of the architecture (3, 4 or 5). */
KFFT_API int kelvar_ip_kfft_v8_0_bitacc_simulate(kelvar_ip_kfft_v8_0_state* state,
    const kelvar_ip_kfft_v8_0_inputs* inputs, kelvar_ip_kfft_v8_0_outputs* outputs);

/* ---------------------------------------------------------------------------------------------
 * Description of the generics and the policies every front end shares
 *
 * These functions write nothing to the standard error stream and never fail for a value of the
 * generics: a refused configuration gives 0 (or status 1) and, where a buffer is given, the
 * message text. Message buffers: msg may be null when msg_len is 0; otherwise the text is cut to
 * msg_len - 1 characters and NUL-terminated. KELVAR_IP_KFFT_V8_0_MSG_LEN always suffices.
 * ------------------------------------------------------------------------------------------- */

#define KELVAR_IP_KFFT_V8_0_MSG_LEN 512

/* Kind of a generic: every generic is a signed 32-bit integer. */
#define KELVAR_IP_KFFT_V8_0_KIND_INT 0 /* a number in min_value .. max_value */
#define KELVAR_IP_KFFT_V8_0_KIND_FLAG 1 /* 0 or 1 */
#define KELVAR_IP_KFFT_V8_0_KIND_CHOICE 2 /* one of numbered options, listed in help */

/* Description of one generic (48 bytes on LP64; static storage of the library, never freed). */
typedef struct kelvar_ip_kfft_v8_0_generic_desc {
    const char* name; /* field name in kelvar_ip_kfft_v8_0_generics, e.g. "C_NFFT_MAX" */
    const char* help; /* one line: meaning, unit and options */
    const char* rule; /* how the legal value depends on other generics; "" when it does not */
    int32_t offset; /* byte offset of the field in kelvar_ip_kfft_v8_0_generics */
    int32_t kind; /* KELVAR_IP_KFFT_V8_0_KIND_* */
    int32_t min_value; /* legal range, inclusive, as create_state checks it */
    int32_t max_value;
    int32_t default_value; /* as kelvar_ip_kfft_v8_0_get_default_generics gives it */
    int32_t reserved; /* 0 */
} kelvar_ip_kfft_v8_0_generic_desc;

/* Number of generics (9). */
KFFT_API int32_t kelvar_ip_kfft_v8_0_generic_count(void);

/* Description of generic i, 0 <= i < generic_count(), in record order; NULL for any other i. */
KFFT_API const kelvar_ip_kfft_v8_0_generic_desc* kelvar_ip_kfft_v8_0_generic_at(int32_t i);

/* Description of the generic named name (exact, case-sensitive); NULL when name is NULL or not a
 * generic. */
KFFT_API const kelvar_ip_kfft_v8_0_generic_desc* kelvar_ip_kfft_v8_0_generic_find(const char* name);

/* Sets generic name of *g to value.
 *   g     - record to change; only the named field is written, and only on success.
 *   name  - generic name, e.g. "C_ARCH".
 *   value - the new value: a whole number within the generic's min_value .. max_value.
 *   msg   - receives the reason of a refusal (else ""), msg_len bytes.
 * Returns 0, or 1 for a null g or name, an unknown name ("Unknown FFT generic 'X'"), a value
 * that is not a whole number ("Invalid value 2.5 for C_ARCH: must be an integer") or out of
 * range ("Invalid value 17 for C_NFFT_MAX: must be in the range 3 to 16"). Combinations are
 * checked by kelvar_ip_kfft_v8_0_generics_check and create_state. */
KFFT_API int32_t kelvar_ip_kfft_v8_0_generics_set(
    kelvar_ip_kfft_v8_0_generics* g, const char* name, double value, char* msg, size_t msg_len);

/* Checks the generics as create_state does, silently. Returns 0 when create_state would accept
 * them; otherwise the number (1 to 14) of the first failed check, in create_state's order, with
 * the line create_state would write (without its newline) in msg. */
KFFT_API int32_t kelvar_ip_kfft_v8_0_generics_check(
    kelvar_ip_kfft_v8_0_generics g, char* msg, size_t msg_len);

/* Effective frame length, in points, of a frame sent with inputs.nfft = nfft: 2^C_NFFT_MAX when
 * C_HAS_NFFT is 0 (nfft is then ignored), 2^nfft when C_HAS_NFFT is 1 and nfft lies in 3 (6 for
 * C_ARCH 1) .. C_NFFT_MAX. Returns 0 when the generics or that nfft are refused. */
KFFT_API int32_t kelvar_ip_kfft_v8_0_frame_length(kelvar_ip_kfft_v8_0_generics g, int32_t nfft);

/* Number of scaling_sch elements bitacc_simulate reads for a frame sent with nfft: ceil(n/2)
 * for C_ARCH 1 and 3, n for C_ARCH 2 and 4, n = log2 of the effective frame length. Returns 0
 * when the generics read no schedule (C_HAS_SCALING 0, C_HAS_BFP 1 or C_USE_FLT_PT 1: pass
 * scaling_sch NULL) and when the generics or that nfft are refused. */
KFFT_API int32_t kelvar_ip_kfft_v8_0_stage_count(kelvar_ip_kfft_v8_0_generics g, int32_t nfft);

/* The default scaling schedule: the one every front end uses when the caller gives none. It
 * divides by 2N in all (sum of the shifts = n + 1): the first step shifts by 3 (radix-4 step of
 * C_ARCH 1 and 3) or 2 (radix-2 step of C_ARCH 2 and 4), every later step by its full growth, 2
 * per radix-4 step, 1 per radix-2 step and for the final radix-2 step of an odd n with C_ARCH 1
 * and 3. No in-range input frame (real and imaginary parts in [-1, 1)) can make it overflow, at
 * any length, architecture, width, rounding and direction: after the first step every value has
 * a modulus below 1/sqrt(2), and each later step grows the modulus by at most its shift.
 *   sched    - receives min(capacity, count) elements, element 0 for the first step; may be
 *              NULL when capacity is 0.
 *   capacity - number of elements sched can hold.
 * Returns count = kelvar_ip_kfft_v8_0_stage_count(g, nfft) (0 when no schedule is read or the
 * generics or nfft are refused; nothing is written then). */
KFFT_API int32_t kelvar_ip_kfft_v8_0_default_schedule(
    kelvar_ip_kfft_v8_0_generics g, int32_t nfft, int32_t* sched, int32_t capacity);

/* Width in bits of an output word, the form in which RTL and kip-golden give the bins:
 *   fixed point, scaled (schedule or block floating point): C_INPUT_WIDTH bits, the bin value
 *     times 2^(C_INPUT_WIDTH - 1) (values in [-1, 1));
 *   fixed point, unscaled: C_INPUT_WIDTH + C_NFFT_MAX + 1 bits, the same weight (full growth);
 *   floating point: 32, the IEEE single-precision bits of the bin value.
 * Input words are always C_INPUT_WIDTH bits, weighted the same way (IEEE bits when floating).
 * Returns 0 when the generics or nfft are refused (nfft as for frame_length). */
KFFT_API int32_t kelvar_ip_kfft_v8_0_output_width(kelvar_ip_kfft_v8_0_generics g, int32_t nfft);

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
static_assert(sizeof(kelvar_ip_kfft_v8_0_generics) == 36, "generics are nine 32-bit integers");
static_assert(sizeof(void*) != 8 || sizeof(kelvar_ip_kfft_v8_0_generic_desc) == 48,
    "generic description is 48 bytes on LP64");
#endif

#endif /* KFFT_V8_0_BITACC_CMODEL_H */
