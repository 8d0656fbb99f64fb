#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <platform/Radio.h>
#include <tavrin/PairingAgent.h>
#include <tavrin/Peripheral.h>
#include <tavrin/ScanOptions.h>
#include <tavrin/TimeLimits.h>
#include <tavrin/Types.h>

#include "callback/safe_callback.h"

namespace Tavrin {

class AdapterBaseMacOS;
class PairingAgentBridge;
class PeripheralBase;
class TimeLimitsCell;

/// The backend object behind every `Adapter` handle: the registry of the peripherals this adapter
/// discovered, the peripherals of the current scan, the caller's four scan callbacks, and the routing
/// of connection events to the peripheral backends. Always held by shared_ptr (made by `create`).
///
/// Registry: a peripheral stays registered, as one backend object, until the platform has forgotten
/// it (the device went away) and nothing refers to it any more: no caller's handle, no result of the
/// current scan, no link. Such entries go when the platform's news arrives and at each `scan_start`.
///
/// Threads: the scan operations, setters and `scan_get_results` run on the caller's thread, the
/// start and stop callbacks with them; the `delegate_did_...` entries run on the event queue,
/// the found and updated callbacks inside the first. `peripherals_mutex_` guards the maps and the
/// scan generation and is never held while a caller's callback runs, so a callback may use the
/// adapter freely (read results, swap callbacks, start or stop a scan).
///
/// Lifetime: the delegate holds this object weakly and locks it for the length of each event, so no
/// event reaches an adapter that is being or has been destroyed (see `AdapterBaseMacOS`).
class AdapterBase : public std::enable_shared_from_this<AdapterBase> {
    struct ConstructionKey {
        explicit ConstructionKey() = default;
    };

  public:
    using PeripheralMap = std::map<void*, std::shared_ptr<PeripheralBase>>;

    /// A new adapter with its own delegate, central manager and event queue; blocks up to 5.0 s for
    /// the platform state (see `AdapterBaseMacOS::init`).
    static std::shared_ptr<AdapterBase> create();
    /// The same on one adapter of the system.
    static std::shared_ptr<AdapterBase> create(const platform::radio::RadioAdapter& system_adapter);
    explicit AdapterBase(ConstructionKey);
    virtual ~AdapterBase();
    AdapterBase(const AdapterBase&) = delete;
    AdapterBase& operator=(const AdapterBase&) = delete;

    /// Builds a temporary adapter, asks it, and lets it go: a full platform set-up on every call.
    static bool bluetooth_enabled();
    /// One new adapter per adapter of the system (see `platform::radio::processAdapters`): exactly one,
    /// whatever the state of the radio, unless BlueZ has several.
    static std::vector<std::shared_ptr<AdapterBase>> get_adapters();

    /// The platform `CBCentralManager*`.
    void* underlying() const;
    std::string identifier();
    std::string address();
    /// This adapter is powered on and authorized, asked anew of the platform.
    bool is_enabled();

    /// The limits this adapter's peripherals follow unless given their own. Any thread.
    TimeLimits time_limits() const;
    /// Throws `std::invalid_argument` for invalid limits, changing nothing.
    void set_time_limits(const TimeLimits& limits);

    /// Clears the current scan's peripherals, drops the registry's forgotten peripherals that nothing
    /// refers to any more, starts the platform scan, then calls the start callback on this thread.
    void scan_start(const ScanOptions& options = {});
    /// Stops the platform scan, keeping its results, then calls the stop callback on this thread.
    void scan_stop();
    /// `scan_stop()` if a scan runs: one started here and not stopped since (even if the platform
    /// ended it by itself, as when the radio goes off), or one the platform still reports.
    void scan_stop_if_active();
    /// `scan_start()`, a plain sleep of `timeout_ms`, `scan_stop()`.
    void scan_for(int timeout_ms, const ScanOptions& options = {});
    bool scan_is_active();
    /// One handle per peripheral seen since the last `scan_start()`, in registry key order.
    std::vector<Peripheral> scan_get_results();
    std::vector<Peripheral> get_paired_peripherals();
    void set_pairing_agent(PairingAgent agent);
    void remove_pairing_agent();

    // A non-empty function replaces the callback, an empty one removes it.
    void set_callback_on_scan_start(std::function<void()> on_scan_start);
    void set_callback_on_scan_stop(std::function<void()> on_scan_stop);
    void set_callback_on_scan_updated(std::function<void(Peripheral)> on_scan_updated);
    void set_callback_on_scan_found(std::function<void(Peripheral)> on_scan_found);

    // Entries for the delegate, on the event queue. `peripheral` is the platform `CBPeripheral*`,
    // `central_manager` the `CBCentralManager*`.
    void delegate_did_discover_peripheral(void* peripheral, void* central_manager, advertising_data_t advertising_data);
    /// Throws `Exception::InvalidReference` for a peripheral this adapter never discovered.
    void delegate_did_connect_peripheral(void* peripheral);
    /// Throws `Exception::InvalidReference` for a peripheral this adapter never discovered.
    void delegate_did_disconnect_peripheral(void* peripheral);
    /// The platform forgot the peripheral: it goes from the registry now if nothing refers to it, else
    /// at a later `scan_start` once nothing does.
    void delegate_did_forget_peripheral(void* peripheral);

  private:
    static constexpr uint64_t kNeverSeen = ~uint64_t{0};
    static constexpr uint64_t kNotForgotten = ~uint64_t{0};
    // A registry entry: the peripheral's backend, the last scan it was seen in, and the scan during
    // which the platform forgot it.
    struct Known {
        std::shared_ptr<PeripheralBase> base;
        uint64_t scan_generation;               // guarded by peripherals_mutex_
        uint64_t forgotten_in = kNotForgotten;  // guarded by peripherals_mutex_
    };
    using Registry = std::unordered_map<void*, Known>;

    std::shared_ptr<PeripheralBase> known_peripheral(void* peripheral);
    // Takes a forgotten entry out of the registry if nothing but the registry refers to it and it has
    // no link, handing its backend to `gone`, to be released without the mutex. True when it went.
    bool drop_if_unused_locked(Registry::iterator entry, std::vector<std::shared_ptr<PeripheralBase>>& gone);

    // Set once by create(), before the object is handed out and before any discovery can arrive;
    // read on the caller's thread and, to hand it to new peripheral backends, on the event queue.
    std::shared_ptr<AdapterBaseMacOS> delegate_;
    // The limits handed to every peripheral backend made here; guards itself. Set at construction.
    const std::shared_ptr<TimeLimitsCell> limits_;
    // A scan_start() not yet followed by scan_stop(); written and read on the callers' threads.
    std::atomic<bool> scan_started_{false};

    // Each holder guards itself.
    zem::safe_callback<void()> callback_on_scan_start_;
    zem::safe_callback<void()> callback_on_scan_stop_;
    zem::safe_callback<void(Peripheral)> callback_on_scan_updated_;
    zem::safe_callback<void(Peripheral)> callback_on_scan_found_;

    // The program's pairing agent installed on the platform manager; guarded by agent_mutex_.
    std::mutex agent_mutex_;
    std::shared_ptr<PairingAgentBridge> agent_;

    // Guards known_peripherals_, forgotten_peripherals_, scan_peripherals_, scan_generation_.
    std::mutex peripherals_mutex_;
    // The peripherals discovered and not yet dropped (see the class comment). Entries are added only
    // on the event queue; an entry goes only while nothing but the registry holds its backend. Hashed:
    // it is looked up on every advertisement and its order is never shown.
    Registry known_peripherals_;
    // The keys of the registry's entries whose peripheral the platform forgot and has not found since.
    std::unordered_set<void*> forgotten_peripherals_;
    // The peripherals seen since the last scan_start(); the same objects as in the registry. Each
    // registry entry seen in the current scan carries its generation, so a repeat advertisement needs
    // only the one lookup.
    PeripheralMap scan_peripherals_;
    // Counts scan_start() calls. A found callback decided for a scan that has since been replaced is
    // not fired: its peripheral no longer belongs to the current results and is found anew.
    uint64_t scan_generation_ = 0;
};

}  // namespace Tavrin
