// Rational-rate polyphase FIR filter kernel (interpolate by L, decimate by M).
//
// One kernel runs one channel of one path.  Each call of run() takes a block of input samples,
// appends every output sample the block completes to the caller's sink and keeps the input
// history needed by later blocks, so that any split of an input stream into blocks (single
// samples included) yields the same outputs in the same order.
//
// Output m since the last reset, in closed form (x[n] = 0 for n < 0, u the L-fold zero-stuffed
// input, u[L*n] = x[n]):
//     y[m] = sum over j = 0..N-1 of coeffs[j] * u[m*M + d - j],   d = 0 if L > M else M - 1,
// emitted by the call that delivers x[floor((m*M + d) / L)].  Only taps j congruent to
// m*M + d modulo L contribute (that residue is the output's polyphase branch).
//
// Arithmetic:
//   FirFilter<double, double>    each tap is one rounded multiply followed by one rounded add,
//                                acc = coeff * sample + acc, newest sample first (coefficient
//                                index ascending), starting from +0.0.  Zero coefficients are
//                                multiplied and added like any other.
//   FirFilter<mpz_class, double> each coefficient is truncated toward zero to an integer when
//                                the coefficients are set; products and sums are exact.  When
//                                every tap and sample of an output is small enough that no
//                                partial sum can reach 2^127 (samples below 2^62, taps below
//                                2^(65 - ceil(log2 taps)), at most 2^63), the sum is formed in
//                                128-bit integers instead of GMP: the same exact value, faster.
//
// Change-configuration handler: before consuming the first sample of a non-empty run() that
// follows construction, reset() or an output, the kernel calls the installed handler and then
// clears its pending flag (in that order: a handler that resets this kernel leaves the flag
// clear).  Rates, coefficients, phase, history and the input block are read only after the
// handler returns, so the handler may change coefficients, rates or reset this kernel.  It must
// not call run() on this kernel or destroy it.  If it throws, the exception leaves run() with
// the flag still set and nothing consumed.
//
// Output sinks.  run() never clears its sink; it appends.  The model's per-sample path uses
// FirFifo<T> (O(1) at both ends, slot storage reused, no allocation once it has reached its
// working size).  runInto() accepts any sink with `T& emplace_back()` (std::vector, std::deque,
// FirFifo).  The whole input block is copied into the kernel before any output is appended, so
// one-sample input may refer to an element of the sink, and the std::vector form accepts the
// same vector as input and output (outputs are appended behind the inputs).
//
// Memory.  The history buffer keeps room for twice the retained history plus some slack and
// grows only when a block or a decimation step larger than any before needs more; blocks are
// processed in chunks of at most kMaxChunk samples, which bounds that buffer (besides the up
// to ceil(M / L) - 1 samples waiting for the next output).  In steady state (same block size,
// same coefficient length) run() allocates nothing, in either variant.
//
// The class is final: its virtual functions keep the kernel's public interface, and calls on
// a FirFilter object or reference are resolved without virtual dispatch.
//
// Choices beyond the basic contract:
//   - setCoefficients() with more coefficients than the retained history covers (N changed
//     without reset()) keeps phase_len as it is but widens the retained history, treating the
//     samples already dropped as zeros, as reset() does; nothing is read outside the history.
//   - Coefficient vectors longer than INT32_MAX, a null pointer in setCoefficients(values,
//     count), and (integer variant) non-finite coefficients, which have no integer value, are
//     refused with "Invalid Filter coefficients" and leave the coefficients unchanged.
//   - Positions and step arithmetic use 64-bit integers, so rates up to INT32_MAX cannot
//     overflow; tables are sized by min(L, N), not by L.
#ifndef KIP_FIR_FILTER_H
#define KIP_FIR_FILTER_H

#include <gmpxx.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>
#include <utility>
#include <vector>

#include "fir_exceptions.h"
#include "fir_fifo.h"

template <typename T, typename C = double> class FirFilter final {
    static_assert(std::is_same_v<C, double>, "coefficients are doubles");
    static_assert(std::is_same_v<T, double> || std::is_same_v<T, mpz_class>,
        "samples are doubles or GMP integers");

public:
    // Change-configuration callback: receives the argument given at installation; its result
    // is ignored.
    using ChangeConfigHandler = int (*)(void*);

    // Most input samples copied into the history buffer at once.
    static constexpr std::ptrdiff_t kMaxChunk = 4096;

    // Throws FirFilterException "Invalid Filter rate" when num < 1 or den < 1 and
    // "Invalid Filter coefficients" when coeffs is empty.
    FirFilter(const std::vector<double>& coeffs, int num, int den);
    // Copies are member by member (history, coefficients and handler included).  There is
    // deliberately no move: a moved-from kernel would be left without its buffers.
    FirFilter(const FirFilter&) = default;
    FirFilter& operator=(const FirFilter&) = default;
    virtual ~FirFilter() = default;

    // Appends the outputs completed by `in` to `out`.
    virtual void run(const std::vector<T>& in, std::vector<T>& out);
    // History to zeros, phase to its start value, handler pending; rates, coefficients and
    // handler kept.
    virtual void reset();
    // Largest sum of |coeff| over the taps of one polyphase branch.
    virtual double calcGain() const;
    // Replace the coefficients (no reset; phase_len is recomputed only by reset()).
    virtual void setCoefficients(const std::vector<double>& values);
    virtual void setCoefficients(const double* values, int count);
    virtual const std::vector<double>& getCoefficients() const { return coeffs; }
    // New rates, then reset().  Throws "Invalid Filter rate" (filter unchanged) if either < 1.
    virtual void setRate(int num, int den);
    virtual int getRateNumerator() const { return rate_num; }
    virtual int getRateDenominator() const { return rate_den; }
    // Installs (or, with a null fn, removes) the change-configuration handler.
    virtual void set_change_config_handler(ChangeConfigHandler fn, void* arg)
    {
        change_config_handler = fn;
        change_config_arg = arg;
    }

    // Per-sample and block paths of the data path (no virtual dispatch, no allocation in
    // steady state).
    void run(const T& sample, FirFifo<T>& out) { runInto(&sample, 1, out); }
    void run(const T* in, std::size_t count, FirFifo<T>& out) { runInto(in, count, out); }
    void run(const std::vector<T>& in, FirFifo<T>& out) { runInto(in.data(), in.size(), out); }

    // Generic form: Sink needs `T& emplace_back()` returning the new back element.
    template <class Sink> void runInto(const T* in, std::size_t count, Sink& out)
    {
        if (count == 0)
            return;
        syncBeforeInput();
        feedAll(in, count, out);
    }

    // Inspection.
    int getPhase() const { return phase; }
    int getPhaseLength() const { return phase_len; }
    int getStepWhole() const { return step_whole; }
    int getStepFrac() const { return step_frac; }
    bool isSyncPending() const { return sync_pending; }
    ChangeConfigHandler getChangeConfigHandler() const { return change_config_handler; }
    void* getChangeConfigArg() const { return change_config_arg; }
    // Retained samples, oldest first: the samples at and behind the newest sample used by the
    // latest output (phase_len of them, unless setCoefficients() widened the history), then
    // the samples received but not yet reached.
    std::size_t getHistorySize() const { return static_cast<std::size_t>(hist_end - hist_begin); }
    std::vector<T> getHistory() const
    {
        return std::vector<T>(history.begin() + hist_begin, history.begin() + hist_end);
    }

private:
    static constexpr std::ptrdiff_t kSlack = 64;
    static constexpr bool kDouble = std::is_same_v<T, double>;

    void syncBeforeInput()
    {
        if (sync_pending && change_config_handler != nullptr) {
            change_config_handler(change_config_arg);
            sync_pending = false;
        }
    }

    template <class Sink> void feedAll(const T* in, std::size_t count, Sink& out)
    {
        while (count > 0) {
            const std::size_t n = std::min<std::size_t>(count, kMaxChunk);
            feed(in, static_cast<std::ptrdiff_t>(n), out);
            in += n;
            count -= n;
        }
    }

    // Appends n samples to the history and emits every output they complete.
    template <class Sink> void feed(const T* in, std::ptrdiff_t n, Sink& out)
    {
        if (hist_end + n > static_cast<std::ptrdiff_t>(history.size()))
            makeRoom(n);
        T* buf = history.data();
        if constexpr (kDouble) {
            std::memcpy(buf + hist_end, in, static_cast<std::size_t>(n) * sizeof(double));
        } else {
            int64_t* small = hist_small.data();
            for (std::ptrdiff_t i = 0; i < n; ++i) {
                const std::ptrdiff_t at = hist_end + i;
                buf[at] = in[i];
                if (mpz_sizeinbase(in[i].get_mpz_t(), 2) <= kSmallSampleBits)
                    small[at] = mpz_get_si(in[i].get_mpz_t());
                else
                    last_large = at;
            }
        }
        hist_end += n;

        const std::ptrdiff_t L = rate_num;
        const std::ptrdiff_t whole = step_whole;
        const std::ptrdiff_t frac = step_frac;
        const std::ptrdiff_t branches = static_cast<std::ptrdiff_t>(branch_start.size()) - 1;
        const std::ptrdiff_t* starts = branch_start.data();
        const T* taps = branch_coeffs.data();
        std::ptrdiff_t pos = hist_begin + keep - 1; // newest sample used so far
        std::ptrdiff_t avail = hist_end - pos - 1; // samples received, not yet reached
        std::ptrdiff_t ph = phase;
        for (;;) {
            std::ptrdiff_t next = ph + frac;
            std::ptrdiff_t adv = whole;
            if (next >= L) {
                next -= L;
                ++adv;
            }
            if (adv > avail)
                break;
            pos += adv;
            ph = next;
            const T* s = buf + pos;
            const T* c = taps;
            std::ptrdiff_t nt = 0;
            if (ph < branches) {
                c = taps + starts[ph];
                nt = starts[ph + 1] - starts[ph];
            }
            if constexpr (kDouble) {
                double& slot = out.emplace_back(); // before the sum: no call while it runs
                slot = branchSum(c, s, nt);
            } else {
                mpz_class& acc = out.emplace_back();
                if (small_taps_ok && last_large < pos - nt + 1) {
                    const int64_t* sc = small_taps.data() + (c - taps);
                    const int64_t* ss = hist_small.data() + pos;
                    Wide sum = 0;
                    for (std::ptrdiff_t i = 0; i < nt; ++i)
                        sum += static_cast<Wide>(sc[i]) * ss[-i];
                    setWide(acc, sum);
                } else {
                    acc = 0;
                    for (std::ptrdiff_t i = 0; i < nt; ++i)
                        mpz_addmul(acc.get_mpz_t(), c[i].get_mpz_t(), s[-i].get_mpz_t());
                }
            }
            avail -= adv;
            sync_pending = true;
        }
        phase = static_cast<int32_t>(ph);
        hist_begin = pos - keep + 1;
    }

    // One output of the double variant: acc = c[i] * s[-i] + acc for i = 0, 1, ..., each
    // product and each sum rounded on its own, from +0.0.  Kept apart from the step loop so the
    // accumulator stays in a register.
    static double branchSum(const double* c, const double* s, std::ptrdiff_t nt)
    {
        double acc = 0.0;
        for (std::ptrdiff_t i = 0; i < nt; ++i) {
            const double prod = c[i] * s[-i];
            acc = prod + acc;
        }
        return acc;
    }

    __extension__ typedef __int128 Wide;
    static constexpr std::size_t kSmallSampleBits = 62;

    static void setWide(mpz_class& dst, Wide v)
    {
        const bool negative = v < 0;
        __extension__ typedef unsigned __int128 UWide;
        const UWide mag = negative ? UWide(0) - static_cast<UWide>(v) : static_cast<UWide>(v);
        const unsigned long hi = static_cast<unsigned long>(mag >> 64);
        const unsigned long lo = static_cast<unsigned long>(mag);
        mpz_ptr d = dst.get_mpz_t();
        if (hi == 0) {
            mpz_set_ui(d, lo);
        } else {
            mpz_set_ui(d, hi);
            mpz_mul_2exp(d, d, 64);
            mpz_add_ui(d, d, lo);
        }
        if (negative)
            mpz_neg(d, d);
    }

    void makeRoom(std::ptrdiff_t n);
    void moveWindow(std::ptrdiff_t dst, std::ptrdiff_t capacity);
    void rebuildBranches();
    void widenHistory();
    static void checkCoefficients(const double* values, std::size_t count);

    // Field order and meaning follow the kernel's data model; the members after
    // sync_pending are this implementation's working state.
    int32_t rate_num = 1; // L
    int32_t rate_den = 1; // M
    int32_t step_whole = 0; // M div L
    int32_t step_frac = 0; // M mod L
    int32_t phase_len = 0; // N div L
    int32_t phase = 0; // branch of the latest output
    std::vector<T> history; // buffer; the retained samples are [hist_begin, hist_end)
    std::vector<double> coeffs;
    ChangeConfigHandler change_config_handler = nullptr;
    void* change_config_arg = nullptr;
    bool sync_pending = true;

    std::ptrdiff_t hist_begin = 0;
    std::ptrdiff_t hist_end = 0;
    std::ptrdiff_t keep = 0; // samples kept at and behind the newest used (>= phase_len)
    // Coefficients grouped by polyphase branch (branch p: coeffs[p], coeffs[p + L], ...),
    // truncated to integers in the integer variant; branch p occupies
    // [branch_start[p], branch_start[p + 1]).  Only branches below min(L, N) have taps.
    std::vector<T> branch_coeffs;
    std::vector<std::ptrdiff_t> branch_start;
    // Integer variant only: the same taps and retained samples as 64-bit integers, for the
    // 128-bit sum.  small_taps_ok: every tap is within the bound of the header comment;
    // hist_small[i] is valid for every buffer index i > last_large in the retained window.
    std::vector<int64_t> small_taps;
    bool small_taps_ok = false;
    std::vector<int64_t> hist_small;
    std::ptrdiff_t last_large = -1;
};

// ---------------------------------------------------------------------------------------------

template <typename T, typename C>
FirFilter<T, C>::FirFilter(const std::vector<double>& values, int num, int den)
    : rate_num(num)
    , rate_den(den)
{
    if (num < 1 || den < 1)
        throw FirFilterException("Invalid Filter rate");
    reset();
    setCoefficients(values);
    change_config_handler = nullptr;
    sync_pending = true;
    reset();
}

template <typename T, typename C>
void FirFilter<T, C>::run(const std::vector<T>& in, std::vector<T>& out)
{
    if (in.empty())
        return;
    syncBeforeInput();
    if (&in == &out) {
        const std::vector<T> copy(in);
        feedAll(copy.data(), copy.size(), out);
    } else {
        feedAll(in.data(), in.size(), out);
    }
}

template <typename T, typename C> void FirFilter<T, C>::reset()
{
    sync_pending = true;
    step_whole = rate_den / rate_num;
    step_frac = rate_den % rate_num;
    phase_len = static_cast<int32_t>(coeffs.size() / static_cast<std::size_t>(rate_num));
    phase = rate_num > rate_den ? rate_num - std::max(step_frac, int32_t(1)) : rate_num - 1;
    keep = phase_len;
    rebuildBranches();
    const std::ptrdiff_t need = 2 * keep + kSlack;
    if (static_cast<std::ptrdiff_t>(history.size()) < need)
        history = std::vector<T>(static_cast<std::size_t>(need));
    for (std::ptrdiff_t i = 0; i < keep; ++i)
        history[i] = 0.0;
    if constexpr (!kDouble) {
        hist_small.resize(history.size());
        std::fill(hist_small.begin(), hist_small.begin() + keep, int64_t(0));
        last_large = -1;
    }
    hist_begin = 0;
    hist_end = keep;
}

template <typename T, typename C> double FirFilter<T, C>::calcGain() const
{
    double best = 0.0;
    if (rate_num < 1)
        return best;
    const std::ptrdiff_t L = rate_num;
    const std::ptrdiff_t N = static_cast<std::ptrdiff_t>(coeffs.size());
    for (std::ptrdiff_t p = 0; p < std::min(L, N); ++p) {
        double s = 0.0;
        for (std::ptrdiff_t k = p; k < N; k += L)
            s = s + std::fabs(coeffs[k]);
        if (s > best)
            best = s;
    }
    return best;
}

template <typename T, typename C>
void FirFilter<T, C>::checkCoefficients(const double* values, std::size_t count)
{
    if (count < 1 || values == nullptr
        || count > static_cast<std::size_t>(std::numeric_limits<int32_t>::max()))
        throw FirFilterException("Invalid Filter coefficients");
    if constexpr (!kDouble) {
        for (std::size_t i = 0; i < count; ++i)
            if (!std::isfinite(values[i]))
                throw FirFilterException("Invalid Filter coefficients");
    }
}

template <typename T, typename C>
void FirFilter<T, C>::setCoefficients(const std::vector<double>& values)
{
    checkCoefficients(values.data(), values.size());
    coeffs = values;
    rebuildBranches();
    widenHistory();
}

template <typename T, typename C>
void FirFilter<T, C>::setCoefficients(const double* values, int count)
{
    if (count < 1)
        throw FirFilterException("Invalid Filter coefficients");
    checkCoefficients(values, static_cast<std::size_t>(count));
    const double* end = values + count;
    if (values < coeffs.data() + coeffs.size() && end > coeffs.data()) {
        // The values lie inside our own coefficient vector: copy them out first.
        const std::vector<double> copy(values, end);
        coeffs = copy;
    } else {
        coeffs.assign(values, end);
    }
    rebuildBranches();
    widenHistory();
}

template <typename T, typename C> void FirFilter<T, C>::setRate(int num, int den)
{
    if (num < 1 || den < 1)
        throw FirFilterException("Invalid Filter rate");
    rate_num = num;
    rate_den = den;
    reset();
}

template <typename T, typename C> void FirFilter<T, C>::rebuildBranches()
{
    const std::ptrdiff_t L = rate_num;
    const std::ptrdiff_t N = static_cast<std::ptrdiff_t>(coeffs.size());
    const std::ptrdiff_t branches = std::min(L, N);
    branch_coeffs.resize(static_cast<std::size_t>(N));
    branch_start.resize(static_cast<std::size_t>(branches + 1));
    std::ptrdiff_t idx = 0;
    for (std::ptrdiff_t p = 0; p < branches; ++p) {
        branch_start[p] = idx;
        for (std::ptrdiff_t k = p; k < N; k += L, ++idx) {
            if constexpr (kDouble)
                branch_coeffs[idx] = coeffs[k];
            else
                mpz_set_d(branch_coeffs[idx].get_mpz_t(), coeffs[k]); // truncates toward zero
        }
    }
    branch_start[branches] = idx;

    if constexpr (!kDouble) {
        // Taps below 2^bits keep every partial sum of the longest branch below 2^127 with
        // samples below 2^62.
        const std::ptrdiff_t longest = branches > 0 ? branch_start[1] : 0;
        std::size_t lg = 0;
        while ((std::ptrdiff_t(1) << lg) < longest)
            ++lg;
        const std::size_t bits = std::min<std::size_t>(63, 127 - kSmallSampleBits - lg);
        small_taps.resize(static_cast<std::size_t>(N));
        small_taps_ok = true;
        for (std::ptrdiff_t i = 0; i < N; ++i) {
            mpz_srcptr c = branch_coeffs[i].get_mpz_t();
            if (mpz_sgn(c) != 0 && mpz_sizeinbase(c, 2) > bits) {
                small_taps_ok = false;
                break;
            }
            small_taps[i] = mpz_get_si(c);
        }
    }
}

// After a coefficient change without reset the longest branch may reach further back than the
// retained history; widen it, the samples no longer held counting as zeros.
template <typename T, typename C> void FirFilter<T, C>::widenHistory()
{
    const std::ptrdiff_t longest = branch_start.size() > 1 ? branch_start[1] - branch_start[0] : 0;
    const std::ptrdiff_t need = std::max<std::ptrdiff_t>(phase_len, longest - 1);
    if (need <= keep)
        return;
    const std::ptrdiff_t delta = need - keep;
    if (hist_begin < delta) {
        const std::ptrdiff_t window = hist_end - hist_begin;
        moveWindow(delta, 2 * (window + delta) + kSlack);
    }
    hist_begin -= delta;
    for (std::ptrdiff_t i = 0; i < delta; ++i)
        history[hist_begin + i] = 0.0;
    if constexpr (!kDouble)
        std::fill(
            hist_small.begin() + hist_begin, hist_small.begin() + hist_begin + delta, int64_t(0));
    keep = need;
}

// Makes room for n more samples behind the retained ones (called when they do not fit).
template <typename T, typename C> void FirFilter<T, C>::makeRoom(std::ptrdiff_t n)
{
    // Size for the largest window this rate can leave behind (keep + longest step - 1), so
    // that a steady stream of equal blocks never needs to grow the buffer again.
    const std::ptrdiff_t longestStep = static_cast<std::ptrdiff_t>(step_whole) + (step_frac > 0);
    const std::ptrdiff_t window
        = std::max(hist_end - hist_begin, keep + std::min<std::ptrdiff_t>(longestStep, kMaxChunk));
    moveWindow(0, 2 * window + n + kSlack);
}

// Moves the retained samples to start at dst, in a buffer of at least `capacity` samples
// (the buffer is replaced only when it is smaller).
template <typename T, typename C>
void FirFilter<T, C>::moveWindow(std::ptrdiff_t dst, std::ptrdiff_t capacity)
{
    const std::ptrdiff_t window = hist_end - hist_begin;
    const std::ptrdiff_t cur = static_cast<std::ptrdiff_t>(history.size());
    if constexpr (!kDouble) {
        // The 64-bit copies move with the samples; last_large keeps pointing at the same one.
        last_large = last_large < hist_begin ? -1 : last_large + (dst - hist_begin);
        if (capacity > cur) {
            std::vector<int64_t> fresh(static_cast<std::size_t>(std::max(capacity, cur + cur / 2)));
            std::memcpy(fresh.data() + dst, hist_small.data() + hist_begin,
                static_cast<std::size_t>(window) * sizeof(int64_t));
            hist_small.swap(fresh);
        } else {
            std::memmove(hist_small.data() + dst, hist_small.data() + hist_begin,
                static_cast<std::size_t>(window) * sizeof(int64_t));
        }
    }
    if (capacity > cur) {
        const std::ptrdiff_t grown = std::max(capacity, cur + cur / 2);
        std::vector<T> fresh(static_cast<std::size_t>(grown));
        for (std::ptrdiff_t i = 0; i < window; ++i) {
            if constexpr (kDouble)
                fresh[dst + i] = history[hist_begin + i];
            else
                fresh[dst + i].swap(history[hist_begin + i]);
        }
        history.swap(fresh);
    } else if (dst != hist_begin) {
        if constexpr (kDouble) {
            std::memmove(history.data() + dst, history.data() + hist_begin,
                static_cast<std::size_t>(window) * sizeof(double));
        } else if (dst < hist_begin) {
            for (std::ptrdiff_t i = 0; i < window; ++i)
                history[dst + i].swap(history[hist_begin + i]);
        } else {
            for (std::ptrdiff_t i = window - 1; i >= 0; --i)
                history[dst + i].swap(history[hist_begin + i]);
        }
    }
    hist_begin = dst;
    hist_end = dst + window;
}

extern template class FirFilter<double, double>;
extern template class FirFilter<mpz_class, double>;

#endif // KIP_FIR_FILTER_H
