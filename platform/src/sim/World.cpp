// The process-wide world: loading it, and the controls tests use while it runs.

#include "platform/sim/World.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <unordered_set>

#include "SimInternal.h"
#include "SimRadio.h"

namespace platform::sim {

struct World::Impl : WorldState {
    SimRadio radio{*this};
};

std::string upper(std::string text) {
    for (char& ch : text) {
        ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    }
    return text;
}

NSError linkLossError() {
    return CBErrorMake(CBError::ConnectionTimeout, "The connection has timed out unexpectedly.");
}
NSError connectionFailedError() {
    return CBErrorMake(CBError::ConnectionFailed, "The connection has failed.");
}
// What a world's "error" fault answers with: the file names no code, so every injected error is this one.
NSError faultError() {
    return CBATTErrorMake(CBATTError::UnlikelyError, "Unlikely error.");
}

std::shared_ptr<Device> WorldState::device(const std::string& identifier) const {
    std::lock_guard<std::mutex> lock(mutex);
    // Identifiers are kept in upper case; most callers already name them so.
    auto it = devices.find(identifier);
    if (it == devices.end()) {
        it = devices.find(upper(identifier));
    }
    return it == devices.end() ? nullptr : it->second;
}

std::vector<std::shared_ptr<Device>> WorldState::devicesSnapshot() const {
    std::lock_guard<std::mutex> lock(mutex);
    return order;
}

std::vector<std::shared_ptr<SimCentral>> WorldState::sessionsSnapshot() {
    std::vector<std::shared_ptr<SimCentral>> out;
    std::lock_guard<std::mutex> lock(mutex);
    sessions.erase(std::remove_if(sessions.begin(), sessions.end(), [](const auto& w) { return w.expired(); }),
                   sessions.end());
    for (const auto& weak : sessions) {
        if (auto s = weak.lock()) {
            out.push_back(std::move(s));
        }
    }
    return out;
}

WorldState& worldState() {
    return World::get().impl();
}

namespace {

std::shared_ptr<Device> requireDevice(WorldState& w, const std::string& identifier) {
    auto device = w.device(identifier);
    if (!device) {
        throw std::out_of_range("no peripheral " + identifier + " in the world");
    }
    return device;
}

AttributePath requireCharacteristic(const Device& device, const std::string& service,
                                    const std::string& characteristic) {
    AttributePath path;
    if (!device.find(service, characteristic, path)) {
        throw std::out_of_range("peripheral " + device.id + " has no characteristic " + characteristic +
                                " in service " + service);
    }
    return path;
}

// Every link to the device is lost, with the link-loss error.
void loseLinks(const Device& device) {
    for (const auto& link : device.linksSnapshot()) {
        if (auto session = link->session.lock()) {
            session->loseLink(link, std::nullopt, linkLossError());
        }
    }
}

// Every link to a device that goes away is lost, as when a device walks out of range; then the sessions
// forget it.
void takeAway(WorldState& w, const std::shared_ptr<Device>& device) {
    device->removed = true;
    loseLinks(*device);
    for (const auto& session : w.sessionsSnapshot()) {
        session->forget(device->id);
    }
}

// A device that joins while managers scan is advertised to them from now on.
void announce(WorldState& w, const std::shared_ptr<Device>& device) {
    for (const auto& session : w.sessionsSnapshot()) {
        session->announce(device);
    }
}

void applyState(WorldState& w, CBManagerState state) {
    CBManagerState old;
    {
        std::lock_guard<std::mutex> lock(w.mutex);
        old = w.state;
        w.state = state;
    }
    if (old == state) {
        return;
    }
    for (const auto& session : w.sessionsSnapshot()) {
        session->applyAdapterState(false);
    }
}

}  // namespace

World& World::get() {
    // Never destroyed: managers held by static objects may outlive any destruction order.
    static World* world = new World();
    return *world;
}

World::World() : impl_(std::make_unique<Impl>()) {
    WorldConfig config;
    const char* path = std::getenv("TAVRIN_SIM_WORLD");
    try {
        // The word `default`, or no name at all, is the built-in world.
        const bool named = path && *path && std::string(path) != "default";
        config = named ? loadWorldFile(path) : parseWorld(defaultWorldJson(), "<default world>");
        reset(std::move(config));
    } catch (const std::exception& e) {
        // One clear line, and a radio the library sees as unusable.
        std::fprintf(stderr, "%s\n", e.what());
        std::fflush(stderr);
        WorldConfig broken;
        broken.adapter.state = CBManagerState::Unsupported;
        reset(std::move(broken));
    }
}

World::~World() = default;

radio::Radio& World::radio() {
    return impl_->radio;
}

void World::reset(WorldConfig config) {
    // Build every device first: a bad config leaves the world as it was.
    std::vector<std::shared_ptr<Device>> fresh;
    std::unordered_set<std::string> ids;
    for (auto& p : config.peripherals) {
        fresh.push_back(std::make_shared<Device>(std::move(p)));
        if (!ids.insert(fresh.back()->id).second) {
            throw std::invalid_argument("duplicate peripheral identifier " + fresh.back()->id);
        }
    }
    std::vector<std::shared_ptr<Device>> old;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        old.swap(impl_->order);
        impl_->devices.clear();
        for (const auto& d : fresh) {
            impl_->devices.emplace(d->id, d);
            impl_->order.push_back(d);
        }
        impl_->authorization = config.adapter.authorization;
        impl_->state_delay_ms = config.adapter.state_delay_ms;
    }
    for (const auto& d : old) {
        takeAway(*impl_, d);
    }
    applyState(*impl_, config.adapter.state);
    for (const auto& d : fresh) {
        announce(*impl_, d);
    }
}

void World::setAdapterState(CBManagerState state) {
    applyState(*impl_, state);
}

CBManagerState World::adapterState() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->state;
}

void World::setAuthorization(CBManagerAuthorization authorization) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->authorization = authorization;
}

CBManagerAuthorization World::authorization() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->authorization;
}

void World::addPeripheral(PeripheralConfig config) {
    auto device = std::make_shared<Device>(std::move(config));
    std::shared_ptr<Device> replaced;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        auto it = impl_->devices.find(device->id);
        if (it != impl_->devices.end()) {
            replaced = it->second;
            impl_->order.erase(std::find(impl_->order.begin(), impl_->order.end(), replaced));
            it->second = device;
        } else {
            impl_->devices.emplace(device->id, device);
        }
        impl_->order.push_back(device);
    }
    if (replaced) {
        takeAway(*impl_, replaced);
    }
    announce(*impl_, device);
}

void World::removePeripheral(const std::string& identifier) {
    std::shared_ptr<Device> device;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        auto it = impl_->devices.find(upper(identifier));
        if (it == impl_->devices.end()) {
            return;
        }
        device = it->second;
        impl_->devices.erase(it);
        impl_->order.erase(std::find(impl_->order.begin(), impl_->order.end(), device));
    }
    takeAway(*impl_, device);
}

void World::setValue(const std::string& identifier, const std::string& service_uuid,
                     const std::string& characteristic_uuid, const std::string& value) {
    auto device = requireDevice(*impl_, identifier);
    const AttributePath path = requireCharacteristic(*device, service_uuid, characteristic_uuid);
    std::lock_guard<std::mutex> lock(device->mutex);
    device->values[path.service][path.characteristic] = value;
}

void World::notify(const std::string& identifier, const std::string& service_uuid,
                   const std::string& characteristic_uuid, const std::string& value) {
    auto device = requireDevice(*impl_, identifier);
    const AttributePath path = requireCharacteristic(*device, service_uuid, characteristic_uuid);
    device->publish(path.service, path.characteristic, value);
}

std::optional<std::string> World::value(const std::string& identifier, const std::string& service_uuid,
                                        const std::string& characteristic_uuid) const {
    auto device = requireDevice(*impl_, identifier);
    const AttributePath path = requireCharacteristic(*device, service_uuid, characteristic_uuid);
    std::lock_guard<std::mutex> lock(device->mutex);
    return device->values[path.service][path.characteristic];
}

void World::dropLink(const std::string& identifier) {
    loseLinks(*requireDevice(*impl_, identifier));
}

std::vector<ReceivedWrite> World::receivedWrites(const std::string& identifier) const {
    auto device = requireDevice(*impl_, identifier);
    std::lock_guard<std::mutex> lock(device->mutex);
    return device->writes;
}

void World::clearReceivedWrites(const std::string& identifier) {
    auto device = requireDevice(*impl_, identifier);
    std::lock_guard<std::mutex> lock(device->mutex);
    device->writes.clear();
}

void World::setFault(const std::string& identifier, const FaultTarget& target, const std::string& request,
                     std::optional<Fault> fault) {
    auto device = requireDevice(*impl_, identifier);
    AttributePath path;
    if (!target.service_uuid.empty()) {
        const CBUUID s = CBUUID::UUIDWithString(target.service_uuid);
        for (size_t i = 0; i < device->services.size() && path.service == AttributePath::npos; ++i) {
            if (device->services[i].uuid == s) {
                path.service = i;
            }
        }
        if (path.service == AttributePath::npos) {
            throw std::out_of_range("peripheral " + device->id + " has no service " + target.service_uuid);
        }
    }
    if (!target.characteristic_uuid.empty()) {
        path = requireCharacteristic(*device, target.service_uuid, target.characteristic_uuid);
    }
    if (!target.descriptor_uuid.empty()) {
        const CBUUID d = CBUUID::UUIDWithString(target.descriptor_uuid);
        const auto& descriptors = device->services[path.service].characteristics[path.characteristic].descriptors;
        for (size_t i = 0; i < descriptors.size() && path.descriptor == AttributePath::npos; ++i) {
            if (descriptors[i].uuid == d) {
                path.descriptor = i;
            }
        }
        if (path.descriptor == AttributePath::npos) {
            throw std::out_of_range("characteristic " + target.characteristic_uuid + " has no descriptor " +
                                    target.descriptor_uuid);
        }
    }
    device->setFault(path, request, fault);
}

}  // namespace platform::sim
