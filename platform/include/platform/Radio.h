#pragma once
// The radio interface: what any radio must do for the CoreBluetooth-shaped façade. The façade (CBCentralManager,
// CBPeripheral, the attribute objects, the queues) is written against these classes only; each radio (the
// simulated world, BlueZ over D-Bus, later a bridge to the macOS framework) implements them and knows nothing
// of the façade.
//
// Shape. A `Radio` is process-wide. Each central manager opens its own `RadioCentral`, a session with its own
// scan and its own links, and hands it a `RadioCentralEvents` listener. Requests are calls on the session;
// answers come back asynchronously, either as the request's own completion or as a listener event.
//
// Threads.
// - Requests may be made from any thread (the caller's thread, or the central's queue), concurrently. A request
//   does not wait for the radio's work and never calls a completion or an event before it returns; the one wait
//   is that `stopScan` and `close()` return only after an event already being delivered to that session has
//   returned, so none arrives after them.
// - Completions and events of one session are called on a thread of the radio's own (the simulated world's
//   scheduler, the D-Bus event loop), one at a time, in the order the radio made them. The listener must not
//   block in them: it hands the work to its queue. It may make requests from inside them.
// - `close()` may be called from any thread but not from inside a completion or event of the same session.
//
// Lifetimes. The radio holds the listener weakly: an event finds it alive for the length of the call or is not
// delivered. Completions are held by the radio until they are called or the request is abandoned (link lost,
// session closed); a request abandoned that way may never be answered, so callers drop stale answers by their
// own bookkeeping (the façade's connection epochs).
//
// Links. A request for a device that is not connected in this session is answered with an error, or not at all
// (the façade only sends requests on links it believes connected). When a link goes down every request still
// outstanding on it is abandoned: its completion is either called with an error or never called.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/CBError.h"
#include "platform/CBTypes.h"
#include "platform/Foundation.h"

namespace platform::radio {

/// Names one remote device within a radio, stably for the radio's life: the simulated world's upper-case
/// identifier UUID, or BlueZ's Bluetooth address "AA:BB:CC:DD:EE:FF". The façade reports it as the
/// peripheral's identifier.
using DeviceKey = std::string;

/// An attribute's handle on its device, as the device's attribute table numbers it: a service's start handle,
/// a characteristic's declaration handle, a descriptor's handle. Unique within one device.
using AttributeHandle = uint16_t;

/// One advertisement (or scan response) the radio received while this session scanned. Always owned by a
/// shared pointer, so that a listener lent one (see `Sighting`) may keep it.
struct AdvertisementReport : std::enable_shared_from_this<AdvertisementReport> {
    DeviceKey device;
    /// The device's name as the radio knows it (local name or GAP name); absent when it has none.
    std::optional<std::string> name;
    /// The device's Bluetooth address "AA:BB:CC:DD:EE:FF" when the radio knows one.
    std::optional<std::string> address;
    AdvertisementData advertisement;
    int rssi = 0;
};

/// A report is immutable once handed over: a radio that sends the same report again (a device advertising the
/// same data) may send the same object, so that a listener can recognise a repeat by its address while it
/// holds it.
using AdvertisementReportPtr = std::shared_ptr<const AdvertisementReport>;

/// A place the radio keeps for its listener, for one device during one scan of one session: the same object
/// with every report of that device in that scan, and with no other device's. The listener may note there
/// where it keeps what it knows of the device, so that the device's next reports lead there without a lookup
/// by key. A new scan may bring a new, empty slot; a device reported again after `radioForgot` always does.
struct DeviceSlot {
    /// The listener's own: null until it sets it; read and written only inside the session's events.
    void* note = nullptr;
};

/// One advertisement of a batch. Both are lent for the length of the call, so that handing a report over costs
/// no reference count: a listener that keeps the report takes one with `report->shared_from_this()`.
struct Sighting {
    const AdvertisementReport* report = nullptr;
    /// The device's slot, or null from a radio that keeps none.
    DeviceSlot* slot = nullptr;
};

/// One value of a run of notifications; lent, like a sighting, for the length of the call.
struct Notification {
    const DeviceKey* device = nullptr;
    AttributeHandle characteristic = 0;
    const std::string* value = nullptr;
};

struct ServiceInfo {
    AttributeHandle handle = 0;
    CBUUID uuid;
};

struct CharacteristicInfo {
    AttributeHandle handle = 0;
    CBUUID uuid;
    CBCharacteristicProperties properties = 0;
};

struct DescriptorInfo {
    AttributeHandle handle = 0;
    CBUUID uuid;
};

/// An answer carries `error` null on success. Errors use the platform's domains (platform/CBError.h):
/// CBATTErrorDomain with the ATT error code for what the device refused, CBErrorDomain for link and radio
/// failures, or a radio's own domain (a D-Bus error name) with the radio's text.
using Done = std::function<void(const NSError* error)>;
using ValueDone = std::function<void(const NSError* error, const std::string& value)>;
using ServicesDone = std::function<void(const NSError* error, const std::vector<ServiceInfo>& services)>;
using CharacteristicsDone =
    std::function<void(const NSError* error, const std::vector<CharacteristicInfo>& characteristics)>;
using DescriptorsDone = std::function<void(const NSError* error, const std::vector<DescriptorInfo>& descriptors)>;

/// How long the program waits for each kind of answer on one device's link. A radio whose own call timeouts
/// must match the program's (the BlueZ radio's bus calls, whose late answers it drops) follows them; a radio
/// without such timeouts may ignore them. The defaults are the program's defaults.
struct LinkLimits {
    std::chrono::milliseconds connection{5000};
    std::chrono::milliseconds serviceDiscovery{5000};
    std::chrono::milliseconds request{1000};
    bool operator==(const LinkLimits& o) const {
        return connection == o.connection && serviceDiscovery == o.serviceDiscovery && request == o.request;
    }
};

/// The input and output a pairing agent has, as BlueZ names them: what decides how a device pairs.
enum class IoCapability { DisplayOnly, DisplayYesNo, KeyboardOnly, NoInputNoOutput, KeyboardDisplay };

/// How the user answered an agent's question: yes (with the passkey asked for), no, or "stop asking".
enum class AgentVerdict { Accept, Reject, Cancel };
using PasskeyReply = std::function<void(AgentVerdict verdict, uint32_t passkey)>;
using ConfirmReply = std::function<void(AgentVerdict verdict)>;

/// The user's side of pairing: answers the questions a pairing asks. Its questions are asked on the radio's
/// thread and must not block there; each reply may be called later, once, from any thread, or never (the
/// pairing's own limit or a cancel then ends it, and `cancel` says so).
class PairingAgent {
  public:
    virtual ~PairingAgent() = default;
    virtual IoCapability capability() const = 0;
    /// The device shows a passkey (0-999999) that the user types here.
    virtual void requestPasskey(const DeviceKey& device, PasskeyReply reply) = 0;
    /// Shows `passkey` for the user to type on the device; `entered` keys typed so far. No reply.
    virtual void displayPasskey(const DeviceKey& device, uint32_t passkey, uint16_t entered) = 0;
    /// Both sides show `passkey`: do they match?
    virtual void requestConfirmation(const DeviceKey& device, uint32_t passkey, ConfirmReply reply) = 0;
    /// May the device pair without a passkey?
    virtual void requestAuthorization(const DeviceKey& device, ConfirmReply reply) = 0;
    /// The question asked last about `device` is not wanted any more (pairing cancelled, failed, timed out).
    virtual void cancel(const DeviceKey& device) = 0;
};

/// The domain of pairing's failures (`PairingError` codes), with a text in bluetoothd's words.
inline constexpr const char* kPairingErrorDomain = "PairingErrorDomain";
enum class PairingError : long {
    AuthenticationFailed = 1,  // a wrong passkey, a refused confirmation, no agent where one was needed
    Canceled = 2,              // cancelled, or the link went during pairing
    Rejected = 3,              // the device refused to pair
    TimedOut = 4,              // the device stopped answering
    AlreadyPaired = 5,
    InProgress = 6,
    NotConnected = 7,
    NotSupported = 8,
};
NSError pairingError(PairingError code);

/// A device the adapter holds a bond with: what a central needs to connect it without a scan.
struct BondedDevice {
    DeviceKey device;
    std::optional<std::string> name;
};
using BondedDone = std::function<void(const NSError* error, const std::vector<BondedDevice>& bonded)>;

/// The kind of a device's Bluetooth address.
enum class AddressKind { Public, Random };

/// How a subscription's values reach the program: through the host stack's shared path, which every program
/// subscribed sees, or a stream of this program's own where the stack offers one (bluetoothd's notify socket).
enum class NotifyDelivery { Shared, Exclusive };

/// What a session tells its central. Called on the radio's thread (see the threading rules above).
class RadioCentralEvents {
  public:
    virtual ~RadioCentralEvents() = default;
    /// The adapter's state or the authorization changed (also the first time it becomes known).
    virtual void radioStateChanged(CBManagerState state) = 0;
    /// Advertisements received during this session's scan, oldest first, at least one: those the radio received
    /// together come in one call. Never called after `stopScan()` returned.
    virtual void radioDiscovered(const std::vector<Sighting>& batch) = 0;
    /// A `connect` succeeded: the link is up.
    virtual void radioConnected(const DeviceKey& device) = 0;
    /// A `connect` failed.
    virtual void radioConnectFailed(const DeviceKey& device, const NSError& error) = 0;
    /// The link (or a pending connection) is down: `error` is null when `cancelConnection` asked for it, else
    /// it says why (link loss, the device went away). Not called when the radio was switched off: the state
    /// change says it all, and the central drops its links silently.
    virtual void radioDisconnected(const DeviceKey& device, const NSError* error) = 0;
    /// A notification or indication of a subscribed characteristic. Never the answer to a read.
    virtual void radioNotified(const DeviceKey& device, AttributeHandle characteristic, const std::string& value) = 0;
    /// Notifications the radio received together, oldest first, at least one. By default one `radioNotified`
    /// each, so that one that throws costs only itself; a listener that hands values to another thread hands
    /// the run over at once.
    virtual void radioNotifiedTogether(const std::vector<Notification>& run) {
        for (const Notification& n : run) {
            contain("in a radio listener", [&] { radioNotified(*n.device, n.characteristic, *n.value); });
        }
    }
    /// The session's scan ended without `stopScan`: the radio could not start it and gave up trying (it wrote a
    /// console line saying why). A new `startScan` tries again. Not called when the radio was switched off.
    virtual void radioScanEnded(const NSError& error) { (void)error; }
    /// The radio has forgotten the device: it left (the simulated world took it away) or its record was removed
    /// (bluetoothd dropped the object). Its link, if any, was reported down before. A device reported again
    /// after this comes as one never seen: its reports bring new, empty slots, never one lent before. Listeners
    /// that keep nothing per device may ignore it; by default it does nothing.
    virtual void radioForgot(const DeviceKey& /*device*/) {}
    /// The adapter now holds a bond with the device: a pairing finished, whoever started it (this session's
    /// `pair`, or a request that raised the link's security). By default it does nothing.
    virtual void radioPaired(const DeviceKey& /*device*/) {}
};

/// One central's session with the radio: its scan and its links.
class RadioCentral {
  public:
    virtual ~RadioCentral() = default;

    /// The adapter's state now; `Unknown` until the radio knows it.
    virtual CBManagerState state() const = 0;

    /// Starts (or restarts with new settings) this session's scan. `services`: report only devices that
    /// advertise one of them (absent or empty: all). `duplicates`: report every advertisement, else the first
    /// per device per scan.
    virtual void startScan(const std::optional<std::vector<CBUUID>>& services, bool duplicates) = 0;
    /// `startScan`, also reporting only advertisements received at least `rssiFloor` dBm strong (absent: all).
    /// By default the floor is not applied: a radio that can filter by strength overrides this.
    virtual void startFilteredScan(const std::optional<std::vector<CBUUID>>& services, bool duplicates,
                                   std::optional<int> rssiFloor) {
        (void)rssiFloor;
        startScan(services, duplicates);
    }
    /// Once it returns, no report of the scan is delivered any more.
    virtual void stopScan() = 0;

    /// Asks for a link; answered by `radioConnected` or `radioConnectFailed`, or by nothing while the attempt
    /// runs (it runs until it succeeds, fails or is cancelled). Connecting a connected device answers
    /// `radioConnected` again. A connect made before a cancel was answered supersedes the cancel, whose answer
    /// then comes before the connect's own or not at all.
    virtual void connect(const DeviceKey& device) = 0;
    /// Takes the link down, or cancels a pending attempt; answered by `radioDisconnected` with no error. On a
    /// device without link or attempt it does nothing.
    virtual void cancelConnection(const DeviceKey& device) = 0;

    // Discovery on a connected link. A radio that learns the whole attribute table at once answers each stage
    // from it; one that asks the device stage by stage answers each when the device does.
    virtual void discoverServices(const DeviceKey& device, ServicesDone done) = 0;
    virtual void discoverCharacteristics(const DeviceKey& device, AttributeHandle service,
                                         CharacteristicsDone done) = 0;
    virtual void discoverDescriptors(const DeviceKey& device, AttributeHandle characteristic, DescriptorsDone done) = 0;

    // GATT requests on a connected link; each answered once by its completion (or abandoned with the link).
    virtual void readCharacteristic(const DeviceKey& device, AttributeHandle characteristic, ValueDone done) = 0;
    virtual void writeCharacteristic(const DeviceKey& device, AttributeHandle characteristic, const std::string& value,
                                     Done done) = 0;
    /// A write without response. `sent` is called once the write has left the radio's transmit queue (the
    /// central counts its credit by it); an error means the write was lost.
    virtual void writeWithoutResponse(const DeviceKey& device, AttributeHandle characteristic, const std::string& value,
                                      Done sent) = 0;
    /// Turns notifications (or indications, whichever the characteristic has) on or off; `delivery` says how
    /// the values are to come once on (a radio with one way only ignores it).
    virtual void setNotify(const DeviceKey& device, AttributeHandle characteristic, bool enabled,
                           NotifyDelivery delivery, Done done) = 0;
    void setNotify(const DeviceKey& device, AttributeHandle characteristic, bool enabled, Done done) {
        setNotify(device, characteristic, enabled, NotifyDelivery::Shared, std::move(done));
    }
    virtual void readDescriptor(const DeviceKey& device, AttributeHandle descriptor, ValueDone done) = 0;
    virtual void writeDescriptor(const DeviceKey& device, AttributeHandle descriptor, const std::string& value,
                                 Done done) = 0;

    /// The program's limits for this device's requests made from now on; until called, the defaults. Any
    /// thread; by default ignored.
    virtual void setLinkLimits(const DeviceKey& device, const LinkLimits& limits) {
        (void)device;
        (void)limits;
    }
    // Pairing, where the radio offers it; a radio without it keeps these defaults (nothing is paired, and
    // pair/unpair are never asked of it). Answers come as the other completions do, on the radio's thread.

    /// Whether the radio pairs with this device and knows its bond.
    virtual bool pairingSupported(const DeviceKey& /*device*/) const { return false; }
    /// Whether the adapter holds a bond with the device. Throws NSException when the radio cannot tell now (its
    /// host stack is away): unknown bonds are not "no bond".
    virtual bool isPaired(const DeviceKey& /*device*/) const { return false; }
    /// Pairs with the device over its link (connecting it first where the radio does so). `agent` answers this
    /// pairing's questions; null: the radio's default agent, if any. Answered once by `done`: null error on
    /// success, else an error of kPairingErrorDomain (or the radio's own).
    virtual void pair(const DeviceKey& /*device*/, std::shared_ptr<PairingAgent> /*agent*/, Done /*done*/) {}
    /// Ends a pairing under way: its `done` is answered as canceled. Nothing under way: nothing happens.
    virtual void cancelPairing(const DeviceKey& /*device*/) {}
    /// Forgets the bond (the device must pair again). Answered once by `done`.
    virtual void unpair(const DeviceKey& /*device*/, Done /*done*/) {}
    /// Installs this session's agent, which also becomes the radio's default agent (the one asked when a
    /// device or an encrypted attribute starts pairing); null removes it. A pairing under way whose agent is
    /// removed fails.
    virtual void setPairingAgent(std::shared_ptr<PairingAgent> /*agent*/) {}
    /// The devices the adapter holds a bond with, answered once on the radio's thread, like an event of the
    /// session: the central may take them as it takes reports. An error (and no devices) when the radio cannot
    /// tell now.
    virtual void bondedDevices(BondedDone done) { done(nullptr, {}); }
    /// The kind of the device's address, when the radio knows it.
    virtual std::optional<AddressKind> addressKind(const DeviceKey& /*device*/) const { return std::nullopt; }

    /// The link's ATT MTU while connected, 23 otherwise.
    virtual unsigned mtu(const DeviceKey& device) const = 0;
    /// How many writes without response the radio's transmit queue holds for one link.
    virtual unsigned transmitQueueDepth() const = 0;

    /// Ends the session: stops the scan and drops this session's links and attempts without events. No
    /// completion or event of the session runs after it returns (except one already running on another thread,
    /// which it waits for).
    virtual void close() = 0;
};

/// A radio: the process's way to the air.
class Radio {
  public:
    virtual ~Radio() = default;
    /// Opens a session for one central. `events` is held weakly.
    virtual std::shared_ptr<RadioCentral> openCentral(std::weak_ptr<RadioCentralEvents> events) = 0;
    /// The authorization this process has to use Bluetooth.
    virtual CBManagerAuthorization authorization() const = 0;
};

/// One adapter of the process's radio, with a radio bound to it.
struct RadioAdapter {
    /// The system's name for it ("hci1"); empty for the radio's one adapter when it offers no choice.
    std::string name;
    /// Its Bluetooth address "AA:BB:CC:DD:EE:FF", when known.
    std::string address;
    /// Lives as long as the process.
    Radio* radio = nullptr;
};

/// The adapters a program may use, in the system's order: over BlueZ one per adapter bluetoothd has (natural
/// order of their names, hci2 before hci10; only the one TAVRIN_BLUEZ_ADAPTER names when it is set), each with
/// a radio bound to that adapter alone. Where there is one adapter or no choice (the simulated world, one
/// adapter, bluetoothd not reachable now), the process's radio alone, unnamed. Asks the system anew each call.
std::vector<RadioAdapter> processAdapters();

/// The process's radio, chosen once, on first use: the simulated world when TAVRIN_SIM_WORLD is set (to a world
/// file's path, or to `default` for the built-in world), else the system's radio (BlueZ on Linux; a radio that
/// reports the state unsupported where there is none).
Radio& processRadio();

}  // namespace platform::radio
