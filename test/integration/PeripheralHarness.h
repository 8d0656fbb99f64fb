#pragma once
// A peripheral backend over a simulated world, without the adapter stack: a test central-manager
// delegate scans for the device, and the backend is built directly from the platform objects it found.
// Connection events are routed to the backend as the adapter does, and the thread that ran each is kept.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <platform/CoreBluetooth.h>
#include <platform/Dispatch.h>
#include <platform/Foundation.h>
#include <platform/sim/World.h>
#include <platform/sim/WorldConfig.h>
#include <tavrin/Logging.h>
#include <tavrin/Types.h>

#include "backends/macos/PeripheralBase.h"
#include "backends/macos/PeripheralBaseMacOS.h"
#include "test_support.h"

namespace peripheral_test {

using namespace std::chrono_literals;
using namespace test_support;

/// Central-manager delegate standing in for the adapter stack: remembers the peripherals it sees and
/// routes connection events to the registered backend, on the event queue as the adapter does.
class TestCentral : public platform::CBCentralManagerDelegate {
  public:
    void centralManagerDidUpdateState(platform::CBCentralManager&) override {}

    void centralManagerDidDiscoverPeripheral(platform::CBCentralManager&, const platform::CBPeripheralPtr& peripheral,
                                             const platform::AdvertisementData&, int) override {
        std::lock_guard<std::mutex> lock(mutex_);
        found_[peripheral->identifier().UUIDString()] = peripheral;
    }

    void centralManagerDidConnectPeripheral(platform::CBCentralManager&, const platform::CBPeripheralPtr&) override {
        if (auto base = target()) {
            base->delegate_did_connect();
        }
        std::lock_guard<std::mutex> lock(mutex_);
        ++connect_events_;
    }

    void centralManagerDidDisconnectPeripheral(platform::CBCentralManager&, const platform::CBPeripheralPtr&,
                                               const platform::NSError* error) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            queue_thread_ = std::this_thread::get_id();
            if (error) {
                ++link_losses_;
            }
        }
        // A busy event queue: the event reaches the backend well after the platform's state changed.
        std::this_thread::sleep_for(disconnect_routing_delay_.load());
        if (auto base = target()) {
            base->delegate_did_disconnect();
        }
        std::lock_guard<std::mutex> lock(mutex_);
        ++disconnect_events_;
    }

    platform::CBPeripheralPtr found(const std::string& identifier) const {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto it = found_.find(identifier);
        return it == found_.end() ? nullptr : it->second;
    }
    void route_to(const std::shared_ptr<Tavrin::PeripheralBase>& base) {
        std::lock_guard<std::mutex> lock(mutex_);
        target_ = base;
    }
    void delay_disconnect_routing(std::chrono::milliseconds delay) { disconnect_routing_delay_ = delay; }
    int disconnect_events() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return disconnect_events_;
    }
    int link_losses() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return link_losses_;
    }
    std::thread::id queue_thread() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return queue_thread_;
    }

  private:
    std::shared_ptr<Tavrin::PeripheralBase> target() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return target_.lock();
    }

    mutable std::mutex mutex_;
    std::map<std::string, platform::CBPeripheralPtr> found_;  // guarded by mutex_
    std::weak_ptr<Tavrin::PeripheralBase> target_;            // guarded by mutex_
    int connect_events_ = 0;                                  // guarded by mutex_
    int disconnect_events_ = 0;                               // guarded by mutex_
    int link_losses_ = 0;                                     // guarded by mutex_
    std::thread::id queue_thread_;                            // guarded by mutex_
    std::atomic<std::chrono::milliseconds> disconnect_routing_delay_{std::chrono::milliseconds(0)};
};

// ---------------------------------------------------------------------------------------------
// World building

inline constexpr const char* kDevice = "7E1A0C55-3B2D-4C6E-9F80-1A2B3C4D5E6F";
inline constexpr const char* kService = "7e1a0001-3b2d-4c6e-9f80-1a2b3c4d5e6f";
inline constexpr const char* kValueChar = "7e1a0002-3b2d-4c6e-9f80-1a2b3c4d5e6f";     // every capability
inline constexpr const char* kReadOnlyChar = "7e1a0003-3b2d-4c6e-9f80-1a2b3c4d5e6f";  // read only
inline constexpr const char* kCommandChar = "7e1a0004-3b2d-4c6e-9f80-1a2b3c4d5e6f";   // write without response
inline constexpr const char* kRequestChar = "7e1a0005-3b2d-4c6e-9f80-1a2b3c4d5e6f";   // write with response
inline constexpr const char* kUserDescription = "00002901-0000-1000-8000-00805f9b34fb";
inline constexpr const char* kClientConfig = "00002902-0000-1000-8000-00805f9b34fb";
inline constexpr const char* kVendorDescriptor = "7e1a00d1-3b2d-4c6e-9f80-1a2b3c4d5e6f";

inline platform::sim::DescriptorConfig descriptor(std::string uuid, std::optional<std::string> value = std::nullopt) {
    platform::sim::DescriptorConfig config;
    config.uuid = std::move(uuid);
    config.value = std::move(value);
    return config;
}

inline platform::sim::CharacteristicConfig characteristic(std::string uuid,
                                                          platform::CBCharacteristicProperties properties,
                                                          std::optional<std::string> value = std::nullopt) {
    platform::sim::CharacteristicConfig config;
    config.uuid = std::move(uuid);
    config.properties = properties;
    config.value = std::move(value);
    return config;
}

/// A fast device: 1 ms answers, quick connection, one service with one characteristic per capability.
inline platform::sim::PeripheralConfig test_device() {
    using namespace platform;
    sim::PeripheralConfig device;
    device.identifier = kDevice;
    device.name = "Test Device";
    device.mtu = 185;
    device.latency_ms = 1;
    device.advertising.interval_ms = 5;
    device.advertising.rssi = -42;
    device.advertising.connectable = true;
    device.connection.delay_ms = 2;
    device.connection.disconnect_delay_ms = 2;

    sim::ServiceConfig service;
    service.uuid = kService;
    auto value = characteristic(kValueChar,
                                CBCharacteristicPropertyRead | CBCharacteristicPropertyWrite |
                                    CBCharacteristicPropertyWriteWithoutResponse | CBCharacteristicPropertyNotify,
                                std::string("\x01\x00\x02", 3));
    value.descriptors.push_back(descriptor("2901", std::string("Level")));
    value.descriptors.push_back(descriptor("2902"));
    value.descriptors.push_back(descriptor(kVendorDescriptor, std::string("\x00\x07", 2)));
    service.characteristics.push_back(value);
    service.characteristics.push_back(characteristic(kReadOnlyChar, CBCharacteristicPropertyRead, std::string("RO")));
    service.characteristics.push_back(characteristic(kCommandChar, CBCharacteristicPropertyWriteWithoutResponse));
    service.characteristics.push_back(characteristic(kRequestChar, CBCharacteristicPropertyWrite));
    device.services.push_back(service);
    return device;
}

inline platform::sim::WorldConfig world_with(platform::sim::PeripheralConfig device) {
    platform::sim::WorldConfig world;
    world.adapter.state_delay_ms = 1;
    world.peripherals.push_back(std::move(device));
    return world;
}

/// The first characteristic of a device description with this UUID text, for fault injection.
inline platform::sim::CharacteristicConfig& find_characteristic(platform::sim::PeripheralConfig& device,
                                                                const std::string& uuid) {
    for (auto& service : device.services) {
        for (auto& config : service.characteristics) {
            if (config.uuid == uuid) {
                return config;
            }
        }
    }
    throw std::logic_error("no characteristic " + uuid);
}

// ---------------------------------------------------------------------------------------------
// The harness

/// What the harness builds over the platform peripheral.
enum class Build {
    Backend,       // a PeripheralBase (which owns its delegate)
    DelegateOnly,  // a bare PeripheralBaseMacOS, for looking at its records
};

/// Resets the world to `world`, scans until `identifier` is seen, and builds its backend.
class PeripheralHarness {
  public:
    explicit PeripheralHarness(platform::sim::WorldConfig world, Build build = Build::Backend,
                               std::string identifier = kDevice)
        : identifier_(std::move(identifier)) {
        platform::sim::World::get().reset(std::move(world));
        queue_ = platform::dispatch_queue_create(
            "test.centralManagerQueue",
            platform::dispatch_queue_attr_make_with_qos_class(
                platform::DISPATCH_QUEUE_SERIAL, platform::dispatch_qos_class_t::QOS_CLASS_USER_INITIATED, -1));
        central_ = std::make_shared<TestCentral>();
        manager_ = platform::CBCentralManager::initWithDelegate(central_, queue_, std::nullopt);
        if (!eventually([&] { return manager_->state() == platform::CBManagerState::PoweredOn; })) {
            throw std::runtime_error("the simulated radio did not power on");
        }
        manager_->scanForPeripherals(std::nullopt, {{platform::CBCentralManagerScanOptionAllowDuplicatesKey, true}});
        if (!eventually([&] { return central_->found(identifier_) != nullptr; })) {
            throw std::runtime_error("the simulated device was not found: " + identifier_);
        }
        manager_->stopScan();
        peripheral_ = central_->found(identifier_);

        if (build == Build::DelegateOnly) {
            delegate_ = Tavrin::PeripheralBaseMacOS::init(peripheral_, manager_);
            return;
        }
        Tavrin::advertising_data_t advertisement;
        advertisement.connectable = true;
        advertisement.rssi = -42;
        base_ = std::make_shared<Tavrin::PeripheralBase>(peripheral_.get(), manager_.get(), advertisement);
        central_->route_to(base_);
    }

    ~PeripheralHarness() {
        // The backend first, then the manager, then its queue: the order the adapter tears down in.
        base_.reset();
        delegate_.reset();
        peripheral_.reset();
        manager_.reset();
        central_.reset();
        queue_.reset();
    }
    PeripheralHarness(const PeripheralHarness&) = delete;
    PeripheralHarness& operator=(const PeripheralHarness&) = delete;

    Tavrin::PeripheralBase& base() { return *base_; }
    Tavrin::PeripheralBaseMacOS& delegate() { return *delegate_; }
    const std::shared_ptr<Tavrin::PeripheralBase>& base_ptr() { return base_; }
    TestCentral& central() { return *central_; }
    const platform::CBCentralManagerPtr& manager() { return manager_; }
    const platform::CBPeripheralPtr& peripheral() { return peripheral_; }
    const std::string& identifier() const { return identifier_; }
    platform::sim::World& world() { return platform::sim::World::get(); }

  private:
    std::string identifier_;
    platform::dispatch_queue_t queue_;
    std::shared_ptr<TestCentral> central_;
    platform::CBCentralManagerPtr manager_;
    platform::CBPeripheralPtr peripheral_;
    std::shared_ptr<Tavrin::PeripheralBase> base_;
    std::shared_ptr<Tavrin::PeripheralBaseMacOS> delegate_;
};

/// Runs `body` and returns the text of the `Exception` it throws, or "(nothing thrown)".
template <typename Exception, typename Body>
std::string thrown_text(Body body) {
    try {
        body();
    } catch (const Exception& e) {
        return e.what();
    }
    return "(nothing thrown)";
}

}  // namespace peripheral_test
