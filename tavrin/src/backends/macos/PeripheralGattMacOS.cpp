// A peripheral's attributes looked up by UUID, its GATT requests (blocking calls that wait for the event queue's
// answer), and the answers and values the event queue brings.

#include <optional>
#include <string>
#include <utility>

#include <platform/Foundation.h>
#include <tavrin/Exceptions.h>

#include "backends/macos/PeripheralBaseMacOS.h"
#include "backends/macos/Utils.h"
#include "callback/guarded.h"
#include "callback/safe_callback.h"

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

CBCharacteristicPtr characteristic_in(const CBServicePtr& service, const platform::CBUUID& uuid) {
    if (const auto characteristics = service->characteristics()) {
        for (const CBCharacteristicPtr& characteristic : *characteristics) {
            if (characteristic->UUID().isEqual(uuid)) {
                return characteristic;
            }
        }
    }
    return nullptr;
}

}  // namespace

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
    if (CBCharacteristicPtr characteristic = characteristic_in(service, uuid)) {
        return characteristic;
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
    // A device may serve several services of one UUID (a host stack puts its own Device Information service
    // in front of the application's): the characteristic is looked for in each of them, in the device's order.
    const auto service_id = parse_uuid<Exception::ServiceNotFound>(service_uuid);
    std::optional<platform::CBUUID> characteristic_id;
    if (const auto services = peripheral_->services()) {
        for (const CBServicePtr& service : *services) {
            if (!service->UUID().isEqual(service_id)) {
                continue;
            }
            if (!characteristic_id) {
                characteristic_id = parse_uuid<Exception::CharacteristicNotFound>(characteristic_uuid);
            }
            if (CBCharacteristicPtr characteristic = characteristic_in(service, *characteristic_id)) {
                return {service, std::move(characteristic)};
            }
        }
    }
    if (!characteristic_id) {
        throw Exception::ServiceNotFound(service_uuid);
    }
    throw Exception::CharacteristicNotFound(characteristic_uuid);
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
    // Told to the radio before the request goes out, so that it waits for its answer as long as the caller.
    const std::chrono::milliseconds limit = limits_for_call().request;
    const request_ptr request = send(queue_of, [&] { peripheral_->readValue(characteristic); });
    wait_for(limit, [&] { return request->answered || !of_link_up(found.first); });
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
    // Told to the radio before the request goes out, so that it waits for its answer as long as the caller.
    const std::chrono::milliseconds limit = limits_for_call().request;
    const request_ptr request = send(queue_of, [&] {
        peripheral_->writeValue(payload, characteristic, platform::CBCharacteristicWriteType::WithResponse);
    });
    wait_for(limit, [&] { return request->answered || !of_link_up(found.first); });
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
    // the last free slot. The wait is woken by the platform's observer when the radio frees room, without
    // the event queue, so this works on it too.
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
                                 ValueCallback callback, Delivery delivery) {
    const auto found = findServiceAndCharacteristic(service_uuid, characteristic_uuid);
    const CBCharacteristicPtr& characteristic = found.second;
    // Already notifying: the callback is replaced and nothing waits, so this works from a callback.
    if (!characteristic->isNotifying()) {
        refuse_on_event_queue("Characteristic Notify/Indicate");
    }

    auto stored = std::make_shared<value_callback_t>(std::move(callback));
    const auto queue_of = [&]() -> request_queue_t& { return record_locked(characteristic).subscriptions; };
    const std::chrono::milliseconds limit = limits_for_call().request;
    const request_ptr request = send(queue_of, [&] {
        characteristic_extras_t& record = record_locked(characteristic);
        record.value_changed_callback = std::move(stored);
        ++record.callback_serial;
        peripheral_->setNotifyValue(true, characteristic,
                                    delivery == Delivery::Exclusive ? platform::radio::NotifyDelivery::Exclusive
                                                                    : platform::radio::NotifyDelivery::Shared);
    });
    wait_for(limit, [&] { return characteristic->isNotifying() || request->failed || !of_link_up(found.first); });
    withdraw(queue_of, request);
    if (!characteristic->isNotifying()) {
        NSLog("Could not enable notifications for characteristic %@", characteristic->UUID());
        throw Exception::OperationFailed("Characteristic Notify/Indicate");
    }
}

void PeripheralBaseMacOS::indicate(const std::string& service_uuid, const std::string& characteristic_uuid,
                                   ValueCallback callback) {
    notify(service_uuid, characteristic_uuid, std::move(callback), Delivery::Shared);
}

void PeripheralBaseMacOS::unsubscribe(const std::string& service_uuid, const std::string& characteristic_uuid) {
    const std::chrono::milliseconds limit = limits_for_call().request;
    const auto deadline = platform::deadlineAfter<Clock>(limit);
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
        if (!wait_until(deadline, [&] { return removed->running == 0; })) {
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
    // Told to the radio before the request goes out, so that it waits for its answer as long as the caller.
    const std::chrono::milliseconds limit = limits_for_call().request;
    const request_ptr request = send(queue_of, [&] { peripheral_->readValue(descriptor); });
    wait_for(limit, [&] { return request->answered || !of_link_up(found.first); });
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
    // Told to the radio before the request goes out, so that it waits for its answer as long as the caller.
    const std::chrono::milliseconds limit = limits_for_call().request;
    request_ptr request;
    try {
        request = send(queue_of, [&] { peripheral_->writeValue(payload, descriptor); });
    } catch (const platform::NSException&) {
        // The platform refuses some descriptors outright (the client configuration one is changed
        // through subscriptions); nothing was sent, and the request has left its queue.
        NSLog("Descriptor %@ does not support write.", descriptor->UUID());
        throw Exception::OperationNotSupported();
    }
    wait_for(limit, [&] { return request->answered || !of_link_up(found.first); });
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
