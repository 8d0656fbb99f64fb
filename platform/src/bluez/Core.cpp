// The BlueZ radio's core: the pass its loop runs, the state other threads read, a central's arrival and
// departure, and the reads and writes a caller's thread sends itself while the loop waits.

#include <poll.h>

#include <cstdlib>
#include <iterator>

#include "Core.h"

namespace platform::bluez {

namespace {

constexpr int kDispatchBatch = 64;
// Traffic is dense when a pass handles at least this many bus messages, or when it comes within the first window of
// the pass before that had some: the next look at the bus then waits a while, so that a stream of advertisements or
// notifications comes many at a time, not one wake each. A sparse message is read as soon as it arrives.
constexpr int kDenseTraffic = 4;
// How long the bus waits, by the dense passes in a row before: each look at the bus wakes this thread and the
// listeners' queues, which costs far more than a message, so a stream that lasts is taken in larger batches. The
// first is less than the shortest connection interval, which batches values anyway.
constexpr std::chrono::milliseconds kCoalescing[] = {std::chrono::milliseconds(5), std::chrono::milliseconds(10),
                                                     std::chrono::milliseconds(20)};
constexpr unsigned kLongestCoalescing = std::size(kCoalescing) - 1;

}  // namespace

NSError lostError(const std::string& text) {
    return CBErrorMake(CBError::PeripheralDisconnected, text);
}
NSError linkLossError() {
    return CBErrorMake(CBError::ConnectionTimeout, "The connection has timed out unexpectedly.");
}
NSError notConnectedError() {
    return CBErrorMake(CBError::NotConnected, "The device is not connected.");
}
NSError unknownAttributeError() {
    return CBErrorMake(CBError::InvalidHandle, "The attribute is unknown to bluetoothd.");
}
NSError unknownDeviceError() {
    return CBErrorMake(CBError::UnknownDevice, "The device is unknown to bluetoothd.");
}
NSError badReplyError(const std::string& what) {
    return NSError{"org.freedesktop.DBus.Error.InvalidSignature", 0, "Unexpected reply from bluetoothd: " + what};
}

bool isTimeout(const NSError& error) {
    return error.domain == "org.freedesktop.DBus.Error.NoReply" ||
           error.domain == "org.freedesktop.DBus.Error.Timeout" ||
           error.domain == "org.freedesktop.DBus.Error.TimedOut";
}

bool isTransientConnectFailure(const NSError& error) {
    return error.domain == "org.bluez.Error.Failed" && error.description == "le-connection-abort-by-local";
}

Core::Core(BusConnector connector, const std::string& adapter) : connector_(std::move(connector)) {
    if (!adapter.empty()) {
        wantedAdapter_ = lastElement(adapter);
    } else if (const char* wanted = std::getenv("TAVRIN_BLUEZ_ADAPTER"); wanted && *wanted) {
        wantedAdapter_ = lastElement(wanted);
    }
}

Core::~Core() = default;

void Core::start(const std::shared_ptr<Core>& self) {
    self_ = self;
    // The loop keeps the core alive until run() returns: a stop() on the loop thread (the last handle let go
    // inside a task) must not destroy what run() still reads.
    loop_.start([self] { self->run(); });
}

CBManagerState Core::state() const {
    MutexLock lock(snapshotMutex_);
    return state_;
}

CBManagerAuthorization Core::authorization() const {
    MutexLock lock(snapshotMutex_);
    return authorization_;
}

unsigned Core::mtu(const std::string& address) const {
    MutexLock lock(snapshotMutex_);
    const auto it = mtus_.find(address);
    return it == mtus_.end() ? kDefaultMtu : it->second;
}

// One pass: the tasks posted, the timers due, the bus's messages (a bounded batch), then the reports and
// notifications they produced; then the wait for the bus, a task or the next deadline.
void Core::run() {
    MutexLock lock(mutex_);
    startConnector();
    bool busWoke = true;  // the bus may have something to process
    std::vector<Task> running;
    while (loop_.take(running)) {
        for (auto& task : running) {
            contain("in the BlueZ radio", [&] { task(*this); });
        }
        running.clear();  // keeps its capacity
        if (loop_.hasTimers()) {
            loop_.runDue(*this);
        }
        int dispatched = loop_.runReady(*this);
        dispatched += busWoke ? dispatchBus() : 0;
        if (passQueued_) {
            flushPass();
        }
        if (dispatched > 0) {
            const auto now = Clock::now();
            const bool dense = dispatched >= kDenseTraffic || now - lastTraffic_ < kCoalescing[0];
            lastTraffic_ = now;
            if (dense && dispatched < kDispatchBatch && mayCoalesce()) {
                busQuietUntil_ = now + kCoalescing[denseStreak_];
                denseStreak_ = std::min(denseStreak_ + 1, kLongestCoalescing);
            } else if (!dense) {
                denseStreak_ = 0;
            }
        } else if (busWoke && Clock::now() >= busQuietUntil_) {
            denseStreak_ = 0;  // the bus had nothing when its wait was over: the stream paused
        }
        if (loop_.busy() || dispatched == kDispatchBatch) {
            busWoke = true;  // not asked, so looked at: a stream of tasks must not starve the bus
            continue;        // more to do without waiting
        }
        wait(busWoke);
    }
    // The bus goes on this thread, after everything that used it.
    dropCalls();
    bus_.reset();
}

int Core::dispatchBus() {
    // A bounded batch, so that a flood of signals does not hold back the requests queued meanwhile.
    int dispatched = 0;
    try {
        while (dispatched < kDispatchBatch && bus_ && bus_->processPending()) {
            ++dispatched;
        }
    } catch (const std::exception& e) {
        busBroken(e.what());
    }
    return dispatched;
}

// Lets go of mutex_ for the wait only.
void Core::wait(bool& busWoke) {
    int timeout = loop_.nextTimeoutMs();
    int fd = -1;
    short events = 0;
    short watchMask = ~short(0);
    // The bus's own deadline (a call's time limit): once it passed the bus is processed, even when a socket's
    // readiness ended the wait.
    auto busDeadline = Clock::time_point::max();
    if (bus_) {
        try {
            const BusPollData data = bus_->pollData();
            const auto quiet = busQuietUntil_ - Clock::now();
            if (quiet > Clock::duration::zero() && data.events == POLLIN && mayCoalesce()) {
                // The bus waits a little, and so do the notify sockets' values; a task (a new request) still
                // wakes the loop at once, and so does a socket with room for a waiting write.
                const int wait = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(quiet).count());
                timeout = timeout < 0 ? wait : std::min(timeout, wait);
                watchMask = static_cast<short>(~POLLIN);
            } else {
                fd = data.fd;
                events = data.events;
                if (data.timeoutMs >= 0 && (timeout < 0 || data.timeoutMs < timeout)) {
                    timeout = data.timeoutMs;
                }
                if (data.timeoutMs >= 0) {
                    busDeadline = Clock::now() + std::chrono::milliseconds(data.timeoutMs);
                }
            }
        } catch (const std::exception& e) {
            busBroken(e.what());
            return;
        }
    }
    pollWaiting_ = true;
    pollEvents_ = events;
    pollDeadline_ = timeout < 0 ? Clock::time_point::max() : Clock::now() + std::chrono::milliseconds(timeout);
    loop_.prepare(fd, events, watchMask);
    mutex_.unlock();
    busWoke = loop_.wait(timeout) || Clock::now() >= busDeadline;
    mutex_.lock();
    pollWaiting_ = false;
}

// ---- A central's arrival, scan and departure ----

void Core::openCentral(uint64_t id, std::shared_ptr<CentralOutbox> outbox) {
    auto& central = centrals_[id];
    central.outbox = std::move(outbox);
    const CBManagerState now = state();
    if (now != CBManagerState::Unknown) {
        central.outbox->event([&](radio::RadioCentralEvents& l) { l.radioStateChanged(now); });
    }
}

void Core::closeCentral(uint64_t id) {
    const auto it = centrals_.find(id);
    if (it == centrals_.end()) {
        return;
    }
    const auto links = it->second.links;
    for (const auto& [address, link] : links) {
        endSubscriptions(id, address);
    }
    dropRequests([&](const Request& r) { return r.central == id; });
    centrals_.erase(it);
    for (auto& [path, device] : devices_) {
        auto& marks = device.scanMarks;
        marks.erase(std::remove_if(marks.begin(), marks.end(), [&](const auto& m) { return m.central == id; }),
                    marks.end());
    }
    limits_.erase(limits_.lower_bound({id, std::string()}), limits_.lower_bound({id + 1, std::string()}));
    setAgent(id, nullptr);
    for (const auto& [address, link] : links) {
        if (anyLink(address)) {
            continue;
        }
        closeWriteSockets(address);
        if (const auto rt = runtime_.find(address);
            rt != runtime_.end() && rt->second.connect == ConnectState::Finding) {
            endFinding(address, nullptr);  // nobody looks for it any more
        } else {
            disconnectDevice(address, nullptr);
        }
    }
    updateDiscovery();
}

void Core::startScan(uint64_t id, std::optional<std::vector<CBUUID>> services, bool duplicates,
                     std::optional<int> rssiFloor) {
    const auto it = centrals_.find(id);
    if (it == centrals_.end()) {
        return;
    }
    auto& central = it->second;
    central.scanning = true;
    central.services = std::move(services);
    central.duplicates = duplicates;
    central.rssiFloor = rssiFloor;
    ++central.scan;
    updateDiscovery();
}

void Core::stopScan(uint64_t id) {
    const auto it = centrals_.find(id);
    if (it != centrals_.end()) {
        it->second.scanning = false;
        updateDiscovery();
    }
}

// ---- Requests sent from the caller's thread ----
//
// A read or write made while the loop waits in poll() goes out from the caller's thread at once, under mutex_,
// instead of waking the loop to send it: one thread hop less before the call is on the bus. Only a request that
// goes out as it is takes this way; one that would be answered on the spot (no link, unknown attribute), one
// made while the loop works, and one made on the loop's own thread (from inside an event or completion) are
// queued to the loop, so no answer ever comes before the request returns or on another thread than the loop.

bool Core::readNow(uint64_t id, const std::string& address, AttributeHandle handle, ValueDone& done) {
    return sendNow([&]() REQUIRES(mutex_) {
        const AttributeObject* attribute = linkedAttribute(id, address, handle, AttributeKind::Characteristic);
        if (!attribute) {
            return false;
        }
        sendRead(id, address, handle, false, attribute->path, std::move(done));
        return true;
    });
}

bool Core::writeNow(uint64_t id, const std::string& address, AttributeHandle handle, const char* type,
                    const std::string& value, Done& done) {
    return sendNow([&]() REQUIRES(mutex_) {
        const AttributeObject* attribute = linkedAttribute(id, address, handle, AttributeKind::Characteristic);
        // A characteristic with a write socket: its writes are the loop's, which watches the socket.
        if (!attribute || attribute->writeAcquired) {
            return false;
        }
        sendWrite(id, address, handle, false, type, value, attribute->path, std::move(done));
        return true;
    });
}

// Runs `send` under mutex_ when the loop waits with no task queued and this is not the loop's thread; returns
// whether it sent. The loop wakes to recompute its wait when the call's timeout or the bus's events ask for it.
// Lock order: mutex_, then the loop's task lock, as in the loop.
template <typename F>
bool Core::sendNow(F&& send) {
    if (loop_.onLoopThread()) {
        return false;
    }
    if (!mutex_.try_lock()) {
        return false;
    }
    bool sent = false;
    try {
        // Not ahead of a request queued before it.
        sent = bus_ && pollWaiting_ && !loop_.busy() && send();
    } catch (...) {
        mutex_.unlock();
        throw;
    }
    bool wakeLoop = sent;
    if (sent) {
        try {
            const BusPollData data = bus_->pollData();
            wakeLoop =
                data.events != pollEvents_ ||
                (data.timeoutMs >= 0 && Clock::now() + std::chrono::milliseconds(data.timeoutMs) < pollDeadline_);
        } catch (const std::exception&) {
            // The loop's own look at the bus finds what went wrong.
        }
    }
    mutex_.unlock();
    if (wakeLoop) {
        loop_.wake();
    }
    return sent;
}

}  // namespace platform::bluez
