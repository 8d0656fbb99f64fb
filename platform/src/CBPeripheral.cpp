// A peripheral as one central manager sees it: admission of requests, the attribute objects of each connection,
// and the answers the radio gives, carried to the manager's queue.
//
// A request is checked on the caller's thread and sent to the radio; its answer arrives on the radio's thread
// and is delivered on the manager's queue. Every change of connection bumps the peripheral's epoch; answers
// carry the epoch they were asked in and are dropped when it has moved on.

#include <algorithm>
#include <string>

#include "FacadeInternal.h"

namespace platform {

namespace {

using Link = CBPeripheral::Impl;
using LinkPtr = std::shared_ptr<Link>;
using Lock = std::lock_guard<std::mutex>;

const char* const kNotConnected = "API MISUSE: can only accept commands while in the connected state";

/// A call of the peripheral's delegate with the answer's error (null for success).
using PeripheralCall = std::function<void(CBPeripheralDelegate&, const CBPeripheralPtr&, const NSError*)>;
/// Runs under the peripheral's guard just before a successful answer's call.
using Apply = std::function<void(Link&)>;
/// Whether what an answer applies is something a wait may look at (the tree, a subscription), which the
/// observer is told of; a value is not.
enum class Observed { No, Yes };

// Queues one event for the peripheral's delegate: on the queue, if the connection it was asked on still
// stands, `apply` runs (success only) and the delegate is called.
void deliver(const LinkPtr& link, uint64_t epoch, const NSError* error, Apply apply, PeripheralCall call,
             Observed observed = Observed::No) {
    auto manager = link->manager.lock();
    if (!manager) {
        return;
    }
    std::optional<NSError> why;
    if (error) {
        why = *error;
    }
    manager->enqueue([link, epoch, why = std::move(why), apply = std::move(apply), call = std::move(call),
                      observed](const CBCentralManagerPtr&) {
        std::shared_ptr<CBPeripheralDelegate> delegate;
        CBPeripheralPtr peripheral;
        ChangeObserver observer;
        {
            Lock lock(link->guard->mutex);
            if (link->epoch != epoch || link->state != CBPeripheralState::Connected) {
                return;  // an answer for a connection that is gone
            }
            if (!why && apply) {
                apply(*link);
                if (observed == Observed::Yes) {
                    observer = link->observer;
                }
            }
            delegate = link->delegate.lock();
            peripheral = link->self.lock();
        }
        // After the delegate's call, which records the answer the change belongs to: a wait woken by the
        // change finds its answer there, and the one answer cannot land on a request made after it.
        if (delegate && peripheral) {
            call(*delegate, peripheral, why ? &*why : nullptr);
        }
        tell(observer);
    });
}

template <typename Attribute>
bool ofCurrentTree(const Link& link, const std::shared_ptr<Attribute>& attribute) {
    return attribute && attribute->impl()->guard == link.guard && attribute->impl()->epoch == link.epoch;
}

// Called with the guard held: whether a request may name this attribute, writing the line when not.
template <typename Attribute>
bool admissibleLocked(const Link& link, const std::shared_ptr<Attribute>& attribute) {
    if (ofCurrentTree(link, attribute)) {
        return true;
    }
    if (attribute) {
        NSLog("API MISUSE: attribute %@ is not of this peripheral's current connection; the request is ignored",
              attribute->UUID());
    }
    return false;
}

// Admits a request on the caller's thread: gives the epoch its answer belongs to, or nothing once the request
// is ignored (with the misuse line when not connected). `screen` runs with the guard held on a connected link
// and returns false when it has dealt with the request itself.
template <typename Screen>
std::optional<uint64_t> admit(Link& link, Screen&& screen) {
    {
        Lock lock(link.guard->mutex);
        if (link.state == CBPeripheralState::Connected) {
            if (!screen()) {
                return std::nullopt;
            }
            return link.epoch;
        }
    }
    NSLog(kNotConnected);
    return std::nullopt;
}

template <typename Attribute>
std::optional<uint64_t> admitFor(Link& link, const std::shared_ptr<Attribute>& attribute) {
    return admit(link, [&] { return admissibleLocked(link, attribute); });
}

// Whether a discovery keeps an attribute: all, or those whose UUID is asked for (an empty list: all).
bool wanted(const std::optional<std::vector<CBUUID>>& uuids, const CBUUID& uuid) {
    return !uuids || uuids->empty() || std::find(uuids->begin(), uuids->end(), uuid) != uuids->end();
}

// Attribute objects are made once per connection and reused by every later discovery in it.
CBServicePtr serviceObjectLocked(Link& link, const radio::ServiceInfo& info) {
    auto& object = link.service_objects[info.handle];
    if (!object) {
        auto impl = std::make_shared<CBService::Impl>();
        impl->guard = link.guard;
        impl->uuid = info.uuid;
        impl->handle = info.handle;
        impl->epoch = link.epoch;
        impl->peripheral = link.self;
        object = std::make_shared<CBService>(impl);
    }
    return object;
}

CBCharacteristicPtr characteristicObjectLocked(Link& link, const CBServicePtr& service,
                                               const radio::CharacteristicInfo& info) {
    auto& object = service->impl()->objects[info.handle];
    if (!object) {
        auto impl = std::make_shared<CBCharacteristic::Impl>();
        impl->guard = link.guard;
        impl->uuid = info.uuid;
        impl->handle = info.handle;
        impl->epoch = link.epoch;
        impl->properties = info.properties;
        impl->service = service;
        object = std::make_shared<CBCharacteristic>(impl);
        link.characteristic_objects[info.handle] = object;
    }
    return object;
}

CBDescriptorPtr descriptorObjectLocked(const Link& link, const CBCharacteristicPtr& characteristic,
                                       const radio::DescriptorInfo& info) {
    auto& object = characteristic->impl()->objects[info.handle];
    if (!object) {
        auto impl = std::make_shared<CBDescriptor::Impl>();
        impl->guard = link.guard;
        impl->uuid = info.uuid;
        impl->handle = info.handle;
        impl->epoch = link.epoch;
        impl->characteristic = characteristic;
        object = std::make_shared<CBDescriptor>(impl);
    }
    return object;
}

// Merges newly found attributes into a list, in handle order.
template <typename Ptr>
void mergeByHandle(std::vector<Ptr>& list, const Ptr& object) {
    if (std::find(list.begin(), list.end(), object) == list.end()) {
        list.push_back(object);
    }
}
template <typename Ptr>
void sortByHandle(std::vector<Ptr>& list) {
    std::sort(list.begin(), list.end(),
              [](const Ptr& a, const Ptr& b) { return a->impl()->handle < b->impl()->handle; });
}

bool isClientConfiguration(const CBUUID& uuid) {
    static const CBUUID cccd = CBUUID::UUIDWithString("2902");
    return uuid == cccd;
}

size_t withoutResponseLimit(unsigned mtu) {
    return std::min<size_t>(std::max(mtu, kDefaultMtu) - 3, kMaxAttributeLength);
}

}  // namespace

void CBPeripheral::Impl::resetLocked() {
    state = CBPeripheralState::Disconnected;
    ++epoch;
    for (const auto& entry : characteristic_objects) {
        entry.second->impl()->notifying = false;
    }
    services.reset();
    service_objects.clear();
    characteristic_objects.clear();
    in_flight = 0;
    want_ready = false;
}

CBPeripheral::CBPeripheral(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}

void CBPeripheral::setDelegate(std::weak_ptr<CBPeripheralDelegate> delegate) {
    Lock lock(impl_->guard->mutex);
    impl_->delegate = std::move(delegate);
}

void CBPeripheral::setChangeObserver(std::function<void()> observer) {
    ChangeObserver next;
    if (observer) {
        next = std::make_shared<const std::function<void()>>(std::move(observer));
    }
    Lock lock(impl_->guard->mutex);
    impl_->observer.swap(next);
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
        return kMaxAttributeLength;
    }
    if (state() != CBPeripheralState::Connected) {
        return 20;
    }
    return withoutResponseLimit(impl_->radio->mtu(impl_->key));
}

std::optional<std::vector<CBServicePtr>> CBPeripheral::services() const {
    Lock lock(impl_->guard->mutex);
    return impl_->services;
}

bool CBPeripheral::canSendWriteWithoutResponse() const {
    const unsigned depth = impl_->radio->transmitQueueDepth();
    Lock lock(impl_->guard->mutex);
    return impl_->state == CBPeripheralState::Connected && impl_->in_flight < depth;
}

void CBPeripheral::setLinkLimits(std::chrono::milliseconds connection, std::chrono::milliseconds serviceDiscovery,
                                 std::chrono::milliseconds request) {
    impl_->radio->setLinkLimits(impl_->key, radio::LinkLimits{connection, serviceDiscovery, request});
}

void CBPeripheral::discoverServices(const std::optional<std::vector<CBUUID>>& serviceUUIDs) {
    const auto epoch = admit(*impl_, [] { return true; });
    if (!epoch) {
        return;
    }
    impl_->radio->discoverServices(impl_->key, [link = impl_, epoch = *epoch, serviceUUIDs](
                                                   const NSError* error, const std::vector<radio::ServiceInfo>& found) {
        deliver(
            link, epoch, error,
            [found, serviceUUIDs](Link& l) {
                std::vector<CBServicePtr> list = l.services.value_or(std::vector<CBServicePtr>{});
                for (const auto& info : found) {
                    if (wanted(serviceUUIDs, info.uuid)) {
                        mergeByHandle(list, serviceObjectLocked(l, info));
                    }
                }
                sortByHandle(list);
                l.services = std::move(list);
            },
            [](CBPeripheralDelegate& d, const CBPeripheralPtr& p, const NSError* e) {
                d.peripheralDidDiscoverServices(p, e);
            },
            Observed::Yes);
    });
}

void CBPeripheral::discoverCharacteristics(const std::optional<std::vector<CBUUID>>& characteristicUUIDs,
                                           const CBServicePtr& service) {
    const auto epoch = admitFor(*impl_, service);
    if (!epoch) {
        return;
    }
    impl_->radio->discoverCharacteristics(
        impl_->key, service->impl()->handle,
        [link = impl_, epoch = *epoch, characteristicUUIDs, service](
            const NSError* error, const std::vector<radio::CharacteristicInfo>& found) {
            deliver(
                link, epoch, error,
                [found, characteristicUUIDs, service](Link& l) {
                    auto& s = *service->impl();
                    std::vector<CBCharacteristicPtr> list =
                        s.characteristics.value_or(std::vector<CBCharacteristicPtr>{});
                    for (const auto& info : found) {
                        if (wanted(characteristicUUIDs, info.uuid)) {
                            mergeByHandle(list, characteristicObjectLocked(l, service, info));
                        }
                    }
                    sortByHandle(list);
                    s.characteristics = std::move(list);
                },
                [service](CBPeripheralDelegate& d, const CBPeripheralPtr& p, const NSError* e) {
                    d.peripheralDidDiscoverCharacteristicsForService(p, service, e);
                },
                Observed::Yes);
        });
}

void CBPeripheral::discoverDescriptors(const CBCharacteristicPtr& characteristic) {
    const auto epoch = admitFor(*impl_, characteristic);
    if (!epoch) {
        return;
    }
    impl_->radio->discoverDescriptors(
        impl_->key, characteristic->impl()->handle,
        [link = impl_, epoch = *epoch, characteristic](const NSError* error,
                                                       const std::vector<radio::DescriptorInfo>& found) {
            deliver(
                link, epoch, error,
                [found, characteristic](Link& l) {
                    std::vector<CBDescriptorPtr> list;
                    for (const auto& info : found) {
                        list.push_back(descriptorObjectLocked(l, characteristic, info));
                    }
                    characteristic->impl()->descriptors = std::move(list);
                },
                [characteristic](CBPeripheralDelegate& d, const CBPeripheralPtr& p, const NSError* e) {
                    d.peripheralDidDiscoverDescriptorsForCharacteristic(p, characteristic, e);
                },
                Observed::Yes);
        });
}

void CBPeripheral::readValue(const CBCharacteristicPtr& characteristic) {
    const auto epoch = admitFor(*impl_, characteristic);
    if (!epoch) {
        return;
    }
    impl_->radio->readCharacteristic(
        impl_->key, characteristic->impl()->handle,
        [link = impl_, epoch = *epoch, characteristic](const NSError* error, const std::string& value) {
            deliver(
                link, epoch, error,
                [characteristic, value](Link&) {
                    characteristic->impl()->value = value;  // before the callback, as the platform does
                },
                [characteristic](CBPeripheralDelegate& d, const CBPeripheralPtr& p, const NSError* e) {
                    d.peripheralDidUpdateValueForCharacteristic(p, characteristic, e);
                });
        });
}

void CBPeripheral::writeValue(const std::string& data, const CBCharacteristicPtr& characteristic,
                              CBCharacteristicWriteType type) {
    if (type == CBCharacteristicWriteType::WithResponse) {
        const auto epoch = admitFor(*impl_, characteristic);
        if (!epoch) {
            return;
        }
        impl_->radio->writeCharacteristic(
            impl_->key, characteristic->impl()->handle, data,
            [link = impl_, epoch = *epoch, characteristic](const NSError* error) {
                deliver(link, epoch, error, nullptr,
                        [characteristic](CBPeripheralDelegate& d, const CBPeripheralPtr& p, const NSError* e) {
                            d.peripheralDidWriteValueForCharacteristic(p, characteristic, e);
                        });
            });
        return;
    }

    // Without response: on its way at once when the radio has room, else dropped with a line.
    const size_t limit = withoutResponseLimit(impl_->radio->mtu(impl_->key));
    const unsigned depth = impl_->radio->transmitQueueDepth();
    bool send = false;
    const auto epoch = admit(*impl_, [&] {
        if (!admissibleLocked(*impl_, characteristic)) {
            return false;
        }
        const auto& c = *characteristic->impl();
        if (!(c.properties & CBCharacteristicPropertyWriteWithoutResponse)) {
            NSLog("Characteristic %@ does not allow writes without response; the write is ignored", c.uuid);
        } else if (data.size() > limit) {
            NSLog(
                "Write without response of %@ bytes to characteristic %@ exceeds the maximum of %@ bytes; "
                "the write is dropped",
                std::to_string(data.size()), c.uuid, std::to_string(limit));
        } else if (impl_->in_flight >= depth) {
            impl_->want_ready = true;
            NSLog("Transmit buffer full; the write without response to characteristic %@ is dropped", c.uuid);
        } else {
            ++impl_->in_flight;
            send = true;
        }
        return send;
    });
    if (!epoch) {
        return;
    }
    impl_->radio->writeWithoutResponse(
        impl_->key, characteristic->impl()->handle, data,
        [link = impl_, epoch = *epoch, depth, uuid = characteristic->impl()->uuid](const NSError* error) {
            // Nobody waits for this write, so a failure is only told on the console.
            if (error) {
                NSLog("Write without response to characteristic %@ failed: %@", uuid, error);
            }
            // The write left the radio's queue: its room is ours again. A writer waiting for room is told here
            // too, since the ready event cannot reach one that waits on the queue itself.
            ChangeObserver observer;
            bool ready = false;
            {
                Lock lock(link->guard->mutex);
                if (link->epoch != epoch || link->in_flight == 0) {
                    return;
                }
                if (link->in_flight-- >= depth) {
                    observer = link->observer;
                }
                ready = link->want_ready && link->in_flight < depth;
                if (ready) {
                    link->want_ready = false;
                }
            }
            tell(observer);
            if (!ready) {
                return;
            }
            deliver(link, epoch, nullptr, nullptr,
                    [](CBPeripheralDelegate& d, const CBPeripheralPtr& p, const NSError*) {
                        d.peripheralIsReadyToSendWriteWithoutResponse(p);
                    });
        });
}

void CBPeripheral::setNotifyValue(bool enabled, const CBCharacteristicPtr& characteristic,
                                  radio::NotifyDelivery delivery) {
    bool same = false;
    const auto epoch = admit(*impl_, [&] {
        if (!admissibleLocked(*impl_, characteristic)) {
            return false;
        }
        same = characteristic->impl()->notifying == enabled;
        return true;
    });
    if (!epoch) {
        return;
    }
    PeripheralCall call = [characteristic](CBPeripheralDelegate& d, const CBPeripheralPtr& p, const NSError* e) {
        d.peripheralDidUpdateNotificationStateForCharacteristic(p, characteristic, e);
    };
    if (same) {
        deliver(impl_, *epoch, nullptr, nullptr, std::move(call));  // already in that state: answered at once
        return;
    }
    impl_->radio->setNotify(impl_->key, characteristic->impl()->handle, enabled, delivery,
                            [link = impl_, epoch = *epoch, characteristic, enabled, call](const NSError* error) {
                                deliver(
                                    link, epoch, error,
                                    [characteristic, enabled](Link&) { characteristic->impl()->notifying = enabled; },
                                    call, Observed::Yes);
                            });
}

void CBPeripheral::readValue(const CBDescriptorPtr& descriptor) {
    const auto epoch = admitFor(*impl_, descriptor);
    if (!epoch) {
        return;
    }
    impl_->radio->readDescriptor(
        impl_->key, descriptor->impl()->handle,
        [link = impl_, epoch = *epoch, descriptor](const NSError* error, const std::string& bytes) {
            deliver(
                link, epoch, error,
                [descriptor, bytes](Link&) {
                    auto& d = *descriptor->impl();
                    d.value = descriptorValue(d.uuid, bytes);
                },
                [descriptor](CBPeripheralDelegate& delegate, const CBPeripheralPtr& p, const NSError* e) {
                    delegate.peripheralDidUpdateValueForDescriptor(p, descriptor, e);
                });
        });
}

void CBPeripheral::writeValue(const std::string& data, const CBDescriptorPtr& descriptor) {
    if (descriptor && isClientConfiguration(descriptor->UUID())) {
        throw NSException("NSInternalInconsistencyException",
                          "Client Characteristic Configuration descriptors must be configured using "
                          "setNotifyValue:forCharacteristic:");
    }
    const auto epoch = admitFor(*impl_, descriptor);
    if (!epoch) {
        return;
    }
    impl_->radio->writeDescriptor(
        impl_->key, descriptor->impl()->handle, data, [link = impl_, epoch = *epoch, descriptor](const NSError* error) {
            deliver(link, epoch, error, nullptr,
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
