// The adapter handle: unbound handles, identity texts, the Bluetooth guard and the wait for the
// platform state.

#include <gtest/gtest.h>

#include <tavrin/Exceptions.h>

#include "support/AdapterHarness.h"

namespace adapter_test {
namespace {

using Tavrin::Exception::NotInitialized;

constexpr const char* kAddress = "39a76676-2788-46c9-afa0-f0c0c31e6fd9";

void reset_radio(platform::CBManagerState state, platform::CBManagerAuthorization authorization,
                 std::optional<unsigned> state_delay_ms = 1) {
    auto world = world_of({device(device_id(31))});
    world.adapter.state = state;
    world.adapter.authorization = authorization;
    world.adapter.state_delay_ms = state_delay_ms;
    platform::sim::World::get().reset(world);
}

TEST(AdapterHandle, UnboundHandleThrowsNotInitializedBeforeAnythingElse) {
    reset_radio(platform::CBManagerState::PoweredOff, platform::CBManagerAuthorization::AllowedAlways);
    LogCapture log;
    Tavrin::Adapter adapter;
    EXPECT_FALSE(adapter.initialized());
    EXPECT_THROW(adapter.underlying(), NotInitialized);
    EXPECT_THROW(adapter.identifier(), NotInitialized);
    EXPECT_THROW(adapter.address(), NotInitialized);
    EXPECT_THROW(adapter.scan_start(), NotInitialized);
    EXPECT_THROW(adapter.scan_stop(), NotInitialized);
    EXPECT_THROW(adapter.scan_for(10), NotInitialized);
    EXPECT_THROW(adapter.scan_is_active(), NotInitialized);
    EXPECT_THROW(adapter.scan_get_results(), NotInitialized);
    EXPECT_THROW(adapter.get_paired_peripherals(), NotInitialized);
    EXPECT_THROW(adapter.set_callback_on_scan_start([] {}), NotInitialized);
    EXPECT_THROW(adapter.set_callback_on_scan_stop([] {}), NotInitialized);
    EXPECT_THROW(adapter.set_callback_on_scan_found([](Tavrin::Peripheral) {}), NotInitialized);
    EXPECT_THROW(adapter.set_callback_on_scan_updated({}), NotInitialized);
    // The check comes before the Bluetooth guard: no warning with the radio off.
    EXPECT_EQ(log.count("Bluetooth is not enabled."), 0u);
}

TEST(AdapterHandle, IdentityTexts) {
    reset_radio(platform::CBManagerState::PoweredOn, platform::CBManagerAuthorization::AllowedAlways);
    auto adapters = Tavrin::Adapter::get_adapters();
    ASSERT_EQ(adapters.size(), 1u);
    auto& adapter = adapters[0];
    EXPECT_TRUE(adapter.initialized());
    EXPECT_EQ(adapter.address(), kAddress);
    EXPECT_EQ(adapter.identifier(), std::string("Default Adapter [") + kAddress + "]");
    auto* manager = static_cast<platform::CBCentralManager*>(adapter.underlying());
    ASSERT_NE(manager, nullptr);
    EXPECT_EQ(manager->state(), platform::CBManagerState::PoweredOn);
    EXPECT_EQ(manager->queue()->label(), "AdapterBaseMacOS.centralManagerQueue");
    EXPECT_EQ(manager->queue()->attributes().qos, platform::dispatch_qos_class_t::QOS_CLASS_USER_INITIATED);
    EXPECT_EQ(manager->queue()->attributes().relative_priority, -1);
    EXPECT_TRUE(adapter.get_paired_peripherals().empty());
    EXPECT_TRUE(Tavrin::Adapter::bluetooth_enabled());

    // Each listing makes a new backend.
    auto again = Tavrin::Adapter::get_adapters();
    ASSERT_EQ(again.size(), 1u);
    EXPECT_NE(again[0].underlying(), adapter.underlying());
    EXPECT_NE(AdapterPeek(again[0]).backend(), AdapterPeek(adapter).backend());
    EXPECT_EQ(again[0].identifier(), adapter.identifier());
}

TEST(AdapterHandle, BluetoothOffOrUnauthorizedRefusesToScan) {
    using platform::CBManagerAuthorization;
    using platform::CBManagerState;
    const std::vector<std::pair<CBManagerState, CBManagerAuthorization>> radios{
        {CBManagerState::PoweredOff, CBManagerAuthorization::AllowedAlways},
        {CBManagerState::Unauthorized, CBManagerAuthorization::Denied},
        {CBManagerState::PoweredOn, CBManagerAuthorization::Restricted},
    };
    for (const auto& [state, authorization] : radios) {
        SCOPED_TRACE(static_cast<int>(state));
        reset_radio(state, authorization);
        ConsoleCapture console;
        LogCapture log;
        EXPECT_FALSE(Tavrin::Adapter::bluetooth_enabled());
        auto adapters = Tavrin::Adapter::get_adapters();
        ASSERT_EQ(adapters.size(), 1u);
        auto& adapter = adapters[0];
        std::atomic<int> calls{0};
        adapter.set_callback_on_scan_start([&] { ++calls; });
        adapter.set_callback_on_scan_stop([&] { ++calls; });
        adapter.set_callback_on_scan_found([&](Tavrin::Peripheral) { ++calls; });

        EXPECT_LT(ms(timed([&] { adapter.scan_for(5000); })), 1000);
        adapter.scan_start();
        EXPECT_FALSE(adapter.scan_is_active());
        adapter.scan_stop();

        EXPECT_EQ(calls, 0);
        EXPECT_TRUE(adapter.scan_get_results().empty());
        EXPECT_EQ(log.count("Bluetooth is not enabled."), 3u);
        for (const char* function : {"scan_for", "scan_start", "scan_stop"}) {
            EXPECT_EQ(log.count("Bluetooth is not enabled.", function), 1u) << function;
        }
        for (const auto& record : log.records()) {
            EXPECT_EQ(record.level, Tavrin::Logging::Level::Warning);
            EXPECT_EQ(record.module, "Tavrin");
        }
        // The platform was never asked to scan.
        EXPECT_EQ(console.count("API MISUSE"), 0u);
    }
}

// Bluetooth going away during a scan: scan_stop() still warns, but it also ends the scan and says so.
TEST(AdapterHandle, ScanStopEndsARunningScanWhenBluetoothWentAway) {
    using platform::CBManagerAuthorization;
    using platform::CBManagerState;
    for (const bool radio_off : {false, true}) {
        SCOPED_TRACE(radio_off ? "radio off" : "authorization withdrawn");
        reset_radio(CBManagerState::PoweredOn, CBManagerAuthorization::AllowedAlways);
        auto adapter = the_adapter();
        ScanRecorder recorder;
        recorder.install(adapter);
        std::atomic<int> stops{0};
        adapter.set_callback_on_scan_stop([&] { ++stops; });
        adapter.scan_start();
        ASSERT_TRUE(eventually([&] { return recorder.total_found() == 1; }));

        if (radio_off) {
            platform::sim::World::get().setAdapterState(CBManagerState::PoweredOff);
        } else {
            platform::sim::World::get().setAuthorization(CBManagerAuthorization::Denied);
        }
        LogCapture log;
        adapter.scan_stop();
        EXPECT_EQ(log.count("Bluetooth is not enabled.", "scan_stop"), 1u);
        EXPECT_EQ(stops, 1);
        EXPECT_FALSE(adapter.scan_is_active());
        drain(adapter);
        const size_t updates = recorder.updated(device_id(31));
        std::this_thread::sleep_for(30ms);  // six advertising intervals
        drain(adapter);
        EXPECT_EQ(recorder.updated(device_id(31)), updates);

        // With no scan running, nothing more than the warning.
        adapter.scan_stop();
        EXPECT_EQ(log.count("Bluetooth is not enabled.", "scan_stop"), 2u);
        EXPECT_EQ(stops, 1);
    }
}

TEST(AdapterHandle, StateWaitEndsSoonAfterTheStateIsKnown) {
    reset_radio(platform::CBManagerState::PoweredOff, platform::CBManagerAuthorization::AllowedAlways, 50);
    std::vector<Tavrin::Adapter> adapters;
    const auto took = ms(timed([&] { adapters = Tavrin::Adapter::get_adapters(); }));
    EXPECT_GE(took, 50);
    EXPECT_LE(took, 50 + 10 + 25);  // one poll step, and some slack for a loaded machine
    ASSERT_EQ(adapters.size(), 1u);
    EXPECT_EQ(static_cast<platform::CBCentralManager*>(adapters[0].underlying())->state(),
              platform::CBManagerState::PoweredOff);
}

TEST(AdapterHandle, StateNeverKnownGivesUpAfterFiveSeconds) {
    reset_radio(platform::CBManagerState::PoweredOn, platform::CBManagerAuthorization::AllowedAlways, std::nullopt);
    LogCapture log;
    std::vector<Tavrin::Adapter> adapters;
    const auto took = ms(timed([&] { adapters = Tavrin::Adapter::get_adapters(); }));
    EXPECT_GE(took, 5000);
    EXPECT_LE(took, 5300);
    ASSERT_EQ(adapters.size(), 1u);
    EXPECT_EQ(adapters[0].address(), kAddress);

    // The guard's own temporary adapter waits as long, then refuses without scanning.
    const auto scan_took = ms(timed([&] { adapters[0].scan_for(3000); }));
    EXPECT_GE(scan_took, 5000);
    EXPECT_LE(scan_took, 5300);
    EXPECT_EQ(log.count("Bluetooth is not enabled.", "scan_for"), 1u);
    EXPECT_FALSE(adapters[0].scan_is_active());
}

}  // namespace
}  // namespace adapter_test
