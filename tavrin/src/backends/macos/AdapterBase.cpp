#include "backends/macos/AdapterBase.h"

#include <chrono>
#include <thread>
#include <utility>

#include <fmt/format.h>
#include <tavrin/Exceptions.h>

#include "backends/macos/AdapterBaseMacOS.h"
#include "backends/macos/PeripheralBase.h"
#include "backends/macos/TimeLimitsCell.h"
#include "callback/guarded.h"
#include "frontends/base/PeripheralBuilder.h"

namespace Tavrin {

using Lock = std::lock_guard<std::mutex>;

AdapterBase::AdapterBase(ConstructionKey) : limits_(std::make_shared<TimeLimitsCell>()) {}

std::shared_ptr<AdapterBase> AdapterBase::create() {
    return create(platform::radio::RadioAdapter{});
}

std::shared_ptr<AdapterBase> AdapterBase::create(const platform::radio::RadioAdapter& system_adapter) {
    auto adapter = std::make_shared<AdapterBase>(ConstructionKey{});
    // The delegate needs a weak reference to lock for each event, which only exists once the adapter
    // is owned; no event can reach the adapter before a scan or connection is asked for.
    adapter->delegate_ = AdapterBaseMacOS::init(adapter, system_adapter);
    return adapter;
}

// An event on the queue holds a strong reference for its whole run, so this never runs while one is
// delivering to this adapter; it may run on the queue itself, as such an event ends.
AdapterBase::~AdapterBase() {
    // Peripheral handles may keep the delegate and its manager alive; a scan left running would then
    // go on for nobody, since no handle is left to stop it.
    if (delegate_) {
        delegate_->scanStop();
    }
    delegate_.reset();
    scan_peripherals_.clear();
    known_peripherals_.clear();
}

bool AdapterBase::bluetooth_enabled() {
    return create()->delegate_->isBluetoothEnabled();
}

std::vector<std::shared_ptr<AdapterBase>> AdapterBase::get_adapters() {
    std::vector<std::shared_ptr<AdapterBase>> adapters;
    for (const auto& system_adapter : platform::radio::processAdapters()) {
        adapters.push_back(create(system_adapter));
    }
    return adapters;
}

void* AdapterBase::underlying() const {
    return delegate_->underlying();
}

std::string AdapterBase::identifier() {
    // The platform's one adapter has no name of its own.
    if (delegate_->name().empty()) {
        return fmt::format("Default Adapter [{}]", address());
    }
    return delegate_->name();
}

bool AdapterBase::is_enabled() {
    return delegate_->isBluetoothEnabled();
}

std::string AdapterBase::address() {
    return delegate_->address();
}

TimeLimits AdapterBase::time_limits() const {
    return limits_->get();
}

void AdapterBase::set_time_limits(const TimeLimits& limits) {
    limits_->set(limits);
}

void AdapterBase::scan_start(const ScanOptions& options) {
    // Released here, without the mutex, once out of the registry.
    std::vector<std::shared_ptr<PeripheralBase>> gone;
    {
        Lock lock(peripherals_mutex_);
        scan_peripherals_.clear();
        ++scan_generation_;
        // The last scan's results no longer hold them: forgotten peripherals nobody holds go now.
        for (auto it = forgotten_peripherals_.begin(); it != forgotten_peripherals_.end();) {
            const auto entry = known_peripherals_.find(*it);
            if (entry == known_peripherals_.end() || drop_if_unused_locked(entry, gone)) {
                it = forgotten_peripherals_.erase(it);
            } else {
                ++it;
            }
        }
    }
    gone.clear();
    scan_started_ = true;
    delegate_->scanStart(options);
    TAVRIN_GUARDED(callback_on_scan_start_)();
}

void AdapterBase::scan_stop() {
    scan_started_ = false;
    delegate_->scanStop();
    TAVRIN_GUARDED(callback_on_scan_stop_)();
}

void AdapterBase::scan_stop_if_active() {
    // The platform may have ended the scan by itself (radio off) or still run it (permission gone).
    if (scan_started_ || delegate_->scanIsActive()) {
        scan_stop();
    }
}

void AdapterBase::scan_for(int timeout_ms, const ScanOptions& options) {
    scan_start(options);
    std::this_thread::sleep_for(std::chrono::milliseconds(timeout_ms));
    scan_stop();
}

bool AdapterBase::scan_is_active() {
    return delegate_->scanIsActive();
}

std::vector<Peripheral> AdapterBase::scan_get_results() {
    std::vector<std::shared_ptr<PeripheralBase>> bases;
    {
        Lock lock(peripherals_mutex_);
        bases.reserve(scan_peripherals_.size());
        for (const auto& entry : scan_peripherals_) {
            bases.push_back(entry.second);
        }
    }
    std::vector<Peripheral> results;
    results.reserve(bases.size());
    for (auto& base : bases) {
        results.push_back(PeripheralBuilder(std::move(base)));
    }
    return results;
}

void AdapterBase::set_callback_on_scan_start(std::function<void()> on_scan_start) {
    if (on_scan_start) {
        callback_on_scan_start_.load(std::move(on_scan_start));
    } else {
        callback_on_scan_start_.unload();
    }
}

void AdapterBase::set_callback_on_scan_stop(std::function<void()> on_scan_stop) {
    if (on_scan_stop) {
        callback_on_scan_stop_.load(std::move(on_scan_stop));
    } else {
        callback_on_scan_stop_.unload();
    }
}

void AdapterBase::set_callback_on_scan_updated(std::function<void(Peripheral)> on_scan_updated) {
    if (on_scan_updated) {
        callback_on_scan_updated_.load(std::move(on_scan_updated));
    } else {
        callback_on_scan_updated_.unload();
    }
}

void AdapterBase::set_callback_on_scan_found(std::function<void(Peripheral)> on_scan_found) {
    if (on_scan_found) {
        callback_on_scan_found_.load(std::move(on_scan_found));
    } else {
        callback_on_scan_found_.unload();
    }
}

std::shared_ptr<PeripheralBase> AdapterBase::known_peripheral(void* peripheral) {
    Lock lock(peripherals_mutex_);
    const auto it = known_peripherals_.find(peripheral);
    return it == known_peripherals_.end() ? nullptr : it->second.base;
}

void AdapterBase::delegate_did_discover_peripheral(void* peripheral, void* central_manager,
                                                   advertising_data_t advertising_data) {
    // Only this queue inserts into the registry, so the lookup and the insertion need not be one step,
    // the new backend (which talks to the platform) is built without the mutex, and `entry` stays
    // valid: elements of a hashed map do not move, and an entry goes only while nothing but the
    // registry holds its backend, which `base` does here.
    Known* entry = nullptr;
    std::shared_ptr<PeripheralBase> base;
    {
        Lock lock(peripherals_mutex_);
        const auto it = known_peripherals_.find(peripheral);
        if (it != known_peripherals_.end()) {
            entry = &it->second;
            base = entry->base;
        }
    }
    if (!entry) {
        base = std::make_shared<PeripheralBase>(peripheral, central_manager, advertising_data, delegate_, limits_);
        delegate_->register_peripheral(peripheral, base);
        Lock lock(peripherals_mutex_);
        entry = &known_peripherals_.emplace(peripheral, Known{base, kNeverSeen}).first->second;
    }
    base->update_advertising_data(std::move(advertising_data));
    Peripheral handle = PeripheralBuilder(base);

    // Deciding "first in this scan" and recording it is one step under the mutex, so a scan_start()
    // on another thread either clears before it (and the peripheral is found anew) or after it.
    bool found = false;
    uint64_t generation = 0;
    {
        Lock lock(peripherals_mutex_);
        generation = scan_generation_;
        if (entry->scan_generation != generation) {
            entry->scan_generation = generation;
            // Found by a scan begun after the platform forgot it: it is back. A report of the scan
            // during which it went may still arrive after the news, and does not count.
            if (entry->forgotten_in != kNotForgotten && generation > entry->forgotten_in) {
                entry->forgotten_in = kNotForgotten;
                forgotten_peripherals_.erase(peripheral);
            }
            scan_peripherals_.emplace(peripheral, base);
            found = true;
        }
    }
    if (!found) {
        TAVRIN_GUARDED(callback_on_scan_updated_)(std::move(handle));
        return;
    }
    {
        Lock lock(peripherals_mutex_);
        if (generation != scan_generation_) {
            return;
        }
    }
    TAVRIN_GUARDED(callback_on_scan_found_)(std::move(handle));
}

void AdapterBase::delegate_did_connect_peripheral(void* peripheral) {
    const auto base = known_peripheral(peripheral);
    if (!base) {
        throw Exception::InvalidReference();
    }
    base->delegate_did_connect();
}

void AdapterBase::delegate_did_disconnect_peripheral(void* peripheral) {
    const auto base = known_peripheral(peripheral);
    if (!base) {
        throw Exception::InvalidReference();
    }
    base->delegate_did_disconnect();
}

void AdapterBase::delegate_did_forget_peripheral(void* peripheral) {
    std::vector<std::shared_ptr<PeripheralBase>> gone;
    Lock lock(peripherals_mutex_);
    const auto entry = known_peripherals_.find(peripheral);
    if (entry == known_peripherals_.end()) {
        return;
    }
    entry->second.forgotten_in = scan_generation_;
    if (!drop_if_unused_locked(entry, gone)) {
        forgotten_peripherals_.insert(peripheral);
    }
    // `gone` is released after the mutex: declared before the lock.
}

bool AdapterBase::drop_if_unused_locked(Registry::iterator entry, std::vector<std::shared_ptr<PeripheralBase>>& gone) {
    // Copies of the backend are taken from the registry under the mutex only, so one held by nobody else
    // cannot gain a holder meanwhile. A link (even one nobody holds a handle to) keeps it for its events.
    if (entry->second.base.use_count() > 1 ||
        static_cast<platform::CBPeripheral*>(entry->first)->state() != platform::CBPeripheralState::Disconnected) {
        return false;
    }
    // Its routing entry goes with it, before the platform object can go and its address be reused.
    delegate_->unregister_peripheral(entry->first);
    gone.push_back(std::move(entry->second.base));
    known_peripherals_.erase(entry);
    return true;
}

}  // namespace Tavrin
