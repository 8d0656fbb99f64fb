#pragma once
// The platform-facing half of one remote peripheral: the platform peripheral's delegate, which turns
// the platform's asynchronous connection, discovery and GATT requests into blocking calls.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <platform/CoreBluetooth.h>
#include <platform/Deadline.h>
#include <tavrin/Service.h>
#include <tavrin/Types.h>

#include "backends/macos/ChangeSignal.h"
#include "backends/macos/DelegateRecords.h"
#include "backends/macos/TimeLimitsCell.h"

namespace Tavrin {

/// Delegate of one platform peripheral, owned by its `PeripheralBase`.
///
/// Threads: the blocking operations run on the caller's thread; the platform callbacks run on the
/// central manager's serial event queue. One mutex (`mutex_`) guards the bookkeeping records. It is
/// held only for short steps (registering a request and handing it to the platform, recording an
/// answer, looking a record up): never while a call waits, and never while a caller's value callback
/// runs. Each wait sleeps on `changes_`, which every answering event bumps and the platform's observer
/// bumps for every change of the peripheral's state, tree, subscriptions and write room (made on the
/// radio's thread, whose delegate event may come late or never reach a wait on the event queue); it
/// wakes for nothing else, and its limit is counted from its own start.
///
/// Requests: every request has its own slot in its attribute's queue; the answer fills the oldest
/// waiting slot of that kind (the link answers in order), an error answer included, so each call gets
/// its own answer, and a lost link ends every waiting slot as failed at once. A call that gives up
/// withdraws its slot. Requests are made on the attributes of the link that is up: the platform ignores
/// one on another link's attribute, so a call whose attribute's link has gone fails at once.
///
/// Callbacks: a value callback is called on the event queue with no lock of the library held, so it
/// may call any operation. `unsubscribe` empties the stored callback and then waits until a call of it
/// that is already running has returned (unless it runs inside that very call), so no value callback
/// runs after `unsubscribe` has returned. A blocking operation that can only complete through the event
/// queue (a read, a write with response, a descriptor request, a subscription change that is not
/// already in place, a connection that is not already up) fails at once when called on that queue,
/// with its usual exception and a console line, since it would wait for an answer that its own caller
/// holds up. `disconnect` and writes without response wait on the platform's state, not on the queue,
/// and work from a callback.
///
/// Lifetime: the platform holds this delegate weakly and locks it for the length of each event, so an
/// event either finds the delegate alive and keeps it alive until the event returns, or is not
/// delivered at all; no event reaches a destroyed delegate. When the owner lets go during an event,
/// the delegate is destroyed on the event queue once that event returns.
///
/// Names: the operations keep the platform object's selector names, as the delegate callbacks do;
/// the helpers and fields are snake_case.
class PeripheralBaseMacOS : public platform::CBPeripheralDelegate,
                            public std::enable_shared_from_this<PeripheralBaseMacOS> {
    struct ConstructionKey {
        explicit ConstructionKey() = default;
    };

  public:
    using ValueCallback = std::function<void(std::string)>;

    /// Makes the delegate and registers it with the peripheral (the platform holds it weakly, so it
    /// must already be owned by a shared_ptr when it is registered). `adapter_limits`, when given, are
    /// the limits this peripheral follows until it is given its own.
    static std::shared_ptr<PeripheralBaseMacOS> init(platform::CBPeripheralPtr peripheral,
                                                     platform::CBCentralManagerPtr centralManager,
                                                     std::shared_ptr<const TimeLimitsCell> adapter_limits = nullptr);
    PeripheralBaseMacOS(ConstructionKey, platform::CBPeripheralPtr peripheral,
                        platform::CBCentralManagerPtr centralManager,
                        std::shared_ptr<const TimeLimitsCell> adapter_limits);
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

    /// The limits of the calls that start now: this peripheral's own, else its adapter's. Any thread.
    TimeLimits time_limits() const { return limits_.get(); }
    /// Gives this peripheral limits of its own; throws `std::invalid_argument` for invalid ones.
    void set_time_limits(const TimeLimits& limits) { limits_.set(limits); }

    /// Connects (5.0 s) and discovers services (5.0 s), then each service's characteristics and each
    /// characteristic's descriptors (1.0 s each), one request at a time. Throws `OperationFailed` naming
    /// the stage that failed; an error answer or a lost link ends a stage at once. A connection that
    /// does not come up in time is cancelled. On a peripheral that is connected and fully discovered it
    /// returns at once and keeps every record and callback. A new link drops the records of the old one.
    void connect();
    /// Cancels the link and waits up to 5.0 s for it to go down; else throws `OperationFailed`. Every
    /// request still waiting then fails.
    void disconnect();
    /// Snapshot of the discovered tree, in the platform's order; no lock, no request.
    std::vector<Service> getServices() const;

    // Connection hooks, called on the event queue by `PeripheralBase`: they wake the waits; a
    // disconnection also ends every request still waiting on the link that went.
    void delegateDidConnect();
    void delegateDidDisconnect();
    /// True when called on the event queue that delivers this peripheral's events (inside a callback).
    bool is_on_event_queue() const;

    // Lookups by the caller's UUID text; no lock. An unparsable text counts as not found.
    platform::CBServicePtr findService(const std::string& service_uuid) const;
    platform::CBCharacteristicPtr findCharacteristic(const std::string& characteristic_uuid,
                                                     const platform::CBServicePtr& service) const;
    platform::CBDescriptorPtr findDescriptor(const std::string& descriptor_uuid,
                                             const platform::CBCharacteristicPtr& characteristic) const;
    /// The first service of the UUID that has the characteristic, and that characteristic: ServiceNotFound when no
    /// service has the UUID, CharacteristicNotFound when none of them has the characteristic.
    std::pair<platform::CBServicePtr, platform::CBCharacteristicPtr> findServiceAndCharacteristic(
        const std::string& service_uuid, const std::string& characteristic_uuid) const;

    // GATT operations; each request waits at most 1.0 s for its answer.
    std::string read(const std::string& service_uuid, const std::string& characteristic_uuid);
    void writeRequest(const std::string& service_uuid, const std::string& characteristic_uuid,
                      const std::string& payload);
    /// Waits (up to 1.0 s) for room in the link's transmit buffer, then hands the write over. A payload
    /// longer than the link takes without response, no room in time, or a link that went before the write
    /// was taken, throws `OperationFailed`: a call that returns handed its write to the link that is up.
    void writeCommand(const std::string& service_uuid, const std::string& characteristic_uuid,
                      const std::string& payload);
    /// `callback` runs on the event queue without any lock of the library; what it throws is logged.
    void notify(const std::string& service_uuid, const std::string& characteristic_uuid, ValueCallback callback,
                Delivery delivery = Delivery::Shared);
    void indicate(const std::string& service_uuid, const std::string& characteristic_uuid, ValueCallback callback);
    /// Returns once the subscription has ended and no call of its callback is running (see above).
    void unsubscribe(const std::string& service_uuid, const std::string& characteristic_uuid);
    std::string read(const std::string& service_uuid, const std::string& characteristic_uuid,
                     const std::string& descriptor_uuid);
    void write(const std::string& service_uuid, const std::string& characteristic_uuid,
               const std::string& descriptor_uuid, const std::string& payload);

    /// What the records hold, by characteristic UUID text (diagnostics and tests). Of characteristics
    /// that share a UUID, the one whose record was made first is shown.
    std::map<std::string, characteristic_state_t> characteristic_extras() const;

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
    using Clock = std::chrono::steady_clock;
    using Lock = std::lock_guard<std::mutex>;

    // Records, made on first use; called with mutex_ held.
    characteristic_extras_t& record_locked(const platform::CBCharacteristicPtr& characteristic);
    descriptor_extras_t* descriptor_record_locked(const platform::CBDescriptorPtr& descriptor);
    characteristic_extras_t* find_record_locked(const platform::CBCharacteristicPtr& characteristic);
    // Ends every waiting request as failed; called with mutex_ held.
    void fail_all_locked();

    // Registers a request in the queue that `queue_of` gives (under mutex_) and hands it to the
    // platform in the same step, so that answers keep the order of the requests.
    template <typename QueueOf, typename Send>
    request_ptr send(QueueOf queue_of, Send send_request);
    // Waits until `done` (called with mutex_ held) holds or `limit` has passed since the call; true when done.
    template <typename Done>
    bool wait_for(std::chrono::milliseconds limit, Done done);
    // The same up to `deadline`.
    template <typename Done>
    bool wait_until(Clock::time_point deadline, Done done);
    // Takes a request off the queue that `queue_of` gives.
    template <typename QueueOf>
    void withdraw(QueueOf queue_of, const request_ptr& request);
    // Wakes every wait; called after an answer was recorded (with or without mutex_ held).
    void signal();
    // The limits of a call that starts now. A change is told to the platform first, for a radio whose own
    // timeouts must follow them.
    TimeLimits limits_for_call();
    // Throws the operation's usual exception, with a console line, when called on the event queue.
    void refuse_on_event_queue(const char* operation) const;
    bool link_up() const;
    /// Whether `service` (and so every attribute under it) belongs to the link that is up.
    bool of_link_up(const platform::CBServicePtr& service) const;

    const platform::CBPeripheralPtr peripheral_;           // set at construction, read-only after
    const platform::CBCentralManagerPtr central_manager_;  // set at construction, read-only after
    PeripheralTimeLimits limits_;                          // guards itself

    mutable std::mutex mutex_;
    // Bumped by every change that may end a wait; its own lock is a leaf, taken without mutex_ by the waits.
    // Shared with the platform peripheral's observer, which may outlive this object.
    const std::shared_ptr<ChangeSignal> changes_ = std::make_shared<ChangeSignal>();
    // Platform characteristic object -> its record. Guarded by mutex_.
    std::map<const platform::CBCharacteristic*, characteristic_extras_t> characteristic_extras_;
    // Discovery requests by their target (the peripheral, a service, a characteristic). Guarded by mutex_.
    std::map<const void*, request_queue_t> discoveries_;
    uint64_t next_record_order_ = 0;  // guarded by mutex_
    // The service list whose whole tree a connect discovered, last; while the platform's list is this
    // one, the link that is up is fully discovered. Guarded by mutex_.
    std::optional<std::vector<platform::CBServicePtr>> discovered_;
    // The limits last told to the platform (its defaults until then). Guarded by mutex_.
    TimeLimits told_;
};

// The request steps shared by the connection code and the GATT requests.

template <typename QueueOf, typename Send>
request_ptr PeripheralBaseMacOS::send(QueueOf queue_of, Send send_request) {
    Lock lock(mutex_);
    request_queue_t& queue = queue_of();
    request_ptr request = queue.add();
    try {
        send_request();
    } catch (...) {
        queue.remove(request);
        throw;
    }
    return request;
}

template <typename Done>
bool PeripheralBaseMacOS::wait_for(std::chrono::milliseconds limit, Done done) {
    return wait_until(platform::deadlineAfter<Clock>(limit), done);
}

template <typename Done>
bool PeripheralBaseMacOS::wait_until(Clock::time_point deadline, Done done) {
    for (;;) {
        // Taken before the look: a change made after it moves the count on, and the sleep ends at once.
        const uint64_t seen = changes_->generation();
        {
            Lock lock(mutex_);
            if (done()) {
                return true;
            }
        }
        if (!changes_->wait_past(seen, deadline)) {
            return false;  // nothing changed since the last look, which found the wait not done
        }
    }
}

template <typename QueueOf>
void PeripheralBaseMacOS::withdraw(QueueOf queue_of, const request_ptr& request) {
    Lock lock(mutex_);
    queue_of().remove(request);
}

}  // namespace Tavrin
