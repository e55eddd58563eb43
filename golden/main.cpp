// kip-golden: command line of the golden-vector tool (fir and fft commands).
#include "golden.h"

#include <CLI/CLI.hpp>

#include <kfft_v8_0_bitacc_cmodel.h>
#include <tapforge_v6_3_bitacc_cmodel.h>

#include <csignal>
#include <cstdio>
#include <exception>
#include <new>
#include <string>

namespace {

const char* const description
    = R"(kip-golden: golden vectors for RTL test benches from the bit-accurate models.

  kip-golden fir --config fir.json --input stim.txt --output golden.txt
  kip-golden fft --config fft.json --input frames.txt --output spectra.txt)";

const char* const footer
    = R"(Word files: one word per line, two's complement of the stated width. With --radix hex
(the default, the format $readmemh reads) a word is its bits as plain hex digits; the tool
writes exactly ceil(width/4) digits, zero-padded, no prefix, and reads any digit count up to
the width ('_' separators and a 0x prefix accepted). With --radix dec a word is a signed
decimal number. Input files may hold blank lines and // comments. A file name ending in
.npy reads (any integer dtype, C order) or writes (int64) a NumPy array instead.

Files are read and written as the run goes: memory stays bounded by one block of input
vectors (FIR) or one frame (FFT), whatever the file sizes; text lines are limited to 4096
characters before a // comment, a configuration to 16 MiB. --output - (or /dev/stdout)
writes to standard output.

Output: a regular file is written under a temporary name (.kip-golden-XXXXXX) in its
folder and renamed into place at the end, so a refused or interrupted run (SIGINT,
SIGTERM, SIGHUP) leaves the previous file untouched and no temporary file behind. A
symbolic link is followed: its target is replaced, the link kept. A FIFO, a device or
standard output is written directly (a run stopped half-way leaves what was written).
An output that is the same file as the input, the configuration or the coefficient file
is refused.

On success one summary line (counts and the output word width) goes to standard output
(to standard error when the words go to standard output).
Exit status: 0 success; 2 refused arguments, configuration, input words or output path
(the message names the file and line; no output file is left behind); 1 a model failure.
Messages of the FIR model are printed with the prefix "kip-golden: FIR model:"; the FFT
model prints its own "ERROR:kfft_v8_0:" and "WARNING:kfft_v8_0:" lines.
"kip-golden fir --help" and "kip-golden fft --help" describe each command's files.)";

// One described field as an indented paragraph of at most 92 columns.
std::string field_lines(const std::string& text)
{
    std::string out, line = "  ";
    std::size_t b = 0;
    while (b < text.size()) {
        std::size_t e = text.find(' ', b);
        if (e == std::string::npos)
            e = text.size();
        const std::string word = text.substr(b, e - b);
        if (line.size() > 6 && line.size() + 1 + word.size() > 92) {
            out += line + "\n";
            line = "      ";
        } else if (line.size() > 2 && line != "      ") {
            line += ' ';
        }
        line += word;
        b = e + 1;
    }
    return out + line + "\n";
}

// The fields of the FIR configuration, from the library's description of them.
std::string fir_help()
{
    std::string s
        = R"(Configuration: a JSON object whose keys are the fields of the FIR configuration record
(below, with their defaults); keys left out take the model's defaults. Coefficients:
"coeff": [..] (one flat list, set after set, or one list per set) or "coeff_file":
"taps.txt" (one real number per line, relative to the configuration's folder); without
either, the model's default taps. num_coeffs (and coeff_sets for a list of lists) follow the
list when not given; a list that does not hold num_coeffs x coeff_sets taps is refused.
Unknown or mistyped keys, and values outside the ranges below, are refused with their line.
Settings the model ignores (a rate the filter type does not use, ...) are reported by a
warning line each. // and /* */ comments are allowed.
)";
    for (int32_t i = 0; i < kip_fir_v6_3_field_count(); ++i) {
        const kip_fir_v6_3_field_desc& f = *kip_fir_v6_3_field_at(i);
        std::string t = f.name;
        if (f.computed) {
            s += field_lines(t + ": " + f.help + "; refused as a key");
            continue;
        }
        if (f.kind == KIP_FIR_V6_3_FIELD_INT || f.kind == KIP_FIR_V6_3_FIELD_FLAG
            || f.kind == KIP_FIR_V6_3_FIELD_CHOICE)
            t += " (" + std::to_string(f.min_value) + " to " + std::to_string(f.max_value)
                + ", default " + f.default_text + ")";
        s += field_lines(t + ": " + f.help + (*f.rule ? std::string("; ") + f.rule : ""));
    }
    s += R"(
Input: words of data_width bits; the real sample is word x 2^-data_fract_width. Order:
paths fastest, then channels (pattern slots with chan_seq 1), then time:
word p + num_paths * (c + num_channels * v) is path p, channel c, input vector v. A word
is in the data format by construction: one beyond data_width bits is refused, never
wrapped.
Output: the output words (output_width bits, in units of 2^-output_fract_width, the
widths the model derives) of every complete output vector, in the same order. Hilbert
filters (filter_type 3) give two lines per output: the real part (the delayed input,
data_width bits), then the imaginary part (the filter output, output_width bits). .npy
output has shape (vectors, num_channels, num_paths[, 2]).)";
    return s;
}

// The FFT generics, from the library's description of them, and the per-frame inputs.
std::string fft_help()
{
    std::string s = "Configuration: a JSON object with the generics (below, with their ranges and "
                    "defaults)\nand the per-frame inputs, used for every frame.\n";
    for (int32_t i = 0; i < kelvar_ip_kfft_v8_0_generic_count(); ++i) {
        const kelvar_ip_kfft_v8_0_generic_desc& g = *kelvar_ip_kfft_v8_0_generic_at(i);
        s += field_lines(std::string(g.name) + " (" + std::to_string(g.min_value) + " to "
            + std::to_string(g.max_value) + ", default " + std::to_string(g.default_value)
            + "): " + g.help + (*g.rule ? std::string("; ") + g.rule : ""));
    }
    s += R"(  nfft         log2 of the frame length (default C_NFFT_MAX; another value needs
               C_HAS_NFFT = 1)
  direction    1 forward (default), 0 inverse
  scaling_sch  per-stage right shifts, first stage first (scaled fixed-point mode only);
               default: the model's default schedule, which divides by 2N and cannot
               overflow for any input frame. Frames that overflow with the schedule given
               are reported by one warning line.
Unknown or mistyped keys, and values outside the ranges above, are refused with their line.

Input: frames of N = 2^nfft complex samples, two words per sample, real part first:
2N words per frame, frames back to back. Fixed point: C_INPUT_WIDTH-bit words, sample
value word x 2^-(C_INPUT_WIDTH-1). Floating point (C_USE_FLT_PT = 1): 32-bit words holding
IEEE single-precision bit patterns.
Output per frame: N bins (bin 0 first), real then imaginary word each, then the block
exponent and the overflow flag as two more words of the bin width: 2N + 2 words per
frame. Bin words have the model's output width (the input width when scaled by a schedule
or block floating point, wider by the full growth when unscaled; 32-bit single-precision
patterns in floating-point mode), value word x 2^-(C_INPUT_WIDTH-1) (block floating point:
times 2^blk_exp). .npy output has shape (frames, 2N + 2).)";
    return s;
}

} // namespace

int main(int argc, char** argv)
{
    CLI::App app(description, "kip-golden");
    app.footer(footer);
    app.require_subcommand(1);
    app.formatter(std::make_shared<CLI::Formatter>());
    app.get_formatter()->column_width(28);

    golden::RunOptions fir_opt, fft_opt;
    std::string fir_radix = "hex", fft_radix = "hex";
    auto add_common = [&](CLI::App* sub, golden::RunOptions& o, std::string& radix,
                          const char* cfg_name) {
        sub->add_option("--config", o.config, std::string("JSON configuration (") + cfg_name + ")")
            ->required();
        sub->add_option("--input", o.input, "input word file (text, or .npy)")->required();
        sub->add_option("--output", o.output,
               "output word file (text, or .npy); replaced whole; - for standard output")
            ->required();
        sub->add_option("--radix", radix, "word radix of the text files: hex (default) or dec")
            ->check(CLI::IsMember({ "hex", "dec" }));
    };
    CLI::App* fir = app.add_subcommand("fir", "run the FIR model over a stimulus");
    fir->footer(fir_help());
    add_common(fir, fir_opt, fir_radix, "FIR configuration record fields");
    CLI::App* fft = app.add_subcommand("fft", "run the FFT model over frames");
    fft->footer(fft_help());
    add_common(fft, fft_opt, fft_radix, "FFT generics and per-frame inputs");

    // A file size limit (ulimit -f) makes the write fail with a message instead of killing the
    // run; the temporary output is then removed like on any other failure.
    std::signal(SIGXFSZ, SIG_IGN);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int rc = app.exit(e);
        return rc == 0 ? 0 : 2;
    }
    fir_opt.radix = fir_radix == "dec" ? golden::Radix::dec : golden::Radix::hex;
    fft_opt.radix = fft_radix == "dec" ? golden::Radix::dec : golden::Radix::hex;

    try {
        if (fir->parsed())
            return golden::run_fir(fir_opt);
        return golden::run_fft(fft_opt);
    } catch (const golden::InputError& e) {
        std::fprintf(stderr, "kip-golden: error: %s\n", e.what());
        return 2;
    } catch (const golden::ModelError& e) {
        std::fprintf(stderr, "kip-golden: error: %s\n", e.what());
        return 1;
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "kip-golden: error: out of memory\n");
        return 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kip-golden: internal error: %s\n", e.what());
        return 1;
    }
}
