// A fixed ring handing values from one thread to one other, without locks
// and without allocating: the console's commands to the control loop, and
// the loop's words to the printing thread. Neither side ever waits on the
// other; a full ring refuses the value.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>

namespace walker {

template <typename T, std::size_t N>
class Ring {
  static_assert(N >= 2 && (N & (N - 1)) == 0, "the ring's size is a power of two");

 public:
  // The producer's side: false when the ring is full (nothing is stored).
  bool push(const T &value) {
    const std::size_t tail = tail_.load(std::memory_order_relaxed);
    if (tail - head_.load(std::memory_order_acquire) == N) return false;
    slots_[tail % N] = value;
    tail_.store(tail + 1, std::memory_order_release);
    return true;
  }
  // The consumer's side: false when the ring is empty.
  bool pop(T &value) {
    const std::size_t head = head_.load(std::memory_order_relaxed);
    if (head == tail_.load(std::memory_order_acquire)) return false;
    value = slots_[head % N];
    head_.store(head + 1, std::memory_order_release);
    return true;
  }
  // Values pushed and popped so far; either side may ask.
  std::size_t pushed() const { return tail_.load(std::memory_order_acquire); }
  std::size_t popped() const { return head_.load(std::memory_order_acquire); }

 private:
  std::array<T, N> slots_{};
  alignas(64) std::atomic<std::size_t> head_{0};  // next to pop; the consumer's
  alignas(64) std::atomic<std::size_t> tail_{0};  // next to push; the producer's
};

}  // namespace walker
