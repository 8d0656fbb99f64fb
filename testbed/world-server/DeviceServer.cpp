// Serving one device: its advertisement and table handed to bluetoothd, the world's link following the centrals'
// links, and each request, subscription and notification carried between bluetoothd and the world.

#include "DeviceServer.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>
#include <utility>

#include "platform/bluez/BluezPeripheral.h"
#include "platform/sim/World.h"

namespace worldserver {

namespace {

using namespace platform;
using radio::CentralKey;
using radio::LocalAttributeId;

// bluetoothd keeps a device visible only while advertising is switched on anew (btvirt reports then): two
// instances of one advertisement make the adapter take turns between them, one second each.
constexpr radio::AdvertisementId kTurns[] = {1, 2};
constexpr uint16_t kTurnSeconds = 1;
// How long a link lasts before the server may take it down (see dropLinks).
constexpr auto kYoungLink = std::chrono::seconds(2);

std::string upper(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return text;
}

radio::LocalAdvertisement advertisementOf(const sim::PeripheralConfig& device) {
    const auto& a = device.advertising;
    radio::LocalAdvertisement ad;
    // Always connectable: bluetoothd sends a broadcaster's advertisements from a new private address at every
    // turn, so a device nobody may connect to is shown under its own address and its links refused instead.
    ad.connectable = true;
    ad.discoverable = true;
    ad.localName = device.name;
    if (a.service_uuids) {
        for (const auto& uuid : *a.service_uuids) {
            ad.serviceUUIDs.push_back(CBUUID::UUIDWithString(uuid));
        }
    }
    if (a.manufacturer_data) {
        ad.manufacturerData.push_back(*a.manufacturer_data);
        ad.manufacturerData.insert(ad.manufacturerData.end(), a.more_manufacturer_data.begin(),
                                   a.more_manufacturer_data.end());
    }
    if (a.service_data) {
        for (const auto& [uuid, bytes] : *a.service_data) {
            ad.serviceData.emplace_back(CBUUID::UUIDWithString(uuid), bytes);
        }
    }
    ad.includeTxPower = a.tx_power.has_value();
    ad.turnSeconds = kTurnSeconds;
    return ad;
}

// The bytes a legacy advertisement takes (31 at most; the name goes in the scan response), as bluetoothd lays it out.
size_t advertisingBytes(const radio::LocalAdvertisement& ad) {
    size_t size = ad.discoverable ? 3 : 0;  // the flags
    size_t uuids[3] = {0, 0, 0};            // 16, 32 and 128 bits, one field each
    for (const auto& uuid : ad.serviceUUIDs) {
        ++uuids[uuid.bits() == 16 ? 0 : uuid.bits() == 32 ? 1 : 2];
    }
    const size_t widths[3] = {2, 4, 16};
    for (size_t i = 0; i < 3; ++i) {
        size += uuids[i] ? 2 + uuids[i] * widths[i] : 0;
    }
    for (const auto& entry : ad.manufacturerData) {
        size += 2 + entry.size();
    }
    for (const auto& [uuid, bytes] : ad.serviceData) {
        size += 2 + (uuid.bits() == 16 ? 2 : uuid.bits() == 32 ? 4 : 16) + bytes.size();
    }
    return size + (ad.includeTxPower ? 3 : 0);
}
constexpr size_t kAdvertisingBytes = 31;

// What the world answered, as the ATT code bluetoothd passes to the central: a device's refusal keeps its code;
// anything else (the link failed under the request) is an unlikely error.
CBATTError attResult(const NSError* error) {
    if (!error) {
        return CBATTError::Success;
    }
    if (error->domain == CBATTErrorDomain && error->code > 0 && error->code <= 0xFF) {
        return static_cast<CBATTError>(error->code);
    }
    return CBATTError::UnlikelyError;
}

}  // namespace

DeviceServer::DeviceServer(Setup setup)
    : setup_(std::move(setup)),
      key_(upper(setup_.device.identifier)),
      connectable_(setup_.device.advertising.connectable.value_or(true)) {}

void DeviceServer::start(std::function<void(const std::string* error)> done) {
    auto ad = advertisementOf(setup_.device);
    if (advertisingBytes(ad) > kAdvertisingBytes) {
        // Without its flags it may fit: found then by centrals that scan with a discovery filter only.
        ad.discoverable = false;
    }
    if (advertisingBytes(ad) > kAdvertisingBytes) {
        const std::string text = "the advertisement takes " + std::to_string(advertisingBytes(ad)) +
                                 " bytes, more than the 31 a legacy advertisement carries";
        return done(&text);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    advertisement_ = ad;
    advertising_ = true;
    world_ = sim::World::get().radio().openCentral(weak_from_this());
    peripheral_ = bluez::openBluezPeripheral(setup_.adapter, weak_from_this());

    // Every service, then both turns of the advertisement; the first refusal is the answer.
    struct Progress {
        std::mutex mutex;
        size_t left = 0;
        bool answered = false;
        std::function<void(const std::string*)> done;
    };
    auto progress = std::make_shared<Progress>();
    progress->done = std::move(done);
    const auto one = [progress](const std::string& what) {
        return [progress, what](const NSError* error) {
            std::unique_lock<std::mutex> guard(progress->mutex);
            if (progress->answered) {
                return;
            }
            if (error) {
                progress->answered = true;
                const std::string text = what + ": " + error->domain + ": " + error->description;
                guard.unlock();
                progress->done(&text);
                return;
            }
            if (--progress->left == 0) {
                progress->answered = true;
                guard.unlock();
                progress->done(nullptr);
            }
        };
    };
    const auto services = connectable_ ? setup_.tree.services : std::vector<radio::LocalService>{};
    progress->left = services.size() + std::size(kTurns);
    for (const auto& service : services) {
        peripheral_->addService(service, one("RegisterApplication of service " + service.uuid.UUIDString()));
    }
    for (const auto turn : kTurns) {
        peripheral_->startAdvertising(turn, ad, one("RegisterAdvertisement"));
    }
}

void DeviceServer::stop() {
    std::shared_ptr<radio::RadioPeripheral> peripheral;
    std::shared_ptr<radio::RadioCentral> world;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        peripheral = std::move(peripheral_);
        world = std::move(world_);
        // Requests that still come in until the peripheral is closed wait for a link that never comes, rather than
        // reach the world that is going.
        link_ = Link::Down;
        waiting_.clear();
    }
    // Outside the lock: closing waits for events under way, which take it.
    if (peripheral) {
        peripheral->close(std::chrono::milliseconds(1000));
    }
    if (world) {
        world->close();
    }
}

// ---- The real stack ----

void DeviceServer::peripheralStateChanged(CBManagerState state) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (state != CBManagerState::PoweredOn) {
        // bluetoothd or the adapter went: so did every link, whether or not their ends were signalled.
        centrals_.clear();
        releaseLocked();
        return resumeAdvertisingLocked();
    }
    if (wasOn_ && setup_.nameAdapter) {
        // bluetoothd came back without the adapter's name: a thread of its own, since it asks bluetoothd and waits.
        std::thread(setup_.nameAdapter).detach();
    }
    wasOn_ = true;
}

void DeviceServer::peripheralCentralConnected(const CentralKey& central) {
    std::lock_guard<std::mutex> lock(mutex_);
    linkSince_ = Clock::now();
    if (!connectable_) {
        return dropLinks();
    }
    const bool fresh = centrals_.insert(central).second;
    pauseAdvertisingLocked();
    connectLocked();
    const auto& pairing = setup_.device.pairing;
    if (fresh && pairing && pairing->security_request && setup_.askToPair) {
        // As the world's device does, `latency_ms` after the link is up.
        std::thread([ask = setup_.askToPair, central, wait = std::chrono::milliseconds(setup_.device.latency_ms)] {
            std::this_thread::sleep_for(wait);
            ask(central);
        }).detach();
    }
}

void DeviceServer::peripheralCentralDisconnected(const CentralKey& central) {
    std::lock_guard<std::mutex> lock(mutex_);
    centrals_.erase(central);
    if (centrals_.empty()) {
        releaseLocked();
        resumeAdvertisingLocked();
    }
}

// A device stops advertising while a central is connected, as a single-link device does. Advertising on through a
// link makes the kernel switch it off and on again as the link ends, just when a central that reconnects at once
// asks for its link; btvirt refuses that request when it falls between the two (status 0x3e, instead of waiting
// for the next advertisement as a controller does), and Linux 6.1 then leaves the connection pending until the
// central gives up.
void DeviceServer::pauseAdvertisingLocked() {
    if (advertising_ && peripheral_) {
        advertising_ = false;
        for (const auto turn : kTurns) {
            peripheral_->stopAdvertising(turn);
        }
    }
}

void DeviceServer::resumeAdvertisingLocked() {
    if (!advertising_ && peripheral_) {
        advertising_ = true;
        for (const auto turn : kTurns) {
            peripheral_->startAdvertising(turn, advertisement_, [](const NSError* error) {
                if (error && error->domain != "org.bluez.Error.Canceled") {  // not paused again meanwhile
                    std::fprintf(stderr, "tavrin-world-server: advertising again: %s: %s\n", error->domain.c_str(),
                                 error->description.c_str());
                }
            });
        }
    }
}

void DeviceServer::connectLocked() {
    if (link_ == Link::Down && world_) {
        link_ = Link::Connecting;
        world_->connect(key_);
    }
}

void DeviceServer::releaseLocked() {
    waiting_.clear();
    longWrites_.clear();
    if ((link_ == Link::Up || link_ == Link::Connecting) && world_) {
        link_ = Link::Closing;
        world_->cancelConnection(key_);
    }
}

void DeviceServer::dropLinks() {
    if (!setup_.dropLinks) {
        return;
    }
    // bluetoothd 5.66 crashes when a link goes while it is still setting it up (its MTU exchange with the central):
    // a young link is taken down once it has lasted a while.
    const auto wait = std::max(Clock::duration::zero(), linkSince_ + kYoungLink - Clock::now());
    std::thread([drop = setup_.dropLinks, wait] {
        std::this_thread::sleep_for(wait);
        drop();
    }).detach();
}

void DeviceServer::whenUpLocked(std::function<void()> request) {
    if (link_ == Link::Up) {
        request();
    } else {
        waiting_.push_back(std::move(request));
        connectLocked();
    }
}

void DeviceServer::peripheralRead(const radio::ReadRequest& request, radio::ReadReply reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    centrals_.insert(request.central);
    whenUpLocked([this, request, reply = std::move(reply)] { forwardRead(request, reply); });
}

void DeviceServer::forwardRead(const radio::ReadRequest& request, radio::ReadReply reply) {
    const auto offset = request.offset;
    auto done = [reply = std::move(reply), offset](const NSError* error, const std::string& value) {
        const CBATTError result = attResult(error);
        if (result != CBATTError::Success) {
            return reply(result, std::string());
        }
        if (offset > value.size()) {
            return reply(CBATTError::InvalidOffset, std::string());
        }
        reply(CBATTError::Success, value.substr(offset));
    };
    if (setup_.tree.descriptors.count(request.attribute)) {
        world_->readDescriptor(key_, static_cast<radio::AttributeHandle>(request.attribute), std::move(done));
    } else {
        world_->readCharacteristic(key_, static_cast<radio::AttributeHandle>(request.attribute), std::move(done));
    }
}

void DeviceServer::peripheralWrite(const radio::WriteRequest& request, radio::WriteReply reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    centrals_.insert(request.central);
    whenUpLocked([this, request, reply = std::move(reply)] { forwardWrite(request, reply); });
}

void DeviceServer::forwardWrite(const radio::WriteRequest& request, radio::WriteReply reply) {
    // A long write comes in parts, each at its offset; the device takes the value written so far each time.
    std::string& value = longWrites_[request.attribute];
    if (request.offset == 0) {
        value = request.value;
    } else if (request.offset == value.size()) {
        value += request.value;
    } else {
        return reply(CBATTError::InvalidOffset);
    }
    const auto handle = static_cast<radio::AttributeHandle>(request.attribute);
    auto done = [reply = std::move(reply)](const NSError* error) { reply(attResult(error)); };
    if (setup_.tree.descriptors.count(request.attribute)) {
        return world_->writeDescriptor(key_, handle, value, std::move(done));
    }
    const auto it = setup_.tree.properties.find(request.attribute);
    const auto properties = it == setup_.tree.properties.end() ? 0 : it->second;
    if (request.withResponse || (properties & CBCharacteristicPropertyWrite)) {
        world_->writeCharacteristic(key_, handle, value, std::move(done));
    } else {
        world_->writeWithoutResponse(key_, handle, value, std::move(done));
    }
}

void DeviceServer::peripheralSubscribed(LocalAttributeId characteristic) {
    std::lock_guard<std::mutex> lock(mutex_);
    subscribed_.insert(characteristic);
    if (link_ == Link::Up) {
        world_->setNotify(key_, static_cast<radio::AttributeHandle>(characteristic), true, [](const NSError*) {});
    }
}

void DeviceServer::peripheralUnsubscribed(LocalAttributeId characteristic) {
    std::lock_guard<std::mutex> lock(mutex_);
    subscribed_.erase(characteristic);
    if (link_ == Link::Up) {
        world_->setNotify(key_, static_cast<radio::AttributeHandle>(characteristic), false, [](const NSError*) {});
    }
}

// ---- The world ----

void DeviceServer::radioConnected(const radio::DeviceKey&) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (link_ != Link::Connecting || !world_) {
        return;
    }
    link_ = Link::Up;
    if (centrals_.empty()) {
        return releaseLocked();  // the central left meanwhile
    }
    // Subscriptions bluetoothd kept across links (a bonded central's) hold on the world's new link too.
    for (const auto characteristic : subscribed_) {
        world_->setNotify(key_, static_cast<radio::AttributeHandle>(characteristic), true, [](const NSError*) {});
    }
    auto waiting = std::move(waiting_);
    waiting_.clear();
    for (auto& request : waiting) {
        request();
    }
}

void DeviceServer::radioConnectFailed(const radio::DeviceKey&, const NSError&) {
    std::lock_guard<std::mutex> lock(mutex_);
    link_ = Link::Down;
    waiting_.clear();
    // The device does not take the connection: the central's link goes at once.
    dropLinks();
}

void DeviceServer::radioDisconnected(const radio::DeviceKey&, const NSError* error) {
    std::lock_guard<std::mutex> lock(mutex_);
    link_ = Link::Down;
    waiting_.clear();
    longWrites_.clear();
    if (error) {
        // The world lost the link (a drop fault, drop_after_ms): so does the air.
        return dropLinks();
    }
    if (!centrals_.empty()) {
        connectLocked();  // a central came while the world's link went down
    }
}

void DeviceServer::radioNotified(const radio::DeviceKey&, radio::AttributeHandle characteristic,
                                 const std::string& value) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (peripheral_) {
        peripheral_->updateValue(characteristic, value);
    }
}

}  // namespace worldserver
