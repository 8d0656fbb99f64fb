// The central manager: its state, scanning, connections and the outbox that carries its events to its queue.

#include <exception>

#include "sim/SimInternal.h"

namespace platform {

namespace {

const char* const kNotPoweredOn = "API MISUSE: can only accept this command while in the powered on state";

// Events of one manager run in one queue task per batch, so an exception must not cost the rest of the batch.
void runContained(const CentralEvent& event, const CBCentralManagerPtr& central) noexcept {
    try {
        event(central);
    } catch (const NSException& e) {
        try {
            NSLog("*** Uncaught exception '%@' in a central manager event, reason: '%@'", e.name(), e.reason());
        } catch (...) {
        }
    } catch (const std::exception& e) {
        try {
            NSLog("*** Uncaught exception in a central manager event: %@", e.what());
        } catch (...) {
        }
    } catch (...) {
        try {
            NSLog("*** Uncaught exception of unknown type in a central manager event");
        } catch (...) {
        }
    }
}

bool belongsTo(const CBPeripheralPtr& peripheral, const CBCentralManager::Impl* manager) {
    return peripheral && peripheral->impl()->manager.lock().get() == manager;
}

}  // namespace

void CBCentralManager::Impl::enqueue(CentralEvent event) {
    bool post = false;
    {
        std::lock_guard<std::mutex> lock(outbox_mutex);
        if (closed) {
            return;
        }
        outbox.push_back(std::move(event));
        post = !drain_posted;
        drain_posted = true;
    }
    if (post) {
        queue->async([weak = weak_from_this()] {
            if (auto manager = weak.lock()) {
                manager->drain();
            }
        });
    }
}

void CBCentralManager::Impl::enqueueCentral(CentralCall call) {
    enqueue([call = std::move(call)](const CBCentralManagerPtr& central) {
        // Held for the whole call: a delegate released meanwhile goes when the call returns.
        if (auto listener = central->impl()->delegate.lock()) {
            call(*listener, *central);
        }
    });
}

void CBCentralManager::Impl::drain() {
    std::vector<CentralEvent> batch;
    {
        std::lock_guard<std::mutex> lock(outbox_mutex);
        batch.swap(outbox);
        drain_posted = false;
    }
    if (auto central = self.lock()) {
        for (CentralEvent& event : batch) {
            // Only this task holds the manager: its owner let go, so its queued events are dropped.
            if (central.use_count() <= 1) {
                break;
            }
            runContained(event, central);
            event = nullptr;
        }
        batch.clear();
        // `central` may be the last reference: the manager is then destroyed here, on its queue's thread.
    }
}

void CBCentralManager::Impl::stopScanLocked() {
    scan_generation.fetch_add(1, std::memory_order_acq_rel);
    if (scan) {
        world->scheduler.replaceScan(scan, nullptr);
        scan.reset();
    }
}

const CBPeripheralPtr* CBCentralManager::Impl::peripheralForLocked(const std::shared_ptr<sim::Device>& device) {
    auto it = peripherals.find(device->id);
    if (it == peripherals.end()) {
        auto link = std::make_shared<CBPeripheral::Impl>();
        link->manager = weak_from_this();
        link->id = device->id;
        link->identifier = NSUUID(device->id);
        link->device = device;
        link->name = device->config.name;
        auto peripheral = std::make_shared<CBPeripheral>(link);
        link->self = peripheral;
        it = peripherals.emplace(device->id, std::move(peripheral)).first;
    } else {
        sim::bindDevice(*it->second->impl(), device);
    }
    return &it->second;
}

void CBCentralManager::Impl::applyAdapterState(bool first) {
    std::lock_guard<std::mutex> lock(mutex);
    if (!alive || (first ? known : !known)) {
        return;  // the first report comes once; later changes only after it
    }
    known = true;
    const CBManagerState old = state;
    {
        std::lock_guard<std::mutex> world_lock(world->mutex);
        state = world->state;
    }
    if (!first && old == state) {
        return;
    }
    if (old == CBManagerState::PoweredOn && state != CBManagerState::PoweredOn) {
        // The radio went away: scans end and links go without any event, as on the platform.
        stopScanLocked();
        for (const auto& entry : peripherals) {
            sim::dropLinkSilently(entry.second->impl());
        }
    }
    enqueueCentral([](CBCentralManagerDelegate& listener, CBCentralManager& central) {
        listener.centralManagerDidUpdateState(central);
    });
}

void CBCentralManager::Impl::shutdown() {
    std::vector<CBPeripheralPtr> links;
    {
        std::lock_guard<std::mutex> lock(mutex);
        alive = false;
        stopScanLocked();
        for (const auto& entry : peripherals) {
            links.push_back(entry.second);
        }
    }
    for (const auto& peripheral : links) {
        sim::dropLinkSilently(peripheral->impl());
    }
    std::vector<CentralEvent> dropped;
    {
        std::lock_guard<std::mutex> lock(outbox_mutex);
        closed = true;
        dropped.swap(outbox);
    }
    // `dropped` goes here, outside the outbox lock.
}

CBCentralManager::CBCentralManager(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}

CBCentralManager::~CBCentralManager() {
    impl_->shutdown();
}

CBCentralManagerPtr CBCentralManager::initWithDelegate(std::weak_ptr<CBCentralManagerDelegate> delegate,
                                                       dispatch_queue_t queue, const std::optional<CBOptions>&) {
    sim::WorldState& world = sim::worldState();
    auto impl = std::make_shared<Impl>();
    impl->world = &world;
    impl->delegate = std::move(delegate);
    impl->queue = queue ? std::move(queue) : dispatch_queue_create("platform.centralManager", DISPATCH_QUEUE_SERIAL);
    auto central = std::make_shared<CBCentralManager>(impl);
    impl->self = central;
    std::optional<unsigned> delay;
    {
        std::lock_guard<std::mutex> lock(world.mutex);
        world.managers.push_back(impl);
        delay = world.state_delay_ms;
    }
    if (delay) {
        world.scheduler.after(std::chrono::milliseconds(*delay), [weak = std::weak_ptr<Impl>(impl)] {
            if (auto manager = weak.lock()) {
                manager->applyAdapterState(true);
            }
        });
    }
    return central;
}

CBManagerState CBCentralManager::state() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->state;
}

CBManagerAuthorization CBCentralManager::authorization() {
    return sim::World::get().authorization();
}

void CBCentralManager::scanForPeripherals(const std::optional<std::vector<CBUUID>>& serviceUUIDs,
                                          const CBOptions& options) {
    auto it = options.find(CBCentralManagerScanOptionAllowDuplicatesKey);
    const bool duplicates = it != options.end() && it->second;
    std::unique_lock<std::mutex> lock(impl_->mutex);
    if (impl_->state != CBManagerState::PoweredOn) {
        lock.unlock();
        NSLog(kNotPoweredOn);
        return;
    }
    auto scan = std::make_shared<sim::Scan>();
    scan->manager = impl_->weak_from_this();
    scan->duplicates = duplicates;
    scan->filter = serviceUUIDs;
    // Taken under the manager's lock, which a device joining the world also takes: none is missed.
    for (const auto& device : impl_->world->devicesSnapshot()) {
        if (!device->removed && scan->matches(*device)) {
            scan->seed(device, impl_->peripheralForLocked(device));
        }
    }
    scan->generation = impl_->scan_generation.fetch_add(1, std::memory_order_acq_rel) + 1;
    auto previous = std::move(impl_->scan);
    impl_->scan = scan;
    impl_->world->scheduler.replaceScan(previous, scan);
}

void CBCentralManager::stopScan() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->stopScanLocked();
}

bool CBCentralManager::isScanning() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->scan != nullptr;
}

void CBCentralManager::connectPeripheral(const CBPeripheralPtr& peripheral, const CBOptions&) {
    if (state() != CBManagerState::PoweredOn) {
        NSLog(kNotPoweredOn);
        return;
    }
    if (!belongsTo(peripheral, impl_.get())) {
        NSLog("API MISUSE: peripheral %@ does not belong to this central manager", peripheral);
        return;
    }
    sim::connectLink(peripheral->impl(), *impl_);
}

void CBCentralManager::cancelPeripheralConnection(const CBPeripheralPtr& peripheral) {
    if (!belongsTo(peripheral, impl_.get())) {
        NSLog("API MISUSE: peripheral %@ does not belong to this central manager", peripheral);
        return;
    }
    sim::cancelLink(peripheral->impl());
}

const dispatch_queue_t& CBCentralManager::queue() const noexcept {
    return impl_->queue;
}

void CBCentralManagerDelegate::centralManagerDidDiscoverPeripheral(CBCentralManager&, const CBPeripheralPtr&,
                                                                   const AdvertisementData&, int) {}
void CBCentralManagerDelegate::centralManagerDidConnectPeripheral(CBCentralManager&, const CBPeripheralPtr&) {}
void CBCentralManagerDelegate::centralManagerDidFailToConnectPeripheral(CBCentralManager&, const CBPeripheralPtr&,
                                                                        const NSError*) {}
void CBCentralManagerDelegate::centralManagerDidDisconnectPeripheral(CBCentralManager&, const CBPeripheralPtr&,
                                                                     const NSError*) {}

}  // namespace platform
