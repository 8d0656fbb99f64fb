// Scanning through the adapter handle: found and updated callbacks, the current scan's results,
// callback replacement, throwing callbacks, and callbacks that use the adapter themselves.

#include <gtest/gtest.h>

#include <stdexcept>

#include "support/AdapterHarness.h"
#include "support/ScanOptionsScenario.h"
#include "support/ServiceDataScenario.h"

namespace adapter_test {
namespace {

const std::string kA = device_id(1);
const std::string kB = device_id(2);

TEST(AdapterScan, FoundOncePerScanUpdatedForRepeatsAndTheSameObjectNextScan) {
    reset_world({device(kA), device(kB)});
    ScanRecorder recorder;
    auto adapter = the_adapter();
    recorder.install(adapter);
    EXPECT_TRUE(adapter.scan_get_results().empty());

    adapter.scan_start();
    EXPECT_TRUE(adapter.scan_is_active());
    ASSERT_TRUE(eventually([&] { return recorder.updated(kA) >= 3 && recorder.updated(kB) >= 3; }));
    adapter.scan_stop();
    EXPECT_FALSE(adapter.scan_is_active());
    drain(adapter);
    EXPECT_EQ(recorder.found(kA), 1u);
    EXPECT_EQ(recorder.found(kB), 1u);
    // The results outlive the scan.
    EXPECT_EQ(addresses(adapter.scan_get_results()), (std::vector<std::string>{kA, kB}));
    auto first_a = *recorder.last(kA);
    EXPECT_EQ(first_a.rssi(), -50);

    // Next scan: B is gone and A advertises differently.
    platform::sim::World::get().removePeripheral(kB);
    auto changed = device(kA);
    changed.advertising.rssi = -77;
    changed.advertising.tx_power = 3;
    platform::sim::World::get().addPeripheral(changed);
    recorder.clear();

    adapter.scan_start();
    ASSERT_TRUE(eventually([&] { return recorder.updated(kA) >= 2; }));
    adapter.scan_stop();
    drain(adapter);
    EXPECT_EQ(recorder.found(kA), 1u);
    EXPECT_EQ(recorder.found(kB), 0u);
    // Cleared by the new scan: B from the first scan is no longer listed.
    const auto results = adapter.scan_get_results();
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(backend_of(results[0]), backend_of(first_a));
    EXPECT_EQ(backend_of(*recorder.last(kA)), backend_of(first_a));
    // The handle from the first scan sees the new advertisement.
    auto old_handle = first_a;
    EXPECT_EQ(old_handle.rssi(), -77);
    EXPECT_EQ(old_handle.tx_power(), 3);
}

TEST(AdapterScan, AdvertisementRecordsReachThePeripheralHandles) {
    auto full = device(device_id(10));
    full.advertising.rssi = -58;
    full.advertising.connectable = false;
    full.advertising.tx_power = 4;
    full.advertising.manufacturer_data = std::string("\x4c\x00\x02\x15", 4);
    // Three companies: every entry reaches the handle.
    full.advertising.more_manufacturer_data = {std::string("\x59\x00\x01", 3), std::string("\xff\xff", 2)};
    full.advertising.service_data = std::vector<std::pair<std::string, std::string>>{{"181a", "\xe8\x03"}};
    full.advertising.service_uuids = std::vector<std::string>{"180D", "FB1E4001-54AE-4A28-9F74-DFCCB248601D"};
    auto bare = device(device_id(11));
    bare.advertising.connectable.reset();
    auto short_maker = device(device_id(12));
    short_maker.advertising.manufacturer_data = std::string("\x4c", 1);
    reset_world({full, bare, short_maker});

    ScanRecorder recorder;
    auto adapter = the_adapter();
    recorder.install(adapter);
    adapter.scan_start();
    ASSERT_TRUE(eventually([&] { return recorder.distinct_found() == 3; }));
    adapter.scan_stop();

    auto f = *recorder.last(device_id(10));
    EXPECT_EQ(f.rssi(), -58);
    EXPECT_EQ(f.tx_power(), 4);
    EXPECT_FALSE(f.is_connectable());
    EXPECT_EQ(f.manufacturer_data(),
              (std::map<uint16_t, std::string>{{0x004c, "\x02\x15"}, {0x0059, "\x01"}, {0xffff, ""}}));
    auto services = f.services();  // the advertised ones, since not connected
    ASSERT_EQ(services.size(), 3u);
    EXPECT_EQ(services[0].uuid(), "0000180d-0000-1000-8000-00805f9b34fb");
    EXPECT_EQ(services[0].data(), "");
    EXPECT_EQ(services[1].uuid(), "0000181a-0000-1000-8000-00805f9b34fb");
    EXPECT_EQ(services[1].data(), "\xe8\x03");
    EXPECT_EQ(services[2].uuid(), "fb1e4001-54ae-4a28-9f74-dfccb248601d");

    auto b = *recorder.last(device_id(11));
    EXPECT_EQ(b.tx_power(), -32768);
    EXPECT_FALSE(b.is_connectable());
    EXPECT_TRUE(b.manufacturer_data().empty());
    EXPECT_TRUE(b.services().empty());

    auto s = *recorder.last(device_id(12));
    EXPECT_TRUE(s.is_connectable());
    EXPECT_TRUE(s.manufacturer_data().empty());
}

TEST(AdapterScan, ListedServicesKeepTheirData) {
    platform::sim::World::get().reset(platform::sim::parseWorld(kServiceDataWorld, "service data world"));
    auto adapter = the_adapter();
    check_listed_service_data(adapter, "00000000-0000-4000-8000-000000005E01", "00000000-0000-4000-8000-000000005E02");
}

TEST(AdapterScan, CallbacksAreReplacedAndRemoved) {
    reset_world({device(kA)});
    auto adapter = the_adapter();
    std::atomic<int> first_found{0}, second_found{0}, updated{0}, starts{0}, stops{0};
    std::atomic<bool> start_on_caller{false};
    const auto caller = std::this_thread::get_id();
    adapter.set_callback_on_scan_found([&](Tavrin::Peripheral) { ++first_found; });
    adapter.set_callback_on_scan_start([&] {
        ++starts;
        start_on_caller = std::this_thread::get_id() == caller;
    });
    adapter.set_callback_on_scan_stop([&] { ++stops; });

    adapter.scan_start();
    EXPECT_EQ(starts, 1);
    EXPECT_TRUE(start_on_caller);
    ASSERT_TRUE(eventually([&] { return first_found == 1; }));
    adapter.scan_stop();
    EXPECT_EQ(stops, 1);

    adapter.set_callback_on_scan_found([&](Tavrin::Peripheral) { ++second_found; });
    adapter.set_callback_on_scan_updated([&](Tavrin::Peripheral) { ++updated; });
    adapter.scan_start();
    ASSERT_TRUE(eventually([&] { return second_found == 1 && updated >= 1; }));
    adapter.scan_stop();
    drain(adapter);
    EXPECT_EQ(first_found, 1);

    // Empty functions remove every callback.
    adapter.set_callback_on_scan_found({});
    adapter.set_callback_on_scan_updated({});
    adapter.set_callback_on_scan_start({});
    adapter.set_callback_on_scan_stop({});
    const int updated_before = updated;
    adapter.scan_start();
    // Listed means its first advertisement was handled, found callback and all.
    ASSERT_TRUE(eventually([&] { return adapter.scan_get_results().size() == 1; }));
    adapter.scan_stop();
    drain(adapter);
    EXPECT_EQ(first_found, 1);
    EXPECT_EQ(second_found, 1);
    EXPECT_EQ(updated, updated_before);
    EXPECT_EQ(starts, 2);
    EXPECT_EQ(stops, 2);
}

TEST(AdapterScan, ThrowingCallbacksAreLoggedAndTheScanGoesOn) {
    reset_world({device(kA)});
    LogCapture log;
    auto adapter = the_adapter();
    std::atomic<int> found{0}, updated{0};
    adapter.set_callback_on_scan_start([] { throw std::runtime_error("start failed"); });
    adapter.set_callback_on_scan_stop([] { throw 7; });
    adapter.set_callback_on_scan_found([&](Tavrin::Peripheral) {
        ++found;
        throw std::runtime_error("found failed");
    });
    adapter.set_callback_on_scan_updated([&](Tavrin::Peripheral) {
        ++updated;
        throw 42;
    });

    EXPECT_NO_THROW(adapter.scan_start());
    ASSERT_TRUE(eventually([&] { return updated >= 3; }));
    EXPECT_TRUE(adapter.scan_is_active());
    EXPECT_NO_THROW(adapter.scan_stop());
    drain(adapter);

    EXPECT_EQ(found, 1);
    EXPECT_EQ(adapter.scan_get_results().size(), 1u);  // still registered and listed
    EXPECT_EQ(log.count("Exception during callback: start failed", "scan_start"), 1u);
    EXPECT_EQ(log.count("Unknown exception during callback", "scan_stop"), 1u);
    EXPECT_EQ(log.count("Exception during callback: found failed", "delegate_did_discover_peripheral"), 1u);
    EXPECT_EQ(log.count("Unknown exception during callback", "delegate_did_discover_peripheral"),
              static_cast<size_t>(updated.load()));
    for (const auto& record : log.records()) {
        if (record.message.find("callback") != std::string::npos) {
            EXPECT_EQ(record.level, Tavrin::Logging::Level::Error);
            EXPECT_EQ(record.module, "Tavrin");
            EXPECT_NE(record.file.find("AdapterBase.cpp"), std::string::npos) << record.file;
        }
    }
}

TEST(AdapterScan, CallbacksMayUseTheAdapter) {
    reset_world({device(kA), device(kB)});
    auto adapter = the_adapter();
    auto* self = &adapter;  // a captured copy would keep the backend alive through its own callback
    std::mutex mutex;
    std::vector<size_t> listed;  // guarded by mutex: result sizes seen from inside the found callback
    std::atomic<int> found{0}, restarted_updates{0};
    std::atomic<bool> restarted{false};

    adapter.set_callback_on_scan_found([&, self](Tavrin::Peripheral p) {
        const auto results = self->scan_get_results();
        {
            std::lock_guard<std::mutex> lock(mutex);
            listed.push_back(results.size());
        }
        EXPECT_NE(std::find_if(results.begin(), results.end(),
                               [&](Tavrin::Peripheral r) { return backend_of(r) == backend_of(p); }),
                  results.end());
        ++found;
    });
    adapter.set_callback_on_scan_updated([&, self](Tavrin::Peripheral) {
        if (found >= 2 && !restarted.exchange(true)) {
            // Swap this very callback and restart the scan from the event queue.
            self->set_callback_on_scan_updated([&](Tavrin::Peripheral) { ++restarted_updates; });
            self->scan_start();
        }
    });

    adapter.scan_start();
    // Two peripherals found in the first scan, both again in the scan restarted from the callback.
    ASSERT_TRUE(eventually([&] { return found >= 4 && restarted_updates >= 2; }));
    adapter.scan_stop();
    drain(adapter);
    EXPECT_EQ(found, 4);
    EXPECT_EQ(adapter.scan_get_results().size(), 2u);
    std::lock_guard<std::mutex> lock(mutex);
    for (size_t size : listed) {
        EXPECT_GE(size, 1u);
        EXPECT_LE(size, 2u);
    }
}

TEST(AdapterScan, HandleCopiesShareScansAndCallbacks) {
    reset_world({device(kA)});
    auto adapter = the_adapter();
    Tavrin::Adapter copy = adapter;
    ScanRecorder recorder;
    recorder.install(copy);
    std::atomic<int> stops{0};
    adapter.set_callback_on_scan_stop([&] { ++stops; });

    EXPECT_EQ(copy.underlying(), adapter.underlying());
    EXPECT_EQ(copy.identifier(), adapter.identifier());
    adapter.scan_start();
    EXPECT_TRUE(copy.scan_is_active());
    ASSERT_TRUE(eventually([&] { return recorder.found(kA) == 1; }));
    copy.scan_stop();
    EXPECT_EQ(stops, 1);
    EXPECT_FALSE(adapter.scan_is_active());
    ASSERT_EQ(copy.scan_get_results().size(), 1u);
    EXPECT_EQ(backend_of(copy.scan_get_results()[0]), backend_of(adapter.scan_get_results()[0]));

    // Another adapter is another backend with a scan of its own.
    auto other = the_adapter();
    EXPECT_NE(other.underlying(), adapter.underlying());
    EXPECT_TRUE(other.scan_get_results().empty());
}

TEST(AdapterScan, ScanOptionsKeepOnlyWhatTheyAskFor) {
    auto listed = device(device_id(70), 20);
    listed.advertising.service_uuids = std::vector<std::string>{"180d"};
    auto other = device(device_id(71), 20);
    auto faint = device(device_id(72), 20);
    faint.advertising.service_uuids = std::vector<std::string>{"180d"};
    faint.advertising.rssi = -90;
    reset_world({listed, other, faint});
    auto adapter = the_adapter();
    check_scan_options(adapter, {device_id(70), device_id(71), device_id(72)});
}

}  // namespace
}  // namespace adapter_test
