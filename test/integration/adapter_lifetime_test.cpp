// The adapter going away while advertisements pour in, on the caller's thread and from inside its
// own scan callbacks on the event queue. Run under the sanitizers, a late event would show there.

#include <gtest/gtest.h>

#include "support/AdapterHarness.h"

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
        // The use count is read without ordering: taking the lock orders the queue's last unlock of this
        // mutex before its destruction at the end of this round.
        std::lock_guard<std::mutex> settled(mutex);
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

// The last handle of a peripheral dropped inside its own connection callbacks, with the adapter gone: the
// backend must outlive the connect() or disconnect() that called the callback.
TEST(AdapterLifetime, PeripheralHandleDroppedInsideItsOwnConnectionCallbacks) {
    const std::string kA = device_id(31), kB = device_id(32);
    reset_world({device(kA), device(kB)});
    std::optional<Tavrin::Peripheral> a, b;
    {
        auto adapter = the_adapter();
        a = find_one(adapter, kA);
        b = find_one(adapter, kB);
    }

    std::weak_ptr<Tavrin::PeripheralBase> weak = PeripheralPeek(*a).weak();
    std::optional<bool> freed_in_callback;
    a->set_callback_on_connected([&] {
        a.reset();
        freed_in_callback = weak.expired();
    });
    a->connect();
    EXPECT_EQ(freed_in_callback, false);
    // Freed once nothing uses it any more (a connection event may still hold it for a moment).
    EXPECT_TRUE(eventually([&] { return weak.expired(); }));

    b->connect();
    weak = PeripheralPeek(*b).weak();
    freed_in_callback.reset();
    b->set_callback_on_disconnected([&] {
        b.reset();
        freed_in_callback = weak.expired();
    });
    b->disconnect();
    EXPECT_EQ(freed_in_callback, false);
    EXPECT_TRUE(eventually([&] { return weak.expired(); }));
}

// A peripheral handle that outlives its adapter handle keeps working: operations, value callbacks,
// requested disconnections and link losses, on the same event queue as before.
TEST(AdapterLifetime, PeripheralOutlivesItsAdapter) {
    const std::string kA = device_id(33);
    const std::string service = "a0da0001-0000-4000-8000-000000000033";
    const std::string characteristic = "a0da0002-0000-4000-8000-000000000033";
    auto config = device(kA);
    platform::sim::CharacteristicConfig value;
    value.uuid = characteristic;
    value.properties = platform::CBCharacteristicPropertyRead | platform::CBCharacteristicPropertyNotify;
    value.value = "v1";
    config.services.push_back({service, {}, {value}});
    reset_world({config});

    std::optional<Tavrin::Adapter> adapter = the_adapter();
    auto* manager = static_cast<platform::CBCentralManager*>(adapter->underlying());
    auto peripheral = find_one(*adapter, kA);
    adapter->scan_start();
    const std::weak_ptr<Tavrin::AdapterBase> weak = AdapterPeek(*adapter).backend();
    adapter.reset();
    ASSERT_TRUE(eventually([&] { return weak.expired(); }));
    // Nobody is left to stop that scan: it ended with the adapter.
    EXPECT_FALSE(manager->isScanning());

    std::mutex mutex;
    std::vector<std::thread::id> disconnected;  // guarded by mutex
    std::vector<std::string> values;            // guarded by mutex
    peripheral.set_callback_on_disconnected([&] {
        std::lock_guard<std::mutex> lock(mutex);
        disconnected.push_back(std::this_thread::get_id());
    });
    auto disconnections = [&] {
        std::lock_guard<std::mutex> lock(mutex);
        return disconnected.size();
    };

    peripheral.connect();
    EXPECT_EQ(peripheral.read(service, characteristic), "v1");
    peripheral.notify(service, characteristic, [&](std::string v) {
        std::lock_guard<std::mutex> lock(mutex);
        values.push_back(v);
    });
    platform::sim::World::get().notify(kA, service, characteristic, "v2");
    EXPECT_TRUE(eventually([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return values == std::vector<std::string>{"v2"};
    }));

    // A link loss is still reported, on the event queue.
    platform::sim::World::get().dropLink(kA);
    ASSERT_TRUE(eventually([&] { return disconnections() == 1; }));
    {
        std::lock_guard<std::mutex> lock(mutex);
        EXPECT_NE(disconnected[0], std::this_thread::get_id());
    }

    // A requested disconnection calls back once, on this thread, without waiting for an event.
    peripheral.connect();
    EXPECT_LT(ms(timed([&] { peripheral.disconnect(); })), 700);
    EXPECT_EQ(disconnections(), 2u);
    manager->queue()->sync([] {});
    EXPECT_EQ(disconnections(), 2u);
}

TEST(AdapterLifetime, ForgottenPeripheralsGoOnceNothingHoldsThemAndAHeldOneKeepsWorking) {
    const std::string kHeld = device_id(41);
    const std::string kGone = device_id(42);
    const std::string service = "a0da0001-0000-4000-8000-000000000041";
    const std::string characteristic = "a0da0002-0000-4000-8000-000000000041";
    auto held_config = device(kHeld);
    platform::sim::CharacteristicConfig value;
    value.uuid = characteristic;
    value.properties = platform::CBCharacteristicPropertyRead;
    value.value = "v1";
    held_config.services.push_back({service, {}, {value}});
    reset_world({held_config, device(kGone)});

    auto adapter = the_adapter();
    auto held = find_one(adapter, kHeld);
    std::weak_ptr<Tavrin::PeripheralBase> gone_backend;
    std::weak_ptr<platform::CBPeripheral> gone_platform;
    {
        const auto gone = find_one(adapter, kGone);
        gone_backend = PeripheralPeek(gone).weak();
        gone_platform = static_cast<platform::CBPeripheral*>(gone.underlying())->shared_from_this();
    }
    auto& world = platform::sim::World::get();
    world.removePeripheral(kHeld);
    world.removePeripheral(kGone);
    world.addPeripheral(held_config);
    // The last scan's results hold them until the next scan starts; later scans let them go.
    EXPECT_TRUE(eventually([&] {
        adapter.scan_for(10);
        return gone_backend.expired() && gone_platform.expired();
    }));

    // The held one comes back as the same backend object, and works.
    EXPECT_EQ(backend_of(find_one(adapter, kHeld)), backend_of(held));
    held.connect();
    EXPECT_EQ(held.read(service, characteristic), "v1");
    held.disconnect();
}

}  // namespace
}  // namespace adapter_test
