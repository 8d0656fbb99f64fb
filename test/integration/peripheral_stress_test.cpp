// Notifications flowing while two caller threads read, write and re-subscribe on one peripheral.
// Meant to be run under ThreadSanitizer and AddressSanitizer as well.

#include <gtest/gtest.h>

#include <tavrin/Exceptions.h>

#include "PeripheralHarness.h"

namespace peripheral_test {
namespace {

TEST(PeripheralStress, NotificationsReadsWritesAndResubscriptionsInterleave) {
    auto device = test_device();
    device.connection.interval_ms = 2;  // a quick link, so writes without response keep moving
    PeripheralHarness harness(world_with(device));
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

}  // namespace
}  // namespace peripheral_test
