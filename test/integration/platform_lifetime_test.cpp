// Lifetimes: delegates and managers going away while events pour in.

#include <atomic>

#include "support/PlatformHarness.h"

namespace platform_test {
namespace {

// Counts calls and catches any that reach it after its destruction began.
std::atomic<int> g_late_calls{0};

struct Watched : CBCentralManagerDelegate, CBPeripheralDelegate {
    std::atomic<bool> dead{false};
    std::atomic<size_t> adverts{0};
    std::atomic<size_t> values{0};
    std::mutex mutex;
    std::function<void()> on_advert;  // guarded by mutex: runs once, inside the next advertisement event
    ~Watched() override { dead = true; }
    void centralManagerDidUpdateState(CBCentralManager&) override { check(); }
    void centralManagerDidDiscoverPeripheral(CBCentralManager&, const CBPeripheralPtr&, const AdvertisementData&,
                                             int) override {
        check();
        adverts.fetch_add(1);
        std::function<void()> f;
        {
            std::lock_guard<std::mutex> lock(mutex);
            f.swap(on_advert);
        }
        if (f) {
            f();
        }
    }
    void peripheralDidUpdateValueForCharacteristic(const CBPeripheralPtr&, const CBCharacteristicPtr&,
                                                   const NSError*) override {
        check();
        values.fetch_add(1);
    }
    void check() const {
        if (dead) {
            g_late_calls.fetch_add(1);
        }
    }
};

sim::WorldConfig busyWorld() {
    std::vector<sim::PeripheralConfig> devices;
    for (int i = 0; i < 200; ++i) {
        auto d = testDevice();
        char text[37];
        std::snprintf(text, sizeof text, "%08X-1111-4000-8000-000000000000", static_cast<unsigned>(i));
        d.identifier = text;
        d.advertising.interval_ms = 1;
        devices.push_back(std::move(d));
    }
    return world_of(devices);
}

CBCentralManagerPtr scanning(const std::shared_ptr<Watched>& delegate, const dispatch_queue_t& q) {
    auto m = CBCentralManager::initWithDelegate(delegate, q, std::nullopt);
    EXPECT_TRUE(eventually([&] { return m->state() == CBManagerState::PoweredOn; }));
    m->scanForPeripherals(std::nullopt, {{CBCentralManagerScanOptionAllowDuplicatesKey, true}});
    return m;
}

TEST(PlatformLifetime, DelegateReleasedMidStreamGetsNoFurtherEventsAndTheScanStops) {
    World::get().reset(busyWorld());
    auto q = dispatch_queue_create("q", DISPATCH_QUEUE_SERIAL);
    auto delegate = std::make_shared<Watched>();
    auto m = scanning(delegate, q);
    ASSERT_TRUE(eventually([&] { return delegate->adverts.load() > 1000; }));
    std::weak_ptr<Watched> weak = delegate;
    delegate.reset();  // a running event may still hold it; it goes when that event returns
    ASSERT_TRUE(eventually([&] { return weak.expired(); }));
    // Nobody listens: the manager stops spending the radio on its scan.
    EXPECT_TRUE(eventually([&] { return !m->isScanning(); }));
    q->sync([] {});
    EXPECT_EQ(g_late_calls.load(), 0);
}

TEST(PlatformLifetime, ManagerDestroyedMidStreamDropsItsEventsAndTheQueueGoesOn) {
    World::get().reset(busyWorld());
    auto q = dispatch_queue_create("q", DISPATCH_QUEUE_SERIAL);
    auto delegate = std::make_shared<Watched>();
    auto m = scanning(delegate, q);
    ASSERT_TRUE(eventually([&] { return delegate->adverts.load() > 1000; }));
    m.reset();
    // Whatever was running finishes; after that not one more event.
    q->sync([] {});
    const size_t after = delegate->adverts.load();
    std::this_thread::sleep_for(20ms);
    q->sync([] {});
    EXPECT_EQ(delegate->adverts.load(), after);
    bool ran = false;
    q->sync([&] { ran = true; });
    EXPECT_TRUE(ran);
}

TEST(PlatformLifetime, LastReferencesDroppedInsideTheirOwnEventNeitherDeadlockNorCrash) {
    World::get().reset(busyWorld());
    std::atomic<bool> done{false};
    {
        auto q = dispatch_queue_create("q", DISPATCH_QUEUE_SERIAL);
        auto delegate = std::make_shared<Watched>();
        auto m = scanning(delegate, q);
        // Inside the first advertisement the delegate lets go of the manager, the queue and itself.
        struct Holder {
            CBCentralManagerPtr manager;
            dispatch_queue_t queue;
            std::shared_ptr<Watched> delegate;
        };
        auto holder = std::make_shared<Holder>(Holder{m, q, delegate});
        std::weak_ptr<Watched> weak = delegate;
        {
            std::lock_guard<std::mutex> lock(delegate->mutex);
            delegate->on_advert = [holder, &done] {
                holder->manager.reset();
                holder->queue.reset();
                holder->delegate.reset();
                done = true;
            };
        }
        m.reset();
        q.reset();
        delegate.reset();
        ASSERT_TRUE(eventually([&] { return done.load(); }));
        EXPECT_TRUE(eventually([&] { return weak.expired(); }));
        holder.reset();
    }
    EXPECT_EQ(g_late_calls.load(), 0);
}

TEST(PlatformLifetime, PeripheralDelegateReleasedWhileNotificationsPourIn) {
    World::get().reset(world_of({testDevice()}));
    auto q = dispatch_queue_create("q", DISPATCH_QUEUE_SERIAL);
    auto central_delegate = std::make_shared<Recorder>();
    auto m = CBCentralManager::initWithDelegate(central_delegate, q, std::nullopt);
    ASSERT_TRUE(central_delegate->waitFor("DidUpdateState"));
    m->scanForPeripherals(std::nullopt, {});
    auto p = central_delegate->waitForAdvert(kDeviceId);
    ASSERT_TRUE(p);
    m->stopScan();
    p->setDelegate(central_delegate);
    m->connectPeripheral(p, {});
    ASSERT_TRUE(central_delegate->waitFor("DidConnect"));
    p->discoverServices(std::nullopt);
    ASSERT_TRUE(eventually([&] { return p->services().has_value(); }));
    auto service = p->services()->front();
    p->discoverCharacteristics(std::nullopt, service);
    ASSERT_TRUE(eventually([&] { return service->characteristics().has_value(); }));
    auto c = service->characteristics()->front();
    p->setNotifyValue(true, c);
    ASSERT_TRUE(eventually([&] { return c->isNotifying(); }));

    auto watched = std::make_shared<Watched>();
    p->setDelegate(watched);
    std::atomic<bool> stop{false};
    std::thread pump([&] {
        for (int i = 0; !stop; ++i) {
            World::get().notify(kDeviceId, kService, kReadChar, std::to_string(i));
        }
    });
    ASSERT_TRUE(eventually([&] { return watched->values.load() > 1000; }));
    std::weak_ptr<Watched> weak = watched;
    watched.reset();
    EXPECT_TRUE(eventually([&] { return weak.expired(); }));
    stop = true;
    pump.join();
    q->sync([] {});
    EXPECT_EQ(g_late_calls.load(), 0);
    // The link lives on without a delegate.
    EXPECT_EQ(p->state(), CBPeripheralState::Connected);
}

class PlatformForgotten : public PlatformTest {};

TEST_F(PlatformForgotten, UnheldPeripheralIsReleasedAndAHeldOneKeepsWorking) {
    const std::string kGone = "22222222-3333-4444-5555-666666666666";
    start(world_of({testDevice(), testDevice(kGone)}));
    auto held = find();
    ASSERT_TRUE(held);
    std::weak_ptr<CBPeripheral> gone = find(kGone);
    ASSERT_FALSE(gone.expired());
    queue->sync([] {});
    recorder->clear();  // its advertisements hold the peripherals

    World::get().removePeripheral(kDeviceId);
    World::get().removePeripheral(kGone);
    EXPECT_TRUE(eventually([&] { return gone.expired(); }));

    // Back in the world: the held object is the device's again, and works; the other comes as a new one.
    World::get().addPeripheral(testDevice());
    World::get().addPeripheral(testDevice(kGone));
    EXPECT_EQ(find(), held);
    auto again = find(kGone);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->identifier().UUIDString(), kGone);
    connect(held);
    auto service = discoverAll(held);
    ASSERT_TRUE(service);
    held->readValue(characteristic(service, kReadChar));
    auto read = recorder->waitFor("DidUpdateValue");
    ASSERT_TRUE(read);
    EXPECT_EQ(read->value, std::string("\x01\x00\x02", 3));
}

}  // namespace
}  // namespace platform_test
