#include "backends/macos/PeripheralBaseMacOS.h"

#include <chrono>
#include <thread>

#include <platform/Foundation.h>
#include <tavrin/Exceptions.h>

#include "backends/macos/Utils.h"
#include "callback/guarded.h"
#include "frontends/base/CharacteristicBuilder.h"
#include "frontends/base/DescriptorBuilder.h"
#include "frontends/base/ServiceBuilder.h"

namespace Tavrin {

using platform::CBCharacteristicPtr;
using platform::CBDescriptorPtr;
using platform::CBPeripheralState;
using platform::CBServicePtr;
using platform::NSLog;
using Clock = std::chrono::steady_clock;
using Lock = std::lock_guard<std::recursive_mutex>;

namespace {

constexpr auto kPollStep = std::chrono::milliseconds(10);
constexpr auto kConnectionLimit = std::chrono::seconds(5);
constexpr auto kServiceDiscoveryLimit = std::chrono::seconds(5);
constexpr auto kDiscoveryStepLimit = std::chrono::seconds(1);
constexpr auto kDisconnectionLimit = std::chrono::seconds(5);
constexpr auto kRequestLimit = std::chrono::seconds(1);

// Polls until `keep_waiting` turns false or `limit` has passed; the platform objects are read anew
// at every test, so the predicate does the reading.
template <typename Predicate>
void poll_while(Predicate keep_waiting, Clock::duration limit) {
    const auto deadline = Clock::now() + limit;
    while (keep_waiting() && Clock::now() < deadline) {
        std::this_thread::sleep_for(kPollStep);
    }
}

// Waits for a pending flag to be lowered by its callback. Sleeps before every look, so the answer
// that lowered the flag has had its event run before the caller reads the platform value.
// `still_pending` takes the lock itself. Returns true when the flag came down in time.
template <typename ReadFlag>
bool wait_until_answered(ReadFlag still_pending) {
    const auto deadline = Clock::now() + kRequestLimit;
    bool pending = true;
    while (pending && Clock::now() < deadline) {
        std::this_thread::sleep_for(kPollStep);
        pending = still_pending();
    }
    return !pending;
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

std::string bytes_of(const std::optional<std::string>& value) {
    return value ? *value : std::string();
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
                                                               platform::CBCentralManagerPtr centralManager) {
    auto delegate =
        std::make_shared<PeripheralBaseMacOS>(ConstructionKey{}, std::move(peripheral), std::move(centralManager));
    delegate->peripheral_->setDelegate(delegate->weak_from_this());
    return delegate;
}

PeripheralBaseMacOS::PeripheralBaseMacOS(ConstructionKey, platform::CBPeripheralPtr peripheral,
                                         platform::CBCentralManagerPtr centralManager)
    : peripheral_(std::move(peripheral)), centralManager_(std::move(centralManager)) {}

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
// Connection and discovery

void PeripheralBaseMacOS::connect() {
    Lock lock(mutex_);

    centralManager_->connectPeripheral(peripheral_, platform::CBOptions{});
    poll_while([&] { return peripheral_->state() == CBPeripheralState::Connecting; }, kConnectionLimit);
    if (peripheral_->state() != CBPeripheralState::Connected) {
        throw Exception::OperationFailed("Peripheral Connection");
    }

    // A discovery error with the link kept up never sets the list, hence the bound.
    peripheral_->discoverServices(std::nullopt);
    poll_while([&] { return !peripheral_->services() && peripheral_->state() == CBPeripheralState::Connected; },
               kServiceDiscoveryLimit);
    const auto services = peripheral_->services();
    if (!services) {
        NSLog("Services could not be discovered.");
        throw Exception::OperationFailed("Service Discovery");
    }

    // One request outstanding at a time: all of a service's tree before the next service.
    for (const CBServicePtr& service : *services) {
        peripheral_->discoverCharacteristics(std::nullopt, service);
        poll_while([&] { return !service->characteristics(); }, kDiscoveryStepLimit);
        const auto characteristics = service->characteristics();
        if (!characteristics) {
            NSLog("Characteristics could not be discovered for service %@", service->UUID());
            throw Exception::OperationFailed("Characteristic Discovery");
        }

        for (const CBCharacteristicPtr& characteristic : *characteristics) {
            peripheral_->discoverDescriptors(characteristic);
            poll_while([&] { return !characteristic->descriptors(); }, kDiscoveryStepLimit);
            const auto descriptors = characteristic->descriptors();
            if (!descriptors) {
                NSLog("Descriptors could not be discovered for characteristic %@", characteristic->UUID());
                throw Exception::OperationFailed("Descriptor Discovery");
            }

            // A fresh record: pending flags and value callbacks of an earlier link are dropped.
            characteristic_extras_t extras;
            for (const CBDescriptorPtr& descriptor : *descriptors) {
                extras.descriptor_extras[uuidToTavrin(descriptor->UUID())] = descriptor_extras_t{};
            }
            characteristic_extras_[uuidToTavrin(characteristic->UUID())] = std::move(extras);
        }
    }
}

void PeripheralBaseMacOS::disconnect() {
    Lock lock(mutex_);

    centralManager_->cancelPeripheralConnection(peripheral_);
    poll_while([&] { return peripheral_->state() == CBPeripheralState::Disconnecting; }, kDisconnectionLimit);
    if (peripheral_->state() != CBPeripheralState::Disconnected) {
        NSLog("Disconnection failed.");
        throw Exception::OperationFailed("Peripheral Disconnection");
    }
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

void PeripheralBaseMacOS::peripheralDidDiscoverServices(const platform::CBPeripheralPtr& peripheral,
                                                        const platform::NSError* error) {
    if (error) {
        NSLog("Error while discovering services for peripheral %@: %@\n", peripheral->name(), error);
    }
}

void PeripheralBaseMacOS::peripheralDidDiscoverCharacteristicsForService(const platform::CBPeripheralPtr&,
                                                                         const CBServicePtr& service,
                                                                         const platform::NSError* error) {
    if (error) {
        NSLog("Error while discovering characteristics for service %@: %@\n", service->UUID(), error);
    }
}

void PeripheralBaseMacOS::peripheralDidDiscoverDescriptorsForCharacteristic(const platform::CBPeripheralPtr&,
                                                                            const CBCharacteristicPtr& characteristic,
                                                                            const platform::NSError* error) {
    if (error) {
        NSLog("Error while discovering descriptors for characteristic %@: %@\n", characteristic->UUID(), error);
    }
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

    const std::string key = uuidToTavrin(characteristic->UUID());
    {
        // Raised and requested as one step, so the answer cannot be processed before the flag is up.
        Lock lock(mutex_);
        characteristic_extras_[key].read_pending = true;
        peripheral_->readValue(characteristic);
    }
    const bool answered = wait_until_answered([&] {
        Lock lock(mutex_);
        return characteristic_extras_[key].read_pending;
    });
    if (!answered) {
        NSLog("Characteristic %@ could not be read", characteristic->UUID());
        throw Exception::OperationFailed("Characteristic Read");
    }
    return bytes_of(characteristic->value());
}

void PeripheralBaseMacOS::writeRequest(const std::string& service_uuid, const std::string& characteristic_uuid,
                                       const std::string& payload) {
    const auto found = findServiceAndCharacteristic(service_uuid, characteristic_uuid);
    const CBCharacteristicPtr& characteristic = found.second;
    if ((characteristic->properties() & platform::CBCharacteristicPropertyWrite) == 0) {
        NSLog("Characteristic does not support write with response.");
        throw Exception::OperationNotSupported();
    }

    const std::string key = uuidToTavrin(characteristic->UUID());
    {
        Lock lock(mutex_);
        characteristic_extras_[key].write_pending = true;
        peripheral_->writeValue(payload, characteristic, platform::CBCharacteristicWriteType::WithResponse);
    }
    const bool answered = wait_until_answered([&] {
        Lock lock(mutex_);
        return characteristic_extras_[key].write_pending;
    });
    if (!answered) {
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

    // The platform drops a write made while its transmit buffer is full. Testing for room and handing
    // the write over happen under the lock, so two writers cannot both take the last free slot; the
    // sleeps happen outside it, so events keep flowing. After the bound the write is sent regardless.
    const auto deadline = Clock::now() + kRequestLimit;
    for (;;) {
        {
            Lock lock(mutex_);
            if (peripheral_->canSendWriteWithoutResponse() || Clock::now() >= deadline) {
                peripheral_->writeValue(payload, characteristic, platform::CBCharacteristicWriteType::WithoutResponse);
                return;
            }
        }
        std::this_thread::sleep_for(kPollStep);
    }
}

void PeripheralBaseMacOS::notify(const std::string& service_uuid, const std::string& characteristic_uuid,
                                 ValueCallback callback) {
    const auto found = findServiceAndCharacteristic(service_uuid, characteristic_uuid);
    const CBCharacteristicPtr& characteristic = found.second;

    {
        std::lock_guard<std::mutex> subscription(subscription_mutex_);
        Lock lock(mutex_);
        characteristic_extras_[uuidToTavrin(characteristic->UUID())].value_changed_callback = std::move(callback);
        peripheral_->setNotifyValue(true, characteristic);
    }
    poll_while([&] { return !characteristic->isNotifying(); }, kRequestLimit);
    if (!characteristic->isNotifying()) {
        NSLog("Could not enable notifications for characteristic %@", characteristic->UUID());
        throw Exception::OperationFailed("Characteristic Notify/Indicate");
    }
}

void PeripheralBaseMacOS::indicate(const std::string& service_uuid, const std::string& characteristic_uuid,
                                   ValueCallback callback) {
    notify(service_uuid, characteristic_uuid, callback);
}

void PeripheralBaseMacOS::unsubscribe(const std::string& service_uuid, const std::string& characteristic_uuid) {
    const auto found = findServiceAndCharacteristic(service_uuid, characteristic_uuid);
    const CBCharacteristicPtr& characteristic = found.second;

    // The platform applies the new notifying state on the event queue, behind any value updates
    // already queued; those need the object's lock for their callback, so the wait must not hold it or
    // it would starve its own answer. Updates queued before the state change still reach the callback;
    // once the platform reports the subscription ended no more come, and the callback goes. The
    // subscription lock keeps a concurrent subscription from slipping in between.
    std::lock_guard<std::mutex> subscription(subscription_mutex_);
    {
        Lock lock(mutex_);
        peripheral_->setNotifyValue(false, characteristic);
    }
    poll_while([&] { return characteristic->isNotifying(); }, kRequestLimit);
    if (characteristic->isNotifying()) {
        NSLog("Could not disable notifications for characteristic %@", characteristic->UUID());
        throw Exception::OperationFailed("Characteristic Unsubscribe");
    }
    Lock lock(mutex_);
    characteristic_extras_[uuidToTavrin(characteristic->UUID())].value_changed_callback = nullptr;
}

std::string PeripheralBaseMacOS::read(const std::string& service_uuid, const std::string& characteristic_uuid,
                                      const std::string& descriptor_uuid) {
    const auto found = findServiceAndCharacteristic(service_uuid, characteristic_uuid);
    const CBDescriptorPtr descriptor = findDescriptor(descriptor_uuid, found.second);

    const std::string characteristic_key = uuidToTavrin(found.second->UUID());
    const std::string descriptor_key = uuidToTavrin(descriptor->UUID());
    {
        Lock lock(mutex_);
        characteristic_extras_[characteristic_key].descriptor_extras[descriptor_key].read_pending = true;
        peripheral_->readValue(descriptor);
    }
    const bool answered = wait_until_answered([&] {
        Lock lock(mutex_);
        return characteristic_extras_[characteristic_key].descriptor_extras[descriptor_key].read_pending;
    });
    if (!answered) {
        NSLog("Descriptor %@ could not be read", descriptor->UUID());
        throw Exception::OperationFailed("Descriptor Read");
    }
    return bytes_of(descriptor->value());
}

void PeripheralBaseMacOS::write(const std::string& service_uuid, const std::string& characteristic_uuid,
                                const std::string& descriptor_uuid, const std::string& payload) {
    const auto found = findServiceAndCharacteristic(service_uuid, characteristic_uuid);
    const CBDescriptorPtr descriptor = findDescriptor(descriptor_uuid, found.second);

    const std::string characteristic_key = uuidToTavrin(found.second->UUID());
    const std::string descriptor_key = uuidToTavrin(descriptor->UUID());
    {
        Lock lock(mutex_);
        bool& pending = characteristic_extras_[characteristic_key].descriptor_extras[descriptor_key].write_pending;
        const bool was_pending = pending;
        pending = true;
        try {
            peripheral_->writeValue(payload, descriptor);
        } catch (const platform::NSException&) {
            // The platform refuses some descriptors outright (the client configuration one is changed
            // through subscriptions); nothing was sent, so the flag goes back as it was.
            pending = was_pending;
            NSLog("Descriptor %@ does not support write.", descriptor->UUID());
            throw Exception::OperationNotSupported();
        }
    }
    const bool answered = wait_until_answered([&] {
        Lock lock(mutex_);
        return characteristic_extras_[characteristic_key].descriptor_extras[descriptor_key].write_pending;
    });
    if (!answered) {
        NSLog("Descriptor %@ could not be written", descriptor->UUID());
        throw Exception::OperationFailed("Descriptor Write");
    }
}

std::map<std::string, characteristic_extras_t> PeripheralBaseMacOS::characteristic_extras() const {
    Lock lock(mutex_);
    return characteristic_extras_;
}

// ---------------------------------------------------------------------------------------------
// GATT callbacks (event queue)

void PeripheralBaseMacOS::peripheralDidUpdateValueForCharacteristic(const platform::CBPeripheralPtr&,
                                                                    const CBCharacteristicPtr& characteristic,
                                                                    const platform::NSError* error) {
    if (error) {
        NSLog("Characteristic value update error: %@\n", error);
        return;
    }

    Lock lock(mutex_);
    characteristic_extras_t& extras = characteristic_extras_[uuidToTavrin(characteristic->UUID())];
    if (extras.read_pending) {
        // Taken as the answer to the read, whatever the link meant by it.
        extras.read_pending = false;
        return;
    }
    if (extras.value_changed_callback) {
        // A copy, so a callback that re-subscribes or unsubscribes from inside itself does not
        // destroy the callable that is running.
        ValueCallback callback = extras.value_changed_callback;
        TAVRIN_GUARDED(callback)(bytes_of(characteristic->value()));
    }
}

void PeripheralBaseMacOS::peripheralDidWriteValueForCharacteristic(const platform::CBPeripheralPtr&,
                                                                   const CBCharacteristicPtr& characteristic,
                                                                   const platform::NSError* error) {
    if (error) {
        NSLog("Error: %@\n", error);
        return;
    }
    const std::string key = uuidToTavrin(characteristic->UUID());
    Lock lock(mutex_);
    characteristic_extras_[key].write_pending = false;
}

void PeripheralBaseMacOS::peripheralDidUpdateNotificationStateForCharacteristic(const platform::CBPeripheralPtr&,
                                                                                const CBCharacteristicPtr&,
                                                                                const platform::NSError* error) {
    // The subscription waits read the platform's notifying state themselves.
    if (error) {
        NSLog("Notification state update error: %@\n", error);
    }
}

void PeripheralBaseMacOS::peripheralIsReadyToSendWriteWithoutResponse(const platform::CBPeripheralPtr& peripheral) {
    NSLog("Peripheral ready to send: %@", peripheral);
}

void PeripheralBaseMacOS::peripheralDidUpdateValueForDescriptor(const platform::CBPeripheralPtr&,
                                                                const CBDescriptorPtr& descriptor,
                                                                const platform::NSError* error) {
    if (error) {
        NSLog("Descriptor value update error: %@\n", error);
        return;
    }
    Lock lock(mutex_);
    if (descriptor_extras_t* extras = descriptor_extras_locked(descriptor)) {
        extras->read_pending = false;
    }
}

void PeripheralBaseMacOS::peripheralDidWriteValueForDescriptor(const platform::CBPeripheralPtr&,
                                                               const CBDescriptorPtr& descriptor,
                                                               const platform::NSError* error) {
    if (error) {
        NSLog("Descriptor value write error: %@\n", error);
        return;
    }
    Lock lock(mutex_);
    if (descriptor_extras_t* extras = descriptor_extras_locked(descriptor)) {
        extras->write_pending = false;
    }
}

descriptor_extras_t* PeripheralBaseMacOS::descriptor_extras_locked(const CBDescriptorPtr& descriptor) {
    const CBCharacteristicPtr characteristic = descriptor->characteristic();
    if (!characteristic) {
        return nullptr;
    }
    return &characteristic_extras_[uuidToTavrin(characteristic->UUID())]
                .descriptor_extras[uuidToTavrin(descriptor->UUID())];
}

}  // namespace Tavrin
