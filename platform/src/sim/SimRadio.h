#pragma once
// The simulated world as a radio: one session per central, with its own scan and its own links to the
// world's devices.
//
// Locks, in this order: a session's `emit_mutex` -> its `mutex` -> a link's `mutex` -> a device's `mutex`;
// the scheduler's and the world's mutexes are leaves. A device's `notify_mutex` comes before `emit_mutex`.
// Events and completions run holding only `emit_mutex`, so the central may make requests from inside them;
// requests never take `emit_mutex`, so they never wait for an event.

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/Radio.h"
#include "platform/sim/WorldConfig.h"

namespace platform::sim {

struct Device;
struct Scan;
struct WorldState;
class SimCentral;

/// A pairing under way on one link (SimPairing.cpp).
struct SimPairing {
    uint64_t id = 0;
    uint64_t epoch = 0;  // the link's connection it runs on
    std::shared_ptr<radio::PairingAgent> agent;
    std::vector<radio::Done> done;                  // pair() requests it answers
    std::vector<std::function<void(bool)>> raised;  // requests waiting for the link's security
    bool asked = false;                             // a question to the agent is open
    bool device_started = false;                    // the device asked for it (a security request)
};

/// One session's link to one device.
struct SimLink {
    std::weak_ptr<SimCentral> session;  // fixed
    radio::DeviceKey key;               // fixed: the device's upper-case identifier

    std::mutex mutex;  // guards every field below
    std::shared_ptr<Device> device;
    CBPeripheralState state = CBPeripheralState::Disconnected;
    uint64_t epoch = 0;  // bumped by every change of connection; work of an older one is dropped
    unsigned mtu = 23;
    std::set<std::pair<size_t, size_t>> subscribed;  // what the device notifies on this link
    struct Packet {
        size_t service, characteristic;
        std::string data;
        radio::Done sent;
    };
    std::deque<Packet> transmit;  // writes without response not yet on the air
    bool drain_armed = false;
    Security security = Security::None;   // the key the link is encrypted with
    std::shared_ptr<SimPairing> pairing;  // the pairing under way, if any

    /// Back to disconnected: subscriptions, MTU and transmit buffer go. Called with `mutex` held.
    void resetLocked();
};

class SimCentral : public radio::RadioCentral, public std::enable_shared_from_this<SimCentral> {
  public:
    SimCentral(WorldState& world, std::weak_ptr<radio::RadioCentralEvents> events);
    /// A session dropped without close() still takes its scan off the radio.
    ~SimCentral() override;

    CBManagerState state() const override;
    void startScan(const std::optional<std::vector<CBUUID>>& services, bool duplicates) override;
    void startFilteredScan(const std::optional<std::vector<CBUUID>>& services, bool duplicates,
                           std::optional<int> rssiFloor) override;
    void stopScan() override;
    void connect(const radio::DeviceKey& device) override;
    void cancelConnection(const radio::DeviceKey& device) override;
    void discoverServices(const radio::DeviceKey& device, radio::ServicesDone done) override;
    void discoverCharacteristics(const radio::DeviceKey& device, radio::AttributeHandle service,
                                 radio::CharacteristicsDone done) override;
    void discoverDescriptors(const radio::DeviceKey& device, radio::AttributeHandle characteristic,
                             radio::DescriptorsDone done) override;
    void readCharacteristic(const radio::DeviceKey& device, radio::AttributeHandle characteristic,
                            radio::ValueDone done) override;
    void writeCharacteristic(const radio::DeviceKey& device, radio::AttributeHandle characteristic,
                             const std::string& value, radio::Done done) override;
    void writeWithoutResponse(const radio::DeviceKey& device, radio::AttributeHandle characteristic,
                              const std::string& value, radio::Done sent) override;
    // One way only: the world's devices hand each value to the central directly.
    void setNotify(const radio::DeviceKey& device, radio::AttributeHandle characteristic, bool enabled,
                   radio::NotifyDelivery delivery, radio::Done done) override;
    void readDescriptor(const radio::DeviceKey& device, radio::AttributeHandle descriptor,
                        radio::ValueDone done) override;
    void writeDescriptor(const radio::DeviceKey& device, radio::AttributeHandle descriptor, const std::string& value,
                         radio::Done done) override;
    unsigned mtu(const radio::DeviceKey& device) const override;
    unsigned transmitQueueDepth() const override;
    void close() override;

    // Pairing (SimPairing.cpp): a device with `pairing` in its description pairs as its method says, asking
    // the agent of the pair() or else the world's default agent; the bond is the world adapter's, shared by
    // every session.
    bool pairingSupported(const radio::DeviceKey& device) const override;
    bool isPaired(const radio::DeviceKey& device) const override;
    void pair(const radio::DeviceKey& device, std::shared_ptr<radio::PairingAgent> agent, radio::Done done) override;
    void cancelPairing(const radio::DeviceKey& device) override;
    void unpair(const radio::DeviceKey& device, radio::Done done) override;
    void setPairingAgent(std::shared_ptr<radio::PairingAgent> agent) override;
    void bondedDevices(radio::BondedDone done) override;

    // The world's side.
    /// The adapter's state became known (`first`, after the state delay) or changed.
    void applyAdapterState(bool first);
    /// Adds a device that joined the world to a running scan.
    void announce(const std::shared_ptr<Device>& device);
    /// Loses the link (disconnected with `error`). With `epoch` set, only if the link is still that connection.
    void loseLink(const std::shared_ptr<SimLink>& link, std::optional<uint64_t> epoch, const NSError& error);
    /// Tells the listener that the device left the world.
    void forget(const radio::DeviceKey& device);
    /// Notifies `value` if the link is subscribed to the characteristic.
    void notify(const std::shared_ptr<SimLink>& link, const Device* device, size_t service, size_t characteristic,
                const std::string& value);
    bool subscribed(const std::shared_ptr<SimLink>& link, const Device* device, size_t service, size_t characteristic);
    /// One tick's advertisements of `scan`, on the scheduler's thread.
    void deliverReports(const Scan& scan, const std::vector<radio::Sighting>& batch);

  private:
    /// Holds `emit_mutex` for one event or completion, and remembers the thread that runs it.
    class Emission {
      public:
        explicit Emission(SimCentral& session);
        ~Emission();
        /// The listener, or null when it is gone or the session is closed.
        const std::shared_ptr<radio::RadioCentralEvents>& listener() const noexcept { return listener_; }

      private:
        SimCentral& session_;
        std::lock_guard<std::mutex> lock_;
        std::shared_ptr<radio::RadioCentralEvents> listener_;
    };
    /// Waits for an event running on another thread to end.
    void barrier();

    std::shared_ptr<SimLink> findLink(const radio::DeviceKey& key) const;
    std::shared_ptr<SimLink> makeLink(const radio::DeviceKey& key);
    struct Admitted {
        std::shared_ptr<SimLink> link;
        uint64_t epoch = 0;
        std::shared_ptr<Device> device;
    };
    std::optional<Admitted> admit(const radio::DeviceKey& key);
    template <typename Task>
    void send(const std::optional<Admitted>& admitted, Task task);
    template <typename Apply, typename Call>
    bool answer(const Admitted& request, const std::string& fault_kind, size_t s, size_t c, size_t d,
                std::optional<NSError> error, Apply apply, Call call);
    void notifyBeforeAnswer(const Admitted& request, size_t service, size_t characteristic);
    void armDrainLocked(const std::shared_ptr<SimLink>& link);
    void drainTransmit(const std::shared_ptr<SimLink>& link, uint64_t epoch);
    void emitDisconnected(const std::shared_ptr<SimLink>& link, uint64_t epoch, const NSError* error);

    // Pairing's steps (SimPairing.cpp), on the scheduler's thread unless said otherwise.
    /// Any thread: answers `done` from the scheduler's thread.
    void answerLater(radio::Done done, std::optional<NSError> error);
    /// The key the link has now.
    Security securityOf(const Admitted& request) const;
    /// A request refused for want of `needed`: a device that pairs gets the link raised (pairing through the
    /// default agent unless the bond has the key already), then `then(true)` makes the request again; else
    /// `then(false)` lets the refusal stand.
    void raiseSecurity(const Admitted& request, Security needed, std::function<void(bool)> then);
    /// Any thread: joins the pairing under way on the link or starts one.
    void beginPairing(const Admitted& request, std::shared_ptr<radio::PairingAgent> agent, radio::Done done,
                      std::function<void(bool)> raised, bool device_started = false);
    /// The device of a link just up asks to pair: a pairing through the default agent, unless bonded.
    void securityRequested(const radio::DeviceKey& key);
    /// A request its attribute refused for want of `needed`: made `again` once the link is raised, else
    /// answered by `fail` with the refusal.
    void retryRaised(const Admitted& request, Security needed, NSError refused, std::function<void(SimCentral&)> again,
                     std::function<void(const NSError*)> fail);
    void askAgent(const std::shared_ptr<SimLink>& link, uint64_t id);
    /// Ends pairing `id` of the link: `error` null on success with the key `level`.
    void endPairing(const std::shared_ptr<SimLink>& link, uint64_t id, std::optional<NSError> error, Security level);
    /// Any thread: ends the link's pairing under way, if any, with `error`, from the scheduler's thread.
    void endPairingLater(const std::shared_ptr<SimLink>& link, NSError error);

    WorldState& world_;
    const std::weak_ptr<radio::RadioCentralEvents> events_;

    std::mutex emit_mutex_;                     // held while an event or completion of this session runs
    std::atomic<std::thread::id> emitting_{};   // the thread holding emit_mutex_
    std::atomic<bool> closed_{false};           // written under emit_mutex_ and mutex_
    std::atomic<uint64_t> scan_generation_{0};  // written under mutex_; report delivery reads it lock-free

    mutable std::mutex mutex_;                                         // guards every field below
    std::unordered_map<std::string, std::shared_ptr<SimLink>> links_;  // by device key
    std::shared_ptr<Scan> scan_;
    bool known_ = false;  // the state delay has passed
    CBManagerState reported_ = CBManagerState::Unknown;
};

/// The world's radio: sessions over the process-wide world.
class SimRadio : public radio::Radio {
  public:
    explicit SimRadio(WorldState& world) : world_(world) {}
    std::shared_ptr<radio::RadioCentral> openCentral(std::weak_ptr<radio::RadioCentralEvents> events) override;
    CBManagerAuthorization authorization() const override;

  private:
    WorldState& world_;
};

}  // namespace platform::sim
