#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Exceptions.h"
#include "Service.h"
#include "TimeLimits.h"
#include "Types.h"

namespace Tavrin {

class PeripheralBase;

/// Handle to one remote device. Copies share one backend object; handles come from the adapter's
/// scan callbacks and `scan_get_results`. Every operation but `initialized()` throws
/// `Exception::NotInitialized` on an unbound handle; the GATT operations also throw
/// `Exception::NotConnected` while the peripheral is not connected. All operations block the calling
/// thread; GATT requests give up after 1.0 s with `Exception::OperationFailed` (by default: see
/// `set_time_limits`), and fail at once when the device answers with an error or the link is lost.
/// Each request gets its own answer, also when several threads use one peripheral at once; each
/// call's limit counts from its own start.
///
/// Callbacks. Value callbacks (`notify`, `indicate`), the scan callbacks and the disconnected callback
/// of a link lost without a request run on the library's event queue, one at a time, and no lock of
/// the library is held while they run: a callback may call any operation, and may take the caller's
/// own locks. But the answers to requests arrive on that same queue, which waits for the callback to
/// return. So, called from inside such a callback, an operation that needs an answer fails at once
/// with its usual `Exception::OperationFailed` and a console line saying it cannot wait on its own
/// queue: `read`, `write_request`, the descriptor `read` and `write`, `notify`/`indicate` on a
/// characteristic that is not yet subscribed, `unsubscribe` of one that is, and `connect` of a
/// peripheral that is not already connected. What needs no answer from the queue works there:
/// `disconnect`, `write_command`, replacing the callback of an active subscription, the queries.
/// A callback that waits for the caller's lock while the caller, holding it, waits for an answer
/// stalls that call until its limit: keep such locks out of callbacks or away from blocking calls.
class Peripheral {
  public:
    Peripheral();
    virtual ~Peripheral();

    // A handle keeps its backend alive for as long as it lives, also for the length of each call made
    // through it (a callback may drop the last handle), and it keeps working after the adapter handle
    // that found it is gone: events, callbacks and link-loss reports included.

    bool initialized() const;
    /// The platform's peripheral object.
    void* underlying() const;

    /// The advertised name, or the empty string.
    std::string identifier();
    /// The platform's per-device UUID text.
    std::string address();
    /// The peripheral's address kind where the radio tells it (BlueZ: `Public` or `Random`), else
    /// `Unspecified`.
    AddressType address_type();
    /// Signal strength of the latest advertisement, dBm.
    int16_t rssi();
    /// Advertised transmit power, -32768 when none was advertised.
    int16_t tx_power();
    /// The longest write without response the link takes, in bytes.
    uint16_t mtu();

    /// The time limits of this peripheral's calls: its own once set, else its adapter's (see
    /// `TimeLimits`). The limits named below in seconds are the defaults.
    TimeLimits time_limits();
    /// Gives this peripheral limits of its own, for the calls that start from now on; it no longer
    /// follows its adapter's. Throws `std::invalid_argument` naming the first limit that is not
    /// positive, and then keeps the limits it had.
    void set_time_limits(const TimeLimits& limits);

    /// Connects and discovers every service, characteristic and descriptor; blocks until done
    /// (connection 5.0 s, each discovery step at most 1.0 s or 5.0 s for services). A connection that
    /// does not come up in time is cancelled. Throws `Exception::OperationFailed` naming the stage that
    /// failed. Then calls the connected callback. On a peripheral that is already connected it returns
    /// at once and keeps every subscription. Fails at once inside a library callback unless connected.
    void connect();
    /// Disconnects, blocking up to 5.0 s; then calls the disconnected callback on this thread.
    void disconnect();
    bool is_connected();
    bool is_connectable();
    /// Pairing, where the radio pairs with the device (BlueZ; a simulated device whose world gives it
    /// `pairing`); elsewhere these three throw `Exception::OperationNotSupported`, as on the platform
    /// whose own framework pairs by itself.
    /// `pair()` connects first if needed (within the connection limits), then pairs, asking the adapter's
    /// pairing agent (or, without one, the system's default agent; with none at all only a device that
    /// pairs without questions pairs). The pairing waits at most the pairing limit (`TimeLimits::pairing`,
    /// 30.0 s unless set), then is canceled, which may take up to 5.0 s more; on an already paired device
    /// it returns at once. A failure (a wrong passkey, a refused confirmation, the link lost, the limit
    /// reached) throws `Exception::OperationFailed` ("Pair") after a console line naming what the system
    /// said. Two threads pairing one peripheral: the second waits for the first's pairing to end, then
    /// returns if it paired and pairs itself if it did not.
    void pair();
    /// Ends this peripheral's pairing under way, from another thread: the radio cancels it, and the
    /// `pair()` call waiting for it throws `Exception::OperationFailed` ("Pair") once the system has
    /// said so. A `pair()` still connecting first stops before it pairs, and the `pair()` calls waiting
    /// for their turn end at once. With no pairing under way it does nothing.
    void cancel_pairing();
    bool is_paired();
    /// Forgets the bond, disconnecting first if connected (the disconnected callback runs as for
    /// `disconnect()`). Throws `Exception::OperationFailed` ("Unpair") when the system refuses.
    void unpair();

    /// The discovered services while connected; the advertised services (with their data) otherwise.
    std::vector<Service> services();
    /// Every company's entry of the latest advertisement: company identifier -> the bytes after it.
    /// Over BlueZ and the simulated world every entry the radio reports; on the platform itself at
    /// most one, as the platform gives only one.
    std::map<uint16_t, std::string> manufacturer_data();

    /// Reads a characteristic's value. Throws `ServiceNotFound`, `CharacteristicNotFound`,
    /// `OperationNotSupported` (no read property) or `OperationFailed` ("Characteristic Read").
    std::string read(const std::string& service, const std::string& characteristic);
    /// Writes with response and waits for the confirmation (`OperationFailed` "Characteristic Write Request").
    void write_request(const std::string& service, const std::string& characteristic, const std::string& data);
    /// Writes without response; waits up to 1.0 s for room in the link's transmit buffer. A payload
    /// longer than `mtu()`, or no room in time, throws `OperationFailed` ("Characteristic Write Command"):
    /// a call that returns has handed its write to the link.
    void write_command(const std::string& service, const std::string& characteristic, const std::string& data);
    /// Subscribes; `callback` receives each value on the library's event queue, with no library lock
    /// held. A callback that throws is logged and the subscription goes on. Subscribing again replaces
    /// the callback (a call of the old one already running finishes). `delivery` chooses how the values
    /// come (see `Delivery`); it counts when the subscription starts, not when a callback is replaced.
    void notify(const std::string& service, const std::string& characteristic,
                std::function<void(std::string payload)> callback, Delivery delivery = Delivery::Shared);
    void indicate(const std::string& service, const std::string& characteristic,
                  std::function<void(std::string payload)> callback);
    /// Ends the subscription (`OperationFailed` "Characteristic Unsubscribe"). It returns only once no
    /// call of the subscription's callback is running any more, so the callback is never called after
    /// `unsubscribe` has returned; from inside that callback it does not wait for itself. That wait
    /// counts against the call's 1.0 s limit: a callback still running then makes it throw
    /// `OperationFailed` (the callback stays removed, so no new call of it starts, but the running one
    /// may still be going). So do not call it while holding a lock that the callback takes.
    void unsubscribe(const std::string& service, const std::string& characteristic);

    /// Reads a descriptor (`DescriptorNotFound`, `OperationFailed` "Descriptor Read").
    std::string read(const std::string& service, const std::string& characteristic, const std::string& descriptor);
    /// Writes a descriptor. The client characteristic configuration (0x2902) is changed through
    /// subscriptions only: writing it throws `OperationNotSupported`.
    void write(const std::string& service, const std::string& characteristic, const std::string& descriptor,
               const std::string& data);

    /// Connection callbacks. An empty function removes the callback.
    /// - Threads: the connected callback runs on the thread that called `connect()`, at the end of a
    ///   successful call. The disconnected callback runs on the thread that called `disconnect()`, once
    ///   per call, at its end; `disconnect()` does not wait for the platform's disconnection event, and
    ///   that event calls nothing, however late it comes. A disconnection nobody asked for (link loss,
    ///   the device going) calls it on the library's event queue instead; an attempt that never
    ///   connected calls nothing.
    /// - Locks: none of the library's is held while they run, so the connected callback may call
    ///   `disconnect()` and the disconnected one `connect()`, or each replace the other, while both run
    ///   on different threads. Calls of one callback fired from two threads may overlap (a link loss on
    ///   the queue while `disconnect()` reports on yours). Replacing or removing a callback from outside
    ///   any callback waits for its calls running on other threads to return, so do not do it while
    ///   holding a lock the callback takes; from inside a callback it does not wait (a call already
    ///   running elsewhere finishes, and the old callback is not called again).
    /// - On the event queue (the disconnected callback of a lost link), `connect()` and the requests
    ///   that wait for an answer fail at once, as in any callback there; `disconnect()` works.
    void set_callback_on_connected(std::function<void()> on_connected);
    void set_callback_on_disconnected(std::function<void()> on_disconnected);

  protected:
    std::shared_ptr<PeripheralBase> internal_;
};

}  // namespace Tavrin
