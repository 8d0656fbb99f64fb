#pragma once
// The adapter stack's tests: handles reached from behind, the adapter's event queue drained, and a
// recorder for the scan callbacks.

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <platform/CoreBluetooth.h>
#include <tavrin/Adapter.h>
#include <tavrin/Peripheral.h>

#include "Watch.h"
#include "WorldBuilder.h"
#include "backends/macos/AdapterBase.h"
#include "backends/macos/PeripheralBase.h"

namespace adapter_test {

using namespace test_support;

// Reaching behind the handles (their fields are protected).
struct AdapterPeek : Tavrin::Adapter {
    explicit AdapterPeek(const Tavrin::Adapter& adapter) : Tavrin::Adapter(adapter) {}
    std::shared_ptr<Tavrin::AdapterBase> backend() const { return backend_; }
};

struct PeripheralPeek : Tavrin::Peripheral {
    explicit PeripheralPeek(const Tavrin::Peripheral& peripheral) : Tavrin::Peripheral(peripheral) {}
    Tavrin::PeripheralBase* backend() const { return internal_.get(); }
    std::weak_ptr<Tavrin::PeripheralBase> weak() const { return internal_; }
};

inline Tavrin::PeripheralBase* backend_of(const Tavrin::Peripheral& peripheral) {
    return PeripheralPeek(peripheral).backend();
}

/// Waits until the adapter's event queue has run every event queued so far.
inline void drain(const Tavrin::Adapter& adapter) {
    static_cast<platform::CBCentralManager*>(adapter.underlying())->queue()->sync([] {});
}

inline Tavrin::Adapter the_adapter() {
    auto adapters = Tavrin::Adapter::get_adapters();
    return adapters.at(0);
}

/// Counts found and updated calls per peripheral address, keeping the last handle of each.
class ScanRecorder {
  public:
    ScanRecorder() = default;
    // Ordered after the last callback's record: a test that frees the recorder once the adapter is
    // gone (seen through a weak pointer, which gives no such ordering) needs that.
    ~ScanRecorder() { std::lock_guard<std::mutex> lock(mutex_); }
    ScanRecorder(const ScanRecorder&) = delete;
    ScanRecorder& operator=(const ScanRecorder&) = delete;

    void install(Tavrin::Adapter& adapter) {
        adapter.set_callback_on_scan_found([this](Tavrin::Peripheral p) { record(p, true); });
        adapter.set_callback_on_scan_updated([this](Tavrin::Peripheral p) { record(p, false); });
    }

    size_t found(const std::string& address) const { return lookup(found_, address); }
    size_t updated(const std::string& address) const { return lookup(updated_, address); }
    size_t distinct_found() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return found_.size();
    }
    size_t total_found() const {
        std::lock_guard<std::mutex> lock(mutex_);
        size_t n = 0;
        for (const auto& entry : found_) {
            n += entry.second;
        }
        return n;
    }
    std::optional<Tavrin::Peripheral> last(const std::string& address) const {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto it = handles_.find(address);
        if (it == handles_.end()) {
            return std::nullopt;
        }
        return it->second;
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        found_.clear();
        updated_.clear();
        handles_.clear();
    }

  private:
    void record(Tavrin::Peripheral& p, bool found) {
        const std::string address = p.address();
        std::lock_guard<std::mutex> lock(mutex_);
        ++(found ? found_ : updated_)[address];
        handles_[address] = p;
    }
    size_t lookup(const std::map<std::string, size_t>& counts, const std::string& address) const {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto it = counts.find(address);
        return it == counts.end() ? 0 : it->second;
    }

    mutable std::mutex mutex_;
    std::map<std::string, size_t> found_;                // guarded by mutex_
    std::map<std::string, size_t> updated_;              // guarded by mutex_
    std::map<std::string, Tavrin::Peripheral> handles_;  // guarded by mutex_
};

/// Scans until the device with `address` is found, and returns its handle (the scan stopped, the
/// scan callbacks removed).
inline Tavrin::Peripheral find_one(Tavrin::Adapter& adapter, const std::string& address) {
    ScanRecorder recorder;
    recorder.install(adapter);
    adapter.scan_start();
    const bool seen = eventually([&] { return recorder.found(address) == 1; });
    adapter.scan_stop();
    drain(adapter);
    adapter.set_callback_on_scan_found({});
    adapter.set_callback_on_scan_updated({});
    if (!seen) {
        throw std::runtime_error("not found: " + address);
    }
    return *recorder.last(address);
}

inline std::vector<std::string> addresses(const std::vector<Tavrin::Peripheral>& peripherals) {
    std::vector<std::string> result;
    for (auto p : peripherals) {
        result.push_back(p.address());
    }
    std::sort(result.begin(), result.end());
    return result;
}

}  // namespace adapter_test
