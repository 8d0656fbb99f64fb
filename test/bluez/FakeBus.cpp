// The scripted bus: calls recorded for the test, deliveries queued for the radio's loop.

#include "FakeBus.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>

namespace bluez_test {

using platform::bluez::BusError;

// ---- Messages ----

FakeMessage::FakeMessage(std::string sender, std::string path, std::string interface, std::string member,
                         std::vector<sdbus::Variant> args)
    : sender_(std::move(sender)),
      path_(std::move(path)),
      interface_(std::move(interface)),
      member_(std::move(member)),
      args_(std::move(args)) {}

const sdbus::Variant& FakeMessage::next() {
    if (next_ >= args_.size()) {
        throw BusError("org.freedesktop.DBus.Error.InvalidSignature", "no more arguments");
    }
    return args_[next_++];
}

bool FakeMessage::readBool() {
    return next().get<bool>();
}
const char* FakeMessage::readText() {
    texts_.push_back(next().get<std::string>());
    return texts_.back().c_str();
}
std::string FakeMessage::readPath() {
    return next().get<sdbus::ObjectPath>();
}
std::vector<std::string> FakeMessage::readStrings() {
    return next().get<std::vector<std::string>>();
}
void FakeMessage::readBytes(std::string& out) {
    for (const uint8_t byte : next().get<std::vector<uint8_t>>()) {
        out += static_cast<char>(byte);
    }
}
uint16_t FakeMessage::readUint16() {
    return next().get<uint16_t>();
}
int FakeMessage::readUnixFd() {
    const int fd = next().get<int32_t>();
    if (::fcntl(fd, F_GETFD) < 0) {
        throw BusError("org.freedesktop.DBus.Error.InvalidArgs", "not a descriptor");
    }
    return fd;
}
sdbus::Variant FakeMessage::readVariant() {
    return next();
}
InterfaceMap FakeMessage::readInterfaces() {
    return next().get<InterfaceMap>();
}
std::map<sdbus::ObjectPath, InterfaceMap> FakeMessage::readObjects() {
    return next().get<std::map<sdbus::ObjectPath, InterfaceMap>>();
}
platform::bluez::DeviceUpdate FakeMessage::readDeviceUpdate() {
    PropMap changed;
    std::vector<std::string> invalidated;
    readProperties(changed, invalidated);
    return platform::bluez::deviceUpdate(changed, invalidated);
}
platform::bluez::CharacteristicUpdate FakeMessage::readCharacteristicUpdate() {
    PropMap changed;
    std::vector<std::string> invalidated;
    readProperties(changed, invalidated);
    return platform::bluez::characteristicUpdate(changed);
}
void FakeMessage::readProperties(PropMap& changed, std::vector<std::string>& invalidated) {
    changed = next().get<PropMap>();
    invalidated = next().get<std::vector<std::string>>();
}

// ---- Calls to the radio's objects ----

FakeIncoming::FakeIncoming(std::string sender, std::string member, std::vector<sdbus::Variant> args)
    : sender_(std::move(sender)), member_(std::move(member)), args_(std::move(args)) {}

const sdbus::Variant& FakeIncoming::next() {
    if (next_ >= args_.size()) {
        throw BusError("org.freedesktop.DBus.Error.InvalidSignature", "no more arguments");
    }
    return args_[next_++];
}
std::string FakeIncoming::readPath() {
    return next().get<sdbus::ObjectPath>();
}
uint32_t FakeIncoming::readUint32() {
    return next().get<uint32_t>();
}
uint16_t FakeIncoming::readUint16() {
    return next().get<uint16_t>();
}
void FakeIncoming::reply() {
    answer("");
}
void FakeIncoming::replyUint32(uint32_t value) {
    answer("u " + std::to_string(value));
}
void FakeIncoming::replyError(const std::string& name, const std::string&) {
    answer(name);
}
void FakeIncoming::answer(std::string text) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!answer_) {
        answer_ = std::move(text);
    }
    answered_.notify_all();
}
std::optional<std::string> FakeIncoming::waitAnswer(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    answered_.wait_for(lock, limit, [&] { return answer_.has_value(); });
    return answer_;
}

// ---- The bus ----

void FakeBus::serve(const std::string& path, const std::string&, const std::vector<platform::bluez::ServedMethod>&,
                    platform::bluez::MethodHandler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    served_[path] = std::move(handler);
}

void FakeBus::unserve(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    served_.erase(path);
}

std::shared_ptr<FakeIncoming> FakeBus::ask(const std::string& path, const std::string& member,
                                           std::vector<sdbus::Variant> args, const std::string& sender) {
    platform::bluez::MethodHandler handler;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto it = served_.find(path);
        if (it == served_.end()) {
            return nullptr;
        }
        handler = it->second;
    }
    auto call = std::make_shared<FakeIncoming>(sender, member, std::move(args));
    deliver([handler, call] { handler(call); });
    return call;
}

FakeBus::FakeBus() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

FakeBus::~FakeBus() {
    ::close(fd_);
}

std::optional<FakeBus::Call> FakeBus::take(const std::string& method, std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    std::optional<Call> found;
    called_.wait_for(lock, limit, [&] {
        for (const Call& call : calls_) {
            if ((method.empty() || call.method == method) && pending_.count(call.id) &&
                std::find(taken_.begin(), taken_.end(), call.id) == taken_.end()) {
                found = call;
                taken_.push_back(call.id);
                return true;
            }
        }
        return false;
    });
    return found;
}

std::size_t FakeBus::count(const std::string& method) {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<std::size_t>(
        std::count_if(calls_.begin(), calls_.end(), [&](const Call& c) { return c.method == method; }));
}

void FakeBus::reply(uint64_t call, std::vector<sdbus::Variant> args) {
    deliver([this, call, args = std::move(args)]() mutable {
        platform::bluez::ReplyHandler handler;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            const auto it = pending_.find(call);
            if (it == pending_.end()) {
                return;  // dropped, or answered already: a real bus would not deliver it either
            }
            handler = std::move(it->second);
            pending_.erase(it);
        }
        FakeMessage message(kOwner, "", "", "", std::move(args));
        handler(&message, nullptr);
    });
}

void FakeBus::fail(uint64_t call, const std::string& name, const std::string& message) {
    deliver([this, call, name, message] {
        platform::bluez::ReplyHandler handler;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            const auto it = pending_.find(call);
            if (it == pending_.end()) {
                return;
            }
            handler = std::move(it->second);
            pending_.erase(it);
        }
        const BusError error(name, message);
        handler(nullptr, &error);
    });
}

void FakeBus::signal(const std::string& sender, const std::string& path, const std::string& interface,
                     const std::string& member, std::vector<sdbus::Variant> args) {
    deliver([this, sender, path, interface, member, args = std::move(args)] {
        std::vector<platform::bluez::SignalHandler> handlers;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            for (const Match& match : matches_) {
                const auto is = [&](const char* key, const std::string& value) {
                    const auto it = match.keys.find(key);
                    return it == match.keys.end() || it->second == value;
                };
                // A signal sent to us alone passes a rule's sender='well.known.name', which only the bus daemon
                // can check and only for what it broadcasts: the fake lets every sender through, as a hostile
                // client on a real bus can.
                const auto space = match.keys.find("path_namespace");
                const bool inSpace = space == match.keys.end() || path.rfind(space->second, 0) == 0;
                bool arg0 = true;
                if (const auto a = match.keys.find("arg0"); a != match.keys.end()) {
                    arg0 = !args.empty() && args[0].containsValueOfType<std::string>() &&
                           args[0].get<std::string>() == a->second;
                }
                if (inSpace && arg0 && is("interface", interface) && is("member", member)) {
                    handlers.push_back(match.handler);
                }
            }
        }
        for (const auto& handler : handlers) {
            FakeMessage message(sender, path, interface, member, args);
            handler(message);
        }
    });
}

void FakeBus::breakConnection() {
    deliver([this] {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            matches_.clear();
            pending_.clear();
        }
        throw BusError("org.freedesktop.DBus.Error.Disconnected", "Connection closed by the bus");
    });
}

void FakeBus::propertiesChanged(const std::string& path, const std::string& interface, PropMap changed,
                                std::vector<std::string> invalidated) {
    signal(kOwner, path, "org.freedesktop.DBus.Properties", "PropertiesChanged",
           {sdbus::Variant(interface), sdbus::Variant(changed), sdbus::Variant(invalidated)});
}

void FakeBus::call(const platform::bluez::BusCall& call, std::chrono::microseconds,
                   platform::bluez::ReplyHandler handler) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const uint64_t id = ++nextCall_;
        calls_.push_back(Call{id, call.path, call.interface, call.method, call.args});
        pending_[id] = std::move(handler);
    }
    called_.notify_all();
}

void FakeBus::addMatch(const std::string& rule, platform::bluez::SignalHandler handler) {
    Match match;
    match.handler = std::move(handler);
    // type='signal',sender='org.bluez',...: the values hold no commas or quotes.
    std::size_t at = 0;
    while (at < rule.size()) {
        const auto eq = rule.find("='", at);
        const auto end = rule.find('\'', eq + 2);
        if (eq == std::string::npos || end == std::string::npos) {
            break;
        }
        match.keys[rule.substr(at, eq - at)] = rule.substr(eq + 2, end - eq - 2);
        at = end + 2;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    matches_.push_back(std::move(match));
}

void FakeBus::dropCalls() {
    std::lock_guard<std::mutex> lock(mutex_);
    pending_.clear();
}

platform::bluez::BusPollData FakeBus::pollData() {
    return platform::bluez::BusPollData{fd_, POLLIN, -1};
}

bool FakeBus::processPending() {
    std::function<void()> delivery;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (deliveries_.empty()) {
            uint64_t drained = 0;
            [[maybe_unused]] const auto got = ::read(fd_, &drained, sizeof drained);
            return false;
        }
        delivery = std::move(deliveries_.front());
        deliveries_.pop_front();
    }
    delivery();
    return true;
}

void FakeBus::deliver(std::function<void()> delivery) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        deliveries_.push_back(std::move(delivery));
    }
    const uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(fd_, &one, sizeof one);
}

// ---- bluetoothd's objects ----

FakeObjects::FakeObjects() {
    objects[sdbus::ObjectPath("/org/bluez/hci0")]["org.bluez.Adapter1"] =
        PropMap{{"Address", sdbus::Variant(std::string("00:1A:7D:DA:71:13"))},
                {"Powered", sdbus::Variant(true)},
                {"Roles", sdbus::Variant(std::vector<std::string>{"central", "peripheral"})}};
}

std::string FakeObjects::device(const std::string& address) {
    std::string path = "/org/bluez/hci0/dev_" + address;
    std::replace(path.begin(), path.end(), ':', '_');
    objects[sdbus::ObjectPath(path)]["org.bluez.Device1"] =
        PropMap{{"Address", sdbus::Variant(address)},
                {"Adapter", sdbus::Variant(sdbus::ObjectPath("/org/bluez/hci0"))},
                {"Connected", sdbus::Variant(false)},
                {"ServicesResolved", sdbus::Variant(false)}};
    return path;
}

std::string FakeObjects::service(const std::string& device, uint16_t handle, const std::string& uuid,
                                 const std::string& characteristicUuid) {
    char element[32];
    std::snprintf(element, sizeof element, "/service%04x", handle);
    const std::string service = device + element;
    std::snprintf(element, sizeof element, "/char%04x", handle + 1);
    const std::string characteristic = service + element;
    objects[sdbus::ObjectPath(service)]["org.bluez.GattService1"] =
        PropMap{{"UUID", sdbus::Variant(uuid)},
                {"Primary", sdbus::Variant(true)},
                {"Device", sdbus::Variant(sdbus::ObjectPath(device))}};
    objects[sdbus::ObjectPath(characteristic)]["org.bluez.GattCharacteristic1"] =
        PropMap{{"UUID", sdbus::Variant(characteristicUuid)},
                {"Service", sdbus::Variant(sdbus::ObjectPath(service))},
                {"Flags", sdbus::Variant(std::vector<std::string>{"read", "write", "notify"})},
                {"MTU", sdbus::Variant(uint16_t{185})}};
    return characteristic;
}

}  // namespace bluez_test
