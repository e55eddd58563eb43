// The five array families: lifecycle (create, reserve, destroy) and the channel accessors, under
// the internal names the exported functions (tapforge_v6_3_bitacc_cmodel.cpp) call. One template
// implementation serves every family; the element-specific parts are slot initialisation,
// clearing and copying.
//
// Records and storage live on the process heap (malloc, realloc, free) so that callers and the
// model can hand them back and forth. In the GMP families every allocated slot holds an
// initialised integer from its reservation until destroy.
#include "kip_array.h"

#include <cstdlib>
#include <limits>
#include <new>

#include "advchanpat.h"

namespace kip_fir {
namespace {

    // Slot initialisation and clearing: nothing for plain values, GMP init/clear otherwise.
    template <class E> void init_slot(E&) noexcept { }
    void init_slot(mpz_t& slot) noexcept { mpz_init(slot); }
    void init_slot(kip_mpz_complex& slot) noexcept
    {
        mpz_init(slot.re);
        mpz_init(slot.im);
    }

    template <class E> void clear_slot(E&) noexcept { }
    void clear_slot(mpz_t& slot) noexcept { mpz_clear(slot); }
    void clear_slot(kip_mpz_complex& slot) noexcept
    {
        mpz_clear(slot.re);
        mpz_clear(slot.im);
    }

    // Element copies by trait: assignment, or GMP set into an initialised integer.
    void copy_value(double& dst, double src) noexcept { dst = src; }
    void copy_value(kip_complex& dst, const kip_complex& src) noexcept { dst = src; }
    void copy_value(mpz_ptr dst, mpz_srcptr src) noexcept { mpz_set(dst, src); }
    void copy_value(kip_mpz_complex& dst, const kip_mpz_complex& src) noexcept
    {
        mpz_set(dst.re, src.re);
        mpz_set(dst.im, src.im);
    }

    template <class Array> using Element = typename ArrayFamily<Array>::element;

    template <class Array> Array* create() noexcept
    {
        auto* array = static_cast<Array*>(std::malloc(sizeof(Array)));
        if (array != nullptr)
            *array = Array {};
        return array;
    }

    template <class Array> int reserve_data(Array* array, std::size_t max_nelem) noexcept
    {
        using E = Element<Array>;
        if (array == nullptr || array->owner != 0)
            return 1;
        if (array->data_capacity >= max_nelem)
            return 0;
        if (max_nelem > std::numeric_limits<std::size_t>::max() / sizeof(E))
            return 1;
        // Elements are plain C structs (GMP integers included), so realloc may move them.
        void* grown = std::realloc(static_cast<void*>(array->data), max_nelem * sizeof(E));
        if (grown == nullptr)
            return 1;
        array->data = static_cast<E*>(grown);
        for (std::size_t i = array->data_capacity; i < max_nelem; ++i)
            init_slot(array->data[i]);
        array->data_capacity = max_nelem;
        return 0;
    }

    template <class Array> int reserve_dim(Array* array, std::size_t max_ndim) noexcept
    {
        if (array == nullptr || array->owner != 0)
            return 1;
        if (array->dim_capacity >= max_ndim)
            return 0;
        if (max_ndim > std::numeric_limits<std::size_t>::max() / sizeof(std::size_t))
            return 1;
        void* grown = std::realloc(array->dim, max_ndim * sizeof(std::size_t));
        if (grown == nullptr)
            return 1;
        array->dim = static_cast<std::size_t*>(grown);
        array->dim_capacity = max_ndim;
        return 0;
    }

    template <class Array> Array* destroy(Array* array) noexcept
    {
        if (array == nullptr)
            return nullptr;
        if (array->owner != 0)
            return array;
        if (array->data != nullptr)
            for (std::size_t i = 0; i < array->data_capacity; ++i)
                clear_slot(array->data[i]);
        std::free(static_cast<void*>(array->data));
        std::free(array->dim);
        std::free(array);
        return nullptr;
    }

    // Where an accessor call lands: linear element position and the vector it belongs to.
    struct Target {
        std::size_t position;
        std::size_t vector;
    };

    // Checks one accessor call and finds its element. `limit` is the number of elements the
    // vector must fit into (data_size and data_capacity for reads, data_capacity for writes).
    // Refuses, without touching anything outside the record's dimensions or the pattern map,
    // every call that does not address an element below `limit`.
    template <class Array>
    bool locate(const Array* array, std::size_t path, std::size_t chan, std::size_t index,
        int32_t pattern, bool for_write, Target& target) noexcept
    {
        if (array == nullptr || array->data == nullptr)
            return false;
        if (array->dim_size != 2 && array->dim_size != 3)
            return false;
        if (!array_dims_valid(*array))
            return false;
        const std::size_t dim0 = array->dim[0];
        const std::size_t dim1 = array->dim[1];
        if (path >= dim0 || chan >= dim1)
            return false;

        std::size_t slot = 0;
        std::size_t vector = 0;
        if (pattern == kPatternNone) {
            slot = chan;
            vector = index;
        } else {
            // Rejects patterns that are not rows, channels of 64 and above and unused channels.
            const int32_t* row = pattern_map_row(pattern, chan);
            if (row == nullptr)
                return false;
            const auto rate = static_cast<std::size_t>(row[0]);
            vector = index / rate;
            const int32_t entry = row[1 + index % rate];
            // The slot must lie inside dimension 1, else the element would fall outside the
            // vector whose extent is tested below.
            if (entry < 0 || static_cast<std::size_t>(entry) >= dim1)
                return false;
            slot = static_cast<std::size_t>(entry);
        }
        if (array->dim_size == 2 && vector != 0)
            return false;

        std::size_t limit = array->data_capacity;
        if (!for_write && array->data_size < limit)
            limit = array->data_size;
        std::size_t frame = 0;
        std::size_t end = 0;
        if (__builtin_mul_overflow(dim0, dim1, &frame)
            || __builtin_mul_overflow(vector + 1, frame, &end) || vector + 1 == 0 || end > limit)
            return false;

        target.position = array_position(dim0, dim1, path, slot, vector);
        target.vector = vector;
        return true;
    }

    // After a write: dimension 2 grows to cover the vector written, and data_size to the
    // product of the dimensions in use, but never past the reserved storage.
    template <class Array> void extend(Array* array, std::size_t vector) noexcept
    {
        std::size_t used = 0;
        bool overflow = __builtin_mul_overflow(array->dim[0], array->dim[1], &used);
        if (array->dim_size == 3) {
            if (vector >= array->dim[2])
                array->dim[2] = vector + 1;
            overflow = overflow || __builtin_mul_overflow(used, array->dim[2], &used);
        }
        if (overflow || used > array->data_capacity)
            used = array->data_capacity;
        if (used > array->data_size)
            array->data_size = used;
    }

    template <class Array, class Out>
    int get_chan(const Array* array, Out&& out, std::size_t path, std::size_t chan,
        std::size_t index, int32_t pattern) noexcept
    {
        Target target {};
        if (!locate(array, path, chan, index, pattern, false, target))
            return 1;
        copy_value(out, array->data[target.position]);
        return 0;
    }

    template <class Array, class In>
    int set_chan(Array* array, In&& value, std::size_t path, std::size_t chan, std::size_t index,
        int32_t pattern) noexcept
    {
        Target target {};
        if (!locate(array, path, chan, index, pattern, true, target))
            return 1;
        copy_value(array->data[target.position], value);
        extend(array, target.vector);
        return 0;
    }

} // namespace

int array_reserve_data(kip_array_real& array, std::size_t max_nelem) noexcept
{
    return reserve_data(&array, max_nelem);
}
int array_reserve_data(kip_array_complex& array, std::size_t max_nelem) noexcept
{
    return reserve_data(&array, max_nelem);
}
int array_reserve_data(kip_array_uint& array, std::size_t max_nelem) noexcept
{
    return reserve_data(&array, max_nelem);
}
int array_reserve_data(kip_array_mpz& array, std::size_t max_nelem) noexcept
{
    return reserve_data(&array, max_nelem);
}
int array_reserve_data(kip_array_mpz_complex& array, std::size_t max_nelem) noexcept
{
    return reserve_data(&array, max_nelem);
}

int array_reserve_dim(kip_array_real& array, std::size_t max_ndim) noexcept
{
    return reserve_dim(&array, max_ndim);
}
int array_reserve_dim(kip_array_complex& array, std::size_t max_ndim) noexcept
{
    return reserve_dim(&array, max_ndim);
}
int array_reserve_dim(kip_array_uint& array, std::size_t max_ndim) noexcept
{
    return reserve_dim(&array, max_ndim);
}
int array_reserve_dim(kip_array_mpz& array, std::size_t max_ndim) noexcept
{
    return reserve_dim(&array, max_ndim);
}
int array_reserve_dim(kip_array_mpz_complex& array, std::size_t max_ndim) noexcept
{
    return reserve_dim(&array, max_ndim);
}

int array_get_chan(const kip_array_real& array, double& value, std::size_t path, std::size_t chan,
    std::size_t index, int32_t pattern) noexcept
{
    return get_chan(&array, value, path, chan, index, pattern);
}
int array_get_chan(const kip_array_complex& array, kip_complex& value, std::size_t path,
    std::size_t chan, std::size_t index, int32_t pattern) noexcept
{
    return get_chan(&array, value, path, chan, index, pattern);
}
int array_get_chan(const kip_array_mpz& array, mpz_ptr value, std::size_t path, std::size_t chan,
    std::size_t index, int32_t pattern) noexcept
{
    if (value == nullptr)
        return 1;
    return get_chan(&array, value, path, chan, index, pattern);
}
int array_get_chan(const kip_array_mpz& array, mpz_class& value, std::size_t path, std::size_t chan,
    std::size_t index, int32_t pattern) noexcept
{
    return get_chan(&array, value.get_mpz_t(), path, chan, index, pattern);
}
int array_get_chan(const kip_array_mpz_complex& array, kip_mpz_complex& value, std::size_t path,
    std::size_t chan, std::size_t index, int32_t pattern) noexcept
{
    return get_chan(&array, value, path, chan, index, pattern);
}

int array_set_chan(kip_array_real& array, double value, std::size_t path, std::size_t chan,
    std::size_t index, int32_t pattern) noexcept
{
    return set_chan(&array, value, path, chan, index, pattern);
}
int array_set_chan(kip_array_complex& array, const kip_complex& value, std::size_t path,
    std::size_t chan, std::size_t index, int32_t pattern) noexcept
{
    return set_chan(&array, value, path, chan, index, pattern);
}
int array_set_chan(kip_array_mpz& array, mpz_srcptr value, std::size_t path, std::size_t chan,
    std::size_t index, int32_t pattern) noexcept
{
    if (value == nullptr)
        return 1;
    return set_chan(&array, value, path, chan, index, pattern);
}
int array_set_chan(kip_array_mpz& array, const mpz_class& value, std::size_t path, std::size_t chan,
    std::size_t index, int32_t pattern) noexcept
{
    return set_chan(&array, value.get_mpz_t(), path, chan, index, pattern);
}
int array_set_chan(kip_array_mpz_complex& array, const kip_mpz_complex& value, std::size_t path,
    std::size_t chan, std::size_t index, int32_t pattern) noexcept
{
    return set_chan(&array, value, path, chan, index, pattern);
}

int array_can_set(const kip_array_real& array, std::size_t path, std::size_t chan,
    std::size_t index, int32_t pattern) noexcept
{
    Target target {};
    return locate(&array, path, chan, index, pattern, true, target) ? 0 : 1;
}
int array_can_set(const kip_array_complex& array, std::size_t path, std::size_t chan,
    std::size_t index, int32_t pattern) noexcept
{
    Target target {};
    return locate(&array, path, chan, index, pattern, true, target) ? 0 : 1;
}
int array_can_set(const kip_array_mpz& array, std::size_t path, std::size_t chan, std::size_t index,
    int32_t pattern) noexcept
{
    Target target {};
    return locate(&array, path, chan, index, pattern, true, target) ? 0 : 1;
}
int array_can_set(const kip_array_mpz_complex& array, std::size_t path, std::size_t chan,
    std::size_t index, int32_t pattern) noexcept
{
    Target target {};
    return locate(&array, path, chan, index, pattern, true, target) ? 0 : 1;
}

template <class Array> Array* array_new() noexcept { return create<Array>(); }
template <class Array> Array* array_free(Array* array) noexcept { return destroy(array); }

template kip_array_real* array_new<kip_array_real>() noexcept;
template kip_array_complex* array_new<kip_array_complex>() noexcept;
template kip_array_uint* array_new<kip_array_uint>() noexcept;
template kip_array_mpz* array_new<kip_array_mpz>() noexcept;
template kip_array_mpz_complex* array_new<kip_array_mpz_complex>() noexcept;
template kip_array_real* array_free(kip_array_real*) noexcept;
template kip_array_complex* array_free(kip_array_complex*) noexcept;
template kip_array_uint* array_free(kip_array_uint*) noexcept;
template kip_array_mpz* array_free(kip_array_mpz*) noexcept;
template kip_array_mpz_complex* array_free(kip_array_mpz_complex*) noexcept;

} // namespace kip_fir
