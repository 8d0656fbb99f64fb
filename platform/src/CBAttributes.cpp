// The attribute objects' getters (snapshots under their peripheral's guard) and the delegates' defaults.

#include "sim/SimInternal.h"

namespace platform {

using Lock = std::lock_guard<std::mutex>;

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
