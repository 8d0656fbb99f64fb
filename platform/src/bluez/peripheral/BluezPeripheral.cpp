// The BlueZ peripheral session's face: the program's requests handed to the loop, the program's answers to
// bluetoothd's calls, the events, and closing.

#include "platform/bluez/BluezPeripheral.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "PeripheralBus.h"
#include "PeripheralSession.h"

namespace platform::bluez {

std::shared_ptr<radio::RadioPeripheral> openBluezPeripheral(const std::string& adapter,
                                                            std::weak_ptr<radio::RadioPeripheralEvents> events) {
    std::unique_ptr<sdbus::IConnection> connection;
    try {
        connection = sdbus::createSystemBusConnection();
    } catch (const sdbus::Error& e) {
        throw std::runtime_error("cannot reach the system bus: " + e.getMessage());
    }
    auto session = std::make_shared<peripheral::PeripheralSession>(adapter, std::move(events), std::move(connection));
    session->start();
    return session;
}

}  // namespace platform::bluez

namespace platform::bluez::peripheral {

namespace {

// An answer the program holds: called once, or dropped, from any thread. It reaches the loop by the session,
// which keeps bluetoothd's call, so that the bus's messages are only ever touched on the loop's thread. Dropped
// unanswered, it lets the session forget the call: bluetoothd then answers the central after its own limit.
class AnswerToken {
  public:
    AnswerToken(uint64_t id, std::weak_ptr<PeripheralSession> session) : id_(id), session_(std::move(session)) {}
    ~AnswerToken() {
        if (auto session = session_.lock()) {
            session->forgetCall(id_);
        }
    }
    AnswerToken(const AnswerToken&) = delete;
    AnswerToken& operator=(const AnswerToken&) = delete;

    std::shared_ptr<PeripheralSession> once() {
        if (used_.exchange(true)) {
            return nullptr;
        }
        return session_.lock();
    }
    uint64_t id() const { return id_; }

  private:
    const uint64_t id_;
    const std::weak_ptr<PeripheralSession> session_;
    std::atomic<bool> used_{false};
};

}  // namespace

PeripheralSession::PeripheralSession(std::string adapter, std::weak_ptr<radio::RadioPeripheralEvents> events,
                                     std::unique_ptr<sdbus::IConnection> connection)
    : adapter_(std::move(adapter)),
      adapterPath_("/org/bluez/" + adapter_),
      root_("/org/tavrin/peripheral/" + adapter_),
      events_(std::move(events)),
      loop_(std::make_shared<PeripheralLoop>(std::move(connection))) {}

PeripheralSession::~PeripheralSession() {
    // The loop's tasks and the bus's callbacks hold the session only weakly. Elsewhere the loop stops before the
    // objects go; on the loop's own thread (the program let go of the session while a callback held it) this may be
    // inside one of the bus's callbacks, so they are kept until the loop has stopped.
    const bool onLoop = loop_->onLoopThread();
    loop_->stop();
    if (onLoop) {
        struct Leftovers {
            std::map<radio::LocalAttributeId, ServiceEntry> services;
            std::map<radio::AdvertisementId, AdvertisementEntry> advertisements;
            std::map<uint64_t, PendingCall> calls;
            std::vector<sdbus::Slot> matches;
            std::map<std::string, std::unique_ptr<sdbus::IProxy>> proxies;
        };
        auto kept = std::make_shared<Leftovers>(Leftovers{std::move(services_), std::move(advertisements_),
                                                          std::move(calls_), std::move(matches_), std::move(proxies_)});
        loop_->keepUntilStopped(std::move(kept));
        return;
    }
    services_.clear();
    advertisements_.clear();
    calls_.clear();
    matches_.clear();
    proxies_.clear();
}

void PeripheralSession::start() {
    loop_->post([weak = weak_from_this()] {
        if (auto self = weak.lock()) {
            self->watchBus();
        }
    });
    loop_->start();
}

void PeripheralSession::addService(radio::LocalService service, radio::Done done) {
    loop_->post([weak = weak_from_this(), service = std::move(service), done = std::move(done)]() mutable {
        auto self = weak.lock();
        if (!self) {
            return;
        }
        const auto id = service.id;
        if (self->closing_ || self->services_.count(id) != 0) {
            const NSError error{"org.bluez.Error.AlreadyExists", 0, "The service is served already"};
            if (!self->closing_ && done) {
                contain("in a BlueZ peripheral completion", [&] { done(&error); });
            }
            return;
        }
        ServiceEntry& entry = self->services_[id];
        entry.description = std::move(service);
        entry.done = std::move(done);
        self->serviceOrder_.push_back(id);
        self->pump();
    });
}

void PeripheralSession::removeService(radio::LocalAttributeId service) {
    loop_->post([weak = weak_from_this(), service] {
        auto self = weak.lock();
        if (!self) {
            return;
        }
        auto it = self->services_.find(service);
        if (it == self->services_.end()) {
            return;
        }
        ServiceEntry entry = std::move(it->second);
        self->services_.erase(it);
        self->serviceOrder_.erase(std::remove(self->serviceOrder_.begin(), self->serviceOrder_.end(), service),
                                  self->serviceOrder_.end());
        if (entry.app && (entry.stage == Stage::Registered || entry.stage == Stage::Registering)) {
            const sdbus::ObjectPath path(entry.app->root());
            self->callDaemon(
                self->owner_, self->adapterPath_, "org.bluez.GattManager1", "UnregisterApplication",
                [&path](sdbus::MethodCall& m) { m << path; }, std::chrono::milliseconds(2000),
                [](sdbus::MethodReply*, const sdbus::Error*) {});
        }
        if (entry.stage != Stage::Registered && entry.done && !self->closing_) {
            const NSError canceled{"org.bluez.Error.Canceled", 0, "The service was removed"};
            contain("in a BlueZ peripheral completion", [&] { entry.done(&canceled); });
        }
    });
}

void PeripheralSession::startAdvertising(radio::AdvertisementId advertisement, radio::LocalAdvertisement data,
                                         radio::Done done) {
    loop_->post([weak = weak_from_this(), advertisement, data = std::move(data), done = std::move(done)]() mutable {
        auto self = weak.lock();
        if (!self || self->closing_) {
            return;
        }
        self->stopAdvertising(advertisement);  // runs after this task: the new one waits in turn
        self->loop_->post([weak, advertisement, data = std::move(data), done = std::move(done)]() mutable {
            auto s = weak.lock();
            if (!s || s->closing_) {
                return;
            }
            AdvertisementEntry& entry = s->advertisements_[advertisement];
            entry.data = std::move(data);
            entry.done = std::move(done);
            s->pump();
        });
    });
}

void PeripheralSession::stopAdvertising(radio::AdvertisementId advertisement) {
    loop_->post([weak = weak_from_this(), advertisement] {
        auto self = weak.lock();
        if (!self) {
            return;
        }
        auto it = self->advertisements_.find(advertisement);
        if (it == self->advertisements_.end()) {
            return;
        }
        AdvertisementEntry entry = std::move(it->second);
        self->advertisements_.erase(it);
        if (entry.object && (entry.stage == Stage::Registered || entry.stage == Stage::Registering)) {
            const sdbus::ObjectPath path(entry.object->path());
            self->callDaemon(
                self->owner_, self->adapterPath_, "org.bluez.LEAdvertisingManager1", "UnregisterAdvertisement",
                [&path](sdbus::MethodCall& m) { m << path; }, std::chrono::milliseconds(2000),
                [](sdbus::MethodReply*, const sdbus::Error*) {});
        }
        if (entry.stage != Stage::Registered && entry.done && !self->closing_) {
            const NSError canceled{"org.bluez.Error.Canceled", 0, "The advertisement was stopped"};
            contain("in a BlueZ peripheral completion", [&] { entry.done(&canceled); });
        }
    });
}

void PeripheralSession::updateValue(radio::LocalAttributeId characteristic, const std::string& value) {
    loop_->post([weak = weak_from_this(), characteristic, value] {
        auto self = weak.lock();
        if (!self) {
            return;
        }
        for (auto& [id, entry] : self->services_) {
            if (entry.app && entry.app->updateValue(characteristic, value)) {
                return;
            }
        }
    });
}

void PeripheralSession::disconnectCentral(const radio::CentralKey& central) {
    loop_->post([weak = weak_from_this(), central] {
        auto self = weak.lock();
        if (!self || self->daemon_ != Daemon::Present) {
            return;
        }
        for (const auto& [path, c] : self->centrals_) {
            if (c.address == central) {
                self->callDaemon(self->owner_, path, "org.bluez.Device1", "Disconnect", nullptr,
                                 std::chrono::milliseconds(5000), [](sdbus::MethodReply*, const sdbus::Error*) {});
            }
        }
    });
}

void PeripheralSession::close(std::chrono::milliseconds limit) {
    if (loop_->onLoopThread()) {
        closing_ = true;
        unregisterAll([] {});
        return;
    }
    loop_->post([weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self) {
            return;
        }
        self->closing_ = true;
        self->unregisterAll([weak] {
            if (auto s = weak.lock()) {
                std::lock_guard<std::mutex> lock(s->closeMutex_);
                s->unregistered_ = true;
                s->closeDone_.notify_all();
            }
        });
    });
    {
        std::unique_lock<std::mutex> lock(closeMutex_);
        closeDone_.wait_for(lock, limit, [this] { return unregistered_; });
    }
    loop_->stop();
}

void PeripheralSession::emit(const std::function<void(radio::RadioPeripheralEvents&)>& event) {
    if (closing_) {
        return;
    }
    if (auto listener = events_.lock()) {
        contain("in a BlueZ peripheral listener", [&] { event(*listener); });
    }
}

void PeripheralSession::setState(CBManagerState state) {
    if (state_.exchange(state) != state) {
        emit([state](radio::RadioPeripheralEvents& l) { l.peripheralStateChanged(state); });
    }
}

std::string PeripheralSession::objectPath(const std::string& what) {
    return root_ + "/" + what + std::to_string(++nextObject_);
}

// ---- The program's answers ----

bool PeripheralSession::fromDaemon(const sdbus::MethodCall& call) const {
    return daemon_ != Daemon::Absent && !owner_.empty() && call.getSender() == owner_;
}

void PeripheralSession::read(radio::ReadRequest request, sdbus::MethodCall call) {
    const uint64_t id = ++nextCall_;
    calls_.emplace(id, PendingCall{std::move(call), true});
    auto token = std::make_shared<AnswerToken>(id, weak_from_this());
    radio::ReadReply reply = [token](CBATTError result, const std::string& value) {
        if (auto session = token->once()) {
            session->answerRead(token->id(), result, value);
        }
    };
    emit([&](radio::RadioPeripheralEvents& l) { l.peripheralRead(request, reply); });
}

void PeripheralSession::write(radio::WriteRequest request, sdbus::MethodCall call) {
    const uint64_t id = ++nextCall_;
    calls_.emplace(id, PendingCall{std::move(call), false});
    auto token = std::make_shared<AnswerToken>(id, weak_from_this());
    radio::WriteReply reply = [token](CBATTError result) {
        if (auto session = token->once()) {
            session->answerWrite(token->id(), result);
        }
    };
    emit([&](radio::RadioPeripheralEvents& l) { l.peripheralWrite(request, reply); });
}

void PeripheralSession::answerRead(uint64_t id, CBATTError result, std::string value) {
    loop_->post([weak = weak_from_this(), id, result, value = std::move(value)] {
        auto self = weak.lock();
        if (!self) {
            return;
        }
        auto it = self->calls_.find(id);
        if (it == self->calls_.end()) {
            return;
        }
        const sdbus::MethodCall call = std::move(it->second.call);
        self->calls_.erase(it);
        if (result != CBATTError::Success) {
            return answerError(call, attErrorReply(result));
        }
        const std::vector<uint8_t> bytes(value.begin(), value.end());
        answer(call, [&bytes](sdbus::MethodReply& r) { r << bytes; });
    });
}

void PeripheralSession::answerWrite(uint64_t id, CBATTError result) {
    loop_->post([weak = weak_from_this(), id, result] {
        auto self = weak.lock();
        if (!self) {
            return;
        }
        auto it = self->calls_.find(id);
        if (it == self->calls_.end()) {
            return;
        }
        const sdbus::MethodCall call = std::move(it->second.call);
        self->calls_.erase(it);
        if (result != CBATTError::Success) {
            return answerError(call, attErrorReply(result));
        }
        answer(call);
    });
}

void PeripheralSession::forgetCall(uint64_t id) {
    loop_->post([weak = weak_from_this(), id] {
        if (auto self = weak.lock()) {
            self->calls_.erase(id);
        }
    });
}

void PeripheralSession::notifying(radio::LocalAttributeId characteristic, bool on) {
    if (on ? !subscribed_.insert(characteristic).second : subscribed_.erase(characteristic) == 0) {
        return;
    }
    emit([&](radio::RadioPeripheralEvents& l) {
        if (on) {
            l.peripheralSubscribed(characteristic);
        } else {
            l.peripheralUnsubscribed(characteristic);
        }
    });
}

}  // namespace platform::bluez::peripheral
