// kip-golden: text and .npy word files read and written incrementally, two's complement parsing
// and formatting, output replaced atomically or written directly.
#include "golden.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

namespace golden {

std::string where(const std::string& file, std::size_t line)
{
    return file + ":" + std::to_string(line) + ": ";
}

std::string excerpt(const std::string& text)
{
    std::string out;
    const std::size_t n = std::min<std::size_t>(text.size(), 40);
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 32 || c > 126) {
            char b[8];
            std::snprintf(b, sizeof b, "\\x%02x", c);
            out += b;
        } else {
            out += char(c);
        }
    }
    if (text.size() > n)
        out += "...";
    return out;
}

namespace {

    int hex_digit(char c)
    {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    }

    int64_t min_of(int width) { return width >= 64 ? INT64_MIN : -(int64_t(1) << (width - 1)); }
    int64_t max_of(int width) { return width >= 64 ? INT64_MAX : (int64_t(1) << (width - 1)) - 1; }

    std::string radix_name(Radix r) { return r == Radix::hex ? "hexadecimal" : "decimal"; }

} // namespace

bool parse_word(const std::string& text, Radix radix, int width, int64_t& value, std::string& why)
{
    if (radix == Radix::hex) {
        std::size_t i = 0;
        if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
            i = 2;
        uint64_t bits = 0;
        bool any = false, too_big = false;
        for (; i < text.size(); ++i) {
            char c = text[i];
            if (c == '_' && any)
                continue;
            int d = hex_digit(c);
            if (d < 0) {
                why = "malformed hexadecimal word '" + excerpt(text) + "'";
                return false;
            }
            any = true;
            if (bits >> 60)
                too_big = true;
            bits = (bits << 4) | uint64_t(d);
        }
        if (!any) {
            why = "malformed hexadecimal word '" + excerpt(text) + "'";
            return false;
        }
        if (too_big || (width < 64 && (bits >> width) != 0)) {
            why = "word '" + excerpt(text) + "' does not fit in " + std::to_string(width) + " bits";
            return false;
        }
        if (width < 64 && (bits >> (width - 1)) & 1)
            bits |= ~uint64_t(0) << width; // sign extension
        std::memcpy(&value, &bits, sizeof value);
        return true;
    }
    std::size_t i = 0;
    bool neg = false;
    if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
        neg = text[0] == '-';
        i = 1;
    }
    if (i == text.size()) {
        why = "malformed decimal word '" + excerpt(text) + "'";
        return false;
    }
    uint64_t mag = 0;
    bool too_big = false;
    for (; i < text.size(); ++i) {
        char c = text[i];
        if (c < '0' || c > '9') {
            why = "malformed decimal word '" + excerpt(text) + "'";
            return false;
        }
        if (mag > (UINT64_MAX - 9) / 10)
            too_big = true;
        else
            mag = mag * 10 + uint64_t(c - '0');
    }
    // Range of a signed word: magnitude up to 2^(w-1) when negative, 2^(w-1)-1 otherwise.
    const uint64_t lim = uint64_t(1) << (width - 1);
    if (too_big || (neg ? mag > lim : mag > lim - 1)) {
        why = "word '" + excerpt(text) + "' does not fit in " + std::to_string(width)
            + " bits (range " + std::to_string(min_of(width)) + " to "
            + std::to_string(max_of(width)) + ")";
        return false;
    }
    value = neg ? int64_t(0 - mag) : int64_t(mag);
    return true;
}

std::string format_word(const mpz_t value, Radix radix, int width)
{
    if (radix == Radix::dec) {
        std::string s(mpz_sizeinbase(value, 10) + 2, '\0');
        mpz_get_str(&s[0], 10, value);
        s.resize(std::strlen(s.c_str()));
        return s;
    }
    mpz_t u;
    mpz_init(u);
    mpz_fdiv_r_2exp(u, value, mp_bitcnt_t(width)); // two's complement bits
    std::string s(mpz_sizeinbase(u, 16) + 2, '\0');
    mpz_get_str(&s[0], 16, u);
    mpz_clear(u);
    s.resize(std::strlen(s.c_str()));
    const std::size_t digits = std::size_t(width + 3) / 4;
    if (s.size() < digits)
        s.insert(0, digits - s.size(), '0');
    return s;
}

std::string format_word(int64_t value, Radix radix, int width)
{
    if (radix == Radix::dec)
        return std::to_string(value);
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    if (width < 64)
        bits &= (uint64_t(1) << width) - 1;
    char buf[24];
    std::snprintf(
        buf, sizeof buf, "%0*llx", (width + 3) / 4, static_cast<unsigned long long>(bits));
    return buf;
}

bool is_npy_name(const std::string& path)
{
    return path.size() >= 4 && path.compare(path.size() - 4, 4, ".npy") == 0;
}

bool file_id(const std::string& role, const std::string& path, FileId& id)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return false;
    id.role = role;
    id.path = path;
    id.dev = st.st_dev;
    id.ino = st.st_ino;
    return true;
}

// ---- input bytes, lines and words -----------------------------------------------------------

ByteSource::ByteSource(const std::string& path, const char* what)
    : name_(path)
{
    fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0)
        throw InputError(path + ": cannot open " + what + ": " + std::strerror(errno));
    struct stat st;
    if (fstat(fd_, &st) != 0) {
        const int e = errno;
        close(fd_);
        throw InputError(path + ": cannot open " + what + ": " + std::strerror(e));
    }
    if (S_ISDIR(st.st_mode)) {
        close(fd_);
        throw InputError(path + ": " + what + " is a folder");
    }
    if (S_ISREG(st.st_mode))
        size_ = static_cast<long long>(st.st_size);
    has_id_ = true;
    id_.role = what;
    id_.path = path;
    id_.dev = st.st_dev;
    id_.ino = st.st_ino;
    buf_.resize(std::size_t(1) << 16);
}

ByteSource::ByteSource(std::string name, const char* data, std::size_t size)
    : name_(std::move(name))
    , pos_(data)
    , end_(data + size)
    , size_(static_cast<long long>(size))
{
}

ByteSource::~ByteSource()
{
    if (fd_ >= 0)
        close(fd_);
}

bool ByteSource::fill()
{
    if (fd_ < 0)
        return false;
    for (;;) {
        const ssize_t n = read(fd_, buf_.data(), buf_.size());
        if (n > 0) {
            pos_ = buf_.data();
            end_ = pos_ + n;
            return true;
        }
        if (n == 0)
            return false;
        if (errno != EINTR)
            throw InputError(name_ + ": cannot read: " + std::strerror(errno));
    }
}

bool LineReader::next(std::string& text)
{
    for (;;) {
        text.clear();
        int c = src_.get();
        if (c < 0)
            return false;
        ++line_;
        bool comment = false;
        for (; c >= 0 && c != '\n'; c = src_.get()) {
            if (comment)
                continue;
            if (c == '/' && !text.empty() && text.back() == '/') {
                text.pop_back();
                comment = true;
                continue;
            }
            if (text.size() == kMaxLine)
                throw InputError(where(src_.name(), line_) + "line longer than "
                    + std::to_string(kMaxLine) + " characters before any // comment, starting '"
                    + excerpt(text) + "'");
            text += char(c);
        }
        const char* ws = " \t\r\f\v";
        const std::size_t b = text.find_first_not_of(ws);
        if (b == std::string::npos)
            continue;
        text.erase(text.find_last_not_of(ws) + 1);
        text.erase(0, b);
        return true;
    }
}

namespace {

    // Minimal reader of the Python dictionary literal of a .npy header: quoted keys, values that
    // are quoted strings, True/False or tuples of non-negative integers.
    class NpyHeader {
    public:
        NpyHeader(const std::string& file, const std::string& text)
            : file_(file)
            , t_(text)
        {
        }
        std::string descr, fortran;
        std::vector<uint64_t> dims;
        bool has_descr = false, has_fortran = false, has_shape = false;

        void parse()
        {
            ws();
            expect('{');
            for (;;) {
                ws();
                if (peek() == '}')
                    break;
                const std::string key = quoted_string();
                ws();
                expect(':');
                ws();
                if (key == "shape") {
                    shape();
                    has_shape = true;
                } else if (peek() == '\'' || peek() == '"') {
                    std::string v = quoted_string();
                    if (key == "descr")
                        descr = v, has_descr = true;
                } else {
                    std::string v = word();
                    if (v != "True" && v != "False")
                        bad("value of '" + excerpt(key) + "'");
                    if (key == "fortran_order")
                        fortran = v, has_fortran = true;
                }
                ws();
                if (peek() == ',') {
                    ++i_;
                    continue;
                }
                ws();
                if (peek() != '}')
                    bad("expected ',' or '}'");
            }
            if (!has_descr || !has_fortran || !has_shape)
                throw InputError(file_ + ": .npy header lacks "
                    + (!has_descr          ? "'descr'"
                            : !has_fortran ? "'fortran_order'"
                                           : "'shape'"));
        }

    private:
        [[noreturn]] void bad(const std::string& what)
        {
            throw InputError(file_ + ": malformed .npy header (" + what + " at character "
                + std::to_string(i_) + ")");
        }
        char peek() const { return i_ < t_.size() ? t_[i_] : '\0'; }
        void ws()
        {
            while (i_ < t_.size() && (t_[i_] == ' ' || t_[i_] == '\n' || t_[i_] == '\t'))
                ++i_;
        }
        void expect(char c)
        {
            if (peek() != c)
                bad(std::string("expected '") + c + "'");
            ++i_;
        }
        std::string quoted_string()
        {
            const char q = peek();
            if (q != '\'' && q != '"')
                bad("expected a quoted key");
            const std::size_t e = t_.find(q, i_ + 1);
            if (e == std::string::npos)
                bad("unterminated string");
            std::string s = t_.substr(i_ + 1, e - i_ - 1);
            i_ = e + 1;
            return s;
        }
        std::string word()
        {
            const std::size_t b = i_;
            while (i_ < t_.size() && std::isalpha(static_cast<unsigned char>(t_[i_])))
                ++i_;
            return t_.substr(b, i_ - b);
        }
        void shape()
        {
            expect('(');
            for (;;) {
                ws();
                if (peek() == ')') {
                    ++i_;
                    return;
                }
                if (!std::isdigit(static_cast<unsigned char>(peek())))
                    bad("expected a dimension");
                uint64_t d = 0;
                while (std::isdigit(static_cast<unsigned char>(peek()))) {
                    if (d > (UINT64_MAX - 9) / 10)
                        bad("dimension too large");
                    d = d * 10 + uint64_t(peek() - '0');
                    ++i_;
                }
                dims.push_back(d);
                ws();
                if (peek() == ',')
                    ++i_;
                else if (peek() != ')')
                    bad("expected ',' or ')'");
            }
        }
        const std::string& file_;
        const std::string& t_;
        std::size_t i_ = 0;
    };

} // namespace

WordReader::WordReader(ByteSource& src, Radix radix, int width, bool npy)
    : src_(src)
    , lines_(src)
    , radix_(radix)
    , width_(width)
    , npy_(npy)
{
    if (npy_)
        read_npy_header();
}

void WordReader::read_npy_header()
{
    const std::string& file = src_.name();
    auto take = [&](std::size_t n, const char* what) {
        std::string s;
        for (std::size_t i = 0; i < n; ++i) {
            const int c = src_.get();
            if (c < 0)
                throw InputError(file + ": " + what);
            s += char(c);
        }
        return s;
    };
    const std::string pre = take(8, "not a .npy file");
    if (pre.compare(0, 6, "\x93NUMPY", 6) != 0)
        throw InputError(file + ": not a .npy file");
    const unsigned major = static_cast<unsigned char>(pre[6]);
    std::size_t hlen = 0, hstart;
    if (major == 1) {
        const std::string l = take(2, "truncated .npy header");
        hlen = static_cast<unsigned char>(l[0])
            | (std::size_t(static_cast<unsigned char>(l[1])) << 8);
        hstart = 10;
    } else if (major == 2 || major == 3) {
        const std::string l = take(4, "truncated .npy header");
        for (int i = 3; i >= 0; --i)
            hlen = (hlen << 8) | static_cast<unsigned char>(l[std::size_t(i)]);
        hstart = 12;
    } else {
        throw InputError(file + ": unsupported .npy version " + std::to_string(major));
    }
    if (hlen > 65536)
        throw InputError(
            file + ": .npy header of " + std::to_string(hlen) + " bytes refused (at most 65536)");
    const std::string header = take(hlen, "truncated .npy header");
    NpyHeader h(file, header);
    h.parse();
    const std::string& descr = h.descr;
    if (descr.size() == 3 && (descr[0] == '<' || descr[0] == '|')
        && (descr[1] == 'i' || descr[1] == 'u')
        && (descr[2] == '1' || descr[2] == '2' || descr[2] == '4' || descr[2] == '8')) {
        npy_signed_ = descr[1] == 'i';
        npy_size_ = std::size_t(descr[2] - '0');
    } else {
        throw InputError(file + ": .npy element type '" + excerpt(descr)
            + "' refused: little-endian integers (int8 to int64, uint8 to uint64) only");
    }
    npy_shape_ = "(";
    uint64_t count = 1;
    bool zero = false;
    for (std::size_t i = 0; i < h.dims.size(); ++i) {
        const uint64_t d = h.dims[i];
        npy_shape_ += (i ? ", " : "") + std::to_string(d);
        if (d == 0)
            zero = true;
        else if (count > (uint64_t(1) << 56) / d)
            throw InputError(file + ": .npy shape is too large");
        count *= d;
    }
    npy_shape_ += h.dims.size() == 1 ? ",)" : ")";
    if (zero)
        count = 0;
    if (h.fortran == "True" && h.dims.size() > 1)
        throw InputError(file + ": Fortran-ordered .npy arrays are refused; save in C order");
    npy_count_ = std::size_t(count);
    // A regular file's length is known: refuse a short one before any word is used.
    if (src_.size() >= 0 && (unsigned long long)(src_.size()) - (hstart + hlen) < count * npy_size_)
        throw InputError(file + ": .npy data shorter than its shape " + npy_shape_);
}

bool WordReader::next(int64_t& value)
{
    if (npy_) {
        if (count_ == npy_count_)
            return false;
        uint64_t bits = 0;
        for (std::size_t b = 0; b < npy_size_; ++b) {
            const int c = src_.get();
            if (c < 0)
                throw InputError(file() + ": .npy data shorter than its shape " + npy_shape_ + " ("
                    + std::to_string(count_) + " whole elements)");
            bits |= uint64_t(c) << (8 * b);
        }
        bool fits;
        int64_t v;
        if (npy_signed_) {
            if (npy_size_ < 8 && (bits >> (8 * npy_size_ - 1)) & 1)
                bits |= ~uint64_t(0) << (8 * npy_size_);
            std::memcpy(&v, &bits, sizeof v);
            fits = v >= min_of(width_) && v <= max_of(width_);
        } else {
            fits = bits <= uint64_t(max_of(width_));
            v = int64_t(bits & uint64_t(INT64_MAX));
        }
        if (!fits)
            throw InputError(file() + ": element " + std::to_string(count_) + ": value "
                + (npy_signed_ ? std::to_string(v) : std::to_string(bits)) + " does not fit in "
                + std::to_string(width_) + " bits");
        value = v;
        ++count_;
        return true;
    }
    std::string text;
    if (!lines_.next(text))
        return false;
    const std::size_t line = lines_.line();
    if (text.find_first_of(" \t\r\f\v") != std::string::npos)
        throw InputError(
            where(file(), line) + "expected one word per line, found '" + excerpt(text) + "'");
    if (text[0] == '@')
        throw InputError(where(file(), line) + "address directives are not supported");
    std::string why;
    if (!parse_word(text, radix_, width_, value, why))
        throw InputError(where(file(), line) + why + " (" + radix_name(radix_) + " words of "
            + std::to_string(width_) + " bits expected)");
    last_line_ = line;
    ++count_;
    return true;
}

std::string WordReader::last_at() const
{
    if (npy_)
        return file() + ": element " + std::to_string(count_ == 0 ? 0 : count_ - 1) + ": ";
    return where(file(), last_line_ == 0 ? 1 : last_line_);
}

std::vector<double> read_coeff_values(ByteSource& src)
{
    LineReader lines(src);
    std::vector<double> out;
    std::string text;
    while (lines.next(text)) {
        if (out.size() == (std::size_t(1) << 25))
            throw InputError(where(src.name(), lines.line()) + "more than "
                + std::to_string(std::size_t(1) << 25) + " coefficients");
        errno = 0;
        char* end = nullptr;
        const double v = std::strtod(text.c_str(), &end);
        if (end == text.c_str() || *end != '\0' || text.find('\0') != std::string::npos)
            throw InputError(
                where(src.name(), lines.line()) + "malformed coefficient '" + excerpt(text) + "'");
        if (!std::isfinite(v) || errno == ERANGE)
            throw InputError(where(src.name(), lines.line()) + "coefficient '" + excerpt(text)
                + "' is not a finite double");
        out.push_back(v);
    }
    return out;
}

// ---- output ---------------------------------------------------------------------------------

namespace {

    // The temporary output file the signal handler removes: one output per process, so one
    // path. Set with the signals blocked; the handler only reads it, unlinks and re-raises.
    char g_tmp_path[PATH_MAX];
    volatile sig_atomic_t g_tmp_armed = 0;
    const int kCleanupSignals[] = { SIGINT, SIGTERM, SIGHUP };

    extern "C" void remove_tmp_and_reraise(int sig)
    {
        if (g_tmp_armed)
            unlink(g_tmp_path);
        raise(sig); // SA_RESETHAND restored the default action, delivered on return
    }

    class SignalBlock {
    public:
        SignalBlock()
        {
            sigset_t s;
            sigemptyset(&s);
            for (int sig : kCleanupSignals)
                sigaddset(&s, sig);
            sigprocmask(SIG_BLOCK, &s, &old_);
        }
        ~SignalBlock() { sigprocmask(SIG_SETMASK, &old_, nullptr); }

    private:
        sigset_t old_;
    };

    void install_cleanup_handlers()
    {
        struct sigaction sa;
        std::memset(&sa, 0, sizeof sa);
        sa.sa_handler = remove_tmp_and_reraise;
        sa.sa_flags = SA_RESETHAND;
        sigemptyset(&sa.sa_mask);
        for (int sig : kCleanupSignals) {
            struct sigaction old;
            // A signal ignored by the parent (nohup, background jobs) stays ignored.
            if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN)
                continue;
            sigaction(sig, &sa, nullptr);
        }
    }

    std::string folder_of(const std::string& path)
    {
        const std::size_t s = path.rfind('/');
        if (s == std::string::npos)
            return ".";
        return s == 0 ? "/" : path.substr(0, s);
    }

    // The file a (possibly dangling) chain of symbolic links ends at.
    std::string follow_links(const std::string& path)
    {
        std::string p = path;
        for (int hop = 0; hop < 40; ++hop) {
            struct stat st;
            if (lstat(p.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
                return p;
            std::vector<char> t(PATH_MAX + 1);
            const ssize_t n = readlink(p.c_str(), t.data(), PATH_MAX);
            if (n < 0)
                return p;
            const std::string target(t.data(), std::size_t(n));
            p = target[0] == '/' ? target : folder_of(p) + "/" + target;
        }
        throw InputError(path + ": cannot create output: too many levels of symbolic links");
    }

    // Header of an int64 .npy array, padded with spaces to `total` bytes with its preamble.
    std::string npy_header(const std::string& shape, std::size_t total)
    {
        std::string header = "{'descr': '<i8', 'fortran_order': False, 'shape': " + shape + ", }";
        header.append(total - 10 - 1 - header.size(), ' ');
        header += '\n';
        std::string pre = "\x93NUMPY";
        pre += char(1);
        pre += char(0);
        pre += char(header.size() & 0xff);
        pre += char(header.size() >> 8);
        return pre + header;
    }
    // Room for four 20-digit dimensions, a multiple of 64 bytes as numpy writes.
    constexpr std::size_t kNpyHeaderBytes = 192;

} // namespace

OutputFile::OutputFile(const std::string& path, Radix radix, const std::vector<FileId>& inputs)
    : path_(path)
    , radix_(radix)
    , npy_(is_npy_name(path))
{
    auto same_as_input = [&](const struct stat& st) {
        // Regular files would be replaced, a FIFO would feed on itself; a terminal or other
        // character device may well serve as both.
        if (!S_ISREG(st.st_mode) && !S_ISFIFO(st.st_mode))
            return;
        for (const FileId& id : inputs)
            if (id.dev == st.st_dev && id.ino == st.st_ino)
                throw InputError(path + ": output is the same file as the " + id.role + " "
                    + id.path + "; name another output");
    };
    auto refuse_npy = [&]() {
        if (npy_)
            throw InputError(path
                + ": .npy output needs a regular file (the header, holding the "
                  "shape, is written last); write text output to this target");
    };
    struct stat st;
    if (path == "-" || path == "/dev/stdout" || path == "/dev/fd/1" || path == "/proc/self/fd/1") {
        if (fstat(1, &st) != 0)
            throw InputError(path + ": standard output is closed");
        same_as_input(st);
        refuse_npy();
        fd_ = dup(1);
        if (fd_ < 0)
            throw InputError(path + ": cannot write output: " + std::strerror(errno));
        direct_ = to_stdout_ = true;
    } else if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        if (S_ISDIR(st.st_mode))
            throw InputError(path + ": output is a folder");
        same_as_input(st);
        refuse_npy();
        fd_ = open(path.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd_ < 0)
            throw InputError(path + ": cannot open output: " + std::strerror(errno));
        direct_ = true;
    } else {
        mode_t mode;
        if (stat(path.c_str(), &st) == 0) {
            same_as_input(st);
            std::vector<char> real(PATH_MAX + 1);
            if (!realpath(path.c_str(), real.data()))
                throw InputError(path + ": cannot resolve output: " + std::strerror(errno));
            final_ = real.data();
            mode = st.st_mode & 07777;
        } else {
            final_ = follow_links(path);
            mode_t mask = umask(0);
            umask(mask);
            mode = 0666 & ~mask;
        }
        tmp_ = folder_of(final_) + "/.kip-golden-XXXXXX";
        if (tmp_.size() >= sizeof g_tmp_path)
            throw InputError(path + ": cannot create output: path too long");
        install_cleanup_handlers();
        SignalBlock block;
        fd_ = mkostemp(&tmp_[0], O_CLOEXEC);
        if (fd_ < 0)
            throw InputError(path + ": cannot create output: " + std::strerror(errno));
        std::memcpy(g_tmp_path, tmp_.c_str(), tmp_.size() + 1);
        g_tmp_armed = 1;
        // mkstemp creates the file private: give it the permissions of the file it replaces, or
        // of an ordinary new file (on failure the file keeps the private mode).
        fchmod(fd_, mode);
    }
    mpz_init(scratch_);
    if (npy_)
        buf_.assign(kNpyHeaderBytes, ' '); // the header's place, written at commit()
}

OutputFile::~OutputFile()
{
    if (fd_ >= 0)
        close(fd_);
    if (!committed_ && !tmp_.empty()) {
        SignalBlock block;
        unlink(tmp_.c_str());
        g_tmp_armed = 0;
    }
    mpz_clear(scratch_);
}

void OutputFile::write_failed(int err)
{
    throw InputError(path_ + ": cannot write output: " + std::strerror(err));
}

void OutputFile::write_all(const char* p, std::size_t n)
{
    while (n > 0) {
        const ssize_t w = write(fd_, p, n);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            write_failed(errno);
        }
        p += w;
        n -= std::size_t(w);
    }
}

void OutputFile::flush()
{
    write_all(buf_.data(), buf_.size());
    buf_.clear();
}

void OutputFile::append(const std::string& s)
{
    buf_ += s;
    buf_ += '\n';
    if (buf_.size() >= (std::size_t(1) << 16))
        flush();
}

void OutputFile::append_npy(int64_t v)
{
    uint64_t u;
    std::memcpy(&u, &v, sizeof u);
    for (int i = 0; i < 8; ++i)
        buf_ += char(static_cast<unsigned char>(u >> (8 * i)));
    if (buf_.size() >= (std::size_t(1) << 16))
        flush();
}

void OutputFile::put(const mpz_t value, int width)
{
    mpz_set(scratch_, value);
    // Outside [-2^(w-1), 2^(w-1)): reduce modulo 2^w into the signed range.
    if (mpz_sizeinbase(scratch_, 2) >= std::size_t(width)) {
        mpz_t lo, hi;
        mpz_inits(lo, hi, nullptr);
        mpz_set_ui(hi, 1);
        mpz_mul_2exp(hi, hi, mp_bitcnt_t(width - 1));
        mpz_neg(lo, hi);
        if (mpz_cmp(scratch_, lo) < 0 || mpz_cmp(scratch_, hi) >= 0) {
            if (wrapped_++ == 0)
                first_wrapped_ = count_;
            mpz_fdiv_r_2exp(scratch_, scratch_, mp_bitcnt_t(width));
            if (mpz_cmp(scratch_, hi) >= 0)
                mpz_submul_ui(scratch_, hi, 2);
        }
        mpz_clears(lo, hi, nullptr);
    }
    if (npy_) {
        if (width > 64)
            throw InputError(path_ + ": " + std::to_string(width)
                + "-bit words do not fit a .npy int64 array; write text output");
        append_npy(mpz_get_si(scratch_));
    } else {
        append(format_word(scratch_, radix_, width));
    }
    ++count_;
}

void OutputFile::put(int64_t value, int width)
{
    if (value < min_of(width) || value > max_of(width)) {
        if (wrapped_++ == 0)
            first_wrapped_ = count_;
        uint64_t bits;
        std::memcpy(&bits, &value, sizeof bits);
        bits &= (uint64_t(1) << width) - 1;
        if ((bits >> (width - 1)) & 1)
            bits |= ~uint64_t(0) << width;
        std::memcpy(&value, &bits, sizeof value);
    }
    if (npy_)
        append_npy(value);
    else
        append(format_word(value, radix_, width));
    ++count_;
}

void OutputFile::commit()
{
    flush();
    if (npy_) {
        if (shape_.empty())
            shape_.push_back(count_);
        std::string shape = "(";
        std::size_t prod = 1;
        for (std::size_t i = 0; i < shape_.size(); ++i) {
            shape += (i ? ", " : "") + std::to_string(shape_[i]);
            prod *= shape_[i];
        }
        shape += shape_.size() == 1 ? ",)" : ")";
        if (prod != count_ || shape.size() > kNpyHeaderBytes - 70)
            throw ModelError(path_ + ": internal error: .npy shape does not match the word count");
        const std::string header = npy_header(shape, kNpyHeaderBytes);
        const ssize_t w = pwrite(fd_, header.data(), header.size(), 0);
        if (w != ssize_t(header.size()))
            write_failed(w < 0 ? errno : EIO);
    }
    if (direct_) {
        const int fd = fd_;
        fd_ = -1;
        if (close(fd) != 0 && errno != EINTR)
            write_failed(errno);
        committed_ = true;
        return;
    }
    if (fsync(fd_) != 0 && errno != EINVAL)
        write_failed(errno);
    const int fd = fd_;
    fd_ = -1;
    if (close(fd) != 0 && errno != EINTR)
        write_failed(errno);
    SignalBlock block;
    if (std::rename(tmp_.c_str(), final_.c_str()) != 0)
        throw InputError(path_ + ": cannot write output: " + std::strerror(errno));
    committed_ = true;
    g_tmp_armed = 0;
}

} // namespace golden
