// The central manager: its state, scanning, connections and the outbox that carries its radio's events to
// its queue.

#include <algorithm>

#include "FacadeInternal.h"

namespace platform {

namespace {

using Lock = std::lock_guard<std::mutex>;

constexpr size_t kLookAhead = 8;

const char* const kNotPoweredOn = "API MISUSE: can only accept this command while in the powered on state";

// Events of one manager run in one queue task per batch, so each is contained: an exception must not cost the
// rest of the batch.
const char* const kInEvent = "in a central manager event";

bool belongsTo(const CBPeripheralPtr& peripheral, const CBCentralManager::Impl* manager) {
    return peripheral && peripheral->impl()->manager.lock().get() == manager;
}

bool sameAdvertisement(const AdvertisementData& a, const AdvertisementData& b) {
    return a.isConnectable == b.isConnectable && a.txPowerLevel == b.txPowerLevel &&
           a.manufacturerData == b.manufacturerData && a.manufacturerDataEntries == b.manufacturerDataEntries &&
           a.serviceData == b.serviceData && a.serviceUUIDs == b.serviceUUIDs && a.localName == b.localName;
}

}  // namespace

void CBCentralManager::Impl::enqueue(CentralEvent event) {
    push(Outgoing{std::move(event), {}});
}

void CBCentralManager::Impl::enqueue(Notice notice) {
    push(Outgoing{nullptr, std::move(notice)});
}

void CBCentralManager::Impl::push(Outgoing&& item) {
    pushAll(&item, 1);
}

void CBCentralManager::Impl::pushAll(Outgoing* items, size_t count) {
    bool post = false;
    {
        Lock lock(outbox_mutex);
        if (closed) {
            return;
        }
        for (size_t i = 0; i < count; ++i) {
            outbox.push_back(std::move(items[i]));
        }
        post = !drain_posted;
        drain_posted = true;
    }
    if (post) {
        postDrain();
    }
}

void CBCentralManager::Impl::postDrain() {
    queue->async([weak = weak_from_this()] {
        if (auto manager = weak.lock()) {
            manager->drain();
        }
    });
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
    auto central = self.lock();
    std::vector<Outgoing> batch;
    // Events that arrive while a batch runs are taken in the same task, without posting another: a stream of
    // notifications costs the radio's thread one post per pause, not one per value. A bounded number of
    // rounds, so that the queue's other work is not held back by a radio that never pauses.
    for (unsigned round = 0;; ++round) {
        {
            std::unique_lock<std::mutex> lock(outbox_mutex);
            if (outbox.empty()) {
                drain_posted = false;
                // The capacity goes back for the next values; a burst's is not kept.
                if (outbox.capacity() < batch.capacity() && batch.capacity() <= kSpareOutbox) {
                    outbox.swap(batch);
                }
                break;
            }
            if (round >= kDrainRounds) {
                lock.unlock();
                postDrain();  // drain_posted stays set: that task takes the rest
                break;
            }
            batch.swap(outbox);
        }
        for (Outgoing& item : batch) {
            // Only this task holds the manager: its owner let go, so its queued events are dropped.
            if (!central || central.use_count() <= 1) {
                break;
            }
            if (item.event) {
                contain(kInEvent, [&] { item.event(central); });
                item.event = nullptr;
            } else {
                contain(kInEvent, [&] { deliver(item.notice); });
            }
        }
        batch.clear();
    }
    // `central` may be the last reference: the manager is then destroyed here, on its queue's thread.
}

void CBCentralManager::Impl::deliverAdverts() {
    std::vector<Advert> batch;
    // Replaced before this batch was taken: only reports queued before then point to them.
    std::vector<std::shared_ptr<const AdvertisementData>> gone;
    {
        Lock lock(adv_mutex);
        batch.swap(spare);
        batch.swap(adverts);
        gone.swap(retired);
        adverts_posted = false;
    }
    auto central = self.lock();
    if (central) {
        // Entries stay while this runs: a radio event releases one only while the queue holds no advertisement
        // it might still hand out. Released before `central`, which may be the manager's last reference.
        Lock delivering(delivery_mutex);
        for (const Advert& item : batch) {
            if (central.use_count() <= 1) {
                break;  // the manager let go meanwhile
            }
            if (scan_generation.load(std::memory_order_acquire) != item.generation) {
                continue;  // of a scan stopped meanwhile
            }
            auto listener = delegate.lock();
            if (!listener) {
                // Nobody listens any more: stop spending the radio on this manager.
                stopScan(item.generation);
                break;
            }
            contain(kInEvent, [&] {
                listener->centralManagerDidDiscoverPeripheral(*central, *item.peripheral, *item.data, item.rssi);
            });
        }
    }
    batch.clear();
    {
        Lock lock(adv_mutex);
        // A burst's capacity beyond that is not kept: only what steady scanning reuses.
        if (spare.capacity() < batch.capacity() && batch.capacity() <= kSpareAdverts) {
            spare.swap(batch);
        }
    }
    gone.clear();  // the batch that pointed to them is delivered
    // `central` may be the last reference: the manager is then destroyed here, on its queue's thread.
}

void CBCentralManager::Impl::setScanningLocked(bool on) {
    scanning = on;
    // A new generation either way, odd exactly while scanning.
    uint64_t next = scan_generation.load() + 1;
    if ((next % 2 == 1) != on) {
        ++next;
    }
    scan_generation.store(next, std::memory_order_release);
}

void CBCentralManager::Impl::stopScan(std::optional<uint64_t> generation) {
    Lock scan_lock(scan_mutex);
    {
        Lock lock(mutex);
        if (generation && scan_generation.load() != *generation) {
            return;
        }
        const bool was = scanning;
        setScanningLocked(false);
        if (!was) {
            return;
        }
    }
    radio->stopScan();
}

std::shared_ptr<CBPeripheral::Impl> CBCentralManager::Impl::peripheralOf(const radio::DeviceKey& device) {
    auto it = seen.find(device);
    return it == seen.end() ? nullptr : it->second->peripheral->impl();
}

void CBCentralManager::Impl::radioStateChanged(CBManagerState now) {
    bool stop = false;
    // Links that go without any event: a call waiting on one hears of it only through its observer.
    std::vector<ChangeObserver> observers;
    {
        Lock lock(mutex);
        if (!alive) {
            return;
        }
        const CBManagerState old = state;
        state = now;
        if (old != now) {
            observers.push_back(state_observer);
        }
        if (old == CBManagerState::PoweredOn && now != CBManagerState::PoweredOn) {
            // The radio went away: scans end and links go without any event, as on the platform.
            stop = scanning;
            setScanningLocked(false);
            for (const auto& entry : seen) {
                auto& p = *entry.second->peripheral->impl();
                Lock guard(p.guard->mutex);
                if (p.state != CBPeripheralState::Disconnected) {
                    p.resetLocked();
                    observers.push_back(p.observer);
                }
            }
        }
        enqueueCentral([](CBCentralManagerDelegate& listener, CBCentralManager& central) {
            listener.centralManagerDidUpdateState(central);
        });
    }
    for (const ChangeObserver& o : observers) {
        tell(o);
    }
    if (stop) {
        radio->stopScan();
    }
}

CBCentralManager::Impl::Seen& CBCentralManager::Impl::enter(const radio::AdvertisementReport& report) {
    constexpr size_t kBlock = 64;
    const bool reuse = !released.empty();
    if (!reuse && seen_count == seen_blocks.size() * kBlock) {
        seen_blocks.push_back(std::make_unique<Seen[]>(kBlock));
    }
    auto link = std::make_shared<CBPeripheral::Impl>();
    link->manager = weak_from_this();
    link->radio = radio;
    link->key = report.device;
    link->identifier = NSUUID(report.device);
    link->name = report.name;
    auto peripheral = std::make_shared<CBPeripheral>(link);
    link->self = peripheral;
    Seen& s = reuse ? *released.back() : seen_blocks.back()[seen_count % kBlock];
    seen.emplace(report.device, &s);
    // Only once nothing can fail any more.
    if (reuse) {
        released.pop_back();
    } else {
        ++seen_count;
    }
    s.peripheral = std::move(peripheral);
    s.name = report.name;
    return s;
}

CBCentralManager::Impl::Seen& CBCentralManager::Impl::take(const radio::Sighting& sighting) {
    const radio::AdvertisementReport& report = *sighting.report;
    Seen* s = sighting.slot ? static_cast<Seen*>(sighting.slot->note) : nullptr;
    if (!s) {
        auto it = seen.find(report.device);
        s = it == seen.end() ? &enter(report) : it->second;
        if (sighting.slot) {
            sighting.slot->note = s;
        }
    }
    s->forgotten = false;  // reported again: it stays
    if (s->report.get() == &report) {
        return *s;  // the very report taken last time: nothing changed
    }
    radio::AdvertisementReportPtr ptr = report.shared_from_this();
    if (s->name != report.name) {
        s->name = report.name;
        auto& link = *s->peripheral->impl();
        Lock guard(link.guard->mutex);
        link.name = report.name;
    }
    if (!s->advertisement || !sameAdvertisement(*s->advertisement, report.advertisement)) {
        if (s->advertisement) {
            replaced.push_back(std::move(s->advertisement));  // queued reports may still point to it
        }
        // Shares the report's own fields: the report is immutable.
        s->advertisement = std::shared_ptr<const AdvertisementData>(ptr, &report.advertisement);
    }
    s->rssi = report.rssi;
    s->report = std::move(ptr);
    return *s;
}

void CBCentralManager::Impl::radioDiscovered(const std::vector<radio::Sighting>& batch) {
    const uint64_t generation = scan_generation.load(std::memory_order_acquire);
    // Else no scan of ours runs: reports on their way while the scan stopped are taken, not delivered.
    const bool ours = generation % 2 == 1;
    // Once per scan, the first of its batches looks for entries that can go now.
    if (!forgotten.empty() && generation != swept_generation) {
        sweep();
    }
    // A batch larger than the backlog goes in parts, so that the queue may start on it before all is taken: one
    // batch that size is not by itself a queue behind.
    const size_t part = batch.size() > kAdvertBacklog ? kHandOverPart : batch.size();
    batch_started = false;
    for (size_t i = 0; i < batch.size(); ++i) {
        if (i + kLookAhead < batch.size() && batch[i + kLookAhead].slot) {
            // Entries lie scattered in memory: ask for the one a few reports on while this one is taken.
            if (const void* entry = batch[i + kLookAhead].slot->note) {
                __builtin_prefetch(entry);
                __builtin_prefetch(static_cast<const char*>(entry) + 64);
            }
        }
        const radio::Sighting& sighting = batch[i];
        Seen* s = sighting.slot ? static_cast<Seen*>(sighting.slot->note) : nullptr;
        if (!s || s->report.get() != sighting.report) {
            s = &take(sighting);
        }
        if (ours) {
            const bool first = s->generation != generation;
            s->generation = generation;
            staged.push_back(Advert{&s->peripheral, s->advertisement.get(), s->rssi, first, generation});
            if (staged.size() == part) {
                handOver();
            }
        }
    }
    handOver();
}

void CBCentralManager::Impl::handOver() {
    if (staged.empty() && replaced.empty()) {
        return;
    }
    bool post = false;
    {
        Lock lock(adv_mutex);
        if (!batch_started) {
            batch_started = true;
            batch_whole = adverts.empty();
        }
        if (batch_whole || adverts.size() + staged.size() <= kAdvertBacklog) {
            // A queue that had caught up, or within the bound whatever their kind: handed over whole.
            if (adverts.empty()) {
                adverts.swap(staged);
            } else {
                adverts.insert(adverts.end(), staged.begin(), staged.end());
            }
        } else {
            for (const Advert& item : staged) {
                if (!item.first && adverts.size() >= kAdvertBacklog) {
                    continue;  // the queue is behind: a repeat is dropped, as a saturated scanner drops it
                }
                adverts.push_back(item);
            }
        }
        // Only reports staged before they were replaced point to them: those are handed over by now.
        for (auto& old : replaced) {
            retired.push_back(std::move(old));
        }
        // A task also for retired advertisements alone, so that they are released.
        post = (!adverts.empty() || !retired.empty()) && !adverts_posted;
        adverts_posted = adverts_posted || post;
    }
    staged.clear();
    replaced.clear();
    if (post) {
        queue->async([weak = weak_from_this()] {
            if (auto manager = weak.lock()) {
                manager->deliverAdverts();
            }
        });
    }
}

void CBCentralManager::Impl::radioConnected(const radio::DeviceKey& device) {
    auto link = peripheralOf(device);
    if (!link) {
        return;
    }
    ChangeObserver observer;
    {
        Lock guard(link->guard->mutex);
        if (link->state == CBPeripheralState::Connecting) {
            link->state = CBPeripheralState::Connected;
            observer = link->observer;
        } else if (link->state != CBPeripheralState::Connected) {
            return;  // an attempt given up meanwhile
        }
        enqueueCentral([peripheral = link->self.lock()](CBCentralManagerDelegate& d, CBCentralManager& c) {
            d.centralManagerDidConnectPeripheral(c, peripheral);
        });
    }
    tell(observer);
}

void CBCentralManager::Impl::radioConnectFailed(const radio::DeviceKey& device, const NSError& error) {
    auto link = peripheralOf(device);
    if (!link) {
        return;
    }
    ChangeObserver observer;
    {
        Lock guard(link->guard->mutex);
        if (link->state != CBPeripheralState::Connecting) {
            return;
        }
        link->state = CBPeripheralState::Disconnected;
        ++link->epoch;
        observer = link->observer;
        enqueueCentral([peripheral = link->self.lock(), error](CBCentralManagerDelegate& d, CBCentralManager& c) {
            d.centralManagerDidFailToConnectPeripheral(c, peripheral, &error);
        });
    }
    tell(observer);
}

void CBCentralManager::Impl::radioDisconnected(const radio::DeviceKey& device, const NSError* error) {
    auto link = peripheralOf(device);
    if (!link) {
        return;
    }
    ChangeObserver observer;
    {
        Lock guard(link->guard->mutex);
        if (link->state == CBPeripheralState::Disconnected) {
            return;
        }
        // Only a cancel is answered without an error, and a connection started since superseded it: the answer
        // belongs to the link that went, and the new attempt goes on.
        if (!error && link->state == CBPeripheralState::Connecting) {
            return;
        }
        link->resetLocked();
        observer = link->observer;
        std::optional<NSError> why;
        if (error) {
            why = *error;
        }
        enqueueCentral([peripheral = link->self.lock(), why](CBCentralManagerDelegate& d, CBCentralManager& c) {
            d.centralManagerDidDisconnectPeripheral(c, peripheral, why ? &*why : nullptr);
        });
    }
    // The event may come late (a busy queue), or never reach a caller that waits on the queue itself.
    tell(observer);
}

// The radio gave up starting the scan: the manager is no longer scanning, as isScanning tells.
void CBCentralManager::Impl::radioScanEnded(const NSError&) {
    Lock lock(mutex);
    if (alive && scanning) {
        setScanningLocked(false);
    }
}

bool CBCentralManager::Impl::noticeOf(const radio::DeviceKey& device, radio::AttributeHandle characteristic,
                                      const std::string& value, Notice& notice) {
    Seen* s = last_notified;
    if (!s || s->peripheral->impl()->key != device) {
        auto it = seen.find(device);
        if (it == seen.end()) {
            return false;
        }
        s = last_notified = it->second;
    }
    CBPeripheral::Impl& link = *s->peripheral->impl();
    {
        Lock guard(link.guard->mutex);
        if (link.state != CBPeripheralState::Connected) {
            return false;
        }
        auto it = link.characteristic_objects.find(characteristic);
        if (it == link.characteristic_objects.end()) {
            return false;  // not discovered on this connection
        }
        notice.target = it->second;
        notice.epoch = link.epoch;
    }
    notice.peripheral = s->peripheral;
    notice.value = value;
    return true;
}

void CBCentralManager::Impl::radioNotified(const radio::DeviceKey& device, radio::AttributeHandle characteristic,
                                           const std::string& value) {
    Notice notice;
    if (noticeOf(device, characteristic, value, notice)) {
        enqueue(std::move(notice));
    }
}

// The run goes to the outbox at once: one post wakes the queue for all of it, where values handed over one by
// one would wake it for each while it keeps up.
void CBCentralManager::Impl::radioNotifiedTogether(const std::vector<radio::Notification>& run) {
    staged_notices.clear();  // what a run that threw left
    for (const radio::Notification& n : run) {
        Outgoing& item = staged_notices.emplace_back();
        if (!noticeOf(*n.device, n.characteristic, *n.value, item.notice)) {
            staged_notices.pop_back();
        }
    }
    if (!staged_notices.empty()) {
        pushAll(staged_notices.data(), staged_notices.size());
        staged_notices.clear();
    }
}

void CBCentralManager::Impl::deliver(Notice& notice) {
    const CBPeripheralPtr& peripheral = notice.peripheral;
    CBPeripheral::Impl& link = *peripheral->impl();
    std::shared_ptr<CBPeripheralDelegate> listener;
    {
        Lock guard(link.guard->mutex);
        if (link.epoch != notice.epoch || link.state != CBPeripheralState::Connected) {
            return;
        }
        notice.target->impl()->value = std::move(notice.value);  // before the callback, as the platform does
        listener = link.delegate.lock();
    }
    if (listener) {
        listener->peripheralDidUpdateValueForCharacteristic(peripheral, notice.target, nullptr);
    }
}

void CBCentralManager::Impl::radioForgot(const radio::DeviceKey& device) {
    auto it = seen.find(device);
    if (it == seen.end()) {
        return;
    }
    Seen& s = *it->second;
    s.forgotten = true;
    if (!s.listed) {
        s.listed = true;
        forgotten.push_back(&s);
    }
    // Held weakly while it waits, so that the news alone keeps nothing.
    enqueueCentral(
        [weak = std::weak_ptr<CBPeripheral>(s.peripheral)](CBCentralManagerDelegate& d, CBCentralManager& c) {
            if (auto peripheral = weak.lock()) {
                d.centralManagerDidForgetPeripheral(c, peripheral);
            }
        });
    // A sweep each time the list has doubled since the last: a list of entries still held costs O(1) per news.
    if (forgotten.size() >= sweep_at) {
        sweep();
    }
}

void CBCentralManager::Impl::sweep() {
    std::unique_lock<std::mutex> delivering(delivery_mutex, std::try_to_lock);
    if (!delivering.owns_lock()) {
        return;  // the queue is handing out advertisements: a later event sweeps
    }
    // Queued advertisements of an older scan are dropped unread, and the generation only grows.
    const uint64_t generation = scan_generation.load(std::memory_order_acquire);
    swept_generation = generation;
    size_t kept = 0;
    for (Seen* s : forgotten) {
        if (!s->forgotten) {
            s->listed = false;  // reported again since
            continue;
        }
        // A peripheral held only here can be taken by nobody else: its events lock it from here or not at all.
        bool busy = s->generation == generation || s->peripheral.use_count() > 1;
        if (!busy) {
            auto& link = *s->peripheral->impl();
            Lock guard(link.guard->mutex);
            busy = link.state != CBPeripheralState::Disconnected;
        }
        if (busy) {
            forgotten[kept++] = s;
        } else {
            release(*s);
        }
    }
    forgotten.resize(kept);
    sweep_at = std::max<size_t>(1, 2 * kept);
}

void CBCentralManager::Impl::release(Seen& s) {
    seen.erase(s.peripheral->impl()->key);
    if (last_notified == &s) {
        last_notified = nullptr;
    }
    s.report.reset();
    s.advertisement.reset();
    s.peripheral.reset();
    s.name.reset();
    s.generation = 0;
    s.rssi = 0;
    s.forgotten = false;
    s.listed = false;
    released.push_back(&s);
}

void CBCentralManager::Impl::shutdown() {
    {
        Lock lock(mutex);
        alive = false;
        setScanningLocked(false);
    }
    // Once closed, no radio event runs any more: `seen` is ours.
    radio->close();
    std::vector<ChangeObserver> observers;
    for (const auto& entry : seen) {
        auto& p = *entry.second->peripheral->impl();
        Lock guard(p.guard->mutex);
        if (p.state != CBPeripheralState::Disconnected) {
            p.resetLocked();
            observers.push_back(p.observer);
        }
    }
    for (const ChangeObserver& o : observers) {
        tell(o);
    }
    std::vector<Outgoing> dropped;
    {
        Lock lock(outbox_mutex);
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
                                                       dispatch_queue_t queue,
                                                       const std::optional<CBOptions>& options) {
    return initWithDelegate(std::move(delegate), std::move(queue), options, radio::processRadio());
}

CBCentralManagerPtr CBCentralManager::initWithDelegate(std::weak_ptr<CBCentralManagerDelegate> delegate,
                                                       dispatch_queue_t queue, const std::optional<CBOptions>&,
                                                       radio::Radio& radio) {
    auto impl = std::make_shared<Impl>();
    impl->delegate = std::move(delegate);
    impl->queue = queue ? std::move(queue) : dispatch_queue_create("platform.centralManager", DISPATCH_QUEUE_SERIAL);
    auto central = std::make_shared<CBCentralManager>(impl);
    impl->self = central;
    impl->radio = radio.openCentral(impl);
    return central;
}

CBManagerState CBCentralManager::state() const {
    Lock lock(impl_->mutex);
    return impl_->state;
}

void CBCentralManager::setChangeObserver(std::function<void()> observer) {
    ChangeObserver next;
    if (observer) {
        next = std::make_shared<const std::function<void()>>(std::move(observer));
    }
    Lock lock(impl_->mutex);
    impl_->state_observer.swap(next);
}

CBManagerAuthorization CBCentralManager::authorization() {
    return radio::processRadio().authorization();
}

void CBCentralManager::scanForPeripherals(const std::optional<std::vector<CBUUID>>& serviceUUIDs,
                                          const CBOptions& options) {
    impl_->startScan(serviceUUIDs, options, std::nullopt);
}

void CBCentralManager::scanForPeripherals(const std::optional<std::vector<CBUUID>>& serviceUUIDs,
                                          const CBOptions& options, int rssiFloor) {
    impl_->startScan(serviceUUIDs, options, rssiFloor);
}

void CBCentralManager::Impl::startScan(const std::optional<std::vector<CBUUID>>& serviceUUIDs, const CBOptions& options,
                                       std::optional<int> rssiFloor) {
    auto it = options.find(CBCentralManagerScanOptionAllowDuplicatesKey);
    const bool duplicates = it != options.end() && it->second;
    Lock scan_lock(scan_mutex);
    {
        std::unique_lock<std::mutex> lock(mutex);
        if (state != CBManagerState::PoweredOn) {
            lock.unlock();
            NSLog(kNotPoweredOn);
            return;
        }
        setScanningLocked(true);
    }
    if (rssiFloor) {
        radio->startFilteredScan(serviceUUIDs, duplicates, rssiFloor);
    } else {
        radio->startScan(serviceUUIDs, duplicates);
    }
}

void CBCentralManager::stopScan() {
    impl_->stopScan(std::nullopt);
}

bool CBCentralManager::isScanning() const {
    Lock lock(impl_->mutex);
    return impl_->scanning;
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
    auto& link = *peripheral->impl();
    Lock request(link.request_mutex);
    ChangeObserver observer;
    {
        Lock guard(link.guard->mutex);
        if (link.state == CBPeripheralState::Connecting) {
            return;
        }
        // A connected peripheral is reported connected again; anything else starts a new connection, which
        // supersedes a disconnection still pending: the old link's tree goes with it.
        if (link.state != CBPeripheralState::Connected) {
            link.resetLocked();
            link.state = CBPeripheralState::Connecting;
            observer = link.observer;  // a disconnection waited on is over
        }
    }
    tell(observer);
    impl_->radio->connect(link.key);
}

void CBCentralManager::cancelPeripheralConnection(const CBPeripheralPtr& peripheral) {
    if (!belongsTo(peripheral, impl_.get())) {
        NSLog("API MISUSE: peripheral %@ does not belong to this central manager", peripheral);
        return;
    }
    auto& link = *peripheral->impl();
    Lock request(link.request_mutex);
    ChangeObserver observer;
    {
        Lock guard(link.guard->mutex);
        if (link.state == CBPeripheralState::Disconnected || link.state == CBPeripheralState::Disconnecting) {
            return;
        }
        link.state = CBPeripheralState::Disconnecting;
        ++link.epoch;  // answers still on their way belong to the connection that is going
        link.in_flight = 0;
        link.want_ready = false;
        observer = link.observer;  // a connection or a request waited on is over
    }
    tell(observer);
    impl_->radio->cancelConnection(link.key);
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
void CBCentralManagerDelegate::centralManagerDidForgetPeripheral(CBCentralManager&, const CBPeripheralPtr&) {}

}  // namespace platform
