#include "backends/macos/PeripheralBase.h"

#include <chrono>
#include <thread>
#include <utility>

#include <platform/CoreBluetooth.h>
#include <tavrin/Exceptions.h>

#include "backends/macos/PeripheralBaseMacOS.h"
#include "callback/guarded.h"
#include "frontends/base/ServiceBuilder.h"

namespace Tavrin {

namespace {

constexpr auto kPollStep = std::chrono::milliseconds(10);
// How long disconnect() waits for the platform's event once the link is down (it normally follows
// within microseconds; the bound covers an event queue busy with a long callback).
constexpr auto kDisconnectEventLimit = std::chrono::seconds(1);

// The adapter hands over the platform objects it owns; both are always held by shared_ptr.
platform::CBPeripheralPtr peripheral_from(void* peripheral) {
    return static_cast<platform::CBPeripheral*>(peripheral)->shared_from_this();
}

platform::CBCentralManagerPtr central_manager_from(void* central_manager) {
    return static_cast<platform::CBCentralManager*>(central_manager)->shared_from_this();
}

}  // namespace

PeripheralBase::PeripheralBase(void* peripheral, void* central_manager, advertising_data_t advertising_data)
    : delegate_(PeripheralBaseMacOS::init(peripheral_from(peripheral), central_manager_from(central_manager))),
      rssi_(advertising_data.rssi),
      tx_power_(advertising_data.tx_power),
      connectable_(advertising_data.connectable),
      user_disconnect_pending_(false),
      disconnect_event_seen_(false),
      manufacturer_data_(std::move(advertising_data.manufacturer_data)),
      service_data_(std::move(advertising_data.service_data)) {}

// The delegate goes first; an event running on the queue at this moment keeps it alive until the event
// returns, and no later event reaches it (the platform holds it weakly).
PeripheralBase::~PeripheralBase() {
    delegate_.reset();
}

void* PeripheralBase::underlying() const {
    return delegate_->underlying().get();
}

std::string PeripheralBase::identifier() {
    return delegate_->identifier();
}

std::string PeripheralBase::address() {
    return delegate_->address();
}

AddressType PeripheralBase::address_type() {
    return AddressType::Unspecified;
}

int16_t PeripheralBase::rssi() {
    std::lock_guard<std::mutex> lock(advertising_mutex_);
    return rssi_;
}

int16_t PeripheralBase::tx_power() {
    std::lock_guard<std::mutex> lock(advertising_mutex_);
    return tx_power_;
}

uint16_t PeripheralBase::mtu() {
    return delegate_->mtu();
}

void PeripheralBase::connect() {
    delegate_->connect();
    TAVRIN_GUARDED(callback_on_connected_)();
}

void PeripheralBase::disconnect() {
    // Lowered on every way out, so a later link loss is reported even after a failed disconnection.
    struct ClearOnExit {
        std::atomic<bool>& flag;
        ~ClearOnExit() { flag = false; }
    } clear_on_exit{user_disconnect_pending_};

    user_disconnect_pending_ = true;
    disconnect_event_seen_ = false;
    // The platform reports the link down in its state before its disconnection event reaches
    // delegate_did_disconnect(); lowering the flag in between would report this disconnection twice.
    // So when there is a link to take down, the flag stays up until that event has been seen too.
    const bool event_expected =
        static_cast<platform::CBPeripheral*>(underlying())->state() != platform::CBPeripheralState::Disconnected;
    delegate_->disconnect();
    if (event_expected) {
        const auto deadline = std::chrono::steady_clock::now() + kDisconnectEventLimit;
        while (!disconnect_event_seen_ && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(kPollStep);
        }
    }
    TAVRIN_GUARDED(callback_on_disconnected_)();
}

bool PeripheralBase::is_connected() {
    return delegate_->isConnected();
}

bool PeripheralBase::is_connectable() {
    std::lock_guard<std::mutex> lock(advertising_mutex_);
    return connectable_;
}

bool PeripheralBase::is_paired() {
    throw Exception::OperationNotSupported();
}

void PeripheralBase::unpair() {
    throw Exception::OperationNotSupported();
}

std::vector<Service> PeripheralBase::services() {
    return delegate_->getServices();
}

std::vector<Service> PeripheralBase::advertised_services() {
    std::lock_guard<std::mutex> lock(advertising_mutex_);
    std::vector<Service> result;
    result.reserve(service_data_.size());
    for (const auto& [uuid, data] : service_data_) {
        result.push_back(ServiceBuilder(uuid, data));
    }
    return result;
}

std::map<uint16_t, std::string> PeripheralBase::manufacturer_data() {
    std::lock_guard<std::mutex> lock(advertising_mutex_);
    return manufacturer_data_;
}

std::string PeripheralBase::read(const std::string& service, const std::string& characteristic) {
    return delegate_->read(service, characteristic);
}

void PeripheralBase::write_request(const std::string& service, const std::string& characteristic,
                                   const std::string& data) {
    delegate_->writeRequest(service, characteristic, data);
}

void PeripheralBase::write_command(const std::string& service, const std::string& characteristic,
                                   const std::string& data) {
    delegate_->writeCommand(service, characteristic, data);
}

void PeripheralBase::notify(const std::string& service, const std::string& characteristic,
                            std::function<void(std::string payload)> callback) {
    delegate_->notify(service, characteristic, std::move(callback));
}

void PeripheralBase::indicate(const std::string& service, const std::string& characteristic,
                              std::function<void(std::string payload)> callback) {
    delegate_->indicate(service, characteristic, std::move(callback));
}

void PeripheralBase::unsubscribe(const std::string& service, const std::string& characteristic) {
    delegate_->unsubscribe(service, characteristic);
}

std::string PeripheralBase::read(const std::string& service, const std::string& characteristic,
                                 const std::string& descriptor) {
    return delegate_->read(service, characteristic, descriptor);
}

void PeripheralBase::write(const std::string& service, const std::string& characteristic, const std::string& descriptor,
                           const std::string& data) {
    delegate_->write(service, characteristic, descriptor, data);
}

void PeripheralBase::set_callback_on_connected(std::function<void()> on_connected) {
    if (on_connected) {
        callback_on_connected_.load(std::move(on_connected));
    } else {
        callback_on_connected_.unload();
    }
}

void PeripheralBase::set_callback_on_disconnected(std::function<void()> on_disconnected) {
    if (on_disconnected) {
        callback_on_disconnected_.load(std::move(on_disconnected));
    } else {
        callback_on_disconnected_.unload();
    }
}

void PeripheralBase::update_advertising_data(advertising_data_t advertising_data) {
    std::lock_guard<std::mutex> lock(advertising_mutex_);
    connectable_ = advertising_data.connectable;
    manufacturer_data_ = std::move(advertising_data.manufacturer_data);
    rssi_ = advertising_data.rssi;
    tx_power_ = advertising_data.tx_power;
    // Service data accumulates: the new advertisement's entries win, older keys stay.
    for (auto& [uuid, data] : advertising_data.service_data) {
        service_data_[uuid] = std::move(data);
    }
}

void PeripheralBase::delegate_did_connect() {
    delegate_->delegateDidConnect();
}

void PeripheralBase::delegate_did_disconnect() {
    delegate_->delegateDidDisconnect();
    // Read before the event is marked seen: disconnect() lowers the flag only after that mark.
    const bool requested = user_disconnect_pending_;
    disconnect_event_seen_ = true;
    // A requested disconnection reports itself from disconnect(), on the caller's thread.
    if (callback_on_disconnected_ && !requested) {
        TAVRIN_GUARDED(callback_on_disconnected_)();
    }
}

}  // namespace Tavrin
