// A virtual device: its attribute tree, values, faults, the writes it received, and the plug model.

#include <nlohmann/json.hpp>

#include <algorithm>
#include <stdexcept>

#include "SimInternal.h"
#include "SimRadio.h"

namespace platform::sim {

namespace {

const char* const kPlugService = "fb1e4001-54ae-4a28-9f74-dfccb248601d";
const char* const kPlugCommand = "fb1e4002-54ae-4a28-9f74-dfccb248601d";
const char* const kPlugStatus = "fb1e4003-54ae-4a28-9f74-dfccb248601d";
constexpr unsigned kMaxTimerSeconds = 0xFFFF;  // the status carries the remaining time in 16 bits

CBUUID parseUuid(const std::string& text, const std::string& what) {
    try {
        return CBUUID::UUIDWithString(text);
    } catch (const NSException&) {
        throw std::invalid_argument("invalid " + what + " UUID \"" + text + "\"");
    }
}

uint32_t fnv1a(const std::string& text) {
    uint32_t hash = 2166136261u;
    for (unsigned char ch : text) {
        hash ^= ch;
        hash *= 16777619u;
    }
    return hash;
}

DescriptorConfig* findDescriptor(CharacteristicConfig& c, const CBUUID& uuid) {
    for (auto& d : c.descriptors) {
        if (parseUuid(d.uuid, "descriptor") == uuid) {
            return &d;
        }
    }
    return nullptr;
}

// Gives a characteristic the properties and descriptors the model needs, keeping what the world file gives it.
void ensureModelCharacteristic(ServiceConfig& service, const char* uuid, CBCharacteristicProperties properties,
                               const std::vector<std::pair<const char*, std::optional<std::string>>>& descriptors) {
    const CBUUID wanted = CBUUID::UUIDWithString(uuid);
    CharacteristicConfig* target = nullptr;
    for (auto& c : service.characteristics) {
        if (parseUuid(c.uuid, "characteristic") == wanted) {
            target = &c;
            break;
        }
    }
    if (!target) {
        service.characteristics.push_back(CharacteristicConfig{});
        target = &service.characteristics.back();
        target->uuid = uuid;
    }
    target->properties |= properties;
    for (const auto& [d_uuid, d_value] : descriptors) {
        if (!findDescriptor(*target, CBUUID::UUIDWithString(d_uuid))) {
            DescriptorConfig descriptor;
            descriptor.uuid = d_uuid;
            descriptor.value = d_value;
            target->descriptors.push_back(std::move(descriptor));
        }
    }
}

void addPlugModel(PeripheralConfig& config) {
    const CBUUID plug = CBUUID::UUIDWithString(kPlugService);
    auto it = std::find_if(config.services.begin(), config.services.end(),
                           [&](const ServiceConfig& s) { return parseUuid(s.uuid, "service") == plug; });
    if (it == config.services.end()) {
        it = config.services.insert(config.services.begin(), ServiceConfig{kPlugService, {}, {}});
    }
    ensureModelCharacteristic(*it, kPlugCommand,
                              CBCharacteristicPropertyWrite | CBCharacteristicPropertyWriteWithoutResponse,
                              {{"2901", std::string("Command")}});
    ensureModelCharacteristic(*it, kPlugStatus, CBCharacteristicPropertyRead | CBCharacteristicPropertyNotify,
                              {{"2902", std::nullopt}, {"2901", std::string("Status")}});
}

// A world description may name the device's Bluetooth address; a radio session reports it.
template <typename Config, typename = void>
struct HasAddress : std::false_type {};
template <typename Config>
struct HasAddress<Config, std::void_t<decltype(std::declval<const Config&>().address)>> : std::true_type {};

template <typename Config>
void fillAddress(radio::AdvertisementReport& report, const Config& config) {
    if constexpr (HasAddress<Config>::value) {
        report.address = config.address;
    }
}

// The first service's start handle, as a device's attribute table numbers it after the generic services.
constexpr radio::AttributeHandle kFirstHandle = 0x000f;

}  // namespace

Device::Device(PeripheralConfig config_in) : config(std::move(config_in)) {
    if (config.identifier.empty()) {
        throw std::invalid_argument("a peripheral needs an identifier");
    }
    id = upper(config.identifier);
    if (config.model) {
        if (*config.model != "plug") {
            throw std::invalid_argument("unknown model \"" + *config.model + "\"");
        }
        addPlugModel(config);
        plug = true;
    }
    config.mtu = std::max(config.mtu, kDefaultMtu);
    if (config.pairing && config.pairing->bonded) {
        bond = config.pairing->method == PairingMethod::JustWorks ? Security::Encryption : Security::Authentication;
    }
    config.advertising.interval_ms = std::max(1u, config.advertising.interval_ms);
    config.connection.interval_ms = std::max(1u, config.connection.interval_ms);
    config.connection.packets_per_interval = std::max(1u, config.connection.packets_per_interval);
    phase_ms = fnv1a(id) % config.advertising.interval_ms;

    device_faults = config.faults;
    for (const auto& s : config.services) {
        ServiceModel sm{parseUuid(s.uuid, "service"), s.uuid, {}, 0};
        service_faults.push_back(s.faults);
        values.emplace_back();
        descriptor_values.emplace_back();
        characteristic_faults.emplace_back();
        descriptor_faults.emplace_back();
        periodic_running.emplace_back();
        periodic_next.emplace_back();
        for (const auto& c : s.characteristics) {
            CharacteristicModel cm{parseUuid(c.uuid, "characteristic"), c.uuid, c.properties, c.notifications, {}, 0};
            values.back().push_back(c.value);
            characteristic_faults.back().push_back(c.faults);
            descriptor_values.back().emplace_back();
            descriptor_faults.back().emplace_back();
            periodic_running.back().push_back(false);
            periodic_next.back().push_back(0);
            for (const auto& d : c.descriptors) {
                cm.descriptors.push_back(DescriptorModel{parseUuid(d.uuid, "descriptor"), d.uuid, 0});
                descriptor_values.back().back().push_back(d.value);
                descriptor_faults.back().back().push_back(d.faults);
            }
            sm.characteristics.push_back(std::move(cm));
        }
        services.push_back(std::move(sm));
    }
    if (plug) {
        const CBUUID ps = CBUUID::UUIDWithString(kPlugService);
        const CBUUID pc = CBUUID::UUIDWithString(kPlugCommand);
        const CBUUID pst = CBUUID::UUIDWithString(kPlugStatus);
        for (size_t i = 0; i < services.size(); ++i) {
            if (services[i].uuid == ps) {
                plug_service = i;
                break;
            }
        }
        const auto& chars = services[plug_service].characteristics;
        for (size_t i = 0; i < chars.size(); ++i) {
            if (chars[i].uuid == pc) {
                plug_command = i;
            } else if (chars[i].uuid == pst) {
                plug_status = i;
            }
        }
        values[plug_service][plug_status] = statusBytesLocked();
    }

    const AdvertisingConfig& a = config.advertising;
    advertisement.isConnectable = a.connectable;
    advertisement.txPowerLevel = a.tx_power;
    advertisement.manufacturerData = a.manufacturer_data;
    if (a.manufacturer_data && !a.more_manufacturer_data.empty()) {
        advertisement.manufacturerDataEntries.emplace(1, *a.manufacturer_data);
        advertisement.manufacturerDataEntries->insert(advertisement.manufacturerDataEntries->end(),
                                                      a.more_manufacturer_data.begin(), a.more_manufacturer_data.end());
    }
    if (a.service_data) {
        advertisement.serviceData.emplace();
        for (const auto& [uuid, bytes] : *a.service_data) {
            advertisement.serviceData->emplace_back(parseUuid(uuid, "service data"), bytes);
        }
    }
    if (a.service_uuids) {
        advertisement.serviceUUIDs.emplace();
        for (const auto& uuid : *a.service_uuids) {
            advertisement.serviceUUIDs->push_back(parseUuid(uuid, "advertised service"));
        }
        advertised_services = *advertisement.serviceUUIDs;
    }
    advertisement.localName = config.name;

    // Handles as an attribute table numbers them: a characteristic's declaration, then its value, then its
    // descriptors; the next characteristic and the next service follow on.
    unsigned next = kFirstHandle;
    for (size_t i = 0; i < services.size(); ++i) {
        if (next > 0xFFFF) {
            throw std::invalid_argument("too many attributes for one device");
        }
        services[i].handle = static_cast<radio::AttributeHandle>(next);
        attributes[services[i].handle] = AttributePath{i};
        ++next;
        for (size_t j = 0; j < services[i].characteristics.size(); ++j) {
            auto& c = services[i].characteristics[j];
            if (next + 1 + c.descriptors.size() > 0xFFFF) {
                throw std::invalid_argument("too many attributes for one device");
            }
            c.handle = static_cast<radio::AttributeHandle>(next);
            attributes[c.handle] = AttributePath{i, j};
            next += 2;
            for (size_t k = 0; k < c.descriptors.size(); ++k) {
                c.descriptors[k].handle = static_cast<radio::AttributeHandle>(next++);
                attributes[c.descriptors[k].handle] = AttributePath{i, j, k};
            }
        }
    }

    auto built = std::make_shared<radio::AdvertisementReport>();
    built->device = id;
    built->name = config.name;
    fillAddress(*built, config);
    built->advertisement = advertisement;
    built->rssi = config.advertising.rssi;
    report = std::move(built);
}

std::optional<Fault> Device::fault(const AttributePath& path, const std::string& kind) const {
    std::lock_guard<std::mutex> lock(mutex);
    const Faults* faults = &device_faults;
    if (path.descriptor != AttributePath::npos) {
        faults = &descriptor_faults[path.service][path.characteristic][path.descriptor];
    } else if (path.characteristic != AttributePath::npos) {
        faults = &characteristic_faults[path.service][path.characteristic];
    } else if (path.service != AttributePath::npos) {
        faults = &service_faults[path.service];
    }
    auto it = faults->find(kind);
    if (it == faults->end()) {
        return std::nullopt;
    }
    return it->second;
}

void Device::setFault(const AttributePath& path, const std::string& kind, std::optional<Fault> f) {
    std::lock_guard<std::mutex> lock(mutex);
    Faults* faults = &device_faults;
    if (path.descriptor != AttributePath::npos) {
        faults = &descriptor_faults[path.service][path.characteristic][path.descriptor];
    } else if (path.characteristic != AttributePath::npos) {
        faults = &characteristic_faults[path.service][path.characteristic];
    } else if (path.service != AttributePath::npos) {
        faults = &service_faults[path.service];
    }
    if (f) {
        (*faults)[kind] = *f;
    } else {
        faults->erase(kind);
    }
}

bool Device::find(const std::string& service, const std::string& characteristic, AttributePath& path) const {
    const CBUUID s = parseUuid(service, "service");
    const CBUUID c = parseUuid(characteristic, "characteristic");
    for (size_t i = 0; i < services.size(); ++i) {
        if (services[i].uuid != s) {
            continue;
        }
        const auto& chars = services[i].characteristics;
        for (size_t j = 0; j < chars.size(); ++j) {
            if (chars[j].uuid == c) {
                path.service = i;
                path.characteristic = j;
                return true;
            }
        }
    }
    return false;
}

void Device::attach(const std::shared_ptr<SimLink>& link) {
    std::lock_guard<std::mutex> lock(mutex);
    links.erase(std::remove_if(links.begin(), links.end(), [](const auto& w) { return w.expired(); }), links.end());
    links.push_back(link);
}

void Device::detach(const SimLink* link) {
    std::lock_guard<std::mutex> lock(mutex);
    links.erase(std::remove_if(links.begin(), links.end(),
                               [link](const auto& w) {
                                   auto l = w.lock();
                                   return !l || l.get() == link;
                               }),
                links.end());
}

std::vector<std::shared_ptr<SimLink>> Device::linksSnapshot() const {
    std::vector<std::shared_ptr<SimLink>> out;
    std::lock_guard<std::mutex> lock(mutex);
    out.reserve(links.size());
    for (const auto& weak : links) {
        if (auto link = weak.lock()) {
            out.push_back(std::move(link));
        }
    }
    return out;
}

std::string Device::statusBytesLocked() const {
    std::string bytes(3, '\0');
    bytes[0] = static_cast<char>(plug_on ? 1 : 0);
    bytes[1] = static_cast<char>(plug_remaining & 0xFF);
    bytes[2] = static_cast<char>((plug_remaining >> 8) & 0xFF);
    return bytes;
}

namespace {

struct PlugCommand {
    bool on = false;
    unsigned timer = 0;
};

// A command is a tab and a JSON object: "switch" 0 or 1 (required), "mode" any integer, "timer" whole seconds.
std::optional<PlugCommand> parsePlugCommand(const std::string& data) {
    if (data.empty() || data[0] != '\t') {
        return std::nullopt;
    }
    const auto json = nlohmann::json::parse(data.begin() + 1, data.end(), nullptr, false);
    if (json.is_discarded() || !json.is_object()) {
        return std::nullopt;
    }
    const auto sw = json.find("switch");
    if (sw == json.end() || !sw->is_number_integer()) {
        return std::nullopt;
    }
    const auto on = sw->get<int64_t>();
    if (on != 0 && on != 1) {
        return std::nullopt;
    }
    const auto mode = json.find("mode");
    if (mode != json.end() && !mode->is_number_integer()) {
        return std::nullopt;
    }
    PlugCommand command;
    command.on = on == 1;
    const auto timer = json.find("timer");
    if (timer != json.end()) {
        if (!timer->is_number_integer()) {
            return std::nullopt;
        }
        const auto seconds = timer->get<int64_t>();
        if (seconds < 0 || seconds > kMaxTimerSeconds) {
            return std::nullopt;
        }
        command.timer = static_cast<unsigned>(seconds);
    }
    return command;
}

}  // namespace

bool Device::receiveWrite(Scheduler& scheduler, size_t service, size_t characteristic, const std::string& data,
                          bool with_response) {
    bool accepted = true;
    bool changed = false;
    std::optional<uint64_t> countdown;
    {
        std::lock_guard<std::mutex> lock(mutex);
        writes.push_back(ReceivedWrite{config.services[service].uuid,
                                       config.services[service].characteristics[characteristic].uuid, data,
                                       with_response});
        values[service][characteristic] = data;
        if (plug && service == plug_service && characteristic == plug_command) {
            const auto command = parsePlugCommand(data);
            accepted = command.has_value();
            if (command) {
                const bool was_on = plug_on;
                const unsigned was_remaining = plug_remaining;
                plug_on = command->on;
                plug_remaining = command->on ? command->timer : 0;
                ++plug_countdown;  // any running countdown ends here
                if (plug_remaining > 0) {
                    countdown = plug_countdown;
                }
                changed = plug_on != was_on || plug_remaining != was_remaining;
            }
        }
    }
    if (countdown) {
        std::weak_ptr<Device> weak = weak_from_this();
        const uint64_t generation = *countdown;
        scheduler.after(std::chrono::seconds(1), [weak, generation, &scheduler] {
            if (auto device = weak.lock()) {
                device->countdownTick(scheduler, generation);
            }
        });
    }
    if (changed) {
        publishStatus();
    }
    return accepted;
}

void Device::countdownTick(Scheduler& scheduler, uint64_t generation) {
    bool again = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (removed || generation != plug_countdown || plug_remaining == 0) {
            return;
        }
        if (--plug_remaining == 0) {
            plug_on = false;
        } else {
            again = true;
        }
    }
    if (again) {
        std::weak_ptr<Device> weak = weak_from_this();
        scheduler.after(std::chrono::seconds(1), [weak, generation, &scheduler] {
            if (auto device = weak.lock()) {
                device->countdownTick(scheduler, generation);
            }
        });
    }
    publishStatus();
}

void Device::publishStatus() {
    std::lock_guard<std::mutex> order(notify_mutex);
    std::string bytes;
    {
        std::lock_guard<std::mutex> lock(mutex);
        bytes = statusBytesLocked();
        values[plug_service][plug_status] = bytes;
        listLinksLocked();
    }
    notifyLinks(plug_service, plug_status, bytes);
}

void Device::publish(size_t service, size_t characteristic, const std::string& value) {
    std::lock_guard<std::mutex> order(notify_mutex);
    {
        std::lock_guard<std::mutex> lock(mutex);
        values[service][characteristic] = value;
        listLinksLocked();
    }
    notifyLinks(service, characteristic, value);
}

void Device::listLinksLocked() {
    for (const auto& weak : links) {
        if (auto link = weak.lock()) {
            notified_links.push_back(std::move(link));
        }
    }
}

void Device::notifyLinks(size_t service, size_t characteristic, const std::string& value) {
    // Emptied however the loop ends, outside `mutex`: a link may go for good here.
    struct Empty {
        std::vector<std::shared_ptr<SimLink>>& links;
        ~Empty() { links.clear(); }
    } empty{notified_links};
    for (const auto& link : notified_links) {
        if (auto session = link->session.lock()) {
            session->notify(link, this, service, characteristic, value);
        }
    }
}

bool Device::anySubscriber(size_t service, size_t characteristic) {
    for (const auto& link : linksSnapshot()) {
        auto session = link->session.lock();
        if (session && session->subscribed(link, this, service, characteristic)) {
            return true;
        }
    }
    return false;
}

void Device::startPeriodic(Scheduler& scheduler, size_t service, size_t characteristic) {
    const auto& notifications = services[service].characteristics[characteristic].notifications;
    if (!notifications || notifications->values.empty()) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (periodic_running[service][characteristic]) {
            return;
        }
        periodic_running[service][characteristic] = true;
    }
    std::weak_ptr<Device> weak = weak_from_this();
    scheduler.after(std::chrono::milliseconds(std::max(1u, notifications->every_ms)),
                    [weak, service, characteristic, &scheduler] {
                        if (auto device = weak.lock()) {
                            device->periodicTick(scheduler, service, characteristic);
                        }
                    });
}

void Device::periodicTick(Scheduler& scheduler, size_t service, size_t characteristic) {
    if (removed || !anySubscriber(service, characteristic)) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            periodic_running[service][characteristic] = false;
        }
        // A subscriber that arrived between the test and the flag found it still set: start again for it.
        if (!removed && anySubscriber(service, characteristic)) {
            startPeriodic(scheduler, service, characteristic);
        }
        return;
    }
    const auto& notifications = *services[service].characteristics[characteristic].notifications;
    std::string value;
    {
        std::lock_guard<std::mutex> lock(mutex);
        size_t& next = periodic_next[service][characteristic];
        value = notifications.values[next % notifications.values.size()];
        next = (next + 1) % notifications.values.size();
    }
    publish(service, characteristic, value);
    std::weak_ptr<Device> weak = weak_from_this();
    scheduler.after(std::chrono::milliseconds(std::max(1u, notifications.every_ms)),
                    [weak, service, characteristic, &scheduler] {
                        if (auto device = weak.lock()) {
                            device->periodicTick(scheduler, service, characteristic);
                        }
                    });
}

}  // namespace platform::sim
