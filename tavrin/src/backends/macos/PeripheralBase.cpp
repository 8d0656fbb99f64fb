#include "backends/macos/PeripheralBase.h"

#include <utility>

#include <platform/CoreBluetooth.h>
#include <tavrin/Exceptions.h>

#include "backends/macos/AdapterBaseMacOS.h"
#include "backends/macos/PeripheralBaseMacOS.h"
#include "callback/guarded.h"
#include "frontends/base/ServiceBuilder.h"

namespace Tavrin {

namespace {

// The adapter hands over the platform objects it owns; both are always held by shared_ptr.
platform::CBPeripheralPtr peripheral_from(void* peripheral) {
    return static_cast<platform::CBPeripheral*>(peripheral)->shared_from_this();
}

platform::CBCentralManagerPtr central_manager_from(void* central_manager) {
    return static_cast<platform::CBCentralManager*>(central_manager)->shared_from_this();
}

}  // namespace

PeripheralBase::PeripheralBase(void* peripheral, void* central_manager, advertising_data_t advertising_data,
                               std::shared_ptr<AdapterBaseMacOS> central,
                               std::shared_ptr<const TimeLimitsCell> adapter_limits)
    : central_(std::move(central)),
      delegate_(PeripheralBaseMacOS::init(peripheral_from(peripheral), central_manager_from(central_manager),
                                          std::move(adapter_limits))),
      queue_(central_manager_from(central_manager)->queue()),
      rssi_(advertising_data.rssi),
      tx_power_(advertising_data.tx_power),
      connectable_(advertising_data.connectable),
      disconnect_claims_(std::make_shared<std::atomic<unsigned>>(0)),
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
    const auto kind = delegate_->underlying()->addressKind();
    if (!kind) {
        return AddressType::Unspecified;
    }
    return *kind == platform::radio::AddressKind::Public ? AddressType::Public : AddressType::Random;
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

TimeLimits PeripheralBase::time_limits() {
    return delegate_->time_limits();
}

void PeripheralBase::set_time_limits(const TimeLimits& limits) {
    delegate_->set_time_limits(limits);
}

void PeripheralBase::connect() {
    delegate_->connect();
    TAVRIN_GUARDED(callback_on_connected_)();
}

void PeripheralBase::disconnect() {
    // This call reports its disconnection itself, so the platform's event for it must call nothing,
    // however late the queue delivers it. The platform queues that event before the peripheral reads
    // as disconnected, so a task queued once the delegate's wait is over runs after it: that task
    // gives the claim back. Nothing waits for the event (which cannot come while this runs on the
    // queue itself), and a claim whose event never comes (the radio went off) ends all the same, so
    // a later link loss is still reported. The claim goes back before the callback runs (which may
    // reconnect), and on every way out: after a failed disconnection, the event of a link that goes
    // down later calls the callback from the queue.
    ++*disconnect_claims_;
    struct ClaimRelease {
        platform::dispatch_queue_t queue;
        std::shared_ptr<std::atomic<unsigned>> claims;
        bool done = false;
        void now() noexcept {
            done = true;
            try {
                queue->async([claims = claims] { --*claims; });
            } catch (...) {
                --*claims;  // out of memory: better a late event reported twice than a loss never
            }
        }
        ~ClaimRelease() {
            if (!done) {
                now();
            }
        }
    } release{queue_, disconnect_claims_};

    delegate_->disconnect();
    release.now();
    TAVRIN_GUARDED(callback_on_disconnected_)();
}

bool PeripheralBase::is_connected() {
    return delegate_->isConnected();
}

bool PeripheralBase::is_connectable() {
    std::lock_guard<std::mutex> lock(advertising_mutex_);
    return connectable_;
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
                            std::function<void(std::string payload)> callback, Delivery delivery) {
    delegate_->notify(service, characteristic, std::move(callback), delivery);
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
    // Service data accumulates: the new advertisement's entries win, older keys stay. An empty value is what
    // a mere listing of the service gives, which says nothing of its data: it adds the service, and keeps the
    // data an earlier advertisement carried.
    for (auto& [uuid, data] : advertising_data.service_data) {
        if (data.empty()) {
            service_data_.try_emplace(uuid);
        } else {
            service_data_[uuid] = std::move(data);
        }
    }
}

void PeripheralBase::delegate_did_connect() {
    delegate_->delegateDidConnect();
    link_reported_up_ = true;
}

void PeripheralBase::delegate_did_disconnect() {
    delegate_->delegateDidDisconnect();
    // An attempt withdrawn before its link came up ends with this event too: there was no connection
    // to report lost. A requested disconnection reports itself from disconnect(), on the caller's thread.
    const bool was_up = std::exchange(link_reported_up_, false);
    if (was_up && *disconnect_claims_ == 0) {
        TAVRIN_GUARDED(callback_on_disconnected_)();
    }
}

}  // namespace Tavrin
