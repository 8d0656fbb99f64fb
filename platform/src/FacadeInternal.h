#pragma once
// Private to the façade: the objects behind CoreBluetooth.h, shared by its sources. The façade talks to its
// radio through platform/Radio.h only.
//
// Locks, always taken in this order and never the other way round:
//   manager `delivery_mutex` -> manager `scan_mutex` -> peripheral `request_mutex` -> manager `mutex`
//   -> peripheral `guard->mutex` -> manager `adv_mutex` / `outbox_mutex` -> queue internals.
// A radio event only ever tries `delivery_mutex`, never waits for it.
// No façade lock is held while a request goes to the radio, except `scan_mutex` and `request_mutex`, which no
// radio event ever takes: so a radio may call its events while a request of ours waits on it (a scan stop
// waits for a report being delivered). Radio events take only the locks from `mutex` on. Shared pointers
// obtained by locking a weak pointer are released only with no lock held, because dropping the last
// reference to a manager may destroy its queue, which waits for that queue's running task. A change observer
// (setChangeObserver) is called with none of these locks held but `request_mutex` (a connect or cancel tells it
// of the state it set), so it may take a lock of its own that the program holds while it calls the façade.

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/CoreBluetooth.h"
#include "platform/Radio.h"

namespace platform {

/// The one mutex of a peripheral: it guards the peripheral's connection state and every mutable field of the
/// attribute objects of its tree, so that a getter on any thread sees a consistent snapshot.
struct Guard {
    std::mutex mutex;
};

/// Told of a change a blocked caller may be waiting for (see setChangeObserver). Shared, so that a change made
/// under a lock hands it on and calls it once the lock is released.
using ChangeObserver = std::shared_ptr<const std::function<void()>>;

/// Calls an observer taken under a lock; call it with no façade lock held.
inline void tell(const ChangeObserver& observer) {
    if (observer) {
        (*observer)();
    }
}

/// A central's event, run on its queue with the manager held.
using CentralEvent = std::function<void(const CBCentralManagerPtr&)>;
/// A call of the manager's delegate, made only if the delegate is still alive when the event starts.
using CentralCall = std::function<void(CBCentralManagerDelegate&, CBCentralManager&)>;

/// Reports the radio may hold back for the queue before it drops repeats of devices already reported in the
/// scan, as a saturated scanner does: the backlog stays bounded, and no device's first report is lost.
inline constexpr size_t kAdvertBacklog = 8192;
/// The parts in which a radio batch larger than the backlog is handed to the queue.
inline constexpr size_t kHandOverPart = 1024;
/// Batches of events one task of the queue runs before it yields to the queue's other work.
inline constexpr unsigned kDrainRounds = 16;
/// The capacity of a delivered batch kept for the next one: enough for a scan that steadily brings batches of
/// ten thousand devices (up to 640 KiB), whose buffers would otherwise be given back and faulted in anew.
inline constexpr size_t kSpareAdverts = 16384;
/// The capacity of a run outbox kept for the next one.
inline constexpr size_t kSpareOutbox = 1024;

struct CBCentralManager::Impl : radio::RadioCentralEvents, std::enable_shared_from_this<CBCentralManager::Impl> {
    std::shared_ptr<radio::RadioCentral> radio;        // fixed after creation
    std::weak_ptr<CBCentralManager> self;              // set once, before the manager is handed out
    std::weak_ptr<CBCentralManagerDelegate> delegate;  // fixed at creation
    dispatch_queue_t queue;                            // fixed at creation

    std::mutex scan_mutex;  // serialises scan starts and stops to the radio

    mutable std::mutex mutex;  // guards the fields up to scan_generation
    CBManagerState state = CBManagerState::Unknown;
    bool alive = true;  // false once the manager is destroyed
    bool scanning = false;
    ChangeObserver state_observer;  // told of every change of `state`
    /// Bumped by every start and stop of a scan, odd exactly while scanning. Written under mutex; the radio's
    /// reports and their delivery read it lock-free.
    std::atomic<uint64_t> scan_generation{0};

    /// What the radio's events know of a device. Touched only inside radio events (the radio runs them one at
    /// a time) and after the session is closed. The radio's slots for the device note its address.
    struct Seen {
        radio::AdvertisementReportPtr report;  // the last report taken: the same one again changes nothing
        std::shared_ptr<const AdvertisementData> advertisement;  // the last one, pointed to by the queued reports
        uint64_t generation = 0;                                 // the scan it was last reported in
        int rssi = 0;                                            // the last report's
        CBPeripheralPtr peripheral;
        std::optional<std::string> name;
        bool forgotten = false;  // the radio forgot the device and has not reported it since
        bool listed = false;     // in `forgotten`
    };
    std::unordered_map<radio::DeviceKey, Seen*> seen;  // by device key
    /// Where the entries live: blocks that never move, filled in the order devices are first reported, which is
    /// the order a radio tends to report them in again, so that a batch reads them front to back. Same guard.
    std::vector<std::unique_ptr<Seen[]>> seen_blocks;
    size_t seen_count = 0;  // entries of the blocks ever used
    /// Entries of devices the radio forgot, each released once nothing refers to it any more (see `sweep`), and
    /// entries released, which new devices take before the blocks grow. Same guard.
    std::vector<Seen*> forgotten;
    std::vector<Seen*> released;
    size_t sweep_at = 1;            // the length of `forgotten` that calls for the next sweep
    uint64_t swept_generation = 0;  // the scan generation of the last sweep
    /// Held by the queue while it hands out queued advertisements, which point into entries: an entry goes only
    /// while the queue is not doing so, and only once no advertisement pointing to it can be handed out again.
    std::mutex delivery_mutex;

    /// One advertisement waiting for the queue.
    struct Advert {
        const CBPeripheralPtr* peripheral;  // in a `Seen`, which stays while this may be handed out
        const AdvertisementData* data;      // a `Seen::advertisement`, or one in `retired` since
        int rssi;
        bool first;  // the device's first report in the scan
        uint64_t generation;
    };
    std::mutex adv_mutex;         // guards the four fields below
    std::vector<Advert> adverts;  // at most kAdvertBacklog repeats, or one radio batch that found it empty
    bool adverts_posted = false;  // a task to deliver them is queued
    std::vector<Advert> spare;    // the last delivered batch, emptied, kept for its capacity
    /// Advertisements a device no longer sends, kept until the queue has delivered every report queued before
    /// they were replaced: the delivery task that takes them releases them after its batch.
    std::vector<std::shared_ptr<const AdvertisementData>> retired;
    // Scratch of the radio events, same guard as `seen`: the batch being taken, and the advertisements it
    // replaced.
    std::vector<Advert> staged;
    std::vector<std::shared_ptr<const AdvertisementData>> replaced;
    // Same guard: where the batch being taken stands. A batch that finds nothing waiting for the queue is not a
    // queue behind, and goes over whole; the bound applies to batches that arrive while older ones still wait.
    bool batch_started = false;  // its first part has been handed over
    bool batch_whole = false;    // nothing waited when it was

    /// A notified value waiting in the outbox, carried in place so that a stream of values allocates nothing
    /// per value.
    struct Notice {
        CBPeripheralPtr peripheral;  // held, so that its entry stays while the value waits
        CBCharacteristicPtr target;
        uint64_t epoch = 0;  // the peripheral's connection it came on
        std::string value;
    };
    /// One item of the outbox: `event` when set, else `notice`.
    struct Outgoing {
        CentralEvent event;
        Notice notice;
    };
    std::mutex outbox_mutex;       // guards the three fields below
    std::vector<Outgoing> outbox;  // events in the order the radio made them
    bool drain_posted = false;     // a task to run the outbox is queued
    bool closed = false;           // the manager is gone: nothing more is queued

    /// The entry of the device last notified, so that a stream on one link finds its peripheral without a lookup
    /// by key. Same guard as `seen`.
    Seen* last_notified = nullptr;
    /// Same guard: the run of notified values being handed over together.
    std::vector<Outgoing> staged_notices;

    /// Appends an event; the queue runs the outbox in one task.
    void enqueue(CentralEvent event);
    /// Appends a notified value, in turn with the events.
    void enqueue(Notice notice);
    void push(Outgoing&& item);
    /// Appends `count` items at once: one post wakes the queue for all of them.
    void pushAll(Outgoing* items, size_t count);
    /// Runs one notified value: sets the characteristic's value and tells the peripheral's delegate.
    void deliver(Notice& notice);
    void enqueueCentral(CentralCall call);
    void drain();
    void postDrain();
    void deliverAdverts();
    /// Starts or ends the scan's generation. Called with `mutex` held.
    void setScanningLocked(bool on);
    /// Starts (or restarts) the scan; with a floor, on a radio that filters by strength.
    void startScan(const std::optional<std::vector<CBUUID>>& serviceUUIDs, const CBOptions& options,
                   std::optional<int> rssiFloor);
    /// Stops the scan if it is still the one of `generation` (any scan when absent).
    void stopScan(std::optional<uint64_t> generation);
    /// The peripheral of a device the radio reported, or null.
    std::shared_ptr<CBPeripheral::Impl> peripheralOf(const radio::DeviceKey& device);
    /// Releases the entries of forgotten devices that nothing refers to any more: no peripheral object held
    /// outside (by the delegate, a queued event or value), no link, and no report of the current scan that the
    /// queue may still hand out. Those still referred to wait for a later sweep. Radio events only; does
    /// nothing while the queue hands out advertisements.
    void sweep();
    void release(Seen& entry);
    void shutdown();

    // The radio's events (see Radio.h).
    void radioStateChanged(CBManagerState state) override;
    void radioDiscovered(const std::vector<radio::Sighting>& batch) override;
    /// Brings what is known of the report's device up to date; the device's entry. For a report other than the
    /// last one its slot leads to.
    Seen& take(const radio::Sighting& sighting);
    /// A new entry for the report's device.
    Seen& enter(const radio::AdvertisementReport& report);
    /// Hands the staged reports, and the advertisements replaced meanwhile, to the queue.
    void handOver();
    void radioConnected(const radio::DeviceKey& device) override;
    void radioConnectFailed(const radio::DeviceKey& device, const NSError& error) override;
    void radioDisconnected(const radio::DeviceKey& device, const NSError* error) override;
    void radioNotified(const radio::DeviceKey& device, radio::AttributeHandle characteristic,
                       const std::string& value) override;
    void radioNotifiedTogether(const std::vector<radio::Notification>& run) override;
    /// Fills `notice` for a value of a characteristic discovered on the device's current link; false if none.
    bool noticeOf(const radio::DeviceKey& device, radio::AttributeHandle characteristic, const std::string& value,
                  Notice& notice);
    void radioScanEnded(const NSError& error) override;
    void radioForgot(const radio::DeviceKey& device) override;
};

struct CBPeripheral::Impl {
    std::shared_ptr<Guard> guard = std::make_shared<Guard>();
    std::weak_ptr<CBCentralManager::Impl> manager;  // fixed at creation
    std::shared_ptr<radio::RadioCentral> radio;     // fixed at creation: the manager's session
    std::weak_ptr<CBPeripheral> self;               // fixed at creation
    radio::DeviceKey key;                           // fixed
    NSUUID identifier;                              // fixed

    std::mutex request_mutex;  // serialises connects and cancels with their requests to the radio

    // Guarded by guard->mutex.
    std::optional<std::string> name;
    std::weak_ptr<CBPeripheralDelegate> delegate;
    CBPeripheralState state = CBPeripheralState::Disconnected;
    uint64_t epoch = 0;  // bumped by every change of connection; answers of an older one are dropped
    std::optional<std::vector<CBServicePtr>> services;
    std::map<radio::AttributeHandle, CBServicePtr> service_objects;  // this connection's, by handle
    std::unordered_map<radio::AttributeHandle, CBCharacteristicPtr> characteristic_objects;  // all services'
    unsigned in_flight = 0;   // writes without response the radio has not sent yet
    bool want_ready = false;  // a write was refused for want of room: tell the delegate when room frees
    ChangeObserver observer;  // told of every change a wait may look at (see CBPeripheral::setChangeObserver)

    /// Back to disconnected: the tree, subscriptions and write credit go. Called with the guard held.
    void resetLocked();
};

struct CBService::Impl {
    std::shared_ptr<Guard> guard;
    CBUUID uuid;
    radio::AttributeHandle handle = 0;
    uint64_t epoch = 0;
    std::weak_ptr<CBPeripheral> peripheral;
    // Guarded by guard->mutex.
    std::optional<std::vector<CBCharacteristicPtr>> characteristics;
    std::map<radio::AttributeHandle, CBCharacteristicPtr> objects;
};

struct CBCharacteristic::Impl {
    std::shared_ptr<Guard> guard;
    CBUUID uuid;
    radio::AttributeHandle handle = 0;
    uint64_t epoch = 0;
    CBCharacteristicProperties properties = 0;
    std::weak_ptr<CBService> service;
    // Guarded by guard->mutex.
    std::optional<std::string> value;
    bool notifying = false;
    std::optional<std::vector<CBDescriptorPtr>> descriptors;
    std::map<radio::AttributeHandle, CBDescriptorPtr> objects;
};

struct CBDescriptor::Impl {
    std::shared_ptr<Guard> guard;
    CBUUID uuid;
    radio::AttributeHandle handle = 0;
    uint64_t epoch = 0;
    std::weak_ptr<CBCharacteristic> characteristic;
    // Guarded by guard->mutex.
    std::optional<CBDescriptorValue> value;
};

/// The typed value a central sees for a descriptor's bytes.
CBDescriptorValue descriptorValue(const CBUUID& uuid, const std::string& bytes);

inline constexpr unsigned kDefaultMtu = 23;
inline constexpr size_t kMaxAttributeLength = 512;

}  // namespace platform
