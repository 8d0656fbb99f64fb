// The peripheral backend's advertisement state and connection callbacks, and the public handle's checks.

#include <gtest/gtest.h>

#include <tavrin/Exceptions.h>
#include <tavrin/Peripheral.h>

#include "frontends/base/PeripheralBuilder.h"
#include "support/PeripheralHarness.h"

namespace peripheral_test {
namespace {

using Tavrin::Exception::NotConnected;
using Tavrin::Exception::NotInitialized;
using Tavrin::Exception::OperationFailed;
using Tavrin::Exception::OperationNotSupported;

/// Records which threads ran the connection callbacks.
struct CallbackLog {
    std::mutex mutex;
    std::vector<std::thread::id> connected;     // guarded by mutex
    std::vector<std::thread::id> disconnected;  // guarded by mutex

    void install(Tavrin::PeripheralBase& base) {
        base.set_callback_on_connected([this] {
            std::lock_guard<std::mutex> lock(mutex);
            connected.push_back(std::this_thread::get_id());
        });
        base.set_callback_on_disconnected([this] {
            std::lock_guard<std::mutex> lock(mutex);
            disconnected.push_back(std::this_thread::get_id());
        });
    }
    size_t disconnections() {
        std::lock_guard<std::mutex> lock(mutex);
        return disconnected.size();
    }
};

TEST(PeripheralBackend, AdvertisementsReplaceOrAccumulateTheirFields) {
    PeripheralHarness harness(world_of({test_device()}));
    auto& base = harness.base();
    EXPECT_EQ(base.rssi(), -42);
    EXPECT_EQ(base.tx_power(), INT16_MIN);
    EXPECT_TRUE(base.is_connectable());
    EXPECT_EQ(base.address_type(), Tavrin::AddressType::Unspecified);
    EXPECT_EQ(static_cast<int32_t>(base.address_type()), 2);

    Tavrin::advertising_data_t first;
    first.connectable = true;
    first.rssi = -70;
    first.tx_power = 4;
    first.manufacturer_data = {{0x004c, std::string("\x02\x00", 2)}};
    first.service_data = {{"0000181a-0000-1000-8000-00805f9b34fb", "old"},
                          {"0000180d-0000-1000-8000-00805f9b34fb", ""}};
    base.update_advertising_data(first);

    Tavrin::advertising_data_t second;
    second.connectable = false;
    second.rssi = -50;
    second.service_data = {{"0000181a-0000-1000-8000-00805f9b34fb", std::string("\x00new", 4)},
                           {"0000180f-0000-1000-8000-00805f9b34fb", "b"}};
    base.update_advertising_data(second);

    EXPECT_EQ(base.rssi(), -50);
    EXPECT_EQ(base.tx_power(), INT16_MIN);
    EXPECT_FALSE(base.is_connectable());
    EXPECT_TRUE(base.manufacturer_data().empty());  // replaced whole
    auto services = base.advertised_services();
    ASSERT_EQ(services.size(), 3u);  // merged, in UUID order
    EXPECT_EQ(services[0].uuid(), "0000180d-0000-1000-8000-00805f9b34fb");
    EXPECT_EQ(services[0].data(), "");
    EXPECT_EQ(services[1].uuid(), "0000180f-0000-1000-8000-00805f9b34fb");
    EXPECT_EQ(services[2].uuid(), "0000181a-0000-1000-8000-00805f9b34fb");
    EXPECT_EQ(services[2].data(), std::string("\x00new", 4));
    EXPECT_TRUE(services[2].characteristics().empty());

    // A later advertisement that only lists a service keeps the data an earlier one carried.
    Tavrin::advertising_data_t listing;
    listing.service_data = {{"0000181a-0000-1000-8000-00805f9b34fb", ""}, {"0000180a-0000-1000-8000-00805f9b34fb", ""}};
    base.update_advertising_data(listing);
    services = base.advertised_services();
    ASSERT_EQ(services.size(), 4u);
    EXPECT_EQ(services[0].uuid(), "0000180a-0000-1000-8000-00805f9b34fb");
    EXPECT_EQ(services[3].data(), std::string("\x00new", 4));

    EXPECT_EQ(thrown_text<OperationNotSupported>([&] { base.is_paired(); }),
              "The requested operation is not supported.");
    EXPECT_THROW(base.unpair(), OperationNotSupported);
}

TEST(PeripheralBackend, RequestedDisconnectionCallsBackOnceOnTheCallersThread) {
    PeripheralHarness harness(world_of({test_device()}));
    CallbackLog log;
    log.install(harness.base());

    harness.base().connect();
    // The platform's state says disconnected well before its event arrives: the late event must
    // not be taken for a link loss.
    harness.central().delay_disconnect_routing(50ms);
    harness.base().disconnect();
    // Wait for the platform's disconnection event too: it must not fire the callback again.
    ASSERT_TRUE(eventually([&] { return harness.central().disconnect_events() == 1; }));

    std::lock_guard<std::mutex> lock(log.mutex);
    EXPECT_EQ(log.connected, std::vector<std::thread::id>{std::this_thread::get_id()});
    EXPECT_EQ(log.disconnected, std::vector<std::thread::id>{std::this_thread::get_id()});
}

// disconnect() never waits for the platform's event: not when the queue is busy and the event comes
// late (it must then call nothing), nor on the queue itself, where it cannot come while the call runs.
TEST(PeripheralBackend, RequestedDisconnectionNeitherWaitsForItsEventNorReportsItTwice) {
    PeripheralHarness harness(world_of({test_device()}));
    auto& base = harness.base();
    CallbackLog log;
    log.install(base);

    base.connect();
    harness.central().delay_disconnect_routing(1500ms);
    EXPECT_LT(ms(timed([&] { base.disconnect(); })), 700);
    EXPECT_EQ(log.disconnections(), 1u);
    ASSERT_TRUE(eventually([&] { return harness.central().disconnect_events() == 1; }, 5s));
    EXPECT_EQ(log.disconnections(), 1u);
    harness.central().delay_disconnect_routing(0ms);

    base.connect();
    std::atomic<long long> took{-1};
    base.notify(kService, kValueChar, [&](std::string) {
        if (took < 0) {
            took = ms(timed([&] { base.disconnect(); }));
        }
    });
    harness.world().notify(kDevice, kService, kValueChar, "x");
    ASSERT_TRUE(eventually([&] { return took >= 0; }));
    EXPECT_LT(took, 700);
    ASSERT_TRUE(eventually([&] { return harness.central().disconnect_events() == 2; }));
    EXPECT_EQ(log.disconnections(), 2u);

    // The claims are given back: a later link loss is reported, once.
    base.connect();
    harness.world().dropLink(kDevice);
    ASSERT_TRUE(eventually([&] { return harness.central().disconnect_events() == 3; }));
    EXPECT_TRUE(eventually([&] { return log.disconnections() == 3u; }));
}

// An attempt withdrawn before its link came up ends with a disconnection event too; there was no
// connection to report lost.
TEST(PeripheralBackend, WithdrawnAttemptReportsNoDisconnection) {
    auto device = test_device();
    device.connection.outcome = platform::sim::ConnectOutcome::Hang;
    PeripheralHarness harness(world_of({device}));
    CallbackLog log;
    log.install(harness.base());
    harness.manager()->connectPeripheral(harness.peripheral(), {});
    harness.manager()->cancelPeripheralConnection(harness.peripheral());
    ASSERT_TRUE(eventually([&] { return harness.central().disconnect_events() == 1; }));
    EXPECT_EQ(log.disconnections(), 0u);
}

TEST(PeripheralBackend, DisconnectingWhileDisconnectedStillCallsBack) {
    PeripheralHarness harness(world_of({test_device()}));
    CallbackLog log;
    log.install(harness.base());
    harness.base().disconnect();
    EXPECT_EQ(log.disconnections(), 1u);
}

TEST(PeripheralBackend, LinkLossCallsBackOnTheEventQueue) {
    PeripheralHarness harness(world_of({test_device()}));
    CallbackLog log;
    log.install(harness.base());
    harness.base().connect();

    harness.world().dropLink(kDevice);
    ASSERT_TRUE(eventually([&] { return log.disconnections() == 1; }));
    ASSERT_TRUE(eventually([&] { return harness.central().disconnect_events() == 1; }));
    EXPECT_FALSE(harness.base().is_connected());

    std::lock_guard<std::mutex> lock(log.mutex);
    EXPECT_NE(log.disconnected[0], std::this_thread::get_id());
    EXPECT_EQ(log.disconnected[0], harness.central().queue_thread());
}

TEST(PeripheralBackend, FailedDisconnectionStillLetsALaterLinkLossCallBack) {
    auto device = test_device();
    device.connection.disconnect = platform::sim::DisconnectBehaviour::Hang;
    PeripheralHarness harness(world_of({device}));
    ConsoleCapture console;
    CallbackLog log;
    log.install(harness.base());
    harness.base().connect();

    EXPECT_THROW(harness.base().disconnect(), OperationFailed);
    EXPECT_EQ(log.disconnections(), 0u);

    // A new connection supersedes the hanging disconnection; its loss must still be reported.
    harness.base().connect();
    harness.world().dropLink(kDevice);
    EXPECT_TRUE(eventually([&] { return log.disconnections() == 1; }));
}

TEST(PeripheralBackend, ConnectionCallbacksAreGuardedOnTheCallersThreadAndRemovable) {
    PeripheralHarness harness(world_of({test_device()}));
    auto& base = harness.base();
    LogCapture log;

    base.set_callback_on_connected([] { throw std::runtime_error("connected boom"); });
    base.set_callback_on_disconnected([] { throw 42; });
    base.connect();
    EXPECT_TRUE(base.is_connected());
    base.disconnect();

    // An unrequested disconnection's callback runs on the queue; what it throws is logged too.
    base.set_callback_on_connected({});  // an empty function removes the callback
    base.set_callback_on_disconnected([] { throw std::logic_error("queue boom"); });
    base.connect();
    harness.world().dropLink(kDevice);
    ASSERT_TRUE(eventually([&] { return log.records().size() == 3; }));

    const auto records = log.records();
    EXPECT_EQ(records[0].level, Tavrin::Logging::Level::Error);
    EXPECT_EQ(records[0].message, "Exception during callback: connected boom");
    EXPECT_EQ(records[0].function, "connect");
    EXPECT_EQ(records[1].message, "Unknown exception during callback");
    EXPECT_EQ(records[1].function, "disconnect");
    EXPECT_EQ(records[2].message, "Exception during callback: queue boom");

    EXPECT_EQ(records[2].function, "delegate_did_disconnect");

    ASSERT_TRUE(eventually([&] { return !base.is_connected(); }));
    base.set_callback_on_disconnected({});
    base.connect();
    base.disconnect();
    EXPECT_EQ(log.records().size(), 3u);
}

/// Two threads meet inside their first callbacks: each waits (bounded) until the other has arrived.
struct Rendezvous {
    std::atomic<int> arrived{0};
    void meet() {
        ++arrived;
        eventually([&] { return arrived.load() >= 2; }, 2s);
    }
};

// A callback that reaches the other one (by the operation that fires it, or by replacing it) while
// that one runs on another thread and reaches back: neither waits for the other.
TEST(PeripheralBackend, CallbacksThatReachEachOtherAcrossThreadsNeverDeadlock) {
    PeripheralHarness harness(world_of({test_device()}));
    auto& base = harness.base();
    LogCapture log;  // the nested calls may fail against each other; what they throw is only logged
    Rendezvous first, second;
    std::atomic<int> connected{0}, disconnected{0}, replaced{0};

    // Reconnect when the link drops, and drop it once connected (once the reconnection reports).
    base.set_callback_on_connected([&] {
        if (++connected == 1) {
            first.meet();
            eventually([&] { return connected.load() >= 2; }, 2s);
            base.disconnect();
        }
    });
    base.set_callback_on_disconnected([&] {
        if (++disconnected == 1) {
            first.meet();
            base.connect();
        }
    });
    must_finish_within(20s, "connect and disconnect calling each other's callbacks", [&] {
        std::thread other([&] {
            eventually([&] { return connected.load() > 0; });
            base.disconnect();
        });
        base.connect();
        other.join();
    });

    // Each callback replaces the other while that one runs.
    base.set_callback_on_connected([&] {
        second.meet();
        base.set_callback_on_disconnected([] {});
        ++replaced;
    });
    base.set_callback_on_disconnected([&] {
        second.meet();
        base.set_callback_on_connected([] {});
        ++replaced;
    });
    must_finish_within(20s, "callbacks replacing each other", [&] {
        std::thread other([&] {
            eventually([&] { return second.arrived.load() > 0; });
            base.disconnect();
        });
        base.connect();
        other.join();
    });
    EXPECT_EQ(replaced.load(), 2);
}

TEST(PeripheralBackend, FailedConnectionCallsNoCallback) {
    auto device = test_device();
    device.connection.outcome = platform::sim::ConnectOutcome::Fail;
    PeripheralHarness harness(world_of({device}));
    CallbackLog log;
    log.install(harness.base());
    EXPECT_THROW(harness.base().connect(), OperationFailed);
    std::lock_guard<std::mutex> lock(log.mutex);
    EXPECT_TRUE(log.connected.empty());
}

TEST(PeripheralHandle, UnboundHandleThrowsNotInitializedEverywhere) {
    Tavrin::Peripheral handle;
    EXPECT_FALSE(handle.initialized());
    EXPECT_THROW(handle.underlying(), NotInitialized);
    EXPECT_EQ(thrown_text<NotInitialized>([&] { handle.identifier(); }), "Object has not been initialized.");
    EXPECT_THROW(handle.is_connected(), NotInitialized);
    EXPECT_THROW(handle.services(), NotInitialized);
    EXPECT_THROW(handle.connect(), NotInitialized);
    EXPECT_THROW(handle.read("180d", "2a37"), NotInitialized);  // the bound check comes first
    EXPECT_THROW(handle.write("180d", "2a37", "2901", "x"), NotInitialized);
    EXPECT_THROW(handle.set_callback_on_connected([] {}), NotInitialized);
    EXPECT_THROW(handle.is_paired(), NotInitialized);
}

TEST(PeripheralHandle, BoundHandleChecksTheConnectionAndSwitchesServices) {
    PeripheralHarness harness(world_of({test_device()}));
    Tavrin::advertising_data_t advertisement;
    advertisement.rssi = -61;
    advertisement.service_data = {{"0000181a-0000-1000-8000-00805f9b34fb", "\x11"}};
    harness.base().update_advertising_data(advertisement);

    Tavrin::Peripheral handle = Tavrin::PeripheralBuilder(harness.base_ptr());
    Tavrin::Peripheral copy = handle;
    ASSERT_TRUE(handle.initialized());
    EXPECT_EQ(handle.underlying(), harness.peripheral().get());
    EXPECT_EQ(handle.identifier(), "Test Device");
    EXPECT_EQ(handle.address(), kDevice);
    EXPECT_EQ(handle.rssi(), -61);
    EXPECT_EQ(handle.mtu(), 20);
    EXPECT_THROW(handle.is_paired(), OperationNotSupported);
    EXPECT_THROW(handle.unpair(), OperationNotSupported);

    // Disconnected: every GATT operation is refused before reaching the backend.
    const auto not_connected = [](auto operation) {
        EXPECT_EQ(thrown_text<NotConnected>(operation), "Peripheral is not connected.");
    };
    not_connected([&] { handle.read(kService, kValueChar); });
    not_connected([&] { handle.write_request(kService, kValueChar, "x"); });
    not_connected([&] { handle.write_command(kService, kValueChar, "x"); });
    not_connected([&] { handle.notify(kService, kValueChar, [](std::string) {}); });
    not_connected([&] { handle.indicate(kService, kValueChar, [](std::string) {}); });
    not_connected([&] { handle.unsubscribe(kService, kValueChar); });
    not_connected([&] { handle.read(kService, kValueChar, kUserDescription); });
    not_connected([&] { handle.write(kService, kValueChar, kVendorDescriptor, "x"); });
    EXPECT_TRUE(harness.world().receivedWrites(kDevice).empty());

    auto services = handle.services();
    ASSERT_EQ(services.size(), 1u);
    EXPECT_EQ(services[0].uuid(), "0000181a-0000-1000-8000-00805f9b34fb");
    EXPECT_EQ(services[0].data(), "\x11");

    // Connected through one copy: the other sees it, and services() lists the discovered tree.
    copy.connect();
    EXPECT_TRUE(handle.is_connected());
    EXPECT_EQ(handle.mtu(), 182);
    services = handle.services();
    ASSERT_EQ(services.size(), 1u);
    EXPECT_EQ(services[0].uuid(), kService);
    EXPECT_EQ(services[0].characteristics().size(), 4u);
    EXPECT_EQ(handle.read(kService, kReadOnlyChar), "RO");

    handle.disconnect();
    EXPECT_FALSE(copy.is_connected());
    EXPECT_EQ(copy.services().size(), 1u);
    EXPECT_EQ(copy.services()[0].data(), "\x11");
}

}  // namespace
}  // namespace peripheral_test
