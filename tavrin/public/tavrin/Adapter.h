#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Exceptions.h"
#include "PairingAgent.h"
#include "Peripheral.h"
#include "ScanOptions.h"
#include "TimeLimits.h"

namespace Tavrin {

class AdapterBase;

/// Handle to the Bluetooth adapter. Copies share one backend, its scans and its callbacks.
/// Every operation but `initialized()` throws `Exception::NotInitialized` on an unbound handle.
///
/// Callbacks:
/// - Threads: the start and stop callbacks run on the thread that calls `scan_start()`, `scan_stop()`
///   or `scan_for()`, inside that call. The found and updated callbacks run on the adapter's event
///   queue, one event at a time; so do the peripherals' GATT answers and connection events, which
///   wait while a callback runs there.
/// - Locks: none of the library's is held while a callback runs, so callbacks may reach each other
///   (fire, replace or remove one another) from any threads without waiting for each other. Calls
///   of one callback fired from two threads may overlap. Replacing or removing a callback from
///   outside any callback waits for its calls running on other threads to return (once the setter
///   has returned, the old callback neither runs nor is called again), so do not do it while
///   holding a lock that the callback takes. From inside a callback it does not wait: the old
///   callback is not called again, but a call of it already running elsewhere finishes.
/// - What a callback may do: use this adapter (results, setters, starting or stopping a scan), keep
///   or drop handles (the last one included), and call the peripherals' operations that do not
///   wait for the event queue (`disconnect()`, the queries). `connect()` and the GATT operations that
///   wait for an answer cannot complete from the found or updated callback, since the answer would
///   have to come through the very queue that is running the callback: they fail at once with
///   their usual exception and a console line saying so. Do such work on a thread of your own.
/// - A callback that throws is logged at level Error ("Exception during callback: ...") and the
///   library goes on.
class Adapter {
  public:
    Adapter();
    virtual ~Adapter();

    /// Whether Bluetooth is usable (powered on and authorized). Sets up and tears down a
    /// temporary platform manager on every call, waiting up to 5.0 s for its state.
    static bool bluetooth_enabled();
    /// The adapters of this machine, newly made, whatever the state of the radio: one, except over
    /// BlueZ where bluetoothd has several adapters, where there is one per adapter (natural order of
    /// their names, hci2 before hci10), each bound to its own adapter for scanning, connecting and
    /// state. `TAVRIN_BLUEZ_ADAPTER=hci1` narrows the list to that adapter.
    static std::vector<Adapter> get_adapters();

    bool initialized() const;
    /// The platform's central manager object.
    void* underlying() const;

    /// "Default Adapter [<address>]"; over BlueZ with several adapters, the adapter's name ("hci1").
    std::string identifier();
    /// A fixed text; over BlueZ with several adapters, the adapter's Bluetooth address.
    std::string address();
    /// Whether this adapter is usable now (powered on and authorized): `bluetooth_enabled()` for this
    /// adapter alone.
    bool is_enabled();

    /// The time limits this adapter's peripherals follow unless given their own; the defaults until set.
    TimeLimits time_limits();
    /// Replaces them, for every peripheral of this adapter (found before or after) that has no limits
    /// of its own, from its next call on. Copies of this handle share them. Throws
    /// `std::invalid_argument` naming the first limit that is not positive, changing nothing.
    void set_time_limits(const TimeLimits& limits);

    /// Starts a scan and clears the previous scan's results; the start callback runs on this thread.
    /// With Bluetooth unusable it logs the warning "Bluetooth is not enabled." and does nothing.
    void scan_start();
    /// The same, reporting what `options` ask for (see `ScanOptions`); with default options it is
    /// `scan_start()`. Checks the options first, whatever the state of Bluetooth: invalid ones throw
    /// `std::invalid_argument` naming the option, passive scanning `Exception::OperationNotSupported`,
    /// and nothing is asked of the radio. Options stay until the next `scan_start`.
    void scan_start(const ScanOptions& options);
    /// Stops the scan; its results stay available. The stop callback runs on this thread.
    /// With Bluetooth unusable it logs the warning "Bluetooth is not enabled."; a scan still running
    /// (or ended by the platform when the radio went off) is then stopped all the same, with its
    /// stop callback.
    void scan_stop();
    /// `scan_start()`, sleep `timeout_ms`, `scan_stop()`.
    void scan_for(int timeout_ms);
    /// `scan_start(options)`, sleep `timeout_ms`, `scan_stop()`.
    void scan_for(int timeout_ms, const ScanOptions& options);
    bool scan_is_active();
    /// The peripherals seen since the last `scan_start()`.
    std::vector<Peripheral> scan_get_results();
    /// The peripherals the system holds bonds with, as handles that `connect()` without a scan (BlueZ:
    /// bluetoothd's paired devices on the adapter). Waits up to 5.0 s for the radio, then throws
    /// `Exception::OperationFailed`; empty where the platform lists none (its own framework pairs by
    /// itself and lists nothing).
    std::vector<Peripheral> get_paired_peripherals();

    /// Installs the program's pairing agent on the adapter, replacing any installed before; it answers
    /// `Peripheral::pair()` and becomes the system's default agent, so pairing a device or an encrypted
    /// attribute starts is answered by it too (BlueZ: an org.bluez.Agent1 of the program's, registered
    /// and made the default agent). A question of the agent replaced that is still open is answered as
    /// canceled, so the pairing that asked it fails. Where the platform pairs by itself, nothing happens.
    void set_pairing_agent(PairingAgent agent);
    /// Removes the program's agent: pairing then asks the system's default agent, if any.
    void remove_pairing_agent();

    void set_callback_on_scan_start(std::function<void()> on_scan_start);
    void set_callback_on_scan_stop(std::function<void()> on_scan_stop);
    /// Called on the library's event queue for each later advertisement of a peripheral already found in this scan.
    void set_callback_on_scan_updated(std::function<void(Peripheral)> on_scan_updated);
    /// Called on the library's event queue once per peripheral per scan, on its first advertisement.
    void set_callback_on_scan_found(std::function<void(Peripheral)> on_scan_found);

  protected:
    std::shared_ptr<AdapterBase> backend_;
};

}  // namespace Tavrin
