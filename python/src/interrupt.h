// Stopping long calls between units of work: Ctrl-C on the main thread, or a flag another thread
// raises to cancel a worker.
#ifndef KIP_PY_INTERRUPT_H
#define KIP_PY_INTERRUPT_H

#include <pybind11/pybind11.h>

#include <atomic>
#include <chrono>

namespace kip_py {

namespace py = pybind11;

// Set once by the thread that gives up on a batch; read by its workers between frames.
class CancelFlag {
public:
    void set() noexcept { set_.store(true, std::memory_order_relaxed); }
    bool is_set() const noexcept { return set_.load(std::memory_order_relaxed); }

    // Registers the class as `name` in module m, local to that module.
    static void bind(py::module_& m, const char* name)
    {
        py::class_<CancelFlag>(m, name, py::module_local())
            .def(py::init<>())
            .def("set", &CancelFlag::set)
            .def("is_set", &CancelFlag::is_set);
    }

private:
    std::atomic<bool> set_ { false };
};

// One long call's interruption check. stop() runs without the GIL between units of work; about
// every 20 ms it takes the GIL and lets Python run its signal handlers (which it does only on the
// main thread): a handler that raises (Ctrl-C: KeyboardInterrupt) stops the call. After the call,
// with the GIL held, raise_if_interrupted() raises that exception.
class InterruptCheck {
public:
    explicit InterruptCheck(const CancelFlag* cancel = nullptr)
        : cancel_(cancel)
        , next_(std::chrono::steady_clock::now() + kPeriod)
    {
    }

    bool stop()
    {
        if (cancel_ != nullptr && cancel_->is_set())
            return true;
        const auto now = std::chrono::steady_clock::now();
        if (now < next_)
            return false;
        next_ = now + kPeriod;
        py::gil_scoped_acquire gil;
        if (PyErr_CheckSignals() != 0)
            interrupted_ = true; // the exception stays pending on this thread
        return interrupted_;
    }

    bool interrupted() const { return interrupted_; }
    bool cancelled() const { return cancel_ != nullptr && cancel_->is_set(); }

    void raise_if_interrupted() const
    {
        if (interrupted_)
            throw py::error_already_set();
    }

private:
    static constexpr std::chrono::milliseconds kPeriod { 20 };
    const CancelFlag* cancel_;
    std::chrono::steady_clock::time_point next_;
    bool interrupted_ = false;
};

} // namespace kip_py

#endif
