/* tapforge_v6_3_bitacc_cmodel.h -- C interface of the bit-accurate multi-channel,
 * multi-rate fixed-point FIR filter model, version 6.3.1.
 *
 * Conventions of every function below:
 *  - status results are 0 for success and 1 for failure;
 *  - a null pointer argument is refused with the failure result and no message;
 *  - every other failure of a function taking a model is reported as one error message
 *    through the model's message handler ("<name> ERROR: <text>", error flag 1);
 *  - the caller owns every record it passes; the model copies what it keeps;
 *  - a model is used by one thread at a time; separate models are independent;
 *  - handlers are called synchronously, inside the library call that triggers them.
 */
#ifndef TAPFORGE_V6_3_BITACC_CMODEL_H
#define TAPFORGE_V6_3_BITACC_CMODEL_H

#include <stddef.h>
#include <stdint.h>

#include "kip_fir_v6_3_arrays.h"
#include "kip_fir_v6_3_common.h"

KIP_FIR_EXTERN_C_BEGIN

/* Configuration of one model (112 bytes, one 4-byte gap before coeff). Integer fields are
 * validated as unsigned 32-bit values, so a negative value fails every upper bound. */
typedef struct kip_fir_v6_3_config {
    const char* name; /* instance name, NUL-terminated, not null; begins every message */
    int32_t filter_type; /* 0 single rate, 1 interpolating, 2 decimating, 3 Hilbert,
                            4 zero-packed */
    int32_t rate_change; /* 0 integer, 1 fractional (interp_rate / decim_rate) */
    int32_t interp_rate; /* interpolation rate, 1 to 1024 (0 accepted where unused,
                            see kip_fir_v6_3_create) */
    int32_t decim_rate; /* decimation rate, 1 to 1024 (0 accepted where unused) */
    int32_t zero_pack_factor; /* zero packing factor of filter type 4, 1 to 8; other filter
                                 types ignore it (0 accepted, reported as 1) */
    const double* coeff; /* num_coeffs * coeff_sets values, set after set; not null */
    int32_t coeff_padding; /* zero coefficients put in front of each set, >= 0; see the
                              table limits of kip_fir_v6_3_create */
    int32_t num_coeffs; /* coefficients per set, >= 1 */
    int32_t coeff_sets; /* number of coefficient sets, >= 1 */
    int32_t reloadable; /* 1: coefficients can be reloaded at run time; 0 or 1 */
    int32_t is_halfband; /* 1: half-band coefficient structure; 0 or 1 */
    int32_t quantization; /* 0 integer, 1 quantise only, 2 maximise dynamic range */
    int32_t coeff_width; /* coefficient width in bits, at most 49 */
    int32_t coeff_fract_width; /* fractional bits of the coefficients, -1023 to 1023 */
    int32_t chan_seq; /* 0 basic, 1 advanced (channel patterns) */
    int32_t num_channels; /* time-multiplexed channels, 1 to 64; with chan_seq 1 only
                             4, 6, 8, 12, 16, 24, 32, 48 or 64 */
    kip_fir_v6_3_pattern init_pattern; /* pattern after create and reset when chan_seq is 1;
                                   an invalid number is replaced, with a warning */
    int32_t num_paths; /* parallel data paths, 1 to 16 */
    int32_t data_width; /* input sample width in bits, at most 49 */
    int32_t data_fract_width; /* fractional bits of the input, at most data_width */
    int32_t output_rounding; /* 0 full precision, 1 to 7 rounded to output_width:
                                1 truncate, 2 nearest ties to zero, 3 nearest ties away from
                                zero, 4 ties to even, 5 ties to odd, 6 ties down, 7 ties up */
    int32_t output_width; /* output width; replaced by the accumulator width when
                             output_rounding is 0, else at most the accumulator width */
    int32_t output_fract_width; /* written by the model: fractional bits of the output */
    int32_t config_method; /* 0 one coefficient-set selector for all channels,
                              1 one selector per channel */
} kip_fir_v6_3_config;

/* Message callback: handle as given to create, error 1 for errors and 0 for warnings and
 * notes, message valid only during the call. Must not throw. */
typedef void (*kip_msg_handler)(void* handle, int32_t error, const char* message);

/* Opaque handle of one model. */
typedef struct kip_fir_v6_3 kip_fir_v6_3;

/* Version of the model: the static string "6.3.1". */
KIP_FIR_API const char* kip_fir_v6_3_get_version(void);

/* Fills *config with the defaults: name "tapforge_v6_3" (a library constant), a 21-tap
 * integer coefficient set (a library constant), single rate, one channel, one path, 16-bit
 * data and coefficients, full-precision output, basic channel sequence.
 * config: record to fill. Returns 0, or 1 if config is null. */
KIP_FIR_API int32_t kip_fir_v6_3_default_config(kip_fir_v6_3_config* config);

/* Validates config and builds a model from it.
 * config:  the configuration; read during the call only (name and coefficients are copied).
 * handler: receives the model's errors and warnings later on, and the text of a creation
 *          failure (without the name prefix) now; may be null for silence.
 * handle:  passed back unchanged as the handler's first argument.
 * Returns the model, to be freed with kip_fir_v6_3_destroy; null if config is null (no
 * message) or the configuration is refused (one message through handler, error flag 1).
 * Fields are checked in record order against the ranges above (data_width above 49:
 * "Invalid data width"); then, with their own messages, zero num_channels or num_paths, a zero
 * rate where it is read ("Invalid Filter rate", the kernel's text), a zero zero_pack_factor
 * with filter_type 4, num_coeffs or coeff_sets below 1, a negative coeff_padding, tables
 * beyond the limits below, coeff_fract_width outside -1023..1023, a null coeff and non-finite
 * coefficient values are refused.
 * Zero rates: interp_rate 0 is refused with filter_type 1, with rate_change 1 (the kernel
 * takes both rates) and when reloadable is 0 (the accumulator width sums the coefficients of
 * each of interp_rate phases); decim_rate 0 with filter_type 2 and with rate_change 1.
 * Elsewhere a zero rate or zero_pack_factor is not used and the model works with 1
 * (kip_fir_v6_3_get_config reports 1), so a zero-initialised record needs only the fields its
 * filter type uses.
 * Table limits, checked before anything is allocated: a padded coefficient set
 * (coeff_padding + num_coeffs, both times zero_pack_factor for filter_type 4) holds at most
 * 4194304 (2^22) taps ("Invalid coeff_padding <n>: a padded coefficient set of <taps> taps
 * exceeds the limit of 4194304 taps", or "Invalid num_coeffs ..." when the taps alone exceed
 * it), and (coeff_sets + num_paths * num_channels) padded sets hold at most 33554432 (2^25)
 * taps in all ("Coefficient tables too large: ...").
 * Values that cannot be represented: a coefficient with no code in the coefficient format
 * (not finite once scaled and quantised, e.g. 1e308 with coeff_fract_width 1) is refused with
 * "Coefficient value <v> of set <s>, index <i> cannot be quantised to the coefficient format";
 * an output fraction above 1023 bits ("Invalid output fractional width <n> (at most 1023)");
 * in double mode, fractional widths that put the accumulator's top bit at 2^1024 or above
 * ("Coefficient and data fractional widths put the accumulator outside the double range
 * (2^<n>)"); output_rounding 1 to 7 with output_width 0, in either arithmetic, with
 * "Bad format specified (IFIX_0_<output_fract_width>)". A null name is refused with "Instance name
 * must not be null". Coefficients that are all zero (or whose scaled sums overflow) leave no
 * accumulator width and are refused with "Cannot derive the accumulator width from the
 * coefficients", or with quantization 2 "Unable to scale coefficients to maximise dynamic range".
 * coeff must hold num_coeffs * coeff_sets values; the library cannot check its length. */
KIP_FIR_API kip_fir_v6_3* kip_fir_v6_3_create(
    const kip_fir_v6_3_config* config, kip_msg_handler handler, void* handle);

/* As kip_fir_v6_3_create; in addition the model's debug notes and traces go to
 * dbg_handler with dbg_handle (null dbg_handler: dropped). Creation failures still go to
 * handler. */
KIP_FIR_API kip_fir_v6_3* kip_fir_v6_3_create_dbg(const kip_fir_v6_3_config* config,
    kip_msg_handler handler, void* handle, kip_msg_handler dbg_handler, void* dbg_handle);

/* Frees the model and its message loggers. model: from create, or null.
 * Returns 0, or 1 if model is null. The model and every name pointer obtained from
 * kip_fir_v6_3_get_config are invalid afterwards. */
KIP_FIR_API int32_t kip_fir_v6_3_destroy(kip_fir_v6_3* model);

/* Copies the model's completed configuration into *config: coeff is null, name points to
 * the model's copy (valid until destroy); interp_rate, decim_rate and zero_pack_factor are
 * as the filter type uses them, output_width and output_fract_width as computed,
 * init_pattern as in force. Returns 0, or 1 if an argument is null. */
KIP_FIR_API int32_t kip_fir_v6_3_get_config(kip_fir_v6_3* model, kip_fir_v6_3_config* config);

/* ---------------------------------------------------------------------------------------------
 * Data path and coefficient reloads
 *
 * Sample arrays are [path][channel slot][vector], paths fastest (kip_fir_v6_3_arrays.h). Under
 * the advanced channel sequence (chan_seq 1) samples are addressed through the current channel
 * pattern: dim[1] counts pattern slots and a channel's samples are taken in its slot order.
 * ------------------------------------------------------------------------------------------- */

/* Coefficient reload packet (16 bytes). */
typedef struct kip_fir_v6_3_rld_packet {
    int32_t fsel; /* coefficient set to replace (compared unsigned; 0 with one set) */
    kip_array_real* coeff; /* one-dimensional array of at least num_coeffs values */
} kip_fir_v6_3_rld_packet;

/* Output callback: the output array, then the two opaque arguments given with it. Its result
 * becomes the result of the kip_fir_v6_3_data_send call that delivered the array. */
typedef int32_t (*kip_fir_v6_3_data_handler)(const kip_array_real* data, void* arg1, void* arg2);

/* Sends whole frames: input dim (num_paths, num_channels) or (num_paths, num_channels,
 * vectors); each sample is quantised to the data format and run through the filter of its path
 * and channel. The vector count is dim[2] in full (64 bits). Refused, with nothing fed: a
 * single-channel input sequence part way through a frame, other dimensions, dimension storage
 * (dim, dim_capacity) short of dim_size, an array whose data_size or data_capacity holds fewer
 * samples than its dimensions imply, and a frame holding a sample with no code in the data
 * format (NaN, an infinity, or a value that overflows once scaled by 2^data_fract_width):
 * "Data value <v> at path: <p> chan: <slot> vector: <v> cannot be quantised to the data
 * format", for the first such sample in storage order.
 * Returns 0, 1 on failure, or the data handler's result when a real data sink is installed. */
KIP_FIR_API int32_t kip_fir_v6_3_data_send(kip_fir_v6_3* model, const kip_array_real* data);

/* Sends one channel position for every path: dim (num_paths), with data_size and
 * data_capacity at least num_paths, and every sample with a code in the data format (as for
 * kip_fir_v6_3_data_send); else refused, nothing fed. Returns 0 or 1. */
KIP_FIR_API int32_t kip_fir_v6_3_data_send_channel(kip_fir_v6_3* model, const kip_array_real* data);

/* kip_fir_v6_3_data_send in the shape of kip_fir_v6_3_data_handler: model is the second
 * argument, the third is ignored; lets one model's output feed another. */
KIP_FIR_API int32_t kip_fir_v6_3_data_send_handler(
    const kip_array_real* data, void* model, void* unused);

/* Collects whole output vectors into the first non-null array of the pair: dim (paths,
 * channels[, vectors]) no larger than the model's; as many vectors as asked for and waiting
 * (dim[2] and data_size are reduced, with a warning, when fewer are waiting). Refused (status
 * 1, nothing removed) when any output buffer of the frame, or for the complex form of a Hilbert
 * model any delay line, holds fewer samples than the collection takes, which can happen after
 * single-channel input stopped part way through a frame or with a Hilbert filter that makes
 * more outputs than inputs; and when a sample would not fit the array (path or slot beyond its
 * dimensions, vector beyond data_capacity): "Unabled to set data for path: <p> chan: <c>
 * vector: <k>" for the first such sample, nothing removed, the array unchanged. data_size
 * never exceeds data_capacity. Returns 0 or 1. */
KIP_FIR_API int32_t kip_fir_v6_3_data_get(
    kip_fir_v6_3* model, kip_array_real* data, kip_array_complex* data_complex);
/* As kip_fir_v6_3_data_get, into GMP integer arrays (values in units of the output LSB). */
KIP_FIR_API int32_t kip_fir_v6_3_data_get_mpz(
    kip_fir_v6_3* model, kip_array_mpz* data, kip_array_mpz_complex* data_complex);

/* Collects one channel position for every path into data[0 .. num_paths-1] of the first
 * non-null array: dim (num_paths) and data_capacity at least num_paths (else refused). Sets
 * data_size to num_paths, or to 0 when that channel has nothing waiting. Refused, nothing
 * removed, when another path (or Hilbert delay line) of the channel has nothing waiting. */
KIP_FIR_API int32_t kip_fir_v6_3_data_get_channel(
    kip_fir_v6_3* model, kip_array_real* data, kip_array_complex* data_complex);
KIP_FIR_API int32_t kip_fir_v6_3_data_get_channel_mpz(
    kip_fir_v6_3* model, kip_array_mpz* data, kip_array_mpz_complex* data_complex);

/* Queues a coefficient reload; it is applied at the next configuration point at which a
 * configuration packet is applied. The model keeps a private copy of the first num_coeffs
 * values. Returns 0 when queued (or not needed: the model is not reloadable, with a warning),
 * 1 for a selector above the last set (warning), for a null coeff or a coeff array without
 * dimensions (warning, nothing read), and for an array that is not one-dimensional, holds fewer
 * than num_coeffs values (by dim[0], or by data_size / data_capacity), non-finite values, or a
 * value with no code in the coefficient format ("Coefficient value <v> of reload packet for set
 * <s>, index <i> cannot be quantised to the coefficient format"). Packets already queued stay
 * queued. */
KIP_FIR_API int32_t kip_fir_v6_3_reload_send(
    kip_fir_v6_3* model, const kip_fir_v6_3_rld_packet* packet);

/* ---------------------------------------------------------------------------------------------
 * Output sinks, data handler and output sizing; configuration packets and reset
 * ------------------------------------------------------------------------------------------- */

/* Configuration packet (16 bytes, one 4-byte gap before fsel).
 *  chanpat  channel pattern to use from the next configuration point (advanced channel
 *           sequence only; ignored with the basic sequence).
 *  fsel     one-dimensional array of coefficient-set selectors: with config_method 1 one per
 *           channel (element c for channel c), with config_method 0 element 0 for every
 *           channel. The model copies what it needs; the array stays the caller's. */
typedef struct kip_fir_v6_3_cnfg_packet {
    kip_fir_v6_3_pattern chanpat;
    kip_array_uint* fsel;
} kip_fir_v6_3_cnfg_packet;

/* Installs the output sink that every kip_fir_v6_3_data_send refills with all complete output
 * vectors (dim = num_paths, num_channels, vectors; the same values kip_fir_v6_3_data_get would
 * store). real is used when non-null, else complex. Installing a sink removes any sink
 * installed before, of whatever type; sinks and handler survive kip_fir_v6_3_reset.
 * The sink stays the caller's and must outlive its installation; the model never frees it, but
 * at every data_send it sets owner to 0 and grows dim and data with the array functions
 * (realloc), so its storage must come from the array functions or the process heap, or already
 * be large enough. A Hilbert model (filter_type 3) needs the complex sink: a real sink is
 * refused with "Hilbert filter type requires a complex data sink" (the old sink stays).
 * Returns 0; 1 if model is null or both arrays are null (no message), or on refusal. */
KIP_FIR_API int32_t kip_fir_v6_3_set_data_sink(
    kip_fir_v6_3* model, kip_array_real* real, kip_array_complex* complex);

/* As kip_fir_v6_3_set_data_sink for the GMP integer families: mpz is used when non-null, else
 * mpz_complex. A Hilbert model refuses the mpz sink with the same message. Elements are the
 * outputs as integers in units of the output's least significant bit. */
KIP_FIR_API int32_t kip_fir_v6_3_set_data_sink_mpz(
    kip_fir_v6_3* model, kip_array_mpz* mpz, kip_array_mpz_complex* mpz_complex);

/* Installs (or, with a null handler, removes) the data handler, called with arg1 and arg2
 * after the real data sink has been filled at the end of each kip_fir_v6_3_data_send; with a
 * complex or GMP sink, or none, it is never called. The handler's result is returned by that
 * data_send. To chain models, install kip_fir_v6_3_data_send_handler with the next model as
 * arg1. The handler may send packets to, or reset, the model that calls it, but must not
 * destroy it. Returns 0, or 1 if model is null. */
KIP_FIR_API int32_t kip_fir_v6_3_set_data_handler(
    kip_fir_v6_3* model, kip_fir_v6_3_data_handler handler, void* arg1, void* arg2);

/* Sizes an output array for the input array in: dim[0] = num_paths, dim[1] = num_channels
 * and, for a 3-D output, dim[2] = the number of output vectors that in's vectors (dim[2] of a
 * 3-D input in full 64 bits, else 1) produce at the model's rates: vectors * interp_rate /
 * decim_rate rounded down (under the advanced channel sequence counted in channel 0's slots of the
 * current pattern, then divided back); data_size = the product. A 2-D output gets dim[0], dim[1]
 * and data_size = 0 or num_paths * num_channels, and is refused with "Unable to size output
 * structure, require 3 dimensions" when more than one vector would result. dim_size is read,
 * never changed; nothing is reserved: the caller reserves dim (dim_size slots) and data
 * (data_size elements) before use. The count actually delivered later may differ (it counts
 * the vectors waiting). Any dim_size other than 2 is sized as 3-D. Refused without writing:
 * an output whose dim storage (dim_capacity) has fewer slots than it would be given ("Unable to
 * size output structure, insufficient dimension storage"), an input whose dim storage does not
 * hold its dim_size lengths ("Unable to size output structure, invalid input array"), and a
 * count whose data_size would not fit a size_t ("Unable to size output structure, too many
 * vectors"). Unlike data_get, calc_size may leave data_size above data_capacity: it states
 * what to reserve. When sink delivery cannot reserve that storage, the sink's data_size is
 * left within its capacity.
 * real is used when non-null, else complex. Returns 0; 1 if model or in is null or both
 * outputs are null (no message), or on refusal. */
KIP_FIR_API int32_t kip_fir_v6_3_calc_size(kip_fir_v6_3* model, const kip_array_real* in,
    kip_array_real* real, kip_array_complex* complex);

/* As kip_fir_v6_3_calc_size for the GMP integer families (mpz used when non-null). */
KIP_FIR_API int32_t kip_fir_v6_3_calc_size_mpz(kip_fir_v6_3* model, const kip_array_real* in,
    kip_array_mpz* mpz, kip_array_mpz_complex* mpz_complex);

/* Queues a configuration packet, applied at the next configuration point (when channel 0 of
 * path 0 takes its first input after creation, reset or one of its outputs); at that point
 * every queued coefficient reload is applied first, then exactly one configuration packet:
 * every channel's kernel takes the selected coefficient set (history and phase kept) and,
 * under the advanced channel sequence, a pattern different from the current one is put in
 * force and every kernel is reset. Further packets wait for later points.
 * Normalisation, each with a warning through the message handler: with the basic sequence, one
 * set and no reloads the packet is not needed and ignored (result 0); an invalid pattern for
 * the channel count becomes the first pattern for it; with several sets surplus selectors are
 * ignored; a selector above coeff_sets - 1 becomes coeff_sets - 1.
 * Refused (result 1, nothing queued): a null fsel of a packet that is needed, with the warning
 * "Config packet has no fsel array, ignoring packet"; and, with one error message: with
 * several sets, a selector array of more than one dimension ("Expecting 1-D array for fsel")
 * or, with config_method 1, of fewer than num_channels selectors ("Insufficient fsel values
 * specified, expecting" + num_channels; an array without dimension storage counts as empty);
 * with any number of sets, an array whose data (data_size, within its reserved storage) holds
 * fewer selectors than the model reads, num_channels with config_method 1, else 1 ("fsel array
 * holds fewer values than required: " + that count). Returns 0 when queued or ignored as not
 * needed; 1 if an argument is null (no message) or on refusal. */
KIP_FIR_API int32_t kip_fir_v6_3_config_send(
    kip_fir_v6_3* model, const kip_fir_v6_3_cnfg_packet* packet);

/* Returns the data path to its state after creation: every kernel takes coefficient set 0
 * with cleared history, waiting outputs (and Hilbert delay lines) are dropped, single-channel
 * positions return to 0, the pattern returns to init_pattern, and queued configuration
 * packets are discarded. Queued coefficient reloads, reloaded coefficient sets, the data sink
 * and the data handler are kept. Returns 0, or 1 if model is null. */
KIP_FIR_API int32_t kip_fir_v6_3_reset(kip_fir_v6_3* model);

/* ---------------------------------------------------------------------------------------------
 * Description of the configuration and the conversion policies every front end shares
 *
 * These functions never call a message handler and never fail for a value of the record: a
 * refusal gives status 1 with its reason in the caller's buffer. Message buffers: msg may be
 * null when msg_len is 0; otherwise the text is cut to msg_len - 1 characters and
 * NUL-terminated. KIP_FIR_V6_3_MSG_LEN always suffices.
 * ------------------------------------------------------------------------------------------- */

#define KIP_FIR_V6_3_MSG_LEN 1024

/* Kind of a configuration field. */
#define KIP_FIR_V6_3_FIELD_INT 0 /* 32-bit integer in min_value .. max_value */
#define KIP_FIR_V6_3_FIELD_FLAG 1 /* 32-bit integer, 0 or 1 */
#define KIP_FIR_V6_3_FIELD_CHOICE 2 /* 32-bit integer, one of numbered options listed in help */
#define KIP_FIR_V6_3_FIELD_STRING 3 /* const char pointer (name) */
#define KIP_FIR_V6_3_FIELD_REAL_ARRAY 4 /* const double pointer (coeff) */

/* Description of one field of kip_fir_v6_3_config (56 bytes on LP64; static storage of the
 * library, never freed). */
typedef struct kip_fir_v6_3_field_desc {
    const char* name; /* member name in kip_fir_v6_3_config, e.g. "filter_type" */
    const char* help; /* one line: meaning, unit and options */
    const char* rule; /* how it depends on, or is ignored because of, other fields; "" if none */
    const char* default_text; /* the default as text, e.g. "16", "tapforge_v6_3" */
    int32_t offset; /* byte offset of the member in kip_fir_v6_3_config */
    int32_t kind; /* KIP_FIR_V6_3_FIELD_* */
    int32_t computed; /* 1: written by the model (output_fract_width), any given value is
                         ignored and config_set_field refuses it; else 0 */
    int32_t min_value; /* integer kinds: the range config_set_field accepts, inclusive; the */
    int32_t max_value; /* model refuses values outside it (rules above can narrow it) */
    int32_t default_value; /* integer kinds: as kip_fir_v6_3_default_config writes it; else 0 */
} kip_fir_v6_3_field_desc;

/* Number of fields of kip_fir_v6_3_config (25). */
KIP_FIR_API int32_t kip_fir_v6_3_field_count(void);

/* Description of field i, 0 <= i < field_count(), in record order; null for any other i. */
KIP_FIR_API const kip_fir_v6_3_field_desc* kip_fir_v6_3_field_at(int32_t i);

/* Description of the field named name (exact); null when name is null or not a field. */
KIP_FIR_API const kip_fir_v6_3_field_desc* kip_fir_v6_3_field_find(const char* name);

/* Sets integer field name of *config to value.
 *   config - record to change; only the named member is written, and only on success.
 *   name   - member name, e.g. "interp_rate"; integer kinds only (not name, coeff, or the
 *            computed output_fract_width).
 *   value  - a whole number within the field's min_value .. max_value.
 *   msg    - receives the reason of a refusal (else ""), msg_len bytes.
 * Returns 0, or 1 for a null config or name, an unknown name ("Unknown FIR configuration field
 * 'x'"), a field that cannot be set this way, a value that is not a whole number ("Invalid
 * value 2.5 for interp_rate: must be an integer") or out of range ("Invalid value 5 for
 * filter_type: must be in the range 0 to 4"). Rules between fields are checked by create. */
KIP_FIR_API int32_t kip_fir_v6_3_config_set_field(
    kip_fir_v6_3_config* config, const char* name, double value, char* msg, size_t msg_len);

/* Reads integer field name of *config into *value (integer kinds only, output_fract_width
 * included). Returns 0, or 1 (reason in msg, *value untouched) for a null argument, an unknown
 * name or a field that is not an integer. */
KIP_FIR_API int32_t kip_fir_v6_3_config_get_field(
    const kip_fir_v6_3_config* config, const char* name, int32_t* value, char* msg, size_t msg_len);

/* Notes on settings of *config that the model ignores or that do not do what they suggest, one
 * line each (joined by '\n', no final newline) in msg, for the front end's warning channel; a
 * setting at its default is never noted. The notes: a rate (interp_rate, decim_rate) or
 * zero_pack_factor the filter type does not use (interp_rate still enters the accumulator width);
 * rate_change 1 with a filter type other than 1 and 2 (the filter still resamples);
 * is_halfband 1 without reloadable 1; init_pattern with chan_seq 0; output_width with
 * output_rounding 0; a given output_fract_width. create behaves the same whether or not this is
 * called. Returns the number of notes (0: nothing to say), or -1 if config is null. */
KIP_FIR_API int32_t kip_fir_v6_3_config_check(
    const kip_fir_v6_3_config* config, char* msg, size_t msg_len);

/* Counts of input samples the model converts (32 bytes). */
typedef struct kip_fir_v6_3_input_report {
    uint64_t out_of_format; /* samples whose code (sample * 2^data_fract_width rounded down)
                               lies outside the data_width-bit two's complement range: the
                               model wraps them modulo 2^data_width */
    int64_t first_out_of_format; /* index of the first, -1 when none */
    uint64_t off_grid; /* samples that are not a multiple of 2^-data_fract_width: the model
                          rounds them down to the grid (towards minus infinity) */
    int64_t first_off_grid; /* index of the first, -1 when none */
} kip_fir_v6_3_input_report;

/* Checks input samples against the data format of config (data_width, data_fract_width), as
 * the model will convert them, for the one-warning-per-call policy.
 *   config - the configuration (the caller's record or one from get_config); only read.
 *   data   - count samples, in any order; the indices reported are indices into data. May be
 *            null when count is 0. Samples without a code (NaN, infinities, values that overflow
 *            once scaled) are not counted: the model refuses a frame holding one.
 *   report - receives the counts and first indices.
 *   msg    - receives the one warning for the call naming both counts and first indices, e.g.
 *            "2 input samples outside the data format (16 bits, 0 fractional: -32768 to 32767)
 *            were wrapped, the first at index 5; 3 input samples off the data grid (multiples of
 *            2^-0) were rounded down, the first at index 0"; "" when nothing is converted.
 * Returns 0, or 1 (reason in msg) for a null config or report, null data with count > 0, or
 * data_width / data_fract_width outside the ranges the model accepts. */
KIP_FIR_API int32_t kip_fir_v6_3_input_check(const kip_fir_v6_3_config* config, const double* data,
    size_t count, kip_fir_v6_3_input_report* report, char* msg, size_t msg_len);

KIP_FIR_EXTERN_C_END

#ifdef __cplusplus
static_assert(sizeof(void*) != 8 || sizeof(kip_fir_v6_3_field_desc) == 56,
    "kip_fir_v6_3_field_desc is 56 bytes on LP64");
static_assert(sizeof(kip_fir_v6_3_input_report) == 32, "kip_fir_v6_3_input_report is 32 bytes");
static_assert(sizeof(kip_fir_v6_3_config) == 112, "kip_fir_v6_3_config is 112 bytes");
static_assert(offsetof(kip_fir_v6_3_config, name) == 0, "config layout");
static_assert(offsetof(kip_fir_v6_3_config, filter_type) == 8, "config layout");
static_assert(offsetof(kip_fir_v6_3_config, rate_change) == 12, "config layout");
static_assert(offsetof(kip_fir_v6_3_config, interp_rate) == 16, "config layout");
static_assert(offsetof(kip_fir_v6_3_config, decim_rate) == 20, "config layout");
static_assert(offsetof(kip_fir_v6_3_config, zero_pack_factor) == 24, "config layout");
static_assert(offsetof(kip_fir_v6_3_config, coeff) == 32, "config layout");
static_assert(offsetof(kip_fir_v6_3_config, coeff_padding) == 40, "config layout");
static_assert(offsetof(kip_fir_v6_3_config, num_coeffs) == 44, "config layout");
static_assert(offsetof(kip_fir_v6_3_config, coeff_sets) == 48, "config layout");
static_assert(offsetof(kip_fir_v6_3_config, reloadable) == 52, "config layout");
static_assert(offsetof(kip_fir_v6_3_config, is_halfband) == 56, "config layout");
static_assert(offsetof(kip_fir_v6_3_config, quantization) == 60, "config layout");
static_assert(offsetof(kip_fir_v6_3_config, coeff_width) == 64, "config layout");
static_assert(offsetof(kip_fir_v6_3_config, coeff_fract_width) == 68, "config layout");
static_assert(offsetof(kip_fir_v6_3_config, chan_seq) == 72, "config layout");
static_assert(offsetof(kip_fir_v6_3_config, num_channels) == 76, "config layout");
static_assert(offsetof(kip_fir_v6_3_config, init_pattern) == 80, "config layout");
static_assert(offsetof(kip_fir_v6_3_config, num_paths) == 84, "config layout");
static_assert(offsetof(kip_fir_v6_3_config, data_width) == 88, "config layout");
static_assert(offsetof(kip_fir_v6_3_config, data_fract_width) == 92, "config layout");
static_assert(offsetof(kip_fir_v6_3_config, output_rounding) == 96, "config layout");
static_assert(offsetof(kip_fir_v6_3_config, output_width) == 100, "config layout");
static_assert(offsetof(kip_fir_v6_3_config, output_fract_width) == 104, "config layout");
static_assert(offsetof(kip_fir_v6_3_config, config_method) == 108, "config layout");
static_assert(sizeof(kip_fir_v6_3_rld_packet) == 16, "kip_fir_v6_3_rld_packet is 16 bytes");
static_assert(offsetof(kip_fir_v6_3_rld_packet, coeff) == 8, "rld packet layout");
static_assert(sizeof(kip_fir_v6_3_cnfg_packet) == 16, "kip_fir_v6_3_cnfg_packet is 16 bytes");
static_assert(offsetof(kip_fir_v6_3_cnfg_packet, fsel) == 8, "cnfg packet layout");
#endif

#endif /* TAPFORGE_V6_3_BITACC_CMODEL_H */
