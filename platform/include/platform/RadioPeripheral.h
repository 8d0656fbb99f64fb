#pragma once
// The peripheral role of a radio: local GATT services served to the centrals that connect, requests answered by
// the program, values notified, and advertisements. Radio-neutral, like Radio.h for the central role, so that a
// peripheral manager in the CoreBluetooth shape can sit on any radio that offers it (BlueZ's: platform/bluez/
// BluezPeripheral.h).
//
// Shape. A `RadioPeripheral` is one session on one adapter: its services, its advertisements and the centrals
// connected to it. Requests are calls on the session; answers come back asynchronously, as the request's own
// completion or as a listener event.
//
// Threads.
// - Requests may be made from any thread, concurrently; none waits for the radio's work, and none calls a
//   completion or an event before it returns (`close()` excepted: see there).
// - Completions and events are called on a thread of the radio's own, one at a time, in the order the radio made
//   them. The listener must not block in them. It may make requests from inside them.
// - A central's read or write comes with a reply. The reply may be called once, from any thread, at once or much
//   later, or never: a request never answered is given up by the central's own stack (bluetoothd answers the
//   central with an error after 5 s). Calling a reply a second time does nothing.
//
// Lifetimes. The radio holds the listener weakly: an event finds it alive for the length of the call or is not
// delivered. Once `close()` returned no completion or event of the session runs; replies called later do
// nothing.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/CBError.h"
#include "platform/CBTypes.h"
#include "platform/Foundation.h"
#include "platform/Radio.h"

namespace platform::radio {

/// What a central may do with a local attribute, and what its link must have for it: CoreBluetooth's
/// CBAttributePermissions (the first four bits), with authentication, and the subscription's own
/// requirements, which BlueZ can express too.
using AttributePermissions = uint32_t;
inline constexpr AttributePermissions AttributePermissionReadable = 0x01;
inline constexpr AttributePermissions AttributePermissionWriteable = 0x02;
inline constexpr AttributePermissions AttributePermissionReadEncryptionRequired = 0x04;
inline constexpr AttributePermissions AttributePermissionWriteEncryptionRequired = 0x08;
/// An encrypted link whose key was made with protection against a man in the middle (a passkey or a numeric
/// comparison).
inline constexpr AttributePermissions AttributePermissionReadAuthenticationRequired = 0x10;
inline constexpr AttributePermissions AttributePermissionWriteAuthenticationRequired = 0x20;
/// What a subscription (the client configuration's write) needs.
inline constexpr AttributePermissions AttributePermissionNotifyEncryptionRequired = 0x40;
inline constexpr AttributePermissions AttributePermissionNotifyAuthenticationRequired = 0x80;

/// Names a local service, characteristic or descriptor: chosen by the caller, unique within the session, never 0.
using LocalAttributeId = uint32_t;

struct LocalDescriptor {
    LocalAttributeId id = 0;
    CBUUID uuid;
    AttributePermissions permissions = AttributePermissionReadable;
    /// A fixed value, answered by the radio itself; absent: every read and write goes to the listener. The client
    /// configuration (0x2902) is the radio's own and is never given here.
    std::optional<std::string> value;
};

struct LocalCharacteristic {
    LocalAttributeId id = 0;
    CBUUID uuid;
    CBCharacteristicProperties properties = 0;
    AttributePermissions permissions = AttributePermissionReadable;
    /// A fixed value, answered by the radio itself (reads); absent: reads go to the listener.
    std::optional<std::string> value;
    std::vector<LocalDescriptor> descriptors;
};

struct LocalService {
    LocalAttributeId id = 0;
    CBUUID uuid;
    bool primary = true;
    std::vector<LocalCharacteristic> characteristics;
};

/// Names one advertisement of the session: chosen by the caller. Several advertisements of one adapter take
/// turns on the air.
using AdvertisementId = uint32_t;

struct LocalAdvertisement {
    /// Connectable advertising (a peripheral), or a broadcaster's that nobody can connect to.
    bool connectable = true;
    /// Advertised as generally discoverable, so that centrals that scan without a filter report it too.
    bool discoverable = true;
    /// Absent or empty: none (a scan response carries it where the radio puts it there).
    std::optional<std::string> localName;
    std::vector<CBUUID> serviceUUIDs;
    /// Each the company identifier (little-endian), then the payload; one entry per company.
    std::vector<std::string> manufacturerData;
    std::vector<std::pair<CBUUID, std::string>> serviceData;
    /// Whether the transmit power level goes with it; its value is the radio's (the controller's advertising
    /// power), not the program's.
    bool includeTxPower = false;
    /// How long each of its turns lasts, in seconds, where the adapter has several advertisements to take turns
    /// between; absent: the radio's default.
    std::optional<uint16_t> turnSeconds;
};

/// A central connected to the session, as the radio names it: its Bluetooth address "AA:BB:CC:DD:EE:FF".
using CentralKey = std::string;

struct ReadRequest {
    CentralKey central;
    LocalAttributeId attribute = 0;  // a characteristic or a descriptor
    uint16_t offset = 0;             // answer the value from here (a long read's later parts)
    uint16_t mtu = 23;               // the link's ATT MTU, when the radio knows it
};

struct WriteRequest {
    CentralKey central;
    LocalAttributeId attribute = 0;  // a characteristic or a descriptor
    uint16_t offset = 0;             // where `value` goes in the attribute's value (a long write's later parts)
    std::string value;
    /// Whether the central waits for the answer: a write with response, whose error reaches it. False for a write
    /// without response, and for a write the radio already answered itself (see BluezPeripheral.h).
    bool withResponse = true;
    uint16_t mtu = 23;
};

/// The answer to one request: `CBATTError::Success` with the value (read), or an ATT error code. A radio that
/// cannot give the central a code passes the nearest it can (see BluezPeripheral.h).
using ReadReply = std::function<void(CBATTError result, const std::string& value)>;
using WriteReply = std::function<void(CBATTError result)>;

/// What a session tells its program. Called on the radio's thread.
class RadioPeripheralEvents {
  public:
    virtual ~RadioPeripheralEvents() = default;
    /// The adapter's state for this session changed (powered on: services and advertisements are served). When it
    /// leaves powered on and comes back (the daemon restarted, the adapter was switched off), the session serves
    /// its services and advertisements again by itself.
    virtual void peripheralStateChanged(CBManagerState state) = 0;
    /// A central reads an attribute whose value is not fixed.
    virtual void peripheralRead(const ReadRequest& request, ReadReply reply) = 0;
    /// A central writes an attribute.
    virtual void peripheralWrite(const WriteRequest& request, WriteReply reply) = 0;
    /// The first central subscribed to the characteristic (notifications or indications).
    virtual void peripheralSubscribed(LocalAttributeId characteristic) = 0;
    /// The last central subscribed to the characteristic let go (or its link went).
    virtual void peripheralUnsubscribed(LocalAttributeId characteristic) = 0;
    /// A central's link to this adapter came up / went down.
    virtual void peripheralCentralConnected(const CentralKey& /*central*/) {}
    virtual void peripheralCentralDisconnected(const CentralKey& /*central*/) {}
    /// The radio stopped an advertisement by itself (it gave the advertisement back).
    virtual void peripheralAdvertisingStopped(AdvertisementId /*advertisement*/) {}
};

/// One session of the peripheral role on one adapter.
class RadioPeripheral {
  public:
    virtual ~RadioPeripheral() = default;

    /// The adapter's state now, as the session knows it; `Unknown` until it knows.
    virtual CBManagerState state() const = 0;

    /// Serves a service; `done` answers once the radio serves it (null error) or refused it (the service is then
    /// dropped). Services are handed to the radio one at a time, in the order added, so their attribute handles
    /// follow that order. Waits while the adapter is not powered on.
    virtual void addService(LocalService service, Done done) = 0;
    /// Stops serving a service (a service added but not yet served is dropped, its `done` answered as canceled).
    virtual void removeService(LocalAttributeId service) = 0;

    /// Starts an advertisement (or replaces the one with the same id); `done` answers once it is on the air or
    /// was refused.
    virtual void startAdvertising(AdvertisementId advertisement, LocalAdvertisement data, Done done) = 0;
    virtual void stopAdvertising(AdvertisementId advertisement) = 0;

    /// The characteristic's value changed: subscribed centrals are notified (or indicated, whichever the
    /// characteristic has and they asked for).
    virtual void updateValue(LocalAttributeId characteristic, const std::string& value) = 0;

    /// Takes a central's link down, from this side.
    virtual void disconnectCentral(const CentralKey& central) = 0;

    /// Stops serving everything, tells the radio so (waiting at most `limit` for it), and ends the session.
    virtual void close(std::chrono::milliseconds limit = std::chrono::milliseconds(1000)) = 0;
};

}  // namespace platform::radio
