// Pairing through the façade, beyond the platform's own framework: each call goes to the manager's radio
// session, and the bonded devices come back as the manager's peripherals, made as a scan makes them.

#include <utility>

#include "FacadeInternal.h"

namespace platform {

bool CBPeripheral::pairingSupported() const {
    return impl_->radio->pairingSupported(impl_->key);
}

bool CBPeripheral::isPaired() const {
    return impl_->radio->isPaired(impl_->key);
}

void CBPeripheral::pair(std::function<void(const NSError* error)> completion) {
    impl_->radio->pair(impl_->key, nullptr, std::move(completion));
}

void CBPeripheral::cancelPairing() {
    impl_->radio->cancelPairing(impl_->key);
}

void CBPeripheral::unpair(std::function<void(const NSError* error)> completion) {
    impl_->radio->unpair(impl_->key, std::move(completion));
}

std::optional<radio::AddressKind> CBPeripheral::addressKind() const {
    return impl_->radio->addressKind(impl_->key);
}

void CBCentralManager::setPairingAgent(std::shared_ptr<radio::PairingAgent> agent) {
    impl_->radio->setPairingAgent(std::move(agent));
}

void CBCentralManager::retrieveBondedPeripherals(
    std::function<void(const NSError* error, std::vector<CBPeripheralPtr>)> completion) {
    // Answered on the radio's thread like an event, so the entries are made under the same rule as a report's.
    impl_->radio->bondedDevices([weak = std::weak_ptr<Impl>(impl_), completion = std::move(completion)](
                                    const NSError* error, const std::vector<radio::BondedDevice>& bonded) {
        std::vector<CBPeripheralPtr> peripherals;
        if (auto manager = weak.lock()) {
            for (const auto& device : bonded) {
                auto it = manager->seen.find(device.device);
                if (it != manager->seen.end()) {
                    peripherals.push_back(it->second->peripheral);
                    continue;
                }
                radio::AdvertisementReport report;
                report.device = device.device;
                report.name = device.name;
                peripherals.push_back(manager->enter(report).peripheral);
            }
        }
        completion(error, std::move(peripherals));
    });
}

}  // namespace platform
