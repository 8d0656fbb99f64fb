#pragma once
// A peripheral backend over a simulated world, without the adapter stack: a test central-manager
// delegate scans for the device, and the backend is built directly from the platform objects it found.
// Connection events are routed to the backend as the adapter does, and the thread that ran each is kept.

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

#include <platform/CoreBluetooth.h>
#include <platform/Dispatch.h>
#include <tavrin/Types.h>

#include "Recorder.h"
#include "Watch.h"
#include "WorldBuilder.h"
#include "backends/macos/PeripheralBase.h"
#include "backends/macos/PeripheralBaseMacOS.h"

namespace peripheral_test {

using namespace test_support;

inline constexpr const char* kDevice = "7E1A0C55-3B2D-4C6E-9F80-1A2B3C4D5E6F";
inline constexpr const char* kService = "7e1a0001-3b2d-4c6e-9f80-1a2b3c4d5e6f";
inline constexpr const char* kValueChar = "7e1a0002-3b2d-4c6e-9f80-1a2b3c4d5e6f";     // every capability
inline constexpr const char* kReadOnlyChar = "7e1a0003-3b2d-4c6e-9f80-1a2b3c4d5e6f";  // read only
inline constexpr const char* kCommandChar = "7e1a0004-3b2d-4c6e-9f80-1a2b3c4d5e6f";   // write without response
inline constexpr const char* kRequestChar = "7e1a0005-3b2d-4c6e-9f80-1a2b3c4d5e6f";   // write with response
inline constexpr const char* kUserDescription = "00002901-0000-1000-8000-00805f9b34fb";
inline constexpr const char* kClientConfig = "00002902-0000-1000-8000-00805f9b34fb";
inline constexpr const char* kVendorDescriptor = "7e1a00d1-3b2d-4c6e-9f80-1a2b3c4d5e6f";

/// The quick device with a 185-byte MTU and one service of one characteristic per capability; the
/// first carries descriptors 2901 ("Level"), 2902 and a vendor one.
inline platform::sim::PeripheralConfig test_device() {
    using namespace platform;
    auto device = test_support::device(kDevice);
    device.mtu = 185;
    sim::ServiceConfig service;
    service.uuid = kService;
    service.characteristics = {
        characteristic(kValueChar,
                       CBCharacteristicPropertyRead | CBCharacteristicPropertyWrite |
                           CBCharacteristicPropertyWriteWithoutResponse | CBCharacteristicPropertyNotify,
                       std::string("\x01\x00\x02", 3),
                       {descriptor("2901", std::string("Level")), descriptor("2902"),
                        descriptor(kVendorDescriptor, std::string("\x00\x07", 2))}),
        characteristic(kReadOnlyChar, CBCharacteristicPropertyRead, std::string("RO")),
        characteristic(kCommandChar, CBCharacteristicPropertyWriteWithoutResponse),
        characteristic(kRequestChar, CBCharacteristicPropertyWrite)};
    device.services = {service};
    return device;
}

/// Central-manager delegate standing in for the adapter stack: records what it sees and routes
/// connection events to the registered backend, on the event queue as the adapter does.
class TestCentral : public Recorder {
  public:
    void centralManagerDidConnectPeripheral(platform::CBCentralManager& central,
                                            const platform::CBPeripheralPtr& peripheral) override {
        if (auto base = target()) {
            base->delegate_did_connect();
        }
        Recorder::centralManagerDidConnectPeripheral(central, peripheral);
    }

    void centralManagerDidDisconnectPeripheral(platform::CBCentralManager& central,
                                               const platform::CBPeripheralPtr& peripheral,
                                               const platform::NSError* error) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            queue_thread_ = std::this_thread::get_id();
        }
        // A busy event queue: the event reaches the backend well after the platform's state changed.
        std::this_thread::sleep_for(disconnect_routing_delay_.load());
        if (auto base = target()) {
            base->delegate_did_disconnect();
        }
        Recorder::centralManagerDidDisconnectPeripheral(central, peripheral, error);
    }

    void route_to(const std::shared_ptr<Tavrin::PeripheralBase>& base) {
        std::lock_guard<std::mutex> lock(mutex_);
        target_ = base;
    }
    void delay_disconnect_routing(std::chrono::milliseconds delay) { disconnect_routing_delay_ = delay; }
    /// Disconnections routed so far (counted once the backend has had the event).
    size_t disconnect_events() const { return count("DidDisconnect"); }
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
    std::weak_ptr<Tavrin::PeripheralBase> target_;  // guarded by mutex_
    std::thread::id queue_thread_;                  // guarded by mutex_
    std::atomic<std::chrono::milliseconds> disconnect_routing_delay_{std::chrono::milliseconds(0)};
};

/// What the harness builds over the platform peripheral.
enum class Build {
    Backend,       // a PeripheralBase (which owns its delegate)
    DelegateOnly,  // a bare PeripheralBaseMacOS, for looking at its records
};

/// Resets the world to `world`, scans until `identifier` is seen, and builds its backend.
class PeripheralHarness {
  public:
    explicit PeripheralHarness(platform::sim::WorldConfig world, Build build = Build::Backend,
                               const std::string& identifier = kDevice) {
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
        peripheral_ = central_->waitForAdvert(identifier, 3s);
        manager_->stopScan();
        if (!peripheral_) {
            throw std::runtime_error("the simulated device was not found: " + identifier);
        }

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
    platform::sim::World& world() { return platform::sim::World::get(); }

  private:
    platform::dispatch_queue_t queue_;
    std::shared_ptr<TestCentral> central_;
    platform::CBCentralManagerPtr manager_;
    platform::CBPeripheralPtr peripheral_;
    std::shared_ptr<Tavrin::PeripheralBase> base_;
    std::shared_ptr<Tavrin::PeripheralBaseMacOS> delegate_;
};

}  // namespace peripheral_test
