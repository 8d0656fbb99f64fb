// What the session knows of bluetoothd: whether it is there (the owner of org.bluez, asked of the bus and then
// followed through NameOwnerChanged), its adapter (present, powered, with the GATT and advertising managers), and the
// centrals whose links to that adapter are up (its Device1 objects' Connected). Signals count only from their true
// senders: the bus's from the bus, bluetoothd's from its unique name.

#include <utility>

#include "PeripheralBus.h"
#include "PeripheralSession.h"

namespace platform::bluez::peripheral {

namespace {

const char* const kBus = "org.freedesktop.DBus";
const char* const kBluez = "org.bluez";
const char* const kAdapter = "org.bluez.Adapter1";
const char* const kDevice = "org.bluez.Device1";
const char* const kGattManager = "org.bluez.GattManager1";
const char* const kAdvertisingManager = "org.bluez.LEAdvertisingManager1";

constexpr auto kAskLimit = std::chrono::milliseconds(5000);

template <typename T>
std::optional<T> property(const Variants& properties, const char* name) {
    auto it = properties.find(name);
    if (it == properties.end() || it->second.peekValueType() != sdbus::signature_of<T>::str()) {
        return std::nullopt;
    }
    return it->second.get<T>();
}

// "/org/bluez/hci1/dev_AA_BB_CC_DD_EE_FF" -> "AA:BB:CC:DD:EE:FF".
std::string addressInPath(const std::string& path) {
    const auto at = path.rfind("/dev_");
    if (at == std::string::npos) {
        return path;
    }
    std::string address = path.substr(at + 5);
    for (char& c : address) {
        if (c == '_') {
            c = ':';
        }
    }
    return address;
}

}  // namespace

void PeripheralSession::callDaemon(const std::string& destination, const std::string& path,
                                   const std::string& interface, const std::string& method,
                                   const std::function<void(sdbus::MethodCall&)>& args,
                                   std::chrono::milliseconds timeout,
                                   std::function<void(sdbus::MethodReply* reply, const sdbus::Error* error)> done) {
    try {
        auto& proxy = proxies_[destination + path];
        if (!proxy) {
            proxy = sdbus::createProxy(loop_->connection(), destination, path);
        }
        auto call = proxy->createMethodCall(interface, method);
        if (args) {
            args(call);
        }
        const uint64_t generation = daemonGeneration_;
        proxy->callMethod(
            call,
            [weak = weak_from_this(), generation, done = std::move(done)](sdbus::MethodReply& reply,
                                                                          const sdbus::Error* error) {
                auto self = weak.lock();
                // A reply from a bluetoothd that has gone since (or for a session closing) is stale.
                if (!self || (generation != self->daemonGeneration_ && !self->closing_)) {
                    return;
                }
                done(error ? nullptr : &reply, error);
            },
            std::chrono::duration_cast<std::chrono::microseconds>(timeout));
    } catch (const sdbus::Error& e) {
        done(nullptr, &e);
    }
}

void PeripheralSession::watchBus() {
    auto& connection = loop_->connection();
    const auto weak = weak_from_this();
    matches_.push_back(connection.addMatch(
        "type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',member='NameOwnerChanged',"
        "arg0='org.bluez'",
        [weak](sdbus::Message& m) {
            auto self = weak.lock();
            if (!self || m.getSender() != std::string(kBus)) {
                return;  // anyone can send us this signal, past the rule: only the bus's counts
            }
            std::string name, old_owner, new_owner;
            m >> name >> old_owner >> new_owner;
            if (name == kBluez) {
                self->ownerChanged(new_owner);
            }
        }));
    matches_.push_back(connection.addMatch(
        "type='signal',sender='org.bluez',interface='org.freedesktop.DBus.ObjectManager'", [weak](sdbus::Message& m) {
            auto self = weak.lock();
            if (!self || self->daemon_ != Daemon::Present || m.getSender() != self->owner_) {
                return;
            }
            sdbus::ObjectPath path;
            m >> path;
            if (m.getMemberName() == std::string("InterfacesAdded")) {
                Interfaces interfaces;
                m >> interfaces;
                self->interfacesAdded(path, interfaces);
            } else if (m.getMemberName() == std::string("InterfacesRemoved")) {
                std::vector<std::string> interfaces;
                m >> interfaces;
                self->interfacesRemoved(path, interfaces);
            }
        }));
    matches_.push_back(
        connection.addMatch("type='signal',sender='org.bluez',interface='org.freedesktop.DBus."
                            "Properties',member='PropertiesChanged',path_namespace='" +
                                adapterPath_ + "'",
                            [weak](sdbus::Message& m) {
                                auto self = weak.lock();
                                if (!self || self->daemon_ != Daemon::Present || m.getSender() != self->owner_) {
                                    return;
                                }
                                std::string interface;
                                Variants changed;
                                m >> interface >> changed;
                                self->propertiesChanged(m.getPath(), interface, changed);
                            }));
    askOwner();
}

void PeripheralSession::askOwner() {
    daemon_ = Daemon::Asking;
    const std::string bluez = kBluez;
    callDaemon(
        kBus, "/org/freedesktop/DBus", kBus, "GetNameOwner", [&bluez](sdbus::MethodCall& m) { m << bluez; }, kAskLimit,
        [this](sdbus::MethodReply* reply, const sdbus::Error* error) {
            if (daemon_ != Daemon::Asking) {
                return;  // NameOwnerChanged told first
            }
            std::string owner;
            if (reply) {
                *reply >> owner;
            } else if (error->getName() != "org.freedesktop.DBus.Error.NameHasNoOwner") {
                // The bus did not answer: ask again shortly.
                loop_->after(std::chrono::seconds(1), [weak = weak_from_this()] {
                    if (auto self = weak.lock(); self && self->daemon_ == Daemon::Asking) {
                        self->askOwner();
                    }
                });
                return;
            }
            ownerChanged(owner);
        });
}

void PeripheralSession::ownerChanged(const std::string& owner) {
    if (owner == owner_ && (daemon_ == Daemon::Present || daemon_ == Daemon::Listing)) {
        return;
    }
    if (!owner_.empty()) {
        daemonGone();
    }
    owner_ = owner;
    ++daemonGeneration_;
    if (owner.empty()) {
        daemon_ = Daemon::Absent;
        updateState();
        return;
    }
    listObjects();
}

void PeripheralSession::listObjects() {
    daemon_ = Daemon::Listing;
    callDaemon(owner_, "/", "org.freedesktop.DBus.ObjectManager", "GetManagedObjects", nullptr, kAskLimit,
               [this](sdbus::MethodReply* reply, const sdbus::Error* error) {
                   if (error) {
                       // bluetoothd is starting or busy: ask again.
                       loop_->after(std::chrono::seconds(1), [weak = weak_from_this(), owner = owner_] {
                           if (auto self = weak.lock(); self && self->owner_ == owner) {
                               self->listObjects();
                           }
                       });
                       return;
                   }
                   std::map<sdbus::ObjectPath, Interfaces> objects;
                   *reply >> objects;
                   takeObjects(objects);
               });
}

void PeripheralSession::takeObjects(const std::map<sdbus::ObjectPath, Interfaces>& objects) {
    daemon_ = Daemon::Present;
    adapterPresent_ = powered_ = gattManager_ = advertisingManager_ = false;
    for (const auto& [path, interfaces] : objects) {
        interfacesAdded(path, interfaces);
    }
    updateState();
}

bool PeripheralSession::isDevicePath(const std::string& path) const {
    const std::string prefix = adapterPath_ + "/dev_";
    return path.compare(0, prefix.size(), prefix) == 0 && path.find('/', prefix.size()) == std::string::npos;
}

void PeripheralSession::interfacesAdded(const std::string& path, const Interfaces& interfaces) {
    if (path == adapterPath_) {
        for (const auto& [name, properties] : interfaces) {
            if (name == kAdapter) {
                adapterPresent_ = true;
                powered_ = property<bool>(properties, "Powered").value_or(false);
            } else if (name == kGattManager) {
                gattManager_ = true;
            } else if (name == kAdvertisingManager) {
                advertisingManager_ = true;
            }
        }
        if (daemon_ == Daemon::Present) {
            updateState();
        }
        return;
    }
    if (!isDevicePath(path)) {
        return;
    }
    auto it = interfaces.find(kDevice);
    if (it != interfaces.end()) {
        takeDevice(path, it->second);
    }
}

void PeripheralSession::takeDevice(const std::string& path, const Variants& properties) {
    Central& c = centrals_[path];
    if (auto address = property<std::string>(properties, "Address")) {
        c.address = *address;
    } else if (c.address.empty()) {
        c.address = addressInPath(path);
    }
    if (auto connected = property<bool>(properties, "Connected")) {
        centralLink(path, *connected);
    }
}

void PeripheralSession::interfacesRemoved(const std::string& path, const std::vector<std::string>& interfaces) {
    const auto removes = [&](const char* name) {
        return std::find(interfaces.begin(), interfaces.end(), name) != interfaces.end();
    };
    if (path == adapterPath_) {
        if (removes(kAdapter)) {
            // The adapter went, and bluetoothd forgot what it served there.
            adapterPresent_ = powered_ = gattManager_ = advertisingManager_ = false;
            for (const auto& [device, c] : centrals_) {
                centralLink(device, false);
            }
            centrals_.clear();
            registrationsLost();
        }
        gattManager_ = gattManager_ && !removes(kGattManager);
        advertisingManager_ = advertisingManager_ && !removes(kAdvertisingManager);
        updateState();
        return;
    }
    if (isDevicePath(path) && removes(kDevice)) {
        centralLink(path, false);
        centrals_.erase(path);
    }
}

void PeripheralSession::propertiesChanged(const std::string& path, const std::string& interface,
                                          const Variants& changed) {
    if (path == adapterPath_ && interface == kAdapter) {
        if (auto powered = property<bool>(changed, "Powered")) {
            powered_ = *powered;
            updateState();
        }
    } else if (interface == kDevice && isDevicePath(path)) {
        takeDevice(path, changed);
    }
}

void PeripheralSession::centralLink(const std::string& path, bool connected) {
    auto it = centrals_.find(path);
    if (it == centrals_.end() || it->second.connected == connected) {
        return;
    }
    it->second.connected = connected;
    const radio::CentralKey address = it->second.address;
    emit([&](radio::RadioPeripheralEvents& l) {
        if (connected) {
            l.peripheralCentralConnected(address);
        } else {
            l.peripheralCentralDisconnected(address);
        }
    });
}

radio::CentralKey PeripheralSession::centralAt(const std::string& devicePath) {
    if (!isDevicePath(devicePath)) {
        return addressInPath(devicePath);
    }
    Central& c = centrals_[devicePath];
    if (c.address.empty()) {
        c.address = addressInPath(devicePath);
    }
    // A request comes over a link that is up, whether or not bluetoothd said so (it sometimes does not).
    centralLink(devicePath, true);
    return c.address;
}

// bluetoothd went: what it served, and every link, went with it.
void PeripheralSession::daemonGone() {
    for (const auto& [path, c] : centrals_) {
        centralLink(path, false);
    }
    centrals_.clear();
    adapterPresent_ = powered_ = gattManager_ = advertisingManager_ = false;
    proxies_.clear();
    registrationsLost();
}

bool PeripheralSession::ready() const {
    return daemon_ == Daemon::Present && adapterPresent_ && powered_ && gattManager_ && advertisingManager_;
}

void PeripheralSession::updateState() {
    CBManagerState state = CBManagerState::Unknown;
    if (daemon_ == Daemon::Absent) {
        state = wasOn_ ? CBManagerState::Resetting : CBManagerState::Unsupported;
    } else if (daemon_ == Daemon::Present) {
        if (!adapterPresent_ || !gattManager_) {
            state = wasOn_ ? CBManagerState::Resetting : CBManagerState::Unsupported;
        } else if (!powered_ || !advertisingManager_) {
            state = CBManagerState::PoweredOff;
        } else {
            state = CBManagerState::PoweredOn;
            wasOn_ = true;
        }
    } else {
        return;  // still asking
    }
    setState(state);
    pump();
}

}  // namespace platform::bluez::peripheral
