// The bus connection: connecting in the background, the matches for bluetoothd's signals, the calls and the
// count of those awaiting their reply, and losing the connection.

#include <thread>

#include "Core.h"

namespace platform::bluez {

void Core::startConnector() {
    busPhase_ = BusPhase::Connecting;
    const uint64_t attempt = ++busAttempt_;
    busConnectTimer_ = loop_.after(kBusConnectLimit, [attempt](Core& core) REQUIRES(core.mutex_) {
        if (core.busAttempt_ == attempt && core.busPhase_ == BusPhase::Connecting) {
            core.busPhase_ = BusPhase::Failed;
            core.refreshState();
        }
    });
    // Connecting blocks until the bus has answered the handshake, which may take long on a bus that does not
    // answer: a thread of its own does it, and hands the connection to the loop.
    std::weak_ptr<Core> weak = self_;
    std::thread([weak, attempt, connector = connector_] {
        std::shared_ptr<Bus> bus;
        std::string failure;
        try {
            bus = connector();
        } catch (const BusError& e) {
            failure = e.name() + ": " + e.message();
        } catch (const std::exception& e) {
            failure = e.what();
        }
        if (const auto core = weak.lock()) {
            core->post([bus, failure, attempt](Core& c) REQUIRES(c.mutex_) { c.busReady(attempt, bus, failure); });
        }
    }).detach();
}

void Core::busReady(uint64_t attempt, std::shared_ptr<Bus> bus, const std::string& failure) {
    if (attempt != busAttempt_) {
        return;
    }
    loop_.cancel(busConnectTimer_);  // answered, one way or the other
    busConnectTimer_ = 0;
    if (!bus) {
        if (busBackoff_.fresh()) {
            NSLog("BlueZ radio: the system bus cannot be reached, trying again: %@", failure);
        }
        busPhase_ = BusPhase::Failed;
        refreshState();
        retryBus();
        return;
    }
    trace_("bus connected");
    busBackoff_.reset();
    bus_ = std::move(bus);
    busPhase_ = BusPhase::Up;
    // Signals run inside the loop's dispatch, under mutex_. Any client on the bus can send us any signal, past
    // every match rule, so each is believed only from its one true sender. One of an unexpected shape is dropped
    // with a console line: bluetoothd would not send it.
    const auto handle = [this](void (Core::*on)(BusMessage&), bool fromBus) {
        return [this, on, fromBus](BusMessage& m) NO_THREAD_SAFETY_ANALYSIS {
            if (!trusted(m, fromBus)) {
                if (trace_.on()) {
                    trace_("signal {} {} from {} ignored: not {}", m.member(), m.path(), m.sender(),
                           fromBus ? "the bus" : "bluetoothd");
                }
                return;
            }
            if (trace_.on()) {
                trace_("signal {} {} from {}", m.member(), m.path(), m.sender());
            }
            contain("in a BlueZ signal", [&] { (this->*on)(m); });
        };
    };
    try {
        bus_->addMatch(
            "type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',"
            "member='NameOwnerChanged',arg0='org.bluez'",
            handle(&Core::onNameOwnerChanged, true));
        bus_->addMatch("type='signal',sender='org.bluez',interface='org.freedesktop.DBus.ObjectManager'",
                       handle(&Core::onObjectManagerSignal, false));
        bus_->addMatch(
            "type='signal',sender='org.bluez',interface='org.freedesktop.DBus.Properties',"
            "member='PropertiesChanged',path_namespace='/org/bluez'",
            handle(&Core::onPropertiesChanged, false));
    } catch (const std::exception& e) {
        busBroken(e.what());
        return;
    }
    askOwner();
}

bool Core::trusted(const BusMessage& signal, bool fromBus) const {
    const std::string sender = signal.sender();
    return fromBus ? sender == "org.freedesktop.DBus" : !owner_.empty() && sender == owner_;
}

// The bus connection itself broke (the bus daemon went away): everything is lost; connect again.
void Core::busBroken(const std::string& what) {
    if (!bus_) {
        return;
    }
    NSLog("BlueZ radio: the system bus connection failed: %@", what);
    bluetoothdLost(lostError("The system bus connection was lost."));
    dropCalls();
    bus_.reset();
    ownerKnown_ = false;
    awaitingReturn_ = true;
    busPhase_ = BusPhase::Failed;
    refreshState();
    retryBus();
}

// The bus daemon may be restarting, or its socket not there yet: connect again on the backoff schedule, for as
// long as it takes.
void Core::retryBus() {
    const auto delay = busBackoff_.next();
    trace_("bus: connecting again in {} ms", std::chrono::duration_cast<std::chrono::milliseconds>(delay).count());
    const uint64_t attempt = busAttempt_;
    loop_.after(delay, [attempt](Core& core) REQUIRES(core.mutex_) {
        if (!core.bus_ && core.busAttempt_ == attempt) {
            core.startConnector();
        }
    });
}

void Core::call(const std::string& destination, BusCall call, Clock::duration timeout, ReplyDone done) {
    call.destination = destination;
    if (trace_.on()) {
        trace_("call {}.{} {}", call.interface, call.method, call.path);
    }
    try {
        if (!bus_) {
            throw BusError("org.freedesktop.DBus.Error.Disconnected", "Not connected to the system bus");
        }
        bus_->call(call, std::chrono::duration_cast<std::chrono::microseconds>(timeout),
                   [this, done, method = call.method, path = trace_.on() ? call.path : std::string()](
                       BusMessage* reply, const BusError* error)
                       NO_THREAD_SAFETY_ANALYSIS {  // runs inside the loop's dispatch, under mutex_
                           if (callsInFlight_ > 0) {
                               --callsInFlight_;
                           }
                           if (!error) {
                               trace_("reply {} {}", method, path);
                               contain("in the BlueZ radio", [&] { done(*this, reply, nullptr); });
                               return;
                           }
                           if (trace_.on()) {
                               trace_("error {} {}: {}: {}", method, path, error->name(), error->message());
                           }
                           // A refused call fails that call alone: the bus's policy may refuse one method
                           // and allow the rest.
                           const NSError e = errorFromDBus(error->name(), error->message());
                           contain("in the BlueZ radio", [&] { done(*this, nullptr, &e); });
                       });
        ++callsInFlight_;
    } catch (const BusError& e) {
        trace_("not sent {} {}: {}: {}", call.method, call.path, e.name(), e.message());
        // Answered from the loop, never from inside the request.
        const NSError error = errorFromDBus(e.name(), e.message());
        post([done, error](Core& core) REQUIRES(core.mutex_) { done(core, nullptr, &error); });
    }
}

void Core::callBluez(const std::string& path, const char* interface, const char* method, std::vector<BusArg> args,
                     Clock::duration timeout, ReplyDone done) {
    call(kBluezService, BusCall{{}, path, interface, method, std::move(args)}, timeout, std::move(done));
}

// Replies to what was asked before are of no use any more: they are dropped with the calls.
void Core::dropCalls() {
    if (bus_) {
        bus_->dropCalls();
    }
    callsInFlight_ = 0;
}

// True while nothing waits on the bus's next message: no call awaits its reply, and every link is up with its
// services resolved. What comes then is advertisements, notifications and property changes, which may be read a
// few milliseconds late, together.
bool Core::mayCoalesce() const {
    if (callsInFlight_ != 0) {
        return false;
    }
    for (const auto& [id, central] : centrals_) {
        for (const auto& [address, link] : central.links) {
            const auto rt = runtime_.find(address);
            if (link.phase != Phase::Connected || rt == runtime_.end() || rt->second.tree != TreeState::Ready) {
                return false;
            }
        }
    }
    return true;
}

}  // namespace platform::bluez
