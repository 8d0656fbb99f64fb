// The adapter's side of pairing: the program's agent on the platform manager, and the bonded peripherals made
// into registry entries, as a discovery makes them.

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <utility>

#include <platform/CoreBluetooth.h>
#include <tavrin/Exceptions.h>

#include "backends/macos/AdapterBase.h"
#include "backends/macos/AdapterBaseMacOS.h"
#include "backends/macos/PairingAgentBridge.h"
#include "backends/macos/PeripheralBase.h"
#include "frontends/base/PeripheralBuilder.h"

namespace Tavrin {

namespace {

constexpr auto kListLimit = std::chrono::seconds(5);

platform::CBCentralManager& manager_of(const std::shared_ptr<AdapterBaseMacOS>& delegate) {
    return *static_cast<platform::CBCentralManager*>(delegate->underlying());
}

}  // namespace

void AdapterBase::set_pairing_agent(PairingAgent agent) {
    auto bridge = std::make_shared<PairingAgentBridge>(std::move(agent));
    std::shared_ptr<PairingAgentBridge> old;
    {
        std::lock_guard<std::mutex> lock(agent_mutex_);
        manager_of(delegate_).setPairingAgent(bridge);
        old = std::exchange(agent_, std::move(bridge));
    }
    if (old) {
        old->retire();
    }
}

void AdapterBase::remove_pairing_agent() {
    std::shared_ptr<PairingAgentBridge> old;
    {
        std::lock_guard<std::mutex> lock(agent_mutex_);
        manager_of(delegate_).setPairingAgent(nullptr);
        old = std::move(agent_);
    }
    if (old) {
        old->retire();
    }
}

std::vector<Peripheral> AdapterBase::get_paired_peripherals() {
    struct Wait {
        std::mutex mutex;
        std::condition_variable done;
        bool listed = false;
        std::optional<platform::NSError> error;
        std::vector<platform::CBPeripheralPtr> peripherals;
    };
    auto wait = std::make_shared<Wait>();
    platform::CBCentralManager& manager = manager_of(delegate_);
    manager.retrieveBondedPeripherals(
        [wait](const platform::NSError* error, std::vector<platform::CBPeripheralPtr> peripherals) {
            std::lock_guard<std::mutex> lock(wait->mutex);
            if (error != nullptr) {
                wait->error = *error;
            }
            wait->peripherals = std::move(peripherals);
            wait->listed = true;
            wait->done.notify_all();
        });
    std::vector<platform::CBPeripheralPtr> peripherals;
    {
        std::unique_lock<std::mutex> lock(wait->mutex);
        if (!wait->done.wait_for(lock, kListLimit, [&] { return wait->listed; })) {
            platform::NSLog("Listing the paired peripherals failed: the radio did not answer in time");
            throw Exception::OperationFailed("Paired Peripherals");
        }
        if (wait->error) {
            platform::NSLog("Listing the paired peripherals failed: %@", wait->error->description);
            throw Exception::OperationFailed("Paired Peripherals");
        }
        peripherals = std::move(wait->peripherals);
    }
    // Registry entries are made as a discovery makes them (only the event queue inserts), but without
    // counting as found by the current scan.
    struct Entered {
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false;
        std::vector<std::shared_ptr<PeripheralBase>> bases;
    };
    auto entered = std::make_shared<Entered>();
    auto enter = [self = shared_from_this(), peripherals, entered] {
        std::vector<std::shared_ptr<PeripheralBase>> bases;
        for (const auto& p : peripherals) {
            void* key = p.get();
            std::shared_ptr<PeripheralBase> base = self->known_peripheral(key);
            if (!base) {
                advertising_data_t data;
                data.identifier = p->name().value_or(std::string());
                data.connectable = true;
                base = std::make_shared<PeripheralBase>(key, self->delegate_->underlying(), data, self->delegate_,
                                                        self->limits_);
                self->delegate_->register_peripheral(key, base);
                std::lock_guard<std::mutex> lock(self->peripherals_mutex_);
                self->known_peripherals_.emplace(key, Known{base, kNeverSeen});
            }
            bases.push_back(std::move(base));
        }
        std::lock_guard<std::mutex> lock(entered->mutex);
        entered->bases = std::move(bases);
        entered->finished = true;
        entered->done.notify_all();
    };
    const auto& queue = manager.queue();
    if (queue->isCurrent()) {
        enter();
    } else {
        queue->async(std::move(enter));
    }
    std::vector<std::shared_ptr<PeripheralBase>> bases;
    {
        std::unique_lock<std::mutex> lock(entered->mutex);
        if (!entered->done.wait_for(lock, kListLimit, [&] { return entered->finished; })) {
            platform::NSLog("Listing the paired peripherals failed: the event queue did not take them in time");
            throw Exception::OperationFailed("Paired Peripherals");
        }
        bases = std::move(entered->bases);
    }
    std::vector<Peripheral> handles;
    for (auto& base : bases) {
        handles.push_back(PeripheralBuilder(std::move(base)));
    }
    return handles;
}

}  // namespace Tavrin
