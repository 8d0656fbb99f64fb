#pragma once
// Recording delegates and small worlds for the platform stand-in's tests.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/CoreBluetooth.h"
#include "platform/sim/World.h"

namespace platform_test {

using namespace platform;
using namespace std::chrono_literals;
using platform::sim::World;

/// One delegate event as a recording delegate saw it.
struct Event {
    std::string kind;  // the callback's name without its common prefix, e.g. "DidConnect", "DidUpdateValue"
    std::string uuid;  // the attribute's UUID text, when the event has one
    std::optional<std::string> error;                           // the error's description
    std::optional<std::string> value;                           // the characteristic's value as the callback saw it
    CBPeripheralState state = CBPeripheralState::Disconnected;  // the peripheral's state during the callback
};

/// Waits up to `limit` for `condition`, polling every millisecond.
inline bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit = 2000ms) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

/// Records every event of a central manager and of its peripherals.
class Recorder : public CBCentralManagerDelegate, public CBPeripheralDelegate {
  public:
    void centralManagerDidUpdateState(CBCentralManager& central) override {
        add({"DidUpdateState", std::to_string(static_cast<int>(central.state())), {}, {}, {}});
    }
    void centralManagerDidDiscoverPeripheral(CBCentralManager&, const CBPeripheralPtr& peripheral,
                                             const AdvertisementData& advertisement, int rssi) override {
        std::lock_guard<std::mutex> lock(mutex_);
        adverts_.push_back({peripheral, advertisement, rssi, std::chrono::steady_clock::now()});
        changed_.notify_all();
    }
    void centralManagerDidConnectPeripheral(CBCentralManager&, const CBPeripheralPtr& p) override {
        add({"DidConnect", {}, {}, {}, p->state()});
    }
    void centralManagerDidFailToConnectPeripheral(CBCentralManager&, const CBPeripheralPtr& p,
                                                  const NSError* e) override {
        add({"DidFailToConnect", {}, describe(e), {}, p->state()});
    }
    void centralManagerDidDisconnectPeripheral(CBCentralManager&, const CBPeripheralPtr& p, const NSError* e) override {
        add({"DidDisconnect", {}, describe(e), {}, p->state()});
    }
    void peripheralDidDiscoverServices(const CBPeripheralPtr& p, const NSError* e) override {
        add({"DidDiscoverServices", {}, describe(e), {}, p->state()});
    }
    void peripheralDidDiscoverCharacteristicsForService(const CBPeripheralPtr& p, const CBServicePtr& s,
                                                        const NSError* e) override {
        add({"DidDiscoverCharacteristics", s->UUID().UUIDString(), describe(e), {}, p->state()});
    }
    void peripheralDidDiscoverDescriptorsForCharacteristic(const CBPeripheralPtr& p, const CBCharacteristicPtr& c,
                                                           const NSError* e) override {
        add({"DidDiscoverDescriptors", c->UUID().UUIDString(), describe(e), {}, p->state()});
    }
    void peripheralDidUpdateValueForCharacteristic(const CBPeripheralPtr& p, const CBCharacteristicPtr& c,
                                                   const NSError* e) override {
        add({"DidUpdateValue", c->UUID().UUIDString(), describe(e), c->value(), p->state()});
    }
    void peripheralDidWriteValueForCharacteristic(const CBPeripheralPtr& p, const CBCharacteristicPtr& c,
                                                  const NSError* e) override {
        add({"DidWriteValue", c->UUID().UUIDString(), describe(e), {}, p->state()});
    }
    void peripheralDidUpdateNotificationStateForCharacteristic(const CBPeripheralPtr& p, const CBCharacteristicPtr& c,
                                                               const NSError* e) override {
        add({"DidUpdateNotificationState", c->UUID().UUIDString(), describe(e), c->isNotifying() ? "on" : "off",
             p->state()});
    }
    void peripheralIsReadyToSendWriteWithoutResponse(const CBPeripheralPtr& p) override {
        add({"IsReadyToSend", {}, {}, {}, p->state()});
    }
    void peripheralDidUpdateValueForDescriptor(const CBPeripheralPtr& p, const CBDescriptorPtr& d,
                                               const NSError* e) override {
        add({"DidUpdateDescriptor", d->UUID().UUIDString(), describe(e), {}, p->state()});
    }
    void peripheralDidWriteValueForDescriptor(const CBPeripheralPtr& p, const CBDescriptorPtr& d,
                                              const NSError* e) override {
        add({"DidWriteDescriptor", d->UUID().UUIDString(), describe(e), {}, p->state()});
    }

    struct Advert {
        CBPeripheralPtr peripheral;
        AdvertisementData data;
        int rssi;
        std::chrono::steady_clock::time_point at;
    };

    std::vector<Event> events() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_;
    }
    std::vector<Event> eventsOf(const std::string& kind) const {
        std::vector<Event> out;
        for (const auto& e : events()) {
            if (e.kind == kind) {
                out.push_back(e);
            }
        }
        return out;
    }
    size_t count(const std::string& kind) const { return eventsOf(kind).size(); }
    std::vector<Advert> adverts() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return adverts_;
    }
    /// Waits until `n` events of `kind` were recorded; returns the n-th.
    std::optional<Event> waitFor(const std::string& kind, size_t n = 1, std::chrono::milliseconds limit = 2000ms) {
        std::unique_lock<std::mutex> lock(mutex_);
        std::optional<Event> found;
        changed_.wait_for(lock, limit, [&] {
            size_t seen = 0;
            for (const auto& e : events_) {
                if (e.kind == kind && ++seen == n) {
                    found = e;
                    return true;
                }
            }
            return false;
        });
        return found;
    }
    CBPeripheralPtr waitForAdvert(const std::string& identifier, std::chrono::milliseconds limit = 2000ms) {
        std::unique_lock<std::mutex> lock(mutex_);
        CBPeripheralPtr found;
        changed_.wait_for(lock, limit, [&] {
            for (const auto& a : adverts_) {
                if (a.peripheral->identifier().UUIDString() == identifier) {
                    found = a.peripheral;
                    return true;
                }
            }
            return false;
        });
        return found;
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.clear();
        adverts_.clear();
    }

  private:
    static std::optional<std::string> describe(const NSError* e) {
        return e ? std::optional<std::string>(e->description) : std::nullopt;
    }
    void add(Event e) {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back(std::move(e));
        changed_.notify_all();
    }

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Event> events_;
    std::vector<Advert> adverts_;
};

/// Captures console lines while alive.
class ConsoleCapture {
  public:
    ConsoleCapture() {
        NSLogSetSink([this](const std::string& line) {
            std::lock_guard<std::mutex> lock(mutex_);
            lines_.push_back(line);
        });
    }
    ~ConsoleCapture() { NSLogSetSink({}); }
    std::vector<std::string> lines() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }
    size_t count(const std::string& needle) const {
        const auto all = lines();
        return static_cast<size_t>(std::count_if(
            all.begin(), all.end(), [&](const std::string& l) { return l.find(needle) != std::string::npos; }));
    }

  private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

inline const char* const kNotConnectedLine = "API MISUSE: can only accept commands while in the connected state";
inline const char* const kNotPoweredOnLine = "API MISUSE: can only accept this command while in the powered on state";

inline const std::string kDeviceId = "7E1D0C4B-3A29-4F18-8E07-6D5C4B3A2918";
inline const std::string kService = "7e1d0001-3a29-4f18-8e07-6d5c4b3a2918";
inline const std::string kReadChar = "7e1d0002-3a29-4f18-8e07-6d5c4b3a2918";      // read, notify, write
inline const std::string kWriteChar = "7e1d0003-3a29-4f18-8e07-6d5c4b3a2918";     // write, write without response
inline const std::string kPlainChar = "7e1d0004-3a29-4f18-8e07-6d5c4b3a2918";     // no properties
inline const std::string kIndicateChar = "7e1d0005-3a29-4f18-8e07-6d5c4b3a2918";  // indicate only

/// A fast device with one service of the characteristics above; the read characteristic carries descriptors
/// 2901 ("Level"), 2902, 2904 (bytes) and 2900 (number 0x0102).
inline sim::PeripheralConfig testDevice(const std::string& identifier = kDeviceId) {
    sim::PeripheralConfig p;
    p.identifier = identifier;
    p.name = "Test Device";
    p.mtu = 103;
    p.latency_ms = 1;
    p.advertising.interval_ms = 5;
    p.advertising.connectable = true;
    p.advertising.service_uuids = std::vector<std::string>{kService};
    p.connection.delay_ms = 2;
    p.connection.disconnect_delay_ms = 2;
    p.connection.interval_ms = 5;
    p.connection.packets_per_interval = 4;
    sim::ServiceConfig s;
    s.uuid = kService;
    sim::CharacteristicConfig read;
    read.uuid = kReadChar;
    read.properties = CBCharacteristicPropertyRead | CBCharacteristicPropertyNotify | CBCharacteristicPropertyWrite;
    read.value = std::string("\x01\x00\x02", 3);
    read.descriptors = {{"2901", std::string("Level"), {}},
                        {"2902", std::nullopt, {}},
                        {"2904", std::string("\x04\x00", 2), {}},
                        {"2900", std::string("\x02\x01", 2), {}}};
    sim::CharacteristicConfig write;
    write.uuid = kWriteChar;
    write.properties = CBCharacteristicPropertyWrite | CBCharacteristicPropertyWriteWithoutResponse;
    sim::CharacteristicConfig plain;
    plain.uuid = kPlainChar;
    sim::CharacteristicConfig indicate;
    indicate.uuid = kIndicateChar;
    indicate.properties = CBCharacteristicPropertyIndicate;
    s.characteristics = {read, write, plain, indicate};
    p.services = {s};
    return p;
}

inline sim::WorldConfig worldOf(std::vector<sim::PeripheralConfig> peripherals) {
    sim::WorldConfig w;
    w.adapter.state_delay_ms = 1;
    w.peripherals = std::move(peripherals);
    return w;
}

/// A world, a manager on its own queue with a recording delegate, and helpers to reach a connected,
/// discovered peripheral.
class PlatformTest : public ::testing::Test {
  public:
    void start(sim::WorldConfig config) {
        World::get().reset(std::move(config));
        queue = dispatch_queue_create("platform.test", DISPATCH_QUEUE_SERIAL);
        recorder = std::make_shared<Recorder>();
        central = CBCentralManager::initWithDelegate(recorder, queue, std::nullopt);
        ASSERT_TRUE(recorder->waitFor("DidUpdateState"));
    }

    CBPeripheralPtr find(const std::string& identifier = kDeviceId) {
        central->scanForPeripherals(std::nullopt, {});
        auto p = recorder->waitForAdvert(identifier);
        central->stopScan();
        if (p) {
            p->setDelegate(recorder);
        }
        return p;
    }

    void connect(const CBPeripheralPtr& p) {
        const size_t before = recorder->count("DidConnect");
        central->connectPeripheral(p, {});
        ASSERT_TRUE(recorder->waitFor("DidConnect", before + 1));
        ASSERT_EQ(p->state(), CBPeripheralState::Connected);
    }

    /// Discovers the whole tree; returns the service.
    CBServicePtr discoverAll(const CBPeripheralPtr& p) {
        const size_t s0 = recorder->count("DidDiscoverServices");
        p->discoverServices(std::nullopt);
        EXPECT_TRUE(recorder->waitFor("DidDiscoverServices", s0 + 1));
        auto services = p->services();
        if (!services || services->empty()) {
            ADD_FAILURE() << "no services";
            return nullptr;
        }
        auto service = services->front();
        const size_t c0 = recorder->count("DidDiscoverCharacteristics");
        p->discoverCharacteristics(std::nullopt, service);
        EXPECT_TRUE(recorder->waitFor("DidDiscoverCharacteristics", c0 + 1));
        for (const auto& c : service->characteristics().value_or(std::vector<CBCharacteristicPtr>{})) {
            const size_t d0 = recorder->count("DidDiscoverDescriptors");
            p->discoverDescriptors(c);
            EXPECT_TRUE(recorder->waitFor("DidDiscoverDescriptors", d0 + 1));
        }
        return service;
    }

    static CBCharacteristicPtr characteristic(const CBServicePtr& service, const std::string& uuid) {
        const auto wanted = CBUUID::UUIDWithString(uuid);
        for (const auto& c : service->characteristics().value_or(std::vector<CBCharacteristicPtr>{})) {
            if (c->UUID() == wanted) {
                return c;
            }
        }
        return nullptr;
    }
    static CBDescriptorPtr descriptor(const CBCharacteristicPtr& c, const std::string& uuid) {
        const auto wanted = CBUUID::UUIDWithString(uuid);
        for (const auto& d : c->descriptors().value_or(std::vector<CBDescriptorPtr>{})) {
            if (d->UUID() == wanted) {
                return d;
            }
        }
        return nullptr;
    }

    /// Found, connected and discovered.
    CBServicePtr ready(CBPeripheralPtr& p) {
        p = find();
        EXPECT_TRUE(p);
        if (!p) {
            return nullptr;
        }
        connect(p);
        return discoverAll(p);
    }

    ConsoleCapture console;
    dispatch_queue_t queue;
    std::shared_ptr<Recorder> recorder;
    CBCentralManagerPtr central;
};

}  // namespace platform_test
