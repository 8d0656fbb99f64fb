#pragma once
// A platform delegate that records every event of a central manager and of its peripherals, for tests
// that drive the platform directly.

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <platform/CoreBluetooth.h>

#include "Watch.h"

namespace test_support {
namespace recording {

using namespace platform;

/// One delegate event as a recording delegate saw it.
struct Event {
    std::string kind;  // the callback's name without its common prefix, e.g. "DidConnect", "DidUpdateValue"
    std::string uuid;  // the attribute's UUID text, when the event has one
    std::optional<std::string> error;                           // the error's description
    std::optional<std::string> value;                           // the characteristic's value as the callback saw it
    CBPeripheralState state = CBPeripheralState::Disconnected;  // the peripheral's state during the callback
};

/// Records every event of a central manager and of its peripherals.
class Recorder : public CBCentralManagerDelegate, public CBPeripheralDelegate {
  public:
    void centralManagerDidUpdateState(CBCentralManager& central) override {
        add({"DidUpdateState", std::to_string(static_cast<int>(central.state())), {}, {}, {}});
    }
    void centralManagerDidDiscoverPeripheral(CBCentralManager&, const CBPeripheralPtr& peripheral,
                                             const AdvertisementData& advertisement, int rssi) override {
        std::lock_guard<std::mutex> lock(mutex_);
        adverts_.push_back({peripheral, advertisement, rssi, Clock::now()});
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
        Clock::time_point at;
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
    std::optional<Event> waitFor(const std::string& kind, size_t n = 1, Clock::duration limit = 2s) {
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
    CBPeripheralPtr waitForAdvert(const std::string& identifier, Clock::duration limit = 2s) {
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

}  // namespace recording

using recording::Event;
using recording::Recorder;

}  // namespace test_support
