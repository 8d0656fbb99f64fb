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

namespace {

// The device refused for want of a paired (encrypted or authenticated) link: the ATT codes for it, which the
// BlueZ radio also gives bluetoothd's "Not paired".
bool needs_pairing(const platform::NSError& error) {
    return error.code == 0x05 || error.code == 0x0C || error.code == 0x0F;
}

void say_if_pairing_needed(const CBCharacteristicPtr& characteristic, const platform::NSError& error) {
    if (needs_pairing(error) && error.domain != platform::CBErrorDomain) {
        NSLog(
            "Characteristic %@ needs a paired link: pairing was needed and did not happen (pair the peripheral, "
            "or install a pairing agent that answers)",
            characteristic->UUID());
    }
}

constexpr auto kPollStep = std::chrono::milliseconds(10);

// Parses a caller's UUID text; the platform raises on text it cannot parse, which for the caller
// simply means that no attribute carries that UUID.
template <typename NotFound>
platform::CBUUID parse_uuid(const std::string& text) {
    try {
        return platform::CBUUID::UUIDWithString(text);
    } catch (const platform::NSException&) {
        throw NotFound(text);
    }
}

std::string bytes_of(std::optional<std::string> value) {
    return value ? std::move(*value) : std::string();
}

// Descriptor values come typed; callers always get bytes.
std::string bytes_of(const std::optional<platform::CBDescriptorValue>& value) {
    if (!value) {
        return {};
    }
    switch (value->kind) {
        case platform::CBDescriptorValue::Kind::Number: {
            const auto number = static_cast<uint16_t>(value->number);
            return std::string{static_cast<char>(number & 0xFFu), static_cast<char>((number >> 8) & 0xFFu)};
        }
        case platform::CBDescriptorValue::Kind::String:
        case platform::CBDescriptorValue::Kind::Data:
            break;
    }
    return value->bytes;
}

}  // namespace

std::shared_ptr<PeripheralBaseMacOS> PeripheralBaseMacOS::init(platform::CBPeripheralPtr peripheral,
                                                               platform::CBCentralManagerPtr centralManager,
                                                               std::shared_ptr<const TimeLimitsCell> adapter_limits) {
    auto delegate = std::make_shared<PeripheralBaseMacOS>(ConstructionKey{}, std::move(peripheral),
                                                          std::move(centralManager), std::move(adapter_limits));
    delegate->peripheral_->setDelegate(delegate->weak_from_this());
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
    answered_.notify_all();
}

template <typename QueueOf, typename Send>
request_ptr PeripheralBaseMacOS::send(QueueOf queue_of, Send send_request) {
    Lock lock(mutex_);
    request_queue_t& queue = queue_of();
    request_ptr request = queue.add();
    try {
        send_request();
    } catch (...) {
        queue.remove(request);
        throw;
    }
    return request;
}

template <typename Done>
bool PeripheralBaseMacOS::wait_for(Clock::duration limit, Done done) {
    const auto deadline = Clock::now() + limit;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (done()) {
            return true;
        }
        const auto now = Clock::now();
        if (now >= deadline) {
            return false;
        }
        // Woken by the answering event; the step bounds how long a change that signals nothing
        // (a state the platform moves by itself) goes unseen.
        answered_.wait_until(lock, std::min(deadline, now + kPollStep));
    }
}

template <typename QueueOf>
void PeripheralBaseMacOS::withdraw(QueueOf queue_of, const request_ptr& request) {
    Lock lock(mutex_);
    queue_of().remove(request);
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
    const auto discover = [this](const void* target, Clock::duration limit, auto request, auto discovered,
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

// ---------------------------------------------------------------------------------------------
// Lookups

CBServicePtr PeripheralBaseMacOS::findService(const std::string& service_uuid) const {
    const auto uuid = parse_uuid<Exception::ServiceNotFound>(service_uuid);
    if (const auto services = peripheral_->services()) {
        for (const CBServicePtr& service : *services) {
            if (service->UUID().isEqual(uuid)) {
                return service;
            }
        }
    }
    throw Exception::ServiceNotFound(service_uuid);
}

CBCharacteristicPtr PeripheralBaseMacOS::findCharacteristic(const std::string& characteristic_uuid,
                                                            const CBServicePtr& service) const {
    const auto uuid = parse_uuid<Exception::CharacteristicNotFound>(characteristic_uuid);
    if (!service) {
        throw Exception::BaseException("Invalid service parameter.");
    }
    if (const auto characteristics = service->characteristics()) {
        for (const CBCharacteristicPtr& characteristic : *characteristics) {
            if (characteristic->UUID().isEqual(uuid)) {
                return characteristic;
            }
        }
    }
    throw Exception::CharacteristicNotFound(characteristic_uuid);
}

CBDescriptorPtr PeripheralBaseMacOS::findDescriptor(const std::string& descriptor_uuid,
                                                    const CBCharacteristicPtr& characteristic) const {
    const auto uuid = parse_uuid<Exception::DescriptorNotFound>(descriptor_uuid);
    if (characteristic) {
        if (const auto descriptors = characteristic->descriptors()) {
            for (const CBDescriptorPtr& descriptor : *descriptors) {
                if (descriptor->UUID().isEqual(uuid)) {
                    return descriptor;
                }
            }
        }
    }
    throw Exception::DescriptorNotFound(descriptor_uuid);
}

std::pair<CBServicePtr, CBCharacteristicPtr> PeripheralBaseMacOS::findServiceAndCharacteristic(
    const std::string& service_uuid, const std::string& characteristic_uuid) const {
    CBServicePtr service = findService(service_uuid);
    CBCharacteristicPtr characteristic = findCharacteristic(characteristic_uuid, service);
    return {std::move(service), std::move(characteristic)};
}

// ---------------------------------------------------------------------------------------------
// GATT operations

std::string PeripheralBaseMacOS::read(const std::string& service_uuid, const std::string& characteristic_uuid) {
    const auto found = findServiceAndCharacteristic(service_uuid, characteristic_uuid);
    const CBCharacteristicPtr& characteristic = found.second;
    if ((characteristic->properties() & platform::CBCharacteristicPropertyRead) == 0) {
        NSLog("Characteristic does not support read.");
        throw Exception::OperationNotSupported();
    }
    refuse_on_event_queue("Characteristic Read");

    const auto queue_of = [&]() -> request_queue_t& { return record_locked(characteristic).reads; };
    const request_ptr request = send(queue_of, [&] { peripheral_->readValue(characteristic); });
    wait_for(limits_for_call().request, [&] { return request->answered || !of_link_up(found.first); });
    withdraw(queue_of, request);
    // The slot is read once it has left its queue: no event writes it any more.
    if (!request->answered || request->failed) {
        NSLog("Characteristic %@ could not be read", characteristic->UUID());
        throw Exception::OperationFailed("Characteristic Read");
    }
    return std::move(request->value);
}

void PeripheralBaseMacOS::writeRequest(const std::string& service_uuid, const std::string& characteristic_uuid,
                                       const std::string& payload) {
    const auto found = findServiceAndCharacteristic(service_uuid, characteristic_uuid);
    const CBCharacteristicPtr& characteristic = found.second;
    if ((characteristic->properties() & platform::CBCharacteristicPropertyWrite) == 0) {
        NSLog("Characteristic does not support write with response.");
        throw Exception::OperationNotSupported();
    }
    refuse_on_event_queue("Characteristic Write Request");

    const auto queue_of = [&]() -> request_queue_t& { return record_locked(characteristic).writes; };
    const request_ptr request = send(queue_of, [&] {
        peripheral_->writeValue(payload, characteristic, platform::CBCharacteristicWriteType::WithResponse);
    });
    wait_for(limits_for_call().request, [&] { return request->answered || !of_link_up(found.first); });
    withdraw(queue_of, request);
    if (!request->answered || request->failed) {
        NSLog("Characteristic %@ could not be written", characteristic->UUID());
        throw Exception::OperationFailed("Characteristic Write Request");
    }
}

void PeripheralBaseMacOS::writeCommand(const std::string& service_uuid, const std::string& characteristic_uuid,
                                       const std::string& payload) {
    const auto found = findServiceAndCharacteristic(service_uuid, characteristic_uuid);
    const CBCharacteristicPtr& characteristic = found.second;
    if ((characteristic->properties() & platform::CBCharacteristicPropertyWriteWithoutResponse) == 0) {
        NSLog("Characteristic does not support write without response.");
        throw Exception::OperationNotSupported();
    }

    // The platform drops, with no word to the caller, a write it cannot carry: one longer than the link
    // takes, or one made while its transmit buffer is full. Neither may pass for a write that was sent.
    const size_t longest =
        peripheral_->maximumWriteValueLengthForType(platform::CBCharacteristicWriteType::WithoutResponse);
    if (payload.size() > longest) {
        NSLog("Characteristic %@ could not be written without response: %@ bytes exceed the maximum of %@ bytes",
              characteristic->UUID(), std::to_string(payload.size()), std::to_string(longest));
        throw Exception::OperationFailed("Characteristic Write Command");
    }

    // Testing for room and handing the write over happen as one step, so two writers cannot both take
    // the last free slot. The wait is woken by the platform's ready-to-send callback and otherwise
    // looks again every step (the radio frees room without the event queue, so this works on it too).
    // The platform drops without a word a write on an attribute of a link that is gone, so the
    // attribute is checked before the write and again after it (see of_link_up): a write that passes
    // both went out on the link that is up.
    bool sent = false;
    bool link_down = false;
    wait_for(limits_for_call().request, [&] {
        if (!of_link_up(found.first)) {
            link_down = true;
            return true;
        }
        if (!peripheral_->canSendWriteWithoutResponse()) {
            return false;
        }
        peripheral_->writeValue(payload, characteristic, platform::CBCharacteristicWriteType::WithoutResponse);
        sent = of_link_up(found.first);
        link_down = !sent;
        return true;
    });
    if (!sent) {
        NSLog(link_down ? "Characteristic %@ could not be written without response: the link is down"
                        : "Characteristic %@ could not be written without response: the link's transmit buffer "
                          "stayed full",
              characteristic->UUID());
        throw Exception::OperationFailed("Characteristic Write Command");
    }
}

void PeripheralBaseMacOS::notify(const std::string& service_uuid, const std::string& characteristic_uuid,
                                 ValueCallback callback) {
    const auto found = findServiceAndCharacteristic(service_uuid, characteristic_uuid);
    const CBCharacteristicPtr& characteristic = found.second;
    // Already notifying: the callback is replaced and nothing waits, so this works from a callback.
    if (!characteristic->isNotifying()) {
        refuse_on_event_queue("Characteristic Notify/Indicate");
    }

    auto stored = std::make_shared<value_callback_t>(std::move(callback));
    const auto queue_of = [&]() -> request_queue_t& { return record_locked(characteristic).subscriptions; };
    const request_ptr request = send(queue_of, [&] {
        characteristic_extras_t& record = record_locked(characteristic);
        record.value_changed_callback = std::move(stored);
        ++record.callback_serial;
        peripheral_->setNotifyValue(true, characteristic);
    });
    wait_for(limits_for_call().request,
             [&] { return characteristic->isNotifying() || request->failed || !of_link_up(found.first); });
    withdraw(queue_of, request);
    if (!characteristic->isNotifying()) {
        NSLog("Could not enable notifications for characteristic %@", characteristic->UUID());
        throw Exception::OperationFailed("Characteristic Notify/Indicate");
    }
}

void PeripheralBaseMacOS::indicate(const std::string& service_uuid, const std::string& characteristic_uuid,
                                   ValueCallback callback) {
    notify(service_uuid, characteristic_uuid, std::move(callback));
}

void PeripheralBaseMacOS::unsubscribe(const std::string& service_uuid, const std::string& characteristic_uuid) {
    const Clock::duration limit = limits_for_call().request;
    const auto deadline = Clock::now() + limit;
    const auto found = findServiceAndCharacteristic(service_uuid, characteristic_uuid);
    const CBCharacteristicPtr& characteristic = found.second;
    if (characteristic->isNotifying()) {
        refuse_on_event_queue("Characteristic Unsubscribe");
    }

    // Nothing is held while waiting: the answer and the value updates queued before it run meanwhile.
    uint64_t serial = 0;
    const auto queue_of = [&]() -> request_queue_t& { return record_locked(characteristic).subscriptions; };
    const request_ptr request = send(queue_of, [&] {
        serial = record_locked(characteristic).callback_serial;
        peripheral_->setNotifyValue(false, characteristic);
    });
    wait_for(limit, [&] { return !characteristic->isNotifying() || request->failed; });
    withdraw(queue_of, request);
    if (characteristic->isNotifying()) {
        NSLog("Could not disable notifications for characteristic %@", characteristic->UUID());
        throw Exception::OperationFailed("Characteristic Unsubscribe");
    }

    std::shared_ptr<value_callback_t> removed;
    {
        Lock lock(mutex_);
        characteristic_extras_t& record = record_locked(characteristic);
        // A subscription made meanwhile stored its own callback: that one stays.
        if (record.callback_serial == serial) {
            removed = std::move(record.value_changed_callback);
        }
    }
    // No call of the removed callback may run once this returns: wait for one already running. On the
    // event queue none can be running but the caller's own (deliveries run there, one at a time). The
    // wait shares the call's limit; past it the callback stays removed, so no new call of it starts.
    if (removed && !is_on_event_queue()) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!answered_.wait_until(lock, deadline, [&] { return removed->running == 0; })) {
            lock.unlock();
            NSLog("Characteristic %@ was unsubscribed, but its value callback was still running at the limit",
                  characteristic->UUID());
            throw Exception::OperationFailed("Characteristic Unsubscribe");
        }
    }
}

std::string PeripheralBaseMacOS::read(const std::string& service_uuid, const std::string& characteristic_uuid,
                                      const std::string& descriptor_uuid) {
    const auto found = findServiceAndCharacteristic(service_uuid, characteristic_uuid);
    const CBDescriptorPtr descriptor = findDescriptor(descriptor_uuid, found.second);
    refuse_on_event_queue("Descriptor Read");

    request_queue_t unowned;  // a descriptor without its characteristic: nothing can answer it
    const auto queue_of = [&]() -> request_queue_t& {
        descriptor_extras_t* record = descriptor_record_locked(descriptor);
        return record ? record->reads : unowned;
    };
    const request_ptr request = send(queue_of, [&] { peripheral_->readValue(descriptor); });
    wait_for(limits_for_call().request, [&] { return request->answered || !of_link_up(found.first); });
    withdraw(queue_of, request);
    if (!request->answered || request->failed) {
        NSLog("Descriptor %@ could not be read", descriptor->UUID());
        throw Exception::OperationFailed("Descriptor Read");
    }
    return std::move(request->value);
}

void PeripheralBaseMacOS::write(const std::string& service_uuid, const std::string& characteristic_uuid,
                                const std::string& descriptor_uuid, const std::string& payload) {
    const auto found = findServiceAndCharacteristic(service_uuid, characteristic_uuid);
    const CBDescriptorPtr descriptor = findDescriptor(descriptor_uuid, found.second);
    refuse_on_event_queue("Descriptor Write");

    request_queue_t unowned;
    const auto queue_of = [&]() -> request_queue_t& {
        descriptor_extras_t* record = descriptor_record_locked(descriptor);
        return record ? record->writes : unowned;
    };
    request_ptr request;
    try {
        request = send(queue_of, [&] { peripheral_->writeValue(payload, descriptor); });
    } catch (const platform::NSException&) {
        // The platform refuses some descriptors outright (the client configuration one is changed
        // through subscriptions); nothing was sent, and the request has left its queue.
        NSLog("Descriptor %@ does not support write.", descriptor->UUID());
        throw Exception::OperationNotSupported();
    }
    wait_for(limits_for_call().request, [&] { return request->answered || !of_link_up(found.first); });
    withdraw(queue_of, request);
    if (!request->answered || request->failed) {
        NSLog("Descriptor %@ could not be written", descriptor->UUID());
        throw Exception::OperationFailed("Descriptor Write");
    }
}

// ---------------------------------------------------------------------------------------------
// GATT callbacks (event queue)

void PeripheralBaseMacOS::peripheralDidUpdateValueForCharacteristic(const platform::CBPeripheralPtr&,
                                                                    const CBCharacteristicPtr& characteristic,
                                                                    const platform::NSError* error) {
    if (error) {
        NSLog("Characteristic value update error: %@\n", error);
        say_if_pairing_needed(characteristic, *error);
        bool answered = false;
        {
            Lock lock(mutex_);
            if (characteristic_extras_t* record = find_record_locked(characteristic)) {
                answered = record->reads.answer(true);
            }
        }
        if (answered) {
            signal();
        }
        return;
    }

    std::string value = bytes_of(characteristic->value());
    std::shared_ptr<value_callback_t> callback;
    {
        Lock lock(mutex_);
        characteristic_extras_t* record = find_record_locked(characteristic);
        if (!record) {
            return;
        }
        if (request_t* read = record->reads.oldest_unanswered()) {
            // Taken as the answer to the read, whatever the link meant by it.
            read->answered = true;
            read->value = std::move(value);
        } else if (record->value_changed_callback) {
            callback = record->value_changed_callback;
            ++callback->running;
        } else {
            return;
        }
    }
    if (!callback) {
        signal();
        return;
    }

    // No lock of the library is held while the caller's code runs.
    {
        zem::callback_scope scope;
        TAVRIN_GUARDED(callback->function)(std::move(value));
    }
    bool last = false;
    {
        Lock lock(mutex_);
        last = --callback->running == 0;
    }
    if (last) {
        signal();  // an unsubscription may wait for this call to end
    }
}

void PeripheralBaseMacOS::peripheralDidWriteValueForCharacteristic(const platform::CBPeripheralPtr&,
                                                                   const CBCharacteristicPtr& characteristic,
                                                                   const platform::NSError* error) {
    if (error) {
        NSLog("Error: %@\n", error);
        say_if_pairing_needed(characteristic, *error);
    }
    {
        Lock lock(mutex_);
        if (characteristic_extras_t* record = find_record_locked(characteristic)) {
            record->writes.answer(error != nullptr);
        }
    }
    signal();
}

void PeripheralBaseMacOS::peripheralDidUpdateNotificationStateForCharacteristic(
    const platform::CBPeripheralPtr&, const CBCharacteristicPtr& characteristic, const platform::NSError* error) {
    // The subscription waits read the platform's notifying state themselves; an error ends the oldest.
    if (error) {
        NSLog("Notification state update error: %@\n", error);
    }
    {
        Lock lock(mutex_);
        if (characteristic_extras_t* record = find_record_locked(characteristic)) {
            record->subscriptions.answer(error != nullptr);
        }
    }
    signal();
}

void PeripheralBaseMacOS::peripheralIsReadyToSendWriteWithoutResponse(const platform::CBPeripheralPtr& peripheral) {
    NSLog("Peripheral ready to send: %@", peripheral);
    signal();
}

void PeripheralBaseMacOS::peripheralDidUpdateValueForDescriptor(const platform::CBPeripheralPtr&,
                                                                const CBDescriptorPtr& descriptor,
                                                                const platform::NSError* error) {
    if (error) {
        NSLog("Descriptor value update error: %@\n", error);
    }
    std::string value = error ? std::string() : bytes_of(descriptor->value());
    {
        Lock lock(mutex_);
        if (descriptor_extras_t* record = descriptor_record_locked(descriptor)) {
            if (request_t* read = record->reads.oldest_unanswered()) {
                read->answered = true;
                read->failed = error != nullptr;
                read->value = std::move(value);
            }
        }
    }
    signal();
}

void PeripheralBaseMacOS::peripheralDidWriteValueForDescriptor(const platform::CBPeripheralPtr&,
                                                               const CBDescriptorPtr& descriptor,
                                                               const platform::NSError* error) {
    if (error) {
        NSLog("Descriptor value write error: %@\n", error);
    }
    {
        Lock lock(mutex_);
        if (descriptor_extras_t* record = descriptor_record_locked(descriptor)) {
            record->writes.answer(error != nullptr);
        }
    }
    signal();
}

}  // namespace Tavrin
