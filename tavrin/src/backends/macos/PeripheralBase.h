#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <platform/Dispatch.h>
#include <tavrin/Service.h>
#include <tavrin/TimeLimits.h>
#include <tavrin/Types.h>

#include "callback/safe_callback.h"

namespace Tavrin {

class AdapterBaseMacOS;
class PeripheralBaseMacOS;
class TimeLimitsCell;

/// The backend object behind every `Peripheral` handle: the latest advertisement's facts, the
/// caller's connection callbacks, and forwarding to the platform delegate.
/// Made only by `AdapterBase`, on a peripheral's first advertisement; always held by shared_ptr.
///
/// Threads: the operations run on the caller's thread (or on the event queue, when called from a
/// callback there); `update_advertising_data` and the `delegate_did_...` entries on the event queue.
/// No lock of the library is held while a caller's callback runs, the callback holders' included.
///
/// Lifetime: it keeps the central manager's delegate (and so the manager and its event queue) alive,
/// so it goes on working, events and callbacks included, after the adapter is gone.
class PeripheralBase {
  public:
    /// `peripheral` is the platform `CBPeripheral*`, `central_manager` the `CBCentralManager*`;
    /// `central`, when given, is the central manager's delegate, kept alive with this object;
    /// `adapter_limits`, when given, the adapter's time limits, which this peripheral follows until it
    /// is given its own.
    PeripheralBase(void* peripheral, void* central_manager, advertising_data_t advertising_data,
                   std::shared_ptr<AdapterBaseMacOS> central = nullptr,
                   std::shared_ptr<const TimeLimitsCell> adapter_limits = nullptr);
    ~PeripheralBase();
    PeripheralBase(const PeripheralBase&) = delete;
    PeripheralBase& operator=(const PeripheralBase&) = delete;

    void* underlying() const;

    std::string identifier();
    std::string address();
    AddressType address_type();
    int16_t rssi();
    int16_t tx_power();
    uint16_t mtu();

    TimeLimits time_limits();
    void set_time_limits(const TimeLimits& limits);

    void connect();
    /// Takes the link down, then calls the disconnected callback on this thread, once: the platform's
    /// disconnection event that the request brings calls nothing, whenever it comes. Never waits for
    /// that event.
    void disconnect();
    bool is_connected();
    bool is_connectable();
    // Pairing (PeripheralPairing.cpp).
    void pair();
    void cancel_pairing();
    bool is_paired();
    void unpair();

    std::vector<Service> services();
    std::vector<Service> advertised_services();
    std::map<uint16_t, std::string> manufacturer_data();

    std::string read(const std::string& service, const std::string& characteristic);
    void write_request(const std::string& service, const std::string& characteristic, const std::string& data);
    void write_command(const std::string& service, const std::string& characteristic, const std::string& data);
    void notify(const std::string& service, const std::string& characteristic,
                std::function<void(std::string payload)> callback, Delivery delivery = Delivery::Shared);
    void indicate(const std::string& service, const std::string& characteristic,
                  std::function<void(std::string payload)> callback);
    void unsubscribe(const std::string& service, const std::string& characteristic);

    std::string read(const std::string& service, const std::string& characteristic, const std::string& descriptor);
    void write(const std::string& service, const std::string& characteristic, const std::string& descriptor,
               const std::string& data);

    void set_callback_on_connected(std::function<void()> on_connected);
    void set_callback_on_disconnected(std::function<void()> on_disconnected);

    // Called by AdapterBase on the event queue.
    void update_advertising_data(advertising_data_t advertising_data);
    void delegate_did_connect();
    void delegate_did_disconnect();

  private:
    // Both set once in the constructor, then read-only. The central delegate is kept only to keep
    // the connection events coming once the adapter is gone.
    const std::shared_ptr<AdapterBaseMacOS> central_;
    std::shared_ptr<PeripheralBaseMacOS> delegate_;
    // The queue on which this peripheral's events arrive; set in the constructor, then read-only.
    const platform::dispatch_queue_t queue_;

    std::mutex advertising_mutex_;  // guards rssi_, tx_power_, connectable_, manufacturer_data_, service_data_
    int16_t rssi_;
    int16_t tx_power_;
    bool connectable_;
    // How many disconnect() calls answer for the disconnection events queued so far: raised when
    // one starts, lowered by a task it queues once the link is down, which runs after any event its
    // request brought. While raised, a disconnection event calls no callback. Atomic; shared with
    // those tasks, which may outlive this object.
    const std::shared_ptr<std::atomic<unsigned>> disconnect_claims_;
    // A connection event came since the last disconnection event. Event queue only.
    bool link_reported_up_ = false;
    std::map<uint16_t, std::string> manufacturer_data_;
    std::map<std::string, std::string> service_data_;

    // One pair() at a time: `pairing_` is set while one runs, so that a second one waits for its
    // outcome (on `pairing_done_`) instead of pairing twice. Guarded by pairing_mutex_, which is held
    // only to read or change them (and to hand a pairing to the platform or cancel it there). Each
    // cancel_pairing() counts in `pairing_cancels_`: a pair() that sees the count move since it began
    // ends; one pairing on the platform already (`pairing_started_`) is cancelled there.
    std::mutex pairing_mutex_;
    std::condition_variable pairing_done_;
    bool pairing_ = false;
    bool pairing_started_ = false;
    uint64_t pairing_cancels_ = 0;

    zem::safe_callback<void()> callback_on_connected_;
    zem::safe_callback<void()> callback_on_disconnected_;
};

}  // namespace Tavrin
