// First-in first-out queue of filter output samples: a growable ring buffer.
//
// The data path keeps one of these per path and channel; the filter kernel appends at the back
// and the output path takes samples off the front.  Both ends are O(1).  Slots are never
// destroyed while the queue lives: popping only moves the head, and a later append overwrites
// the slot in place.  For GMP integers that means the limb storage of a slot is reused, so a
// queue that has reached its working size performs no further heap allocation, whatever the
// element type.  The capacity is a power of two and only ever grows (doubling when full).
#ifndef KIP_FIR_FIFO_H
#define KIP_FIR_FIFO_H

#include <cstddef>
#include <type_traits>
#include <utility>
#include <vector>

template <typename T> class FirFifo {
public:
    FirFifo() = default;
    explicit FirFifo(std::size_t min_capacity) { reserve(min_capacity); }

    std::size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }
    std::size_t capacity() const { return slots_.size(); }

    // Oldest sample.  Precondition: not empty.
    T& front() { return slots_[head_]; }
    const T& front() const { return slots_[head_]; }

    // i-th sample counted from the front (0 is the oldest).  Precondition: i < size().
    T& operator[](std::size_t i) { return slots_[(head_ + i) & mask_]; }
    const T& operator[](std::size_t i) const { return slots_[(head_ + i) & mask_]; }

    // Removes the oldest sample; does nothing on an empty queue.
    void pop_front()
    {
        if (count_ == 0)
            return;
        head_ = (head_ + 1) & mask_;
        --count_;
    }

    // Appends a slot at the back and returns it.  The slot holds whatever value it last had:
    // the caller overwrites it.  Allocates only when the queue is full.
    T& emplace_back()
    {
        if (count_ == slots_.size())
            grow(count_ + 1);
        T& slot = slots_[(head_ + count_) & mask_];
        ++count_;
        return slot;
    }

    void push_back(const T& value) { emplace_back() = value; }

    // Forgets every sample; keeps the capacity and the slots.
    void clear()
    {
        head_ = 0;
        count_ = 0;
    }

    // Makes room for at least n samples without further allocation.
    void reserve(std::size_t n)
    {
        if (n > slots_.size())
            grow(n);
    }

private:
    void grow(std::size_t min_capacity)
    {
        std::size_t cap = slots_.empty() ? 16 : slots_.size();
        while (cap < min_capacity)
            cap *= 2;
        std::vector<T> fresh(cap);
        for (std::size_t i = 0; i < count_; ++i) {
            T& src = slots_[(head_ + i) & mask_];
            if constexpr (std::is_trivially_copyable_v<T>)
                fresh[i] = src;
            else {
                using std::swap;
                swap(fresh[i], src);
            }
        }
        slots_.swap(fresh);
        head_ = 0;
        mask_ = cap - 1;
    }

    std::vector<T> slots_;
    std::size_t head_ = 0;
    std::size_t count_ = 0;
    std::size_t mask_ = 0;
};

#endif // KIP_FIR_FIFO_H
