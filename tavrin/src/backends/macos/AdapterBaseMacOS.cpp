#include "backends/macos/AdapterBaseMacOS.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <mutex>
#include <thread>
#include <utility>

#include <platform/Foundation.h>
#include <platform/Trace.h>
#include <tavrin/Logging.h>

#include "backends/macos/AdapterBase.h"
#include "backends/macos/PeripheralBase.h"
#include "backends/macos/Utils.h"

namespace Tavrin {

using platform::CBCentralManager;
using platform::CBManagerState;
using platform::CBPeripheralPtr;
using platform::NSLog;
using Clock = std::chrono::steady_clock;

namespace {

constexpr auto kStateWaitLimit = std::chrono::milliseconds(5000);

// Runs one adapter entry for an event. The event queue has no caller to hand a failure to, so what
// escapes is written as one console line and the queue goes on with its next event; the thread's end goes on.
template <typename Entry>
void deliver(const char* event, const CBPeripheralPtr& peripheral, Entry entry) {
    try {
        entry();
    } catch (const platform::ThreadEnd&) {
        throw;
    } catch (const std::exception& e) {
        try {
            NSLog("Exception in %@ for peripheral %@: %@\n", event, peripheral, e.what());
        } catch (...) {
        }
    } catch (...) {
        try {
            NSLog("Unknown exception in %@ for peripheral %@\n", event, peripheral);
        } catch (...) {
        }
    }
}

}  // namespace

advertising_data_t advertising_data_from_advertisement(const platform::AdvertisementData& advertisementData, int rssi) {
    advertising_data_t record;
    record.connectable = advertisementData.isConnectable.value_or(false);
    // The platform hands both as numbers read through their 16-bit value.
    record.rssi = static_cast<int16_t>(rssi);
    record.tx_power = advertisementData.txPowerLevel ? static_cast<int16_t>(*advertisementData.txPowerLevel)
                                                     : static_cast<int16_t>(INT16_MIN);
    // Without the two-byte company identifier there is nothing to key the payload by.
    const auto add_manufacturer = [&record](const std::string& data) {
        if (data.size() >= 2) {
            const auto company = static_cast<uint16_t>(static_cast<uint8_t>(data[0]) |
                                                       (static_cast<unsigned>(static_cast<uint8_t>(data[1])) << 8));
            record.manufacturer_data.emplace(company, data.substr(2));
        }
    };
    // The platform stand-in carries every entry; the platform itself gives one.
    if (advertisementData.manufacturerDataEntries) {
        for (const std::string& data : *advertisementData.manufacturerDataEntries) {
            add_manufacturer(data);
        }
    } else if (advertisementData.manufacturerData) {
        add_manufacturer(*advertisementData.manufacturerData);
    }
    if (advertisementData.serviceData) {
        for (const auto& [uuid, data] : *advertisementData.serviceData) {
            record.service_data[uuidToTavrin(uuid)] = data;
        }
    }
    // A listed service without data of its own gets the empty value; one with data keeps it.
    if (advertisementData.serviceUUIDs) {
        for (const auto& uuid : *advertisementData.serviceUUIDs) {
            record.service_data.try_emplace(uuidToTavrin(uuid));
        }
    }
    return record;
}

AdapterBaseMacOS::AdapterBaseMacOS(ConstructionKey, std::weak_ptr<AdapterBase> adapter, std::string name,
                                   std::string address)
    : uuid_(name.empty() ? std::string(kAddress) : std::move(address)),
      name_(std::move(name)),
      adapter_(std::move(adapter)) {}

// The manager goes first (stopping its scan and dropping the events it had queued), then the queue.
// On the queue's own thread (the adapter let go during an event) both are released without waiting.
AdapterBaseMacOS::~AdapterBaseMacOS() = default;

std::shared_ptr<AdapterBaseMacOS> AdapterBaseMacOS::init(std::weak_ptr<AdapterBase> adapter) {
    return init(std::move(adapter), platform::radio::RadioAdapter{});
}

std::shared_ptr<AdapterBaseMacOS> AdapterBaseMacOS::init(std::weak_ptr<AdapterBase> adapter,
                                                         const platform::radio::RadioAdapter& system_adapter) {
    // A radio's trace (when switched on) goes to the library's logger, before the radio is first made.
    static std::once_flag traced;
    std::call_once(traced, [] {
        platform::TraceSetSink([](const std::string& line) {
            logfwd::receive(logfwd::level::Debug, "BlueZ", __FILE__, __LINE__, "trace", line);
        });
    });
    auto self = std::make_shared<AdapterBaseMacOS>(ConstructionKey{}, std::move(adapter), system_adapter.name,
                                                   system_adapter.address);
    const auto attributes = platform::dispatch_queue_attr_make_with_qos_class(
        platform::DISPATCH_QUEUE_SERIAL, platform::dispatch_qos_class_t::QOS_CLASS_USER_INITIATED, -1);
    self->central_manager_queue_ = platform::dispatch_queue_create(kQueueLabel, attributes);
    // A named adapter has a radio of its own; the unnamed one is the process's.
    self->central_manager_ = system_adapter.name.empty()
                                 ? CBCentralManager::initWithDelegate(self, self->central_manager_queue_, std::nullopt)
                                 : CBCentralManager::initWithDelegate(self, self->central_manager_queue_, std::nullopt,
                                                                      *system_adapter.radio);

    // Woken by the manager's observer on the radio's thread as the state changes; a change made before the
    // observer was set is seen by the first look.
    self->central_manager_->setChangeObserver([changes = self->state_changes_] { changes->bump(); });
    const auto deadline = Clock::now() + kStateWaitLimit;
    for (;;) {
        const uint64_t seen = self->state_changes_->generation();
        if (self->central_manager_->state() != CBManagerState::Unknown ||
            !self->state_changes_->wait_past(seen, deadline)) {
            break;
        }
    }
    return self;
}

void AdapterBaseMacOS::register_peripheral(void* peripheral, std::weak_ptr<PeripheralBase> base) {
    std::lock_guard<std::mutex> lock(peripherals_mutex_);
    peripherals_[peripheral] = std::move(base);
}

void AdapterBaseMacOS::unregister_peripheral(void* peripheral) {
    std::lock_guard<std::mutex> lock(peripherals_mutex_);
    peripherals_.erase(peripheral);
}

std::shared_ptr<PeripheralBase> AdapterBaseMacOS::registered_peripheral(void* peripheral) {
    std::lock_guard<std::mutex> lock(peripherals_mutex_);
    const auto it = peripherals_.find(peripheral);
    return it == peripherals_.end() ? nullptr : it->second.lock();
}

bool AdapterBaseMacOS::isBluetoothEnabled() const {
    return CBCentralManager::authorization() == platform::CBManagerAuthorization::AllowedAlways &&
           central_manager_->state() == CBManagerState::PoweredOn;
}

void AdapterBaseMacOS::scanStart(const ScanOptions& options) {
    std::optional<std::vector<platform::CBUUID>> services;
    if (!options.service_uuids.empty()) {
        services.emplace();
        for (const std::string& uuid : options.service_uuids) {
            services->push_back(platform::CBUUID::UUIDWithString(uuid));
        }
    }
    const platform::CBOptions flags{
        {platform::CBCentralManagerScanOptionAllowDuplicatesKey, !options.first_report_only}};
    if (options.rssi_floor) {
        central_manager_->scanForPeripherals(services, flags, *options.rssi_floor);
    } else {
        central_manager_->scanForPeripherals(services, flags);
    }
}

void AdapterBaseMacOS::scanStop() {
    central_manager_->stopScan();
}

bool AdapterBaseMacOS::scanIsActive() const {
    return central_manager_->isScanning();
}

void AdapterBaseMacOS::centralManagerDidUpdateState(CBCentralManager& central) {
    // The state is asked anew whenever it matters; nothing to keep (the observer woke a waiting init()).
    (void)central;
}

// Each event below locks the adapter for its whole duration (see the class comment): a failed lock
// means the adapter is gone or going. A discovery then has nobody to reach; a connection event goes
// to the peripheral's backend directly, as long as a handle keeps that alive.

void AdapterBaseMacOS::centralManagerDidDiscoverPeripheral(CBCentralManager& central, const CBPeripheralPtr& peripheral,
                                                           const platform::AdvertisementData& advertisementData,
                                                           int rssi) {
    deliver("centralManager:didDiscoverPeripheral:advertisementData:RSSI:", peripheral, [&] {
        if (const auto adapter = adapter_.lock()) {
            adapter->delegate_did_discover_peripheral(peripheral.get(), &central,
                                                      advertising_data_from_advertisement(advertisementData, rssi));
        }
    });
}

void AdapterBaseMacOS::centralManagerDidConnectPeripheral(CBCentralManager&, const CBPeripheralPtr& peripheral) {
    deliver("centralManager:didConnectPeripheral:", peripheral, [&] {
        if (const auto adapter = adapter_.lock()) {
            adapter->delegate_did_connect_peripheral(peripheral.get());
        } else if (const auto base = registered_peripheral(peripheral.get())) {
            base->delegate_did_connect();
        }
    });
}

void AdapterBaseMacOS::centralManagerDidFailToConnectPeripheral(CBCentralManager&, const CBPeripheralPtr& peripheral,
                                                                const platform::NSError* error) {
    // The peripheral's own wait for the connection notices the failure; only the console hears of it.
    if (error) {
        deliver("centralManager:didFailToConnectPeripheral:error:", peripheral,
                [&] { NSLog("Failed to connect to peripheral %@: %@\n", peripheral->name(), error); });
    }
}

void AdapterBaseMacOS::centralManagerDidDisconnectPeripheral(CBCentralManager&, const CBPeripheralPtr& peripheral,
                                                             const platform::NSError* error) {
    deliver("centralManager:didDisconnectPeripheral:error:", peripheral, [&] {
        if (error) {
            NSLog("Peripheral %@ disconnected: %@\n", peripheral->name(), error);
        }
        if (const auto adapter = adapter_.lock()) {
            adapter->delegate_did_disconnect_peripheral(peripheral.get());
        } else if (const auto base = registered_peripheral(peripheral.get())) {
            base->delegate_did_disconnect();
        }
    });
}

void AdapterBaseMacOS::centralManagerDidForgetPeripheral(CBCentralManager&, const CBPeripheralPtr& peripheral) {
    // Without the adapter there is no registry to drop it from: handles hold what is left.
    deliver("centralManager:didForgetPeripheral:", peripheral, [&] {
        if (const auto adapter = adapter_.lock()) {
            adapter->delegate_did_forget_peripheral(peripheral.get());
        }
    });
}

}  // namespace Tavrin
