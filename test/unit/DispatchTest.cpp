#include "platform/Dispatch.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/Foundation.h"

namespace {

using namespace platform;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Waits up to `limit` for `condition`, polling every millisecond.
template <typename F>
bool wait_for(F condition, Clock::duration limit = 2s) {
    const auto deadline = Clock::now() + limit;
    while (!condition()) {
        if (Clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// A one-shot gate a task can wait on.
struct Gate {
    std::mutex mutex;
    std::condition_variable cv;
    bool open = false;  // guarded by mutex
    void release() {
        std::lock_guard<std::mutex> lock(mutex);
        open = true;
        cv.notify_all();
    }
    void wait() {
        std::unique_lock<std::mutex> lock(mutex);
        cv.wait(lock, [&] { return open; });
    }
};

dispatch_queue_t make_queue(const std::string& label = "test.queue") {
    return dispatch_queue_create(label, dispatch_queue_attr_make_with_qos_class(
                                            DISPATCH_QUEUE_SERIAL, dispatch_qos_class_t::QOS_CLASS_USER_INITIATED, -1));
}

TEST(DispatchQueue, RunsTasksInOrderOnItsOwnThread) {
    auto queue = make_queue("ordered");
    EXPECT_EQ(queue->label(), "ordered");
    EXPECT_EQ(queue->attributes().qos, dispatch_qos_class_t::QOS_CLASS_USER_INITIATED);
    EXPECT_EQ(queue->attributes().relative_priority, -1);
    EXPECT_FALSE(queue->isCurrent());

    std::vector<int> order;  // touched only by queue tasks, read after sync
    std::atomic<bool> all_current{true};
    std::vector<std::thread> producers;
    for (int i = 0; i < 20000; ++i) {
        queue->async([&, i] {
            order.push_back(i);
            if (!queue->isCurrent()) {
                all_current = false;
            }
        });
    }
    // Tasks from several threads: each producer's own tasks keep their order.
    std::vector<std::vector<int>> per_producer(3);
    for (int p = 0; p < 3; ++p) {
        producers.emplace_back([&, p] {
            for (int i = 0; i < 1000; ++i) {
                queue->async([&, p, i] { per_producer[p].push_back(i); });
            }
        });
    }
    for (auto& t : producers) {
        t.join();
    }
    queue->sync([] {});
    ASSERT_EQ(order.size(), 20000u);
    for (int i = 0; i < 20000; ++i) {
        ASSERT_EQ(order[i], i);
    }
    for (const auto& seen : per_producer) {
        ASSERT_EQ(seen.size(), 1000u);
        for (int i = 0; i < 1000; ++i) {
            ASSERT_EQ(seen[i], i);
        }
    }
    EXPECT_TRUE(all_current);
}

TEST(DispatchQueue, DelayedTasksRunWhenDueInDueOrder) {
    auto queue = make_queue();
    std::mutex mutex;
    std::vector<std::string> order;  // guarded by mutex
    auto record = [&](std::string name) {
        std::lock_guard<std::mutex> lock(mutex);
        order.push_back(std::move(name));
    };
    std::vector<std::pair<std::string, Clock::duration>> lateness;
    const auto start = Clock::now();
    auto timed = [&](const std::string& name, Clock::duration delay) {
        queue->asyncAfter(delay, [&, name, delay] {
            record(name);
            std::lock_guard<std::mutex> lock(mutex);
            lateness.emplace_back(name, Clock::now() - start - delay);
        });
    };
    timed("300ms", 300ms);
    queue->sync([] {});  // the queue now sleeps until the 300 ms timer
    timed("30ms", 30ms);
    timed("10ms-a", 10ms);
    timed("10ms-b", 10ms);
    timed("negative", -5ms);
    queue->async([&] { record("now"); });
    ASSERT_TRUE(wait_for([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return order.size() == 6;
    }));
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(order, (std::vector<std::string>{"negative", "now", "10ms-a", "10ms-b", "30ms", "300ms"}));
    for (const auto& [name, late] : lateness) {
        SCOPED_TRACE(name);
        EXPECT_GE(late, Clock::duration::zero()) << "ran early";
        EXPECT_LT(late, 1s) << "ran far too late";
    }
}

TEST(DispatchQueue, EscapingExceptionsAreWrittenAndTheQueueGoesOn) {
    std::mutex mutex;
    std::vector<std::string> lines;  // guarded by mutex
    NSLogSetSink([&](const std::string& line) {
        std::lock_guard<std::mutex> lock(mutex);
        lines.push_back(line);
    });
    {
        auto queue = make_queue("faulty");
        queue->async([] { throw std::runtime_error("boom"); });
        queue->async([] { throw NSException("NSInternalInconsistencyException", "broken"); });
        queue->async([] { throw 5; });
        bool ran = false;
        queue->sync([&] { ran = true; });
        EXPECT_TRUE(ran);
        // A throw inside sync reaches the caller of sync.
        EXPECT_THROW(queue->sync([] { throw std::logic_error("to caller"); }), std::logic_error);
        queue->sync([] {});
    }
    NSLogSetSink({});
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[0].find("boom"), std::string::npos);
    EXPECT_NE(lines[0].find("faulty"), std::string::npos);
    EXPECT_NE(lines[1].find("NSInternalInconsistencyException"), std::string::npos);
    EXPECT_NE(lines[1].find("broken"), std::string::npos);
    EXPECT_NE(lines[2].find("unknown"), std::string::npos);
}

TEST(DispatchQueue, SyncRunsInlineOnItsOwnQueue) {
    auto queue = make_queue();
    int value = 0;
    queue->sync([&] {
        value = 1;
        queue->sync([&] { value = 2; });  // would deadlock if queued behind ourselves
        EXPECT_TRUE(queue->isCurrent());
    });
    EXPECT_EQ(value, 2);
    auto other = make_queue("other");
    other->sync([&] { EXPECT_FALSE(queue->isCurrent()); });
}

TEST(DispatchQueue, DestructionDropsPendingTasksAndWaitsForTheRunningOne) {
    auto queue = make_queue();
    std::atomic<bool> started{false};
    std::atomic<bool> finished{false};
    std::atomic<int> dropped_ran{0};
    auto probe = std::make_shared<int>(0);
    std::weak_ptr<int> watch = probe;
    queue->async([&] {
        started = true;
        std::this_thread::sleep_for(30ms);  // still running when the destructor is called
        finished = true;
    });
    for (int i = 0; i < 100; ++i) {
        queue->async([&, probe] { ++dropped_ran; });
    }
    queue->asyncAfter(10ms, [&, probe] { ++dropped_ran; });
    probe.reset();
    ASSERT_TRUE(wait_for([&] { return started.load(); }));
    queue.reset();
    EXPECT_TRUE(finished);
    EXPECT_EQ(dropped_ran, 0);
    EXPECT_TRUE(watch.expired()) << "dropped tasks release their captures";
}

TEST(DispatchQueue, DestructionFromItsOwnTaskIsSafe) {
    // The last reference dropped explicitly inside a task.
    {
        auto queue = make_queue("self.reset");
        Gate gate;
        std::atomic<bool> after_reset{false};
        std::atomic<int> later_ran{0};
        auto probe = std::make_shared<int>(0);
        std::weak_ptr<int> watch = probe;
        queue->async([&gate] { gate.wait(); });
        queue->async([q = queue, &after_reset]() mutable {
            q.reset();  // runs ~DispatchQueue on the queue's own thread
            after_reset = true;
        });
        queue->async([&later_ran, probe] { ++later_ran; });
        probe.reset();
        queue.reset();
        gate.release();
        ASSERT_TRUE(wait_for([&] { return after_reset.load() && watch.expired(); }));
        EXPECT_EQ(later_ran, 0);
    }
    // The last reference held only by a finished task's captures.
    {
        auto queue = make_queue("self.capture");
        Gate gate;
        auto probe = std::make_shared<int>(0);
        std::weak_ptr<int> watch = probe;
        queue->async([&gate] { gate.wait(); });
        queue->async([q = queue, probe] {});
        probe.reset();
        queue.reset();
        gate.release();
        ASSERT_TRUE(wait_for([&] { return watch.expired(); }));
    }
}

TEST(DispatchQueue, ManyQueuesComeAndGo) {
    std::atomic<int> ran{0};
    for (int i = 0; i < 50; ++i) {
        auto queue = make_queue();
        queue->async([&] { ++ran; });
        queue->asyncAfter(1h, [&] { ++ran; });
        queue->sync([] {});
    }
    EXPECT_EQ(ran, 50);
}

}  // namespace
