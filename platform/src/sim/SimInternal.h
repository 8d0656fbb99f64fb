#pragma once
// Private to the stand-in: the objects behind CoreBluetooth.h and World.h, shared by their sources.
//
// Locks, always taken in this order and never the other way round:
//   manager `mutex` -> peripheral `guard->mutex` -> scheduler mutex -> manager `outbox_mutex` -> queue internals.
// A device's `notify_mutex` comes before peripheral guards; a device's `mutex` and the world's `mutex` are
// leaves: nothing else is taken while they are held (either may be taken under a peripheral's guard, the
// world's also under a manager's). Shared pointers
// obtained by locking a weak pointer are released only with no lock held, because dropping the last reference to a
// manager may destroy its queue, which waits for that queue's running task.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "platform/CoreBluetooth.h"
#include "platform/Radio.h"
#include "platform/sim/World.h"
#include "platform/sim/WorldConfig.h"

namespace platform::sim {

using Clock = std::chrono::steady_clock;

class Scheduler;
struct Device;
class SimCentral;
struct SimLink;

/// The one mutex of a peripheral: it guards the peripheral's link state and every mutable field of the
/// attribute objects of its tree, so that a getter on any thread sees a consistent snapshot.
struct Guard {
    std::mutex mutex;
};

/// One advertisement waiting in a scan's wheel.
struct AdvEntry {
    Device* device;                     // kept alive by Scan::devices
    const CBPeripheralPtr* peripheral;  // a node of the manager's peripheral map, which never drops entries
    uint64_t due;                       // in scheduler ticks (milliseconds)
    uint32_t interval;
};

/// One advertisement handed to a manager's queue.
struct AdvItem {
    const Device* device;
    const CBPeripheralPtr* peripheral;
    const AdvertisementData* advertisement;
    int rssi;
};

/// One scan of one manager: the devices' next advertisements in a timer wheel of one-millisecond slots.
struct Scan {
    static constexpr size_t kWheelSlots = 1024;

    std::weak_ptr<CBCentralManager::Impl> manager;
    std::weak_ptr<SimCentral> session;  // a radio session's scan: reports go to it instead
    uint64_t generation = 0;            // the manager's scan generation this scan was started with
    bool duplicates = false;
    std::optional<std::vector<CBUUID>> filter;

    // Guarded by the scheduler's mutex.
    std::vector<std::shared_ptr<Device>> devices;
    std::unordered_set<const Device*> members;  // each device once, however it joined
    std::vector<std::vector<AdvEntry>> wheel = std::vector<std::vector<AdvEntry>>(kWheelSlots);
    std::vector<AdvEntry> scratch;
    std::vector<AdvItem> pending;
    uint64_t start_tick = 0;

    bool matches(const Device& device) const;
    /// Before the scan starts: the device's first advertisement, relative to the start.
    void seed(const std::shared_ptr<Device>& device, const CBPeripheralPtr* peripheral);
};

/// The radio's clock: one thread per world that runs timed tasks and turns due advertisements into
/// one batch per scan and tick.
class Scheduler {
  public:
    Scheduler();
    ~Scheduler();
    Scheduler(const Scheduler&) = delete;
    Scheduler& operator=(const Scheduler&) = delete;

    void after(Clock::duration delay, std::function<void()> task);
    void at(Clock::time_point due, std::function<void()> task);

    /// Replaces `previous` (may be null) by `scan` (may be null). Once this returns, `previous` queues nothing more.
    void replaceScan(const std::shared_ptr<Scan>& previous, const std::shared_ptr<Scan>& scan);
    /// Adds a device to a running scan (a device added to the world while the scan runs).
    void addToScan(const std::shared_ptr<Scan>& scan, const std::shared_ptr<Device>& device,
                   const CBPeripheralPtr* peripheral);
    /// The scans running now.
    std::vector<std::shared_ptr<Scan>> scans() const;

  private:
    struct Timer {
        Clock::time_point due;
        uint64_t sequence;
        std::function<void()> task;
    };
    struct LaterFirst {
        bool operator()(const Timer& a, const Timer& b) const {
            return a.due != b.due ? a.due > b.due : a.sequence > b.sequence;
        }
    };

    void run();
    uint64_t tickOf(Clock::time_point t) const;
    void addEntryLocked(Scan& scan, const std::shared_ptr<Device>& device, const CBPeripheralPtr* peripheral,
                        uint64_t now_tick);
    void advanceScanLocked(Scan& scan, uint64_t tick);
    struct Reports {
        std::shared_ptr<SimCentral> session;
        std::shared_ptr<Scan> scan;
        std::vector<const Device*> devices;
    };
    void postBatchesLocked(std::vector<std::shared_ptr<CBCentralManager::Impl>>& keep, std::vector<Reports>& reports);

    const Clock::time_point base_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<Timer> timers_;                 // guarded by mutex_: a heap, earliest first
    uint64_t sequence_ = 0;                     // guarded by mutex_
    std::vector<std::shared_ptr<Scan>> scans_;  // guarded by mutex_
    uint64_t last_tick_ = 0;                    // guarded by mutex_: the last tick whose slots ran
    bool stopping_ = false;                     // guarded by mutex_
    std::thread thread_;
};

/// A device's attribute, as the device holds it.
struct DescriptorModel {
    CBUUID uuid;
    std::string text;  // as the world description names it
    radio::AttributeHandle handle = 0;
};
struct CharacteristicModel {
    CBUUID uuid;
    std::string text;
    CBCharacteristicProperties properties = 0;
    std::optional<NotificationConfig> notifications;
    std::vector<DescriptorModel> descriptors;
    radio::AttributeHandle handle = 0;  // its declaration; the value is at handle + 1
};
struct ServiceModel {
    CBUUID uuid;
    std::string text;
    std::vector<CharacteristicModel> characteristics;
    radio::AttributeHandle handle = 0;  // its start handle
};

/// Where a request is aimed: indices into the device's tree (npos where not applicable).
struct AttributePath {
    static constexpr size_t npos = static_cast<size_t>(-1);
    size_t service = npos;
    size_t characteristic = npos;
    size_t descriptor = npos;
};

/// A virtual device: its fixed description, and the state that every manager's link to it shares.
struct Device : std::enable_shared_from_this<Device> {
    /// Builds the device, with the plug's attributes for "model": "plug". Throws std::invalid_argument.
    explicit Device(PeripheralConfig config);

    // Fixed after construction.
    PeripheralConfig config;
    std::string id;  // upper case
    std::vector<ServiceModel> services;
    AdvertisementData advertisement;
    radio::AdvertisementReport report;  // what every advertisement reports to a radio session
    std::unordered_map<radio::AttributeHandle, AttributePath> attributes;  // every attribute by its handle
    std::vector<CBUUID> advertised_services;
    uint32_t phase_ms = 0;  // first advertisement after this long into a scan
    bool plug = false;
    size_t plug_service = 0, plug_command = 0, plug_status = 0;

    std::atomic<bool> removed{false};

    /// Serialises notifications, so that subscribers see a characteristic's values in the order set.
    std::mutex notify_mutex;

    mutable std::mutex mutex;  // guards every field below
    std::vector<std::vector<std::optional<std::string>>> values;
    std::vector<std::vector<std::vector<std::optional<std::string>>>> descriptor_values;
    std::vector<ReceivedWrite> writes;
    std::vector<std::weak_ptr<CBPeripheral::Impl>> links;  // links connected to this device
    std::vector<std::weak_ptr<SimLink>> radio_links;       // radio sessions' links connected to this device
    Faults device_faults;
    std::vector<Faults> service_faults;
    std::vector<std::vector<Faults>> characteristic_faults;
    std::vector<std::vector<std::vector<Faults>>> descriptor_faults;
    std::vector<std::vector<bool>> periodic_running;
    std::vector<std::vector<size_t>> periodic_next;
    bool plug_on = false;
    unsigned plug_remaining = 0;
    uint64_t plug_countdown = 0;  // generation of the running countdown

    std::optional<Fault> fault(const AttributePath& path, const std::string& kind) const;
    void setFault(const AttributePath& path, const std::string& kind, std::optional<Fault> fault);
    /// Finds a characteristic by UUID texts; false when the device has none such.
    bool find(const std::string& service, const std::string& characteristic, AttributePath& path) const;

    void attach(const std::shared_ptr<CBPeripheral::Impl>& link);
    void detach(const CBPeripheral::Impl* link);
    void attach(const std::shared_ptr<SimLink>& link);
    void detach(const SimLink* link);
    std::vector<std::shared_ptr<SimLink>> radioLinks() const;

    /// The device takes a write. False when the device refuses it (the plug's invalid commands).
    bool receiveWrite(Scheduler& scheduler, size_t service, size_t characteristic, const std::string& data,
                      bool with_response);
    /// Sets a characteristic's value and notifies every subscribed link, in order.
    void publish(size_t service, size_t characteristic, const std::string& value);
    /// Notifies the plug's current status.
    void publishStatus();
    /// Starts the characteristic's periodic notifications if it has some and they are not running.
    void startPeriodic(Scheduler& scheduler, size_t service, size_t characteristic);

    std::string statusBytesLocked() const;

  private:
    void notifyLinks(size_t service, size_t characteristic, const std::string& value);
    void periodicTick(Scheduler& scheduler, size_t service, size_t characteristic);
    void countdownTick(Scheduler& scheduler, uint64_t generation);
    bool anySubscriber(size_t service, size_t characteristic);
};

/// The world's runtime state.
struct WorldState {
    Scheduler scheduler;

    mutable std::mutex mutex;  // guards every field below
    CBManagerState state = CBManagerState::PoweredOn;
    CBManagerAuthorization authorization = CBManagerAuthorization::AllowedAlways;
    std::optional<unsigned> state_delay_ms = 2;
    std::unordered_map<std::string, std::shared_ptr<Device>> devices;  // by upper-case identifier
    std::vector<std::shared_ptr<Device>> order;                        // in the order added
    std::vector<std::weak_ptr<CBCentralManager::Impl>> managers;
    std::vector<std::weak_ptr<SimCentral>> sessions;

    std::shared_ptr<Device> device(const std::string& identifier) const;
    std::vector<std::shared_ptr<Device>> devicesSnapshot() const;
    std::vector<std::shared_ptr<CBCentralManager::Impl>> managersSnapshot();
    std::vector<std::shared_ptr<SimCentral>> sessionsSnapshot();
};

/// The world behind every manager (World::get()'s runtime).
WorldState& worldState();

std::string upper(std::string text);
/// Property bits a characteristic needs for a subscription.
inline constexpr CBCharacteristicProperties kSubscribable =
    CBCharacteristicPropertyNotify | CBCharacteristicPropertyIndicate;

// Errors the radio hands to callbacks.
NSError attError(long code, const std::string& description);
NSError linkLossError();
NSError connectionFailedError();
NSError faultError();

/// The transmit buffer for writes without response holds this many packets.
inline constexpr size_t kTransmitBufferPackets = 20;
inline constexpr size_t kMaxAttributeLength = 512;
inline constexpr unsigned kDefaultMtu = 23;

/// The typed value a central sees for a descriptor's bytes.
CBDescriptorValue descriptorValue(const CBUUID& uuid, const std::string& bytes);

// Link operations the scheduler and the world run (CBPeripheral.cpp).
/// Loses the link (did-disconnect with `error`). With `epoch` set, only if the link is still that connection.
void loseLink(const std::shared_ptr<CBPeripheral::Impl>& link, std::optional<uint64_t> epoch, const NSError& error);
/// Takes the link down without an event (radio off, manager gone).
void dropLinkSilently(const std::shared_ptr<CBPeripheral::Impl>& link);
/// Queues a notification of `value` if the link is subscribed to the characteristic.
void deliverNotification(const std::shared_ptr<CBPeripheral::Impl>& link, const Device* device, size_t service,
                         size_t characteristic, const std::string& value);
bool linkSubscribed(const std::shared_ptr<CBPeripheral::Impl>& link, const Device* device, size_t service,
                    size_t characteristic);
/// Binds a disconnected peripheral to the device now carrying its identifier.
void bindDevice(CBPeripheral::Impl& link, const std::shared_ptr<Device>& device);
/// The connection state machine's two requests.
void connectLink(const std::shared_ptr<CBPeripheral::Impl>& link, CBCentralManager::Impl& manager);
void cancelLink(const std::shared_ptr<CBPeripheral::Impl>& link);

}  // namespace platform::sim

namespace platform {

/// A central's event, run on its queue with the manager held.
using CentralEvent = std::function<void(const CBCentralManagerPtr&)>;
/// A call of the manager's delegate, made only if the delegate is still alive when the event starts.
using CentralCall = std::function<void(CBCentralManagerDelegate&, CBCentralManager&)>;

struct CBCentralManager::Impl : std::enable_shared_from_this<CBCentralManager::Impl> {
    sim::WorldState* world = nullptr;
    std::weak_ptr<CBCentralManager> self;              // set once, before the manager is handed out
    std::weak_ptr<CBCentralManagerDelegate> delegate;  // fixed at creation
    dispatch_queue_t queue;                            // fixed at creation

    mutable std::mutex mutex;  // guards every field up to outbox_mutex
    CBManagerState state = CBManagerState::Unknown;
    bool known = false;                                            // the state delay has passed
    bool alive = true;                                             // false once the manager is destroyed
    std::unordered_map<std::string, CBPeripheralPtr> peripherals;  // by upper-case identifier; never shrinks
    std::shared_ptr<sim::Scan> scan;
    std::atomic<uint64_t> scan_generation{0};  // written under mutex; advertisement delivery reads it lock-free

    std::mutex outbox_mutex;           // guards the three fields below
    std::vector<CentralEvent> outbox;  // events in the order the radio made them
    bool drain_posted = false;         // a task to run the outbox is queued
    bool closed = false;               // the manager is gone: nothing more is queued

    /// Appends an event; the queue runs the outbox in one task.
    void enqueue(CentralEvent event);
    void enqueueCentral(CentralCall call);
    void drain();
    /// Stops the scan, if any. Called with `mutex` held.
    void stopScanLocked();
    /// The peripheral object for a device, made on first sight. Called with `mutex` held.
    const CBPeripheralPtr* peripheralForLocked(const std::shared_ptr<sim::Device>& device);
    /// The adapter's state became known (`first`, after the state delay) or changed.
    void applyAdapterState(bool first);
    void shutdown();
};

struct CBPeripheral::Impl {
    std::shared_ptr<sim::Guard> guard = std::make_shared<sim::Guard>();
    std::weak_ptr<CBCentralManager::Impl> manager;  // fixed at creation
    std::weak_ptr<CBPeripheral> self;               // fixed at creation
    std::string id;                                 // upper case, fixed
    NSUUID identifier;                              // fixed

    // Guarded by guard->mutex.
    std::shared_ptr<sim::Device> device;
    std::optional<std::string> name;
    std::weak_ptr<CBPeripheralDelegate> delegate;
    CBPeripheralState state = CBPeripheralState::Disconnected;
    uint64_t epoch = 0;  // bumped by every change of connection; answers of an older one are dropped
    unsigned mtu = sim::kDefaultMtu;
    std::optional<std::vector<CBServicePtr>> services;
    std::vector<CBServicePtr> cache;                 // by service index: the objects of this connection's tree
    std::set<std::pair<size_t, size_t>> subscribed;  // what the device notifies on this link
    struct Packet {
        size_t service, characteristic;
        std::string data;
    };
    std::deque<Packet> transmit;  // writes without response not yet on the air
    bool drain_armed = false;
    bool want_ready = false;  // a write was dropped for a full buffer: tell the delegate when room frees

    /// Back to disconnected: the tree, subscriptions, MTU and transmit buffer go. Called with the guard held.
    void resetLocked();
};

struct CBService::Impl {
    std::shared_ptr<sim::Guard> guard;
    CBUUID uuid;
    size_t index = 0;
    uint64_t epoch = 0;
    std::weak_ptr<CBPeripheral> peripheral;
    // Guarded by guard->mutex.
    std::optional<std::vector<CBCharacteristicPtr>> characteristics;
    std::vector<CBCharacteristicPtr> cache;  // by characteristic index
};

struct CBCharacteristic::Impl {
    std::shared_ptr<sim::Guard> guard;
    CBUUID uuid;
    size_t service_index = 0, index = 0;
    uint64_t epoch = 0;
    CBCharacteristicProperties properties = 0;
    std::weak_ptr<CBService> service;
    // Guarded by guard->mutex.
    std::optional<std::string> value;
    bool notifying = false;
    std::optional<std::vector<CBDescriptorPtr>> descriptors;
    std::vector<CBDescriptorPtr> cache;  // by descriptor index
};

struct CBDescriptor::Impl {
    std::shared_ptr<sim::Guard> guard;
    CBUUID uuid;
    size_t service_index = 0, characteristic_index = 0, index = 0;
    uint64_t epoch = 0;
    std::weak_ptr<CBCharacteristic> characteristic;
    // Guarded by guard->mutex.
    std::optional<CBDescriptorValue> value;
};

}  // namespace platform
