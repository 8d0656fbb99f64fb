// The simulated world as a radio: a session's scan, its links' state machine and its end (GATT requests are in
// SimGatt.cpp).
//
// A request is checked on the caller's thread and answered by the device on the scheduler's thread after the
// device's latency. Every change of a link's connection bumps its epoch; work made for an older one is dropped.

#include "SimRadio.h"

#include <algorithm>

#include "SimInternal.h"

namespace platform::sim {

namespace {

using Lock = std::lock_guard<std::mutex>;
using LinkPtr = std::shared_ptr<SimLink>;

// A listener's call must not take the radio's thread down with it.
const char* const kInListener = "in a simulated radio listener";

}  // namespace

void SimLink::resetLocked() {
    if (device) {
        device->detach(this);  // under the link's mutex, so that no reconnection races it
    }
    state = CBPeripheralState::Disconnected;
    ++epoch;
    mtu = kDefaultMtu;
    subscribed.clear();
    transmit.clear();
    drain_armed = false;
    security = Security::None;
}

SimCentral::Emission::Emission(SimCentral& session) : session_(session), lock_(session.emit_mutex_) {
    session_.emitting_.store(std::this_thread::get_id());
    if (!session_.closed_.load()) {
        listener_ = session_.events_.lock();
    }
}

SimCentral::Emission::~Emission() {
    // The listener may be released for the last time here; its owner lets it go without waiting on us.
    listener_.reset();
    session_.emitting_.store(std::thread::id());
}

SimCentral::SimCentral(WorldState& world, std::weak_ptr<radio::RadioCentralEvents> events)
    : world_(world), events_(std::move(events)) {}

SimCentral::~SimCentral() {
    if (scan_) {
        world_.scheduler.replaceScan(scan_, nullptr);
    }
}

void SimCentral::barrier() {
    if (emitting_.load() != std::this_thread::get_id()) {
        Lock wait(emit_mutex_);
    }
}

CBManagerState SimCentral::state() const {
    Lock lock(mutex_);
    return known_ ? reported_ : CBManagerState::Unknown;
}

void SimCentral::applyAdapterState(bool first) {
    Emission emission(*this);
    CBManagerState now;
    {
        Lock lock(mutex_);
        if (closed_ || (first ? known_ : !known_)) {
            return;  // the first report comes once; later changes only after it
        }
        known_ = true;
        const CBManagerState old = reported_;
        {
            Lock world_lock(world_.mutex);
            reported_ = world_.state;
        }
        now = reported_;
        if (!first && old == now) {
            return;
        }
        if (old == CBManagerState::PoweredOn && now != CBManagerState::PoweredOn) {
            // The radio went away: the scan ends and links go without any event.
            scan_generation_.fetch_add(1);
            if (scan_) {
                world_.scheduler.replaceScan(scan_, nullptr);
                scan_.reset();
            }
            for (const auto& entry : links_) {
                Lock link_lock(entry.second->mutex);
                if (entry.second->state != CBPeripheralState::Disconnected) {
                    entry.second->resetLocked();
                }
            }
        }
    }
    if (const auto& listener = emission.listener()) {
        contain(kInListener, [&] { listener->radioStateChanged(now); });
    }
}

void SimCentral::startScan(const std::optional<std::vector<CBUUID>>& services, bool duplicates) {
    startFilteredScan(services, duplicates, std::nullopt);
}

void SimCentral::startFilteredScan(const std::optional<std::vector<CBUUID>>& services, bool duplicates,
                                   std::optional<int> rssiFloor) {
    Lock lock(mutex_);
    if (closed_ || !known_ || reported_ != CBManagerState::PoweredOn) {
        return;
    }
    auto scan = std::make_shared<Scan>();
    scan->session = weak_from_this();
    scan->duplicates = duplicates;
    scan->filter = services;
    scan->rssi_floor = rssiFloor;
    // Listed under the session's lock, which a device joining the world also takes: none is missed.
    std::vector<std::pair<uint32_t, std::shared_ptr<Device>>> members;
    for (const auto& device : world_.devicesSnapshot()) {
        if (!device->removed && scan->matches(*device)) {
            members.emplace_back(Scan::phaseOf(*device), device);
        }
    }
    // Seeded in the order of their first advertisement (the world's order among equals, as the wheel reports
    // them either way), so that the scan reads the devices' slots in the order they lie in memory.
    std::stable_sort(members.begin(), members.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& member : members) {
        scan->seed(member.second);
    }
    scan->generation = scan_generation_.fetch_add(1) + 1;
    auto previous = std::move(scan_);
    scan_ = scan;
    world_.scheduler.replaceScan(previous, scan);
}

void SimCentral::stopScan() {
    {
        Lock lock(mutex_);
        scan_generation_.fetch_add(1);
        if (scan_) {
            world_.scheduler.replaceScan(scan_, nullptr);
            scan_.reset();
        }
    }
    barrier();  // a delivery running now ends before we return
}

void SimCentral::announce(const std::shared_ptr<Device>& device) {
    Lock lock(mutex_);
    if (scan_ && scan_->matches(*device)) {
        world_.scheduler.addToScan(scan_, device);
    }
}

void SimCentral::deliverReports(const Scan& scan, const std::vector<radio::Sighting>& batch) {
    Emission emission(*this);
    const auto& listener = emission.listener();
    if (!listener) {
        return;
    }
    if (scan_generation_.load(std::memory_order_acquire) != scan.generation) {
        return;  // stopped meanwhile
    }
    // One call per tick: the central takes the whole batch under one lock and queues it in one task.
    contain(kInListener, [&] { listener->radioDiscovered(batch); });
}

std::shared_ptr<SimLink> SimCentral::findLink(const radio::DeviceKey& key) const {
    Lock lock(mutex_);
    // The central names devices by the keys we reported, already upper case; others are matched without case.
    auto it = links_.find(key);
    if (it == links_.end()) {
        it = links_.find(upper(key));
    }
    return it == links_.end() ? nullptr : it->second;
}

std::shared_ptr<SimLink> SimCentral::makeLink(const radio::DeviceKey& key) {
    const std::string id = upper(key);
    Lock lock(mutex_);
    auto& link = links_[id];
    if (!link) {
        link = std::make_shared<SimLink>();
        link->session = weak_from_this();
        link->key = id;
    }
    return link;
}

void SimCentral::connect(const radio::DeviceKey& key) {
    if (closed_) {
        return;
    }
    const LinkPtr link = makeLink(key);
    Lock lock(link->mutex);
    if (link->state == CBPeripheralState::Connected) {
        // Reported again, from the radio's thread.
        world_.scheduler.after(Clock::duration::zero(), [weak = weak_from_this(), link, epoch = link->epoch] {
            auto session = weak.lock();
            if (!session) {
                return;
            }
            Emission emission(*session);
            {
                Lock guard(link->mutex);
                if (link->epoch != epoch || link->state != CBPeripheralState::Connected) {
                    return;
                }
            }
            if (const auto& listener = emission.listener()) {
                contain(kInListener, [&] { listener->radioConnected(link->key); });
            }
        });
        return;
    }
    if (link->state == CBPeripheralState::Connecting) {
        return;
    }
    // A new connection (also over a disconnection that hangs) supersedes whatever was pending.
    link->state = CBPeripheralState::Connecting;
    const uint64_t epoch = ++link->epoch;
    if (!link->device || link->device->removed) {
        if (auto device = world_.device(link->key)) {
            link->device = device;
        }
    }
    const auto device = link->device;
    if (!device || device->removed || device->advertisement.isConnectable == false) {
        return;  // nobody answers: the attempt stays pending until cancelled
    }
    std::weak_ptr<SimLink> weak_link = link;
    world_.scheduler.after(std::chrono::milliseconds(device->config.connection.delay_ms), [weak = weak_from_this(),
                                                                                           weak_link, epoch] {
        auto session = weak.lock();
        auto l = weak_link.lock();
        if (!session || !l) {
            return;
        }
        Emission emission(*session);
        ConnectOutcome outcome;
        std::optional<unsigned> drop_after;
        {
            Lock guard(l->mutex);
            if (l->epoch != epoch || l->state != CBPeripheralState::Connecting || !l->device || l->device->removed) {
                return;
            }
            const ConnectionConfig& connection = l->device->config.connection;
            outcome = connection.outcome;
            if (connection.fail_first > 0) {
                std::lock_guard<std::mutex> device_lock(l->device->mutex);
                if (l->device->failed_connects < connection.fail_first) {
                    ++l->device->failed_connects;
                    outcome = ConnectOutcome::Fail;
                }
            }
            drop_after = connection.drop_after_ms;
            if (outcome == ConnectOutcome::Connect) {
                l->state = CBPeripheralState::Connected;
                l->mtu = l->device->config.mtu;
                {
                    // A bonded device's link comes up encrypted with the bond's key.
                    Lock device_lock(l->device->mutex);
                    l->security = l->device->bond;
                }
                // Under the link's mutex, so that a link loss right after cannot miss the link.
                l->device->attach(l);
            } else if (outcome == ConnectOutcome::Fail) {
                l->state = CBPeripheralState::Disconnected;
                ++l->epoch;
            }
        }
        const auto& listener = emission.listener();
        switch (outcome) {
            case ConnectOutcome::Connect:
                if (listener) {
                    contain(kInListener, [&] { listener->radioConnected(l->key); });
                }
                if (l->device->config.pairing && l->device->config.pairing->security_request) {
                    session->world_.scheduler.after(std::chrono::milliseconds(l->device->config.latency_ms),
                                                    [weak, key = l->key] {
                                                        if (auto s = weak.lock()) {
                                                            s->securityRequested(key);
                                                        }
                                                    });
                }
                if (drop_after) {
                    session->world_.scheduler.after(std::chrono::milliseconds(*drop_after), [weak, weak_link, epoch] {
                        auto s = weak.lock();
                        auto lost = weak_link.lock();
                        if (s && lost) {
                            s->loseLink(lost, epoch, linkLossError());
                        }
                    });
                }
                break;
            case ConnectOutcome::Fail:
                if (listener) {
                    contain(kInListener, [&] { listener->radioConnectFailed(l->key, connectionFailedError()); });
                }
                break;
            case ConnectOutcome::Hang:
                break;
        }
    });
}

void SimCentral::cancelConnection(const radio::DeviceKey& key) {
    const LinkPtr link = findLink(key);
    if (!link) {
        return;
    }
    Lock lock(link->mutex);
    if (link->state == CBPeripheralState::Disconnected || link->state == CBPeripheralState::Disconnecting) {
        return;
    }
    // An attempt is the radio's own to withdraw, whether or not a device is there to answer; ending a link
    // takes the device, which may hang.
    const bool attempt = link->state == CBPeripheralState::Connecting;
    link->state = CBPeripheralState::Disconnecting;
    const uint64_t epoch = ++link->epoch;
    link->subscribed.clear();
    link->transmit.clear();
    link->drain_armed = false;  // the drain armed for the old epoch does nothing: a new link must arm its own
    const auto device = link->device;
    if (device) {
        device->detach(link.get());  // the device stops talking on this link at once
    }
    if (attempt || (device && device->config.connection.disconnect == DisconnectBehaviour::Disconnect)) {
        std::weak_ptr<SimLink> weak_link = link;
        const unsigned delay_ms = device ? device->config.connection.disconnect_delay_ms : 0;
        world_.scheduler.after(std::chrono::milliseconds(delay_ms), [weak = weak_from_this(), weak_link, epoch] {
            auto session = weak.lock();
            auto l = weak_link.lock();
            if (session && l) {
                session->emitDisconnected(l, epoch, nullptr);
            }
        });
    }
}

void SimCentral::emitDisconnected(const LinkPtr& link, uint64_t epoch, const NSError* error) {
    Emission emission(*this);
    {
        Lock lock(link->mutex);
        if (link->epoch != epoch || link->state != CBPeripheralState::Disconnecting) {
            return;
        }
        link->resetLocked();
    }
    if (const auto& listener = emission.listener()) {
        contain(kInListener, [&] { listener->radioDisconnected(link->key, error); });
    }
    endPairingLater(link, radio::pairingError(radio::PairingError::Canceled));
}

void SimCentral::loseLink(const LinkPtr& link, std::optional<uint64_t> epoch, const NSError& error) {
    Emission emission(*this);
    {
        Lock lock(link->mutex);
        if ((epoch && *epoch != link->epoch) || link->state != CBPeripheralState::Connected) {
            return;
        }
        link->resetLocked();
    }
    if (const auto& listener = emission.listener()) {
        contain(kInListener, [&] { listener->radioDisconnected(link->key, &error); });
    }
    endPairingLater(link, radio::pairingError(radio::PairingError::Canceled));
}

void SimCentral::forget(const radio::DeviceKey& device) {
    // Told from the scheduler's thread, which delivers the reports it took before the device was marked
    // removed ahead of any task queued after: no report of the device reaches the listener after this.
    world_.scheduler.after(Clock::duration::zero(), [weak = weak_from_this(), device] {
        auto session = weak.lock();
        if (!session) {
            return;
        }
        Emission emission(*session);
        if (const auto& listener = emission.listener()) {
            contain(kInListener, [&] { listener->radioForgot(device); });
        }
    });
}

bool SimCentral::subscribed(const LinkPtr& link, const Device* device, size_t service, size_t characteristic) {
    Lock lock(link->mutex);
    return link->device.get() == device && link->state == CBPeripheralState::Connected &&
           link->subscribed.count({service, characteristic});
}

void SimCentral::notify(const LinkPtr& link, const Device* device, size_t service, size_t characteristic,
                        const std::string& value) {
    Emission emission(*this);
    if (!subscribed(link, device, service, characteristic)) {
        return;
    }
    if (const auto& listener = emission.listener()) {
        const radio::AttributeHandle handle = device->services[service].characteristics[characteristic].handle;
        contain(kInListener, [&] { listener->radioNotified(link->key, handle, value); });
    }
}

// A device that notifies as soon as the configuration arrives: its current value reaches this link ahead of
// the answer, though the link counts as subscribed only once the answer has left.
void SimCentral::notifyBeforeAnswer(const Admitted& r, size_t service, size_t characteristic) {
    std::string value;
    {
        Lock lock(r.device->mutex);
        value = r.device->values[service][characteristic].value_or(std::string());
    }
    Emission emission(*this);
    {
        Lock lock(r.link->mutex);
        if (r.link->epoch != r.epoch || r.link->state != CBPeripheralState::Connected) {
            return;
        }
    }
    if (const auto& listener = emission.listener()) {
        const radio::AttributeHandle handle = r.device->services[service].characteristics[characteristic].handle;
        contain(kInListener, [&] { listener->radioNotified(r.link->key, handle, value); });
    }
}

unsigned SimCentral::mtu(const radio::DeviceKey& key) const {
    const auto link = findLink(key);
    if (!link) {
        return kDefaultMtu;
    }
    Lock lock(link->mutex);
    return link->state == CBPeripheralState::Connected ? link->mtu : kDefaultMtu;
}

unsigned SimCentral::transmitQueueDepth() const {
    return static_cast<unsigned>(kTransmitBufferPackets);
}

void SimCentral::close() {
    {
        Lock lock(mutex_);
        closed_ = true;
        scan_generation_.fetch_add(1);
        if (scan_) {
            world_.scheduler.replaceScan(scan_, nullptr);
            scan_.reset();
        }
        for (const auto& entry : links_) {
            Lock link_lock(entry.second->mutex);
            if (entry.second->state != CBPeripheralState::Disconnected) {
                entry.second->resetLocked();
            }
        }
    }
    barrier();
}

std::shared_ptr<radio::RadioCentral> SimRadio::openCentral(std::weak_ptr<radio::RadioCentralEvents> events) {
    auto session = std::make_shared<SimCentral>(world_, std::move(events));
    std::optional<unsigned> delay;
    {
        Lock lock(world_.mutex);
        world_.sessions.push_back(session);
        delay = world_.state_delay_ms;
    }
    if (delay) {
        world_.scheduler.after(std::chrono::milliseconds(*delay), [weak = std::weak_ptr<SimCentral>(session)] {
            if (auto s = weak.lock()) {
                s->applyAdapterState(true);
            }
        });
    }
    return session;
}

CBManagerAuthorization SimRadio::authorization() const {
    Lock lock(world_.mutex);
    return world_.authorization;
}

}  // namespace platform::sim
