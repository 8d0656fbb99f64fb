// The adapter going away while advertisements pour in, on the caller's thread and from inside its
// own scan callbacks on the event queue. Run under the sanitizers, a late event would show there.

#include <gtest/gtest.h>

#include "adapter_harness.h"

namespace adapter_test {
namespace {

std::vector<platform::sim::PeripheralConfig> crowd(unsigned count, unsigned interval_ms) {
    std::vector<platform::sim::PeripheralConfig> devices;
    for (unsigned i = 0; i < count; ++i) {
        devices.push_back(device(device_id(100 + i), interval_ms));
    }
    return devices;
}

TEST(AdapterLifetime, AdapterGoesWhileAdvertisementsPourIn) {
    reset_world(crowd(100, 2));
    for (int round = 0; round < 5; ++round) {
        // The callbacks touch this object; it is freed right after the adapter, so a late call would be
        // a use after free.
        auto recorder = std::make_unique<ScanRecorder>();
        std::weak_ptr<Tavrin::AdapterBase> weak;
        {
            auto adapter = the_adapter();
            weak = AdapterPeek(adapter).backend();
            recorder->install(adapter);
            adapter.scan_start();
            ASSERT_TRUE(eventually([&] { return recorder->distinct_found() >= 10; }));
            if (round % 2 == 1) {
                adapter.scan_stop();  // also with the scan stopped and its last events still queued
            }
        }
        // Gone here, or at the end of the event that held it at that moment.
        ASSERT_TRUE(eventually([&] { return weak.expired(); }));
        recorder.reset();
    }
}

TEST(AdapterLifetime, LastHandleDroppedInsideScanCallbacks) {
    reset_world(crowd(50, 1));
    for (const bool in_found : {true, false}) {
        SCOPED_TRACE(in_found ? "found" : "updated");
        std::mutex mutex;
        std::optional<Tavrin::Adapter> holder = the_adapter();  // guarded by mutex once scanning
        const std::weak_ptr<Tavrin::AdapterBase> weak = AdapterPeek(*holder).backend();
        std::atomic<int> calls_after_drop{0};
        std::atomic<bool> dropped{false};
        std::atomic<bool> destroyed_in_event{false};

        auto drop = [&] {
            if (dropped) {
                ++calls_after_drop;
                return;
            }
            std::lock_guard<std::mutex> lock(mutex);
            holder.reset();
            dropped = true;
            // The event still holds the backend: it goes only once this event has returned.
            destroyed_in_event = weak.expired();
        };
        if (in_found) {
            holder->set_callback_on_scan_found([&](Tavrin::Peripheral) { drop(); });
        } else {
            holder->set_callback_on_scan_updated([&](Tavrin::Peripheral) { drop(); });
        }
        {
            std::lock_guard<std::mutex> lock(mutex);
            holder->scan_start();
        }
        ASSERT_TRUE(eventually([&] { return weak.expired(); }));
        EXPECT_TRUE(dropped);
        EXPECT_FALSE(destroyed_in_event);
        EXPECT_EQ(calls_after_drop, 0);
    }
}

TEST(AdapterLifetime, LastHandleDroppedInsideTheStartCallback) {
    reset_world(crowd(20, 1));
    std::optional<Tavrin::Adapter> holder = the_adapter();
    const std::weak_ptr<Tavrin::AdapterBase> weak = AdapterPeek(*holder).backend();
    holder->set_callback_on_scan_start([&] { holder.reset(); });
    holder->scan_start();  // the operation keeps the backend until it returns
    EXPECT_FALSE(holder.has_value());
    ASSERT_TRUE(eventually([&] { return weak.expired(); }));
}

}  // namespace
}  // namespace adapter_test
