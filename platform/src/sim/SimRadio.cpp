// The simulated world as a radio: a session's scan, its links' state machine, discovery and GATT requests.
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

bool isClientConfiguration(const CBUUID& uuid) {
    static const CBUUID cccd = CBUUID::UUIDWithString("2902");
    return uuid == cccd;
}

// A listener's or a completion's call must not take the radio's thread down with it.
const char* const kInListener = "in a simulated radio listener";
const char* const kInCompletion = "in a simulated radio completion";

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

std::optional<SimCentral::Admitted> SimCentral::admit(const radio::DeviceKey& key) {
    const LinkPtr link = findLink(key);
    if (!link || closed_) {
        return std::nullopt;
    }
    Lock lock(link->mutex);
    if (link->state != CBPeripheralState::Connected || !link->device) {
        return std::nullopt;  // the central only asks on links it believes up; this one is gone
    }
    return Admitted{link, link->epoch, link->device};
}

template <typename Task>
void SimCentral::send(const std::optional<Admitted>& admitted, Task task) {
    if (!admitted) {
        return;
    }
    world_.scheduler.after(std::chrono::milliseconds(admitted->device->config.latency_ms),
                           [weak = weak_from_this(), request = *admitted, task = std::move(task)]() mutable {
                               if (auto session = weak.lock()) {
                                   task(*session, request);
                               }
                           });
}

// The device's answer to one request, once its latency has passed: a fault replaces it. `apply` runs under the
// link's mutex as a successful answer leaves the device; `call` runs the completion. True when a successful
// answer was given.
template <typename Apply, typename Call>
bool SimCentral::answer(const Admitted& request, const std::string& fault_kind, size_t s, size_t c, size_t d,
                        std::optional<NSError> error, Apply apply, Call call) {
    const auto fault = request.device->fault(AttributePath{s, c, d}, fault_kind);
    if (fault == Fault::Drop) {
        loseLink(request.link, request.epoch, linkLossError());
        return false;
    }
    if (fault == Fault::Silent) {
        return false;
    }
    if (fault == Fault::Error) {
        error = faultError();
    }
    Emission emission(*this);
    {
        Lock lock(request.link->mutex);
        if (request.link->epoch != request.epoch || request.link->state != CBPeripheralState::Connected) {
            return false;
        }
        if (!error) {
            apply(*request.link);
        }
    }
    if (closed_) {
        return false;
    }
    contain(kInCompletion, [&] { call(error ? &*error : nullptr); });
    return !error;
}

namespace {
constexpr size_t npos = AttributePath::npos;

// The attribute a handle names on a device, when it is of the kind asked for.
std::optional<AttributePath> lookup(const Device& device, radio::AttributeHandle handle, bool characteristic,
                                    bool descriptor) {
    auto it = device.attributes.find(handle);
    if (it == device.attributes.end()) {
        return std::nullopt;
    }
    const AttributePath& p = it->second;
    const bool is_descriptor = p.descriptor != npos;
    const bool is_characteristic = !is_descriptor && p.characteristic != npos;
    const bool is_service = p.characteristic == npos;
    if ((descriptor && !is_descriptor) || (characteristic && !is_characteristic) ||
        (!descriptor && !characteristic && !is_service)) {
        return std::nullopt;
    }
    return p;
}

const NSError kNoSuchAttribute = CBATTErrorMake(CBATTError::InvalidHandle, "The handle is invalid.");

// What a device answers an access its attribute's security forbids on a link with the key `link`.
std::optional<NSError> securityRefusal(Security security, Security link) {
    if (link >= security) {
        return std::nullopt;
    }
    switch (security) {
        case Security::Encryption:
            return CBATTErrorMake(CBATTError::InsufficientEncryption, "Encryption is insufficient.");
        case Security::Authentication:
            return CBATTErrorMake(CBATTError::InsufficientAuthentication, "Authentication is insufficient.");
        case Security::None:
            break;
    }
    return std::nullopt;
}

const CharacteristicConfig& characteristicConfig(const Device& device, const AttributePath& path) {
    return device.config.services[path.service].characteristics[path.characteristic];
}
// A subscription is a write of the client configuration: the characteristic's security covers it, and so does
// that of a configuration descriptor the world lists.
Security subscriptionSecurity(const Device& device, const AttributePath& path) {
    const auto& config = characteristicConfig(device, path);
    const auto& descriptors = device.services[path.service].characteristics[path.characteristic].descriptors;
    Security needed = config.security;
    for (size_t i = 0; i < descriptors.size() && i < config.descriptors.size(); ++i) {
        if (isClientConfiguration(descriptors[i].uuid) && config.descriptors[i].security > needed) {
            needed = config.descriptors[i].security;
        }
    }
    return needed;
}
// A device's own refusal of a write: the first code the ATT protocol leaves to applications.
constexpr auto kDeviceRefused = static_cast<CBATTError>(0x80);
}  // namespace

void SimCentral::discoverServices(const radio::DeviceKey& key, radio::ServicesDone done) {
    send(admit(key), [done = std::move(done)](SimCentral& self, const Admitted& r) {
        std::vector<radio::ServiceInfo> list;
        for (const auto& s : r.device->services) {
            list.push_back(radio::ServiceInfo{s.handle, s.uuid});
        }
        self.answer(
            r, "discover_services", npos, npos, npos, std::nullopt, [](SimLink&) {},
            [&](const NSError* e) { done(e, e ? std::vector<radio::ServiceInfo>{} : list); });
    });
}

void SimCentral::discoverCharacteristics(const radio::DeviceKey& key, radio::AttributeHandle service,
                                         radio::CharacteristicsDone done) {
    send(admit(key), [service, done = std::move(done)](SimCentral& self, const Admitted& r) {
        const auto path = lookup(*r.device, service, false, false);
        if (!path) {
            self.answer(
                r, "", npos, npos, npos, kNoSuchAttribute, [](SimLink&) {}, [&](const NSError* e) { done(e, {}); });
            return;
        }
        std::vector<radio::CharacteristicInfo> list;
        for (const auto& c : r.device->services[path->service].characteristics) {
            list.push_back(radio::CharacteristicInfo{c.handle, c.uuid, c.properties});
        }
        self.answer(
            r, "discover_characteristics", path->service, npos, npos, std::nullopt, [](SimLink&) {},
            [&](const NSError* e) { done(e, e ? std::vector<radio::CharacteristicInfo>{} : list); });
    });
}

void SimCentral::discoverDescriptors(const radio::DeviceKey& key, radio::AttributeHandle characteristic,
                                     radio::DescriptorsDone done) {
    send(admit(key), [characteristic, done = std::move(done)](SimCentral& self, const Admitted& r) {
        const auto path = lookup(*r.device, characteristic, true, false);
        if (!path) {
            self.answer(
                r, "", npos, npos, npos, kNoSuchAttribute, [](SimLink&) {}, [&](const NSError* e) { done(e, {}); });
            return;
        }
        std::vector<radio::DescriptorInfo> list;
        for (const auto& d : r.device->services[path->service].characteristics[path->characteristic].descriptors) {
            list.push_back(radio::DescriptorInfo{d.handle, d.uuid});
        }
        self.answer(
            r, "discover_descriptors", path->service, path->characteristic, npos, std::nullopt, [](SimLink&) {},
            [&](const NSError* e) { done(e, e ? std::vector<radio::DescriptorInfo>{} : list); });
    });
}

void SimCentral::readCharacteristic(const radio::DeviceKey& key, radio::AttributeHandle characteristic,
                                    radio::ValueDone done) {
    send(admit(key), [characteristic, done = std::move(done)](SimCentral& self, const Admitted& r) {
        const auto path = lookup(*r.device, characteristic, true, false);
        std::optional<NSError> error;
        std::string value;
        if (!path) {
            error = kNoSuchAttribute;
        } else if (!(r.device->services[path->service].characteristics[path->characteristic].properties &
                     CBCharacteristicPropertyRead)) {
            error = CBATTErrorMake(CBATTError::ReadNotPermitted, "Reading is not permitted.");
        } else {
            const Security needed = characteristicConfig(*r.device, *path).security;
            error = securityRefusal(needed, self.securityOf(r));
            if (error) {
                self.raiseSecurity(r, needed,
                                   [weak = self.weak_from_this(), r, characteristic, error, done](bool raised) {
                                       auto session = weak.lock();
                                       if (!session) {
                                           return;
                                       }
                                       if (raised) {
                                           return session->readCharacteristic(r.link->key, characteristic, done);
                                       }
                                       session->answer(
                                           r, "", npos, npos, npos, error, [](SimLink&) {},
                                           [&](const NSError* e) { done(e, std::string()); });
                                   });
                return;
            }
        }
        self.answer(
            r, path ? "read" : "", path ? path->service : npos, path ? path->characteristic : npos, npos,
            std::move(error),
            [&](SimLink&) {
                // Taken as the answer leaves, in turn with the notifications: the central sees the values in
                // the order the device held them.
                Lock lock(r.device->mutex);
                value = r.device->values[path->service][path->characteristic].value_or(std::string());
            },
            [&](const NSError* e) { done(e, e ? std::string() : value); });
    });
}

void SimCentral::writeCharacteristic(const radio::DeviceKey& key, radio::AttributeHandle characteristic,
                                     const std::string& value, radio::Done done) {
    send(admit(key), [characteristic, value, done = std::move(done)](SimCentral& self, const Admitted& r) {
        unsigned mtu = kDefaultMtu;
        {
            Lock lock(r.link->mutex);
            if (r.link->epoch != r.epoch || r.link->state != CBPeripheralState::Connected) {
                return;  // the device never sees a write of a link that is gone
            }
            mtu = r.link->mtu;
        }
        const auto path = lookup(*r.device, characteristic, true, false);
        std::optional<NSError> error;
        if (!path) {
            error = kNoSuchAttribute;
        } else if (!r.device->fault(AttributePath{path->service, path->characteristic}, "write")) {
            const auto& c = r.device->services[path->service].characteristics[path->characteristic];
            if (!(c.properties & CBCharacteristicPropertyWrite)) {
                error = CBATTErrorMake(CBATTError::WriteNotPermitted, "Writing is not permitted.");
            } else if (auto refused =
                           securityRefusal(characteristicConfig(*r.device, *path).security, self.securityOf(r))) {
                self.raiseSecurity(
                    r, characteristicConfig(*r.device, *path).security,
                    [weak = self.weak_from_this(), r, characteristic, value, refused, done](bool raised) {
                        auto session = weak.lock();
                        if (!session) {
                            return;
                        }
                        if (raised) {
                            return session->writeCharacteristic(r.link->key, characteristic, value, done);
                        }
                        session->answer(
                            r, "", npos, npos, npos, refused, [](SimLink&) {}, [&](const NSError* e) { done(e); });
                    });
                return;
            } else if (value.size() + 3 > mtu && !r.device->config.prepared_writes) {
                // Too long for one request, the value goes as prepared writes, which this device refuses.
                error = CBATTErrorMake(CBATTError::RequestNotSupported, "The request is not supported.");
            } else if (value.size() > kMaxAttributeLength) {
                error = CBATTErrorMake(CBATTError::InvalidAttributeValueLength, "The value's length is invalid.");
            } else if (!r.device->receiveWrite(self.world_.scheduler, path->service, path->characteristic, value,
                                               true)) {
                error = CBATTErrorMake(kDeviceRefused, "The device refused the command.");
            }
        }
        self.answer(
            r, path ? "write" : "", path ? path->service : npos, path ? path->characteristic : npos, npos,
            std::move(error), [](SimLink&) {}, [&](const NSError* e) { done(e); });
    });
}

void SimCentral::writeWithoutResponse(const radio::DeviceKey& key, radio::AttributeHandle characteristic,
                                      const std::string& value, radio::Done sent) {
    const auto admitted = admit(key);
    if (!admitted) {
        return;
    }
    const auto path = lookup(*admitted->device, characteristic, true, false);
    if (!path ||
        !(admitted->device->services[path->service].characteristics[path->characteristic].properties &
          CBCharacteristicPropertyWriteWithoutResponse) ||
        securityRefusal(characteristicConfig(*admitted->device, *path).security, securityOf(*admitted))) {
        return;  // nothing to carry: the write is lost, and the central learns it from no `sent`
    }
    Lock lock(admitted->link->mutex);
    if (admitted->link->epoch != admitted->epoch) {
        return;
    }
    admitted->link->transmit.push_back(SimLink::Packet{path->service, path->characteristic, value, std::move(sent)});
    if (!admitted->link->drain_armed) {
        armDrainLocked(admitted->link);
    }
}

// Called with the link's mutex held.
void SimCentral::armDrainLocked(const LinkPtr& link) {
    link->drain_armed = true;
    world_.scheduler.after(std::chrono::milliseconds(link->device->config.connection.interval_ms),
                           [weak = weak_from_this(), weak_link = std::weak_ptr<SimLink>(link), epoch = link->epoch] {
                               auto session = weak.lock();
                               auto l = weak_link.lock();
                               if (session && l) {
                                   session->drainTransmit(l, epoch);
                               }
                           });
}

// One connection interval: the link carries up to packets_per_interval writes without response.
void SimCentral::drainTransmit(const LinkPtr& link, uint64_t epoch) {
    std::vector<SimLink::Packet> packets;
    std::shared_ptr<Device> device;
    {
        Emission emission(*this);
        {
            Lock lock(link->mutex);
            if (link->epoch != epoch || link->state != CBPeripheralState::Connected) {
                return;
            }
            device = link->device;
            const size_t n = std::min<size_t>(device->config.connection.packets_per_interval, link->transmit.size());
            for (size_t i = 0; i < n; ++i) {
                packets.push_back(std::move(link->transmit.front()));
                link->transmit.pop_front();
            }
            if (link->transmit.empty()) {
                link->drain_armed = false;
            } else {
                armDrainLocked(link);
            }
        }
        if (!closed_) {
            for (auto& packet : packets) {
                if (packet.sent) {
                    contain(kInCompletion, [&] { packet.sent(nullptr); });
                }
            }
        }
    }
    // The device takes them outside the emission: a write may make it notify.
    for (const auto& packet : packets) {
        const auto fault = device->fault(AttributePath{packet.service, packet.characteristic}, "write");
        if (fault == Fault::Drop) {
            loseLink(link, epoch, linkLossError());
            return;
        }
        if (fault) {
            continue;  // a write without response has no answer to carry an error: it is lost
        }
        device->receiveWrite(world_.scheduler, packet.service, packet.characteristic, packet.data, false);
    }
}

void SimCentral::retryRaised(const Admitted& request, Security needed, NSError refused,
                             std::function<void(SimCentral&)> again, std::function<void(const NSError*)> fail) {
    raiseSecurity(
        request, needed,
        [weak = weak_from_this(), request, refused, again = std::move(again), fail = std::move(fail)](bool raised) {
            auto session = weak.lock();
            if (!session) {
                return;
            }
            if (raised) {
                return again(*session);
            }
            session->answer(
                request, "", npos, npos, npos, refused, [](SimLink&) {}, [&](const NSError* e) { fail(e); });
        });
}

void SimCentral::setNotify(const radio::DeviceKey& key, radio::AttributeHandle characteristic, bool enabled,
                           radio::Done done) {
    send(admit(key), [characteristic, enabled, done = std::move(done)](SimCentral& self, const Admitted& r) {
        const auto path = lookup(*r.device, characteristic, true, false);
        std::optional<NSError> error;
        if (!path) {
            error = kNoSuchAttribute;
        } else if (enabled && !(r.device->services[path->service].characteristics[path->characteristic].properties &
                                kSubscribable)) {
            error = CBATTErrorMake(CBATTError::RequestNotSupported, "The request is not supported.");
        } else if (auto refused = securityRefusal(subscriptionSecurity(*r.device, *path), self.securityOf(r))) {
            return self.retryRaised(
                r, subscriptionSecurity(*r.device, *path), *refused,
                [key = r.link->key, characteristic, enabled, done](SimCentral& session) {
                    session.setNotify(key, characteristic, enabled, done);
                },
                done);
        }
        const std::pair<size_t, size_t> at{path ? path->service : npos, path ? path->characteristic : npos};
        const bool ok = self.answer(
            r, path ? (enabled ? "subscribe" : "unsubscribe") : "", at.first, at.second, npos, std::move(error),
            [at, enabled](SimLink& l) {
                // The device notifies from the moment its answer leaves.
                if (enabled) {
                    l.subscribed.insert(at);
                } else {
                    l.subscribed.erase(at);
                }
            },
            [&](const NSError* e) { done(e); });
        if (ok && enabled) {
            r.device->startPeriodic(self.world_.scheduler, at.first, at.second);
        }
    });
}

void SimCentral::readDescriptor(const radio::DeviceKey& key, radio::AttributeHandle descriptor, radio::ValueDone done) {
    send(admit(key), [descriptor, done = std::move(done)](SimCentral& self, const Admitted& r) {
        const auto path = lookup(*r.device, descriptor, false, true);
        if (!path) {
            self.answer(
                r, "", npos, npos, npos, kNoSuchAttribute, [](SimLink&) {}, [&](const NSError* e) { done(e, {}); });
            return;
        }
        const auto& c = r.device->services[path->service].characteristics[path->characteristic];
        const bool configuration = isClientConfiguration(c.descriptors[path->descriptor].uuid);
        const Security needed = characteristicConfig(*r.device, *path).descriptors[path->descriptor].security;
        if (auto refused = securityRefusal(needed, self.securityOf(r))) {
            return self.retryRaised(
                r, needed, *refused,
                [key = r.link->key, descriptor, done](SimCentral& session) {
                    session.readDescriptor(key, descriptor, done);
                },
                [done](const NSError* e) { done(e, {}); });
        }
        std::string bytes;
        if (!configuration) {
            Lock lock(r.device->mutex);
            bytes = r.device->descriptor_values[path->service][path->characteristic][path->descriptor].value_or(
                std::string());
        }
        self.answer(
            r, "read", path->service, path->characteristic, path->descriptor, std::nullopt,
            [&](SimLink& l) {
                if (configuration) {
                    // The configuration is the link's own: 1 notifying, 2 indicating, 0 neither.
                    char value = 0;
                    if (l.subscribed.count({path->service, path->characteristic})) {
                        value = (c.properties & CBCharacteristicPropertyNotify) ? 1 : 2;
                    }
                    bytes = std::string{value, '\0'};
                }
            },
            [&](const NSError* e) { done(e, e ? std::string() : bytes); });
    });
}

void SimCentral::writeDescriptor(const radio::DeviceKey& key, radio::AttributeHandle descriptor,
                                 const std::string& value, radio::Done done) {
    send(admit(key), [descriptor, value, done = std::move(done)](SimCentral& self, const Admitted& r) {
        {
            Lock lock(r.link->mutex);
            if (r.link->epoch != r.epoch || r.link->state != CBPeripheralState::Connected) {
                return;
            }
        }
        const auto path = lookup(*r.device, descriptor, false, true);
        if (!path) {
            self.answer(
                r, "", npos, npos, npos, kNoSuchAttribute, [](SimLink&) {}, [&](const NSError* e) { done(e); });
            return;
        }
        const Security needed = characteristicConfig(*r.device, *path).descriptors[path->descriptor].security;
        if (auto refused = securityRefusal(needed, self.securityOf(r))) {
            return self.retryRaised(
                r, needed, *refused,
                [key = r.link->key, descriptor, value, done](SimCentral& session) {
                    session.writeDescriptor(key, descriptor, value, done);
                },
                done);
        }
        if (!r.device->fault(*path, "write")) {
            Lock lock(r.device->mutex);
            r.device->descriptor_values[path->service][path->characteristic][path->descriptor] = value;
        }
        self.answer(
            r, "write", path->service, path->characteristic, path->descriptor, std::nullopt, [](SimLink&) {},
            [&](const NSError* e) { done(e); });
    });
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
