// Connection, discovery and disconnection of the peripheral delegate over simulated devices.

#include <sys/resource.h>

#include <gtest/gtest.h>

#include <tavrin/Characteristic.h>
#include <tavrin/Exceptions.h>

#include "support/PeripheralHarness.h"

namespace peripheral_test {
namespace {

using platform::sim::Fault;
using Tavrin::Exception::OperationFailed;

constexpr const char* kServiceUpper = "7E1A0001-3B2D-4C6E-9F80-1A2B3C4D5E6F";
constexpr const char* kValueCharUpper = "7E1A0002-3B2D-4C6E-9F80-1A2B3C4D5E6F";

std::string connect_failure(Tavrin::PeripheralBaseMacOS& delegate) {
    return thrown_text<OperationFailed>([&] { delegate.connect(); });
}

bool between(Clock::duration elapsed, Clock::duration low, Clock::duration high) {
    return elapsed >= low && elapsed <= high;
}

TEST(PeripheralConnection, ConnectDiscoversTheWholeTreeAndRebuildsRecords) {
    auto device = test_device();
    // Bits outside the five capabilities give no capability.
    device.services[0].characteristics.push_back(
        characteristic("7e1a0006-3b2d-4c6e-9f80-1a2b3c4d5e6f", platform::CBCharacteristicPropertyBroadcast));
    PeripheralHarness harness(world_of({device}), Build::DelegateOnly);
    auto& delegate = harness.delegate();

    EXPECT_EQ(delegate.identifier(), "Test Device");
    EXPECT_EQ(delegate.address(), kDevice);
    EXPECT_TRUE(delegate.getServices().empty());
    EXPECT_FALSE(delegate.isConnected());

    delegate.connect();
    EXPECT_TRUE(delegate.isConnected());
    EXPECT_EQ(delegate.mtu(), 182);  // the link MTU less the 3-byte header

    auto services = delegate.getServices();
    ASSERT_EQ(services.size(), 1u);
    EXPECT_EQ(services[0].uuid(), kService);
    EXPECT_TRUE(services[0].data().empty());
    auto characteristics = services[0].characteristics();
    ASSERT_EQ(characteristics.size(), 5u);
    EXPECT_EQ(characteristics[0].uuid(), kValueChar);
    EXPECT_EQ(characteristics[0].capabilities(),
              (std::vector<std::string>{"read", "write_request", "write_command", "notify"}));
    EXPECT_EQ(characteristics[1].capabilities(), std::vector<std::string>{"read"});
    EXPECT_EQ(characteristics[2].capabilities(), std::vector<std::string>{"write_command"});
    EXPECT_EQ(characteristics[3].capabilities(), std::vector<std::string>{"write_request"});
    EXPECT_TRUE(characteristics[4].capabilities().empty());
    ASSERT_EQ(characteristics[0].descriptors().size(), 3u);
    EXPECT_TRUE(characteristics[1].descriptors().empty());

    const auto records = delegate.characteristic_extras();
    ASSERT_EQ(records.size(), 5u);
    const auto& value = records.at(kValueChar);
    EXPECT_FALSE(value.read_pending);
    EXPECT_FALSE(value.write_pending);
    EXPECT_FALSE(value.value_changed_callback);
    ASSERT_EQ(value.descriptor_extras.size(), 3u);
    EXPECT_EQ(value.descriptor_extras.count(kUserDescription), 1u);  // short UUIDs widened
    EXPECT_EQ(value.descriptor_extras.count(kClientConfig), 1u);
    EXPECT_EQ(value.descriptor_extras.count(kVendorDescriptor), 1u);
    EXPECT_TRUE(records.at(kReadOnlyChar).descriptor_extras.empty());
}

TEST(PeripheralConnection, PeripheralWithoutNameHasEmptyIdentifier) {
    auto device = test_device();
    device.name = std::nullopt;
    PeripheralHarness harness(world_of({device}), Build::DelegateOnly);
    EXPECT_EQ(harness.delegate().identifier(), "");
    EXPECT_EQ(harness.delegate().mtu(), 20);  // not connected: the platform's minimum
}

TEST(PeripheralConnection, RefusedConnectionFailsAtOnceWithoutConsoleLine) {
    auto device = test_device();
    device.connection.outcome = platform::sim::ConnectOutcome::Fail;
    PeripheralHarness harness(world_of({device}), Build::DelegateOnly);
    ConsoleCapture console;

    const auto elapsed =
        timed([&] { EXPECT_EQ(connect_failure(harness.delegate()), "Operation Failed: Peripheral Connection"); });
    EXPECT_LT(elapsed, 1s);
    EXPECT_FALSE(harness.delegate().isConnected());
    EXPECT_FALSE(console.has("could not"));
}

TEST(PeripheralConnection, HangingConnectionGivesUpAfterFiveSecondsAndIsWithdrawn) {
    auto device = test_device();
    device.connection.outcome = platform::sim::ConnectOutcome::Hang;
    PeripheralHarness harness(world_of({device}), Build::DelegateOnly);
    ConsoleCapture console;

    const auto elapsed =
        timed([&] { EXPECT_EQ(connect_failure(harness.delegate()), "Operation Failed: Peripheral Connection"); });
    EXPECT_TRUE(between(elapsed, 4900ms, 6500ms))
        << std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
    // The attempt is cancelled, so the link cannot come up behind the caller's back; nothing is written.
    EXPECT_TRUE(
        eventually([&] { return harness.peripheral()->state() == platform::CBPeripheralState::Disconnected; }, 1s));
    EXPECT_TRUE(console.lines().empty());

    // The device answers again: the next connect starts afresh and succeeds.
    harness.world().addPeripheral(test_device());
    harness.delegate().connect();
    EXPECT_TRUE(harness.delegate().isConnected());
}

TEST(PeripheralConnection, LinkLossDuringServiceDiscoveryEndsTheWaitAtOnce) {
    auto device = test_device();
    device.faults["discover_services"] = Fault::Drop;
    PeripheralHarness harness(world_of({device}), Build::DelegateOnly);
    ConsoleCapture console;

    const auto elapsed =
        timed([&] { EXPECT_EQ(connect_failure(harness.delegate()), "Operation Failed: Service Discovery"); });
    EXPECT_LT(elapsed, 1s);
    EXPECT_TRUE(console.has_exact("Services could not be discovered."));
}

TEST(PeripheralConnection, LinkLossDuringCharacteristicDiscoveryEndsTheWaitAtOnce) {
    auto device = test_device();
    device.services[0].faults["discover_characteristics"] = Fault::Drop;
    PeripheralHarness harness(world_of({device}), Build::DelegateOnly);
    ConsoleCapture console;

    const auto elapsed =
        timed([&] { EXPECT_EQ(connect_failure(harness.delegate()), "Operation Failed: Characteristic Discovery"); });
    EXPECT_LT(elapsed, 500ms);
    EXPECT_TRUE(console.has_exact(std::string("Characteristics could not be discovered for service ") + kServiceUpper));
}

TEST(PeripheralConnection, LinkLossDuringDescriptorDiscoveryKeepsEarlierRecords) {
    auto device = test_device();
    find_characteristic(device, kReadOnlyChar).faults["discover_descriptors"] = Fault::Drop;
    PeripheralHarness harness(world_of({device}), Build::DelegateOnly);
    ConsoleCapture console;

    const auto elapsed =
        timed([&] { EXPECT_EQ(connect_failure(harness.delegate()), "Operation Failed: Descriptor Discovery"); });
    EXPECT_LT(elapsed, 500ms);  // the lost link ends the wait
    EXPECT_TRUE(console.has_exact(
        "Descriptors could not be discovered for characteristic 7E1A0003-3B2D-4C6E-9F80-1A2B3C4D5E6F"));
    // The characteristic processed before the failure kept its new record; later ones got none.
    const auto records = harness.delegate().characteristic_extras();
    EXPECT_EQ(records.count(kValueChar), 1u);
    EXPECT_EQ(records.count(kReadOnlyChar), 0u);
    EXPECT_EQ(records.count(kCommandChar), 0u);
}

// A service-discovery error that keeps the link up never yields a list: the error answer ends the wait.
TEST(PeripheralConnection, ServiceDiscoveryErrorEndsTheWaitAtOnce) {
    auto device = test_device();
    device.faults["discover_services"] = Fault::Error;
    PeripheralHarness harness(world_of({device}), Build::DelegateOnly);
    ConsoleCapture console;

    const auto elapsed =
        timed([&] { EXPECT_EQ(connect_failure(harness.delegate()), "Operation Failed: Service Discovery"); });
    EXPECT_LT(elapsed, 500ms);
    EXPECT_EQ(console.count("Error while discovering services for peripheral Test Device: "), 1u);
    EXPECT_TRUE(console.has_exact("Services could not be discovered."));
    EXPECT_TRUE(harness.delegate().isConnected());  // a discovery failure does not disconnect
}

TEST(PeripheralConnection, UnansweredServiceDiscoveryIsBounded) {
    auto device = test_device();
    device.faults["discover_services"] = Fault::Silent;
    PeripheralHarness harness(world_of({device}), Build::DelegateOnly);
    ConsoleCapture console;

    const auto elapsed =
        timed([&] { EXPECT_EQ(connect_failure(harness.delegate()), "Operation Failed: Service Discovery"); });
    EXPECT_TRUE(between(elapsed, 4900ms, 6500ms));
    EXPECT_TRUE(console.has_exact("Services could not be discovered."));
}

TEST(PeripheralConnection, CharacteristicDiscoveryErrorIsReportedAtOnce) {
    auto device = test_device();
    device.services[0].faults["discover_characteristics"] = Fault::Error;
    PeripheralHarness harness(world_of({device}), Build::DelegateOnly);
    ConsoleCapture console;

    const auto elapsed =
        timed([&] { EXPECT_EQ(connect_failure(harness.delegate()), "Operation Failed: Characteristic Discovery"); });
    EXPECT_LT(elapsed, 500ms);
    EXPECT_EQ(console.count(std::string("Error while discovering characteristics for service ") + kServiceUpper + ": "),
              1u);
    EXPECT_TRUE(console.has_exact(std::string("Characteristics could not be discovered for service ") + kServiceUpper));
}

TEST(PeripheralConnection, UnansweredCharacteristicDiscoveryGivesUpAfterOneSecond) {
    auto device = test_device();
    device.services[0].faults["discover_characteristics"] = Fault::Silent;
    PeripheralHarness harness(world_of({device}), Build::DelegateOnly);

    const auto elapsed =
        timed([&] { EXPECT_EQ(connect_failure(harness.delegate()), "Operation Failed: Characteristic Discovery"); });
    EXPECT_TRUE(between(elapsed, 950ms, 1800ms));
}

TEST(PeripheralConnection, DescriptorDiscoveryErrorIsReportedAtOnce) {
    auto device = test_device();
    find_characteristic(device, kValueChar).faults["discover_descriptors"] = Fault::Error;
    PeripheralHarness harness(world_of({device}), Build::DelegateOnly);
    ConsoleCapture console;

    const auto elapsed =
        timed([&] { EXPECT_EQ(connect_failure(harness.delegate()), "Operation Failed: Descriptor Discovery"); });
    EXPECT_LT(elapsed, 500ms);
    EXPECT_EQ(
        console.count(std::string("Error while discovering descriptors for characteristic ") + kValueCharUpper + ": "),
        1u);
    EXPECT_TRUE(
        console.has_exact(std::string("Descriptors could not be discovered for characteristic ") + kValueCharUpper));
}

TEST(PeripheralConnection, UnansweredDescriptorDiscoveryGivesUpAfterOneSecond) {
    auto device = test_device();
    find_characteristic(device, kValueChar).faults["discover_descriptors"] = Fault::Silent;
    PeripheralHarness harness(world_of({device}), Build::DelegateOnly);

    const auto elapsed =
        timed([&] { EXPECT_EQ(connect_failure(harness.delegate()), "Operation Failed: Descriptor Discovery"); });
    EXPECT_TRUE(between(elapsed, 950ms, 1800ms));
}

TEST(PeripheralConnection, SparseTreesConnect) {
    {
        auto device = test_device();
        device.services.clear();
        PeripheralHarness harness(world_of({device}), Build::DelegateOnly);
        harness.delegate().connect();
        EXPECT_TRUE(harness.delegate().getServices().empty());
        EXPECT_TRUE(harness.delegate().characteristic_extras().empty());
    }
    {
        auto device = test_device();
        device.services[0].characteristics.resize(2);  // value (3 descriptors) and read-only (none)
        platform::sim::ServiceConfig empty;
        empty.uuid = "180f";
        device.services.insert(device.services.begin(), empty);
        PeripheralHarness harness(world_of({device}), Build::DelegateOnly);
        harness.delegate().connect();

        auto services = harness.delegate().getServices();
        ASSERT_EQ(services.size(), 2u);
        EXPECT_EQ(services[0].uuid(), "0000180f-0000-1000-8000-00805f9b34fb");
        EXPECT_TRUE(services[0].characteristics().empty());
        ASSERT_EQ(services[1].characteristics().size(), 2u);
        EXPECT_TRUE(services[1].characteristics()[1].descriptors().empty());
        const auto records = harness.delegate().characteristic_extras();
        ASSERT_EQ(records.size(), 2u);
        EXPECT_TRUE(records.at(kReadOnlyChar).descriptor_extras.empty());
    }
}

TEST(PeripheralConnection, CharacteristicsWithOneUuidKeepTheirOwnRecords) {
    auto device = test_device();
    const auto properties = platform::CBCharacteristicPropertyRead | platform::CBCharacteristicPropertyNotify;
    device.services.resize(1);
    device.services[0].characteristics = {characteristic(kValueChar, properties, std::string("first"))};
    platform::sim::ServiceConfig other;
    other.uuid = "7e1a0101-3b2d-4c6e-9f80-1a2b3c4d5e6f";
    other.characteristics = {characteristic(kValueChar, properties, std::string("second"))};
    device.services.push_back(other);
    PeripheralHarness harness(world_of({device}), Build::DelegateOnly);
    auto& delegate = harness.delegate();
    delegate.connect();

    auto services = delegate.getServices();
    ASSERT_EQ(services.size(), 2u);
    EXPECT_EQ(services[0].characteristics()[0].uuid(), kValueChar);
    EXPECT_EQ(services[1].characteristics()[0].uuid(), kValueChar);
    EXPECT_EQ(delegate.read(kService, kValueChar), "first");
    EXPECT_EQ(delegate.read(other.uuid, kValueChar), "second");

    // Each subscription keeps its own callback, and each service's values reach its own.
    std::mutex mutex;
    std::vector<std::string> first_values;
    std::vector<std::string> second_values;
    delegate.notify(kService, kValueChar, [&](std::string value) {
        std::lock_guard<std::mutex> lock(mutex);
        first_values.push_back(std::move(value));
    });
    delegate.notify(other.uuid, kValueChar, [&](std::string value) {
        std::lock_guard<std::mutex> lock(mutex);
        second_values.push_back(std::move(value));
    });
    harness.world().notify(kDevice, kService, kValueChar, "a");
    harness.world().notify(kDevice, other.uuid, kValueChar, "b");
    ASSERT_TRUE(eventually([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return first_values.size() + second_values.size() >= 2;
    }));
    delegate.unsubscribe(kService, kValueChar);
    harness.world().notify(kDevice, other.uuid, kValueChar, "c");
    ASSERT_TRUE(eventually([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return second_values.size() >= 2;
    }));
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(first_values, std::vector<std::string>{"a"});
    EXPECT_EQ(second_values, (std::vector<std::string>{"b", "c"}));
}

TEST(PeripheralConnection, ConnectWhileConnectedKeepsEverythingAndANewLinkStartsClean) {
    PeripheralHarness harness(world_of({test_device()}), Build::DelegateOnly);
    auto& delegate = harness.delegate();
    delegate.connect();
    std::atomic<int> calls{0};
    delegate.notify(kService, kValueChar, [&](std::string) { ++calls; });

    // Already connected and discovered: nothing is redone and nothing is dropped.
    const auto elapsed = timed([&] { delegate.connect(); });
    EXPECT_LT(elapsed, 100ms);
    EXPECT_TRUE(delegate.isConnected());
    EXPECT_TRUE(delegate.characteristic_extras().at(kValueChar).value_changed_callback);
    harness.world().notify(kDevice, kService, kValueChar, "kept");
    EXPECT_TRUE(eventually([&] { return calls == 1; }));

    // A new link has new attributes: the old link's callbacks are gone.
    delegate.disconnect();
    delegate.connect();
    EXPECT_EQ(delegate.characteristic_extras().size(), 4u);
    EXPECT_FALSE(delegate.characteristic_extras().at(kValueChar).value_changed_callback);
}

TEST(PeripheralConnection, DisconnectLeavesRecordsAndSucceedsWhenAlreadyDown) {
    PeripheralHarness harness(world_of({test_device()}), Build::DelegateOnly);
    auto& delegate = harness.delegate();
    ConsoleCapture console;
    delegate.connect();
    delegate.notify(kService, kValueChar, [](std::string) {});

    delegate.disconnect();
    EXPECT_FALSE(delegate.isConnected());
    EXPECT_EQ(harness.peripheral()->state(), platform::CBPeripheralState::Disconnected);
    EXPECT_TRUE(delegate.characteristic_extras().at(kValueChar).value_changed_callback);
    EXPECT_TRUE(delegate.getServices().empty());  // the platform dropped the tree with the link

    const auto elapsed = timed([&] { delegate.disconnect(); });
    EXPECT_LT(elapsed, 500ms);
    EXPECT_FALSE(console.has("Disconnection failed."));
}

// Nobody answers an attempt at a device that has left; the attempt withdrawn after 5.0 s must leave
// nothing behind for a disconnection to wait for.
TEST(PeripheralConnection, FailedConnectToADeviceThatLeftLeavesNothingToTearDown) {
    PeripheralHarness harness(world_of({test_device()}));
    auto& base = harness.base();
    ConsoleCapture console;
    size_t disconnected = 0;
    base.set_callback_on_disconnected([&] { ++disconnected; });
    harness.world().removePeripheral(kDevice);

    const auto elapsed = timed([&] {
        EXPECT_EQ(thrown_text<OperationFailed>([&] { base.connect(); }), "Operation Failed: Peripheral Connection");
    });
    EXPECT_TRUE(between(elapsed, 4900ms, 6500ms)) << ms(elapsed);
    for (int i = 0; i < 2; ++i) {
        const auto teardown = timed([&] { base.disconnect(); });
        EXPECT_LT(teardown, 500ms) << ms(teardown);
    }
    EXPECT_EQ(disconnected, 2u);
    EXPECT_FALSE(base.is_connected());
    EXPECT_FALSE(console.has("Disconnection failed."));

    // The device is back: a new attempt starts clean.
    harness.world().addPeripheral(test_device());
    base.connect();
    EXPECT_TRUE(base.is_connected());
    EXPECT_EQ(base.read(kService, kReadOnlyChar), "RO");
}

// A connection made over a disconnection that never ended is a new link: it gets its own discovery,
// and requests go to its attributes, never to the old link's.
TEST(PeripheralConnection, ConnectOverAHungDisconnectionWorksOnTheNewLinksAttributes) {
    auto device = test_device();
    device.connection.disconnect = platform::sim::DisconnectBehaviour::Hang;
    PeripheralHarness harness(world_of({device}));
    auto& base = harness.base();
    base.connect();
    const void* old_service = harness.peripheral()->services()->at(0).get();
    EXPECT_THROW(base.disconnect(), OperationFailed);

    ConsoleCapture console;
    base.connect();
    ASSERT_TRUE(base.is_connected());
    EXPECT_NE(harness.peripheral()->services()->at(0).get(), old_service);
    EXPECT_EQ(base.read(kService, kReadOnlyChar), "RO");
    base.write_request(kService, kRequestChar, "request");
    base.write_command(kService, kCommandChar, "command");
    EXPECT_TRUE(eventually([&] { return harness.world().receivedWrites(kDevice).size() == 2; }));
    EXPECT_FALSE(console.has("not of this peripheral's current connection"));
}

// A wait sleeps until something changes: a disconnection the device takes half a second over costs the
// waiting thread a handful of wake-ups (counted as its voluntary context switches), not one per few ms.
TEST(PeripheralConnection, DisconnectionSleepsUntilTheLinkGoes) {
    auto device = test_device();
    device.connection.disconnect_delay_ms = 500;
    PeripheralHarness harness(world_of({device}), Build::DelegateOnly);
    harness.delegate().connect();

    const auto switches = [] {
        rusage usage{};
        getrusage(RUSAGE_THREAD, &usage);
        return usage.ru_nvcsw;
    };
    const long before = switches();
    const auto elapsed = timed([&] { harness.delegate().disconnect(); });
    const long woken = switches() - before;
    EXPECT_FALSE(harness.delegate().isConnected());
    EXPECT_TRUE(between(elapsed, 450ms, 1500ms)) << ms(elapsed);
    EXPECT_LT(woken, 10) << "wake-ups during " << ms(elapsed) << " ms";
}

TEST(PeripheralConnection, HangingDisconnectionGivesUpAfterFiveSeconds) {
    auto device = test_device();
    device.connection.disconnect = platform::sim::DisconnectBehaviour::Hang;
    PeripheralHarness harness(world_of({device}), Build::DelegateOnly);
    ConsoleCapture console;
    harness.delegate().connect();

    const auto elapsed = timed([&] {
        EXPECT_EQ(thrown_text<OperationFailed>([&] { harness.delegate().disconnect(); }),
                  "Operation Failed: Peripheral Disconnection");
    });
    EXPECT_TRUE(between(elapsed, 4900ms, 6500ms));
    EXPECT_TRUE(console.has_exact("Disconnection failed."));
}

}  // namespace
}  // namespace peripheral_test
