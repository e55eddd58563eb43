// kip-golden fir: JSON configuration and stimulus words through the FIR model to output words.
#include "golden.h"

#include <tapforge_v6_3_bitacc_cmodel.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>

namespace golden {

namespace {

    // Keys of the configuration: the fields the library describes, and the coefficient file.
    std::vector<std::string> fir_keys()
    {
        std::vector<std::string> keys;
        for (int32_t i = 0; i < kip_fir_v6_3_field_count(); ++i)
            keys.push_back(kip_fir_v6_3_field_at(i)->name);
        keys.push_back("coeff_file");
        return keys;
    }

    // Collects the model's messages: warnings go to stderr with a clear prefix; the last error is
    // kept and reported in the tool's own error message.
    struct MessageSink {
        std::string last_error;
        static void handler(void* handle, int32_t error, const char* message)
        {
            auto* self = static_cast<MessageSink*>(handle);
            if (error)
                self->last_error = message;
            else
                std::fprintf(stderr, "kip-golden: FIR model: %s\n", message);
        }
    };

    std::string folder_of(const std::string& path)
    {
        std::size_t s = path.rfind('/');
        return s == std::string::npos ? std::string() : path.substr(0, s + 1);
    }

    struct ModelDeleter {
        void operator()(kip_fir_v6_3* m) const { kip_fir_v6_3_destroy(m); }
    };
    struct RealDeleter {
        void operator()(kip_array_real* a) const { kip_array_real_destroy(a); }
    };
    struct MpzDeleter {
        void operator()(kip_array_mpz* a) const { kip_array_mpz_destroy(a); }
    };
    struct MpzComplexDeleter {
        void operator()(kip_array_mpz_complex* a) const { kip_array_mpz_complex_destroy(a); }
    };

} // namespace

void fir_setup(const ConfigKeys& keys, const CoeffLoader& load, FirSetup& s)
{
    keys.check_known(fir_keys());
    kip_fir_v6_3_config& cfg = s.cfg;
    kip_fir_v6_3_default_config(&cfg);
    const int64_t default_taps = int64_t(cfg.num_coeffs) * cfg.coeff_sets;
    s.name = cfg.name;
    keys.get_string("name", s.name);
    cfg.name = s.name.c_str();
    for (int32_t i = 0; i < kip_fir_v6_3_field_count(); ++i) {
        const kip_fir_v6_3_field_desc& f = *kip_fir_v6_3_field_at(i);
        if (!keys.has(f.name))
            continue;
        if (f.computed)
            keys.fail(
                f.name, "computed by the model from the widths and cannot be set; remove the key");
        if (f.kind != KIP_FIR_V6_3_FIELD_INT && f.kind != KIP_FIR_V6_3_FIELD_FLAG
            && f.kind != KIP_FIR_V6_3_FIELD_CHOICE)
            continue; // name and coeff, read on their own
        int32_t v = 0;
        keys.get_int(f.name, v, f.min_value, f.max_value);
        char msg[KIP_FIR_V6_3_MSG_LEN];
        if (kip_fir_v6_3_config_set_field(&cfg, f.name, v, msg, sizeof msg) != 0)
            keys.fail(f.name, msg);
    }

    // Coefficients: inline, from a file, or the library's default set. The model cannot check
    // the length of the list it is given, so it is checked here against num_coeffs x coeff_sets.
    std::vector<double>& coeff = s.coeff;
    std::string coeff_key;
    std::size_t nested_sets = 0;
    if (keys.has("coeff") && keys.has("coeff_file"))
        keys.fail("coeff_file", "give either coeff or coeff_file, not both");
    if (keys.has("coeff")) {
        coeff_key = "coeff";
        keys.get_real_array("coeff", coeff, nested_sets);
    } else if (keys.has("coeff_file")) {
        coeff_key = "coeff_file";
        std::string path;
        keys.get_string("coeff_file", path);
        if (path.empty())
            keys.fail("coeff_file", "empty file name");
        if (path[0] != '/')
            path = folder_of(keys.file()) + path;
        s.coeff_file = path;
        coeff = load(path);
    }
    if (!coeff_key.empty()) {
        if (coeff.empty())
            keys.fail(coeff_key, "no coefficients");
        if (nested_sets > 0) {
            if (keys.has("coeff_sets") && std::size_t(cfg.coeff_sets) != nested_sets)
                keys.fail("coeff_sets",
                    "coeff holds " + std::to_string(nested_sets) + " sets, coeff_sets says "
                        + std::to_string(cfg.coeff_sets));
            cfg.coeff_sets = int32_t(nested_sets);
            if (!keys.has("num_coeffs"))
                cfg.num_coeffs = int32_t(coeff.size() / nested_sets);
        } else if (!keys.has("num_coeffs") && cfg.coeff_sets > 0) {
            if (coeff.size() % std::size_t(cfg.coeff_sets) != 0)
                keys.fail(coeff_key,
                    std::to_string(coeff.size()) + " coefficients do not divide into coeff_sets = "
                        + std::to_string(cfg.coeff_sets) + " equal sets");
            cfg.num_coeffs = int32_t(coeff.size() / std::size_t(cfg.coeff_sets));
        }
        if (int64_t(cfg.num_coeffs) * cfg.coeff_sets != int64_t(coeff.size()))
            keys.fail(coeff_key,
                "holds " + std::to_string(coeff.size())
                    + " coefficients; num_coeffs x coeff_sets = " + std::to_string(cfg.num_coeffs)
                    + " x " + std::to_string(cfg.coeff_sets));
        cfg.coeff = coeff.data();
    } else if (int64_t(cfg.num_coeffs) * cfg.coeff_sets != default_taps) {
        keys.fail(keys.has("num_coeffs") ? "num_coeffs" : "coeff_sets",
            "without coeff or coeff_file the " + std::to_string(default_taps)
                + " default coefficients are used, so num_coeffs x coeff_sets must be "
                + std::to_string(default_taps));
    }
}

int run_fir(const RunOptions& opt)
{
    std::vector<FileId> inputs;
    FileId id;
    if (file_id("configuration file", opt.config, id))
        inputs.push_back(id);
    const ConfigKeys keys(opt.config, read_json_config(opt.config));
    FirSetup setup;
    fir_setup(
        keys,
        [](const std::string& path) {
            ByteSource src(path, "coefficient file");
            return read_coeff_values(src);
        },
        setup);
    if (!setup.coeff_file.empty() && file_id("coefficient file", setup.coeff_file, id))
        inputs.push_back(id);
    const kip_fir_v6_3_config& cfg = setup.cfg;

    MessageSink msgs;
    std::unique_ptr<kip_fir_v6_3, ModelDeleter> model(
        kip_fir_v6_3_create(&cfg, &MessageSink::handler, &msgs));
    if (!model)
        throw InputError(
            opt.config + ": configuration refused by the FIR model: " + msgs.last_error);
    // Settings the model ignores: one warning line each.
    {
        char notes[KIP_FIR_V6_3_MSG_LEN];
        if (kip_fir_v6_3_config_check(&cfg, notes, sizeof notes) > 0) {
            std::string text = notes;
            for (std::size_t b = 0, e; b < text.size(); b = e + 1) {
                e = text.find('\n', b);
                if (e == std::string::npos)
                    e = text.size();
                std::fprintf(stderr, "kip-golden: warning: %s: %s\n", opt.config.c_str(),
                    text.substr(b, e - b).c_str());
            }
        }
    }
    kip_fir_v6_3_config eff;
    kip_fir_v6_3_get_config(model.get(), &eff);
    const std::size_t np = std::size_t(eff.num_paths), nc = std::size_t(eff.num_channels);
    const bool hilbert = eff.filter_type == 3;
    if (eff.data_width < 1 || eff.data_width > 64 || eff.output_width < 1)
        throw InputError(opt.config + ": data_width " + std::to_string(eff.data_width)
            + " or output_width " + std::to_string(eff.output_width)
            + " leaves no word to read or write");

    ByteSource src(opt.input, "input file");
    WordReader in(src, opt.radix, int(eff.data_width), is_npy_name(opt.input));
    const std::size_t frame = np * nc;
    auto not_whole = [&](const std::string& at, std::size_t words) {
        return InputError(at + std::to_string(words)
            + " words are not a whole number of input vectors of num_paths x "
              "num_channels = "
            + std::to_string(frame) + " words (" + std::to_string(words % frame) + " left over)");
    };
    if (in.total() == 0)
        throw InputError(in.file() + ": no input words");
    if (in.total() > 0 && std::size_t(in.total()) % frame != 0)
        throw not_whole(in.file() + ": element " + std::to_string(in.total() - 1) + ": ",
            std::size_t(in.total()));
    inputs.push_back(*src.id());
    OutputFile out(opt.output, opt.radix, inputs);
    if (out.npy() && eff.output_width > 64)
        throw InputError(opt.output + ": " + std::to_string(eff.output_width)
            + "-bit output words do not fit a .npy int64 array; write text output");

    std::unique_ptr<kip_array_mpz, MpzDeleter> sink;
    std::unique_ptr<kip_array_mpz_complex, MpzComplexDeleter> sink_c;
    if (hilbert)
        sink_c.reset(kip_array_mpz_complex_create());
    else
        sink.reset(kip_array_mpz_create());
    if ((!hilbert && !sink) || (hilbert && !sink_c))
        throw ModelError("out of memory");
    if (kip_fir_v6_3_set_data_sink_mpz(model.get(), sink.get(), sink_c.get()) != 0)
        throw ModelError("the FIR model refused the output sink: " + msgs.last_error);

    // Vectors go in chunks of about 64k samples; each data_send refills the sink with every
    // complete output vector.
    const std::size_t chunk = std::max<std::size_t>(1, 65536 / frame);
    std::unique_ptr<kip_array_real, RealDeleter> block(kip_array_real_create());
    if (!block || kip_array_real_reserve_dim(block.get(), 3) != 0
        || kip_array_real_reserve_data(block.get(), chunk * frame) != 0)
        throw ModelError("out of memory");
    block->dim_size = 3;
    block->dim[0] = np;
    block->dim[1] = nc;
    std::size_t out_vectors = 0, vectors = 0;
    for (;;) {
        // Read up to one block of whole vectors; what is read stays bounded by the block.
        std::size_t nw = 0;
        int64_t w;
        while (nw < chunk * frame && in.next(w))
            block->data[nw++] = std::ldexp(double(w), -eff.data_fract_width);
        if (nw % frame != 0)
            throw not_whole(in.last_at(), in.count());
        if (nw == 0)
            break;
        const std::size_t nv = nw / frame;
        block->dim[2] = nv;
        block->data_size = nw;
        if (kip_fir_v6_3_data_send(model.get(), block.get()) != 0)
            throw ModelError("the FIR model failed on input vectors " + std::to_string(vectors)
                + " to " + std::to_string(vectors + nv - 1) + ": " + msgs.last_error);
        vectors += nv;
        if (hilbert) {
            const std::size_t n = sink_c->data_size;
            for (std::size_t i = 0; i < n; ++i) {
                out.put(sink_c->data[i].re, eff.data_width);
                out.put(sink_c->data[i].im, eff.output_width);
            }
            if (n)
                out_vectors += sink_c->dim[2];
        } else {
            const std::size_t n = sink->data_size;
            for (std::size_t i = 0; i < n; ++i)
                out.put(sink->data[i], eff.output_width);
            if (n)
                out_vectors += sink->dim[2];
        }
        out.flush();
    }
    if (vectors == 0)
        throw InputError(in.file() + ": no input words");
    if (hilbert)
        out.set_shape({ out_vectors, nc, np, 2 });
    else
        out.set_shape({ out_vectors, nc, np });
    if (out.wrapped())
        std::fprintf(stderr,
            "kip-golden: warning: %zu output word(s) lay outside their width and were "
            "written modulo 2^width (first: output word %zu)\n",
            out.wrapped(), out.first_wrapped());
    out.commit();
    std::fprintf(out.to_stdout() ? stderr : stdout,
        "kip-golden fir: %zu input vectors, %zu output vectors (%zu words) of %d-bit words "
        "with %d fractional bits, to %s\n",
        vectors, out_vectors, out.count(), eff.output_width, eff.output_fract_width,
        opt.output.c_str());
    return 0;
}

} // namespace golden
