// Connection events: routing to peripherals of earlier scans, the console lines for failures and
// losses, and events for peripherals the adapter never discovered.

#include <gtest/gtest.h>

#include <tavrin/Exceptions.h>

#include "backends/macos/AdapterBaseMacOS.h"
#include "support/AdapterHarness.h"

namespace adapter_test {
namespace {

const std::string kA = device_id(21);
// Named, so the console lines about it can be told from the others.
platform::sim::PeripheralConfig named() {
    return device(kA, 5, "Adapter Test Device");
}

TEST(AdapterConnection, EventsReachPeripheralsOfEarlierScans) {
    reset_world({named()});
    ConsoleCapture console;
    auto adapter = the_adapter();
    auto peripheral = find_one(adapter, kA);

    // A later scan without the device: it is no longer listed but stays registered.
    platform::sim::World::get().removePeripheral(kA);
    adapter.scan_start();
    drain(adapter);
    adapter.scan_stop();
    drain(adapter);
    EXPECT_TRUE(adapter.scan_get_results().empty());
    platform::sim::World::get().addPeripheral(named());

    std::mutex mutex;
    std::vector<std::thread::id> disconnected;  // guarded by mutex
    peripheral.set_callback_on_disconnected([&] {
        std::lock_guard<std::mutex> lock(mutex);
        disconnected.push_back(std::this_thread::get_id());
    });
    auto disconnections = [&] {
        std::lock_guard<std::mutex> lock(mutex);
        return disconnected.size();
    };

    peripheral.connect();
    EXPECT_TRUE(peripheral.is_connected());

    // A link loss reaches the peripheral through the adapter, on the event queue, and is written out.
    platform::sim::World::get().dropLink(kA);
    ASSERT_TRUE(eventually([&] { return disconnections() == 1; }));
    {
        std::lock_guard<std::mutex> lock(mutex);
        EXPECT_NE(disconnected[0], std::this_thread::get_id());
    }
    EXPECT_EQ(console.count("Peripheral Adapter Test Device disconnected: "), 1u);

    // A requested disconnection is no error: no console line, the callback from disconnect() only.
    peripheral.connect();
    peripheral.disconnect();
    drain(adapter);
    EXPECT_EQ(disconnections(), 2u);
    EXPECT_EQ(console.count("disconnected: "), 1u);
    EXPECT_EQ(console.count("Exception"), 0u);
}

// connect() from the found callback runs on the event queue that would have to deliver its answers:
// it fails with its usual exception instead of hanging the adapter, and the scan goes on.
TEST(AdapterConnection, ConnectInsideTheFoundCallbackFailsAndTheScanGoesOn) {
    const std::string kB = device_id(22);
    reset_world({device(kA), device(kB)});
    auto adapter = the_adapter();
    std::mutex mutex;
    std::vector<std::string> found;  // guarded by mutex
    std::string outcome;             // guarded by mutex
    adapter.set_callback_on_scan_found([&](Tavrin::Peripheral p) {
        std::string text = "(not called)";
        if (p.address() == kA) {
            try {
                p.connect();
                text = "connected";
            } catch (const Tavrin::Exception::OperationFailed& e) {
                text = e.what();
            }
        }
        std::lock_guard<std::mutex> lock(mutex);
        found.push_back(p.address());
        if (p.address() == kA) {
            outcome = text;
        }
    });
    adapter.scan_start();
    ASSERT_TRUE(eventually(
        [&] {
            std::lock_guard<std::mutex> lock(mutex);
            return found.size() == 2;
        },
        8s));
    adapter.scan_stop();
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(outcome.rfind("Operation Failed: ", 0), 0u) << outcome;
}

TEST(AdapterConnection, FailedConnectionIsOnlyWrittenToTheConsole) {
    auto failing = device(kA, 5, std::nullopt);
    failing.connection.outcome = platform::sim::ConnectOutcome::Fail;
    reset_world({failing});
    ConsoleCapture console;
    auto adapter = the_adapter();
    auto peripheral = find_one(adapter, kA);

    EXPECT_THROW(peripheral.connect(), Tavrin::Exception::OperationFailed);
    ASSERT_TRUE(eventually([&] { return console.count("Failed to connect to peripheral (null): ") == 1; }));
    drain(adapter);
    EXPECT_EQ(console.count("Failed to connect"), 1u);
    EXPECT_EQ(console.count("Exception"), 0u);
}

TEST(AdapterConnection, UnknownPeripheralsRaiseInvalidReferenceContainedOnTheQueue) {
    reset_world({named()});
    ConsoleCapture console;
    auto adapter = the_adapter();
    const auto backend = AdapterPeek(adapter).backend();
    int not_a_peripheral = 0;
    try {
        backend->delegate_did_connect_peripheral(&not_a_peripheral);
        ADD_FAILURE() << "nothing thrown";
    } catch (const Tavrin::Exception::InvalidReference& e) {
        EXPECT_STREQ(e.what(), "Underlying reference to object is invalid.");
    }
    EXPECT_THROW(backend->delegate_did_disconnect_peripheral(&not_a_peripheral), Tavrin::Exception::InvalidReference);

    // A platform peripheral that this adapter never discovered: one of another adapter's.
    auto other = the_adapter();
    auto foreign = find_one(other, kA);
    const auto foreign_peripheral = static_cast<platform::CBPeripheral*>(foreign.underlying())->shared_from_this();

    // A second delegate feeding this adapter, so its events can be played on a queue of their own.
    const auto delegate = Tavrin::AdapterBaseMacOS::init(backend);
    auto* manager = static_cast<platform::CBCentralManager*>(delegate->underlying());
    const platform::NSError error = platform::CBErrorMake(platform::CBError::PeripheralDisconnected,
                                                          "The specified device has disconnected from us.");
    std::atomic<bool> went_on{false};
    manager->queue()->async([&] { delegate->centralManagerDidConnectPeripheral(*manager, foreign_peripheral); });
    manager->queue()->async(
        [&] { delegate->centralManagerDidDisconnectPeripheral(*manager, foreign_peripheral, &error); });
    manager->queue()->async([&] { went_on = true; });
    ASSERT_TRUE(eventually([&] { return went_on.load(); }));

    const std::string id = foreign_peripheral->identifier().UUIDString();
    const auto lines = console.lines();
    ASSERT_EQ(lines.size(), 3u) << ::testing::PrintToString(lines);
    EXPECT_EQ(lines[0], "Exception in centralManager:didConnectPeripheral: for peripheral " + id +
                            ": Underlying reference to object is invalid.");
    EXPECT_EQ(lines[1], "Peripheral Adapter Test Device disconnected: The specified device has disconnected from us.");
    EXPECT_EQ(lines[2], "Exception in centralManager:didDisconnectPeripheral:error: for peripheral " + id +
                            ": Underlying reference to object is invalid.");
}

}  // namespace
}  // namespace adapter_test
