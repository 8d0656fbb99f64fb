#include <tavrin/Peripheral.h>

#include <utility>

#include "backends/macos/PeripheralBase.h"

namespace Tavrin {

namespace {

// Every operation first needs a bound handle. Each operation keeps its own share of the backend for
// its whole run, so a callback that drops the last handle (with the adapter already gone) cannot
// free the backend under the operation that called it.
std::shared_ptr<PeripheralBase> bound(const std::shared_ptr<PeripheralBase>& internal) {
    if (!internal) {
        throw Exception::NotInitialized();
    }
    return internal;
}

// GATT operations: bound first, then connected (asked through the handle), before anything reaches
// the backend.
std::shared_ptr<PeripheralBase> connected(Peripheral& handle, const std::shared_ptr<PeripheralBase>& internal) {
    auto base = bound(internal);
    if (!handle.is_connected()) {
        throw Exception::NotConnected();
    }
    return base;
}

}  // namespace

Peripheral::Peripheral() = default;

Peripheral::~Peripheral() = default;

bool Peripheral::initialized() const {
    return internal_ != nullptr;
}

void* Peripheral::underlying() const {
    return bound(internal_)->underlying();
}

std::string Peripheral::identifier() {
    return bound(internal_)->identifier();
}

std::string Peripheral::address() {
    return bound(internal_)->address();
}

AddressType Peripheral::address_type() {
    return bound(internal_)->address_type();
}

int16_t Peripheral::rssi() {
    return bound(internal_)->rssi();
}

int16_t Peripheral::tx_power() {
    return bound(internal_)->tx_power();
}

uint16_t Peripheral::mtu() {
    return bound(internal_)->mtu();
}

TimeLimits Peripheral::time_limits() {
    return bound(internal_)->time_limits();
}

void Peripheral::set_time_limits(const TimeLimits& limits) {
    bound(internal_)->set_time_limits(limits);
}

void Peripheral::connect() {
    bound(internal_)->connect();
}

void Peripheral::disconnect() {
    bound(internal_)->disconnect();
}

bool Peripheral::is_connected() {
    return bound(internal_)->is_connected();
}

bool Peripheral::is_connectable() {
    return bound(internal_)->is_connectable();
}

void Peripheral::pair() {
    bound(internal_)->pair();
}

void Peripheral::cancel_pairing() {
    bound(internal_)->cancel_pairing();
}

bool Peripheral::is_paired() {
    return bound(internal_)->is_paired();
}

void Peripheral::unpair() {
    bound(internal_)->unpair();
}

std::vector<Service> Peripheral::services() {
    const auto base = bound(internal_);
    return is_connected() ? base->services() : base->advertised_services();
}

std::map<uint16_t, std::string> Peripheral::manufacturer_data() {
    return bound(internal_)->manufacturer_data();
}

std::string Peripheral::read(const std::string& service, const std::string& characteristic) {
    return connected(*this, internal_)->read(service, characteristic);
}

void Peripheral::write_request(const std::string& service, const std::string& characteristic, const std::string& data) {
    connected(*this, internal_)->write_request(service, characteristic, data);
}

void Peripheral::write_command(const std::string& service, const std::string& characteristic, const std::string& data) {
    connected(*this, internal_)->write_command(service, characteristic, data);
}

void Peripheral::notify(const std::string& service, const std::string& characteristic,
                        std::function<void(std::string payload)> callback, Delivery delivery) {
    connected(*this, internal_)->notify(service, characteristic, std::move(callback), delivery);
}

void Peripheral::indicate(const std::string& service, const std::string& characteristic,
                          std::function<void(std::string payload)> callback) {
    connected(*this, internal_)->indicate(service, characteristic, std::move(callback));
}

void Peripheral::unsubscribe(const std::string& service, const std::string& characteristic) {
    connected(*this, internal_)->unsubscribe(service, characteristic);
}

std::string Peripheral::read(const std::string& service, const std::string& characteristic,
                             const std::string& descriptor) {
    return connected(*this, internal_)->read(service, characteristic, descriptor);
}

void Peripheral::write(const std::string& service, const std::string& characteristic, const std::string& descriptor,
                       const std::string& data) {
    connected(*this, internal_)->write(service, characteristic, descriptor, data);
}

void Peripheral::set_callback_on_connected(std::function<void()> on_connected) {
    bound(internal_)->set_callback_on_connected(std::move(on_connected));
}

void Peripheral::set_callback_on_disconnected(std::function<void()> on_disconnected) {
    bound(internal_)->set_callback_on_disconnected(std::move(on_disconnected));
}

}  // namespace Tavrin
