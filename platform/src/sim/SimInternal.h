#pragma once
// Private to the simulated world: its devices, scheduler and runtime state, shared by its sources.
//
// Locks: a device's `notify_mutex` comes before the radio sessions' locks (SimRadio.h); a device's `mutex`, the
// scheduler's and the world's `mutex` are leaves: nothing else is taken while they are held.

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

#include "platform/CBError.h"
#include "platform/CBTypes.h"
#include "platform/Radio.h"
#include "platform/sim/World.h"
#include "platform/sim/WorldConfig.h"

namespace platform::sim {

using Clock = std::chrono::steady_clock;

class Scheduler;
struct Device;
class SimCentral;
struct SimLink;

/// One advertisement waiting in a scan's wheel.
struct AdvEntry {
    Device* device;           // kept alive by Scan::devices
    radio::DeviceSlot* slot;  // the device's, in Scan::devices
    uint64_t due;             // in scheduler ticks (milliseconds)
    uint32_t interval;
};

/// A device taking part in a scan, with the slot its reports carry to the session's listener.
struct ScanMember {
    std::shared_ptr<Device> device;
    radio::DeviceSlot slot;
};

/// One scan of one manager: the devices' next advertisements in a timer wheel of one-millisecond slots.
struct Scan {
    static constexpr size_t kWheelSlots = 1024;

    std::weak_ptr<SimCentral> session;
    uint64_t generation = 0;  // the manager's scan generation this scan was started with
    bool duplicates = false;
    std::optional<std::vector<CBUUID>> filter;
    std::optional<int> rssi_floor;  // a device's advertisements are all as strong, so it is left out whole

    // Guarded by the scheduler's mutex; a slot's `note` belongs to the listener (see radio::DeviceSlot).
    std::deque<ScanMember> devices;             // a deque, so that slots keep their address as devices join
    std::unordered_set<const Device*> members;  // each device once, however it joined
    std::vector<std::vector<AdvEntry>> wheel = std::vector<std::vector<AdvEntry>>(kWheelSlots);
    std::vector<AdvEntry> scratch;
    /// Emptied slot buffers, handed to the next slot that fills, so that the few buffers in use keep their
    /// capacity instead of every slot of the wheel growing its own anew.
    std::vector<std::vector<AdvEntry>> free_buffers;
    std::vector<radio::Sighting> pending;  // this tick's advertisements
    std::vector<radio::Sighting> spare;    // a delivered batch, emptied, kept for its capacity
    uint64_t start_tick = 0;

    static uint32_t intervalOf(const Device& device);
    /// When the device first advertises, in ticks from the scan's start.
    static uint32_t phaseOf(const Device& device);
    bool matches(const Device& device) const;
    /// Before the scan starts: the device's first advertisement, relative to the start.
    void seed(const std::shared_ptr<Device>& device);
    /// Adds the device, first due at `due`; false when it is a member already.
    bool join(const std::shared_ptr<Device>& device, uint64_t due, uint32_t interval);
    /// Puts the entry in the slot of its due tick.
    void arm(const AdvEntry& entry);
};

/// The radio's clock: one thread per world that runs timed tasks and turns due advertisements into
/// one batch of reports per scan and tick.
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
    void addToScan(const std::shared_ptr<Scan>& scan, const std::shared_ptr<Device>& device);
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
    void addEntryLocked(Scan& scan, const std::shared_ptr<Device>& device, uint64_t now_tick);
    void advanceScanLocked(Scan& scan, uint64_t tick, uint64_t now_tick);
    struct Reports {
        std::shared_ptr<SimCentral> session;
        std::shared_ptr<Scan> scan;  // keeps the batch's devices and slots alive
        std::vector<radio::Sighting> sightings;
    };
    void collectReportsLocked(std::vector<Reports>& reports);

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
    /// What every advertisement reports to a radio session, the same object each time. Next to `removed`, which
    /// the scheduler reads for each advertisement, so that handing the report over finds it in cache.
    radio::AdvertisementReportPtr report;
    std::atomic<bool> removed{false};
    std::unordered_map<radio::AttributeHandle, AttributePath> attributes;  // every attribute by its handle
    std::vector<CBUUID> advertised_services;
    uint32_t phase_ms = 0;  // first advertisement after this long into a scan
    bool plug = false;
    size_t plug_service = 0, plug_command = 0, plug_status = 0;

    /// Serialises notifications, so that subscribers see a characteristic's values in the order set.
    std::mutex notify_mutex;
    /// The links a value being notified goes to; emptied after each, kept for its capacity. Guarded by
    /// notify_mutex, filled under `mutex` too.
    std::vector<std::shared_ptr<SimLink>> notified_links;

    mutable std::mutex mutex;  // guards every field below
    std::vector<std::vector<std::optional<std::string>>> values;
    std::vector<std::vector<std::vector<std::optional<std::string>>>> descriptor_values;
    std::vector<ReceivedWrite> writes;
    std::vector<std::weak_ptr<SimLink>> links;  // radio sessions' links connected to this device
    Faults device_faults;
    std::vector<Faults> service_faults;
    std::vector<std::vector<Faults>> characteristic_faults;
    std::vector<std::vector<std::vector<Faults>>> descriptor_faults;
    std::vector<std::vector<bool>> periodic_running;
    std::vector<std::vector<size_t>> periodic_next;
    unsigned failed_connects = 0;  // attempts failed for `connection.fail_first` so far
    Security bond = Security::None;  // the key the world's adapter keeps for the device; None: not bonded
    bool plug_on = false;
    unsigned plug_remaining = 0;
    uint64_t plug_countdown = 0;  // generation of the running countdown

    std::optional<Fault> fault(const AttributePath& path, const std::string& kind) const;
    void setFault(const AttributePath& path, const std::string& kind, std::optional<Fault> fault);
    /// Finds a characteristic by UUID texts; false when the device has none such.
    bool find(const std::string& service, const std::string& characteristic, AttributePath& path) const;

    void attach(const std::shared_ptr<SimLink>& link);
    void detach(const SimLink* link);
    std::vector<std::shared_ptr<SimLink>> linksSnapshot() const;

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
    /// Lists the live links in `notified_links`. Called with `notify_mutex` and `mutex` held.
    void listLinksLocked();
    /// Notifies the value to the links listed. Called with `notify_mutex` held.
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
    std::vector<std::weak_ptr<SimCentral>> sessions;
    /// The sessions' pairing agents, the default one first (the one installed last, as each asks to be it).
    std::deque<std::pair<std::weak_ptr<SimCentral>, std::shared_ptr<radio::PairingAgent>>> agents;

    std::shared_ptr<Device> device(const std::string& identifier) const;
    std::vector<std::shared_ptr<Device>> devicesSnapshot() const;
    std::vector<std::shared_ptr<SimCentral>> sessionsSnapshot();
};

/// The process-wide world (World::get()'s runtime).
WorldState& worldState();

std::string upper(std::string text);
/// Property bits a characteristic needs for a subscription.
inline constexpr CBCharacteristicProperties kSubscribable =
    CBCharacteristicPropertyNotify | CBCharacteristicPropertyIndicate;

// Errors the radio hands to callbacks besides a device's refusals.
NSError linkLossError();
NSError connectionFailedError();
NSError faultError();

/// The transmit buffer for writes without response holds this many packets.
inline constexpr size_t kTransmitBufferPackets = 20;
inline constexpr size_t kMaxAttributeLength = 512;
inline constexpr unsigned kDefaultMtu = 23;

}  // namespace platform::sim
