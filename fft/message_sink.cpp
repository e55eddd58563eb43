// Per-thread message sink of the FFT model: a callback installed by a scoped guard, or stderr.
#include "message_sink.h"

#include <cstdio>
#include <string>

namespace kfft {

namespace {

    struct Sink {
        MessageCallback callback = nullptr;
        void* ctx = nullptr;
    };

    // One per thread, so that concurrent calls on different states never see each other's sink.
    thread_local Sink t_sink;

} // namespace

ScopedMessageSink::ScopedMessageSink(MessageCallback callback, void* ctx) noexcept
    : saved_callback_(t_sink.callback)
    , saved_ctx_(t_sink.ctx)
{
    t_sink.callback = callback;
    t_sink.ctx = ctx;
}

ScopedMessageSink::~ScopedMessageSink()
{
    t_sink.callback = saved_callback_;
    t_sink.ctx = saved_ctx_;
}

void deliver_line(const char* text, std::size_t len, bool is_error)
{
    const Sink sink = t_sink;
    if (sink.callback != nullptr) {
        const std::string line(text, len);
        sink.callback(sink.ctx, is_error ? 1 : 0, line.c_str());
        return;
    }
    std::fwrite(text, 1, len, stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

} // namespace kfft
