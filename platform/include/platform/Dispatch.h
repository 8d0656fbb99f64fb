#pragma once
// Stand-in for libdispatch: serial queues, each running its tasks one at a time, in order, on its own thread.

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace platform {

enum class dispatch_qos_class_t : unsigned {
    QOS_CLASS_USER_INTERACTIVE = 0x21,
    QOS_CLASS_USER_INITIATED = 0x19,
    QOS_CLASS_DEFAULT = 0x15,
    QOS_CLASS_UTILITY = 0x11,
    QOS_CLASS_BACKGROUND = 0x09,
    QOS_CLASS_UNSPECIFIED = 0x00,
};

struct dispatch_queue_attr_t {
    bool serial = true;
    dispatch_qos_class_t qos = dispatch_qos_class_t::QOS_CLASS_UNSPECIFIED;
    int relative_priority = 0;
};

inline constexpr dispatch_queue_attr_t DISPATCH_QUEUE_SERIAL{};

dispatch_queue_attr_t dispatch_queue_attr_make_with_qos_class(dispatch_queue_attr_t attr, dispatch_qos_class_t qos,
                                                              int relative_priority);

class DispatchQueue;
using dispatch_queue_t = std::shared_ptr<DispatchQueue>;

dispatch_queue_t dispatch_queue_create(const std::string& label, dispatch_queue_attr_t attr);

/// A serial queue. Tasks run one at a time, in the order they became due, on the queue's own thread.
/// An exception that escapes a task is caught and written with NSLog; the queue goes on.
/// Destruction drops the tasks not yet started and waits for a running one, unless it happens on
/// the queue's own thread (inside a task), in which case the thread finishes that task and ends.
class DispatchQueue {
public:
    DispatchQueue(std::string label, dispatch_queue_attr_t attr);
    ~DispatchQueue();
    DispatchQueue(const DispatchQueue&) = delete;
    DispatchQueue& operator=(const DispatchQueue&) = delete;

    const std::string& label() const noexcept;
    dispatch_queue_attr_t attributes() const noexcept;

    void async(std::function<void()> task);
    void asyncAfter(std::chrono::steady_clock::duration delay, std::function<void()> task);
    /// Runs `task` on the queue and waits for it; on the queue's own thread it runs at once.
    void sync(const std::function<void()>& task);
    /// True when called from a task of this queue.
    bool isCurrent() const noexcept;

private:
    struct Impl;
    std::shared_ptr<Impl> impl_;
};

}  // namespace platform
