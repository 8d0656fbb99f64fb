#pragma once
// The platform-facing half of the adapter: the central manager's delegate, which owns the manager and
// its event queue, and turns the manager's events into calls on the adapter backend.

#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include <platform/CoreBluetooth.h>
#include <platform/Dispatch.h>
#include <platform/Radio.h>
#include <tavrin/ScanOptions.h>
#include <tavrin/Types.h>

#include "backends/macos/ChangeSignal.h"

namespace Tavrin {

class AdapterBase;
class PeripheralBase;

/// The record of one advertisement, as the adapter hands it on: connectability (false when not
/// stated), signal strength, transmit power (-32768 when absent), every manufacturer entry the
/// platform gives (one on the platform itself; each the company identifier little-endian, then the
/// payload; data shorter than the two-byte identifier gives none; of two entries of one company the first), service
/// data by UUID text, and every listed service UUID with an empty value (a listed service keeps the empty value even
/// when it also carries data).
advertising_data_t advertising_data_from_advertisement(const platform::AdvertisementData& advertisementData, int rssi);

/// Delegate of one platform central manager, owned by its `AdapterBase`.
///
/// Threads: the requests (`isBluetoothEnabled`, `scanStart`, ...) run on the caller's thread and take
/// no lock; the platform events run on the serial queue "AdapterBaseMacOS.centralManagerQueue".
///
/// Lifetime: the platform holds this delegate weakly and keeps it alive for the length of each event.
/// The delegate in turn holds its adapter weakly and locks it for the length of each event, so an
/// event reaches an adapter that is fully alive and keeps it so until the event returns; once the
/// adapter's destruction has begun the lock fails and the event is dropped. An adapter whose last
/// handle goes during an event (in a scan callback) is thus destroyed on the queue as the event ends.
///
/// Every peripheral backend keeps this delegate (and with it the central manager and its queue)
/// alive, and is registered here weakly, so that a peripheral whose adapter is gone still gets its
/// connection events: they go through the adapter while it lives, and straight to the peripheral
/// backend afterwards (locked for the length of the event, like the adapter).
///
/// Names: the operations keep the platform object's selector names, as the delegate callbacks do;
/// the helpers and fields are snake_case.
class AdapterBaseMacOS : public platform::CBCentralManagerDelegate {
    struct ConstructionKey {
        explicit ConstructionKey() = default;
    };

  public:
    /// The adapter's fixed address text: the platform does not expose the controller's own.
    static constexpr const char* kAddress = "39a76676-2788-46c9-afa0-f0c0c31e6fd9";
    static constexpr const char* kQueueLabel = "AdapterBaseMacOS.centralManagerQueue";

    /// Makes the delegate, its event queue and its central manager (which must see the delegate
    /// already owned, since it holds it weakly), then waits up to 5.0 s for the manager to learn its
    /// state, woken by each change of it. A state still unknown then is not an error: Bluetooth just counts
    /// as not enabled.
    static std::shared_ptr<AdapterBaseMacOS> init(std::weak_ptr<AdapterBase> adapter);
    /// The same on one adapter of the system (`platform::radio::processAdapters`); an unnamed one is the
    /// process's radio, as above.
    static std::shared_ptr<AdapterBaseMacOS> init(std::weak_ptr<AdapterBase> adapter,
                                                  const platform::radio::RadioAdapter& system_adapter);
    AdapterBaseMacOS(ConstructionKey, std::weak_ptr<AdapterBase> adapter, std::string name, std::string address);
    ~AdapterBaseMacOS() override;
    AdapterBaseMacOS(const AdapterBaseMacOS&) = delete;
    AdapterBaseMacOS& operator=(const AdapterBaseMacOS&) = delete;

    /// Authorized for always and powered on, asked anew of the platform on every call.
    bool isBluetoothEnabled() const;
    /// Scans as `options` say (valid ones, not passive); by default for every peripheral, reporting every
    /// advertisement (duplicates allowed).
    void scanStart(const ScanOptions& options = {});
    void scanStop();
    bool scanIsActive() const;
    /// The platform's fixed text, or the named adapter's Bluetooth address.
    const std::string& address() const noexcept { return uuid_; }
    /// The system's name of the adapter ("hci1"); empty for the one adapter the platform offers.
    const std::string& name() const noexcept { return name_; }
    /// The platform central manager (not retained for the caller).
    void* underlying() const noexcept { return central_manager_.get(); }

    /// Records the backend of a platform peripheral (`CBPeripheral*`), for its connection events once
    /// the adapter is gone. Held weakly; any thread.
    void register_peripheral(void* peripheral, std::weak_ptr<PeripheralBase> base);
    /// Forgets the record, when the adapter drops the peripheral's backend. Any thread.
    void unregister_peripheral(void* peripheral);

    // Platform events (event queue). What the adapter throws out of one of them is written as one
    // console line and goes no further: the queue has no caller to report it to.
    void centralManagerDidUpdateState(platform::CBCentralManager& central) override;
    void centralManagerDidDiscoverPeripheral(platform::CBCentralManager& central,
                                             const platform::CBPeripheralPtr& peripheral,
                                             const platform::AdvertisementData& advertisementData, int rssi) override;
    void centralManagerDidConnectPeripheral(platform::CBCentralManager& central,
                                            const platform::CBPeripheralPtr& peripheral) override;
    void centralManagerDidFailToConnectPeripheral(platform::CBCentralManager& central,
                                                  const platform::CBPeripheralPtr& peripheral,
                                                  const platform::NSError* error) override;
    void centralManagerDidDisconnectPeripheral(platform::CBCentralManager& central,
                                               const platform::CBPeripheralPtr& peripheral,
                                               const platform::NSError* error) override;
    void centralManagerDidForgetPeripheral(platform::CBCentralManager& central,
                                           const platform::CBPeripheralPtr& peripheral) override;

  private:
    // The registered backend of a platform peripheral, if it still lives.
    std::shared_ptr<PeripheralBase> registered_peripheral(void* peripheral);

    const std::string uuid_;
    const std::string name_;
    // Fixed at construction; locked by each event for its duration.
    const std::weak_ptr<AdapterBase> adapter_;
    // Both set once in init(), before anyone but the platform can reach this object, and read only
    // on the caller's thread afterwards; events use the manager they are handed instead. Declared in
    // this order so that the manager (and with it the scan) goes before its queue.
    platform::dispatch_queue_t central_manager_queue_;
    platform::CBCentralManagerPtr central_manager_;

    // init() waits on this for the manager to learn its state; the manager's observer bumps it (its lock is a
    // leaf). Shared with the observer, which the manager may call until it is gone.
    const std::shared_ptr<ChangeSignal> state_changes_ = std::make_shared<ChangeSignal>();

    std::mutex peripherals_mutex_;  // guards peripherals_
    // Platform peripheral -> its backend; an entry is added with the backend and erased when the
    // adapter drops it, while the platform object still lives, so a key reused by a later platform
    // object never finds the old entry. Entries of backends that outlive the adapter stay.
    std::unordered_map<void*, std::weak_ptr<PeripheralBase>> peripherals_;
};

}  // namespace Tavrin
