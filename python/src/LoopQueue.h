#pragma once
// Values and scan reports for an asyncio loop, queued by the library's threads without the GIL.
//
// A value or report callback that must run in an event loop would otherwise take the GIL on the library's
// thread only to hand its argument to the loop. Here the library's thread queues the bytes and, unless the loop is
// already due to take them, wakes the loop through an eventfd that the loop watches; the loop takes what is queued in
// bounded batches. After a take that found values the loop stays due (it comes back on a timer of its own, or at once
// when more wait), so a dense stream costs one wake per batch; a take that finds nothing lets the next value wake it
// again.
//
// A loop slower than the reports of a scan does not fall behind for good, as the library's own queue does not: once
// the backlog reaches a bound, a repeated report of a device whose last report still waits takes that one's place
// (the latest advertisement, where the earlier one stood), so the backlog stays within the bound plus one report per
// device. Values are never dropped.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <variant>

#include <tavrin/Peripheral.h>

#include "Bindings.h"

namespace tavrin_py {

class LoopQueue {
  public:
    LoopQueue();
    ~LoopQueue();
    LoopQueue(const LoopQueue&) = delete;
    LoopQueue& operator=(const LoopQueue&) = delete;

    /// The descriptor the loop watches (readable while values wait); -1 once closed.
    int fileno();
    /// A value (bytes), a scan report (a peripheral), or the end of a key's values (None in Python: a stream's link
    /// went), which comes after every value pushed before it.
    using Item = std::variant<std::string, Tavrin::Peripheral, std::monostate>;

    /// From any thread, without the GIL. `latest`: a repeated scan report, which may take the place of its device's
    /// report still waiting under the same key once the backlog is long.
    void push(uint64_t key, Item item, bool latest = false);
    /// In the loop: at most `limit` of the items queued, oldest first, as (key, bytes or tavrin.Peripheral) pairs.
    /// When there is nothing, the next item wakes the loop again; otherwise the loop must call again later.
    py::list take(size_t limit);
    /// For a loop that closed: closes the descriptor and drops what is queued and all that is pushed later.
    void close();
    /// How many items wait.
    size_t size();

  private:
    std::mutex mutex_;
    int fd_;                                        // guarded by mutex_; -1 once closed
    std::deque<std::pair<uint64_t, Item>> values_;  // guarded by mutex_
    uint64_t taken_ = 0;                            // guarded by mutex_; items taken so far: the front's number
    // Guarded by mutex_: for each key and device (its platform object) with a `latest` report waiting, that report's
    // number (counted as `taken_`).
    std::map<std::pair<uint64_t, const void*>, uint64_t> waiting_;
    bool due_ = false;  // guarded by mutex_; the loop will take the values without a wake
};

/// What `notify`/`indicate` and the scan report setters take instead of a callable to queue their values or
/// reports into a LoopQueue under a key.
struct LoopSink {
    std::shared_ptr<LoopQueue> queue;
    uint64_t key;
    bool latest;  // the sink's reports are repeats (see LoopQueue::push)
};

}  // namespace tavrin_py
