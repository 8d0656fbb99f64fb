#pragma once
// Values for an asyncio loop, queued by the library's threads without the GIL.
//
// A value callback that must run in an event loop would otherwise take the GIL on the library's thread only
// to hand the value to the loop. Here the library's thread queues the bytes and, unless the loop is already
// due to take them, wakes the loop through an eventfd that the loop watches; the loop takes everything
// queued in one go. After a take that found values the loop stays due (it comes back on a timer of its own),
// so a dense stream costs one wake per batch; a take that finds nothing lets the next value wake it again.

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "Bindings.h"

namespace tavrin_py {

class LoopQueue {
  public:
    LoopQueue();
    ~LoopQueue();
    LoopQueue(const LoopQueue&) = delete;
    LoopQueue& operator=(const LoopQueue&) = delete;

    /// The descriptor the loop watches (readable while values wait).
    int fileno() const { return fd_; }
    /// From any thread, without the GIL.
    void push(uint64_t key, std::string value);
    /// In the loop: everything queued so far, in order, as (key, bytes) pairs. When there is nothing, the next
    /// value wakes the loop again; otherwise the loop must call again later.
    py::list take();

  private:
    const int fd_;
    std::mutex mutex_;
    std::deque<std::pair<uint64_t, std::string>> values_;  // guarded by mutex_
    bool due_ = false;  // guarded by mutex_; the loop will take the values without a wake
};

/// What `notify`/`indicate` take instead of a callable to queue the values into a LoopQueue under a key.
struct LoopSink {
    std::shared_ptr<LoopQueue> queue;
    uint64_t key;
};

}  // namespace tavrin_py
