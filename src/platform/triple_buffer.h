#pragma once

#include <atomic>

// Hands whole values of T from one writer to one reader; neither ever waits for the other. The
// writer fills a buffer of its own and swaps it with the middle one; the reader swaps its own
// with the middle one when that holds something newer. So a real-time reader takes the newest
// value without a lock, and a writer preempted halfway through holds nothing the reader needs.
// Writers (readers) among themselves are the caller's business: one at a time each.
template <typename T>
class TripleBuffer {
  public:
    // Writer. Sequentially consistent: a writer that then reads another atomic, and a reader
    // that wrote one before readNew, cannot both miss each other's store.
    void write(const T& value) {
        buffers_[back_] = value;
        back_ = middle_.exchange(back_ | kFresh) & kIndex;
    }

    // Reader: the newest value written since the last read; false (value untouched) when none
    // was. Real-time safe.
    bool readNew(T& value) {
        if (!(middle_.load() & kFresh)) return false;
        front_ = middle_.exchange(front_) & kIndex;
        value = buffers_[front_];
        return true;
    }
    // Whether a value was written since the last read. Real-time safe.
    bool hasNew() const { return (middle_.load() & kFresh) != 0; }

  private:
    static constexpr unsigned kIndex = 3;
    static constexpr unsigned kFresh = 4;
    T buffers_[3]{};
    std::atomic<unsigned> middle_{1};
    unsigned back_ = 0;   // writer only
    unsigned front_ = 2;  // reader only
};
