/* Array containers and channel pattern tables of the tapforge FIR model: public C interface.
 *
 * Every block of samples, coefficients or filter selectors that crosses the model's interface
 * travels in one of five array records. The five families share one record layout and differ
 * only in the element type:
 *
 *   family        record                  element            copy trait
 *   real          kip_array_real          double             0 (plain assignment)
 *   complex       kip_array_complex       kip_complex        0 (plain assignment)
 *   uint          kip_array_uint          uint32_t           0 (plain assignment)
 *   mpz           kip_array_mpz           mpz_t              1 (GMP set, deep copy)
 *   mpz_complex   kip_array_mpz_complex   kip_mpz_complex    2 (GMP set of re and im)
 *
 * Sample arrays use up to three dimensions: dim[0] = paths, dim[1] = channel slots,
 * dim[2] = vectors (samples per channel). Paths vary fastest: the element of path p, channel
 * slot c and vector v is data[p + c * dim[0] + v * dim[0] * dim[1]]. One-dimensional arrays
 * (coefficients, filter selectors, single channel positions) use dim[0] alone.
 *
 * Ownership:
 *  - A record and its two storage blocks (data, dim) live on the process heap (malloc, realloc,
 *    free). The caller that created a record owns it and releases it only through its family's
 *    destroy function.
 *  - owner == 0: the storage belongs to the array functions, which may grow it (reserve) and
 *    free it (destroy). owner != 0: the storage is managed elsewhere; reserve refuses (result 1)
 *    and destroy leaves the record and its storage untouched (returns the same pointer).
 *  - In the two GMP families every allocated slot, index 0 to data_capacity - 1, holds an
 *    initialised GMP integer (both integers of a pair) from the moment it is reserved until
 *    destroy clears it. Writing an element never initialises it; reading one copies its value.
 *    Callers that place their own storage in a GMP record (owner != 0) must keep to this rule.
 *  - Capacities only grow; data_size and dim_size are set by the caller or the model (and raised
 *    by the set_chan accessors), never by reserve.
 *
 * Results: functions returning int give 0 for success and 1 for failure; create gives null on
 * failure; destroy gives null when the record was freed (or was null) and the same pointer when
 * it was left alone. Nothing is logged and nothing is thrown. A failed call changes nothing.
 *
 * No function keeps global mutable state; one record must not be used by two threads at once.
 */
#ifndef KIP_FIR_V6_3_ARRAYS_H
#define KIP_FIR_V6_3_ARRAYS_H

#include <stddef.h>
#include <stdint.h>

#include <gmp.h>

#include "kip_fir_v6_3_common.h"

KIP_FIR_EXTERN_C_BEGIN

/* ---------------------------------------------------------------------------------------------
 * Element types
 * ------------------------------------------------------------------------------------------- */

/* Complex sample in double precision. */
typedef struct kip_complex {
    double re;
    double im;
} kip_complex;

/* Complex sample of two GMP integers. Inside a kip_array_mpz_complex both are initialised by
 * the array functions; outside, the caller initialises and clears them. */
typedef struct kip_mpz_complex {
    mpz_t re;
    mpz_t im;
} kip_mpz_complex;

/* ---------------------------------------------------------------------------------------------
 * Array records: one layout, five element types
 * ------------------------------------------------------------------------------------------- */

#define KIP_ARRAY_RECORD_FIELDS(element_type)                                                      \
    element_type* data; /* element storage; null until data is first reserved */                   \
    size_t data_size; /* number of elements in use */                                              \
    size_t data_capacity; /* number of elements allocated at data */                               \
    size_t* dim; /* length of each dimension; null until first reserved */                         \
    size_t dim_size; /* number of dimensions in use */                                             \
    size_t dim_capacity; /* number of dimension slots allocated at dim */                          \
    int32_t owner; /* 0: storage managed by the array functions; else managed elsewhere */

typedef struct kip_array_real {
    KIP_ARRAY_RECORD_FIELDS(double)
} kip_array_real;

typedef struct kip_array_complex {
    KIP_ARRAY_RECORD_FIELDS(kip_complex)
} kip_array_complex;

typedef struct kip_array_uint {
    KIP_ARRAY_RECORD_FIELDS(uint32_t)
} kip_array_uint;

typedef struct kip_array_mpz {
    KIP_ARRAY_RECORD_FIELDS(mpz_t)
} kip_array_mpz;

typedef struct kip_array_mpz_complex {
    KIP_ARRAY_RECORD_FIELDS(kip_mpz_complex)
} kip_array_mpz_complex;

#undef KIP_ARRAY_RECORD_FIELDS

/* ---------------------------------------------------------------------------------------------
 * Copy traits: how an element of each family is copied
 * ------------------------------------------------------------------------------------------- */

#define KIP_TYPE_TRAIT_PLAIN 0 /* plain value, copied by assignment */
#define KIP_TYPE_TRAIT_MPZ 1 /* one GMP integer, copied with mpz_set into an initialised one */
#define KIP_TYPE_TRAIT_MPZ_PAIR 2 /* re and im GMP integers, each copied with mpz_set */

extern KIP_FIR_API const int32_t kip_type_trait_real; /* 0 */
extern KIP_FIR_API const int32_t kip_type_trait_complex; /* 0 */
extern KIP_FIR_API const int32_t kip_type_trait_uint; /* 0 */
extern KIP_FIR_API const int32_t kip_type_trait_mpz; /* 1 */
extern KIP_FIR_API const int32_t kip_type_trait_mpz_complex; /* 2 */

/* ---------------------------------------------------------------------------------------------
 * Lifecycle functions, for each family F in real, complex, uint, mpz, mpz_complex
 *
 * kip_fir_v6_3_kip_array_F_create(void)
 *   Allocates a record with every field zero (null pointers, zero counts, owner 0).
 *   Returns the record, or null when the allocation fails.
 *
 * kip_fir_v6_3_kip_array_F_reserve_data(array, max_nelem)
 *   array      record to grow (may be null: refused).
 *   max_nelem  number of elements the storage must hold.
 *   Grows data to exactly max_nelem elements, keeping the old contents, when data_capacity is
 *   below max_nelem; storage never shrinks. In the GMP families every new slot is initialised to
 *   the integer 0. data_size is not touched.
 *   Returns 0 on success (also when data_capacity >= max_nelem already: nothing is allocated);
 *   1 when array is null, owner is non-zero, the byte count overflows or the allocation fails,
 *   leaving the record unchanged.
 *
 * kip_fir_v6_3_kip_array_F_reserve_dim(array, max_ndim)
 *   The same for dim and dim_capacity (slots of size_t). New slots are not initialised and
 *   dim_size is not touched. Returns 0 or 1 as reserve_data.
 *
 * kip_fir_v6_3_kip_array_F_destroy(array)
 *   Null: returns null. owner non-zero: returns array unchanged, nothing is freed. Otherwise
 *   clears every GMP slot 0 to data_capacity - 1 (GMP families), frees data, dim and the
 *   record, and returns null.
 *
 * Each function also exists under the short name without the "kip_fir_v6_3_" prefix
 * (kip_array_F_create, ...), with the same arguments and result.
 * ------------------------------------------------------------------------------------------- */

KIP_FIR_API kip_array_real* kip_fir_v6_3_kip_array_real_create(void);
KIP_FIR_API int kip_fir_v6_3_kip_array_real_reserve_data(kip_array_real* array, size_t max_nelem);
KIP_FIR_API int kip_fir_v6_3_kip_array_real_reserve_dim(kip_array_real* array, size_t max_ndim);
KIP_FIR_API kip_array_real* kip_fir_v6_3_kip_array_real_destroy(kip_array_real* array);

KIP_FIR_API kip_array_complex* kip_fir_v6_3_kip_array_complex_create(void);
KIP_FIR_API int kip_fir_v6_3_kip_array_complex_reserve_data(
    kip_array_complex* array, size_t max_nelem);
KIP_FIR_API int kip_fir_v6_3_kip_array_complex_reserve_dim(
    kip_array_complex* array, size_t max_ndim);
KIP_FIR_API kip_array_complex* kip_fir_v6_3_kip_array_complex_destroy(kip_array_complex* array);

KIP_FIR_API kip_array_uint* kip_fir_v6_3_kip_array_uint_create(void);
KIP_FIR_API int kip_fir_v6_3_kip_array_uint_reserve_data(kip_array_uint* array, size_t max_nelem);
KIP_FIR_API int kip_fir_v6_3_kip_array_uint_reserve_dim(kip_array_uint* array, size_t max_ndim);
KIP_FIR_API kip_array_uint* kip_fir_v6_3_kip_array_uint_destroy(kip_array_uint* array);

KIP_FIR_API kip_array_mpz* kip_fir_v6_3_kip_array_mpz_create(void);
KIP_FIR_API int kip_fir_v6_3_kip_array_mpz_reserve_data(kip_array_mpz* array, size_t max_nelem);
KIP_FIR_API int kip_fir_v6_3_kip_array_mpz_reserve_dim(kip_array_mpz* array, size_t max_ndim);
KIP_FIR_API kip_array_mpz* kip_fir_v6_3_kip_array_mpz_destroy(kip_array_mpz* array);

KIP_FIR_API kip_array_mpz_complex* kip_fir_v6_3_kip_array_mpz_complex_create(void);
KIP_FIR_API int kip_fir_v6_3_kip_array_mpz_complex_reserve_data(
    kip_array_mpz_complex* array, size_t max_nelem);
KIP_FIR_API int kip_fir_v6_3_kip_array_mpz_complex_reserve_dim(
    kip_array_mpz_complex* array, size_t max_ndim);
KIP_FIR_API kip_array_mpz_complex* kip_fir_v6_3_kip_array_mpz_complex_destroy(
    kip_array_mpz_complex* array);

KIP_FIR_API kip_array_real* kip_array_real_create(void);
KIP_FIR_API int kip_array_real_reserve_data(kip_array_real* array, size_t max_nelem);
KIP_FIR_API int kip_array_real_reserve_dim(kip_array_real* array, size_t max_ndim);
KIP_FIR_API kip_array_real* kip_array_real_destroy(kip_array_real* array);

KIP_FIR_API kip_array_complex* kip_array_complex_create(void);
KIP_FIR_API int kip_array_complex_reserve_data(kip_array_complex* array, size_t max_nelem);
KIP_FIR_API int kip_array_complex_reserve_dim(kip_array_complex* array, size_t max_ndim);
KIP_FIR_API kip_array_complex* kip_array_complex_destroy(kip_array_complex* array);

KIP_FIR_API kip_array_uint* kip_array_uint_create(void);
KIP_FIR_API int kip_array_uint_reserve_data(kip_array_uint* array, size_t max_nelem);
KIP_FIR_API int kip_array_uint_reserve_dim(kip_array_uint* array, size_t max_ndim);
KIP_FIR_API kip_array_uint* kip_array_uint_destroy(kip_array_uint* array);

KIP_FIR_API kip_array_mpz* kip_array_mpz_create(void);
KIP_FIR_API int kip_array_mpz_reserve_data(kip_array_mpz* array, size_t max_nelem);
KIP_FIR_API int kip_array_mpz_reserve_dim(kip_array_mpz* array, size_t max_ndim);
KIP_FIR_API kip_array_mpz* kip_array_mpz_destroy(kip_array_mpz* array);

KIP_FIR_API kip_array_mpz_complex* kip_array_mpz_complex_create(void);
KIP_FIR_API int kip_array_mpz_complex_reserve_data(kip_array_mpz_complex* array, size_t max_nelem);
KIP_FIR_API int kip_array_mpz_complex_reserve_dim(kip_array_mpz_complex* array, size_t max_ndim);
KIP_FIR_API kip_array_mpz_complex* kip_array_mpz_complex_destroy(kip_array_mpz_complex* array);

/* ---------------------------------------------------------------------------------------------
 * Channel accessors (families real, complex, mpz, mpz_complex)
 *
 * get_chan(array, value, path, chan, index, pattern) copies one element out of array;
 * set_chan(array, value, path, chan, index, pattern) copies value into one element.
 *
 *   array    the record; dim_size must be 2 (paths, channel slots) or 3 (paths, channel slots,
 *            vectors), dim must hold at least dim_size slots and data must not be null.
 *   value    get: where the element is copied to (double*, kip_complex*, an initialised mpz_t,
 *            or a kip_mpz_complex* whose re and im are initialised). set: the value to store;
 *            the GMP forms copy the caller's integers, which stay the caller's.
 *   path     path number, below dim[0].
 *   chan     basic addressing: the channel slot, below dim[1].
 *            pattern addressing: the channel number, below 64 and below dim[1], used by the
 *            pattern (its map row is not -1).
 *   index    basic addressing: the vector. pattern addressing: the channel's sample number; with
 *            n = the channel's rate (map item 0) the sample lies in vector index / n, in the
 *            channel's (index mod n)-th slot of the pattern (map item 1 + index mod n).
 *   pattern  KIP_FIR_V6_3_PATTERN_NONE (175) for basic addressing, 0 to 173 for a row of
 *            kip_fir_v6_3_pattern_map (dim[1] then counts pattern slots).
 *
 * With dim_size 2 only vector 0 exists. get requires the whole vector to lie within data_size
 * (and within data_capacity): (vector + 1) * dim[0] * dim[1] elements. set requires it to lie
 * within data_capacity, so a write may go anywhere in reserved storage; then, for dim_size 3, it
 * raises dim[2] to vector + 1 when the vector is beyond it, and it raises data_size to the
 * product of the dimensions in use, never beyond data_capacity.
 *
 * Returns 0 on success. Returns 1, with nothing written and nothing read outside the array or
 * the pattern map, when: array or value is null; dim_size is not 2 or 3; dim or data is null or
 * dim_capacity is below dim_size; path >= dim[0] or chan >= dim[1]; the vector is not 0 for a
 * two-dimensional array; the vector lies beyond the storage as stated above; pattern is neither
 * 0 to 173 nor 175; with a pattern, chan >= 64, the channel is unused by the pattern, or the
 * slot the sample maps to is not below dim[1]; a size computation would overflow.
 * ------------------------------------------------------------------------------------------- */

KIP_FIR_API int kip_array_real_get_chan(const kip_array_real* array, double* value, size_t path,
    size_t chan, size_t index, kip_fir_v6_3_pattern pattern);
KIP_FIR_API int kip_array_real_set_chan(kip_array_real* array, double value, size_t path,
    size_t chan, size_t index, kip_fir_v6_3_pattern pattern);

KIP_FIR_API int kip_array_complex_get_chan(const kip_array_complex* array, kip_complex* value,
    size_t path, size_t chan, size_t index, kip_fir_v6_3_pattern pattern);
KIP_FIR_API int kip_array_complex_set_chan(kip_array_complex* array, kip_complex value, size_t path,
    size_t chan, size_t index, kip_fir_v6_3_pattern pattern);

KIP_FIR_API int kip_array_mpz_get_chan(const kip_array_mpz* array, mpz_t value, size_t path,
    size_t chan, size_t index, kip_fir_v6_3_pattern pattern);
KIP_FIR_API int kip_array_mpz_set_chan(kip_array_mpz* array, const mpz_t value, size_t path,
    size_t chan, size_t index, kip_fir_v6_3_pattern pattern);

KIP_FIR_API int kip_array_mpz_complex_get_chan(const kip_array_mpz_complex* array,
    kip_mpz_complex* value, size_t path, size_t chan, size_t index, kip_fir_v6_3_pattern pattern);
KIP_FIR_API int kip_array_mpz_complex_set_chan(kip_array_mpz_complex* array, kip_mpz_complex value,
    size_t path, size_t chan, size_t index, kip_fir_v6_3_pattern pattern);

/* ---------------------------------------------------------------------------------------------
 * Channel pattern tables (read-only data; entries are signed 32-bit, -1 means "none")
 *
 * Under the advanced channel sequence a frame of N channel slots (N = num_channels) is shared
 * among the channels of a pattern, each owning "rate" slots per frame. Patterns exist for
 * N = 4, 6, 8, 12, 16, 24, 32, 48 and 64; there are 174 of them (0 to 173).
 *
 * kip_fir_v6_3_pattern_min[N], kip_fir_v6_3_pattern_max[N]  (N = 0 to 64)
 *   First and last pattern number for N slots, or -1 when no pattern has N slots.
 * kip_fir_v6_3_pattern_seq[p][s]
 *   Channel owning slot s of pattern p; -1 for slots N to 63.
 * kip_fir_v6_3_pattern_map[p][c][i]
 *   i = 0: number of slots channel c owns in pattern p (its rate); i = 1 to rate: those slots in
 *   increasing order. Items after the rate may hold leftovers of a lower-numbered channel's
 *   row: read no further than item rate. Rows of channels the pattern does not use are all -1.
 * ------------------------------------------------------------------------------------------- */

#define KIP_FIR_V6_3_PATTERN_MAX_SLOTS 64 /* largest N; rows of seq and channels of map */
#define KIP_FIR_V6_3_PATTERN_MAP_ITEMS 17 /* items of one map row: rate and up to 16 slots */

extern KIP_FIR_API const int32_t kip_fir_v6_3_pattern_min[KIP_FIR_V6_3_PATTERN_MAX_SLOTS + 1];
extern KIP_FIR_API const int32_t kip_fir_v6_3_pattern_max[KIP_FIR_V6_3_PATTERN_MAX_SLOTS + 1];
extern KIP_FIR_API const int32_t
    kip_fir_v6_3_pattern_seq[KIP_FIR_V6_3_PATTERN_COUNT][KIP_FIR_V6_3_PATTERN_MAX_SLOTS];
extern KIP_FIR_API const int32_t
    kip_fir_v6_3_pattern_map[KIP_FIR_V6_3_PATTERN_COUNT][KIP_FIR_V6_3_PATTERN_MAX_SLOTS]
                            [KIP_FIR_V6_3_PATTERN_MAP_ITEMS];

KIP_FIR_EXTERN_C_END

#endif /* KIP_FIR_V6_3_ARRAYS_H */
