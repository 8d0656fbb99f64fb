#include <tavrin/Adapter.h>

#include <utility>

#include "backends/macos/AdapterBase.h"
#include "foundation/LogInternal.h"
#include "frontends/base/AdapterBuilder.h"

namespace Tavrin {

namespace {

// Every operation first needs a bound handle. The scan operations keep their own share of the
// backend, so a callback that drops the caller's last handle cannot pull the backend from under them.
const std::shared_ptr<AdapterBase>& bound(const std::shared_ptr<AdapterBase>& backend) {
    if (!backend) {
        throw Exception::NotInitialized();
    }
    return backend;
}

// Options that make no sense, or ask for what no radio here does, fail before anything reaches the radio.
void check(const ScanOptions& options) {
    options.validate();
    if (options.passive) {
        TAVRIN_LOG(Logging::Level::Error, "Passive scanning is not available on this platform.");
        throw Exception::OperationNotSupported();
    }
}

}  // namespace

Adapter::Adapter() = default;

Adapter::~Adapter() = default;

bool Adapter::bluetooth_enabled() {
    return AdapterBase::bluetooth_enabled();
}

std::vector<Adapter> Adapter::get_adapters() {
    std::vector<Adapter> adapters;
    for (auto& backend : AdapterBase::get_adapters()) {
        adapters.push_back(AdapterBuilder(std::move(backend)));
    }
    return adapters;
}

bool Adapter::initialized() const {
    return backend_ != nullptr;
}

void* Adapter::underlying() const {
    return bound(backend_)->underlying();
}

std::string Adapter::identifier() {
    return bound(backend_)->identifier();
}

std::string Adapter::address() {
    return bound(backend_)->address();
}

bool Adapter::is_enabled() {
    return bound(backend_)->is_enabled();
}

TimeLimits Adapter::time_limits() {
    return bound(backend_)->time_limits();
}

void Adapter::set_time_limits(const TimeLimits& limits) {
    bound(backend_)->set_time_limits(limits);
}

// The Bluetooth guard is written out in each scan operation so that the warning names that operation.

void Adapter::scan_start() {
    const auto backend = bound(backend_);
    if (!bluetooth_enabled()) {
        TAVRIN_LOG(Logging::Level::Warning, "Bluetooth is not enabled.");
        return;
    }
    backend->scan_start();
}

void Adapter::scan_start(const ScanOptions& options) {
    const auto backend = bound(backend_);
    check(options);
    if (!bluetooth_enabled()) {
        TAVRIN_LOG(Logging::Level::Warning, "Bluetooth is not enabled.");
        return;
    }
    backend->scan_start(options);
}

void Adapter::scan_for(int timeout_ms, const ScanOptions& options) {
    const auto backend = bound(backend_);
    check(options);
    if (!bluetooth_enabled()) {
        TAVRIN_LOG(Logging::Level::Warning, "Bluetooth is not enabled.");
        return;
    }
    backend->scan_for(timeout_ms, options);
}

void Adapter::scan_stop() {
    const auto backend = bound(backend_);
    if (!bluetooth_enabled()) {
        TAVRIN_LOG(Logging::Level::Warning, "Bluetooth is not enabled.");
        // The radio or the permission went away during a scan: it still ends, and says so.
        backend->scan_stop_if_active();
        return;
    }
    backend->scan_stop();
}

void Adapter::scan_for(int timeout_ms) {
    const auto backend = bound(backend_);
    if (!bluetooth_enabled()) {
        TAVRIN_LOG(Logging::Level::Warning, "Bluetooth is not enabled.");
        return;
    }
    backend->scan_for(timeout_ms);
}

bool Adapter::scan_is_active() {
    return bound(backend_)->scan_is_active();
}

std::vector<Peripheral> Adapter::scan_get_results() {
    return bound(backend_)->scan_get_results();
}

std::vector<Peripheral> Adapter::get_paired_peripherals() {
    return bound(backend_)->get_paired_peripherals();
}

void Adapter::set_pairing_agent(PairingAgent agent) {
    bound(backend_)->set_pairing_agent(std::move(agent));
}

void Adapter::remove_pairing_agent() {
    bound(backend_)->remove_pairing_agent();
}

void Adapter::set_callback_on_scan_start(std::function<void()> on_scan_start) {
    bound(backend_)->set_callback_on_scan_start(std::move(on_scan_start));
}

void Adapter::set_callback_on_scan_stop(std::function<void()> on_scan_stop) {
    bound(backend_)->set_callback_on_scan_stop(std::move(on_scan_stop));
}

void Adapter::set_callback_on_scan_updated(std::function<void(Peripheral)> on_scan_updated) {
    bound(backend_)->set_callback_on_scan_updated(std::move(on_scan_updated));
}

void Adapter::set_callback_on_scan_found(std::function<void(Peripheral)> on_scan_found) {
    bound(backend_)->set_callback_on_scan_found(std::move(on_scan_found));
}

}  // namespace Tavrin
