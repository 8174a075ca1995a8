// Hands items from threads that make them to one thread that uses them (the
// GUI thread). Bounded, a push blocks while the queue is full: for a producer
// that may run ahead of its consumer, such as a file read at full speed.
// Unbounded, a push never blocks: for a producer that must keep draining a
// source that loses data when not drained, such as a kernel event buffer.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <limits>
#include <mutex>
#include <utility>
#include <vector>

namespace input {

template <class T>
class HandoffQueue {
  public:
    static constexpr std::size_t unbounded = std::numeric_limits<std::size_t>::max();

    explicit HandoffQueue(std::size_t capacity = unbounded)
        : capacity_(capacity == 0 ? 1 : capacity) {}
    HandoffQueue(const HandoffQueue&) = delete;
    HandoffQueue& operator=(const HandoffQueue&) = delete;

    enum class Pushed {
        first,   // the queue was empty: the consumer needs waking
        queued,  // the consumer has already been woken for earlier items
        closed,  // the queue is closed; the item was dropped
    };

    // Appends `item`, first waiting for room in a bounded queue that is full
    // (until the consumer takes some, or close()).
    Pushed push(T item) {
        std::unique_lock lock(mutex_);
        not_full_.wait(lock, [&] { return closed_ || items_.size() < capacity_; });
        if (closed_)
            return Pushed::closed;
        const bool was_empty = items_.empty();
        items_.push_back(std::move(item));
        return was_empty ? Pushed::first : Pushed::queued;
    }

    // Moves every queued item, oldest first, into `out` (which is cleared), and
    // never blocks. The two vectors trade buffers, so a consumer that passes
    // the same vector each time makes steady traffic allocate nothing.
    std::size_t take_all(std::vector<T>& out) {
        out.clear();
        {
            std::lock_guard lock(mutex_);
            std::swap(out, items_);
        }
        not_full_.notify_all();
        return out.size();
    }

    // Refuses every later push and wakes the producers waiting for room;
    // items already queued can still be taken.
    void close() {
        {
            std::lock_guard lock(mutex_);
            closed_ = true;
        }
        not_full_.notify_all();
    }

    std::size_t size() const {
        std::lock_guard lock(mutex_);
        return items_.size();
    }
    std::size_t capacity() const { return capacity_; }

  private:
    const std::size_t capacity_;
    mutable std::mutex mutex_;
    std::condition_variable not_full_;
    std::vector<T> items_;
    bool closed_ = false;
};

}  // namespace input
