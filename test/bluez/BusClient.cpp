#include "BusClient.h"

#include <poll.h>

#include <algorithm>
#include <cstdio>

#include <gtest/gtest.h>

namespace bluez_test {

namespace {

using Clock = std::chrono::steady_clock;
const char* const kBluez = "org.bluez";

template <typename T>
std::string joined(const std::vector<T>& items) {
    std::string out;
    for (const T& item : items) {
        if (!out.empty()) {
            out += ",";
        }
        out += std::string(item);
    }
    return out;
}

}  // namespace

std::string hex(const std::vector<uint8_t>& bytes) {
    std::string out;
    char two[3];
    for (uint8_t b : bytes) {
        std::snprintf(two, sizeof two, "%02x", static_cast<unsigned>(b));
        out += two;
    }
    return out;
}

std::string describe(const sdbus::Variant& value) {
    const std::string type = value.peekValueType();
    if (type == "b") {
        return value.get<bool>() ? "true" : "false";
    }
    if (type == "n") {
        return std::to_string(value.get<int16_t>());
    }
    if (type == "q") {
        return std::to_string(value.get<uint16_t>());
    }
    if (type == "u") {
        return std::to_string(value.get<uint32_t>());
    }
    if (type == "s") {
        return value.get<std::string>();
    }
    if (type == "o") {
        return value.get<sdbus::ObjectPath>();
    }
    if (type == "ay") {
        return hex(value.get<std::vector<uint8_t>>());
    }
    if (type == "as") {
        return joined(value.get<std::vector<std::string>>());
    }
    if (type == "ao") {
        return joined(value.get<std::vector<sdbus::ObjectPath>>());
    }
    if (type == "a{qv}") {
        std::vector<std::string> entries;
        for (const auto& [key, inner] : value.get<std::map<uint16_t, sdbus::Variant>>()) {
            char k[8];
            std::snprintf(k, sizeof k, "%04x", static_cast<unsigned>(key));
            entries.push_back(std::string(k) + "=" + describe(inner));
        }
        return joined(entries);
    }
    if (type == "a{sv}") {
        std::vector<std::string> entries;
        for (const auto& [key, inner] : value.get<std::map<std::string, sdbus::Variant>>()) {
            entries.push_back(key + "=" + describe(inner));
        }
        return joined(entries);
    }
    return "<" + type + ">";
}

BusClient::BusClient(const std::string& address) : connection_(sdbus::createSessionBusConnectionWithAddress(address)) {
    connection_->addMatch(
        "type='signal',sender='org.bluez'", [this](sdbus::Message& m) { record(m); }, sdbus::floating_slot);
}

void BusClient::forgeNameLost(const std::string& name) {
    std::string owner;
    sdbus::createProxy(*connection_, "org.freedesktop.DBus", "/org/freedesktop/DBus")
        ->callMethod("GetNameOwner")
        .onInterface("org.freedesktop.DBus")
        .withArguments(std::string("org.bluez"))
        .storeResultsTo(owner);
    auto object = sdbus::createObject(*connection_, "/org/freedesktop/DBus");
    auto signal = object->createSignal("org.freedesktop.DBus", "NameOwnerChanged");
    signal << name << name << std::string();
    signal.setDestination(owner);
    signal.send();
}

void BusClient::record(sdbus::Message& message) {
    BusEvent e;
    e.path = message.getPath();
    const std::string member = message.getMemberName();
    if (member == "PropertiesChanged") {
        std::map<std::string, sdbus::Variant> values;
        message >> e.iface >> values >> e.names;
        for (const auto& [name, value] : values) {
            e.props[name] = describe(value);
        }
    } else if (member == "InterfacesAdded") {
        e.kind = BusEvent::Kind::Added;
        sdbus::ObjectPath path;
        std::map<std::string, std::map<std::string, sdbus::Variant>> interfaces;
        message >> path >> interfaces;
        e.path = path;
        for (const auto& [iface, props] : interfaces) {
            e.names.push_back(iface);
            if (iface.rfind("org.bluez.", 0) == 0) {
                e.iface = iface;
                for (const auto& [name, value] : props) {
                    e.props[name] = describe(value);
                }
            }
        }
    } else if (member == "InterfacesRemoved") {
        e.kind = BusEvent::Kind::Removed;
        sdbus::ObjectPath path;
        message >> path >> e.names;
        e.path = path;
    } else {
        return;
    }
    events_.push_back(std::move(e));
}

sdbus::IProxy& BusClient::proxy(const std::string& path) {
    auto& slot = proxies_[path];
    if (!slot) {
        slot = sdbus::createProxy(*connection_, kBluez, path);
    }
    return *slot;
}

uint64_t BusClient::send(const std::string& path, const std::string& iface, const std::string& method, const Args& args,
                         Results results) {
    const uint64_t id = ++next_call_;
    auto& p = proxy(path);
    auto message = p.createMethodCall(iface, method);
    if (args) {
        args(message);
    }
    p.callMethod(
        message,
        [this, id, path, method, results = std::move(results)](sdbus::MethodReply& reply, const sdbus::Error* error) {
            BusEvent e;
            e.kind = BusEvent::Kind::Reply;
            e.path = path;
            e.iface = method;
            e.call = id;
            if (error != nullptr) {
                e.error = error->getName();
                e.message = error->getMessage();
            } else if (results) {
                results(reply, e);
            }
            events_.push_back(std::move(e));
        },
        10'000'000);
    return id;
}

std::optional<size_t> BusClient::indexOfReply(uint64_t call) const {
    for (size_t i = 0; i < events_.size(); ++i) {
        if (events_[i].kind == BusEvent::Kind::Reply && events_[i].call == call) {
            return i;
        }
    }
    return std::nullopt;
}

BusEvent BusClient::reply(uint64_t call) {
    auto at = waitFor([call](const BusEvent& e) { return e.kind == BusEvent::Kind::Reply && e.call == call; });
    if (!at) {
        ADD_FAILURE() << "no reply to call " << call << " within 5 s";
        return BusEvent{};
    }
    return events_[*at];
}

BusEvent BusClient::call(const std::string& path, const std::string& iface, const std::string& method, const Args& args,
                         Results results) {
    return reply(send(path, iface, method, args, std::move(results)));
}

BusEvent BusClient::set(const std::string& path, const std::string& iface, const std::string& name,
                        const sdbus::Variant& value) {
    return call(path, "org.freedesktop.DBus.Properties", "Set",
                [&](sdbus::MethodCall& m) { m << iface << name << value; });
}

// Processes what has arrived; waits at most `limit` for more. True when something was processed.
bool BusClient::pump(std::chrono::milliseconds limit) {
    bool any = false;
    while (connection_->processPendingRequest()) {
        any = true;
    }
    if (any) {
        return true;
    }
    const auto data = connection_->getEventLoopPollData();
    int timeout = data.getPollTimeout();
    const int cap = static_cast<int>(limit.count());
    timeout = timeout < 0 ? cap : std::min(timeout, cap);
    pollfd fd{data.fd, data.events, 0};
    ::poll(&fd, 1, timeout);
    return false;
}

std::optional<size_t> BusClient::waitFor(const std::function<bool(const BusEvent&)>& match, size_t from,
                                         std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    size_t checked = from;
    for (;;) {
        for (; checked < events_.size(); ++checked) {
            if (match(events_[checked])) {
                return checked;
            }
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return std::nullopt;
        }
        pump(std::min(left, std::chrono::milliseconds(10)));
    }
}

void BusClient::settle(std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
        pump(std::chrono::milliseconds(10));
    }
}

std::function<bool(const BusEvent&)> changed(const std::string& path, const std::string& prop,
                                             const std::optional<std::string>& value) {
    return [=](const BusEvent& e) {
        if (e.kind != BusEvent::Kind::Changed || e.path != path) {
            return false;
        }
        auto it = e.props.find(prop);
        return it != e.props.end() && (!value || it->second == *value);
    };
}

std::function<bool(const BusEvent&)> added(const std::string& path) {
    return [=](const BusEvent& e) { return e.kind == BusEvent::Kind::Added && e.path == path; };
}

std::function<bool(const BusEvent&)> invalidated(const std::string& path, const std::string& prop) {
    return [=](const BusEvent& e) {
        return e.kind == BusEvent::Kind::Changed && e.path == path &&
               std::find(e.names.begin(), e.names.end(), prop) != e.names.end();
    };
}

}  // namespace bluez_test
