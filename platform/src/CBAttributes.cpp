// The attribute objects' getters (snapshots under their peripheral's guard) and the delegates' defaults.

#include <algorithm>
#include <iterator>

#include "FacadeInternal.h"

namespace platform {

using Lock = std::lock_guard<std::mutex>;

CBDescriptorValue descriptorValue(const CBUUID& uuid, const std::string& bytes) {
    static const CBUUID user_description = CBUUID::UUIDWithString("2901");
    static const CBUUID numbers[] = {CBUUID::UUIDWithString("2900"), CBUUID::UUIDWithString("2902"),
                                     CBUUID::UUIDWithString("2903")};
    CBDescriptorValue value;
    if (uuid == user_description) {
        value.kind = CBDescriptorValue::Kind::String;
        value.bytes = bytes;
    } else if (std::find(std::begin(numbers), std::end(numbers), uuid) != std::end(numbers)) {
        value.kind = CBDescriptorValue::Kind::Number;
        uint64_t n = 0;
        for (size_t i = 0; i < bytes.size() && i < 8; ++i) {
            n |= static_cast<uint64_t>(static_cast<unsigned char>(bytes[i])) << (8 * i);
        }
        value.number = static_cast<int64_t>(n);
    } else {
        value.bytes = bytes;
    }
    return value;
}

CBService::CBService(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}
CBUUID CBService::UUID() const {
    return impl_->uuid;
}
CBPeripheralPtr CBService::peripheral() const {
    return impl_->peripheral.lock();
}
std::optional<std::vector<CBCharacteristicPtr>> CBService::characteristics() const {
    Lock lock(impl_->guard->mutex);
    return impl_->characteristics;
}

CBCharacteristic::CBCharacteristic(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}
CBUUID CBCharacteristic::UUID() const {
    return impl_->uuid;
}
CBServicePtr CBCharacteristic::service() const {
    return impl_->service.lock();
}
CBCharacteristicProperties CBCharacteristic::properties() const {
    return impl_->properties;
}
std::optional<std::string> CBCharacteristic::value() const {
    Lock lock(impl_->guard->mutex);
    return impl_->value;
}
bool CBCharacteristic::isNotifying() const {
    Lock lock(impl_->guard->mutex);
    return impl_->notifying;
}
std::optional<std::vector<CBDescriptorPtr>> CBCharacteristic::descriptors() const {
    Lock lock(impl_->guard->mutex);
    return impl_->descriptors;
}

CBDescriptor::CBDescriptor(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}
CBUUID CBDescriptor::UUID() const {
    return impl_->uuid;
}
CBCharacteristicPtr CBDescriptor::characteristic() const {
    return impl_->characteristic.lock();
}
std::optional<CBDescriptorValue> CBDescriptor::value() const {
    Lock lock(impl_->guard->mutex);
    return impl_->value;
}

void CBPeripheralDelegate::peripheralDidDiscoverServices(const CBPeripheralPtr&, const NSError*) {}
void CBPeripheralDelegate::peripheralDidDiscoverCharacteristicsForService(const CBPeripheralPtr&, const CBServicePtr&,
                                                                          const NSError*) {}
void CBPeripheralDelegate::peripheralDidDiscoverDescriptorsForCharacteristic(const CBPeripheralPtr&,
                                                                             const CBCharacteristicPtr&,
                                                                             const NSError*) {}
void CBPeripheralDelegate::peripheralDidUpdateValueForCharacteristic(const CBPeripheralPtr&, const CBCharacteristicPtr&,
                                                                     const NSError*) {}
void CBPeripheralDelegate::peripheralDidWriteValueForCharacteristic(const CBPeripheralPtr&, const CBCharacteristicPtr&,
                                                                    const NSError*) {}
void CBPeripheralDelegate::peripheralDidUpdateNotificationStateForCharacteristic(const CBPeripheralPtr&,
                                                                                 const CBCharacteristicPtr&,
                                                                                 const NSError*) {}
void CBPeripheralDelegate::peripheralIsReadyToSendWriteWithoutResponse(const CBPeripheralPtr&) {}
void CBPeripheralDelegate::peripheralDidUpdateValueForDescriptor(const CBPeripheralPtr&, const CBDescriptorPtr&,
                                                                 const NSError*) {}
void CBPeripheralDelegate::peripheralDidWriteValueForDescriptor(const CBPeripheralPtr&, const CBDescriptorPtr&,
                                                                const NSError*) {}

}  // namespace platform
