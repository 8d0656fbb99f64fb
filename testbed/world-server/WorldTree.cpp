// Learning the devices' tables: one central of the world's radio connects to every connectable device and
// discovers its services, characteristics and descriptors, stage by stage, as any central would.

#include "WorldTree.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>

#include "platform/sim/World.h"

namespace worldserver {

namespace {

using namespace platform;
using radio::AttributeHandle;

std::string upper(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return text;
}

CBUUID uuidOf(const std::string& text) {
    return CBUUID::UUIDWithString(text);
}

// What a world file's security asks of reads, writes and subscriptions.
radio::AttributePermissions permissionsFor(sim::Security security) {
    using namespace radio;
    AttributePermissions p = AttributePermissionReadable | AttributePermissionWriteable;
    if (security == sim::Security::Encryption) {
        p |= AttributePermissionReadEncryptionRequired | AttributePermissionWriteEncryptionRequired |
             AttributePermissionNotifyEncryptionRequired;
    } else if (security == sim::Security::Authentication) {
        p |= AttributePermissionReadAuthenticationRequired | AttributePermissionWriteAuthenticationRequired |
             AttributePermissionNotifyAuthenticationRequired;
    }
    return p;
}

radio::AttributePermissions subscriptionPermissions(sim::Security security) {
    using namespace radio;
    if (security == sim::Security::Encryption) {
        return AttributePermissionNotifyEncryptionRequired;
    }
    if (security == sim::Security::Authentication) {
        return AttributePermissionNotifyAuthenticationRequired;
    }
    return 0;
}

// The n-th entry of `list` whose UUID is `uuid`, as the world file lists them; a model's own attribute has none.
template <typename Config>
const Config* nth(const std::vector<Config>& list, const CBUUID& uuid, size_t n) {
    for (const auto& entry : list) {
        if (uuidOf(entry.uuid) == uuid && n-- == 0) {
            return &entry;
        }
    }
    return nullptr;
}

// Discovery of every device at once; the world's radio answers on its own thread.
class Learner : public radio::RadioCentralEvents, public std::enable_shared_from_this<Learner> {
  public:
    explicit Learner(const sim::WorldConfig& world) : world_(world) {}

    void begin(const std::shared_ptr<radio::RadioCentral>& central) {
        std::lock_guard<std::mutex> lock(mutex_);
        central_ = central;
        for (const auto& p : world_.peripherals) {
            if (p.advertising.connectable.value_or(true)) {
                ++outstanding_;
                central->connect(upper(p.identifier));
            }
        }
    }

    bool wait(std::chrono::milliseconds limit) {
        std::unique_lock<std::mutex> lock(mutex_);
        return done_.wait_for(lock, limit, [this] { return outstanding_ == 0; });
    }

    std::map<std::string, DeviceTree> trees() {
        std::lock_guard<std::mutex> lock(mutex_);
        return trees_;
    }

    void radioStateChanged(CBManagerState) override {}
    void radioDiscovered(const std::vector<radio::Sighting>&) override {}
    void radioConnectFailed(const radio::DeviceKey&, const NSError&) override {}
    void radioDisconnected(const radio::DeviceKey&, const NSError*) override {}
    void radioNotified(const radio::DeviceKey&, AttributeHandle, const std::string&) override {}

    void radioConnected(const radio::DeviceKey& device) override {
        std::lock_guard<std::mutex> lock(mutex_);
        auto weak = weak_from_this();
        central_->discoverServices(
            device, [weak, device](const NSError* error, const std::vector<radio::ServiceInfo>& services) {
                if (auto self = weak.lock()) {
                    self->onServices(device, error, services);
                }
            });
    }

  private:
    const sim::PeripheralConfig* config(const std::string& device) const {
        for (const auto& p : world_.peripherals) {
            if (upper(p.identifier) == device) {
                return &p;
            }
        }
        return nullptr;
    }

    void finishOne() {
        if (--outstanding_ == 0) {
            done_.notify_all();
        }
    }

    void onServices(const std::string& device, const NSError* error, const std::vector<radio::ServiceInfo>& list) {
        std::lock_guard<std::mutex> lock(mutex_);
        DeviceTree& tree = trees_[device];
        const sim::PeripheralConfig* p = config(device);
        std::map<CBUUID, size_t> seen;
        for (const auto& s : list) {
            radio::LocalService service;
            service.id = s.handle;
            service.uuid = s.uuid;
            tree.services.push_back(service);
            serviceConfigs_[device][s.handle] = p ? nth(p->services, s.uuid, seen[s.uuid]++) : nullptr;
        }
        if (error || list.empty()) {
            return finishOne();
        }
        auto weak = weak_from_this();
        for (const auto& s : list) {
            ++stages_[device];
            central_->discoverCharacteristics(
                device, s.handle,
                [weak, device, service = s.handle](const NSError* e,
                                                   const std::vector<radio::CharacteristicInfo>& characteristics) {
                    if (auto self = weak.lock()) {
                        self->onCharacteristics(device, service, e, characteristics);
                    }
                });
        }
    }

    radio::LocalService* serviceOf(DeviceTree& tree, AttributeHandle handle) {
        for (auto& s : tree.services) {
            if (s.id == handle) {
                return &s;
            }
        }
        return nullptr;
    }

    void onCharacteristics(const std::string& device, AttributeHandle service, const NSError* error,
                           const std::vector<radio::CharacteristicInfo>& list) {
        std::lock_guard<std::mutex> lock(mutex_);
        DeviceTree& tree = trees_[device];
        radio::LocalService* s = serviceOf(tree, service);
        const sim::ServiceConfig* sc = serviceConfigs_[device][service];
        std::map<CBUUID, size_t> seen;
        auto weak = weak_from_this();
        for (const auto& c : list) {
            if (!s || error) {
                break;
            }
            const sim::CharacteristicConfig* cc = sc ? nth(sc->characteristics, c.uuid, seen[c.uuid]++) : nullptr;
            radio::LocalCharacteristic characteristic;
            characteristic.id = c.handle;
            characteristic.uuid = c.uuid;
            characteristic.properties = c.properties;
            characteristic.permissions = permissionsFor(cc ? cc->security : sim::Security::None);
            s->characteristics.push_back(characteristic);
            tree.properties[c.handle] = c.properties;
            characteristicConfigs_[device][c.handle] = cc;
            ++stages_[device];
            central_->discoverDescriptors(device, c.handle,
                                          [weak, device, service, handle = c.handle](
                                              const NSError* e, const std::vector<radio::DescriptorInfo>& descriptors) {
                                              if (auto self = weak.lock()) {
                                                  self->onDescriptors(device, service, handle, e, descriptors);
                                              }
                                          });
        }
        stageDone(device);
    }

    void onDescriptors(const std::string& device, AttributeHandle service, AttributeHandle characteristic,
                       const NSError* error, const std::vector<radio::DescriptorInfo>& list) {
        std::lock_guard<std::mutex> lock(mutex_);
        DeviceTree& tree = trees_[device];
        radio::LocalService* s = serviceOf(tree, service);
        const sim::CharacteristicConfig* cc = characteristicConfigs_[device][characteristic];
        radio::LocalCharacteristic* c = nullptr;
        for (auto& entry : s ? s->characteristics : noCharacteristics_) {
            if (entry.id == characteristic) {
                c = &entry;
            }
        }
        std::map<CBUUID, size_t> seen;
        static const CBUUID cccd = CBUUID::UUIDWithString("2902");
        for (const auto& d : list) {
            if (!c || error) {
                break;
            }
            const sim::DescriptorConfig* dc = cc ? nth(cc->descriptors, d.uuid, seen[d.uuid]++) : nullptr;
            const sim::Security security = dc ? dc->security : sim::Security::None;
            if (d.uuid == cccd) {
                // bluetoothd serves the client configuration; its security is the subscription's.
                c->permissions |= subscriptionPermissions(security);
                continue;
            }
            radio::LocalDescriptor descriptor;
            descriptor.id = d.handle;
            descriptor.uuid = d.uuid;
            descriptor.permissions = permissionsFor(security);
            c->descriptors.push_back(descriptor);
            tree.descriptors[d.handle] = true;
        }
        stageDone(device);
    }

    void stageDone(const std::string& device) {
        if (--stages_[device] == 0) {
            finishOne();
        }
    }

    const sim::WorldConfig& world_;
    std::mutex mutex_;  // guards every field below
    std::condition_variable done_;
    std::shared_ptr<radio::RadioCentral> central_;
    size_t outstanding_ = 0;
    std::map<std::string, size_t> stages_;
    std::map<std::string, DeviceTree> trees_;
    std::map<std::string, std::map<AttributeHandle, const sim::ServiceConfig*>> serviceConfigs_;
    std::map<std::string, std::map<AttributeHandle, const sim::CharacteristicConfig*>> characteristicConfigs_;
    std::vector<radio::LocalCharacteristic> noCharacteristics_;
};

void clearFaults(sim::Faults& faults) {
    faults.clear();
}

}  // namespace

std::map<std::string, DeviceTree> learnTrees(const sim::WorldConfig& world, std::chrono::milliseconds limit) {
    sim::WorldConfig plain = servedWorld(world);
    for (auto& p : plain.peripherals) {
        clearFaults(p.faults);
        p.latency_ms = 0;
        p.connection = sim::ConnectionConfig{};
        p.connection.delay_ms = 0;
        for (auto& s : p.services) {
            clearFaults(s.faults);
            for (auto& c : s.characteristics) {
                clearFaults(c.faults);
                for (auto& d : c.descriptors) {
                    clearFaults(d.faults);
                }
            }
        }
    }
    auto& simulated = sim::World::get();
    simulated.reset(std::move(plain));
    auto learner = std::make_shared<Learner>(world);
    auto central = simulated.radio().openCentral(learner);
    learner->begin(central);
    const bool complete = learner->wait(limit);
    central->close();
    if (!complete) {
        throw std::runtime_error("the simulated world did not show every device's services in time");
    }
    return learner->trees();
}

sim::WorldConfig servedWorld(sim::WorldConfig world) {
    world.adapter = sim::AdapterConfig{};
    world.adapter.state_delay_ms = 0;
    for (auto& p : world.peripherals) {
        p.pairing.reset();
        // How the device's link goes down is the real stack's business: the world's link behind it goes at once,
        // so that the next central's requests do not wait for it (or, with a hanging disconnection, for ever).
        p.connection.disconnect = sim::DisconnectBehaviour::Disconnect;
        p.connection.disconnect_delay_ms = 0;
        for (auto& s : p.services) {
            for (auto& c : s.characteristics) {
                c.security = sim::Security::None;
                for (auto& d : c.descriptors) {
                    d.security = sim::Security::None;
                }
            }
        }
    }
    return world;
}

}  // namespace worldserver
