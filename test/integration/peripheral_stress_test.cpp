// Notifications flowing while caller threads read, write and re-subscribe on one peripheral, and the
// limits each call keeps whatever the other threads do. Meant to be run under ThreadSanitizer and
// AddressSanitizer as well.

#include <gtest/gtest.h>

#include <tavrin/Exceptions.h>

#include "support/PeripheralHarness.h"

namespace peripheral_test {
namespace {

using platform::sim::Fault;
using Tavrin::Exception::OperationFailed;

constexpr const char* kNotifyB = "7e1a0008-3b2d-4c6e-9f80-1a2b3c4d5e6f";
constexpr const char* kNotifyC = "7e1a0009-3b2d-4c6e-9f80-1a2b3c4d5e6f";

TEST(PeripheralStress, NotificationsReadsWritesAndResubscriptionsInterleave) {
    auto device = test_device();
    device.connection.interval_ms = 2;  // a quick link, so writes without response keep moving
    PeripheralHarness harness(world_of({device}));
    auto& base = harness.base();
    base.connect();

    std::atomic<long> delivered{0};
    std::atomic<bool> stop{false};
    std::atomic<int> failures{0};
    const auto count = [&delivered](std::string value) {
        if (value.size() != 2) {
            ADD_FAILURE() << "unexpected value size " << value.size();
        }
        ++delivered;
    };
    base.notify(kService, kValueChar, count);

    std::thread notifier([&] {
        unsigned i = 0;
        while (!stop) {
            harness.world().notify(kDevice, kService, kValueChar, std::string{static_cast<char>(i), '\0'});
            ++i;
            std::this_thread::sleep_for(200us);
        }
    });

    const auto run = [&](auto body) {
        return std::thread([&, body] {
            try {
                for (int round = 0; round < 25; ++round) {
                    body(round);
                }
            } catch (const std::exception& e) {
                ++failures;
                ADD_FAILURE() << e.what();
            }
        });
    };
    // Reads may be completed by a notification (any 2-byte value) or by their answer (3 bytes at
    // first, 2 once the notifications changed the value): either way some bytes come back.
    std::thread reader_writer = run([&](int round) {
        EXPECT_FALSE(base.read(kService, kValueChar).empty());
        base.write_request(kService, kRequestChar, std::string(1, static_cast<char>(round)));
        EXPECT_EQ(base.read(kService, kReadOnlyChar), "RO");
    });
    std::thread subscriber = run([&](int round) {
        base.unsubscribe(kService, kValueChar);
        base.write_command(kService, kCommandChar, std::string(20, static_cast<char>(round)));
        base.notify(kService, kValueChar, count);
        base.read(kService, kValueChar, kUserDescription);
    });

    reader_writer.join();
    subscriber.join();
    stop = true;
    notifier.join();

    EXPECT_EQ(failures, 0);
    EXPECT_GT(delivered, 0);
    EXPECT_TRUE(eventually([&] {
        size_t commands = 0;
        for (const auto& write : harness.world().receivedWrites(kDevice)) {
            commands += write.characteristic_uuid == kCommandChar ? 1 : 0;
        }
        return commands == 25;
    }));
    EXPECT_TRUE(base.is_connected());
}

// A value callback that subscribes (another characteristic) while the caller's thread subscribes and
// unsubscribes a third: neither may wait for the other.
TEST(PeripheralStress, SubscriptionsFromCallbacksAndCallersDoNotBlockEachOther) {
    auto device = test_device();
    const auto notify = platform::CBCharacteristicPropertyNotify;
    device.services[0].characteristics.push_back(characteristic(kNotifyB, notify));
    device.services[0].characteristics.push_back(characteristic(kNotifyC, notify));
    PeripheralHarness harness(world_of({device}));
    auto& base = harness.base();
    base.connect();

    std::atomic<int> resubscribed{0};
    base.notify(kService, kNotifyB, [](std::string) {});
    base.notify(kService, kValueChar, [&](std::string) {
        // Already notifying: replaced at once, which a callback may do.
        base.notify(kService, kNotifyB, [](std::string) {});
        ++resubscribed;
    });

    std::atomic<bool> stop{false};
    std::thread notifier([&] {
        while (!stop) {
            harness.world().notify(kDevice, kService, kValueChar, "v");
            std::this_thread::sleep_for(100us);
        }
    });
    must_finish_within(20s, "subscribing while a callback subscribes", [&] {
        for (int round = 0; round < 30; ++round) {
            base.notify(kService, kNotifyC, [](std::string) {});
            base.unsubscribe(kService, kNotifyC);
        }
    });
    stop = true;
    notifier.join();
    // The callback uses the backend, which the harness destroys: no call of it may be left on the queue.
    base.unsubscribe(kService, kValueChar);
    EXPECT_GT(resubscribed, 0);
}

// Three callers waiting on one unanswered unsubscription each give up after their own second.
TEST(PeripheralStress, ConcurrentCallsKeepTheirOwnLimits) {
    auto device = test_device();
    find_characteristic(device, kValueChar).faults["unsubscribe"] = Fault::Silent;
    PeripheralHarness harness(world_of({device}));
    auto& base = harness.base();
    base.connect();
    base.notify(kService, kValueChar, [](std::string) {});

    std::vector<Clock::duration> elapsed(3);
    std::vector<std::thread> callers;
    for (size_t i = 0; i < elapsed.size(); ++i) {
        callers.emplace_back([&, i] {
            elapsed[i] = timed([&] { EXPECT_THROW(base.unsubscribe(kService, kValueChar), OperationFailed); });
        });
    }
    for (auto& caller : callers) {
        caller.join();
    }
    for (const auto& e : elapsed) {
        EXPECT_GE(e, 950ms);
        EXPECT_LE(e, 1800ms) << ms(e);
    }
}

// Answers to other requests keep waking a wait whose own answer never comes: it still ends at its limit.
TEST(PeripheralStress, AWaitWokenByOtherAnswersStillEndsAtItsLimit) {
    auto device = test_device();
    find_characteristic(device, kValueChar).faults["read"] = Fault::Silent;
    PeripheralHarness harness(world_of({device}));
    auto& base = harness.base();
    base.connect();

    std::atomic<bool> stop{false};
    std::atomic<int> other_answers{0};
    std::thread other([&] {
        while (!stop) {
            EXPECT_EQ(base.read(kService, kReadOnlyChar), "RO");
            ++other_answers;
        }
    });
    std::string text;
    const auto elapsed = timed([&] { text = thrown_text<OperationFailed>([&] { base.read(kService, kValueChar); }); });
    stop = true;
    other.join();

    EXPECT_EQ(text, "Operation Failed: Characteristic Read");
    EXPECT_GE(elapsed, 950ms);
    EXPECT_LE(elapsed, 1800ms) << ms(elapsed);
    EXPECT_GT(other_answers, 20);
}

}  // namespace
}  // namespace peripheral_test
