// libFuzzer target for the FIR model's C interface: a hostile configuration record, create or
// create_dbg, then a decoded sequence of data, packet, sink, handler, sizing, get_config and
// array-accessor calls, then destroy. Besides the sanitizers it checks that status 0 never
// comes with an error message, status 1 never comes silently, accepted input arrays hold their
// samples, outputs stay within their capacity and refused calls leave outputs untouched.
#include <gmp.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "tapforge_v6_3_bitacc_cmodel.h"

namespace {

constexpr std::size_t kMaxElements = 4096; // storage of any array the harness builds
constexpr std::size_t kMaxCoeffs = 4096; // coefficients handed to create
constexpr int kMaxOps = 48;

struct Log {
    int errors = 0;
    int others = 0;
    int total() const { return errors + others; }
    static void record(void* handle, int32_t error, const char* text)
    {
        CHECK(text != nullptr);
        Log* log = static_cast<Log*>(handle);
        if (error != 0)
            ++log->errors;
        else
            ++log->others;
    }
};

// ---------------------------------------------------------------- array families

template <class A> struct Family;
#define KIP_FUZZ_FAMILY(A, E, word)                                                                \
    template <> struct Family<A> {                                                                 \
        using Element = E;                                                                         \
        static A* create() { return kip_array_##word##_create(); }                                 \
        static int reserve_data(A* a, std::size_t n)                                               \
        {                                                                                          \
            return kip_array_##word##_reserve_data(a, n);                                          \
        }                                                                                          \
        static int reserve_dim(A* a, std::size_t n)                                                \
        {                                                                                          \
            return kip_array_##word##_reserve_dim(a, n);                                           \
        }                                                                                          \
        static A* destroy(A* a) { return kip_array_##word##_destroy(a); }                          \
    };
KIP_FUZZ_FAMILY(kip_array_real, double, real)
KIP_FUZZ_FAMILY(kip_array_complex, kip_complex, complex)
KIP_FUZZ_FAMILY(kip_array_uint, uint32_t, uint)
KIP_FUZZ_FAMILY(kip_array_mpz, mpz_t, mpz)
KIP_FUZZ_FAMILY(kip_array_mpz_complex, kip_mpz_complex, mpz_complex)
#undef KIP_FUZZ_FAMILY

void fill(FuzzInput& in, double& e) { e = in.sample(); }
void fill(FuzzInput& in, kip_complex& e) { e = kip_complex { in.sample(), in.sample() }; }
void fill(FuzzInput& in, uint32_t& e) { e = in.byte() < 200 ? in.byte() % 8 : in.u32(); }
void fill(FuzzInput& in, mpz_t& e) { mpz_set_si(e, static_cast<int8_t>(in.byte())); }
void fill(FuzzInput& in, kip_mpz_complex& e)
{
    mpz_set_si(e.re, static_cast<int8_t>(in.byte()));
    mpz_set_si(e.im, 0);
}

void append(std::string& s, const void* p, std::size_t n)
{
    s.append(static_cast<const char*>(p), n);
}
void append_element(std::string& s, const double& e) { append(s, &e, sizeof e); }
void append_element(std::string& s, const kip_complex& e) { append(s, &e, sizeof e); }
void append_mpz(std::string& s, mpz_srcptr z)
{
    char* text = mpz_get_str(nullptr, 16, z);
    s += text;
    s += ',';
    void (*release)(void*, std::size_t);
    mp_get_memory_functions(nullptr, nullptr, &release);
    release(text, std::strlen(text) + 1);
}
void append_element(std::string& s, const mpz_t& e) { append_mpz(s, e); }
void append_element(std::string& s, const kip_mpz_complex& e)
{
    append_mpz(s, e.re);
    append_mpz(s, e.im);
}

// Everything a call could change in an array record and its storage.
template <class A> std::string snapshot(const A* a)
{
    std::string s;
    if (a == nullptr)
        return s;
    append(s, a, sizeof *a);
    for (std::size_t i = 0; a->dim != nullptr && i < a->dim_capacity; ++i)
        append(s, &a->dim[i], sizeof a->dim[i]);
    for (std::size_t i = 0; a->data != nullptr && i < a->data_capacity; ++i)
        append_element(s, a->data[i]);
    return s;
}

template <class A> void release(A* a)
{
    if (a == nullptr)
        return;
    a->owner = 0;
    CHECK(Family<A>::destroy(a) == nullptr);
}

// Arrays handed to a call are freed when the call is over; sinks live until the end.
template <class A> struct Owned {
    A* a = nullptr;
    explicit Owned(A* p)
        : a(p)
    {
    }
    ~Owned() { release(a); }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
};

// An array shaped like `natural` (dims), with every field open to lies: dim_size, the
// dimension storage, each length, data_size and owner; the storage really holds
// data_capacity (at most kMaxElements) elements.
template <class A> A* make_array(FuzzInput& in, std::initializer_list<std::size_t> natural)
{
    A* a = Family<A>::create();
    CHECK(a != nullptr);
    const std::size_t nd = natural.size();
    std::size_t dim_size = in.byte() % 8 == 0 ? in.below(5) : nd;
    std::size_t dim_cap = in.byte() % 8 == 0 ? in.below(4) : dim_size;
    CHECK(Family<A>::reserve_dim(a, dim_cap) == 0);
    std::size_t elements = 1;
    for (std::size_t i = 0; i < nd; ++i) {
        const std::size_t d = natural.begin()[i];
        elements = d != 0 && elements > kMaxElements / d ? kMaxElements + 1 : elements * d;
    }
    for (std::size_t i = 0; i < dim_cap; ++i)
        a->dim[i] = in.length(i < nd ? natural.begin()[i] : 1);
    a->dim_size = dim_size;

    std::size_t cap = elements;
    switch (in.byte() % 8) {
    case 0:
        cap = elements + 1;
        break;
    case 1:
        cap = elements > 0 ? elements - 1 : 0;
        break;
    case 2:
        cap = in.below(64);
        break;
    default:
        break;
    }
    if (cap > kMaxElements)
        cap = kMaxElements;
    CHECK(Family<A>::reserve_data(a, cap) == 0);
    for (std::size_t i = 0; i < cap; ++i)
        fill(in, a->data[i]);
    switch (in.byte() % 8) {
    case 0:
        a->data_size = elements;
        break; // may exceed the storage
    case 1:
        a->data_size = cap + 1;
        break;
    case 2:
        a->data_size = 0;
        break;
    case 3:
        a->data_size = SIZE_MAX;
        break;
    default:
        a->data_size = cap;
        break;
    }
    if (in.byte() % 32 == 0)
        a->owner = 1;
    return a;
}

// Outputs of a successful collection hold what they state.
template <class A> void check_filled(const A* a)
{
    CHECK(a->data_size <= a->data_capacity);
    if (a->dim_size == 3 && a->dim != nullptr && a->dim_capacity >= 3) {
        unsigned __int128 product = static_cast<unsigned __int128>(a->dim[0]) * a->dim[1];
        product *= a->dim[2];
        CHECK(product <= a->data_size);
    }
}

// ---------------------------------------------------------------- the data handler

struct Handler {
    kip_fir_v6_3* model = nullptr; // the model whose delivery calls it
    int32_t result = 0;
    bool reset_model = false;
    int calls = 0;
    int nonzero = 0; // calls that returned non-zero
    static int32_t call(const kip_array_real* data, void* arg1, void*)
    {
        Handler* h = static_cast<Handler*>(arg1);
        CHECK(data != nullptr);
        check_filled(data);
        ++h->calls;
        if (h->result != 0)
            ++h->nonzero;
        if (h->reset_model)
            CHECK(kip_fir_v6_3_reset(h->model) == 0);
        return h->result;
    }
};

// ---------------------------------------------------------------- configuration

kip_fir_v6_3_config hostile_config(FuzzInput& in, std::vector<double>& coeff)
{
    kip_fir_v6_3_config c;
    CHECK(kip_fir_v6_3_default_config(&c) == 0);
    c.filter_type = in.int_field(c.filter_type, { 1, 2, 3, 4, 5, -1 });
    c.rate_change = in.int_field(c.rate_change, { 1, 2, -1 });
    c.interp_rate = in.int_field(c.interp_rate, { 0, 2, 3, 4, 5, 7, 1024, 1025, -1 });
    c.decim_rate = in.int_field(c.decim_rate, { 0, 2, 3, 4, 5, 7, 1024, 1025, -1 });
    c.zero_pack_factor = in.int_field(c.zero_pack_factor, { 0, 2, 3, 8, 9, -1 });
    c.coeff_padding = in.int_field(c.coeff_padding, { 1, 2, 100, 1 << 22, INT32_MAX, -1 });
    c.num_coeffs = in.int_field(c.num_coeffs, { 1, 2, 3, 5, 8, 64, 0, -1, INT32_MAX });
    c.coeff_sets = in.int_field(c.coeff_sets, { 2, 3, 4, 0, -1, INT32_MAX });
    c.reloadable = in.int_field(c.reloadable, { 1, 2 });
    c.is_halfband = in.int_field(c.is_halfband, { 1, 2 });
    c.quantization = in.int_field(c.quantization, { 1, 2, 3 });
    c.coeff_width = in.int_field(c.coeff_width, { 0, 1, 2, 8, 24, 32, 48, 49, 50 });
    c.coeff_fract_width
        = in.int_field(c.coeff_fract_width, { 1, 2, 15, 16, 40, -1, -40, 1023, -1023, 1024 });
    c.chan_seq = in.int_field(c.chan_seq, { 1, 2 });
    c.num_channels = in.int_field(c.num_channels, { 2, 3, 4, 6, 8, 12, 16, 64, 0, 65 });
    c.init_pattern = in.int_field(c.init_pattern, { 0, 1, 10, 50, 100, 173, 174, -1 });
    c.num_paths = in.int_field(c.num_paths, { 2, 3, 16, 0, 17 });
    c.data_width = in.int_field(c.data_width, { 0, 1, 2, 8, 24, 40, 45, 49, 50 });
    c.data_fract_width = in.int_field(c.data_fract_width, { 1, 8, 15, 16, 40, 49, 50, -1 });
    c.output_rounding = in.int_field(c.output_rounding, { 1, 2, 3, 4, 5, 6, 7, 8 });
    c.output_width = in.int_field(c.output_width, { 0, 1, 8, 16, 32, 60, 100 });
    c.output_fract_width = in.int_field(c.output_fract_width, { -1, 5 });
    c.config_method = in.int_field(c.config_method, { 1, 2 });

    // coeff must hold num_coeffs * coeff_sets values (the library cannot check): keep the
    // product within what the harness provides.
    if (c.num_coeffs > 0 && c.coeff_sets > 0) {
        if (static_cast<std::size_t>(c.num_coeffs) > kMaxCoeffs)
            c.num_coeffs = kMaxCoeffs;
        const std::size_t most_sets = kMaxCoeffs / static_cast<std::size_t>(c.num_coeffs);
        if (static_cast<std::size_t>(c.coeff_sets) > most_sets)
            c.coeff_sets = static_cast<int32_t>(most_sets);
        const std::size_t n
            = static_cast<std::size_t>(c.num_coeffs) * static_cast<std::size_t>(c.coeff_sets);
        if (in.flag()) {
            coeff.assign(c.coeff, c.coeff + (n < 21 ? n : 21));
            coeff.resize(n, 1.0);
        } else {
            coeff.resize(n);
            for (double& v : coeff)
                v = in.sample();
        }
        c.coeff = coeff.data();
    }
    if (in.byte() % 64 == 0)
        c.coeff = nullptr;
    return c;
}

// ---------------------------------------------------------------- one run

struct Run {
    FuzzInput& in;
    kip_fir_v6_3* model = nullptr;
    kip_fir_v6_3* chained = nullptr; // second model fed by a chaining handler
    Log log, dbg, chained_log;
    Handler handler;
    kip_fir_v6_3_config cfg {}; // as completed by the model
    kip_fir_v6_3_config original {}; // as given to create
    std::vector<double> coeff; // its coefficients
    std::size_t np = 1, nc = 1;
    std::vector<kip_array_real*> real_sinks;
    std::vector<kip_array_complex*> complex_sinks;
    std::vector<kip_array_mpz*> mpz_sinks;
    std::vector<kip_array_mpz_complex*> mpz_complex_sinks;
    kip_array_real* sink_real = nullptr; // the installed sink, if any
    kip_array_complex* sink_complex = nullptr;
    kip_array_mpz* sink_mpz = nullptr;
    kip_array_mpz_complex* sink_mpz_complex = nullptr;

    explicit Run(FuzzInput& input)
        : in(input)
    {
    }

    // Status rules of every call with non-null arguments.
    struct Counts {
        int errors, total, chained_total, nonzero;
    };
    Counts counts() const
    {
        return Counts { log.errors, log.total(), chained_log.total(), handler.nonzero };
    }
    void check_status(int32_t rc, const Counts& before) const
    {
        CHECK(rc == 0 || rc == 1);
        if (rc == 0)
            CHECK(log.errors == before.errors);
        if (rc == 1)
            CHECK(log.total() > before.total || chained_log.total() > before.chained_total
                || handler.nonzero > before.nonzero);
    }

    template <class A> A* frame()
    {
        return make_array<A>(in, { np, nc, static_cast<std::size_t>(in.below(9)) });
    }

    void send_frame(int how)
    {
        Owned<kip_array_real> a(frame<kip_array_real>());
        const std::string before_in = snapshot(a.a);
        const Counts before = counts();
        const int calls = handler.calls;
        const int32_t rc = how == 0 ? kip_fir_v6_3_data_send(model, a.a)
                                    : kip_fir_v6_3_data_send_handler(a.a, model, nullptr);
        check_status(rc, before);
        CHECK(snapshot(a.a) == before_in); // input arrays are only read
        if (rc == 0 && handler.calls == calls) {
            // Accepted: the array holds every sample its dimensions imply.
            CHECK(a.a->dim_size == 2 || a.a->dim_size == 3);
            CHECK(a.a->dim[0] == np && a.a->dim[1] == nc);
            const std::size_t v = a.a->dim_size == 3 ? a.a->dim[2] : 1;
            const std::size_t held
                = a.a->data_size < a.a->data_capacity ? a.a->data_size : a.a->data_capacity;
            CHECK(v <= held / (np * nc));
        }
        check_sinks(rc);
    }

    void send_clean_frame()
    {
        const std::size_t v = 1 + in.below(16);
        kip_array_real* a = kip_array_real_create();
        CHECK(a != nullptr && kip_array_real_reserve_dim(a, 3) == 0);
        CHECK(kip_array_real_reserve_data(a, np * nc * v) == 0);
        a->dim_size = 3;
        a->dim[0] = np, a->dim[1] = nc, a->dim[2] = v;
        a->data_size = np * nc * v;
        const uint8_t seed = in.byte();
        for (std::size_t i = 0; i < a->data_size; ++i)
            a->data[i] = static_cast<double>(static_cast<int>((seed + 37 * i) % 200) - 100);
        const Counts before = counts();
        const int32_t rc = kip_fir_v6_3_data_send(model, a);
        check_status(rc, before);
        release(a);
        check_sinks(rc);
    }

    void send_channel()
    {
        Owned<kip_array_real> a(make_array<kip_array_real>(in, { np }));
        const Counts before = counts();
        check_status(kip_fir_v6_3_data_send_channel(model, a.a), before);
    }

    template <class A, class B, class Get> void get(Get call, bool frame_shape)
    {
        const bool first = in.flag();
        Owned<A> a(first ? (frame_shape ? frame<A>() : make_array<A>(in, { np })) : nullptr);
        Owned<B> b(first ? nullptr : (frame_shape ? frame<B>() : make_array<B>(in, { np })));
        const std::string sa = snapshot(a.a), sb = snapshot(b.a);
        // The model never raises data_size above data_capacity; a caller's record that
        // already claims more is its own.
        const bool consistent
            = a.a ? a.a->data_size <= a.a->data_capacity : b.a->data_size <= b.a->data_capacity;
        const Counts before = counts();
        const int32_t rc = call(model, a.a, b.a);
        check_status(rc, before);
        if (rc != 0) {
            CHECK(snapshot(a.a) == sa);
            CHECK(snapshot(b.a) == sb);
        } else if (a.a) {
            check_output(*a.a, frame_shape, consistent);
        } else {
            check_output(*b.a, frame_shape, consistent);
        }
    }

    template <class A> void check_output(const A& a, bool frame_shape, bool consistent)
    {
        if (frame_shape) {
            if (consistent)
                check_filled(&a);
        } else {
            CHECK(a.data_size == 0 || a.data_size == np);
            CHECK(a.data_size <= a.data_capacity);
        }
    }

    // After a successful delivery the installed sink holds what it states.
    void check_sinks(int32_t rc) const
    {
        if (rc != 0)
            return;
        if (sink_real)
            check_filled(sink_real);
        if (sink_complex)
            check_filled(sink_complex);
        if (sink_mpz)
            check_filled(sink_mpz);
        if (sink_mpz_complex)
            check_filled(sink_mpz_complex);
    }

    template <class A> A* new_sink(std::vector<A*>& list)
    {
        A* s = make_array<A>(in, { np, nc, 1 });
        list.push_back(s);
        return s;
    }

    void installed(
        kip_array_real* r, kip_array_complex* c, kip_array_mpz* z, kip_array_mpz_complex* zc)
    {
        sink_real = r;
        sink_complex = r ? nullptr : c;
        sink_mpz = z;
        sink_mpz_complex = z ? nullptr : zc;
    }

    void set_sink(bool mpz)
    {
        const unsigned which = in.below(3); // first of the pair, second, or neither
        const Counts before = counts();
        int32_t rc;
        if (!mpz) {
            kip_array_real* r = which == 0 ? new_sink(real_sinks) : nullptr;
            kip_array_complex* c = which == 1 ? new_sink(complex_sinks) : nullptr;
            rc = kip_fir_v6_3_set_data_sink(model, r, c);
            if (rc == 0)
                installed(r, c, nullptr, nullptr);
        } else {
            kip_array_mpz* r = which == 0 ? new_sink(mpz_sinks) : nullptr;
            kip_array_mpz_complex* c = which == 1 ? new_sink(mpz_complex_sinks) : nullptr;
            rc = kip_fir_v6_3_set_data_sink_mpz(model, r, c);
            if (rc == 0)
                installed(nullptr, nullptr, r, c);
        }
        if (which == 2)
            CHECK(rc == 1);
        else
            check_status(rc, before);
    }

    void set_handler()
    {
        const Counts before = counts();
        int32_t rc;
        switch (in.below(3)) {
        case 0:
            handler.result = in.below(4) == 0 ? 1 : 0;
            handler.reset_model = in.below(4) == 0;
            rc = kip_fir_v6_3_set_data_handler(model, &Handler::call, &handler, nullptr);
            break;
        case 1:
            if (chained == nullptr) {
                chained = kip_fir_v6_3_create(&original, &Log::record, &chained_log);
                CHECK(chained != nullptr); // the completed configuration builds again
            }
            rc = kip_fir_v6_3_set_data_handler(
                model, &kip_fir_v6_3_data_send_handler, chained, nullptr);
            break;
        default:
            rc = kip_fir_v6_3_set_data_handler(model, nullptr, nullptr, nullptr);
            break;
        }
        check_status(rc, before);
    }

    template <class A, class B, class Size> void calc(Size call)
    {
        Owned<kip_array_real> input(frame<kip_array_real>());
        const bool first = in.flag();
        Owned<A> a(first ? make_array<A>(in, { np, nc, 1 }) : nullptr);
        Owned<B> b(first ? nullptr : make_array<B>(in, { np, nc, 1 }));
        const std::string sa = snapshot(a.a), sb = snapshot(b.a), si = snapshot(input.a);
        const Counts before = counts();
        const int32_t rc = call(model, input.a, a.a, b.a);
        check_status(rc, before);
        CHECK(snapshot(input.a) == si);
        if (rc != 0) {
            CHECK(snapshot(a.a) == sa);
            CHECK(snapshot(b.a) == sb);
        }
    }

    void get_config()
    {
        kip_fir_v6_3_config c;
        std::memset(&c, 0xA5, sizeof c);
        const Counts before = counts();
        check_status(kip_fir_v6_3_get_config(model, &c), before);
        CHECK(c.name == cfg.name && c.coeff == nullptr);
        CHECK(c.num_paths == cfg.num_paths && c.num_channels == cfg.num_channels);
        CHECK(c.output_width == cfg.output_width && c.init_pattern == cfg.init_pattern);
    }

    void reload()
    {
        kip_fir_v6_3_rld_packet p {};
        p.fsel = in.int_field(0, { 1, 2, 3, -1, 100 });
        Owned<kip_array_real> coeff(in.byte() % 16 == 0
                ? nullptr
                : make_array<kip_array_real>(in, { static_cast<std::size_t>(cfg.num_coeffs) }));
        p.coeff = coeff.a;
        const std::string before_coeff = snapshot(coeff.a);
        const Counts before = counts();
        check_status(kip_fir_v6_3_reload_send(model, &p), before);
        CHECK(snapshot(coeff.a) == before_coeff);
    }

    void config_packet()
    {
        kip_fir_v6_3_cnfg_packet p {};
        p.chanpat = in.int_field(cfg.init_pattern, { 0, 1, 37, 100, 173, 174, 175, -1 });
        const std::size_t n = cfg.config_method == 1 ? nc : 1;
        Owned<kip_array_uint> fsel(
            in.byte() % 16 == 0 ? nullptr : make_array<kip_array_uint>(in, { n }));
        p.fsel = fsel.a;
        const Counts before = counts();
        check_status(kip_fir_v6_3_config_send(model, &p), before);
    }

    // The exported channel accessors on a scratch array: a refusal changes nothing.
    void accessors()
    {
        const std::size_t path = in.length(np / 2), chan = in.length(nc / 2);
        const std::size_t index = in.length(in.below(4));
        const int32_t pattern = in.int_field(175, { 0, 1, 37, 100, 173, 174, -1, 176 });
        switch (in.below(4)) {
        case 0: {
            Owned<kip_array_real> a(frame<kip_array_real>());
            const std::string s = snapshot(a.a);
            double v = 12345.0;
            if (kip_array_real_get_chan(a.a, &v, path, chan, index, pattern) != 0)
                CHECK(v == 12345.0);
            CHECK(snapshot(a.a) == s);
            const int rc = kip_array_real_set_chan(a.a, in.sample(), path, chan, index, pattern);
            if (rc != 0)
                CHECK(snapshot(a.a) == s);
            break;
        }
        case 1: {
            Owned<kip_array_complex> a(frame<kip_array_complex>());
            const std::string s = snapshot(a.a);
            const kip_complex value { in.sample(), in.sample() };
            if (kip_array_complex_set_chan(a.a, value, path, chan, index, pattern) != 0)
                CHECK(snapshot(a.a) == s);
            break;
        }
        case 2: {
            Owned<kip_array_mpz> a(frame<kip_array_mpz>());
            const std::string s = snapshot(a.a);
            mpz_t v;
            mpz_init_set_si(v, -7);
            if (kip_array_mpz_get_chan(a.a, v, path, chan, index, pattern) != 0)
                CHECK(mpz_cmp_si(v, -7) == 0);
            if (kip_array_mpz_set_chan(a.a, v, path, chan, index, pattern) != 0)
                CHECK(snapshot(a.a) == s);
            mpz_clear(v);
            break;
        }
        default: {
            Owned<kip_array_mpz_complex> a(frame<kip_array_mpz_complex>());
            const std::string s = snapshot(a.a);
            kip_mpz_complex v;
            mpz_init_set_si(v.re, 3);
            mpz_init_set_si(v.im, 4);
            if (kip_array_mpz_complex_get_chan(a.a, &v, path, chan, index, pattern) != 0)
                CHECK(mpz_cmp_si(v.re, 3) == 0 && mpz_cmp_si(v.im, 4) == 0);
            if (kip_array_mpz_complex_set_chan(a.a, v, path, chan, index, pattern) != 0)
                CHECK(snapshot(a.a) == s);
            mpz_clear(v.re);
            mpz_clear(v.im);
            break;
        }
        }
    }

    void step(unsigned op)
    {
        switch (op) {
        case 0:
        case 1:
            send_frame(0);
            break;
        case 2:
            send_frame(1);
            break;
        case 3:
        case 4:
            send_clean_frame();
            break;
        case 5:
            send_channel();
            break;
        case 6:
            get<kip_array_real, kip_array_complex>(&kip_fir_v6_3_data_get, true);
            break;
        case 7:
            get<kip_array_mpz, kip_array_mpz_complex>(&kip_fir_v6_3_data_get_mpz, true);
            break;
        case 8:
            get<kip_array_real, kip_array_complex>(&kip_fir_v6_3_data_get_channel, false);
            break;
        case 9:
            get<kip_array_mpz, kip_array_mpz_complex>(&kip_fir_v6_3_data_get_channel_mpz, false);
            break;
        case 10:
            set_sink(false);
            break;
        case 11:
            set_sink(true);
            break;
        case 12:
            set_handler();
            break;
        case 13:
            calc<kip_array_real, kip_array_complex>(&kip_fir_v6_3_calc_size);
            break;
        case 14:
            calc<kip_array_mpz, kip_array_mpz_complex>(&kip_fir_v6_3_calc_size_mpz);
            break;
        case 15:
            get_config();
            break;
        case 16:
            reload();
            break;
        case 17:
            config_packet();
            break;
        case 18: {
            const Counts before = counts();
            check_status(kip_fir_v6_3_reset(model), before);
            break;
        }
        default:
            accessors();
            break;
        }
    }

    void run()
    {
        original = hostile_config(in, coeff);
        const kip_fir_v6_3_config& c = original;
        const bool debug = in.flag();
        model = debug ? kip_fir_v6_3_create_dbg(&c, &Log::record, &log, &Log::record, &dbg)
                      : kip_fir_v6_3_create(&c, &Log::record, &log);
        if (model == nullptr) {
            CHECK(log.errors == 1); // a refused configuration says why, once
            return;
        }
        CHECK(log.errors == 0);
        CHECK(kip_fir_v6_3_get_config(model, &cfg) == 0);
        CHECK(cfg.num_paths >= 1 && cfg.num_paths <= 16);
        CHECK(cfg.num_channels >= 1 && cfg.num_channels <= 64);
        CHECK(cfg.interp_rate >= 1 && cfg.decim_rate >= 1 && cfg.zero_pack_factor >= 1);
        np = static_cast<std::size_t>(cfg.num_paths);
        nc = static_cast<std::size_t>(cfg.num_channels);
        handler.model = model;
        for (int i = 0; i < kMaxOps && !in.empty(); ++i)
            step(in.below(20));
    }

    ~Run()
    {
        if (model)
            CHECK(kip_fir_v6_3_destroy(model) == 0);
        if (chained)
            CHECK(kip_fir_v6_3_destroy(chained) == 0);
        for (auto* s : real_sinks)
            release(s);
        for (auto* s : complex_sinks)
            release(s);
        for (auto* s : mpz_sinks)
            release(s);
        for (auto* s : mpz_complex_sinks)
            release(s);
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    FuzzInput in(data, size);
    Run run(in);
    run.run();
    return 0;
}
