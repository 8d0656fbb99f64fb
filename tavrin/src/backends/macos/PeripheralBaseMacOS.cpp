#include "backends/macos/PeripheralBaseMacOS.h"

#include <algorithm>
#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include <platform/Foundation.h>
#include <tavrin/Exceptions.h>

#include "backends/macos/Utils.h"
#include "callback/guarded.h"
#include "callback/safe_callback.h"
#include "frontends/base/CharacteristicBuilder.h"
#include "frontends/base/DescriptorBuilder.h"
#include "frontends/base/ServiceBuilder.h"

namespace Tavrin {

using platform::CBCharacteristicPtr;
using platform::CBDescriptorPtr;
using platform::CBPeripheralState;
using platform::CBServicePtr;
using platform::NSLog;

std::shared_ptr<PeripheralBaseMacOS> PeripheralBaseMacOS::init(platform::CBPeripheralPtr peripheral,
                                                               platform::CBCentralManagerPtr centralManager,
                                                               std::shared_ptr<const TimeLimitsCell> adapter_limits) {
    auto delegate = std::make_shared<PeripheralBaseMacOS>(ConstructionKey{}, std::move(peripheral),
                                                          std::move(centralManager), std::move(adapter_limits));
    delegate->peripheral_->setDelegate(delegate->weak_from_this());
    // Set before any call can wait; a change made before it is seen by the wait's first look.
    delegate->peripheral_->setChangeObserver([changes = delegate->changes_] { changes->bump(); });
    return delegate;
}

PeripheralBaseMacOS::PeripheralBaseMacOS(ConstructionKey, platform::CBPeripheralPtr peripheral,
                                         platform::CBCentralManagerPtr centralManager,
                                         std::shared_ptr<const TimeLimitsCell> adapter_limits)
    : peripheral_(std::move(peripheral)),
      central_manager_(std::move(centralManager)),
      limits_(std::move(adapter_limits)) {}

// ---------------------------------------------------------------------------------------------
// Identity

std::string PeripheralBaseMacOS::identifier() const {
    return peripheral_->name().value_or(std::string());
}

std::string PeripheralBaseMacOS::address() const {
    return peripheral_->identifier().UUIDString();
}

uint16_t PeripheralBaseMacOS::mtu() const {
    return static_cast<uint16_t>(
        peripheral_->maximumWriteValueLengthForType(platform::CBCharacteristicWriteType::WithoutResponse));
}

bool PeripheralBaseMacOS::isConnected() const {
    return peripheral_->state() == CBPeripheralState::Connected;
}

// ---------------------------------------------------------------------------------------------
// Records and waits

bool PeripheralBaseMacOS::is_on_event_queue() const {
    const auto& queue = central_manager_->queue();
    return queue && queue->isCurrent();
}

bool PeripheralBaseMacOS::link_up() const {
    return peripheral_->state() == CBPeripheralState::Connected;
}

// The state is read before the tree. A link comes back up only with a new, empty tree, so a service
// still in the tree after the state read as connected has belonged to the link that is up since
// before that read: a request made on its attributes before then was taken, and one on an attribute
// of any other link was ignored by the platform, and will never be answered.
bool PeripheralBaseMacOS::of_link_up(const CBServicePtr& service) const {
    if (!link_up() || !service) {
        return false;
    }
    const auto services = peripheral_->services();
    return services && std::find(services->begin(), services->end(), service) != services->end();
}

TimeLimits PeripheralBaseMacOS::limits_for_call() {
    const TimeLimits limits = limits_.get();
    // Told under the lock, so that two callers seeing a change in turn tell the radio in the same order.
    Lock lock(mutex_);
    if (limits != told_) {
        told_ = limits;
        peripheral_->setLinkLimits(limits.connection, limits.service_discovery, limits.request);
    }
    return limits;
}

void PeripheralBaseMacOS::refuse_on_event_queue(const char* operation) const {
    if (is_on_event_queue()) {
        NSLog(
            "%@ cannot wait on its own queue: it was called from a callback on the event queue that would deliver "
            "its answer",
            std::string(operation));
        throw Exception::OperationFailed(operation);
    }
}

characteristic_extras_t& PeripheralBaseMacOS::record_locked(const CBCharacteristicPtr& characteristic) {
    auto [it, made] = characteristic_extras_.try_emplace(characteristic.get());
    if (made) {
        characteristic_extras_t& record = it->second;
        record.characteristic = characteristic;
        record.uuid = uuidToTavrin(characteristic->UUID());
        if (const CBServicePtr service = characteristic->service()) {
            record.service_uuid = uuidToTavrin(service->UUID());
        }
        record.order = next_record_order_++;
    }
    return it->second;
}

characteristic_extras_t* PeripheralBaseMacOS::find_record_locked(const CBCharacteristicPtr& characteristic) {
    const auto it = characteristic_extras_.find(characteristic.get());
    return it == characteristic_extras_.end() ? nullptr : &it->second;
}

descriptor_extras_t* PeripheralBaseMacOS::descriptor_record_locked(const CBDescriptorPtr& descriptor) {
    const CBCharacteristicPtr characteristic = descriptor->characteristic();
    if (!characteristic) {
        return nullptr;
    }
    auto [it, made] = record_locked(characteristic).descriptor_extras.try_emplace(descriptor.get());
    if (made) {
        it->second.descriptor = descriptor;
        it->second.uuid = uuidToTavrin(descriptor->UUID());
    }
    return &it->second;
}

void PeripheralBaseMacOS::fail_all_locked() {
    for (auto& [key, record] : characteristic_extras_) {
        record.reads.fail_all();
        record.writes.fail_all();
        record.subscriptions.fail_all();
        for (auto& [descriptor_key, descriptor] : record.descriptor_extras) {
            descriptor.reads.fail_all();
            descriptor.writes.fail_all();
        }
    }
    for (auto& [target, queue] : discoveries_) {
        queue.fail_all();
    }
}

void PeripheralBaseMacOS::signal() {
    changes_->bump();
}

std::map<std::string, characteristic_state_t> PeripheralBaseMacOS::characteristic_extras() const {
    Lock lock(mutex_);
    std::vector<const characteristic_extras_t*> records;
    for (const auto& entry : characteristic_extras_) {
        records.push_back(&entry.second);
    }
    std::sort(records.begin(), records.end(), [](const auto* a, const auto* b) { return a->order < b->order; });
    std::map<std::string, characteristic_state_t> result;
    for (const characteristic_extras_t* record : records) {
        characteristic_state_t state;
        state.service_uuid = record->service_uuid;
        state.read_pending = record->reads.pending();
        state.write_pending = record->writes.pending();
        state.value_changed_callback = record->value_changed_callback != nullptr;
        for (const auto& [key, descriptor] : record->descriptor_extras) {
            state.descriptor_extras.emplace(
                descriptor.uuid, descriptor_state_t{descriptor.reads.pending(), descriptor.writes.pending()});
        }
        result.emplace(record->uuid, std::move(state));
    }
    return result;
}

// ---------------------------------------------------------------------------------------------
// Connection and discovery

void PeripheralBaseMacOS::connect() {
    if (link_up()) {
        const auto services = peripheral_->services();
        Lock lock(mutex_);
        if (services && services == discovered_) {
            return;  // connected and discovered: nothing to redo, nothing to drop
        }
    }
    refuse_on_event_queue("Peripheral Connection");

    const TimeLimits limits = limits_for_call();
    central_manager_->connectPeripheral(peripheral_, platform::CBOptions{});
    wait_for(limits.connection, [&] { return peripheral_->state() != CBPeripheralState::Connecting; });
    const CBPeripheralState state = peripheral_->state();
    if (state != CBPeripheralState::Connected) {
        if (state == CBPeripheralState::Connecting) {
            // Withdrawn, so that the link does not come up behind the caller's back and a later
            // connect starts afresh.
            central_manager_->cancelPeripheralConnection(peripheral_);
        }
        throw Exception::OperationFailed("Peripheral Connection");
    }

    // Runs one discovery request against `target` and waits for its list, an error answer or the
    // link's end, whichever comes first.
    // `current` tells whether the target still belongs to the link that is up.
    const auto discover = [this](const void* target, std::chrono::milliseconds limit, auto request, auto discovered,
                                 auto current) {
        const auto queue_of = [this, target]() -> request_queue_t& { return discoveries_[target]; };
        const request_ptr slot = send(queue_of, request);
        wait_for(limit, [&] { return discovered() || slot->answered || !current(); });
        Lock lock(mutex_);
        const auto it = discoveries_.find(target);
        if (it != discoveries_.end()) {
            it->second.remove(slot);
            if (it->second.requests.empty()) {
                discoveries_.erase(it);
            }
        }
    };

    // A discovery error with the link kept up never sets the list, hence the bound.
    discover(
        peripheral_.get(), limits.service_discovery, [&] { peripheral_->discoverServices(std::nullopt); },
        [&] { return peripheral_->services().has_value(); }, [&] { return link_up(); });
    const auto services = peripheral_->services();
    if (!services) {
        NSLog("Services could not be discovered.");
        throw Exception::OperationFailed("Service Discovery");
    }

    // One request outstanding at a time: all of a service's tree before the next service.
    std::vector<const platform::CBCharacteristic*> found;
    for (const CBServicePtr& service : *services) {
        discover(
            service.get(), limits.characteristic_discovery,
            [&] { peripheral_->discoverCharacteristics(std::nullopt, service); },
            [&] { return service->characteristics().has_value(); }, [&] { return of_link_up(service); });
        const auto characteristics = service->characteristics();
        if (!characteristics) {
            NSLog("Characteristics could not be discovered for service %@", service->UUID());
            throw Exception::OperationFailed("Characteristic Discovery");
        }

        for (const CBCharacteristicPtr& characteristic : *characteristics) {
            discover(
                characteristic.get(), limits.descriptor_discovery,
                [&] { peripheral_->discoverDescriptors(characteristic); },
                [&] { return characteristic->descriptors().has_value(); }, [&] { return of_link_up(service); });
            const auto descriptors = characteristic->descriptors();
            if (!descriptors) {
                NSLog("Descriptors could not be discovered for characteristic %@", characteristic->UUID());
                throw Exception::OperationFailed("Descriptor Discovery");
            }

            // Attribute objects are the platform's per link, so a record found here belongs to this
            // link and stays as it is (a rediscovery keeps its callback and its requests).
            Lock lock(mutex_);
            record_locked(characteristic);
            for (const CBDescriptorPtr& descriptor : *descriptors) {
                descriptor_record_locked(descriptor);
            }
            found.push_back(characteristic.get());
        }
    }

    // The link may have gone (and another come up) since a step ended: this tree must still be the
    // current one.
    if (!link_up() || peripheral_->services() != services) {
        NSLog("Services could not be discovered: the link went down during discovery.");
        throw Exception::OperationFailed("Service Discovery");
    }

    // Records of attributes this link does not have belong to an earlier link: their callbacks can
    // never be called again, and what still waits on them cannot be answered.
    {
        Lock lock(mutex_);
        std::sort(found.begin(), found.end());
        for (auto it = characteristic_extras_.begin(); it != characteristic_extras_.end();) {
            if (std::binary_search(found.begin(), found.end(), it->first)) {
                ++it;
                continue;
            }
            characteristic_extras_t& stale = it->second;
            stale.reads.fail_all();
            stale.writes.fail_all();
            stale.subscriptions.fail_all();
            for (auto& [key, descriptor] : stale.descriptor_extras) {
                descriptor.reads.fail_all();
                descriptor.writes.fail_all();
            }
            it = characteristic_extras_.erase(it);
        }
        discovered_ = services;
    }
    signal();
}

void PeripheralBaseMacOS::disconnect() {
    // Waits on the platform's state alone, which the radio moves without the event queue: this works
    // from inside a callback too.
    central_manager_->cancelPeripheralConnection(peripheral_);
    wait_for(limits_for_call().disconnection, [&] { return peripheral_->state() != CBPeripheralState::Disconnecting; });
    if (peripheral_->state() != CBPeripheralState::Disconnected) {
        NSLog("Disconnection failed.");
        throw Exception::OperationFailed("Peripheral Disconnection");
    }
    {
        Lock lock(mutex_);
        discovered_.reset();
        fail_all_locked();
    }
    signal();
}

void PeripheralBaseMacOS::delegateDidConnect() {
    signal();
}

void PeripheralBaseMacOS::delegateDidDisconnect() {
    {
        Lock lock(mutex_);
        // A late event of an earlier link finds a new one up: what waits now belongs to the new link.
        if (!link_up()) {
            discovered_.reset();
            fail_all_locked();
        }
    }
    signal();
}

std::vector<Service> PeripheralBaseMacOS::getServices() const {
    std::vector<Service> result;
    const auto services = peripheral_->services();
    if (!services) {
        return result;
    }
    for (const CBServicePtr& service : *services) {
        std::vector<Characteristic> characteristics;
        for (const CBCharacteristicPtr& characteristic :
             service->characteristics().value_or(std::vector<CBCharacteristicPtr>{})) {
            std::vector<Descriptor> descriptors;
            for (const CBDescriptorPtr& descriptor :
                 characteristic->descriptors().value_or(std::vector<CBDescriptorPtr>{})) {
                descriptors.push_back(DescriptorBuilder(uuidToTavrin(descriptor->UUID())));
            }
            const auto properties = characteristic->properties();
            const bool can_read = (properties & platform::CBCharacteristicPropertyRead) != 0;
            const bool can_write_request = (properties & platform::CBCharacteristicPropertyWrite) != 0;
            const bool can_write_command = (properties & platform::CBCharacteristicPropertyWriteWithoutResponse) != 0;
            const bool can_notify = (properties & platform::CBCharacteristicPropertyNotify) != 0;
            const bool can_indicate = (properties & platform::CBCharacteristicPropertyIndicate) != 0;
            characteristics.push_back(CharacteristicBuilder(uuidToTavrin(characteristic->UUID()),
                                                            std::move(descriptors), can_read, can_write_request,
                                                            can_write_command, can_notify, can_indicate));
        }
        result.push_back(ServiceBuilder(uuidToTavrin(service->UUID()), std::move(characteristics)));
    }
    return result;
}

// Each discovery answer, an error included, ends the oldest discovery waiting on its target.
void PeripheralBaseMacOS::peripheralDidDiscoverServices(const platform::CBPeripheralPtr& peripheral,
                                                        const platform::NSError* error) {
    if (error) {
        NSLog("Error while discovering services for peripheral %@: %@\n", peripheral->name(), error);
    }
    {
        Lock lock(mutex_);
        const auto it = discoveries_.find(peripheral.get());
        if (it != discoveries_.end()) {
            it->second.answer(error != nullptr);
        }
    }
    signal();
}

void PeripheralBaseMacOS::peripheralDidDiscoverCharacteristicsForService(const platform::CBPeripheralPtr&,
                                                                         const CBServicePtr& service,
                                                                         const platform::NSError* error) {
    if (error) {
        NSLog("Error while discovering characteristics for service %@: %@\n", service->UUID(), error);
    }
    {
        Lock lock(mutex_);
        const auto it = discoveries_.find(service.get());
        if (it != discoveries_.end()) {
            it->second.answer(error != nullptr);
        }
    }
    signal();
}

void PeripheralBaseMacOS::peripheralDidDiscoverDescriptorsForCharacteristic(const platform::CBPeripheralPtr&,
                                                                            const CBCharacteristicPtr& characteristic,
                                                                            const platform::NSError* error) {
    if (error) {
        NSLog("Error while discovering descriptors for characteristic %@: %@\n", characteristic->UUID(), error);
    }
    {
        Lock lock(mutex_);
        const auto it = discoveries_.find(characteristic.get());
        if (it != discoveries_.end()) {
            it->second.answer(error != nullptr);
        }
    }
    signal();
}

}  // namespace Tavrin
