// Per-thread destination of the FFT model's message lines, for front ends linked to fft_core.
// Not part of the C interface: C callers always get the lines on the standard error stream.
#ifndef KFFT_MESSAGE_SINK_H
#define KFFT_MESSAGE_SINK_H

#include <cstddef>

namespace kfft {

// Receives one message line: is_error is 1 for "ERROR:kfft_v8_0:" lines, 0 for warnings;
// line is NUL-terminated, without the newline, and valid only during the call. Runs on the
// thread that called the library, inside the library call. Must not throw.
using MessageCallback = void (*)(void* ctx, int is_error, const char* line);

// While a guard lives, every message line the library writes on the constructing thread goes
// to callback(ctx, ...) instead of the standard error stream; other threads are unaffected.
// Guards nest: the destructor restores the sink that was active before. A null callback
// restores the standard error stream for the guard's lifetime. Guards must be destroyed on
// their own thread, innermost first (plain scoped use does this).
class ScopedMessageSink {
public:
    ScopedMessageSink(MessageCallback callback, void* ctx) noexcept;
    ~ScopedMessageSink();
    ScopedMessageSink(const ScopedMessageSink&) = delete;
    ScopedMessageSink& operator=(const ScopedMessageSink&) = delete;

private:
    MessageCallback saved_callback_;
    void* saved_ctx_;
};

// Hands one line (len bytes, no newline) to the calling thread's sink, or writes it with a
// newline to the standard error stream and flushes. Does not allocate for the stream path;
// a sink receives a NUL-terminated copy.
void deliver_line(const char* text, std::size_t len, bool is_error);

} // namespace kfft

#endif
