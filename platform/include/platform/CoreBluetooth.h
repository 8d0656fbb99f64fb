#pragma once
// Stand-in for CoreBluetooth, written over a radio (platform/Radio.h): the process's radio, chosen once from
// TAVRIN_SIM_WORLD (the simulated world of sim/World.h, or the system's radio), or one the caller names.
//
// Threading: every delegate event of a central manager and of its peripherals runs on the manager's
// DispatchQueue, one at a time. The attribute objects (CBService, CBCharacteristic, CBDescriptor) and
// CBPeripheral may be read from any thread: each getter returns a consistent snapshot.
//
// Lifetimes: platform objects are shared (std::shared_ptr). Delegates are held weakly. An event is
// delivered only if its delegate is still alive when the event starts to run on the queue; the
// delivering task then holds a strong reference for the whole call, so a delegate whose last owner
// lets go during an event is destroyed when that event returns, on the queue's thread, and no later
// event reaches it. Destroying a central manager stops its scan and its timers; events it had queued
// are dropped. Dropping the last reference to a manager or a queue from inside one of its own events
// is allowed: it neither deadlocks nor crashes. A manager keeps each peripheral it reported until its radio
// forgets the device and nothing refers to the peripheral any more (see centralManagerDidForgetPeripheral).

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/CBError.h"
#include "platform/CBTypes.h"
#include "platform/Dispatch.h"
#include "platform/Foundation.h"
#include "platform/Radio.h"

namespace platform {

namespace radio {
class Radio;
}

class CBCentralManager;
class CBPeripheral;
class CBService;
class CBCharacteristic;
class CBDescriptor;
using CBCentralManagerPtr = std::shared_ptr<CBCentralManager>;
using CBPeripheralPtr = std::shared_ptr<CBPeripheral>;
using CBServicePtr = std::shared_ptr<CBService>;
using CBCharacteristicPtr = std::shared_ptr<CBCharacteristic>;
using CBDescriptorPtr = std::shared_ptr<CBDescriptor>;

/// A descriptor's value as the platform types it: text for 0x2901, a number for 0x2900, 0x2902
/// and 0x2903, bytes otherwise.
struct CBDescriptorValue {
    enum class Kind { Data, String, Number };
    Kind kind = Kind::Data;
    std::string bytes;   // Data: the bytes; String: UTF-8 text
    int64_t number = 0;  // Number
};

class CBDescriptor {
  public:
    CBUUID UUID() const;
    CBCharacteristicPtr characteristic() const;
    std::optional<CBDescriptorValue> value() const;

    struct Impl;
    explicit CBDescriptor(std::shared_ptr<Impl> impl);
    const std::shared_ptr<Impl>& impl() const noexcept { return impl_; }

  private:
    std::shared_ptr<Impl> impl_;
};

class CBCharacteristic {
  public:
    CBUUID UUID() const;
    CBServicePtr service() const;
    CBCharacteristicProperties properties() const;
    /// Absent until the device gives one (a read, a notification, an initial value).
    std::optional<std::string> value() const;
    bool isNotifying() const;
    /// Absent until discovered.
    std::optional<std::vector<CBDescriptorPtr>> descriptors() const;

    struct Impl;
    explicit CBCharacteristic(std::shared_ptr<Impl> impl);
    const std::shared_ptr<Impl>& impl() const noexcept { return impl_; }

  private:
    std::shared_ptr<Impl> impl_;
};

class CBService {
  public:
    CBUUID UUID() const;
    CBPeripheralPtr peripheral() const;
    /// Absent until discovered.
    std::optional<std::vector<CBCharacteristicPtr>> characteristics() const;

    struct Impl;
    explicit CBService(std::shared_ptr<Impl> impl);
    const std::shared_ptr<Impl>& impl() const noexcept { return impl_; }

  private:
    std::shared_ptr<Impl> impl_;
};

class CBPeripheralDelegate {
  public:
    virtual ~CBPeripheralDelegate() = default;
    virtual void peripheralDidDiscoverServices(const CBPeripheralPtr& peripheral, const NSError* error);
    virtual void peripheralDidDiscoverCharacteristicsForService(const CBPeripheralPtr& peripheral,
                                                                const CBServicePtr& service, const NSError* error);
    virtual void peripheralDidDiscoverDescriptorsForCharacteristic(const CBPeripheralPtr& peripheral,
                                                                   const CBCharacteristicPtr& characteristic,
                                                                   const NSError* error);
    virtual void peripheralDidUpdateValueForCharacteristic(const CBPeripheralPtr& peripheral,
                                                           const CBCharacteristicPtr& characteristic,
                                                           const NSError* error);
    virtual void peripheralDidWriteValueForCharacteristic(const CBPeripheralPtr& peripheral,
                                                          const CBCharacteristicPtr& characteristic,
                                                          const NSError* error);
    virtual void peripheralDidUpdateNotificationStateForCharacteristic(const CBPeripheralPtr& peripheral,
                                                                       const CBCharacteristicPtr& characteristic,
                                                                       const NSError* error);
    virtual void peripheralIsReadyToSendWriteWithoutResponse(const CBPeripheralPtr& peripheral);
    virtual void peripheralDidUpdateValueForDescriptor(const CBPeripheralPtr& peripheral,
                                                       const CBDescriptorPtr& descriptor, const NSError* error);
    virtual void peripheralDidWriteValueForDescriptor(const CBPeripheralPtr& peripheral,
                                                      const CBDescriptorPtr& descriptor, const NSError* error);
};

/// One per device per central manager: every event of that device carries the same object.
class CBPeripheral : public std::enable_shared_from_this<CBPeripheral> {
  public:
    /// Held weakly.
    void setDelegate(std::weak_ptr<CBPeripheralDelegate> delegate);
    /// Not one of the platform's: `observer` is called after every change of what a caller may wait for here:
    /// state(), services(), a service's characteristics(), a characteristic's descriptors() and isNotifying(),
    /// and room for writes without response (values are told by their delegate events alone). It runs on the
    /// thread that made the change (the radio's, the queue's or a caller's), with no lock of this façade held,
    /// also when the delegate event that goes with the change comes late or not at all; it must not block.
    /// Replaces the one set before; an empty function removes it.
    void setChangeObserver(std::function<void()> observer);
    CBPeripheralState state() const;
    /// Absent for a device without a name.
    std::optional<std::string> name() const;
    NSUUID identifier() const;
    /// With response: 512. Without response: min(mtu - 3, 512) while connected, 20 otherwise.
    size_t maximumWriteValueLengthForType(CBCharacteristicWriteType type) const;
    /// Absent until discovered (and again after every disconnection).
    std::optional<std::vector<CBServicePtr>> services() const;

    void discoverServices(const std::optional<std::vector<CBUUID>>& serviceUUIDs);
    void discoverCharacteristics(const std::optional<std::vector<CBUUID>>& characteristicUUIDs,
                                 const CBServicePtr& service);
    void discoverDescriptors(const CBCharacteristicPtr& characteristic);
    void readValue(const CBCharacteristicPtr& characteristic);
    void writeValue(const std::string& data, const CBCharacteristicPtr& characteristic, CBCharacteristicWriteType type);
    /// `delivery` is this façade's own: how the radio is to bring the values (the framework has one way).
    void setNotifyValue(bool enabled, const CBCharacteristicPtr& characteristic,
                        radio::NotifyDelivery delivery = radio::NotifyDelivery::Shared);
    void readValue(const CBDescriptorPtr& descriptor);
    /// Throws NSException for the client characteristic configuration descriptor (0x2902).
    void writeValue(const std::string& data, const CBDescriptorPtr& descriptor);
    /// False while the transmit buffer for writes without response is full.
    bool canSendWriteWithoutResponse() const;
    /// Not one of the platform's: how long the program waits for this device's answers, for a radio whose
    /// own timeouts must follow the program's (see radio::LinkLimits). For the requests made after it.
    void setLinkLimits(std::chrono::milliseconds connection, std::chrono::milliseconds serviceDiscovery,
                       std::chrono::milliseconds request);

    // Not the platform's (its framework pairs by itself and says nothing of bonds): pairing where the radio
    // offers it (CBPairing.cpp). Completions are called once, on the radio's thread; they must not block.
    /// Whether the radio pairs with this device and knows its bond.
    bool pairingSupported() const;
    /// Throws NSException when the radio cannot tell now.
    bool isPaired() const;
    /// Pairs over the link, asking this manager's pairing agent (or the system's default one).
    void pair(std::function<void(const NSError* error)> completion);
    /// Ends a pairing under way: its completion reports it canceled.
    void cancelPairing();
    /// Forgets the bond.
    void unpair(std::function<void(const NSError* error)> completion);
    /// The kind of the device's address, when the radio knows it.
    std::optional<radio::AddressKind> addressKind() const;

    struct Impl;
    explicit CBPeripheral(std::shared_ptr<Impl> impl);
    const std::shared_ptr<Impl>& impl() const noexcept { return impl_; }

  private:
    std::shared_ptr<Impl> impl_;
};

class CBCentralManagerDelegate {
  public:
    virtual ~CBCentralManagerDelegate() = default;
    virtual void centralManagerDidUpdateState(CBCentralManager& central) = 0;
    virtual void centralManagerDidDiscoverPeripheral(CBCentralManager& central, const CBPeripheralPtr& peripheral,
                                                     const AdvertisementData& advertisementData, int rssi);
    virtual void centralManagerDidConnectPeripheral(CBCentralManager& central, const CBPeripheralPtr& peripheral);
    virtual void centralManagerDidFailToConnectPeripheral(CBCentralManager& central, const CBPeripheralPtr& peripheral,
                                                          const NSError* error);
    virtual void centralManagerDidDisconnectPeripheral(CBCentralManager& central, const CBPeripheralPtr& peripheral,
                                                       const NSError* error);
    /// Not one of the platform's: the radio forgot the device (it went away, or the system dropped its record),
    /// after its link, if any, went down. The manager lets go of the peripheral once nobody else holds it, it
    /// has no link and the current scan has not reported it; the device reported after that is a new
    /// peripheral. While held, the object stays the device's and works as before, and the device reported
    /// again comes as that object. Not delivered once the manager has let go of the peripheral.
    virtual void centralManagerDidForgetPeripheral(CBCentralManager& central, const CBPeripheralPtr& peripheral);
};

/// Option dictionaries: key -> flag.
using CBOptions = std::map<std::string, bool>;
inline const std::string CBCentralManagerScanOptionAllowDuplicatesKey = "kCBScanOptionAllowDuplicates";

class CBCentralManager : public std::enable_shared_from_this<CBCentralManager> {
  public:
    /// The delegate is held weakly; all events arrive on `queue`. The state starts unknown.
    static CBCentralManagerPtr initWithDelegate(std::weak_ptr<CBCentralManagerDelegate> delegate,
                                                dispatch_queue_t queue, const std::optional<CBOptions>& options);
    /// The same over a radio the caller names instead of the process's radio; the radio must outlive the
    /// manager.
    static CBCentralManagerPtr initWithDelegate(std::weak_ptr<CBCentralManagerDelegate> delegate,
                                                dispatch_queue_t queue, const std::optional<CBOptions>& options,
                                                radio::Radio& radio);
    ~CBCentralManager();
    CBCentralManager(const CBCentralManager&) = delete;
    CBCentralManager& operator=(const CBCentralManager&) = delete;

    CBManagerState state() const;
    /// Not one of the platform's: `observer` is called after every change of state(), on the radio's thread
    /// with no lock of this façade held; it must not block. Replaces the one set before; empty removes it.
    void setChangeObserver(std::function<void()> observer);
    static CBManagerAuthorization authorization();

    void scanForPeripherals(const std::optional<std::vector<CBUUID>>& serviceUUIDs, const CBOptions& options);
    /// Not one of the platform's: the same, reporting only advertisements received at least `rssiFloor` dBm
    /// strong, by a radio that can filter by strength (both of this stand-in's can).
    void scanForPeripherals(const std::optional<std::vector<CBUUID>>& serviceUUIDs, const CBOptions& options,
                            int rssiFloor);
    void stopScan();
    bool isScanning() const;
    void connectPeripheral(const CBPeripheralPtr& peripheral, const CBOptions& options);
    void cancelPeripheralConnection(const CBPeripheralPtr& peripheral);

    const dispatch_queue_t& queue() const noexcept;

    // Not the platform's (CBPairing.cpp): the pairing agent, and the devices the system holds bonds with.
    /// Installs the program's pairing agent on this manager's radio session (it becomes the default agent);
    /// null removes it.
    void setPairingAgent(std::shared_ptr<radio::PairingAgent> agent);
    /// The peripherals of the devices bonded with the adapter, connectable without a scan; `completion` is
    /// called once, on the radio's thread, with an error (and none) when the radio cannot tell now.
    void retrieveBondedPeripherals(std::function<void(const NSError* error, std::vector<CBPeripheralPtr>)> completion);

    struct Impl;
    explicit CBCentralManager(std::shared_ptr<Impl> impl);
    const std::shared_ptr<Impl>& impl() const noexcept { return impl_; }

  private:
    std::shared_ptr<Impl> impl_;
};

inline std::string NSLogDescription(const CBUUID& uuid) {
    return uuid.UUIDString();
}
std::string NSLogDescription(const CBPeripheralPtr& peripheral);
std::string NSLogDescription(const CBPeripheral& peripheral);

}  // namespace platform
