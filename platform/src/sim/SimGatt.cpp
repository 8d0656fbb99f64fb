// A simulated session's GATT requests: admitted on the caller's thread, answered by the device after its latency
// (or refused by its security, raised and tried again once), and the writes without response a connection
// interval carries.

#include <algorithm>

#include "SimInternal.h"
#include "SimRadio.h"

namespace platform::sim {

namespace {

using Lock = std::lock_guard<std::mutex>;
using LinkPtr = std::shared_ptr<SimLink>;

bool isClientConfiguration(const CBUUID& uuid) {
    static const CBUUID cccd = CBUUID::UUIDWithString("2902");
    return uuid == cccd;
}

// A completion's call must not take the radio's thread down with it.
const char* const kInCompletion = "in a simulated radio completion";

}  // namespace

std::optional<SimCentral::Admitted> SimCentral::admit(const radio::DeviceKey& key) {
    const LinkPtr link = findLink(key);
    if (!link || closed_) {
        return std::nullopt;
    }
    Lock lock(link->mutex);
    if (link->state != CBPeripheralState::Connected || !link->device) {
        return std::nullopt;  // the central only asks on links it believes up; this one is gone
    }
    return Admitted{link, link->epoch, link->device};
}

template <typename Task>
void SimCentral::send(const std::optional<Admitted>& admitted, Task task) {
    if (!admitted) {
        return;
    }
    world_.scheduler.after(std::chrono::milliseconds(admitted->device->config.latency_ms),
                           [weak = weak_from_this(), request = *admitted, task = std::move(task)]() mutable {
                               if (auto session = weak.lock()) {
                                   task(*session, request);
                               }
                           });
}

// The device's answer to one request, once its latency has passed: a fault replaces it. `apply` runs under the
// link's mutex as a successful answer leaves the device; `call` runs the completion. True when a successful
// answer was given.
template <typename Apply, typename Call>
bool SimCentral::answer(const Admitted& request, const std::string& fault_kind, size_t s, size_t c, size_t d,
                        std::optional<NSError> error, Apply apply, Call call) {
    const auto fault = request.device->fault(AttributePath{s, c, d}, fault_kind);
    if (fault == Fault::Drop) {
        loseLink(request.link, request.epoch, linkLossError());
        return false;
    }
    if (fault == Fault::Silent) {
        return false;
    }
    if (fault == Fault::Error) {
        error = faultError();
    }
    Emission emission(*this);
    {
        Lock lock(request.link->mutex);
        if (request.link->epoch != request.epoch || request.link->state != CBPeripheralState::Connected) {
            return false;
        }
        if (!error) {
            apply(*request.link);
        }
    }
    if (closed_) {
        return false;
    }
    contain(kInCompletion, [&] { call(error ? &*error : nullptr); });
    return !error;
}

namespace {
constexpr size_t npos = AttributePath::npos;

// The attribute a handle names on a device, when it is of the kind asked for.
std::optional<AttributePath> lookup(const Device& device, radio::AttributeHandle handle, bool characteristic,
                                    bool descriptor) {
    auto it = device.attributes.find(handle);
    if (it == device.attributes.end()) {
        return std::nullopt;
    }
    const AttributePath& p = it->second;
    const bool is_descriptor = p.descriptor != npos;
    const bool is_characteristic = !is_descriptor && p.characteristic != npos;
    const bool is_service = p.characteristic == npos;
    if ((descriptor && !is_descriptor) || (characteristic && !is_characteristic) ||
        (!descriptor && !characteristic && !is_service)) {
        return std::nullopt;
    }
    return p;
}

const NSError kNoSuchAttribute = CBATTErrorMake(CBATTError::InvalidHandle, "The handle is invalid.");

// What a device answers an access its attribute's security forbids on a link with the key `link`.
std::optional<NSError> securityRefusal(Security security, Security link) {
    if (link >= security) {
        return std::nullopt;
    }
    switch (security) {
        case Security::Encryption:
            return CBATTErrorMake(CBATTError::InsufficientEncryption, "Encryption is insufficient.");
        case Security::Authentication:
            return CBATTErrorMake(CBATTError::InsufficientAuthentication, "Authentication is insufficient.");
        case Security::None:
            break;
    }
    return std::nullopt;
}

const CharacteristicConfig& characteristicConfig(const Device& device, const AttributePath& path) {
    return device.config.services[path.service].characteristics[path.characteristic];
}
// A subscription is a write of the client configuration: the characteristic's security covers it, and so does
// that of a configuration descriptor the world lists.
Security subscriptionSecurity(const Device& device, const AttributePath& path) {
    const auto& config = characteristicConfig(device, path);
    const auto& descriptors = device.services[path.service].characteristics[path.characteristic].descriptors;
    Security needed = config.security;
    for (size_t i = 0; i < descriptors.size() && i < config.descriptors.size(); ++i) {
        if (isClientConfiguration(descriptors[i].uuid) && config.descriptors[i].security > needed) {
            needed = config.descriptors[i].security;
        }
    }
    return needed;
}
// A device's own refusal of a write: the first code the ATT protocol leaves to applications.
constexpr auto kDeviceRefused = static_cast<CBATTError>(0x80);
}  // namespace

void SimCentral::discoverServices(const radio::DeviceKey& key, radio::ServicesDone done) {
    send(admit(key), [done = std::move(done)](SimCentral& self, const Admitted& r) {
        std::vector<radio::ServiceInfo> list;
        for (const auto& s : r.device->services) {
            list.push_back(radio::ServiceInfo{s.handle, s.uuid});
        }
        self.answer(
            r, "discover_services", npos, npos, npos, std::nullopt, [](SimLink&) {},
            [&](const NSError* e) { done(e, e ? std::vector<radio::ServiceInfo>{} : list); });
    });
}

void SimCentral::discoverCharacteristics(const radio::DeviceKey& key, radio::AttributeHandle service,
                                         radio::CharacteristicsDone done) {
    send(admit(key), [service, done = std::move(done)](SimCentral& self, const Admitted& r) {
        const auto path = lookup(*r.device, service, false, false);
        if (!path) {
            self.answer(
                r, "", npos, npos, npos, kNoSuchAttribute, [](SimLink&) {}, [&](const NSError* e) { done(e, {}); });
            return;
        }
        std::vector<radio::CharacteristicInfo> list;
        for (const auto& c : r.device->services[path->service].characteristics) {
            list.push_back(radio::CharacteristicInfo{c.handle, c.uuid, c.properties});
        }
        self.answer(
            r, "discover_characteristics", path->service, npos, npos, std::nullopt, [](SimLink&) {},
            [&](const NSError* e) { done(e, e ? std::vector<radio::CharacteristicInfo>{} : list); });
    });
}

void SimCentral::discoverDescriptors(const radio::DeviceKey& key, radio::AttributeHandle characteristic,
                                     radio::DescriptorsDone done) {
    send(admit(key), [characteristic, done = std::move(done)](SimCentral& self, const Admitted& r) {
        const auto path = lookup(*r.device, characteristic, true, false);
        if (!path) {
            self.answer(
                r, "", npos, npos, npos, kNoSuchAttribute, [](SimLink&) {}, [&](const NSError* e) { done(e, {}); });
            return;
        }
        std::vector<radio::DescriptorInfo> list;
        for (const auto& d : r.device->services[path->service].characteristics[path->characteristic].descriptors) {
            list.push_back(radio::DescriptorInfo{d.handle, d.uuid});
        }
        self.answer(
            r, "discover_descriptors", path->service, path->characteristic, npos, std::nullopt, [](SimLink&) {},
            [&](const NSError* e) { done(e, e ? std::vector<radio::DescriptorInfo>{} : list); });
    });
}

void SimCentral::readCharacteristic(const radio::DeviceKey& key, radio::AttributeHandle characteristic,
                                    radio::ValueDone done) {
    send(admit(key), [characteristic, done = std::move(done)](SimCentral& self, const Admitted& r) {
        const auto path = lookup(*r.device, characteristic, true, false);
        std::optional<NSError> error;
        std::string value;
        if (!path) {
            error = kNoSuchAttribute;
        } else if (!(r.device->services[path->service].characteristics[path->characteristic].properties &
                     CBCharacteristicPropertyRead)) {
            error = CBATTErrorMake(CBATTError::ReadNotPermitted, "Reading is not permitted.");
        } else {
            const Security needed = characteristicConfig(*r.device, *path).security;
            error = securityRefusal(needed, self.securityOf(r));
            if (error) {
                self.raiseSecurity(r, needed,
                                   [weak = self.weak_from_this(), r, characteristic, error, done](bool raised) {
                                       auto session = weak.lock();
                                       if (!session) {
                                           return;
                                       }
                                       if (raised) {
                                           return session->readCharacteristic(r.link->key, characteristic, done);
                                       }
                                       session->answer(
                                           r, "", npos, npos, npos, error, [](SimLink&) {},
                                           [&](const NSError* e) { done(e, std::string()); });
                                   });
                return;
            }
        }
        self.answer(
            r, path ? "read" : "", path ? path->service : npos, path ? path->characteristic : npos, npos,
            std::move(error),
            [&](SimLink&) {
                // Taken as the answer leaves, in turn with the notifications: the central sees the values in
                // the order the device held them.
                Lock lock(r.device->mutex);
                value = r.device->values[path->service][path->characteristic].value_or(std::string());
            },
            [&](const NSError* e) { done(e, e ? std::string() : value); });
    });
}

void SimCentral::writeCharacteristic(const radio::DeviceKey& key, radio::AttributeHandle characteristic,
                                     const std::string& value, radio::Done done) {
    send(admit(key), [characteristic, value, done = std::move(done)](SimCentral& self, const Admitted& r) {
        unsigned mtu = kDefaultMtu;
        {
            Lock lock(r.link->mutex);
            if (r.link->epoch != r.epoch || r.link->state != CBPeripheralState::Connected) {
                return;  // the device never sees a write of a link that is gone
            }
            mtu = r.link->mtu;
        }
        const auto path = lookup(*r.device, characteristic, true, false);
        std::optional<NSError> error;
        if (!path) {
            error = kNoSuchAttribute;
        } else if (!r.device->fault(AttributePath{path->service, path->characteristic}, "write")) {
            const auto& c = r.device->services[path->service].characteristics[path->characteristic];
            if (!(c.properties & CBCharacteristicPropertyWrite)) {
                error = CBATTErrorMake(CBATTError::WriteNotPermitted, "Writing is not permitted.");
            } else if (auto refused =
                           securityRefusal(characteristicConfig(*r.device, *path).security, self.securityOf(r))) {
                self.raiseSecurity(
                    r, characteristicConfig(*r.device, *path).security,
                    [weak = self.weak_from_this(), r, characteristic, value, refused, done](bool raised) {
                        auto session = weak.lock();
                        if (!session) {
                            return;
                        }
                        if (raised) {
                            return session->writeCharacteristic(r.link->key, characteristic, value, done);
                        }
                        session->answer(
                            r, "", npos, npos, npos, refused, [](SimLink&) {}, [&](const NSError* e) { done(e); });
                    });
                return;
            } else if (value.size() + 3 > mtu && !r.device->config.prepared_writes) {
                // Too long for one request, the value goes as prepared writes, which this device refuses.
                error = CBATTErrorMake(CBATTError::RequestNotSupported, "The request is not supported.");
            } else if (value.size() > kMaxAttributeLength) {
                error = CBATTErrorMake(CBATTError::InvalidAttributeValueLength, "The value's length is invalid.");
            } else if (!r.device->receiveWrite(self.world_.scheduler, path->service, path->characteristic, value,
                                               true)) {
                error = CBATTErrorMake(kDeviceRefused, "The device refused the command.");
            }
        }
        self.answer(
            r, path ? "write" : "", path ? path->service : npos, path ? path->characteristic : npos, npos,
            std::move(error), [](SimLink&) {}, [&](const NSError* e) { done(e); });
    });
}

void SimCentral::writeWithoutResponse(const radio::DeviceKey& key, radio::AttributeHandle characteristic,
                                      const std::string& value, radio::Done sent) {
    const auto admitted = admit(key);
    if (!admitted) {
        return;
    }
    const auto path = lookup(*admitted->device, characteristic, true, false);
    if (!path ||
        !(admitted->device->services[path->service].characteristics[path->characteristic].properties &
          CBCharacteristicPropertyWriteWithoutResponse) ||
        securityRefusal(characteristicConfig(*admitted->device, *path).security, securityOf(*admitted))) {
        return;  // nothing to carry: the write is lost, and the central learns it from no `sent`
    }
    Lock lock(admitted->link->mutex);
    if (admitted->link->epoch != admitted->epoch) {
        return;
    }
    admitted->link->transmit.push_back(SimLink::Packet{path->service, path->characteristic, value, std::move(sent)});
    if (!admitted->link->drain_armed) {
        armDrainLocked(admitted->link);
    }
}

// Called with the link's mutex held.
void SimCentral::armDrainLocked(const LinkPtr& link) {
    link->drain_armed = true;
    world_.scheduler.after(std::chrono::milliseconds(link->device->config.connection.interval_ms),
                           [weak = weak_from_this(), weak_link = std::weak_ptr<SimLink>(link), epoch = link->epoch] {
                               auto session = weak.lock();
                               auto l = weak_link.lock();
                               if (session && l) {
                                   session->drainTransmit(l, epoch);
                               }
                           });
}

// One connection interval: the link carries up to packets_per_interval writes without response.
void SimCentral::drainTransmit(const LinkPtr& link, uint64_t epoch) {
    std::vector<SimLink::Packet> packets;
    std::shared_ptr<Device> device;
    {
        Emission emission(*this);
        {
            Lock lock(link->mutex);
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
                armDrainLocked(link);
            }
        }
        if (!closed_) {
            for (auto& packet : packets) {
                if (packet.sent) {
                    contain(kInCompletion, [&] { packet.sent(nullptr); });
                }
            }
        }
    }
    // The device takes them outside the emission: a write may make it notify.
    for (const auto& packet : packets) {
        const auto fault = device->fault(AttributePath{packet.service, packet.characteristic}, "write");
        if (fault == Fault::Drop) {
            loseLink(link, epoch, linkLossError());
            return;
        }
        if (fault) {
            continue;  // a write without response has no answer to carry an error: it is lost
        }
        device->receiveWrite(world_.scheduler, packet.service, packet.characteristic, packet.data, false);
    }
}

void SimCentral::retryRaised(const Admitted& request, Security needed, NSError refused,
                             std::function<void(SimCentral&)> again, std::function<void(const NSError*)> fail) {
    raiseSecurity(
        request, needed,
        [weak = weak_from_this(), request, refused, again = std::move(again), fail = std::move(fail)](bool raised) {
            auto session = weak.lock();
            if (!session) {
                return;
            }
            if (raised) {
                return again(*session);
            }
            session->answer(
                request, "", npos, npos, npos, refused, [](SimLink&) {}, [&](const NSError* e) { fail(e); });
        });
}

void SimCentral::setNotify(const radio::DeviceKey& key, radio::AttributeHandle characteristic, bool enabled,
                           radio::NotifyDelivery /*delivery*/, radio::Done done) {
    send(admit(key), [characteristic, enabled, done = std::move(done)](SimCentral& self, const Admitted& r) {
        const auto path = lookup(*r.device, characteristic, true, false);
        std::optional<NSError> error;
        if (!path) {
            error = kNoSuchAttribute;
        } else if (enabled && !(r.device->services[path->service].characteristics[path->characteristic].properties &
                                kSubscribable)) {
            error = CBATTErrorMake(CBATTError::RequestNotSupported, "The request is not supported.");
        } else if (auto refused = securityRefusal(subscriptionSecurity(*r.device, *path), self.securityOf(r))) {
            return self.retryRaised(
                r, subscriptionSecurity(*r.device, *path), *refused,
                [key = r.link->key, characteristic, enabled, done](SimCentral& session) {
                    session.setNotify(key, characteristic, enabled, radio::NotifyDelivery::Shared, done);
                },
                done);
        }
        const std::pair<size_t, size_t> at{path ? path->service : npos, path ? path->characteristic : npos};
        if (path && enabled && !error && r.device->fault(*path, "subscribe") == Fault::NotifyEarly) {
            self.notifyBeforeAnswer(r, at.first, at.second);
        }
        const bool ok = self.answer(
            r, path ? (enabled ? "subscribe" : "unsubscribe") : "", at.first, at.second, npos, std::move(error),
            [at, enabled](SimLink& l) {
                // The device notifies from the moment its answer leaves.
                if (enabled) {
                    l.subscribed.insert(at);
                } else {
                    l.subscribed.erase(at);
                }
            },
            [&](const NSError* e) { done(e); });
        if (ok && enabled) {
            r.device->startPeriodic(self.world_.scheduler, at.first, at.second);
        }
    });
}

void SimCentral::readDescriptor(const radio::DeviceKey& key, radio::AttributeHandle descriptor, radio::ValueDone done) {
    send(admit(key), [descriptor, done = std::move(done)](SimCentral& self, const Admitted& r) {
        const auto path = lookup(*r.device, descriptor, false, true);
        if (!path) {
            self.answer(
                r, "", npos, npos, npos, kNoSuchAttribute, [](SimLink&) {}, [&](const NSError* e) { done(e, {}); });
            return;
        }
        const auto& c = r.device->services[path->service].characteristics[path->characteristic];
        const bool configuration = isClientConfiguration(c.descriptors[path->descriptor].uuid);
        const Security needed = characteristicConfig(*r.device, *path).descriptors[path->descriptor].security;
        if (auto refused = securityRefusal(needed, self.securityOf(r))) {
            return self.retryRaised(
                r, needed, *refused,
                [key = r.link->key, descriptor, done](SimCentral& session) {
                    session.readDescriptor(key, descriptor, done);
                },
                [done](const NSError* e) { done(e, {}); });
        }
        std::string bytes;
        if (!configuration) {
            Lock lock(r.device->mutex);
            bytes = r.device->descriptor_values[path->service][path->characteristic][path->descriptor].value_or(
                std::string());
        }
        self.answer(
            r, "read", path->service, path->characteristic, path->descriptor, std::nullopt,
            [&](SimLink& l) {
                if (configuration) {
                    // The configuration is the link's own: 1 notifying, 2 indicating, 0 neither.
                    char value = 0;
                    if (l.subscribed.count({path->service, path->characteristic})) {
                        value = (c.properties & CBCharacteristicPropertyNotify) ? 1 : 2;
                    }
                    bytes = std::string{value, '\0'};
                }
            },
            [&](const NSError* e) { done(e, e ? std::string() : bytes); });
    });
}

void SimCentral::writeDescriptor(const radio::DeviceKey& key, radio::AttributeHandle descriptor,
                                 const std::string& value, radio::Done done) {
    send(admit(key), [descriptor, value, done = std::move(done)](SimCentral& self, const Admitted& r) {
        {
            Lock lock(r.link->mutex);
            if (r.link->epoch != r.epoch || r.link->state != CBPeripheralState::Connected) {
                return;
            }
        }
        const auto path = lookup(*r.device, descriptor, false, true);
        if (!path) {
            self.answer(
                r, "", npos, npos, npos, kNoSuchAttribute, [](SimLink&) {}, [&](const NSError* e) { done(e); });
            return;
        }
        const Security needed = characteristicConfig(*r.device, *path).descriptors[path->descriptor].security;
        if (auto refused = securityRefusal(needed, self.securityOf(r))) {
            return self.retryRaised(
                r, needed, *refused,
                [key = r.link->key, descriptor, value, done](SimCentral& session) {
                    session.writeDescriptor(key, descriptor, value, done);
                },
                done);
        }
        if (!r.device->fault(*path, "write")) {
            Lock lock(r.device->mutex);
            r.device->descriptor_values[path->service][path->characteristic][path->descriptor] = value;
        }
        self.answer(
            r, "write", path->service, path->characteristic, path->descriptor, std::nullopt, [](SimLink&) {},
            [&](const NSError* e) { done(e); });
    });
}

}  // namespace platform::sim
