// The BlueZ radio. One thread of its own (the loop) owns the bus connection, the mirror of bluetoothd's
// objects and every session's links; it touches them holding Core::coreMutex_, which it lets go only while it
// waits in poll(). Requests from other threads are handed to it as tasks, except that a read or write made
// while it waits is sent by the caller's thread itself under that mutex. D-Bus calls are all asynchronous
// with a timeout, and their replies, the signals, the radio's own timers and the events and completions they
// produce all run on the loop, one at a time.
//
// What other threads may read: the adapter state, the authorization and the MTUs (Core::snapshotMutex_), and
// each session's connected devices, scan flag and closed flag (SessionShared).

#include "BluezRadio.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "BluezObjects.h"

namespace platform::bluez {

using radio::AttributeHandle;
using radio::CharacteristicInfo;
using radio::CharacteristicsDone;
using radio::DescriptorInfo;
using radio::DescriptorsDone;
using radio::DeviceKey;
using radio::Done;
using radio::ServiceInfo;
using radio::ServicesDone;
using radio::ValueDone;

namespace {

using Clock = std::chrono::steady_clock;

// A bus that has not answered by then is reported as unsupported (the connection may still come later).
constexpr auto kBusConnectLimit = std::chrono::seconds(3);
constexpr auto kBusRetry = std::chrono::seconds(1);
constexpr auto kSetupTimeout = std::chrono::seconds(5);
// bluetoothd sets no connect timeout of its own; the backend cancels after its 5 s, this is the backstop.
constexpr auto kConnectTimeout = std::chrono::seconds(10);
constexpr auto kDisconnectTimeout = std::chrono::seconds(5);
// The backend waits 1 s for a GATT answer: a reply after that would only be dropped.
constexpr auto kRequestTimeout = std::chrono::seconds(1);
// The backend's limit for service discovery.
constexpr auto kResolveLimit = std::chrono::seconds(5);
constexpr int kDispatchBatch = 64;
// While nothing waits on the bus (no call awaiting its reply, no link being set up), the bus is looked at
// again at most this long after a pass that handled its traffic: advertisements and notifications then come a
// few at a time, not one wake each. Less than the shortest connection interval, which batches them anyway.
constexpr auto kCoalescing = std::chrono::milliseconds(5);
constexpr unsigned kDefaultMtu = 23;
constexpr unsigned kTransmitQueueDepth = 20;

const char* const kObjectManager = "org.freedesktop.DBus.ObjectManager";
const char* const kProperties = "org.freedesktop.DBus.Properties";
const char* const kAccessDenied = "org.freedesktop.DBus.Error.AccessDenied";

NSError lostError(const std::string& text) {
    return NSError{"CBErrorDomain", 7, text};
}
NSError linkLossError() {
    return NSError{"CBErrorDomain", 6, "The connection has timed out unexpectedly."};
}
NSError notConnectedError() {
    return NSError{"CBErrorDomain", 3, "The device is not connected."};
}
NSError unknownAttributeError() {
    return NSError{"CBErrorDomain", 2, "The attribute is unknown to bluetoothd."};
}
NSError unknownDeviceError() {
    return NSError{"CBErrorDomain", 12, "The device is unknown to bluetoothd."};
}
NSError badReplyError(const std::string& what) {
    return NSError{"org.freedesktop.DBus.Error.InvalidSignature", 0, "Unexpected reply from bluetoothd: " + what};
}

bool isTimeout(const NSError& error) {
    return error.domain == "org.freedesktop.DBus.Error.NoReply" ||
           error.domain == "org.freedesktop.DBus.Error.Timeout" ||
           error.domain == "org.freedesktop.DBus.Error.TimedOut";
}

// The part of a session other threads touch: its listener, and the flags that decide whether an event may
// still reach it.
class SessionShared {
  public:
    explicit SessionShared(std::weak_ptr<radio::RadioCentralEvents> listener) : listener_(std::move(listener)) {}

    // Events and completions come after the reports and notifications queued before them.
    template <typename F>
    void event(F&& deliver) {
        std::lock_guard<std::recursive_mutex> lock(deliveryMutex_);
        deliverQueuedLocked();
        if (closed_) {
            return;
        }
        if (const auto listener = listener_.lock()) {
            guarded([&] { deliver(*listener); });
        }
    }

    template <typename F>
    void completion(F&& complete) {
        std::lock_guard<std::recursive_mutex> lock(deliveryMutex_);
        deliverQueuedLocked();
        if (!closed_) {
            guarded(complete);
        }
    }

    // Loop thread: queue a report or a notification for the next flush(), which delivers those of one loop pass
    // together, so that the listener's queue is woken once for them, not once each.
    void discovered(const radio::AdvertisementReportPtr& report) { queued_.push_back(Pending{report, {}, 0, {}}); }
    void notified(const std::string& device, AttributeHandle handle, const std::string& value) {
        Pending& pending = queued_.emplace_back();
        pending.device = device;
        pending.handle = handle;
        pending.value = value;
    }

    void flush() {
        if (queued_.empty()) {
            return;
        }
        std::lock_guard<std::recursive_mutex> lock(deliveryMutex_);
        deliverQueuedLocked();
    }

    // Returns whether this call closed it. Waits for an event running on another thread.
    bool close() {
        std::lock_guard<std::recursive_mutex> lock(deliveryMutex_);
        const bool was_open = !closed_;
        closed_ = true;
        scanning_ = false;
        return was_open;
    }

    void setScanning(bool on) {
        std::lock_guard<std::recursive_mutex> lock(deliveryMutex_);
        scanning_ = on;
    }

    void setConnected(const std::string& device, bool on) {
        std::lock_guard<std::mutex> lock(connectedMutex_);
        if (on) {
            connected_.insert(device);
        } else {
            connected_.erase(device);
        }
    }

    bool isConnected(const std::string& device) const {
        std::lock_guard<std::mutex> lock(connectedMutex_);
        return connected_.count(device) != 0;
    }

  private:
    template <typename F>
    static void guarded(F&& f) {
        try {
            f();
        } catch (const std::exception& e) {
            NSLog("Exception in a BlueZ radio event: %@", std::string(e.what()));
        } catch (...) {
            NSLog("Unknown exception in a BlueZ radio event");
        }
    }

    // Called with deliveryMutex_ held, on the loop thread. The scanning and closed flags are those of the
    // moment of delivery, as they would be for a report delivered alone. Runs of reports go as one batch;
    // notifications in their turn between them.
    void deliverQueuedLocked() {
        if (queued_.empty()) {
            return;
        }
        // The items being delivered are apart from the queue, which stays usable meanwhile.
        delivering_.swap(queued_);
        const auto listener = closed_ ? nullptr : listener_.lock();
        if (listener) {
            const auto sendReports = [&] {
                if (!sightings_.empty()) {
                    if (scanning_) {
                        guarded([&] { listener->radioDiscovered(sightings_); });
                    }
                    sightings_.clear();
                }
            };
            for (const Pending& item : delivering_) {
                if (item.report) {
                    // Lent as plain pointers; delivering_ keeps the reports alive for the call.
                    sightings_.push_back(radio::Sighting{item.report.get(), nullptr});
                } else {
                    sendReports();
                    guarded([&] { listener->radioNotified(item.device, item.handle, item.value); });
                }
            }
            sendReports();
        }
        delivering_.clear();  // keeps its capacity for the next pass
    }

    // A report, or else a notification.
    struct Pending {
        radio::AdvertisementReportPtr report;
        std::string device;
        AttributeHandle handle = 0;
        std::string value;
    };

    const std::weak_ptr<radio::RadioCentralEvents> listener_;
    // Held while an event or completion of this session runs; guards closed_ and scanning_, so that close()
    // and stopScan() wait for a delivery under way and nothing is delivered after they return.
    std::recursive_mutex deliveryMutex_;
    bool closed_ = false;
    bool scanning_ = false;
    // Touched by the loop thread only: the reports and notifications of the current loop pass, the items being
    // delivered, and the batch of reports being lent.
    std::vector<Pending> queued_;
    std::vector<Pending> delivering_;
    std::vector<radio::Sighting> sightings_;
    mutable std::mutex connectedMutex_;  // guards connected_ (read by mtu() on any thread)
    std::set<std::string> connected_;
};

class Core;
// The core whose loop runs on this thread, if any.
thread_local const Core* tLoopCore = nullptr;

class Core {
  public:
    using Task = std::function<void(Core&)>;

    Core() {
        if (const char* wanted = std::getenv("TAVRIN_BLUEZ_ADAPTER"); wanted && *wanted) {
            wantedAdapter_ = lastElement(wanted);
        }
    }

    ~Core() {
        stop();
        // The loop holds the core, so this runs on the loop thread only after run() has returned, where
        // the thread cannot join itself.
        if (loopThread_.joinable()) {
            loopThread_.detach();
        }
        if (wakeFd_ >= 0) {
            ::close(wakeFd_);
        }
    }

    Core(const Core&) = delete;
    Core& operator=(const Core&) = delete;

    void start(const std::shared_ptr<Core>& self) {
        self_ = self;
        wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        // The loop keeps the core alive until run() returns: a stop() on the loop thread (the last handle let
        // go inside a task) must not destroy what run() still reads.
        loopThread_ = std::thread([self] { self->run(); });
    }

    // Stops the loop and waits for it; pending tasks are dropped.
    void stop() {
        {
            std::lock_guard<std::mutex> lock(tasksMutex_);
            if (stopping_) {
                return;
            }
            stopping_ = true;
        }
        wake();
        if (loopThread_.joinable()) {
            if (loopThread_.get_id() == std::this_thread::get_id()) {
                loopThread_.detach();
            } else {
                loopThread_.join();
            }
        }
    }

    void post(Task task) {
        bool first = false;
        {
            std::lock_guard<std::mutex> lock(tasksMutex_);
            if (stopping_) {
                return;
            }
            first = tasks_.empty();
            tasks_.push_back(std::move(task));
        }
        // The loop looks at the queue before it waits: only the first task since it last took them need wake it.
        if (first) {
            wake();
        }
    }

    CBManagerState state() const {
        std::lock_guard<std::mutex> lock(snapshotMutex_);
        return state_;
    }

    CBManagerAuthorization authorization() const {
        std::lock_guard<std::mutex> lock(snapshotMutex_);
        return authorization_;
    }

    unsigned mtu(const std::string& address) const {
        std::lock_guard<std::mutex> lock(snapshotMutex_);
        const auto it = mtus_.find(address);
        return it == mtus_.end() ? kDefaultMtu : it->second;
    }

    uint64_t newSessionId() { return ++nextSession_; }

    // ---- Session requests, run on the loop ----

    void openSession(uint64_t id, std::shared_ptr<SessionShared> shared) {
        auto& session = sessions_[id];
        session.shared = std::move(shared);
        const CBManagerState now = state();
        if (now != CBManagerState::Unknown) {
            session.shared->event([&](radio::RadioCentralEvents& l) { l.radioStateChanged(now); });
        }
    }

    void closeSession(uint64_t id) {
        const auto it = sessions_.find(id);
        if (it == sessions_.end()) {
            return;
        }
        const auto links = it->second.links;
        for (const auto& [address, link] : links) {
            endSubscriptions(id, address);
        }
        dropRequests([&](const Request& r) { return r.session == id; });
        sessions_.erase(it);
        for (const auto& [address, link] : links) {
            if (!anyLink(address)) {
                disconnectDevice(address, nullptr);
            }
        }
        updateDiscovery();
    }

    void startScan(uint64_t id, std::optional<std::vector<CBUUID>> services, bool duplicates) {
        const auto it = sessions_.find(id);
        if (it == sessions_.end()) {
            return;
        }
        auto& session = it->second;
        session.scanning = true;
        session.services = std::move(services);
        session.duplicates = duplicates;
        session.rssiSeen.clear();
        session.reported.clear();
        updateDiscovery();
    }

    void stopScan(uint64_t id) {
        const auto it = sessions_.find(id);
        if (it != sessions_.end()) {
            it->second.scanning = false;
            updateDiscovery();
        }
    }

    void connect(uint64_t id, const std::string& address) {
        const auto it = sessions_.find(id);
        if (it == sessions_.end()) {
            return;
        }
        auto& session = it->second;
        const auto link = session.links.find(address);
        if (link != session.links.end() && link->second.phase == Phase::Connected) {
            session.shared->event([&](radio::RadioCentralEvents& l) { l.radioConnected(address); });
            return;
        }
        if (link != session.links.end() && link->second.phase == Phase::Connecting) {
            return;
        }
        if (!byAddress_.count(address)) {
            const NSError error = unknownDeviceError();
            session.shared->event([&](radio::RadioCentralEvents& l) { l.radioConnectFailed(address, error); });
            return;
        }
        session.links[address].phase = Phase::Connecting;
        auto& rt = runtime_[address];
        if (!rt.connectInFlight) {
            startConnect(address);
        }
    }

    void cancelConnection(uint64_t id, const std::string& address) {
        const auto it = sessions_.find(id);
        if (it == sessions_.end()) {
            return;
        }
        auto& session = it->second;
        const auto link = session.links.find(address);
        if (link == session.links.end()) {
            return;
        }
        const bool others = anyLink(address, id);
        switch (link->second.phase) {
            case Phase::Connecting:
                session.links.erase(link);
                if (others) {
                    session.shared->event([&](radio::RadioCentralEvents& l) { l.radioDisconnected(address, nullptr); });
                    return;
                }
                // Disconnect() cancels bluetoothd's pending Connect.
                disconnectDevice(address, [id, address](Core& core, const NSError*) {
                    const auto s = core.sessions_.find(id);
                    if (s != core.sessions_.end() && !s->second.links.count(address)) {
                        s->second.shared->event(
                            [&](radio::RadioCentralEvents& l) { l.radioDisconnected(address, nullptr); });
                    }
                });
                return;
            case Phase::Connected:
                if (others) {
                    finishLink(id, address, nullptr, lostError("The device was disconnected."));
                    return;
                }
                link->second.phase = Phase::Disconnecting;
                disconnectDevice(address, [id, address](Core& core, const NSError* error) {
                    Link* current = core.findLink(id, address);
                    if (!current || current->phase != Phase::Disconnecting) {
                        return;
                    }
                    if (error) {
                        current->phase = Phase::Connected;  // the link is still up
                        return;
                    }
                    const DeviceObject* device = core.deviceByAddress(address);
                    if (!device || !device->connected) {
                        core.finishLink(id, address, nullptr, lostError("The device was disconnected."));
                    }
                    // Otherwise Connected=false follows the reply.
                });
                return;
            case Phase::Disconnecting:
                return;
        }
    }

    void discoverServices(uint64_t id, const std::string& address, ServicesDone done) {
        if (!linkUp(id, address)) {
            const NSError error = notConnectedError();
            complete(id, [&] { done(&error, {}); });
            return;
        }
        auto& rt = runtime_[address];
        if (rt.ready) {
            const auto services = servicesOf(address);
            complete(id, [&] { done(nullptr, services); });
            return;
        }
        Request request;
        request.session = id;
        request.address = address;
        request.discovery = true;
        request.servicesDone = std::move(done);
        const uint64_t call = addRequest(std::move(request));
        requests_[call].timer = after(kResolveLimit, [call](Core& core) {
            core.answer(call, NSError{"CBErrorDomain", 6, "bluetoothd did not resolve the device's services in time."});
        });
        ensureResolved(address);
    }

    void discoverCharacteristics(uint64_t id, const std::string& address, AttributeHandle service,
                                 CharacteristicsDone done) {
        std::vector<CharacteristicInfo> found;
        const NSError* error = nullptr;
        NSError failure;
        if (!linkUp(id, address)) {
            failure = notConnectedError();
            error = &failure;
        } else if (!attributeByHandle(address, service, AttributeKind::Service)) {
            failure = unknownAttributeError();
            error = &failure;
        } else {
            forEachAttribute(address, [&](const AttributeObject& a) {
                if (a.kind == AttributeKind::Characteristic && a.parent == service && a.uuid) {
                    if (const auto uuid = uuidFromBluez(*a.uuid)) {
                        found.push_back(CharacteristicInfo{a.handle, *uuid, a.properties});
                    }
                }
            });
            std::sort(found.begin(), found.end(), [](const auto& x, const auto& y) { return x.handle < y.handle; });
        }
        complete(id, [&] { done(error, found); });
    }

    void discoverDescriptors(uint64_t id, const std::string& address, AttributeHandle characteristic,
                             DescriptorsDone done) {
        std::vector<DescriptorInfo> found;
        const NSError* error = nullptr;
        NSError failure;
        if (!linkUp(id, address)) {
            failure = notConnectedError();
            error = &failure;
        } else if (!attributeByHandle(address, characteristic, AttributeKind::Characteristic)) {
            failure = unknownAttributeError();
            error = &failure;
        } else {
            forEachAttribute(address, [&](const AttributeObject& a) {
                if (a.kind == AttributeKind::Descriptor && a.parent == characteristic && a.uuid) {
                    if (const auto uuid = uuidFromBluez(*a.uuid)) {
                        found.push_back(DescriptorInfo{a.handle, *uuid});
                    }
                }
            });
            std::sort(found.begin(), found.end(), [](const auto& x, const auto& y) { return x.handle < y.handle; });
        }
        complete(id, [&] { done(error, found); });
    }

    void read(uint64_t id, const std::string& address, AttributeHandle handle, bool descriptor, ValueDone done) {
        const AttributeKind kind = descriptor ? AttributeKind::Descriptor : AttributeKind::Characteristic;
        const AttributeObject* attribute = linkedAttribute(id, address, handle, kind);
        if (!attribute) {
            const NSError error = linkUp(id, address) ? unknownAttributeError() : notConnectedError();
            complete(id, [&] { done(&error, {}); });
            return;
        }
        sendRead(id, address, handle, descriptor, attribute->path, std::move(done));
    }

    void write(uint64_t id, const std::string& address, AttributeHandle handle, bool descriptor, const char* type,
               const std::string& value, Done done) {
        const AttributeKind kind = descriptor ? AttributeKind::Descriptor : AttributeKind::Characteristic;
        const AttributeObject* attribute = linkedAttribute(id, address, handle, kind);
        if (!attribute) {
            const NSError error = linkUp(id, address) ? unknownAttributeError() : notConnectedError();
            complete(id, [&] { done(&error); });
            return;
        }
        sendWrite(id, address, handle, descriptor, type, value, attribute->path, std::move(done));
    }

    // ---- Requests sent from the caller's thread ----
    //
    // A read or write made while the loop waits in poll() goes out from the caller's thread at once, under
    // coreMutex_, instead of waking the loop to send it: one thread hop less before the call is on the bus.
    // Only a request that goes out as it is takes this way; one that would be answered on the spot (no link,
    // unknown attribute), one made while the loop works, and one made on the loop's own thread (from inside an
    // event or completion) are queued to the loop as before, so no answer ever comes before the request returns
    // or on another thread than the loop.

    bool readNow(uint64_t id, const std::string& address, AttributeHandle handle, ValueDone& done) {
        return now([&] {
            const AttributeObject* attribute = linkedAttribute(id, address, handle, AttributeKind::Characteristic);
            if (!attribute) {
                return false;
            }
            sendRead(id, address, handle, false, attribute->path, std::move(done));
            return true;
        });
    }

    bool writeNow(uint64_t id, const std::string& address, AttributeHandle handle, const char* type,
                  const std::string& value, Done& done) {
        return now([&] {
            const AttributeObject* attribute = linkedAttribute(id, address, handle, AttributeKind::Characteristic);
            if (!attribute) {
                return false;
            }
            sendWrite(id, address, handle, false, type, value, attribute->path, std::move(done));
            return true;
        });
    }

  private:
    // Runs `send` under coreMutex_ when the loop waits with no task queued and this is not the loop's thread;
    // returns whether it sent. The loop wakes to recompute its wait when the call's timeout or the bus's events
    // ask for it. Lock order: coreMutex_, then tasksMutex_, as in the loop.
    template <typename F>
    bool now(F&& send) {
        if (tLoopCore == this) {
            return false;
        }
        std::unique_lock<std::mutex> lock(coreMutex_, std::try_to_lock);
        if (!lock || !bus_ || !pollWaiting_) {
            return false;
        }
        {
            // Not ahead of a request queued before it.
            std::lock_guard<std::mutex> queued(tasksMutex_);
            if (!tasks_.empty() || stopping_) {
                return false;
            }
        }
        if (!send()) {
            return false;
        }
        bool wake_loop = true;
        try {
            const auto data = bus_->getEventLoopPollData();
            const int timeout = data.getPollTimeout();
            wake_loop = data.events != pollEvents_ ||
                        (timeout >= 0 && Clock::now() + std::chrono::milliseconds(timeout) < pollDeadline_);
        } catch (const std::exception&) {
        }
        lock.unlock();
        if (wake_loop) {
            wake();
        }
        return true;
    }

    void sendRead(uint64_t id, const std::string& address, AttributeHandle handle, bool descriptor,
                  const std::string& path, ValueDone done) {
        Request request;
        request.session = id;
        request.address = address;
        request.handle = handle;
        request.read = !descriptor;
        request.valueDone = std::move(done);
        const uint64_t call = addRequest(std::move(request));
        if (!descriptor) {
            ++runtime_[address].reads[handle].pending;
        }
        callBluez(
            path, descriptor ? kDescriptorInterface : kCharacteristicInterface, "ReadValue",
            [](sdbus::MethodCall& m) {
                m.openContainer("{sv}");
                m.closeContainer();
            },
            kRequestTimeout,
            [call](Core& core, sdbus::MethodReply& reply, const NSError* error) {
                if (error) {
                    core.answerUnlessTimedOut(call, *error);
                    return;
                }
                std::string value;
                try {
                    readBytes(reply, value);
                } catch (const std::exception& e) {
                    core.answer(call, badReplyError(e.what()));
                    return;
                }
                core.answerValue(call, value);
            });
    }

    void sendWrite(uint64_t id, const std::string& address, AttributeHandle handle, bool descriptor, const char* type,
                   const std::string& value, const std::string& path, Done done) {
        Request request;
        request.session = id;
        request.address = address;
        request.handle = handle;
        request.done = std::move(done);
        const uint64_t call = addRequest(std::move(request));
        callBluez(
            path, descriptor ? kDescriptorInterface : kCharacteristicInterface, "WriteValue",
            [&](sdbus::MethodCall& m) {
                m.openContainer("y");
                for (const char byte : value) {
                    m << static_cast<uint8_t>(byte);
                }
                m.closeContainer();
                // The options written in place: {"type": <type>} or {}.
                m.openContainer("{sv}");
                if (type) {
                    m.openDictEntry("sv");
                    m << "type";
                    m.openVariant("s");
                    m << type;
                    m.closeVariant();
                    m.closeDictEntry();
                }
                m.closeContainer();
            },
            kRequestTimeout,
            [call](Core& core, sdbus::MethodReply&, const NSError* error) {
                if (error) {
                    core.answerUnlessTimedOut(call, *error);
                } else {
                    core.answerDone(call);
                }
            });
    }

  public:
    void setNotify(uint64_t id, const std::string& address, AttributeHandle handle, bool enabled, Done done) {
        const AttributeObject* attribute = linkedAttribute(id, address, handle, AttributeKind::Characteristic);
        if (!attribute) {
            const NSError error = linkUp(id, address) ? unknownAttributeError() : notConnectedError();
            complete(id, [&] { done(&error); });
            return;
        }
        const std::string path = attribute->path;
        auto& entry = runtime_[address].notify[handle];
        if (enabled) {
            if (entry.active.count(id)) {
                complete(id, [&] { done(nullptr); });
            } else if (entry.startInFlight) {
                entry.starting.emplace_back(id, std::move(done));
            } else if (!entry.active.empty()) {
                entry.active.insert(id);
                complete(id, [&] { done(nullptr); });
            } else {
                entry.startInFlight = true;
                entry.starting.emplace_back(id, std::move(done));
                const uint64_t generation = generation_;
                callBluez(path, kCharacteristicInterface, "StartNotify", nullptr, kRequestTimeout,
                          [address, handle, generation](Core& core, sdbus::MethodReply&, const NSError* error) {
                              core.notifyStarted(generation, address, handle, error);
                          });
            }
            return;
        }
        const bool was_active = entry.active.erase(id) != 0;
        if (!was_active || !entry.active.empty() || entry.startInFlight) {
            complete(id, [&] { done(nullptr); });
            return;
        }
        callBluez(path, kCharacteristicInterface, "StopNotify", nullptr, kRequestTimeout,
                  [id, done = std::move(done)](Core& core, sdbus::MethodReply&, const NSError* error) {
                      if (error && isTimeout(*error)) {
                          return;  // the caller's own limit has already ended its wait
                      }
                      // No session left means it is off: what was asked.
                      const bool off = !error || error->description == "No notify session started";
                      core.complete(id, [&] { done(off ? nullptr : error); });
                  });
    }

  private:
    enum class Phase { Connecting, Connected, Disconnecting };
    struct Link {
        Phase phase = Phase::Connecting;
    };
    struct SessionState {
        std::shared_ptr<SessionShared> shared;
        bool scanning = false;
        std::optional<std::vector<CBUUID>> services;
        bool duplicates = false;
        std::unordered_set<std::string> rssiSeen;  // devices whose RSSI was reported during this scan
        std::unordered_set<std::string> reported;  // devices reported in this scan (without duplicates)
        std::map<std::string, Link> links;
    };
    struct NotifyEntry {
        std::set<uint64_t> active;                        // sessions subscribed
        std::vector<std::pair<uint64_t, Done>> starting;  // sessions waiting for StartNotify
        bool startInFlight = false;
    };
    struct ReadWatch {
        unsigned pending = 0;
        std::vector<std::string> held;  // Value changes seen while a read was pending
    };
    struct DeviceRuntime {
        bool connectInFlight = false;
        uint64_t connectCall = 0;
        bool ready = false;  // services resolved and the MTU known
        bool mtuFetching = false;
        unsigned mtu = kDefaultMtu;
        std::map<AttributeHandle, NotifyEntry> notify;
        std::map<AttributeHandle, ReadWatch> reads;
    };
    struct Request {
        uint64_t session = 0;
        std::string address;
        AttributeHandle handle = 0;
        bool read = false;       // a characteristic read: its own Value change is not a notification
        bool discovery = false;  // waits for the services to be resolved
        Done done;
        ValueDone valueDone;
        ServicesDone servicesDone;
        uint64_t timer = 0;
    };
    struct Timer {
        Clock::time_point when;
        Task task;
    };
    enum class BusPhase { Connecting, Failed, Up };
    using ReplyHandler = std::function<void(Core&, sdbus::MethodReply&, const NSError*)>;
    using DisconnectHandler = std::function<void(Core&, const NSError*)>;

    // ---- The loop ----

    void wake() {
        if (wakeFd_ >= 0) {
            const uint64_t one = 1;
            [[maybe_unused]] const auto written = ::write(wakeFd_, &one, sizeof one);
        }
    }

    // One pass: the tasks posted, the timers due, the bus's messages (a bounded batch), then the reports they
    // produced; then it waits for the bus, a task or the next deadline. Nothing here allocates on the way of
    // an event.
    void run() {
        tLoopCore = this;
        std::unique_lock<std::mutex> core(coreMutex_);
        startConnector();
        bool busWoke = true;  // the bus may have something to process
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(tasksMutex_);
                if (stopping_) {
                    break;
                }
                running_.swap(tasks_);
            }
            for (auto& task : running_) {
                guardedTask(task);
            }
            running_.clear();  // keeps its capacity
            if (!timerOrder_.empty()) {
                runDueTimers();
            }
            // A bounded batch, so that a flood of signals does not hold back the requests queued meanwhile.
            int dispatched = 0;
            if (bus_ && busWoke) {
                try {
                    while (dispatched < kDispatchBatch && bus_ && bus_->processPendingRequest()) {
                        ++dispatched;
                    }
                } catch (const std::exception& e) {
                    busBroken(e.what());
                }
            }
            if (passQueued_) {
                flushPass();
            }
            graveyard_.clear();
            if (dispatched > 0 && dispatched < kDispatchBatch && mayCoalesce()) {
                busQuietUntil_ = Clock::now() + kCoalescing;
            }
            {
                std::lock_guard<std::mutex> lock(tasksMutex_);
                if (stopping_) {
                    break;
                }
                if (!tasks_.empty() || dispatched == kDispatchBatch) {
                    busWoke = true;  // not asked, so looked at: a stream of tasks must not starve the bus
                    continue;        // more to do without waiting
                }
            }
            int timeout = -1;
            if (!timerOrder_.empty()) {
                const auto next = timerOrder_.begin()->first;
                const auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now()).count();
                timeout = static_cast<int>(std::clamp<long long>(wait, 0, 60000));
            }
            pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {-1, 0, 0}};
            nfds_t count = 1;
            if (bus_) {
                try {
                    const auto data = bus_->getEventLoopPollData();
                    const auto quiet = busQuietUntil_ - Clock::now();
                    if (quiet > Clock::duration::zero() && data.events == POLLIN && mayCoalesce()) {
                        // The bus waits a little; a task (a new request) still wakes the loop at once.
                        const int wait = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(quiet).count());
                        timeout = timeout < 0 ? wait : std::min(timeout, wait);
                    } else {
                        fds[1] = {data.fd, static_cast<short>(data.events), 0};
                        count = 2;
                        const int bus_timeout = data.getPollTimeout();
                        if (bus_timeout >= 0 && (timeout < 0 || bus_timeout < timeout)) {
                            timeout = bus_timeout;
                        }
                    }
                } catch (const std::exception& e) {
                    busBroken(e.what());
                    continue;
                }
            }
            pollWaiting_ = true;
            pollEvents_ = count == 2 ? fds[1].events : 0;
            pollDeadline_ = timeout < 0 ? Clock::time_point::max() : Clock::now() + std::chrono::milliseconds(timeout);
            core.unlock();
            const int ready = ::poll(fds, count, timeout);
            core.lock();
            pollWaiting_ = false;
            // The bus needs processing when its descriptor is ready or a deadline (possibly its own) passed;
            // a wake for a task alone does not. Anything unexpected: process it anyway.
            busWoke = ready <= 0 || count < 2 || fds[1].revents != 0;
            if (ready > 0 && (fds[0].revents & POLLIN)) {
                uint64_t drained = 0;
                [[maybe_unused]] const auto got = ::read(wakeFd_, &drained, sizeof drained);
            }
        }
        // Proxies and matches go before the connection they use, all on this thread.
        matches_.clear();
        proxies_.clear();
        graveyard_.clear();
        bus_.reset();
    }

    void guardedTask(Task& task) {
        try {
            task(*this);
        } catch (const std::exception& e) {
            NSLog("Exception in the BlueZ radio: %@", std::string(e.what()));
        }
    }

    uint64_t after(Clock::duration delay, Task task) {
        const uint64_t id = ++nextTimer_;
        const auto when = Clock::now() + delay;
        timers_[id] = Timer{when, std::move(task)};
        timerOrder_.emplace(when, id);
        return id;
    }

    void cancelTimer(uint64_t id) {
        if (!id) {
            return;
        }
        const auto it = timers_.find(id);
        if (it != timers_.end()) {
            timerOrder_.erase({it->second.when, id});
            timers_.erase(it);
        }
    }

    // Runs the timers due now; those they set meanwhile wait for the next pass, even if due already.
    void runDueTimers() {
        const auto now = Clock::now();
        const auto end = timerOrder_.upper_bound({now, std::numeric_limits<uint64_t>::max()});
        if (end == timerOrder_.begin()) {
            return;
        }
        std::vector<uint64_t> due;
        for (auto it = timerOrder_.begin(); it != end; ++it) {
            due.push_back(it->second);
        }
        for (const uint64_t id : due) {
            const auto it = timers_.find(id);
            if (it == timers_.end()) {
                continue;  // cancelled by a timer before it
            }
            Task task = std::move(it->second.task);
            timerOrder_.erase({it->second.when, id});
            timers_.erase(it);
            guardedTask(task);
        }
    }

    // ---- The bus ----

    void startConnector() {
        busPhase_ = BusPhase::Connecting;
        const uint64_t attempt = ++busAttempt_;
        busConnectTimer_ = after(kBusConnectLimit, [attempt](Core& core) {
            if (core.busAttempt_ == attempt && core.busPhase_ == BusPhase::Connecting) {
                core.busPhase_ = BusPhase::Failed;
                core.refreshState();
            }
        });
        // Connecting blocks until the bus has answered the handshake, which may take long on a bus that does
        // not answer: a thread of its own does it, and hands the connection to the loop.
        std::weak_ptr<Core> weak = self_;
        std::thread([weak, attempt] {
            std::shared_ptr<sdbus::IConnection> connection;
            std::string failure;
            try {
                connection = sdbus::createSystemBusConnection();
            } catch (const sdbus::Error& e) {
                failure = e.getName() + ": " + e.getMessage();
            } catch (const std::exception& e) {
                failure = e.what();
            }
            if (const auto core = weak.lock()) {
                core->post([connection, failure, attempt](Core& c) mutable {
                    c.busReady(attempt, std::move(connection), failure);
                });
            }
        }).detach();
    }

    void busReady(uint64_t attempt, std::shared_ptr<sdbus::IConnection> connection, const std::string& failure) {
        if (attempt != busAttempt_) {
            return;
        }
        cancelTimer(busConnectTimer_);  // answered, one way or the other
        busConnectTimer_ = 0;
        if (!connection) {
            NSLog("BlueZ radio: the system bus cannot be reached: %@", failure);
            busPhase_ = BusPhase::Failed;
            refreshState();
            return;
        }
        bus_ = std::move(connection);
        busPhase_ = BusPhase::Up;
        try {
            matches_.push_back(
                bus_->addMatch("type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',"
                               "member='NameOwnerChanged',arg0='org.bluez'",
                               [this](sdbus::Message& m) { guardedSignal([&] { onNameOwnerChanged(m); }); }));
            matches_.push_back(
                bus_->addMatch("type='signal',sender='org.bluez',interface='org.freedesktop.DBus.ObjectManager'",
                               [this](sdbus::Message& m) { guardedSignal([&] { onObjectManagerSignal(m); }); }));
            matches_.push_back(
                bus_->addMatch("type='signal',sender='org.bluez',interface='org.freedesktop.DBus.Properties',"
                               "member='PropertiesChanged',path_namespace='/org/bluez'",
                               [this](sdbus::Message& m) { guardedSignal([&] { onPropertiesChanged(m); }); }));
        } catch (const std::exception& e) {
            busBroken(e.what());
            return;
        }
        askOwner();
    }

    template <typename F>
    static void guardedSignal(F&& f) {
        try {
            f();
        } catch (const std::exception&) {
            // A signal of an unexpected shape is ignored, as bluetoothd would not send it.
        }
    }

    // The bus connection itself broke (the bus daemon went away): everything is lost; connect again.
    void busBroken(const std::string& what) {
        if (!bus_) {
            return;
        }
        NSLog("BlueZ radio: the system bus connection failed: %@", what);
        bluetoothdLost(lostError("The system bus connection was lost."));
        for (auto& [path, proxy] : proxies_) {
            graveyard_.push_back(std::move(proxy));
        }
        proxies_.clear();
        matches_.clear();
        graveyard_.clear();
        bus_.reset();
        ownerKnown_ = false;
        awaitingReturn_ = true;
        busPhase_ = BusPhase::Failed;
        refreshState();
        after(kBusRetry, [](Core& core) {
            if (!core.bus_) {
                core.startConnector();
            }
        });
    }

    sdbus::IProxy& proxyFor(const std::string& destination, const std::string& path) {
        auto& proxy = proxies_[destination + path];
        if (!proxy) {
            proxy = sdbus::createProxy(*bus_, destination, path);
        }
        return *proxy;
    }

    void call(const std::string& destination, const std::string& path, const char* interface, const char* method,
              const std::function<void(sdbus::MethodCall&)>& fill, Clock::duration timeout, ReplyHandler handler) {
        try {
            if (!bus_) {
                throw sdbus::Error("org.freedesktop.DBus.Error.Disconnected", "Not connected to the system bus");
            }
            auto& proxy = proxyFor(destination, path);
            auto message = proxy.createMethodCall(interface, method);
            if (fill) {
                fill(message);
            }
            proxy.callMethod(
                message,
                [this, handler](sdbus::MethodReply& reply, const sdbus::Error* error) {
                    if (callsInFlight_ > 0) {
                        --callsInFlight_;
                    }
                    try {
                        if (error) {
                            const NSError e = errorFromDBus(error->getName(), error->getMessage());
                            noteError(e);
                            handler(*this, reply, &e);
                        } else {
                            handler(*this, reply, nullptr);
                        }
                    } catch (const std::exception& e) {
                        NSLog("Exception in the BlueZ radio: %@", std::string(e.what()));
                    }
                },
                std::chrono::duration_cast<std::chrono::microseconds>(timeout));
            ++callsInFlight_;
        } catch (const sdbus::Error& e) {
            // Answered from the loop, never from inside the request.
            const NSError error = errorFromDBus(e.getName(), e.getMessage());
            post([handler, error](Core& core) {
                sdbus::MethodReply none;
                handler(core, none, &error);
            });
        }
    }

    // True while nothing waits on the bus's next message: no call awaits its reply, and every link is up with
    // its services resolved. What comes then is advertisements, notifications and property changes, which may
    // be read a few milliseconds late, together.
    bool mayCoalesce() const {
        if (callsInFlight_ != 0) {
            return false;
        }
        for (const auto& [id, session] : sessions_) {
            for (const auto& [address, link] : session.links) {
                const auto rt = runtime_.find(address);
                if (link.phase != Phase::Connected || rt == runtime_.end() || !rt->second.ready) {
                    return false;
                }
            }
        }
        return true;
    }

    void callBluez(const std::string& path, const char* interface, const char* method,
                   const std::function<void(sdbus::MethodCall&)>& fill, Clock::duration timeout, ReplyHandler handler) {
        call(kBluezService, path, interface, method, fill, timeout, std::move(handler));
    }

    void noteError(const NSError& error) {
        if (error.domain == kAccessDenied && !accessDenied_) {
            accessDenied_ = true;
            refreshState();
        }
    }

    // ---- bluetoothd's presence and objects ----

    void askOwner() {
        const uint64_t generation = generation_;
        call(
            "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
            [](sdbus::MethodCall& m) { m << std::string(kBluezService); }, kSetupTimeout,
            [generation](Core& core, sdbus::MethodReply& reply, const NSError* error) {
                if (generation != core.generation_) {
                    return;
                }
                bool has = false;
                if (!error) {
                    try {
                        reply >> has;
                    } catch (const std::exception&) {
                        has = false;
                    }
                }
                core.ownerKnown_ = true;
                core.hasOwner_ = has;
                if (has) {
                    core.loadObjects();
                } else {
                    core.refreshState();
                }
            });
    }

    void onNameOwnerChanged(sdbus::Message& message) {
        std::string name, old_owner, new_owner;
        message >> name >> old_owner >> new_owner;
        if (name != kBluezService) {
            return;
        }
        if (!old_owner.empty() || objectsLoaded_) {
            bluetoothdLost(lostError("bluetoothd left the bus."));
        }
        ++generation_;
        ownerKnown_ = true;
        hasOwner_ = !new_owner.empty();
        if (hasOwner_) {
            loadObjects();
        }
        refreshState();
    }

    // bluetoothd went away (or the bus): links are lost, its objects and sessions with them.
    void bluetoothdLost(const NSError& why) {
        if (objectsLoaded_ || hasOwner_) {
            awaitingReturn_ = true;
        }
        loseAllLinks(why);
        ++generation_;
        resetDiscovery();
        objectsLoaded_ = false;
        loadFailed_ = false;
        accessDenied_ = false;
        hasOwner_ = false;
        adapters_.clear();
        devices_.clear();
        attributes_.clear();
        byAddress_.clear();
        adapter_.clear();
        for (auto& [path, proxy] : proxies_) {
            graveyard_.push_back(std::move(proxy));
        }
        proxies_.clear();
        callsInFlight_ = 0;  // their replies are dropped with the proxies
        {
            std::lock_guard<std::mutex> lock(snapshotMutex_);
            mtus_.clear();
        }
    }

    void loadObjects() {
        const uint64_t generation = generation_;
        callBluez("/", kObjectManager, "GetManagedObjects", nullptr, kSetupTimeout,
                  [generation](Core& core, sdbus::MethodReply& reply, const NSError* error) {
                      if (generation != core.generation_) {
                          return;
                      }
                      std::map<sdbus::ObjectPath, InterfaceMap> objects;
                      NSError failure;
                      if (!error) {
                          try {
                              reply >> objects;
                          } catch (const std::exception& e) {
                              failure = badReplyError(e.what());
                              error = &failure;
                          }
                      }
                      if (error) {
                          if (error->domain != kAccessDenied) {
                              NSLog("BlueZ radio: bluetoothd did not list its objects: %@", error);
                              core.loadFailed_ = true;
                          }
                          core.refreshState();
                          return;
                      }
                      core.objectsLoaded_ = true;
                      core.loadFailed_ = false;
                      for (const auto& [path, interfaces] : objects) {
                          core.addInterfaces(path, interfaces, false);
                      }
                      core.chooseAdapter();
                      core.refreshState();
                      core.updateDiscovery();
                  });
    }

    void onObjectManagerSignal(sdbus::Message& message) {
        if (!objectsLoaded_) {
            return;  // the listing asked for will include it
        }
        const std::string member = message.getMemberName();
        sdbus::ObjectPath path;
        if (member == "InterfacesAdded") {
            InterfaceMap interfaces;
            message >> path >> interfaces;
            addInterfaces(path, interfaces, true);
        } else if (member == "InterfacesRemoved") {
            std::vector<std::string> interfaces;
            message >> path >> interfaces;
            removeInterfaces(path, interfaces);
        }
    }

    void addInterfaces(const std::string& path, const InterfaceMap& interfaces, bool live) {
        for (const auto& [interface, props] : interfaces) {
            if (interface == kAdapterInterface) {
                auto& adapter = adapters_[path];
                adapter.path = path;
                applyAdapter(adapter, props);
                if (live && adapter_.empty()) {
                    chooseAdapter();
                    refreshState();
                    updateDiscovery();
                }
            } else if (interface == kDeviceInterface) {
                const bool known = devices_.count(path) != 0;
                auto& device = devices_[path];
                device.path = path;
                const DeviceChange change = applyDevice(device, props, {});
                if (device.adapter.empty()) {
                    device.adapter = adapterPathOf(path);
                }
                if (device.address.empty()) {
                    std::string element = lastElement(path);
                    if (element.rfind("dev_", 0) == 0) {
                        element = element.substr(4);
                        std::replace(element.begin(), element.end(), '_', ':');
                        device.address = element;
                    }
                }
                if (device.adapter != adapter_ || device.address.empty()) {
                    continue;
                }
                byAddress_[device.address] = path;
                if (live) {
                    deviceChanged(device, change, !known);
                }
            } else if (interface == kServiceInterface || interface == kCharacteristicInterface ||
                       interface == kDescriptorInterface) {
                const AttributeKind kind = interface == kServiceInterface          ? AttributeKind::Service
                                           : interface == kCharacteristicInterface ? AttributeKind::Characteristic
                                                                                   : AttributeKind::Descriptor;
                if (auto attribute = makeAttribute(path, kind, props)) {
                    attributes_[path] = std::move(*attribute);
                }
            }
        }
    }

    void removeInterfaces(const std::string& path, const std::vector<std::string>& interfaces) {
        for (const auto& interface : interfaces) {
            if (interface == kAdapterInterface) {
                adapters_.erase(path);
                if (path == adapter_) {
                    adapterLost();
                }
            } else if (interface == kDeviceInterface) {
                deviceRemoved(path);
            } else if (interface == kServiceInterface || interface == kCharacteristicInterface ||
                       interface == kDescriptorInterface) {
                attributes_.erase(path);
            }
        }
    }

    void adapterLost() {
        awaitingReturn_ = true;
        loseAllLinks(lostError("The Bluetooth adapter was removed."));
        ++generation_;
        resetDiscovery();
        const std::string gone = adapter_;
        for (auto it = devices_.begin(); it != devices_.end();) {
            it = it->second.adapter == gone ? devices_.erase(it) : std::next(it);
        }
        for (auto it = attributes_.begin(); it != attributes_.end();) {
            it = it->first.compare(0, gone.size() + 1, gone + "/") == 0 ? attributes_.erase(it) : std::next(it);
        }
        adapter_.clear();
        byAddress_.clear();
        chooseAdapter();
        refreshState();
        updateDiscovery();
    }

    void deviceRemoved(const std::string& path) {
        const auto it = devices_.find(path);
        if (it == devices_.end()) {
            return;
        }
        const std::string address = it->second.address;
        const auto indexed = byAddress_.find(address);
        if (indexed != byAddress_.end() && indexed->second == path) {
            const NSError why = lostError("The device was removed by bluetoothd.");
            for (auto& [id, session] : sessions_) {
                const auto link = session.links.find(address);
                if (link == session.links.end()) {
                    continue;
                }
                if (link->second.phase == Phase::Connecting) {
                    session.links.erase(link);
                    session.shared->event([&](radio::RadioCentralEvents& l) { l.radioConnectFailed(address, why); });
                } else {
                    finishLink(id, address, link->second.phase == Phase::Disconnecting ? nullptr : &why, why);
                }
            }
            runtime_.erase(address);
            byAddress_.erase(indexed);
            std::lock_guard<std::mutex> lock(snapshotMutex_);
            mtus_.erase(address);
        }
        for (auto a = attributes_.lower_bound(path + "/");
             a != attributes_.end() && a->first.compare(0, path.size() + 1, path + "/") == 0;) {
            a = attributes_.erase(a);
        }
        devices_.erase(it);
    }

    void chooseAdapter() {
        std::string best;
        for (const auto& [path, adapter] : adapters_) {
            const std::string name = lastElement(path);
            if (!wantedAdapter_.empty()) {
                if (name == wantedAdapter_) {
                    best = path;
                }
            } else if (best.empty() || naturalLess(name, lastElement(best))) {
                best = path;
            }
        }
        if (best == adapter_) {
            return;
        }
        adapter_ = best;
        byAddress_.clear();
        for (const auto& [path, device] : devices_) {
            if (device.adapter == adapter_ && !device.address.empty()) {
                byAddress_[device.address] = path;
            }
        }
        if (!adapter_.empty()) {
            awaitingReturn_ = false;
        }
    }

    // The hottest path: every advertisement and every notification is one of these. The body is read in place,
    // each known property straight into its field.
    void onPropertiesChanged(sdbus::Message& message) {
        if (!objectsLoaded_) {
            return;
        }
        char* interface = nullptr;
        message >> interface;
        if (!interface) {
            return;
        }
        if (std::strcmp(interface, kDeviceInterface) == 0) {
            const auto it = devices_.find(message.getPath());
            if (it == devices_.end()) {
                return;
            }
            DeviceUpdate update = readDeviceUpdate(message);
            const DeviceChange change = applyDevice(it->second, std::move(update));
            if (it->second.adapter == adapter_) {
                deviceChanged(it->second, change, false);
            }
        } else if (std::strcmp(interface, kCharacteristicInterface) == 0) {
            const auto it = attributes_.find(message.getPath());
            if (it == attributes_.end()) {
                return;
            }
            CharacteristicUpdate update = readCharacteristicUpdate(message);
            if (update.mtu) {
                it->second.mtu = *update.mtu;
            }
            if (update.value) {
                valueChanged(it->second, *update.value);
            }
        } else if (std::strcmp(interface, kAdapterInterface) == 0) {
            const std::string path = message.getPath();
            PropMap changed;
            std::vector<std::string> invalidated;
            message >> changed >> invalidated;
            const auto it = adapters_.find(path);
            if (it == adapters_.end()) {
                return;
            }
            const bool was_powered = it->second.powered;
            applyAdapter(it->second, changed);
            if (path == adapter_) {
                if (was_powered && !it->second.powered) {
                    poweredOff();
                }
                refreshState();
                updateDiscovery();
            }
        }
    }

    // ---- State ----

    CBManagerState computeState() const {
        if (busPhase_ == BusPhase::Connecting) {
            return CBManagerState::Unknown;
        }
        if (busPhase_ == BusPhase::Failed) {
            return awaitingReturn_ ? CBManagerState::Resetting : CBManagerState::Unsupported;
        }
        if (!ownerKnown_) {
            return CBManagerState::Unknown;
        }
        if (!hasOwner_) {
            return awaitingReturn_ ? CBManagerState::Resetting : CBManagerState::Unsupported;
        }
        if (accessDenied_) {
            return CBManagerState::Unauthorized;
        }
        if (loadFailed_) {
            return CBManagerState::Unsupported;
        }
        if (!objectsLoaded_) {
            return awaitingReturn_ ? CBManagerState::Resetting : CBManagerState::Unknown;
        }
        const auto it = adapters_.find(adapter_);
        if (adapter_.empty() || it == adapters_.end()) {
            return awaitingReturn_ ? CBManagerState::Resetting : CBManagerState::Unsupported;
        }
        if (const auto& roles = it->second.roles) {
            const bool central = std::find(roles->begin(), roles->end(), "central") != roles->end() ||
                                 std::find(roles->begin(), roles->end(), "central-peripheral") != roles->end();
            if (!central) {
                return CBManagerState::Unsupported;
            }
        }
        return it->second.powered ? CBManagerState::PoweredOn : CBManagerState::PoweredOff;
    }

    void refreshState() {
        const CBManagerState now = computeState();
        {
            std::lock_guard<std::mutex> lock(snapshotMutex_);
            authorization_ = accessDenied_ ? CBManagerAuthorization::Denied : CBManagerAuthorization::AllowedAlways;
            if (now == state_) {
                return;
            }
            state_ = now;
        }
        for (auto& [id, session] : sessions_) {
            session.shared->event([&](radio::RadioCentralEvents& l) { l.radioStateChanged(now); });
        }
    }

    // The adapter was switched off: links end without events (the state change says it all), and bluetoothd
    // has dropped every discovery session.
    void poweredOff() {
        for (auto& [id, session] : sessions_) {
            const auto links = session.links;
            for (const auto& [address, link] : links) {
                finishLink(id, address, nullptr, lostError("The Bluetooth adapter was switched off."), true);
            }
        }
        runtime_.clear();
        resetDiscovery();
        std::lock_guard<std::mutex> lock(snapshotMutex_);
        mtus_.clear();
    }

    // Every link of every session is lost, with `why` (bluetoothd or the adapter went away).
    void loseAllLinks(const NSError& why) {
        for (auto& [id, session] : sessions_) {
            const auto links = session.links;
            for (const auto& entry : links) {
                const std::string& address = entry.first;
                const Link& link = entry.second;
                if (link.phase == Phase::Connecting) {
                    session.links.erase(address);
                    session.shared->event([&](radio::RadioCentralEvents& l) { l.radioConnectFailed(address, why); });
                } else {
                    finishLink(id, address, link.phase == Phase::Disconnecting ? nullptr : &why, why);
                }
            }
        }
        runtime_.clear();
        std::lock_guard<std::mutex> lock(snapshotMutex_);
        mtus_.clear();
    }

    // ---- Scanning ----

    void resetDiscovery() {
        ++discoveryGeneration_;
        discoveryOn_ = false;
        discoveryBusy_ = false;
        appliedFilter_.reset();
    }

    // The one discovery session of this bus connection follows what the scanning sessions want: on with the
    // union of their services (or unfiltered if one wants all), off when none scans. One call at a time.
    void updateDiscovery() {
        if (discoveryBusy_) {
            discoveryDirty_ = true;
            return;
        }
        discoveryDirty_ = false;
        bool wanted = false, all = false;
        std::set<std::string> uuids;
        for (const auto& [id, session] : sessions_) {
            if (!session.scanning) {
                continue;
            }
            wanted = true;
            if (!session.services || session.services->empty()) {
                all = true;
            } else {
                for (const auto& uuid : *session.services) {
                    uuids.insert(uuidToBluez(uuid));
                }
            }
        }
        if (computeState() != CBManagerState::PoweredOn) {
            discoveryOn_ = false;
            appliedFilter_.reset();
            return;
        }
        const uint64_t generation = discoveryGeneration_;
        if (!wanted) {
            if (!discoveryOn_) {
                return;
            }
            discoveryBusy_ = true;
            callBluez(adapter_, kAdapterInterface, "StopDiscovery", nullptr, kSetupTimeout,
                      [generation](Core& core, sdbus::MethodReply&, const NSError*) {
                          if (generation != core.discoveryGeneration_) {
                              return;
                          }
                          core.discoveryBusy_ = false;
                          core.discoveryOn_ = false;
                          if (core.discoveryDirty_) {
                              core.updateDiscovery();
                          }
                      });
            return;
        }
        std::string key = all ? std::string("*") : std::string();
        if (!all) {
            for (const auto& uuid : uuids) {
                key += uuid + ",";
            }
        }
        if (discoveryOn_ && appliedFilter_ == key) {
            return;
        }
        PropMap filter;
        filter["Transport"] = sdbus::Variant(std::string("le"));
        filter["DuplicateData"] = sdbus::Variant(true);
        if (!all) {
            filter["UUIDs"] = sdbus::Variant(std::vector<std::string>(uuids.begin(), uuids.end()));
        }
        discoveryBusy_ = true;
        callBluez(
            adapter_, kAdapterInterface, "SetDiscoveryFilter", [&](sdbus::MethodCall& m) { m << filter; },
            kSetupTimeout,
            [generation, key](Core& core, sdbus::MethodReply&, const NSError* error) {
                if (generation != core.discoveryGeneration_) {
                    return;
                }
                if (error) {
                    NSLog("BlueZ radio: SetDiscoveryFilter failed: %@", error);
                    core.discoveryBusy_ = false;
                    if (core.discoveryDirty_) {
                        core.updateDiscovery();
                    }
                    return;
                }
                core.appliedFilter_ = key;
                if (core.discoveryOn_) {
                    core.discoveryBusy_ = false;
                    if (core.discoveryDirty_) {
                        core.updateDiscovery();
                    }
                    return;
                }
                core.callBluez(core.adapter_, kAdapterInterface, "StartDiscovery", nullptr, kSetupTimeout,
                               [generation](Core& c, sdbus::MethodReply&, const NSError* e) {
                                   if (generation != c.discoveryGeneration_) {
                                       return;
                                   }
                                   c.discoveryBusy_ = false;
                                   // InProgress: this connection already scans.
                                   if (!e || e->domain == "org.bluez.Error.InProgress") {
                                       c.discoveryOn_ = true;
                                   } else {
                                       NSLog("BlueZ radio: StartDiscovery failed: %@", e);
                                       c.appliedFilter_.reset();
                                   }
                                   if (c.discoveryDirty_) {
                                       c.updateDiscovery();
                                   }
                               });
            });
    }

    void deviceChanged(DeviceObject& device, const DeviceChange& change, bool added) {
        (void)added;
        if (change.rssi || change.advertisement) {
            reportAdvertisement(device, change.rssi);
        }
        if (change.connected && !device.connected) {
            linkDown(device.address);
        }
        if (change.servicesResolved) {
            const auto rt = runtime_.find(device.address);
            if (device.servicesResolved) {
                ensureResolved(device.address);
            } else if (rt != runtime_.end()) {
                rt->second.ready = false;
            }
        }
    }

    // A device counts as found only once an RSSI was reported for it during this session's scan: remembered
    // devices and bare objects from others' scans carry none.
    void reportAdvertisement(DeviceObject& device, bool rssi_reported) {
        for (auto& [id, session] : sessions_) {
            if (!session.scanning) {
                continue;
            }
            if (rssi_reported) {
                session.rssiSeen.insert(device.address);
            } else if (!session.rssiSeen.count(device.address)) {
                continue;
            }
            if (!device.rssi || !matchesServices(session, device)) {
                continue;
            }
            if (!session.duplicates && !session.reported.insert(device.address).second) {
                continue;
            }
            // One immutable report, shared by every session that takes it, and sent again while the device
            // reports the same.
            if (!device.report) {
                device.report = std::make_shared<const radio::AdvertisementReport>(makeReport(device));
            }
            session.shared->discovered(device.report);
            passQueued_ = true;
        }
    }

    // Delivers the reports and notifications of this loop pass, together per session.
    void flushPass() {
        passQueued_ = false;
        for (auto& [id, session] : sessions_) {
            session.shared->flush();
        }
    }

    static bool matchesServices(const SessionState& session, const DeviceObject& device) {
        if (!session.services || session.services->empty()) {
            return true;
        }
        if (!device.uuids) {
            return false;
        }
        for (const auto& uuid : device.serviceUuids) {
            if (std::find(session.services->begin(), session.services->end(), uuid) != session.services->end()) {
                return true;
            }
        }
        return false;
    }

    static radio::AdvertisementReport makeReport(const DeviceObject& device) {
        radio::AdvertisementReport report;
        report.device = device.address;
        report.address = device.address;
        report.name = device.name;
        report.rssi = device.rssi.value_or(0);
        auto& ad = report.advertisement;
        ad.localName = device.name;
        ad.txPowerLevel = device.txPower;
        // bluetoothd does not say; a central can only try.
        ad.isConnectable = true;
        if (device.manufacturerData && !device.manufacturerData->empty()) {
            const auto& [company, payload] = device.manufacturerData->front();
            std::string data;
            data.reserve(2 + payload.size());
            data += static_cast<char>(company & 0xFF);
            data += static_cast<char>(company >> 8);
            data += payload;
            ad.manufacturerData = std::move(data);
        }
        if (device.serviceData && !device.serviceData->empty()) {
            std::vector<std::pair<CBUUID, std::string>> entries;
            for (const auto& [text, data] : *device.serviceData) {
                if (const auto uuid = uuidFromBluez(text)) {
                    entries.emplace_back(*uuid, data);
                }
            }
            ad.serviceData = std::move(entries);
        }
        // After resolution UUIDs lists the GATT services, not what the device advertises.
        if (device.uuids && !device.resolvedOnce) {
            ad.serviceUUIDs = device.serviceUuids;
        }
        return report;
    }

    // ---- Links ----

    Link* findLink(uint64_t id, const std::string& address) {
        const auto s = sessions_.find(id);
        if (s == sessions_.end()) {
            return nullptr;
        }
        const auto l = s->second.links.find(address);
        return l == s->second.links.end() ? nullptr : &l->second;
    }

    bool linkUp(uint64_t id, const std::string& address) {
        const Link* link = findLink(id, address);
        return link && link->phase == Phase::Connected;
    }

    bool anyLink(const std::string& address, uint64_t except = 0) const {
        for (const auto& [id, session] : sessions_) {
            if (id != except && session.links.count(address)) {
                return true;
            }
        }
        return false;
    }

    const DeviceObject* deviceByAddress(const std::string& address) const {
        const auto it = byAddress_.find(address);
        if (it == byAddress_.end()) {
            return nullptr;
        }
        const auto d = devices_.find(it->second);
        return d == devices_.end() ? nullptr : &d->second;
    }

    void startConnect(const std::string& address) {
        auto& rt = runtime_[address];
        rt.connectInFlight = true;
        const uint64_t call_id = ++nextCall_;
        rt.connectCall = call_id;
        callBluez(byAddress_.at(address), kDeviceInterface, "Connect", nullptr, kConnectTimeout,
                  [address, call_id](Core& core, sdbus::MethodReply&, const NSError* error) {
                      core.connectAnswered(address, call_id, error);
                  });
    }

    void connectAnswered(const std::string& address, uint64_t call_id, const NSError* error) {
        const auto rt = runtime_.find(address);
        if (rt == runtime_.end() || rt->second.connectCall != call_id || !rt->second.connectInFlight) {
            return;  // stale: the attempt was abandoned
        }
        rt->second.connectInFlight = false;
        if (error && isTimeout(*error)) {
            // bluetoothd goes on trying after our call timed out: make it stop.
            disconnectDevice(address, nullptr);
        }
        bool waited = false;
        for (auto& [id, session] : sessions_) {
            const auto link = session.links.find(address);
            if (link == session.links.end() || link->second.phase != Phase::Connecting) {
                continue;
            }
            waited = true;
            if (!error) {
                link->second.phase = Phase::Connected;
                session.shared->setConnected(address, true);
                session.shared->event([&](radio::RadioCentralEvents& l) { l.radioConnected(address); });
            } else {
                session.links.erase(link);
                session.shared->event([&](radio::RadioCentralEvents& l) { l.radioConnectFailed(address, *error); });
            }
        }
        if (!error) {
            if (!waited && !anyLink(address)) {
                disconnectDevice(address, nullptr);  // everyone who asked gave up meanwhile
            } else {
                ensureResolved(address);
            }
        }
    }

    void disconnectDevice(const std::string& address, DisconnectHandler handler) {
        const auto it = byAddress_.find(address);
        if (it == byAddress_.end()) {
            if (handler) {
                handler(*this, nullptr);
            }
            return;
        }
        const uint64_t generation = generation_;
        callBluez(it->second, kDeviceInterface, "Disconnect", nullptr, kDisconnectTimeout,
                  [generation, handler](Core& core, sdbus::MethodReply&, const NSError* error) {
                      if (handler && generation == core.generation_) {
                          handler(core, error);
                      }
                  });
    }

    // Connected went false: every session's link to the device ends; a disconnection asked for is no error.
    void linkDown(const std::string& address) {
        for (auto& [id, session] : sessions_) {
            const auto link = session.links.find(address);
            if (link == session.links.end() || link->second.phase == Phase::Connecting) {
                continue;  // a pending Connect is answered by its reply
            }
            const NSError loss = linkLossError();
            finishLink(id, address, link->second.phase == Phase::Disconnecting ? nullptr : &loss,
                       lostError("The link was lost."));
        }
        const auto rt = runtime_.find(address);
        if (rt != runtime_.end()) {
            rt->second.ready = false;
            rt->second.mtu = kDefaultMtu;
        }
        std::lock_guard<std::mutex> lock(snapshotMutex_);
        mtus_.erase(address);
    }

    // A session's link ends: its subscriptions end (as the platform's do on disconnection), its requests are
    // answered with `abandoned`, and unless `silent` it hears radioDisconnected(error).
    void finishLink(uint64_t id, const std::string& address, const NSError* error, const NSError& abandoned,
                    bool silent = false) {
        const auto s = sessions_.find(id);
        if (s == sessions_.end()) {
            return;
        }
        endSubscriptions(id, address);
        failRequests([&](const Request& r) { return r.session == id && r.address == address; }, abandoned);
        s->second.links.erase(address);
        s->second.shared->setConnected(address, false);
        if (!silent) {
            s->second.shared->event([&](radio::RadioCentralEvents& l) { l.radioDisconnected(address, error); });
        }
    }

    // bluetoothd keeps notify sessions across disconnections; the platform ends subscriptions with the link.
    void endSubscriptions(uint64_t id, const std::string& address) {
        const auto rt = runtime_.find(address);
        if (rt == runtime_.end()) {
            return;
        }
        const NSError abandoned = lostError("The link went down.");
        for (auto& [handle, entry] : rt->second.notify) {
            const bool was_active = entry.active.erase(id) != 0;
            std::vector<std::pair<uint64_t, Done>> left;
            for (auto& waiting : entry.starting) {
                if (waiting.first == id) {
                    complete(id, [&] { waiting.second(&abandoned); });
                } else {
                    left.push_back(std::move(waiting));
                }
            }
            entry.starting = std::move(left);
            if (was_active && entry.active.empty() && !entry.startInFlight) {
                stopNotifyQuietly(address, handle);
            }
        }
    }

    void stopNotifyQuietly(const std::string& address, AttributeHandle handle) {
        if (const AttributeObject* a = attributeByHandle(address, handle, AttributeKind::Characteristic)) {
            callBluez(a->path, kCharacteristicInterface, "StopNotify", nullptr, kRequestTimeout,
                      [](Core&, sdbus::MethodReply&, const NSError*) {});
        }
    }

    void notifyStarted(uint64_t generation, const std::string& address, AttributeHandle handle, const NSError* error) {
        if (generation != generation_) {
            return;
        }
        const auto rt = runtime_.find(address);
        if (rt == runtime_.end()) {
            return;
        }
        const auto it = rt->second.notify.find(handle);
        if (it == rt->second.notify.end()) {
            return;
        }
        auto& entry = it->second;
        entry.startInFlight = false;
        auto starting = std::move(entry.starting);
        entry.starting.clear();
        // A timeout comes after the callers' own limits ended their waits: answering it would fail
        // whatever they asked next of this characteristic, so they hear nothing.
        const bool timed_out = error && isTimeout(*error);
        for (auto& waiting : starting) {
            if (!error) {
                entry.active.insert(waiting.first);
            }
            if (!timed_out) {
                complete(waiting.first, [&] { waiting.second(error); });
            }
        }
        if (!error && entry.active.empty()) {
            stopNotifyQuietly(address, handle);  // everyone left while it started
        }
    }

    // ---- Services and attributes ----

    template <typename F>
    void forEachAttribute(const std::string& address, F&& f) const {
        const auto device = byAddress_.find(address);
        if (device == byAddress_.end()) {
            return;
        }
        const std::string prefix = device->second + "/";
        for (auto it = attributes_.lower_bound(prefix);
             it != attributes_.end() && it->first.compare(0, prefix.size(), prefix) == 0; ++it) {
            f(it->second);
        }
    }

    // The attribute of a device this session has a link to; null without the link or the attribute.
    const AttributeObject* linkedAttribute(uint64_t id, const std::string& address, AttributeHandle handle,
                                           AttributeKind kind) {
        return linkUp(id, address) ? attributeByHandle(address, handle, kind) : nullptr;
    }

    const AttributeObject* attributeByHandle(const std::string& address, AttributeHandle handle,
                                             AttributeKind kind) const {
        const AttributeObject* found = nullptr;
        forEachAttribute(address, [&](const AttributeObject& a) {
            if (!found && a.kind == kind && a.handle == handle) {
                found = &a;
            }
        });
        return found;
    }

    std::vector<ServiceInfo> servicesOf(const std::string& address) const {
        std::vector<ServiceInfo> services;
        forEachAttribute(address, [&](const AttributeObject& a) {
            if (a.kind == AttributeKind::Service && a.primary && a.uuid) {
                if (const auto uuid = uuidFromBluez(*a.uuid)) {
                    services.push_back(ServiceInfo{a.handle, *uuid});
                }
            }
        });
        std::sort(services.begin(), services.end(), [](const auto& x, const auto& y) { return x.handle < y.handle; });
        return services;
    }

    // Discovery is answered once ServicesResolved is true and the MTU is known (bluetoothd exposes it only on
    // characteristics, and only while connected).
    void ensureResolved(const std::string& address) {
        const DeviceObject* device = deviceByAddress(address);
        if (!device || !device->connected || !device->servicesResolved) {
            return;
        }
        auto& rt = runtime_[address];
        if (rt.ready || rt.mtuFetching) {
            return;
        }
        const AttributeObject* first = nullptr;
        forEachAttribute(address, [&](const AttributeObject& a) {
            if (!first && a.kind == AttributeKind::Characteristic) {
                first = &a;
            }
        });
        if (!first) {
            resolved(address, kDefaultMtu);
            return;
        }
        rt.mtuFetching = true;
        const unsigned cached = first->mtu.value_or(kDefaultMtu);
        const uint64_t generation = generation_;
        callBluez(
            first->path, kProperties, "Get",
            [](sdbus::MethodCall& m) { m << std::string(kCharacteristicInterface) << std::string("MTU"); },
            kRequestTimeout,
            [address, cached, generation](Core& core, sdbus::MethodReply& reply, const NSError* error) {
                if (generation != core.generation_) {
                    return;
                }
                const auto fetching = core.runtime_.find(address);
                if (fetching == core.runtime_.end() || !fetching->second.mtuFetching) {
                    return;
                }
                fetching->second.mtuFetching = false;
                unsigned mtu = cached;
                if (!error) {
                    try {
                        sdbus::Variant value;
                        reply >> value;
                        if (value.containsValueOfType<uint16_t>()) {
                            mtu = value.get<uint16_t>();
                        }
                    } catch (const std::exception&) {
                    }
                }
                const DeviceObject* now = core.deviceByAddress(address);
                if (now && now->connected && now->servicesResolved) {
                    core.resolved(address, mtu);
                }
            });
    }

    void resolved(const std::string& address, unsigned mtu) {
        auto& rt = runtime_[address];
        rt.ready = true;
        rt.mtu = std::clamp(mtu, kDefaultMtu, 517u);
        {
            std::lock_guard<std::mutex> lock(snapshotMutex_);
            mtus_[address] = rt.mtu;
        }
        std::vector<uint64_t> waiting;
        for (const auto& [call, request] : requests_) {
            if (request.discovery && request.address == address) {
                waiting.push_back(call);
            }
        }
        const auto services = servicesOf(address);
        for (const uint64_t call : waiting) {
            auto request = takeRequest(call);
            if (request) {
                complete(request->session, [&] { request->servicesDone(nullptr, services); });
            }
        }
    }

    // ---- Values and notifications ----

    void valueChanged(const AttributeObject& characteristic, const std::string& value) {
        const auto device = devices_.find(characteristic.device);
        if (device == devices_.end()) {
            return;
        }
        const std::string& address = device->second.address;
        const auto rt = runtime_.find(address);
        if (rt == runtime_.end()) {
            return;
        }
        const auto entry = rt->second.notify.find(characteristic.handle);
        if (entry == rt->second.notify.end() || entry->second.active.empty()) {
            return;  // a read's answer, or another client's subscription
        }
        const auto watch = rt->second.reads.find(characteristic.handle);
        if (watch != rt->second.reads.end() && watch->second.pending > 0) {
            // A read's own Value change comes just before its reply: decide then.
            watch->second.held.push_back(value);
            return;
        }
        deliverNotification(address, characteristic.handle, value);
    }

    void deliverNotification(const std::string& address, AttributeHandle handle, const std::string& value) {
        const auto rt = runtime_.find(address);
        if (rt == runtime_.end()) {
            return;
        }
        const auto entry = rt->second.notify.find(handle);
        if (entry == rt->second.notify.end()) {
            return;
        }
        // Delivering only calls the listeners, which post anything they ask of the radio: the set stays as it is.
        for (const uint64_t id : entry->second.active) {
            const auto s = sessions_.find(id);
            if (s == sessions_.end()) {
                continue;
            }
            const auto link = s->second.links.find(address);
            if (link != s->second.links.end() && link->second.phase == Phase::Connected) {
                s->second.shared->notified(address, handle, value);
                passQueued_ = true;
            }
        }
    }

    // ---- Requests ----

    uint64_t addRequest(Request request) {
        const uint64_t id = ++nextCall_;
        requests_[id] = std::move(request);
        return id;
    }

    // Removes a request and settles its read bookkeeping: the Value changes held while it ran are delivered as
    // notifications, except the last one when it equals `value`, the read's own.
    std::optional<Request> takeRequest(uint64_t call, const std::optional<std::string>& value = std::nullopt) {
        const auto it = requests_.find(call);
        if (it == requests_.end()) {
            return std::nullopt;
        }
        Request request = std::move(it->second);
        requests_.erase(it);
        cancelTimer(request.timer);
        if (request.read) {
            const auto rt = runtime_.find(request.address);
            if (rt != runtime_.end()) {
                auto& watch = rt->second.reads[request.handle];
                if (watch.pending > 0) {
                    --watch.pending;
                }
                auto held = std::move(watch.held);
                watch.held.clear();
                if (value && !held.empty() && held.back() == *value) {
                    held.pop_back();
                }
                for (const auto& notified : held) {
                    deliverNotification(request.address, request.handle, notified);
                }
            }
        }
        return request;
    }

    void answer(uint64_t call, const NSError& error) {
        auto request = takeRequest(call);
        if (!request) {
            return;  // abandoned: a late reply
        }
        complete(request->session, [&] {
            if (request->valueDone) {
                request->valueDone(&error, {});
            } else if (request->done) {
                request->done(&error);
            } else if (request->servicesDone) {
                request->servicesDone(&error, {});
            }
        });
    }

    // A GATT request's own timeout is the backend's: when the bus gives up later than it did, an answer
    // would land on the caller's next request to that attribute instead, so it is dropped unanswered.
    void answerUnlessTimedOut(uint64_t call, const NSError& error) {
        if (isTimeout(error)) {
            takeRequest(call);
        } else {
            answer(call, error);
        }
    }

    void answerValue(uint64_t call, const std::string& value) {
        auto request = takeRequest(call, value);
        if (request && request->valueDone) {
            complete(request->session, [&] { request->valueDone(nullptr, value); });
        }
    }

    void answerDone(uint64_t call) {
        auto request = takeRequest(call);
        if (request && request->done) {
            complete(request->session, [&] { request->done(nullptr); });
        }
    }

    template <typename Match>
    void failRequests(Match&& match, const NSError& error) {
        std::vector<uint64_t> calls;
        for (const auto& [call, request] : requests_) {
            if (match(request)) {
                calls.push_back(call);
            }
        }
        for (const uint64_t call : calls) {
            answer(call, error);
        }
    }

    template <typename Match>
    void dropRequests(Match&& match) {
        for (auto it = requests_.begin(); it != requests_.end();) {
            if (match(it->second)) {
                cancelTimer(it->second.timer);
                it = requests_.erase(it);
            } else {
                ++it;
            }
        }
    }

    template <typename F>
    void complete(uint64_t id, F&& f) {
        const auto s = sessions_.find(id);
        if (s != sessions_.end()) {
            s->second.shared->completion(f);
        }
    }

    // ---- Fields ----

    std::weak_ptr<Core> self_;
    std::string wantedAdapter_;  // from TAVRIN_BLUEZ_ADAPTER; set before the loop starts, then read-only
    std::atomic<uint64_t> nextSession_{0};

    std::thread loopThread_;
    int wakeFd_ = -1;
    // Held by the loop thread for all it does but its wait in poll(); a caller's thread takes it only to send a
    // request then (readNow, writeNow). Guards the three poll fields below and everything from timers_ on.
    std::mutex coreMutex_;
    bool pollWaiting_ = false;        // the loop waits in poll()
    short pollEvents_ = 0;            // the bus events it waits for
    Clock::time_point pollDeadline_;  // when it stops waiting at the latest
    std::mutex tasksMutex_;           // guards tasks_ and stopping_
    std::vector<Task> tasks_;
    bool stopping_ = false;
    std::vector<Task> running_;  // loop thread only: the tasks taken for this pass

    mutable std::mutex snapshotMutex_;  // guards state_, authorization_ and mtus_ (read from any thread)
    CBManagerState state_ = CBManagerState::Unknown;
    CBManagerAuthorization authorization_ = CBManagerAuthorization::AllowedAlways;
    std::map<std::string, unsigned> mtus_;

    // Everything below is the loop's, guarded by coreMutex_ (the loop thread holds it but while it waits).
    std::map<uint64_t, Timer> timers_;
    std::set<std::pair<Clock::time_point, uint64_t>> timerOrder_;  // timers_ by deadline
    uint64_t nextTimer_ = 0;
    uint64_t nextCall_ = 0;

    std::shared_ptr<sdbus::IConnection> bus_;
    std::vector<sdbus::Slot> matches_;
    std::map<std::string, std::unique_ptr<sdbus::IProxy>> proxies_;
    // Proxies let go while one of their callbacks may run: destroyed once the dispatch is over.
    std::vector<std::unique_ptr<sdbus::IProxy>> graveyard_;
    BusPhase busPhase_ = BusPhase::Connecting;
    uint64_t busAttempt_ = 0;
    uint64_t busConnectTimer_ = 0;  // the limit of the attempt under way

    // Replies of an older generation (before bluetoothd or the adapter went away) are dropped.
    uint64_t generation_ = 0;
    bool ownerKnown_ = false;
    bool hasOwner_ = false;
    bool objectsLoaded_ = false;
    bool loadFailed_ = false;
    bool accessDenied_ = false;
    bool awaitingReturn_ = false;  // bluetoothd or the adapter went away and has not come back

    std::map<std::string, AdapterObject> adapters_;
    std::unordered_map<std::string, DeviceObject> devices_;  // by path
    std::map<std::string, AttributeObject> attributes_;      // by path: a device's attributes are one range
    std::string adapter_;                                    // the adapter in use, empty when none
    std::map<std::string, std::string> byAddress_;           // address -> device path, on adapter_

    uint64_t discoveryGeneration_ = 0;
    bool discoveryOn_ = false;
    bool discoveryBusy_ = false;
    bool discoveryDirty_ = false;
    std::optional<std::string> appliedFilter_;

    std::map<uint64_t, SessionState> sessions_;
    unsigned callsInFlight_ = 0;                    // calls sent whose reply has not been handled
    Clock::time_point busQuietUntil_;               // the bus waits until then while it may coalesce
    bool passQueued_ = false;                       // some session holds reports or notifications of this pass
    std::map<std::string, DeviceRuntime> runtime_;  // by address
    std::map<uint64_t, Request> requests_;
};

class Session final : public radio::RadioCentral {
  public:
    Session(std::shared_ptr<Core> core, uint64_t id, std::shared_ptr<SessionShared> shared)
        : core_(std::move(core)), id_(id), shared_(std::move(shared)) {}

    ~Session() override { Session::close(); }

    CBManagerState state() const override { return core_->state(); }

    void startScan(const std::optional<std::vector<CBUUID>>& services, bool duplicates) override {
        shared_->setScanning(true);
        core_->post([id = id_, services, duplicates](Core& c) { c.startScan(id, services, duplicates); });
    }

    void stopScan() override {
        shared_->setScanning(false);
        core_->post([id = id_](Core& c) { c.stopScan(id); });
    }

    void connect(const DeviceKey& device) override {
        core_->post([id = id_, device](Core& c) { c.connect(id, device); });
    }

    void cancelConnection(const DeviceKey& device) override {
        core_->post([id = id_, device](Core& c) { c.cancelConnection(id, device); });
    }

    void discoverServices(const DeviceKey& device, ServicesDone done) override {
        core_->post([id = id_, device, done = std::move(done)](Core& c) mutable {
            c.discoverServices(id, device, std::move(done));
        });
    }

    void discoverCharacteristics(const DeviceKey& device, AttributeHandle service, CharacteristicsDone done) override {
        core_->post([id = id_, device, service, done = std::move(done)](Core& c) mutable {
            c.discoverCharacteristics(id, device, service, std::move(done));
        });
    }

    void discoverDescriptors(const DeviceKey& device, AttributeHandle characteristic, DescriptorsDone done) override {
        core_->post([id = id_, device, characteristic, done = std::move(done)](Core& c) mutable {
            c.discoverDescriptors(id, device, characteristic, std::move(done));
        });
    }

    void readCharacteristic(const DeviceKey& device, AttributeHandle characteristic, ValueDone done) override {
        if (core_->readNow(id_, device, characteristic, done)) {
            return;
        }
        core_->post([id = id_, device, characteristic, done = std::move(done)](Core& c) mutable {
            c.read(id, device, characteristic, false, std::move(done));
        });
    }

    void writeCharacteristic(const DeviceKey& device, AttributeHandle characteristic, const std::string& value,
                             Done done) override {
        if (core_->writeNow(id_, device, characteristic, "request", value, done)) {
            return;
        }
        core_->post([id = id_, device, characteristic, value, done = std::move(done)](Core& c) mutable {
            c.write(id, device, characteristic, false, "request", value, std::move(done));
        });
    }

    void writeWithoutResponse(const DeviceKey& device, AttributeHandle characteristic, const std::string& value,
                              Done sent) override {
        // bluetoothd answers a command write once it is queued for the link.
        if (core_->writeNow(id_, device, characteristic, "command", value, sent)) {
            return;
        }
        core_->post([id = id_, device, characteristic, value, sent = std::move(sent)](Core& c) mutable {
            c.write(id, device, characteristic, false, "command", value, std::move(sent));
        });
    }

    void setNotify(const DeviceKey& device, AttributeHandle characteristic, bool enabled, Done done) override {
        core_->post([id = id_, device, characteristic, enabled, done = std::move(done)](Core& c) mutable {
            c.setNotify(id, device, characteristic, enabled, std::move(done));
        });
    }

    void readDescriptor(const DeviceKey& device, AttributeHandle descriptor, ValueDone done) override {
        core_->post([id = id_, device, descriptor, done = std::move(done)](Core& c) mutable {
            c.read(id, device, descriptor, true, std::move(done));
        });
    }

    void writeDescriptor(const DeviceKey& device, AttributeHandle descriptor, const std::string& value,
                         Done done) override {
        core_->post([id = id_, device, descriptor, value, done = std::move(done)](Core& c) mutable {
            c.write(id, device, descriptor, true, nullptr, value, std::move(done));
        });
    }

    unsigned mtu(const DeviceKey& device) const override {
        return shared_->isConnected(device) ? core_->mtu(device) : kDefaultMtu;
    }

    unsigned transmitQueueDepth() const override { return kTransmitQueueDepth; }

    void close() override {
        if (shared_->close()) {
            core_->post([id = id_](Core& c) { c.closeSession(id); });
        }
    }

  private:
    const std::shared_ptr<Core> core_;
    const uint64_t id_;
    const std::shared_ptr<SessionShared> shared_;
};

class BluezRadio final : public radio::Radio {
  public:
    BluezRadio() : core_(std::make_shared<Core>()) { core_->start(core_); }
    ~BluezRadio() override { core_->stop(); }

    std::shared_ptr<radio::RadioCentral> openCentral(std::weak_ptr<radio::RadioCentralEvents> events) override {
        auto shared = std::make_shared<SessionShared>(std::move(events));
        const uint64_t id = core_->newSessionId();
        core_->post([id, shared](Core& c) { c.openSession(id, shared); });
        return std::make_shared<Session>(core_, id, shared);
    }

    CBManagerAuthorization authorization() const override { return core_->authorization(); }

    const std::shared_ptr<Core>& core() const { return core_; }

  private:
    const std::shared_ptr<Core> core_;
};

// The process's radio is never destroyed, so its loop would still run while the program's statics are
// destroyed at exit. Every core is stopped first, from an exit hook; what the loop uses is constructed before
// the hook is registered, so it is destroyed only after the hook has run. Immortal, like the hook.
std::mutex& coresMutex() {
    static auto* mutex = new std::mutex;
    return *mutex;
}
std::vector<std::weak_ptr<Core>>& cores() {  // guarded by coresMutex()
    static auto* all = new std::vector<std::weak_ptr<Core>>;
    return *all;
}

void stopCoresAtExit() {
    std::vector<std::shared_ptr<Core>> alive;
    {
        std::lock_guard<std::mutex> lock(coresMutex());
        for (const auto& weak : cores()) {
            if (auto core = weak.lock()) {
                alive.push_back(std::move(core));
            }
        }
    }
    for (const auto& core : alive) {
        core->stop();
    }
}

}  // namespace

std::unique_ptr<radio::Radio> makeRadio() {
    static std::once_flag hooked;
    std::call_once(hooked, [] {
        // sdbus-c++ builds every Variant from a static of its own: make it before the hook.
        [[maybe_unused]] const sdbus::Variant warm_up;
        std::atexit(stopCoresAtExit);
    });
    auto radio = std::make_unique<BluezRadio>();
    std::lock_guard<std::mutex> lock(coresMutex());
    auto& all = cores();
    all.erase(std::remove_if(all.begin(), all.end(), [](const auto& weak) { return weak.expired(); }), all.end());
    all.push_back(radio->core());
    return radio;
}

}  // namespace platform::bluez
