// A peripheral as one central manager sees it: the link's state machine, discovery and GATT requests.
//
// A request is checked on the caller's thread, answered by the device on the radio's thread after the
// device's latency, and delivered on the manager's queue. Every change of connection bumps the link's
// epoch; answers and events carry the epoch they were made for and are dropped when it has moved on.

#include <algorithm>
#include <string>

#include "sim/SimInternal.h"

namespace platform {

namespace sim {

namespace {

using Link = CBPeripheral::Impl;
using LinkPtr = std::shared_ptr<Link>;
using Lock = std::lock_guard<std::mutex>;

const char* const kNotConnected = "API MISUSE: can only accept commands while in the connected state";

/// A call of the peripheral's delegate with the answer's error (null for success).
using PeripheralCall = std::function<void(CBPeripheralDelegate&, const CBPeripheralPtr&, const NSError*)>;
/// Runs under the peripheral's guard just before a successful answer's call; false drops the event.
using Apply = std::function<bool(Link&)>;

// Queues one event for the peripheral's delegate. Called with the guard held, so that the outbox order
// is the order in which the link's state changed.
void enqueueLocked(CBCentralManager::Impl& manager, const LinkPtr& link, uint64_t epoch, std::optional<NSError> error,
                   Apply apply, PeripheralCall call) {
    manager.enqueue([link, epoch, error = std::move(error), apply = std::move(apply),
                     call = std::move(call)](const CBCentralManagerPtr&) {
        std::shared_ptr<CBPeripheralDelegate> delegate;
        CBPeripheralPtr peripheral;
        {
            Lock lock(link->guard->mutex);
            if (link->epoch != epoch || link->state != CBPeripheralState::Connected) {
                return;  // an answer for a connection that is gone
            }
            if (!error && apply && !apply(*link)) {
                return;
            }
            delegate = link->delegate.lock();
            peripheral = link->self.lock();
        }
        if (delegate && peripheral) {
            call(*delegate, peripheral, error ? &*error : nullptr);
        }
    });
}

// The device's answer to one request, once its latency has passed: a fault replaces it. `radio` runs under
// the guard as a successful answer leaves the device. Returns true when a successful answer was queued.
bool answer(const LinkPtr& link, uint64_t epoch, std::optional<Fault> fault, std::optional<NSError> error, Apply apply,
            PeripheralCall call, const std::function<void(Link&)>& radio = nullptr) {
    auto manager = link->manager.lock();
    if (!manager) {
        return false;
    }
    if (fault == Fault::Drop) {
        loseLink(link, epoch, linkLossError());
        return false;
    }
    if (fault == Fault::Silent) {
        return false;
    }
    if (fault == Fault::Error) {
        error = faultError();
    }
    Lock lock(link->guard->mutex);
    if (link->epoch != epoch || link->state != CBPeripheralState::Connected) {
        return false;
    }
    if (!error && radio) {
        radio(*link);
    }
    const bool ok = !error;
    enqueueLocked(*manager, link, epoch, std::move(error), std::move(apply), std::move(call));
    return ok;
}

bool connectedAt(const Link& link, uint64_t epoch) {
    Lock lock(link.guard->mutex);
    return link.epoch == epoch && link.state == CBPeripheralState::Connected;
}

void later(const Device& device, std::function<void()> task) {
    worldState().scheduler.after(std::chrono::milliseconds(device.config.latency_ms), std::move(task));
}

// What a request captured on the caller's thread.
struct Pending {
    std::weak_ptr<Link> link;
    uint64_t epoch = 0;
    std::shared_ptr<Device> device;
};

// Checks, with the guard held, that a request may be sent; writes the console line when not.
bool connectedLocked(const Link& link) {
    return link.state == CBPeripheralState::Connected;
}

template <typename Attribute>
bool ofCurrentTree(const Link& link, const std::shared_ptr<Attribute>& attribute) {
    return attribute && attribute->impl()->guard == link.guard && attribute->impl()->epoch == link.epoch;
}

void notOfThisConnection(const CBUUID& uuid) {
    NSLog("API MISUSE: attribute %@ is not of this peripheral's current connection; the request is ignored", uuid);
}

// Admits a request on the caller's thread: gives what its queued answer needs, or nothing once the
// request is ignored (with the misuse line when not connected). `screen` runs with the guard held on a
// connected link and returns false when it has dealt with the request itself.
template <typename Screen>
std::optional<Pending> admit(const LinkPtr& link, Screen&& screen) {
    {
        Lock lock(link->guard->mutex);
        if (connectedLocked(*link)) {
            if (!screen()) {
                return std::nullopt;
            }
            return Pending{link, link->epoch, link->device};
        }
    }
    NSLog(kNotConnected);
    return std::nullopt;
}

// Called with the guard held: whether a request may name this attribute, writing the line when not.
template <typename Attribute>
bool admissibleLocked(const Link& link, const std::shared_ptr<Attribute>& attribute) {
    if (ofCurrentTree(link, attribute)) {
        return true;
    }
    if (attribute) {
        notOfThisConnection(attribute->UUID());
    }
    return false;
}

template <typename Attribute>
std::optional<Pending> admitFor(const LinkPtr& link, const std::shared_ptr<Attribute>& attribute) {
    return admit(link, [&] { return admissibleLocked(*link, attribute); });
}

// Sends an admitted request: after the device's latency, `task` answers it on the radio's thread with
// the link, unless the link has gone by then.
template <typename Task>
void send(const std::optional<Pending>& admitted, Task task) {
    if (!admitted) {
        return;
    }
    later(*admitted->device, [pending = *admitted, task = std::move(task)] {
        if (auto link = pending.link.lock()) {
            task(link, pending);
        }
    });
}

void drainTransmit(const LinkPtr& link, uint64_t epoch);

// Called with the guard held.
void armDrainLocked(const LinkPtr& link, uint64_t epoch) {
    link->drain_armed = true;
    std::weak_ptr<Link> weak = link;
    worldState().scheduler.after(std::chrono::milliseconds(link->device->config.connection.interval_ms), [weak, epoch] {
        if (auto l = weak.lock()) {
            drainTransmit(l, epoch);
        }
    });
}

// One connection interval: the link carries up to packets_per_interval writes without response.
void drainTransmit(const LinkPtr& link, uint64_t epoch) {
    auto manager = link->manager.lock();
    if (!manager) {
        return;
    }
    std::vector<Link::Packet> packets;
    std::shared_ptr<Device> device;
    {
        Lock lock(link->guard->mutex);
        if (link->epoch != epoch || link->state != CBPeripheralState::Connected) {
            return;
        }
        device = link->device;
        const size_t n = std::min<size_t>(device->config.connection.packets_per_interval, link->transmit.size());
        for (size_t i = 0; i < n; ++i) {
            packets.push_back(std::move(link->transmit.front()));
            link->transmit.pop_front();
        }
        if (link->transmit.empty()) {
            link->drain_armed = false;
        } else {
            armDrainLocked(link, epoch);
        }
        if (link->want_ready && link->transmit.size() < kTransmitBufferPackets) {
            link->want_ready = false;
            enqueueLocked(*manager, link, epoch, std::nullopt, nullptr,
                          [](CBPeripheralDelegate& d, const CBPeripheralPtr& p, const NSError*) {
                              d.peripheralIsReadyToSendWriteWithoutResponse(p);
                          });
        }
    }
    for (const auto& packet : packets) {
        AttributePath path;
        path.service = packet.service;
        path.characteristic = packet.characteristic;
        const auto fault = device->fault(path, "write");
        if (fault == Fault::Drop) {
            loseLink(link, epoch, linkLossError());
            return;
        }
        if (fault) {
            continue;  // a write without response has no answer to carry an error: it is lost
        }
        device->receiveWrite(worldState().scheduler, packet.service, packet.characteristic, packet.data, false);
    }
}

// Attribute objects are made once per connection and reused by every later discovery in it.
CBServicePtr serviceObjectLocked(Link& link, size_t index) {
    if (link.cache.size() < link.device->services.size()) {
        link.cache.resize(link.device->services.size());
    }
    if (!link.cache[index]) {
        auto impl = std::make_shared<CBService::Impl>();
        impl->guard = link.guard;
        impl->uuid = link.device->services[index].uuid;
        impl->index = index;
        impl->epoch = link.epoch;
        impl->peripheral = link.self;
        link.cache[index] = std::make_shared<CBService>(impl);
    }
    return link.cache[index];
}

CBCharacteristicPtr characteristicObjectLocked(const Link& link, const CBServicePtr& service, size_t index) {
    auto& s = *service->impl();
    const auto& model = link.device->services[s.index].characteristics;
    if (s.cache.size() < model.size()) {
        s.cache.resize(model.size());
    }
    if (!s.cache[index]) {
        auto impl = std::make_shared<CBCharacteristic::Impl>();
        impl->guard = s.guard;
        impl->uuid = model[index].uuid;
        impl->service_index = s.index;
        impl->index = index;
        impl->epoch = s.epoch;
        impl->properties = model[index].properties;
        impl->service = service;
        s.cache[index] = std::make_shared<CBCharacteristic>(impl);
    }
    return s.cache[index];
}

CBDescriptorPtr descriptorObjectLocked(const Link& link, const CBCharacteristicPtr& characteristic, size_t index) {
    auto& c = *characteristic->impl();
    const auto& model = link.device->services[c.service_index].characteristics[c.index].descriptors;
    if (c.cache.size() < model.size()) {
        c.cache.resize(model.size());
    }
    if (!c.cache[index]) {
        auto impl = std::make_shared<CBDescriptor::Impl>();
        impl->guard = c.guard;
        impl->uuid = model[index].uuid;
        impl->service_index = c.service_index;
        impl->characteristic_index = c.index;
        impl->index = index;
        impl->epoch = c.epoch;
        impl->characteristic = characteristic;
        c.cache[index] = std::make_shared<CBDescriptor>(impl);
    }
    return c.cache[index];
}

// Indices of the attributes a discovery finds: all, or those whose UUID is asked for (an empty list: all).
template <typename Models>
std::vector<size_t> selected(const Models& models, const std::optional<std::vector<CBUUID>>& wanted) {
    std::vector<size_t> out;
    for (size_t i = 0; i < models.size(); ++i) {
        if (!wanted || wanted->empty() || std::find(wanted->begin(), wanted->end(), models[i].uuid) != wanted->end()) {
            out.push_back(i);
        }
    }
    return out;
}

bool isClientConfiguration(const CBUUID& uuid) {
    static const CBUUID cccd = CBUUID::UUIDWithString("2902");
    return uuid == cccd;
}

}  // namespace

void bindDevice(CBPeripheral::Impl& link, const std::shared_ptr<Device>& device) {
    Lock lock(link.guard->mutex);
    if (link.device != device && link.state == CBPeripheralState::Disconnected) {
        link.device = device;
        link.name = device->config.name;
    }
}

void loseLink(const LinkPtr& link, std::optional<uint64_t> epoch, const NSError& error) {
    auto manager = link->manager.lock();
    {
        Lock lock(link->guard->mutex);
        if ((epoch && *epoch != link->epoch) || link->state != CBPeripheralState::Connected) {
            return;
        }
        link->resetLocked();
        if (manager) {
            CBPeripheralPtr peripheral = link->self.lock();
            manager->enqueueCentral([peripheral, error](CBCentralManagerDelegate& d, CBCentralManager& c) {
                d.centralManagerDidDisconnectPeripheral(c, peripheral, &error);
            });
        }
    }
}

void dropLinkSilently(const LinkPtr& link) {
    Lock lock(link->guard->mutex);
    if (link->state != CBPeripheralState::Disconnected) {
        link->resetLocked();
    }
}

bool linkSubscribed(const LinkPtr& link, const Device* device, size_t service, size_t characteristic) {
    Lock lock(link->guard->mutex);
    return link->device.get() == device && link->state == CBPeripheralState::Connected &&
           link->subscribed.count({service, characteristic});
}

void deliverNotification(const LinkPtr& link, const Device* device, size_t service, size_t characteristic,
                         const std::string& value) {
    auto manager = link->manager.lock();
    if (!manager) {
        return;
    }
    Lock lock(link->guard->mutex);
    if (link->device.get() != device || link->state != CBPeripheralState::Connected ||
        !link->subscribed.count({service, characteristic})) {
        return;
    }
    const uint64_t epoch = link->epoch;
    manager->enqueue([link, epoch, service, characteristic, value](const CBCentralManagerPtr&) {
        std::shared_ptr<CBPeripheralDelegate> delegate;
        CBPeripheralPtr peripheral;
        CBCharacteristicPtr target;
        {
            Lock guard(link->guard->mutex);
            if (link->epoch != epoch || link->state != CBPeripheralState::Connected || service >= link->cache.size() ||
                !link->cache[service]) {
                return;
            }
            const auto& chars = link->cache[service]->impl()->cache;
            if (characteristic >= chars.size() || !chars[characteristic]) {
                return;
            }
            target = chars[characteristic];
            target->impl()->value = value;  // before the callback, as the platform does
            delegate = link->delegate.lock();
            peripheral = link->self.lock();
        }
        if (delegate && peripheral) {
            delegate->peripheralDidUpdateValueForCharacteristic(peripheral, target, nullptr);
        }
    });
}

void connectLink(const LinkPtr& link, CBCentralManager::Impl& manager) {
    Lock lock(link->guard->mutex);
    switch (link->state) {
        case CBPeripheralState::Connected: {
            CBPeripheralPtr peripheral = link->self.lock();
            manager.enqueueCentral([peripheral](CBCentralManagerDelegate& d, CBCentralManager& c) {
                d.centralManagerDidConnectPeripheral(c, peripheral);
            });
            return;
        }
        case CBPeripheralState::Connecting:
            return;
        case CBPeripheralState::Disconnected:
        case CBPeripheralState::Disconnecting:
            break;
    }
    // A new connection (also over a disconnection that hangs) supersedes whatever was pending.
    link->state = CBPeripheralState::Connecting;
    const uint64_t epoch = ++link->epoch;
    if (!link->device || link->device->removed) {
        if (auto device = manager.world->device(link->id)) {
            link->device = device;
            link->name = device->config.name;
        }
    }
    const auto device = link->device;
    if (!device || device->removed || device->advertisement.isConnectable == false) {
        return;  // nobody answers: the connection stays pending until cancelled
    }
    std::weak_ptr<Link> weak = link;
    manager.world->scheduler.after(std::chrono::milliseconds(device->config.connection.delay_ms), [weak, epoch] {
        auto l = weak.lock();
        if (!l) {
            return;
        }
        auto m = l->manager.lock();
        if (!m) {
            return;
        }
        {
            Lock guard(l->guard->mutex);
            if (l->epoch != epoch || l->state != CBPeripheralState::Connecting || !l->device || l->device->removed) {
                return;
            }
            const ConnectionConfig& connection = l->device->config.connection;
            CBPeripheralPtr peripheral = l->self.lock();
            switch (connection.outcome) {
                case ConnectOutcome::Connect:
                    l->state = CBPeripheralState::Connected;
                    l->mtu = l->device->config.mtu;
                    // Under the guard, so that a link loss right after cannot miss the link.
                    l->device->attach(l);
                    m->enqueueCentral([peripheral](CBCentralManagerDelegate& d, CBCentralManager& c) {
                        d.centralManagerDidConnectPeripheral(c, peripheral);
                    });
                    if (connection.drop_after_ms) {
                        m->world->scheduler.after(std::chrono::milliseconds(*connection.drop_after_ms), [weak, epoch] {
                            if (auto lost = weak.lock()) {
                                loseLink(lost, epoch, linkLossError());
                            }
                        });
                    }
                    break;
                case ConnectOutcome::Fail:
                    l->state = CBPeripheralState::Disconnected;
                    ++l->epoch;
                    m->enqueueCentral([peripheral](CBCentralManagerDelegate& d, CBCentralManager& c) {
                        const NSError error = connectionFailedError();
                        d.centralManagerDidFailToConnectPeripheral(c, peripheral, &error);
                    });
                    break;
                case ConnectOutcome::Hang:
                    break;
            }
        }
    });
}

void cancelLink(const LinkPtr& link) {
    std::shared_ptr<Device> device;
    {
        Lock lock(link->guard->mutex);
        if (link->state == CBPeripheralState::Disconnected || link->state == CBPeripheralState::Disconnecting) {
            return;
        }
        link->state = CBPeripheralState::Disconnecting;
        const uint64_t epoch = ++link->epoch;
        link->subscribed.clear();
        link->transmit.clear();
        device = link->device;
        if (device) {
            device->detach(link.get());  // the device stops talking on this link at once
        }
        if (device && device->config.connection.disconnect == DisconnectBehaviour::Disconnect) {
            std::weak_ptr<Link> weak = link;
            worldState().scheduler.after(
                std::chrono::milliseconds(device->config.connection.disconnect_delay_ms), [weak, epoch] {
                    auto l = weak.lock();
                    if (!l) {
                        return;
                    }
                    auto m = l->manager.lock();
                    Lock guard(l->guard->mutex);
                    if (l->epoch != epoch || l->state != CBPeripheralState::Disconnecting) {
                        return;
                    }
                    l->resetLocked();
                    if (m) {
                        CBPeripheralPtr peripheral = l->self.lock();
                        m->enqueueCentral([peripheral](CBCentralManagerDelegate& d, CBCentralManager& c) {
                            d.centralManagerDidDisconnectPeripheral(c, peripheral, nullptr);
                        });
                    }
                });
        }
    }
}

}  // namespace sim

using sim::Lock;

void CBPeripheral::Impl::resetLocked() {
    if (device) {
        device->detach(this);  // under the guard, so that no reconnection races it
    }
    state = CBPeripheralState::Disconnected;
    ++epoch;
    for (const auto& service : cache) {
        if (!service) {
            continue;
        }
        for (const auto& characteristic : service->impl()->cache) {
            if (characteristic) {
                characteristic->impl()->notifying = false;
            }
        }
    }
    services.reset();
    cache.clear();
    mtu = sim::kDefaultMtu;
    subscribed.clear();
    transmit.clear();
    drain_armed = false;
    want_ready = false;
}

CBPeripheral::CBPeripheral(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}

void CBPeripheral::setDelegate(std::weak_ptr<CBPeripheralDelegate> delegate) {
    Lock lock(impl_->guard->mutex);
    impl_->delegate = std::move(delegate);
}

CBPeripheralState CBPeripheral::state() const {
    Lock lock(impl_->guard->mutex);
    return impl_->state;
}

std::optional<std::string> CBPeripheral::name() const {
    Lock lock(impl_->guard->mutex);
    return impl_->name;
}

NSUUID CBPeripheral::identifier() const {
    return impl_->identifier;
}

size_t CBPeripheral::maximumWriteValueLengthForType(CBCharacteristicWriteType type) const {
    if (type == CBCharacteristicWriteType::WithResponse) {
        return sim::kMaxAttributeLength;
    }
    Lock lock(impl_->guard->mutex);
    if (impl_->state != CBPeripheralState::Connected) {
        return 20;
    }
    return std::min<size_t>(impl_->mtu - 3, sim::kMaxAttributeLength);
}

std::optional<std::vector<CBServicePtr>> CBPeripheral::services() const {
    Lock lock(impl_->guard->mutex);
    return impl_->services;
}

bool CBPeripheral::canSendWriteWithoutResponse() const {
    Lock lock(impl_->guard->mutex);
    return impl_->state == CBPeripheralState::Connected && impl_->transmit.size() < sim::kTransmitBufferPackets;
}

void CBPeripheral::discoverServices(const std::optional<std::vector<CBUUID>>& serviceUUIDs) {
    const auto admitted = sim::admit(impl_, [] { return true; });
    sim::send(admitted, [serviceUUIDs](const sim::LinkPtr& link, const sim::Pending& pending) {
        const auto indices = sim::selected(pending.device->services, serviceUUIDs);
        sim::answer(
            link, pending.epoch, pending.device->fault({}, "discover_services"), std::nullopt,
            [indices](sim::Link& l) {
                std::vector<CBServicePtr> list;
                if (l.services) {
                    list = *l.services;
                }
                for (size_t i : indices) {
                    auto service = sim::serviceObjectLocked(l, i);
                    if (std::find(list.begin(), list.end(), service) == list.end()) {
                        list.push_back(service);
                    }
                }
                std::sort(list.begin(), list.end(), [](const CBServicePtr& a, const CBServicePtr& b) {
                    return a->impl()->index < b->impl()->index;
                });
                l.services = std::move(list);
                return true;
            },
            [](CBPeripheralDelegate& d, const CBPeripheralPtr& p, const NSError* e) {
                d.peripheralDidDiscoverServices(p, e);
            });
    });
}

void CBPeripheral::discoverCharacteristics(const std::optional<std::vector<CBUUID>>& characteristicUUIDs,
                                           const CBServicePtr& service) {
    const auto admitted = sim::admitFor(impl_, service);
    sim::send(admitted, [characteristicUUIDs, service](const sim::LinkPtr& link, const sim::Pending& pending) {
        const sim::AttributePath path{service->impl()->index};
        const auto indices = sim::selected(pending.device->services[path.service].characteristics, characteristicUUIDs);
        sim::answer(
            link, pending.epoch, pending.device->fault(path, "discover_characteristics"), std::nullopt,
            [indices, service](sim::Link& l) {
                auto& s = *service->impl();
                std::vector<CBCharacteristicPtr> list;
                if (s.characteristics) {
                    list = *s.characteristics;
                }
                for (size_t i : indices) {
                    auto c = sim::characteristicObjectLocked(l, service, i);
                    if (std::find(list.begin(), list.end(), c) == list.end()) {
                        list.push_back(c);
                    }
                }
                std::sort(list.begin(), list.end(), [](const CBCharacteristicPtr& a, const CBCharacteristicPtr& b) {
                    return a->impl()->index < b->impl()->index;
                });
                s.characteristics = std::move(list);
                return true;
            },
            [service](CBPeripheralDelegate& d, const CBPeripheralPtr& p, const NSError* e) {
                d.peripheralDidDiscoverCharacteristicsForService(p, service, e);
            });
    });
}

void CBPeripheral::discoverDescriptors(const CBCharacteristicPtr& characteristic) {
    const auto admitted = sim::admitFor(impl_, characteristic);
    sim::send(admitted, [characteristic](const sim::LinkPtr& link, const sim::Pending& pending) {
        const sim::AttributePath path{characteristic->impl()->service_index, characteristic->impl()->index};
        const size_t count =
            pending.device->services[path.service].characteristics[path.characteristic].descriptors.size();
        sim::answer(
            link, pending.epoch, pending.device->fault(path, "discover_descriptors"), std::nullopt,
            [count, characteristic](sim::Link& l) {
                std::vector<CBDescriptorPtr> list;
                for (size_t i = 0; i < count; ++i) {
                    list.push_back(sim::descriptorObjectLocked(l, characteristic, i));
                }
                characteristic->impl()->descriptors = std::move(list);
                return true;
            },
            [characteristic](CBPeripheralDelegate& d, const CBPeripheralPtr& p, const NSError* e) {
                d.peripheralDidDiscoverDescriptorsForCharacteristic(p, characteristic, e);
            });
    });
}

void CBPeripheral::readValue(const CBCharacteristicPtr& characteristic) {
    const auto admitted = sim::admitFor(impl_, characteristic);
    sim::send(admitted, [characteristic](const sim::LinkPtr& link, const sim::Pending& pending) {
        const sim::AttributePath path{characteristic->impl()->service_index, characteristic->impl()->index};
        std::optional<NSError> error;
        std::string value;
        const auto fault = pending.device->fault(path, "read");
        if (!(characteristic->impl()->properties & CBCharacteristicPropertyRead)) {
            error = sim::attError(2, "Reading is not permitted.");
        } else {
            Lock lock(pending.device->mutex);
            value = pending.device->values[path.service][path.characteristic].value_or(std::string());
        }
        sim::answer(
            link, pending.epoch, fault, std::move(error),
            [characteristic, value](sim::Link&) {
                characteristic->impl()->value = value;  // before the callback, as the platform does
                return true;
            },
            [characteristic](CBPeripheralDelegate& d, const CBPeripheralPtr& p, const NSError* e) {
                d.peripheralDidUpdateValueForCharacteristic(p, characteristic, e);
            });
    });
}

void CBPeripheral::writeValue(const std::string& data, const CBCharacteristicPtr& characteristic,
                              CBCharacteristicWriteType type) {
    const auto admitted = sim::admit(impl_, [&] {
        if (!sim::admissibleLocked(*impl_, characteristic)) {
            return false;
        }
        if (type != CBCharacteristicWriteType::WithoutResponse) {
            return true;
        }
        // Without response: into the transmit buffer at once, or dropped with a line.
        const auto& c = *characteristic->impl();
        const size_t limit = std::min<size_t>(impl_->mtu - 3, sim::kMaxAttributeLength);
        if (!(c.properties & CBCharacteristicPropertyWriteWithoutResponse)) {
            NSLog("Characteristic %@ does not allow writes without response; the write is ignored", c.uuid);
        } else if (data.size() > limit) {
            NSLog(
                "Write without response of %@ bytes to characteristic %@ exceeds the maximum of %@ bytes; "
                "the write is dropped",
                std::to_string(data.size()), c.uuid, std::to_string(limit));
        } else if (impl_->transmit.size() >= sim::kTransmitBufferPackets) {
            impl_->want_ready = true;
            NSLog("Transmit buffer full; the write without response to characteristic %@ is dropped", c.uuid);
        } else {
            impl_->transmit.push_back(Impl::Packet{c.service_index, c.index, data});
            if (!impl_->drain_armed) {
                sim::armDrainLocked(impl_, impl_->epoch);
            }
        }
        return false;
    });
    sim::send(admitted, [characteristic, data](const sim::LinkPtr& link, const sim::Pending& pending) {
        if (!sim::connectedAt(*link, pending.epoch)) {
            return;
        }
        const auto& c = *characteristic->impl();
        const sim::AttributePath path{c.service_index, c.index};
        std::optional<NSError> error;
        const auto fault = pending.device->fault(path, "write");
        if (!fault) {
            if (!(c.properties & CBCharacteristicPropertyWrite)) {
                error = sim::attError(3, "Writing is not permitted.");
            } else if (data.size() > sim::kMaxAttributeLength) {
                error = sim::attError(13, "The value's length is invalid.");
            } else if (!pending.device->receiveWrite(sim::worldState().scheduler, c.service_index, c.index, data,
                                                     true)) {
                error = sim::attError(0x80, "The device refused the command.");
            }
        }
        sim::answer(link, pending.epoch, fault, std::move(error), nullptr,
                    [characteristic](CBPeripheralDelegate& d, const CBPeripheralPtr& p, const NSError* e) {
                        d.peripheralDidWriteValueForCharacteristic(p, characteristic, e);
                    });
    });
}

void CBPeripheral::setNotifyValue(bool enabled, const CBCharacteristicPtr& characteristic) {
    const auto manager = impl_->manager.lock();
    const auto admitted = sim::admit(impl_, [&] {
        if (!sim::admissibleLocked(*impl_, characteristic)) {
            return false;
        }
        if (characteristic->impl()->notifying != enabled) {
            return true;
        }
        // Already in that state: answered at once.
        if (manager) {
            sim::enqueueLocked(*manager, impl_, impl_->epoch, std::nullopt, nullptr,
                               [characteristic](CBPeripheralDelegate& d, const CBPeripheralPtr& p, const NSError*) {
                                   d.peripheralDidUpdateNotificationStateForCharacteristic(p, characteristic, nullptr);
                               });
        }
        return false;
    });
    sim::send(admitted, [characteristic, enabled](const sim::LinkPtr& link, const sim::Pending& pending) {
        const auto& c = *characteristic->impl();
        const sim::AttributePath path{c.service_index, c.index};
        std::optional<NSError> error;
        const auto fault = pending.device->fault(path, enabled ? "subscribe" : "unsubscribe");
        if (enabled && !(c.properties & sim::kSubscribable)) {
            error = sim::attError(6, "The request is not supported.");
        }
        const std::pair<size_t, size_t> key{c.service_index, c.index};
        const bool ok = sim::answer(
            link, pending.epoch, fault, std::move(error),
            [characteristic, enabled](sim::Link&) {
                characteristic->impl()->notifying = enabled;
                return true;
            },
            [characteristic](CBPeripheralDelegate& d, const CBPeripheralPtr& p, const NSError* e) {
                d.peripheralDidUpdateNotificationStateForCharacteristic(p, characteristic, e);
            },
            [key, enabled](sim::Link& l) {
                // The device notifies from the moment its answer leaves.
                if (enabled) {
                    l.subscribed.insert(key);
                } else {
                    l.subscribed.erase(key);
                }
            });
        if (ok && enabled) {
            pending.device->startPeriodic(sim::worldState().scheduler, key.first, key.second);
        }
    });
}

void CBPeripheral::readValue(const CBDescriptorPtr& descriptor) {
    const auto admitted = sim::admitFor(impl_, descriptor);
    sim::send(admitted, [descriptor](const sim::LinkPtr& link, const sim::Pending& pending) {
        const auto& d = *descriptor->impl();
        sim::AttributePath path{d.service_index, d.characteristic_index, d.index};
        std::string bytes;
        {
            Lock lock(pending.device->mutex);
            bytes = pending.device->descriptor_values[d.service_index][d.characteristic_index][d.index].value_or(
                std::string());
        }
        sim::answer(
            link, pending.epoch, pending.device->fault(path, "read"), std::nullopt,
            [descriptor, bytes](sim::Link&) {
                auto& di = *descriptor->impl();
                if (sim::isClientConfiguration(di.uuid)) {
                    // The configuration is the link's own: 1 notifying, 2 indicating, 0 neither.
                    int64_t configuration = 0;
                    if (auto c = di.characteristic.lock(); c && c->impl()->notifying) {
                        configuration = (c->impl()->properties & CBCharacteristicPropertyNotify) ? 1 : 2;
                    }
                    CBDescriptorValue value;
                    value.kind = CBDescriptorValue::Kind::Number;
                    value.number = configuration;
                    di.value = value;
                } else {
                    di.value = sim::descriptorValue(di.uuid, bytes);
                }
                return true;
            },
            [descriptor](CBPeripheralDelegate& delegate, const CBPeripheralPtr& p, const NSError* e) {
                delegate.peripheralDidUpdateValueForDescriptor(p, descriptor, e);
            });
    });
}

void CBPeripheral::writeValue(const std::string& data, const CBDescriptorPtr& descriptor) {
    if (descriptor && sim::isClientConfiguration(descriptor->UUID())) {
        throw NSException("NSInternalInconsistencyException",
                          "Client Characteristic Configuration descriptors must be configured using "
                          "setNotifyValue:forCharacteristic:");
    }
    const auto admitted = sim::admitFor(impl_, descriptor);
    sim::send(admitted, [descriptor, data](const sim::LinkPtr& link, const sim::Pending& pending) {
        if (!sim::connectedAt(*link, pending.epoch)) {
            return;
        }
        const auto& d = *descriptor->impl();
        sim::AttributePath path{d.service_index, d.characteristic_index, d.index};
        const auto fault = pending.device->fault(path, "write");
        if (!fault) {
            Lock lock(pending.device->mutex);
            pending.device->descriptor_values[d.service_index][d.characteristic_index][d.index] = data;
        }
        sim::answer(link, pending.epoch, fault, std::nullopt, nullptr,
                    [descriptor](CBPeripheralDelegate& delegate, const CBPeripheralPtr& p, const NSError* e) {
                        delegate.peripheralDidWriteValueForDescriptor(p, descriptor, e);
                    });
    });
}

std::string NSLogDescription(const CBPeripheralPtr& peripheral) {
    return peripheral ? peripheral->identifier().UUIDString() : std::string("(null)");
}

std::string NSLogDescription(const CBPeripheral& peripheral) {
    return peripheral.identifier().UUIDString();
}

}  // namespace platform
