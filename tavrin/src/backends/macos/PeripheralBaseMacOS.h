#pragma once
// The platform-facing half of one remote peripheral: the platform peripheral's delegate, which turns
// the platform's asynchronous connection, discovery and GATT requests into blocking calls.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <platform/CoreBluetooth.h>
#include <tavrin/Service.h>

#include "backends/macos/DelegateRecords.h"

namespace Tavrin {

/// Delegate of one platform peripheral, owned by its `PeripheralBase`.
///
/// Threads: the blocking operations run on the caller's thread; the platform callbacks run on the
/// central manager's serial event queue. One recursive lock (`mutex_`) guards the bookkeeping map; it
/// is held for the whole of `connect` and `disconnect`, for each hand-over of a GATT request and while
/// a subscription's value callback runs, but never while a GATT operation waits for its answer.
///
/// Lifetime: the platform holds this delegate weakly and locks it for the length of each event, so an
/// event either finds the delegate alive and keeps it alive until the event returns, or is not
/// delivered at all; no event reaches a destroyed delegate. When the owner lets go during an event,
/// the delegate is destroyed on the event queue once that event returns.
class PeripheralBaseMacOS : public platform::CBPeripheralDelegate,
                            public std::enable_shared_from_this<PeripheralBaseMacOS> {
    struct ConstructionKey {
        explicit ConstructionKey() = default;
    };

  public:
    using ValueCallback = std::function<void(std::string)>;

    /// Makes the delegate and registers it with the peripheral (the platform holds it weakly, so it
    /// must already be owned by a shared_ptr when it is registered).
    static std::shared_ptr<PeripheralBaseMacOS> init(platform::CBPeripheralPtr peripheral,
                                                     platform::CBCentralManagerPtr centralManager);
    PeripheralBaseMacOS(ConstructionKey, platform::CBPeripheralPtr peripheral,
                        platform::CBCentralManagerPtr centralManager);
    ~PeripheralBaseMacOS() override = default;
    PeripheralBaseMacOS(const PeripheralBaseMacOS&) = delete;
    PeripheralBaseMacOS& operator=(const PeripheralBaseMacOS&) = delete;

    // Identity, read live from the platform; no lock.
    const platform::CBPeripheralPtr& underlying() const noexcept { return peripheral_; }
    /// The peripheral's name, or the empty string.
    std::string identifier() const;
    /// The platform's per-device UUID text.
    std::string address() const;
    /// The longest write without response, truncated to 16 bits.
    uint16_t mtu() const;
    bool isConnected() const;

    /// Connects (5.0 s) and discovers services (5.0 s), then each service's characteristics and each
    /// characteristic's descriptors (1.0 s each), one request at a time. Rebuilds the record of every
    /// characteristic found. Throws `OperationFailed` naming the stage that failed.
    void connect();
    /// Cancels the link and waits up to 5.0 s for it to go down; else throws `OperationFailed`.
    void disconnect();
    /// Snapshot of the discovered tree, in the platform's order; no lock, no request.
    std::vector<Service> getServices() const;

    // Connection hooks, called on the event queue by `PeripheralBase`; nothing to do here.
    void delegateDidConnect() {}
    void delegateDidDisconnect() {}

    // Lookups by the caller's UUID text; no lock. An unparsable text counts as not found.
    platform::CBServicePtr findService(const std::string& service_uuid) const;
    platform::CBCharacteristicPtr findCharacteristic(const std::string& characteristic_uuid,
                                                     const platform::CBServicePtr& service) const;
    platform::CBDescriptorPtr findDescriptor(const std::string& descriptor_uuid,
                                             const platform::CBCharacteristicPtr& characteristic) const;
    std::pair<platform::CBServicePtr, platform::CBCharacteristicPtr> findServiceAndCharacteristic(
        const std::string& service_uuid, const std::string& characteristic_uuid) const;

    // GATT operations; each request waits at most 1.0 s for its answer.
    std::string read(const std::string& service_uuid, const std::string& characteristic_uuid);
    void writeRequest(const std::string& service_uuid, const std::string& characteristic_uuid,
                      const std::string& payload);
    /// Waits (up to 1.0 s) for room in the link's transmit buffer, then hands the write over.
    void writeCommand(const std::string& service_uuid, const std::string& characteristic_uuid,
                      const std::string& payload);
    /// `callback` runs on the event queue with the lock held; what it throws is logged.
    void notify(const std::string& service_uuid, const std::string& characteristic_uuid, ValueCallback callback);
    void indicate(const std::string& service_uuid, const std::string& characteristic_uuid, ValueCallback callback);
    void unsubscribe(const std::string& service_uuid, const std::string& characteristic_uuid);
    std::string read(const std::string& service_uuid, const std::string& characteristic_uuid,
                     const std::string& descriptor_uuid);
    void write(const std::string& service_uuid, const std::string& characteristic_uuid,
               const std::string& descriptor_uuid, const std::string& payload);

    /// A copy of the bookkeeping map (diagnostics and tests).
    std::map<std::string, characteristic_extras_t> characteristic_extras() const;

    // Platform callbacks (event queue).
    void peripheralDidDiscoverServices(const platform::CBPeripheralPtr& peripheral,
                                       const platform::NSError* error) override;
    void peripheralDidDiscoverCharacteristicsForService(const platform::CBPeripheralPtr& peripheral,
                                                        const platform::CBServicePtr& service,
                                                        const platform::NSError* error) override;
    void peripheralDidDiscoverDescriptorsForCharacteristic(const platform::CBPeripheralPtr& peripheral,
                                                           const platform::CBCharacteristicPtr& characteristic,
                                                           const platform::NSError* error) override;
    void peripheralDidUpdateValueForCharacteristic(const platform::CBPeripheralPtr& peripheral,
                                                   const platform::CBCharacteristicPtr& characteristic,
                                                   const platform::NSError* error) override;
    void peripheralDidWriteValueForCharacteristic(const platform::CBPeripheralPtr& peripheral,
                                                  const platform::CBCharacteristicPtr& characteristic,
                                                  const platform::NSError* error) override;
    void peripheralDidUpdateNotificationStateForCharacteristic(const platform::CBPeripheralPtr& peripheral,
                                                               const platform::CBCharacteristicPtr& characteristic,
                                                               const platform::NSError* error) override;
    void peripheralIsReadyToSendWriteWithoutResponse(const platform::CBPeripheralPtr& peripheral) override;
    void peripheralDidUpdateValueForDescriptor(const platform::CBPeripheralPtr& peripheral,
                                               const platform::CBDescriptorPtr& descriptor,
                                               const platform::NSError* error) override;
    void peripheralDidWriteValueForDescriptor(const platform::CBPeripheralPtr& peripheral,
                                              const platform::CBDescriptorPtr& descriptor,
                                              const platform::NSError* error) override;

  private:
    // The record of a descriptor's requests, under its characteristic's record; nullptr when the
    // descriptor has lost its characteristic. Called with mutex_ held.
    descriptor_extras_t* descriptor_extras_locked(const platform::CBDescriptorPtr& descriptor);

    // Characteristic UUID text -> record; entries are added on access and never erased, so
    // references into the map stay valid. Guarded by mutex_.
    std::map<std::string, characteristic_extras_t> characteristic_extras_;
    const platform::CBPeripheralPtr peripheral_;          // set at construction, read-only after
    const platform::CBCentralManagerPtr centralManager_;  // set at construction, read-only after
    mutable std::recursive_mutex mutex_;                  // the object's lock
    // Orders subscription changes among callers (taken before mutex_, never on the event queue).
    std::mutex subscription_mutex_;
};

}  // namespace Tavrin
