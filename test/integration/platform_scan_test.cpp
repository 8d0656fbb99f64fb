// Scanning: advertisement contents, duplicates, phases, filters, and devices coming and going.

#include <map>

#include "support/PlatformHarness.h"

namespace platform_test {
namespace {

std::string idOf(int i) {
    char text[37];
    std::snprintf(text, sizeof text, "%08X-0000-4000-8000-0000000000%02X", 0xA0000000u + static_cast<unsigned>(i), i);
    return text;
}

sim::PeripheralConfig advertiser(int i, unsigned interval_ms) {
    sim::PeripheralConfig p;
    p.identifier = idOf(i);
    p.advertising.interval_ms = interval_ms;
    return p;
}

class PlatformScan : public PlatformTest {
  protected:
    // The identifiers in the order of their first advertisement during one scan of `span`.
    std::vector<std::string> firstOrder(std::chrono::milliseconds span) {
        recorder->clear();
        central->scanForPeripherals(std::nullopt, {});
        std::this_thread::sleep_for(span);
        central->stopScan();
        std::vector<std::string> order;
        for (const auto& a : recorder->adverts()) {
            order.push_back(a.peripheral->identifier().UUIDString());
        }
        return order;
    }
};

TEST_F(PlatformScan, AdvertisementCarriesExactlyTheDevicesKeys) {
    auto full = testDevice();
    full.advertising.rssi = -42;
    full.advertising.tx_power = 4;
    full.advertising.manufacturer_data = std::string("\x4c\x00\x02\x15", 4);
    full.advertising.service_data =
        std::vector<std::pair<std::string, std::string>>{{"181a", "\xe8\x03"}, {"180f", "\x64"}};
    auto bare = advertiser(1, 5);
    start(world_of({full, bare}));
    auto p = find();
    ASSERT_TRUE(p);
    ASSERT_TRUE(find(idOf(1)));
    std::map<std::string, Recorder::Advert> first;
    for (const auto& a : recorder->adverts()) {
        first.emplace(a.peripheral->identifier().UUIDString(), a);
    }
    const auto& f = first.at(kDeviceId);
    EXPECT_EQ(f.rssi, -42);
    EXPECT_EQ(f.data.isConnectable, true);
    EXPECT_EQ(f.data.txPowerLevel, 4);
    EXPECT_EQ(f.data.manufacturerData, std::string("\x4c\x00\x02\x15", 4));
    ASSERT_TRUE(f.data.serviceData);
    ASSERT_EQ(f.data.serviceData->size(), 2u);
    EXPECT_EQ((*f.data.serviceData)[0].first.UUIDString(), "181A");  // the device's order and form
    EXPECT_EQ((*f.data.serviceData)[0].second, "\xe8\x03");
    EXPECT_EQ((*f.data.serviceData)[1].first.UUIDString(), "180F");
    ASSERT_TRUE(f.data.serviceUUIDs);
    EXPECT_EQ(f.data.serviceUUIDs->front(), CBUUID::UUIDWithString(kService));
    EXPECT_EQ(f.data.localName, "Test Device");

    const auto& b = first.at(idOf(1));
    EXPECT_EQ(b.rssi, -60);
    EXPECT_FALSE(b.data.isConnectable);
    EXPECT_FALSE(b.data.txPowerLevel);
    EXPECT_FALSE(b.data.manufacturerData);
    EXPECT_FALSE(b.data.serviceData);
    EXPECT_FALSE(b.data.serviceUUIDs);
    EXPECT_FALSE(b.data.localName);
    EXPECT_FALSE(b.peripheral->name());
}

TEST_F(PlatformScan, DuplicatesOnlyWhenAllowedAndOnePeripheralObjectPerDevice) {
    start(world_of({advertiser(1, 5), advertiser(2, 5)}));
    central->scanForPeripherals(std::nullopt, {});
    EXPECT_TRUE(central->isScanning());
    std::this_thread::sleep_for(60ms);  // a dozen intervals
    central->stopScan();
    EXPECT_FALSE(central->isScanning());
    auto once = recorder->adverts();
    EXPECT_EQ(once.size(), 2u);

    recorder->clear();
    central->scanForPeripherals(std::nullopt, {{CBCentralManagerScanOptionAllowDuplicatesKey, true}});
    ASSERT_TRUE(eventually([&] { return recorder->adverts().size() >= 20; }));
    central->stopScan();
    const auto many = recorder->adverts();
    std::map<std::string, std::vector<Recorder::Advert>> by;
    for (const auto& a : many) {
        by[a.peripheral->identifier().UUIDString()].push_back(a);
    }
    ASSERT_EQ(by.size(), 2u);
    for (const auto& [id, list] : by) {
        for (const auto& a : list) {
            EXPECT_EQ(a.peripheral, list.front().peripheral);  // the same object for every event
        }
    }
    EXPECT_EQ(by[idOf(1)].front().peripheral, std::find_if(once.begin(), once.end(), [](const auto& a) {
                                                  return a.peripheral->identifier().UUIDString() == idOf(1);
                                              })->peripheral);

    // Nothing new is queued once stopScan has returned (one advertisement may be running then).
    const size_t at_stop = recorder->adverts().size();
    std::this_thread::sleep_for(20ms);
    EXPECT_LE(recorder->adverts().size(), at_stop + 1);
}

TEST_F(PlatformScan, FirstAdvertisementsFollowFixedPhasesWithinOneInterval) {
    std::vector<sim::PeripheralConfig> devices;
    for (int i = 0; i < 8; ++i) {
        devices.push_back(advertiser(i, 150));
    }
    start(world_of(devices));
    recorder->clear();
    const auto began = std::chrono::steady_clock::now();
    central->scanForPeripherals(std::nullopt, {});
    ASSERT_TRUE(eventually([&] { return recorder->adverts().size() == 8; }));
    central->stopScan();
    std::vector<std::string> first;
    std::chrono::steady_clock::duration earliest = std::chrono::hours(1), latest{};
    for (const auto& a : recorder->adverts()) {
        first.push_back(a.peripheral->identifier().UUIDString());
        earliest = std::min(earliest, a.at - began);
        latest = std::max(latest, a.at - began);
    }
    EXPECT_LT(latest, 150ms + 50ms);     // every phase lies within one interval
    EXPECT_GT(latest - earliest, 10ms);  // phases differ between devices

    // The same world scanned again gives the same order: phases are fixed by identifiers.
    EXPECT_EQ(firstOrder(200ms), first);
}

TEST_F(PlatformScan, FilterAndDevicesJoiningOrLeavingDuringAScan) {
    auto a = testDevice();
    auto other = advertiser(2, 5);
    other.advertising.service_uuids = std::vector<std::string>{"180D"};
    start(world_of({a, other}));
    central->scanForPeripherals(std::vector<CBUUID>{CBUUID::UUIDWithString("180d")},
                                {{CBCentralManagerScanOptionAllowDuplicatesKey, true}});
    ASSERT_TRUE(recorder->waitForAdvert(idOf(2)));
    World::get().addPeripheral(advertiser(3, 5));  // advertises no service: filtered out
    auto joining = advertiser(4, 5);
    joining.advertising.service_uuids = std::vector<std::string>{"0000180D-0000-1000-8000-00805F9B34FB"};
    World::get().addPeripheral(joining);
    ASSERT_TRUE(recorder->waitForAdvert(idOf(4)));
    World::get().removePeripheral(idOf(2));
    const auto removed_at = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(30ms);
    central->stopScan();
    for (const auto& ad : recorder->adverts()) {
        const auto id = ad.peripheral->identifier().UUIDString();
        EXPECT_TRUE(id == idOf(2) || id == idOf(4)) << id;
        if (id == idOf(2)) {
            EXPECT_LT(ad.at, removed_at + 5ms);
        }
    }
}

TEST_F(PlatformScan, ScanRunsTenThousandDevicesAtTheirInterval) {
    std::vector<sim::PeripheralConfig> devices;
    for (int i = 0; i < 10000; ++i) {
        auto d = advertiser(0, 20);
        char text[37];
        std::snprintf(text, sizeof text, "%08X-0000-4000-8000-000000000000", static_cast<unsigned>(i));
        d.identifier = text;
        devices.push_back(std::move(d));
    }
    start(world_of(devices));
    std::atomic<size_t> count{0};
    struct Counter : CBCentralManagerDelegate {
        std::atomic<size_t>* n;
        void centralManagerDidUpdateState(CBCentralManager&) override {}
        void centralManagerDidDiscoverPeripheral(CBCentralManager&, const CBPeripheralPtr&, const AdvertisementData&,
                                                 int) override {
            n->fetch_add(1, std::memory_order_relaxed);
        }
    };
    auto counter = std::make_shared<Counter>();
    counter->n = &count;
    auto m = CBCentralManager::initWithDelegate(counter, dispatch_queue_create("count", DISPATCH_QUEUE_SERIAL),
                                                std::nullopt);
    ASSERT_TRUE(eventually([&] { return m->state() == CBManagerState::PoweredOn; }));
    m->scanForPeripherals(std::nullopt, {{CBCentralManagerScanOptionAllowDuplicatesKey, true}});
    // 10,000 devices every 20 ms are 100,000 advertisements in 200 ms; allow for slow sanitizer builds.
    EXPECT_TRUE(eventually([&] { return count.load() >= 100000; }, 5000ms));
    m->stopScan();
}

TEST_F(PlatformScan, ASaturatedScanKeepsItsBacklogBoundedAndConnectionsWork) {
    // 500 devices every millisecond while the manager's queue is held: 200,000 advertisements in 400 ms. The
    // queue gets at most a bounded backlog of them, and a connection still comes through.
    auto flooder = [](int i) {
        char text[37];
        std::snprintf(text, sizeof text, "F100D000-0000-4000-8000-00000000%04X", static_cast<unsigned>(i));
        return std::string(text);
    };
    std::vector<sim::PeripheralConfig> devices{testDevice()};
    for (int i = 0; i < 500; ++i) {
        auto d = advertiser(0, 1);
        d.identifier = flooder(i);
        devices.push_back(std::move(d));
    }
    start(world_of(devices));
    struct Gate : Recorder {
        std::mutex mutex;
        std::condition_variable opened;
        bool held = false, open = false;  // guarded by mutex
        std::atomic<size_t> flood{0};
        void centralManagerDidDiscoverPeripheral(CBCentralManager& c, const CBPeripheralPtr& p,
                                                 const AdvertisementData& a, int rssi) override {
            if (p->identifier().UUIDString() != kDeviceId) {
                flood.fetch_add(1);
            }
            std::unique_lock<std::mutex> lock(mutex);
            held = true;
            opened.wait_for(lock, 5s, [&] { return open; });  // holds the queue
            lock.unlock();
            Recorder::centralManagerDidDiscoverPeripheral(c, p, a, rssi);
        }
    };
    auto gate = std::make_shared<Gate>();
    auto m =
        CBCentralManager::initWithDelegate(gate, dispatch_queue_create("held", DISPATCH_QUEUE_SERIAL), std::nullopt);
    ASSERT_TRUE(eventually([&] { return m->state() == CBManagerState::PoweredOn; }));
    m->scanForPeripherals(std::nullopt, {{CBCentralManagerScanOptionAllowDuplicatesKey, true}});
    ASSERT_TRUE(eventually([&] {
        std::lock_guard<std::mutex> lock(gate->mutex);
        return gate->held;
    }));
    std::this_thread::sleep_for(400ms);  // the flood meets a held queue
    for (int i = 0; i < 500; ++i) {
        World::get().removePeripheral(flooder(i));
    }
    {
        std::lock_guard<std::mutex> lock(gate->mutex);
        gate->open = true;
    }
    gate->opened.notify_all();
    // The backlog drains: nothing more of the flood arrives for a while.
    size_t seen = 0;
    EXPECT_TRUE(eventually(
        [&] {
            const size_t now = gate->flood.load();
            const bool still = now == seen;
            seen = now;
            if (still) {
                std::this_thread::sleep_for(50ms);
            }
            return still && gate->flood.load() == now;
        },
        10000ms));
    EXPECT_GT(seen, 0u);
    EXPECT_LT(seen, 12000u);  // bounded: a few thousand at most, not the 200,000 sent

    auto p = gate->waitForAdvert(kDeviceId);
    ASSERT_TRUE(p);
    p->setDelegate(gate);
    m->connectPeripheral(p, {});
    EXPECT_TRUE(gate->waitFor("DidConnect"));
    m->stopScan();
}

}  // namespace
}  // namespace platform_test
