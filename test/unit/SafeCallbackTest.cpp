#include "callback/safe_callback.h"

#include <atomic>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/Watch.h"

namespace {

using namespace std::chrono_literals;

// Counts live instances of a callable, copies and moves included.
struct Counted {
    static inline std::atomic<int> live{0};
    static inline std::atomic<int> calls{0};
    Counted() { ++live; }
    Counted(const Counted&) { ++live; }
    Counted(Counted&&) noexcept { ++live; }
    ~Counted() { --live; }
    void operator()() const { ++calls; }
};

TEST(SafeCallback, LoadUnloadAndCallBasics) {
    zem::safe_callback<void(int)> holder;
    EXPECT_FALSE(holder.is_loaded());
    EXPECT_FALSE(static_cast<bool>(holder));
    EXPECT_NO_THROW(holder(1));

    std::vector<int> seen;
    holder.load([&](int v) { seen.push_back(v); });
    EXPECT_TRUE(holder.is_loaded());
    EXPECT_TRUE(static_cast<bool>(holder));
    holder(2);

    holder.load({});  // empty: the installed callable stays
    EXPECT_TRUE(holder.is_loaded());
    holder(3);

    auto probe = std::make_shared<int>(0);
    std::weak_ptr<int> watch = probe;
    holder.load([&, probe](int v) { seen.push_back(v * 10); });
    probe.reset();
    holder(4);
    EXPECT_FALSE(watch.expired());

    holder.unload();
    EXPECT_TRUE(watch.expired()) << "unload must release the callable before it returns";
    EXPECT_FALSE(holder.is_loaded());
    holder(5);
    holder.unload();  // twice is harmless
    EXPECT_EQ(seen, (std::vector<int>{2, 3, 40}));
}

TEST(SafeCallback, ThrowPassesThroughAndHolderStaysUsable) {
    zem::safe_callback<void(std::string)> holder;
    int calls = 0;
    holder.load([&](std::string text) {
        ++calls;
        if (text == "fail") {
            throw std::invalid_argument("bad " + text);
        }
    });
    try {
        holder("fail");
        ADD_FAILURE() << "expected a throw";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "bad fail");
    }
    EXPECT_TRUE(holder.is_loaded());
    holder("ok");
    EXPECT_EQ(calls, 2);
    // The lock was released during unwinding.
    std::thread([&] { holder.unload(); }).join();
    EXPECT_FALSE(holder.is_loaded());
}

TEST(SafeCallback, CallableMayReplaceOrClearItselfWhileRunning) {
    zem::safe_callback<void()> holder;
    auto probe = std::make_shared<std::string>("first");
    std::weak_ptr<std::string> watch = probe;
    std::vector<std::string> log;

    // Clears itself, then keeps using its captures.
    holder.load([&, probe] {
        holder.unload();
        log.push_back(holder.is_loaded() ? "still loaded" : "unloaded");
        log.push_back(*probe);
    });
    probe.reset();
    holder();
    EXPECT_TRUE(watch.expired()) << "the retired callable goes once the call returns";
    EXPECT_FALSE(holder.is_loaded());
    EXPECT_EQ(log, (std::vector<std::string>{"unloaded", "first"}));

    // Replaces itself, recursing into the new callable from inside the old one.
    log.clear();
    probe = std::make_shared<std::string>("old");
    watch = probe;
    holder.load([&, probe] {
        holder.load([&] { log.push_back("new"); });
        holder();
        log.push_back(*probe);
    });
    probe.reset();
    holder();
    EXPECT_TRUE(watch.expired());
    holder();
    EXPECT_EQ(log, (std::vector<std::string>{"new", "old", "new"}));

    // Clears itself and then throws: the retired callable is still released.
    probe = std::make_shared<std::string>("thrower");
    watch = probe;
    holder.load([&, probe] {
        holder.unload();
        throw std::runtime_error(*probe);
    });
    probe.reset();
    EXPECT_THROW(holder(), std::runtime_error);
    EXPECT_TRUE(watch.expired());
    EXPECT_FALSE(holder.is_loaded());
}

// A small, trivially copyable callable lives inside std::function itself: installing its successor
// must not overwrite the captures of the one still running.
TEST(SafeCallback, SmallCallableReplacingItselfKeepsItsOwnCaptures) {
    static std::vector<int> seen;
    seen.clear();
    zem::safe_callback<void()> holder;
    holder.load([self = &holder, id = 1] {
        self->load([out = &seen, id = 2] { out->push_back(id); });
        seen.push_back(id);
    });
    holder();
    holder();
    EXPECT_EQ(seen, (std::vector<int>{1, 2}));
}

TEST(SafeCallback, DestructionDestroysCallableExactlyOnce) {
    Counted::live = 0;
    {
        zem::safe_callback<void()> holder;
        holder.load(Counted{});
        EXPECT_EQ(Counted::live, 1);
        holder();
    }
    EXPECT_EQ(Counted::live, 0);
    {
        zem::safe_callback<void()> holder;
        holder.load(Counted{});
        holder.load(Counted{});  // replaces: the first is gone
        EXPECT_EQ(Counted::live, 1);
        holder.load([&holder] { holder.load(Counted{}); });  // retired mid-call, then released
        holder();
        EXPECT_EQ(Counted::live, 1);
    }
    EXPECT_EQ(Counted::live, 0);
}

TEST(SafeCallback, ConcurrentLoadUnloadAndInvoke) {
    zem::safe_callback<void(int)> holder;
    // Calls from two threads may overlap: the callable keeps its own state safe.
    std::atomic<long> total{0};
    Counted::live = 0;
    std::atomic<bool> stop{false};
    std::atomic<int> invoked{0};

    auto make = [&](int weight) {
        return [&total, &invoked, weight, tracker = Counted{}](int v) {
            total += v * weight;
            ++invoked;
        };
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&] {
            while (!stop) {
                if (holder) {
                    holder(1);  // may find it emptied in between: then nothing happens
                }
                holder(1);
            }
        });
    }
    threads.emplace_back([&] {
        for (int i = 0; i < 2000; ++i) {
            holder.load(make(1 + i % 3));
            if (i % 2) {
                holder.unload();
            }
        }
    });
    threads.emplace_back([&] {
        for (int i = 0; i < 2000; ++i) {
            holder.load(make(1));
            std::this_thread::yield();
        }
    });
    threads[2].join();
    threads[3].join();
    stop = true;
    threads[0].join();
    threads[1].join();
    EXPECT_GT(invoked.load(), 0);
    EXPECT_GE(total, invoked.load());
    holder.unload();
    EXPECT_EQ(Counted::live, 0);
}

// Each callable fires the other holder and replaces its callable while the other runs on another
// thread: no lock of one holder is held while its callable runs, so neither waits for the other.
TEST(SafeCallback, HoldersReachingEachOtherFromTwoThreadsNeverDeadlock) {
    zem::safe_callback<void()> a, b;
    std::atomic<int> arrived{0}, a_calls{0}, b_calls{0};
    auto meet = [&] {
        ++arrived;
        test_support::eventually([&] { return arrived.load() >= 2; }, 2s);
    };
    a.load([&] {
        if (++a_calls == 1) {
            meet();
            b();
            b.load([&] { ++b_calls; });
        }
    });
    b.load([&] {
        if (++b_calls == 1) {
            meet();
            a();
            a.load([&] { ++a_calls; });
        }
    });
    test_support::must_finish_within(10s, "two holders reaching each other", [&] {
        std::thread other([&] { b(); });
        a();
        other.join();
    });
    EXPECT_EQ(a_calls.load(), 2);
    EXPECT_EQ(b_calls.load(), 2);
}

// Outside any callback, replacing or removing a callable returns only once its running calls have
// returned, so what it captured may be freed then. Inside a callback it does not wait (the running
// call might be waiting for that very callback).
TEST(SafeCallback, ReplacingWaitsForRunningCallsOnlyOutsideCallbacks) {
    struct Gate {
        std::atomic<bool> entered{false}, release{false}, returned{false};
    };
    auto blocking = [](Gate& gate) {
        return [&gate] {
            gate.entered = true;
            test_support::eventually([&] { return gate.release.load(); }, 5s);
            gate.returned = true;
        };
    };
    zem::safe_callback<void()> holder, other;
    Gate inside, outside;

    holder.load(blocking(inside));
    std::thread running([&] { holder(); });
    ASSERT_TRUE(test_support::eventually([&] { return inside.entered.load(); }));
    other.load([&] { holder.load(blocking(outside)); });
    other();
    EXPECT_FALSE(inside.returned.load());
    inside.release = true;
    running.join();

    running = std::thread([&] { holder(); });
    ASSERT_TRUE(test_support::eventually([&] { return outside.entered.load(); }));
    std::thread releaser([&] {
        std::this_thread::sleep_for(50ms);
        outside.release = true;
    });
    holder.unload();
    EXPECT_TRUE(outside.returned.load()) << "unload returned while a call was still running";
    running.join();
    releaser.join();
}

}  // namespace
