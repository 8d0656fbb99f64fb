#include "BluezSimulator.h"

#include "platform/sim/WorldConfig.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <optional>
#include <set>
#include <type_traits>
#include <utility>
#include <vector>

namespace bluezsim {

using platform::CBManagerState;
using platform::CBUUID;
using platform::NSError;
using platform::radio::AdvertisementReport;
using platform::radio::AttributeHandle;
using platform::radio::CharacteristicInfo;
using platform::radio::DescriptorInfo;
using platform::radio::ServiceInfo;
using Bytes = std::vector<uint8_t>;
using Options = std::map<std::string, sdbus::Variant>;
using Clock = std::chrono::steady_clock;

namespace {

const std::string kAgentManager = "org.bluez.AgentManager1";
const std::string kProfileManager = "org.bluez.ProfileManager1";
const std::string kAdapter = "org.bluez.Adapter1";
const std::string kDevice = "org.bluez.Device1";
const std::string kService = "org.bluez.GattService1";
const std::string kCharacteristic = "org.bluez.GattCharacteristic1";
const std::string kDescriptor = "org.bluez.GattDescriptor1";
const std::string kAdapterPath = "/org/bluez/hci0";
// An address of the range set aside for documentation: it belongs to no real controller.
const std::string kAdapterAddress = "00:00:5E:00:53:00";
const std::string kAdapterName = "tavrin-bluez-sim";

constexpr size_t kMaxAttributeValue = 512;
constexpr auto kTemporaryLifetime = std::chrono::seconds(30);
constexpr auto kSweepPeriod = std::chrono::seconds(5);
// bluetoothd re-signals RSSI without a discovery filter only when it moved this much.
constexpr int kRssiDelta = 8;
// A request the device leaves unanswered this long costs the link, as bluetoothd's ATT timeout does.
constexpr auto kAttTimeout = std::chrono::seconds(30);

sdbus::Error bluezError(const char* name, const std::string& message) {
    return sdbus::Error(std::string("org.bluez.Error.") + name, message);
}
sdbus::Error failed(const std::string& message) {
    return bluezError("Failed", message);
}
sdbus::Error inProgress() {
    return bluezError("InProgress", "In Progress");
}
sdbus::Error notSupported() {
    return bluezError("NotSupported", "Operation is not supported");
}
sdbus::Error invalidArguments() {
    return bluezError("InvalidArguments", "Invalid arguments in method call");
}
sdbus::Error notReady() {
    return bluezError("NotReady", "Resource Not Ready");
}
sdbus::Error notConnected() {
    return failed("Not connected");
}
sdbus::Error attFailure(long code) {
    char text[64];
    std::snprintf(text, sizeof text, "Operation failed with ATT error: 0x%02lx",
                  static_cast<unsigned long>(code) & 0xFFu);
    return failed(text);
}
sdbus::Error linkLost() {
    return attFailure(0x0E);
}

// What bluetoothd answers for the ATT error a device gave.
sdbus::Error attError(long code) {
    switch (code) {
        case 0x02:
            return bluezError("NotPermitted", "Read not permitted");
        case 0x03:
            return bluezError("NotPermitted", "Write not permitted");
        case 0x05:
        case 0x0C:
        case 0x0F:
            return bluezError("NotPermitted", "Not paired");
        case 0x06:
            return notSupported();
        case 0x07:
            return bluezError("InvalidArguments", "Invalid offset");
        case 0x08:
            return bluezError("NotAuthorized", "Operation Not Authorized");
        case 0x0D:
            return bluezError("InvalidArguments", "Invalid Length");
        default:
            return attFailure(code);
    }
}

// A request's error from the radio: the device's ATT answer, or else the link failed under it.
sdbus::Error requestError(const NSError& error) {
    return error.domain == "CBATTErrorDomain" ? attError(error.code) : linkLost();
}

std::string lower(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

// bluetoothd's form of a UUID: 128 bits, lower case.
std::string uuidText(const CBUUID& uuid) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    const auto& b = uuid.data();
    for (size_t i = 0; i < b.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            out += '-';
        }
        out += digits[b[i] >> 4];
        out += digits[b[i] & 0x0F];
    }
    return out;
}

std::string handleName(const char* kind, AttributeHandle handle) {
    char text[32];
    std::snprintf(text, sizeof text, "/%s%04x", kind, static_cast<unsigned>(handle));
    return text;
}

Bytes bytesOf(const std::string& data) {
    return Bytes(data.begin(), data.end());
}

std::vector<std::string> flagsOf(platform::CBCharacteristicProperties properties) {
    static const std::pair<platform::CBCharacteristicProperties, const char*> names[] = {
        {platform::CBCharacteristicPropertyBroadcast, "broadcast"},
        {platform::CBCharacteristicPropertyRead, "read"},
        {platform::CBCharacteristicPropertyWriteWithoutResponse, "write-without-response"},
        {platform::CBCharacteristicPropertyWrite, "write"},
        {platform::CBCharacteristicPropertyNotify, "notify"},
        {platform::CBCharacteristicPropertyIndicate, "indicate"},
        {platform::CBCharacteristicPropertyAuthenticatedSignedWrites, "authenticated-signed-writes"},
        {platform::CBCharacteristicPropertyExtendedProperties, "extended-properties"}};
    std::vector<std::string> out;
    for (const auto& [bit, name] : names) {
        if ((properties & bit) != 0) {
            out.emplace_back(name);
        }
    }
    return out;
}

// Services a bluetoothd plugin claims are not exported: GAP, HID and Scan Parameters.
bool claimedByPlugin(const CBUUID& uuid) {
    static const CBUUID claimed[] = {CBUUID::UUIDWithString("1800"), CBUUID::UUIDWithString("1812"),
                                     CBUUID::UUIDWithString("1813")};
    return std::find(std::begin(claimed), std::end(claimed), uuid) != std::end(claimed);
}

// The "offset" and "type" options of ReadValue and WriteValue as bluetoothd reads them: keys in any case,
// other keys ignored, a value of the wrong type refused.
bool parseOptions(const Options& options, uint16_t& offset, std::optional<std::string>* type) {
    for (const auto& [key, value] : options) {
        const std::string k = lower(key);
        if (k == "offset") {
            if (value.peekValueType() != "q") {
                return false;
            }
            offset = value.get<uint16_t>();
        } else if (type != nullptr && k == "type") {
            if (value.peekValueType() != "s") {
                return false;
            }
            *type = value.get<std::string>();
        }
    }
    return true;
}

std::optional<NSError> copyError(const NSError* error) {
    return error ? std::optional<NSError>(*error) : std::nullopt;
}

}  // namespace

std::string devicePath(const std::string& address) {
    std::string path = kAdapterPath + "/dev_" + address;
    std::replace(path.begin(), path.end(), ':', '_');
    return path;
}

struct BluezSimulator::Impl : std::enable_shared_from_this<BluezSimulator::Impl> {
    // --- The model. Everything below is touched on the loop's thread only. ---

    struct ReadOp {
        uint64_t id;
        uint16_t offset;
        std::vector<sdbus::MethodCall> calls;  // concurrent reads at one offset share the answer
    };
    struct WriteOp {
        uint64_t id;
        sdbus::MethodCall call;
    };

    // What characteristics and descriptors share: a value cache and one read and one write at a time.
    struct Attribute {
        AttributeHandle handle = 0;
        CBUUID uuid;
        std::unique_ptr<ObjectNode> node;
        std::optional<ReadOp> read;
        std::optional<WriteOp> write;
    };
    struct Descriptor : Attribute {
        bool cccd = false;
    };
    struct Characteristic : Attribute {
        platform::CBCharacteristicProperties properties = 0;
        std::vector<std::unique_ptr<Descriptor>> descriptors;
        std::set<std::string> sessions;  // clients (unique bus names) with a notification session
        bool notifying = false;          // the Notifying property
        bool subscribed = false;         // the device notifies on this link
        bool subscribing = false;
        uint64_t notify_op = 0;                      // the subscription request whose answer counts
        std::vector<sdbus::MethodCall> start_calls;  // StartNotify calls waiting for the subscription
        bool subscribable() const {
            return (properties &
                    (platform::CBCharacteristicPropertyNotify | platform::CBCharacteristicPropertyIndicate)) != 0;
        }
    };
    struct Service {
        AttributeHandle handle = 0;
        CBUUID uuid;
        std::unique_ptr<ObjectNode> node;  // null for a service a plugin claims
        std::vector<std::unique_ptr<Characteristic>> characteristics;
    };

    struct Discovery {
        uint64_t id = 0;
        std::vector<ServiceInfo> services;
        std::map<AttributeHandle, std::vector<CharacteristicInfo>> characteristics;  // by service
        std::map<AttributeHandle, std::vector<DescriptorInfo>> descriptors;          // by characteristic
        size_t outstanding = 0;
    };

    enum class Link {
        Idle,
        Connecting,
        Connected,
        Disconnecting,  // Disconnect() asked; the link is still up
        Cancelling,     // an attempt given up; the radio has yet to confirm
    };

    struct ConnectCall {
        sdbus::MethodCall call;
        bool pair = false;
    };

    struct Device {
        std::string key;
        std::string address;
        std::string path;
        std::unique_ptr<ObjectNode> node;

        std::optional<std::string> name;
        std::optional<std::string> alias;  // set by a client
        std::optional<int> rssi;
        std::optional<int> tx_power;
        std::map<uint16_t, Bytes> manufacturer_data;
        std::map<std::string, Bytes> service_data;
        std::vector<std::string> uuids;
        bool resolved_once = false;  // UUIDs now lists the GATT services
        bool connectable = true;
        bool temporary = true;  // never asked to connect: forgotten when unseen
        bool paired = false;
        Clock::time_point last_seen;

        Link link = Link::Idle;
        uint64_t epoch = 0;  // bumped whenever a link comes or goes: answers of another link are dropped
        bool reconnect = false;
        std::vector<ConnectCall> connect_calls;
        std::vector<sdbus::MethodCall> disconnect_calls;
        std::vector<sdbus::MethodCall> remove_calls;
        bool connected = false;
        bool services_resolved = false;

        std::unique_ptr<Discovery> discovery;
        std::string tree_signature;  // the attribute table the exported tree was built from
        std::vector<std::unique_ptr<Service>> services;
        std::map<AttributeHandle, Characteristic*> characteristics;
        std::map<AttributeHandle, Descriptor*> descriptors;

        std::deque<std::pair<AttributeHandle, std::string>> commands;  // writes without response not yet handed over
        unsigned commands_in_flight = 0;

        bool linked() const { return link == Link::Connected || link == Link::Disconnecting; }
    };

    struct Filter {
        std::vector<CBUUID> uuids;
        std::optional<int> rssi;
        std::optional<int> pathloss;
        bool duplicates = false;
        std::string pattern;
    };
    struct Session {
        bool discovering = false;
        std::optional<Filter> filter;
    };
    // The filters of every discovering client merged, as bluetoothd merges them.
    struct Merged {
        bool all_uuids = true;
        std::vector<CBUUID> uuids;
        std::optional<int> rssi;
        std::optional<int> pathloss;
        std::vector<std::string> patterns;  // empty: any
        bool duplicates = false;
        bool filtered = false;  // every discovering client set a filter: RSSI is signalled on every report
    };

    Impl(EventLoop& l, ObjectTree& t, platform::radio::Radio& r, std::map<std::string, std::string> a,
         std::function<void(bool)> p)
        : loop(l), tree(t), radio(r), addresses(std::move(a)), set_power(std::move(p)) {}

    EventLoop& loop;
    ObjectTree& tree;
    platform::radio::Radio& radio;
    std::map<std::string, std::string> addresses;
    std::function<void(bool)> set_power;

    std::shared_ptr<platform::radio::RadioCentralEvents> listener;
    std::shared_ptr<platform::radio::RadioCentral> central;

    bool state_known = false;
    bool denied = false;  // the radio says this process may not use Bluetooth
    bool powered = false;
    bool discovering = false;
    bool scanning = false;
    bool sweep_armed = false;
    uint64_t next_id = 0;
    std::string adapter_alias = kAdapterName;
    bool discoverable = false;
    bool pairable = true;
    uint32_t discoverable_timeout = 180;
    uint32_t pairable_timeout = 0;

    std::unique_ptr<ObjectNode> bluez;
    std::unique_ptr<ObjectNode> adapter;
    std::map<std::string, Session> sessions;  // by client
    Merged merged;
    std::map<std::string, std::unique_ptr<Device>> devices;  // by radio key
    std::map<std::string, Device*> devices_by_path;

    // --- Replies: queued signals go out first, as bluetoothd flushes before every reply. ---

    void replyOk(const sdbus::MethodCall& call) {
        tree.flush();
        try {
            call.createReply().send();
        } catch (const sdbus::Error&) {
            // The caller is gone or asked for no reply.
        }
    }
    template <typename T>
    void replyValue(const sdbus::MethodCall& call, const T& value) {
        tree.flush();
        try {
            auto reply = call.createReply();
            reply << value;
            reply.send();
        } catch (const sdbus::Error&) {
        }
    }
    void replyError(const sdbus::MethodCall& call, const sdbus::Error& error) {
        tree.flush();
        try {
            call.createErrorReply(error).send();
        } catch (const sdbus::Error&) {
        }
    }

    // A method of ours: refused for a process without permission, as the bus policy would.
    void method(ObjectNode& node, const std::string& iface, const std::string& name, const std::string& in,
                const std::string& out, std::function<void(sdbus::MethodCall&)> body) {
        node.addMethod(iface, name, in, out, [this, body = std::move(body)](sdbus::MethodCall call) {
            if (denied) {
                replyError(call, sdbus::Error("org.freedesktop.DBus.Error.AccessDenied",
                                              "Rejected send message, the process may not use Bluetooth"));
                return;
            }
            body(call);
        });
    }

    // --- Radio events, handed to the loop. ---

    class Listener : public platform::radio::RadioCentralEvents {
      public:
        Listener(EventLoop& loop, Impl* impl) : loop_(loop), impl_(impl) {}
        void radioStateChanged(CBManagerState state) override {
            loop_.post([impl = impl_, state] { impl->onState(state); });
        }
        void radioDiscovered(const std::vector<platform::radio::Sighting>& batch) override {
            std::vector<platform::radio::AdvertisementReportPtr> reports;
            reports.reserve(batch.size());
            for (const auto& sighting : batch) {
                reports.push_back(sighting.report->shared_from_this());
            }
            loop_.post([impl = impl_, reports = std::move(reports)] {
                for (const auto& report : reports) {
                    impl->onDiscovered(*report);
                }
            });
        }
        void radioConnected(const std::string& device) override {
            loop_.post([impl = impl_, device] { impl->onConnected(device); });
        }
        void radioConnectFailed(const std::string& device, const NSError& /*error*/) override {
            loop_.post([impl = impl_, device] { impl->onConnectFailed(device); });
        }
        void radioDisconnected(const std::string& device, const NSError* error) override {
            loop_.post([impl = impl_, device, lost = error != nullptr] { impl->onDisconnected(device, lost); });
        }
        void radioNotified(const std::string& device, AttributeHandle characteristic,
                           const std::string& value) override {
            loop_.post(
                [impl = impl_, device, characteristic, value] { impl->onNotified(device, characteristic, value); });
        }

      private:
        EventLoop& loop_;
        Impl* impl_;  // outlives the session: the simulator closes it before it goes
    };

    void start() {
        bluez = std::make_unique<ObjectNode>(tree, "/org/bluez");
        // Clients register agents and profiles at start; no pairing ever needs them here.
        const auto accept = [this](sdbus::MethodCall& call) { replyOk(call); };
        method(*bluez, kAgentManager, "RegisterAgent", "os", "", accept);
        method(*bluez, kAgentManager, "UnregisterAgent", "o", "", accept);
        method(*bluez, kAgentManager, "RequestDefaultAgent", "o", "", accept);
        method(*bluez, kProfileManager, "RegisterProfile", "osa{sv}", "", accept);
        method(*bluez, kProfileManager, "UnregisterProfile", "o", "", accept);
        tree.add(*bluez);

        listener = std::make_shared<Listener>(loop, this);
        central = radio.openCentral(listener);
        onState(central->state());
    }

    void close() {
        if (central) {
            central->close();
        }
        loop.discardPosted();
    }

    // --- The adapter. ---

    void onState(CBManagerState state) {
        if (state == CBManagerState::Unknown) {
            return;
        }
        state_known = true;
        const bool present = state == CBManagerState::PoweredOn || state == CBManagerState::PoweredOff ||
                             state == CBManagerState::Unauthorized;
        if (!present) {
            // No controller (unsupported), or it went away for a while (resetting).
            removeAdapter();
            return;
        }
        const auto authorization = radio.authorization();
        denied = state == CBManagerState::Unauthorized || authorization == platform::CBManagerAuthorization::Denied ||
                 authorization == platform::CBManagerAuthorization::Restricted;
        const bool on = state != CBManagerState::PoweredOff;
        if (!adapter) {
            exportAdapter(on);
        } else if (on != powered) {
            setPowered(on);
        }
    }

    void exportAdapter(bool on) {
        powered = on;
        adapter = std::make_unique<ObjectNode>(tree, kAdapterPath);
        ObjectNode& a = *adapter;
        a.addProperty<std::string>(kAdapter, "Address", kAdapterAddress);
        a.addProperty<std::string>(kAdapter, "AddressType", "public");
        a.addProperty<std::string>(kAdapter, "Name", kAdapterName);
        a.addProperty<std::string>(kAdapter, "Alias", adapter_alias, [this](sdbus::PropertySetCall& call) {
            std::string alias;
            call >> alias;
            adapter_alias = alias.empty() ? kAdapterName : alias;
            adapter->set(kAdapter, "Alias", adapter_alias);
        });
        a.addProperty<uint32_t>(kAdapter, "Class", 0);
        a.addProperty<bool>(kAdapter, "Powered", on, [this](sdbus::PropertySetCall& call) {
            bool value = false;
            call >> value;
            if (denied) {
                throw sdbus::Error("org.freedesktop.DBus.Error.AccessDenied", "Rejected send message");
            }
            if (value != powered) {
                set_power(value);
                setPowered(value);
            }
        });
        a.addProperty<bool>(kAdapter, "Discoverable", discoverable, [this](sdbus::PropertySetCall& call) {
            call >> discoverable;
            adapter->set(kAdapter, "Discoverable", discoverable);
        });
        a.addProperty<uint32_t>(kAdapter, "DiscoverableTimeout", discoverable_timeout,
                                [this](sdbus::PropertySetCall& call) {
                                    call >> discoverable_timeout;
                                    adapter->set(kAdapter, "DiscoverableTimeout", discoverable_timeout);
                                });
        a.addProperty<bool>(kAdapter, "Pairable", pairable, [this](sdbus::PropertySetCall& call) {
            call >> pairable;
            adapter->set(kAdapter, "Pairable", pairable);
        });
        a.addProperty<uint32_t>(kAdapter, "PairableTimeout", pairable_timeout, [this](sdbus::PropertySetCall& call) {
            call >> pairable_timeout;
            adapter->set(kAdapter, "PairableTimeout", pairable_timeout);
        });
        a.addProperty<bool>(kAdapter, "Discovering", false);
        a.addProperty<std::vector<std::string>>(
            kAdapter, "UUIDs", {"00001800-0000-1000-8000-00805f9b34fb", "00001801-0000-1000-8000-00805f9b34fb"});
        a.addProperty<std::vector<std::string>>(kAdapter, "Roles", {"central", "peripheral", "central-peripheral"});
        method(a, kAdapter, "StartDiscovery", "", "", [this](sdbus::MethodCall& call) { startDiscovery(call); });
        method(a, kAdapter, "StopDiscovery", "", "", [this](sdbus::MethodCall& call) { stopDiscovery(call); });
        method(a, kAdapter, "SetDiscoveryFilter", "a{sv}", "",
               [this](sdbus::MethodCall& call) { setDiscoveryFilter(call); });
        method(a, kAdapter, "GetDiscoveryFilters", "", "as", [this](sdbus::MethodCall& call) {
            replyValue(call, std::vector<std::string>{"UUIDs", "RSSI", "Pathloss", "Transport", "DuplicateData",
                                                      "Discoverable", "Pattern"});
        });
        method(a, kAdapter, "RemoveDevice", "o", "", [this](sdbus::MethodCall& call) { removeDeviceCall(call); });
        tree.add(a);
    }

    void removeAdapter() {
        if (!adapter) {
            return;
        }
        if (scanning) {
            central->stopScan();
            scanning = false;
        }
        sessions.clear();
        remerge();
        std::vector<std::string> keys;
        for (const auto& [key, device] : devices) {
            keys.push_back(key);
        }
        for (const std::string& key : keys) {
            Device& d = *devices.at(key);
            if (d.link != Link::Idle) {
                central->cancelConnection(d.key);
            }
            dropLink(d, true);
            removeDevice(d);
        }
        tree.remove(*adapter);
        adapter.reset();
        powered = false;
        discovering = false;
        denied = false;
    }

    void setPowered(bool on) {
        if (!on) {
            // The radio has dropped the scan and every link without a word; discovery sessions and filters end.
            scanning = false;
            sessions.clear();
            remerge();
            if (discovering) {
                discovering = false;
                adapter->set(kAdapter, "Discovering", false);
            }
            for (auto& [key, device] : devices) {
                dropLink(*device, true);
                forgetSighting(*device);
                if (!device->remove_calls.empty()) {
                    // Not here: this may run inside a property Set, where no object may go.
                    loop.post([weak = weak_from_this(), key = key] {
                        auto self = weak.lock();
                        Device* d = self ? self->find(key) : nullptr;
                        if (d != nullptr && d->link == Link::Idle) {
                            self->finishRemoval(*d);
                        }
                    });
                }
            }
        }
        powered = on;
        adapter->set(kAdapter, "Powered", on);
    }

    // --- Discovery sessions. ---

    void startDiscovery(sdbus::MethodCall& call) {
        if (!powered) {
            return replyError(call, notReady());
        }
        Session& session = sessions[call.getSender()];
        if (session.discovering) {
            return replyError(call, bluezError("InProgress", "Operation already in progress"));
        }
        session.discovering = true;
        remerge();
        if (!scanning) {
            central->startScan(std::nullopt, true);
            scanning = true;
        }
        replyOk(call);
        if (!discovering) {
            discovering = true;
            adapter->set(kAdapter, "Discovering", true);
        }
    }

    void stopDiscovery(sdbus::MethodCall& call) {
        if (!powered) {
            return replyError(call, notReady());
        }
        auto it = sessions.find(call.getSender());
        if (it == sessions.end() || !it->second.discovering) {
            return replyError(call, failed("No discovery started"));
        }
        endSession(it);
        replyOk(call);
        stopScanIfUnused();
    }

    // A client's discovery ends; its filter stays for its next discovery.
    void endSession(std::map<std::string, Session>::iterator it) {
        it->second.discovering = false;
        if (!it->second.filter) {
            sessions.erase(it);
        }
        remerge();
    }

    void stopScanIfUnused() {
        for (const auto& [client, session] : sessions) {
            if (session.discovering) {
                return;
            }
        }
        if (scanning) {
            central->stopScan();
            scanning = false;
        }
        if (discovering) {
            discovering = false;
            adapter->set(kAdapter, "Discovering", false);
        }
        std::vector<Device*> gone;
        for (auto& [key, device] : devices) {
            forgetSighting(*device);
            if (device->temporary && !device->connectable && device->link == Link::Idle) {
                gone.push_back(device.get());
            }
        }
        for (Device* d : gone) {
            removeDevice(*d);
        }
    }

    // RSSI and TX power exist only while the device is seen in a discovery.
    void forgetSighting(Device& d) {
        d.rssi.reset();
        d.tx_power.reset();
        d.node->unset(kDevice, "RSSI");
        d.node->unset(kDevice, "TxPower");
    }

    void setDiscoveryFilter(sdbus::MethodCall& call) {
        Options options;
        call >> options;
        if (!powered) {
            return replyError(call, notReady());
        }
        Filter filter;
        bool meaningful = false;
        try {
            for (const auto& [key, value] : options) {
                const std::string type = value.peekValueType();
                if (key == "UUIDs" && type == "as") {
                    for (const std::string& text : value.get<std::vector<std::string>>()) {
                        filter.uuids.push_back(CBUUID::UUIDWithString(text));
                    }
                    meaningful = meaningful || !filter.uuids.empty();
                } else if (key == "RSSI" && type == "n") {
                    const int rssi = value.get<int16_t>();
                    if (rssi < -127 || rssi > 20) {
                        return replyError(call, invalidArguments());
                    }
                    filter.rssi = rssi;
                    meaningful = true;
                } else if (key == "Pathloss" && type == "q") {
                    const int pathloss = value.get<uint16_t>();
                    if (pathloss > 137) {
                        return replyError(call, invalidArguments());
                    }
                    filter.pathloss = pathloss;
                    meaningful = true;
                } else if (key == "Transport" && type == "s") {
                    const std::string transport = value.get<std::string>();
                    if (transport != "auto" && transport != "bredr" && transport != "le") {
                        return replyError(call, invalidArguments());
                    }
                    meaningful = meaningful || transport != "auto";
                } else if (key == "DuplicateData" && type == "b") {
                    filter.duplicates = value.get<bool>();
                    meaningful = meaningful || filter.duplicates;
                } else if (key == "Discoverable" && type == "b") {
                    meaningful = meaningful || value.get<bool>();
                } else if (key == "Pattern" && type == "s") {
                    filter.pattern = value.get<std::string>();
                    meaningful = meaningful || !filter.pattern.empty();
                } else {
                    return replyError(call, invalidArguments());
                }
            }
        } catch (const platform::NSException&) {
            return replyError(call, invalidArguments());
        }
        if (filter.rssi && filter.pathloss) {
            return replyError(call, invalidArguments());
        }
        const std::string client = call.getSender();
        auto it = sessions.find(client);
        if (meaningful) {
            sessions[client].filter = std::move(filter);
        } else if (it != sessions.end()) {
            it->second.filter.reset();
            if (!it->second.discovering) {
                sessions.erase(it);
            }
        }
        remerge();
        replyOk(call);
    }

    void remerge() {
        Merged m;
        std::vector<const Filter*> filters;
        bool any = false;
        bool unfiltered = false;
        for (const auto& [client, session] : sessions) {
            if (session.discovering) {
                any = true;
                if (session.filter) {
                    filters.push_back(&*session.filter);
                } else {
                    unfiltered = true;
                }
            }
        }
        m.filtered = any && !unfiltered;
        const auto every = [&filters](auto test) { return std::all_of(filters.begin(), filters.end(), test); };
        for (const Filter* f : filters) {
            m.duplicates = m.duplicates || f->duplicates;
        }
        if (m.filtered) {
            // A client without a filter, or a filter without UUIDs, takes every device.
            m.all_uuids = !every([](const Filter* f) { return !f->uuids.empty(); });
            if (!m.all_uuids) {
                for (const Filter* f : filters) {
                    m.uuids.insert(m.uuids.end(), f->uuids.begin(), f->uuids.end());
                }
            }
            if (every([](const Filter* f) { return f->rssi.has_value(); })) {
                for (const Filter* f : filters) {
                    m.rssi = m.rssi ? std::min(*m.rssi, *f->rssi) : *f->rssi;
                }
            }
            if (every([](const Filter* f) { return f->pathloss.has_value(); })) {
                for (const Filter* f : filters) {
                    m.pathloss = m.pathloss ? std::max(*m.pathloss, *f->pathloss) : *f->pathloss;
                }
            }
            if (every([](const Filter* f) { return !f->pattern.empty(); })) {
                for (const Filter* f : filters) {
                    m.patterns.push_back(f->pattern);
                }
            }
        }
        merged = std::move(m);
    }

    bool matches(const AdvertisementReport& r, const std::string& address) const {
        if (!merged.all_uuids) {
            bool hit = false;
            const auto wanted = [this](const CBUUID& u) {
                return std::find(merged.uuids.begin(), merged.uuids.end(), u) != merged.uuids.end();
            };
            if (r.advertisement.serviceUUIDs) {
                for (const CBUUID& u : *r.advertisement.serviceUUIDs) {
                    hit = hit || wanted(u);
                }
            }
            if (r.advertisement.serviceData) {
                for (const auto& [u, data] : *r.advertisement.serviceData) {
                    hit = hit || wanted(u);
                }
            }
            if (!hit) {
                return false;
            }
        }
        if (merged.rssi && r.rssi < *merged.rssi) {
            return false;
        }
        if (merged.pathloss) {
            if (!r.advertisement.txPowerLevel || *r.advertisement.txPowerLevel - r.rssi > *merged.pathloss) {
                return false;
            }
        }
        if (!merged.patterns.empty()) {
            bool hit = false;
            for (const std::string& p : merged.patterns) {
                hit = hit || address.compare(0, p.size(), p) == 0 || (r.name && r.name->compare(0, p.size(), p) == 0);
            }
            if (!hit) {
                return false;
            }
        }
        return true;
    }

    // --- Devices. ---

    std::string addressFor(const AdvertisementReport& r) const {
        if (r.address) {
            std::string a = *r.address;
            for (char& c : a) {
                c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            }
            return a;
        }
        auto it = addresses.find(r.device);
        if (it != addresses.end()) {
            return it->second;
        }
        return platform::sim::defaultAddress(r.device);
    }

    static std::string aliasOf(const Device& d) {
        if (d.alias) {
            return *d.alias;
        }
        if (d.name) {
            return *d.name;
        }
        std::string dashed = d.address;
        std::replace(dashed.begin(), dashed.end(), ':', '-');
        return dashed;
    }

    Device* find(const std::string& key) {
        auto it = devices.find(key);
        return it == devices.end() ? nullptr : it->second.get();
    }

    Device* createDevice(const AdvertisementReport& r) {
        const std::string address = addressFor(r);
        const std::string path = devicePath(address);
        if (devices_by_path.count(path) != 0) {
            // Two devices with one address: the first keeps it.
            return nullptr;
        }
        auto owned = std::make_unique<Device>();
        Device& d = *owned;
        d.key = r.device;
        d.address = address;
        d.path = path;
        d.node = std::make_unique<ObjectNode>(tree, path);
        ObjectNode& n = *d.node;
        Device* dp = &d;
        n.addProperty<std::string>(kDevice, "Address", address);
        n.addProperty<std::string>(kDevice, "AddressType", "random");
        n.addProperty<std::string>(kDevice, "Alias", aliasOf(d), [dp](sdbus::PropertySetCall& call) {
            std::string alias;
            call >> alias;
            dp->alias = alias.empty() ? std::nullopt : std::optional<std::string>(alias);
            dp->node->set(kDevice, "Alias", aliasOf(*dp));
        });
        n.addProperty<bool>(kDevice, "Paired", false);
        n.addProperty<bool>(kDevice, "Bonded", false);
        n.addProperty<bool>(kDevice, "Trusted", false, [dp](sdbus::PropertySetCall& call) {
            bool value = false;
            call >> value;
            dp->node->set(kDevice, "Trusted", value);
        });
        n.addProperty<bool>(kDevice, "Blocked", false, [dp](sdbus::PropertySetCall& call) {
            bool value = false;
            call >> value;
            dp->node->set(kDevice, "Blocked", value);
        });
        n.addProperty<bool>(kDevice, "LegacyPairing", false);
        n.addProperty<bool>(kDevice, "Connected", false);
        n.addProperty<std::vector<std::string>>(kDevice, "UUIDs", {});
        n.addProperty<sdbus::ObjectPath>(kDevice, "Adapter", sdbus::ObjectPath(kAdapterPath));
        n.addProperty<bool>(kDevice, "ServicesResolved", false);
        n.addOptional<std::string>(kDevice, "Name");
        n.addOptional<int16_t>(kDevice, "RSSI");
        n.addOptional<int16_t>(kDevice, "TxPower");
        n.addOptional<std::map<uint16_t, sdbus::Variant>>(kDevice, "ManufacturerData");
        n.addOptional<std::map<std::string, sdbus::Variant>>(kDevice, "ServiceData");
        method(n, kDevice, "Connect", "", "", [this, dp](sdbus::MethodCall& call) { connect(*dp, call, false); });
        method(n, kDevice, "Disconnect", "", "", [this, dp](sdbus::MethodCall& call) { disconnect(*dp, call); });
        method(n, kDevice, "Pair", "", "", [this, dp](sdbus::MethodCall& call) { connect(*dp, call, true); });
        method(n, kDevice, "CancelPairing", "", "",
               [this](sdbus::MethodCall& call) { replyError(call, bluezError("DoesNotExist", "Does Not Exist")); });
        devices_by_path[path] = &d;
        devices[d.key] = std::move(owned);
        return &d;
    }

    void onDiscovered(const AdvertisementReport& r) {
        if (!scanning || !adapter) {
            return;
        }
        Device* d = find(r.device);
        const bool created = d == nullptr;
        if (created && (d = createDevice(r)) == nullptr) {
            return;
        }
        d->last_seen = Clock::now();
        d->connectable = r.advertisement.isConnectable.value_or(true);
        // A device that does not match the filters is still made, but bare.
        if (matches(r, d->address)) {
            applyReport(*d, r);
        }
        if (created) {
            tree.add(*d->node);
            armSweep();
        }
    }

    void applyReport(Device& d, const AdvertisementReport& r) {
        ObjectNode& n = *d.node;
        if (r.name && d.name != r.name) {
            d.name = r.name;
            n.set(kDevice, "Name", *r.name);
            if (!d.alias) {
                n.set(kDevice, "Alias", *r.name);
            }
        }
        if (!d.rssi || merged.filtered || std::abs(*d.rssi - r.rssi) >= kRssiDelta) {
            d.rssi = r.rssi;
            n.set(kDevice, "RSSI", static_cast<int16_t>(r.rssi));
        }
        const auto& ad = r.advertisement;
        if (ad.txPowerLevel && d.tx_power != ad.txPowerLevel) {
            d.tx_power = ad.txPowerLevel;
            n.set(kDevice, "TxPower", static_cast<int16_t>(*ad.txPowerLevel));
        }
        if (ad.manufacturerData && ad.manufacturerData->size() >= 2) {
            const std::string& m = *ad.manufacturerData;
            const auto company = static_cast<uint16_t>(static_cast<uint8_t>(m[0]) | (static_cast<uint8_t>(m[1]) << 8));
            Bytes payload(m.begin() + 2, m.end());
            auto it = d.manufacturer_data.find(company);
            // With duplicates asked for, each report replaces the data and is signalled; else only changes are.
            if (merged.duplicates || it == d.manufacturer_data.end() || it->second != payload) {
                if (merged.duplicates) {
                    d.manufacturer_data.clear();
                }
                d.manufacturer_data[company] = std::move(payload);
                std::map<uint16_t, sdbus::Variant> dict;
                for (const auto& [id, bytes] : d.manufacturer_data) {
                    dict.emplace(id, sdbus::Variant(bytes));
                }
                n.set(kDevice, "ManufacturerData", dict);
            }
        }
        if (ad.serviceData && !ad.serviceData->empty()) {
            bool change = merged.duplicates;
            if (merged.duplicates) {
                d.service_data.clear();
            }
            for (const auto& [uuid, data] : *ad.serviceData) {
                Bytes bytes = bytesOf(data);
                Bytes& slot = d.service_data[uuidText(uuid)];
                change = change || slot != bytes;
                slot = std::move(bytes);
            }
            if (change) {
                std::map<std::string, sdbus::Variant> dict;
                for (const auto& [uuid, bytes] : d.service_data) {
                    dict.emplace(uuid, sdbus::Variant(bytes));
                }
                n.set(kDevice, "ServiceData", dict);
            }
        }
        if (!d.resolved_once && ad.serviceUUIDs) {
            bool change = false;
            for (const CBUUID& u : *ad.serviceUUIDs) {
                const std::string text = uuidText(u);
                if (std::find(d.uuids.begin(), d.uuids.end(), text) == d.uuids.end()) {
                    d.uuids.push_back(text);
                    change = true;
                }
            }
            if (change) {
                n.set(kDevice, "UUIDs", d.uuids);
            }
        }
    }

    // Temporary devices are forgotten 30 s after they were last seen.
    void armSweep() {
        if (sweep_armed) {
            return;
        }
        sweep_armed = true;
        loop.after(kSweepPeriod, [weak = weak_from_this()] {
            if (auto self = weak.lock()) {
                self->sweep();
            }
        });
    }

    void sweep() {
        sweep_armed = false;
        const auto now = Clock::now();
        std::vector<Device*> gone;
        for (auto& [key, device] : devices) {
            if (device->temporary && device->link == Link::Idle && now - device->last_seen > kTemporaryLifetime) {
                gone.push_back(device.get());
            }
        }
        for (Device* d : gone) {
            removeDevice(*d);
        }
        if (!devices.empty()) {
            armSweep();
        }
    }

    void removeDeviceCall(sdbus::MethodCall& call) {
        sdbus::ObjectPath path;
        call >> path;
        auto it = devices_by_path.find(path);
        if (it == devices_by_path.end()) {
            return replyError(call, bluezError("DoesNotExist", "Does Not Exist"));
        }
        Device& d = *it->second;
        if (d.linked()) {
            // Down first; the reply follows the removal.
            d.remove_calls.push_back(call);
            if (d.link == Link::Connected) {
                beginDisconnect(d);
            }
            return;
        }
        if (d.link != Link::Idle) {
            cancelAttempt(d);
        }
        removeDevice(d);
        replyOk(call);
    }

    // Unexports a device and its attributes, and forgets it.
    void removeDevice(Device& d) {
        failRequests(d, linkLost());
        for (ConnectCall& c : d.connect_calls) {
            replyError(c.call, failed("br-connection-canceled"));
        }
        d.connect_calls.clear();
        removeTree(d);
        tree.remove(*d.node);
        devices_by_path.erase(d.path);
        const std::string key = d.key;
        devices.erase(key);
    }

    // --- Connections. ---

    void connect(Device& d, sdbus::MethodCall& call, bool pair) {
        if (!powered) {
            return replyError(call, failed("Input/output error"));
        }
        switch (d.link) {
            case Link::Connected:
            case Link::Disconnecting:
                if (pair) {
                    if (d.paired) {
                        return replyError(call, bluezError("AlreadyExists", "Already Exists"));
                    }
                    markPaired(d);
                }
                return replyOk(call);
            case Link::Connecting:
                return replyError(call, failed("Operation already in progress"));
            case Link::Cancelling:
                d.temporary = false;
                d.reconnect = true;
                d.connect_calls.push_back({call, pair});
                return;
            case Link::Idle:
                d.temporary = false;
                d.connect_calls.push_back({call, pair});
                d.link = Link::Connecting;
                central->connect(d.key);
                return;
        }
    }

    void markPaired(Device& d) {
        d.paired = true;
        d.node->set(kDevice, "Paired", true);
        d.node->set(kDevice, "Bonded", true);
    }

    void onConnected(const std::string& key) {
        Device* d = find(key);
        if (d == nullptr || d->link != Link::Connecting) {
            return;  // a repeated answer, or an attempt already given up (its cancellation follows)
        }
        d->link = Link::Connected;
        ++d->epoch;
        d->connected = true;
        d->node->set(kDevice, "Connected", true);
        auto calls = std::move(d->connect_calls);
        d->connect_calls.clear();
        for (ConnectCall& c : calls) {
            if (c.pair && !d->paired) {
                markPaired(*d);
            }
            replyOk(c.call);
        }
        startDiscovery(*d);
    }

    void onConnectFailed(const std::string& key) {
        Device* d = find(key);
        if (d == nullptr) {
            return;
        }
        if (d->link == Link::Connecting) {
            d->link = Link::Idle;
            failConnects(*d, "le-connection-abort-by-local");
        } else if (d->link == Link::Cancelling) {
            settleCancel(*d);
        }
    }

    void failConnects(Device& d, const std::string& reason) {
        auto calls = std::move(d.connect_calls);
        d.connect_calls.clear();
        for (ConnectCall& c : calls) {
            replyError(c.call, failed(reason));
        }
    }

    void onDisconnected(const std::string& key, bool lost) {
        Device* d = find(key);
        if (d == nullptr) {
            return;
        }
        switch (d->link) {
            case Link::Connecting:
                d->link = Link::Idle;
                failConnects(*d, lost ? "le-connection-abort-by-local" : "br-connection-canceled");
                break;
            case Link::Cancelling:
                settleCancel(*d);
                break;
            case Link::Connected:
            case Link::Disconnecting:
                dropLink(*d, false);
                finishRemoval(*d);
                break;
            case Link::Idle:
                break;
        }
    }

    // A cancelled attempt is over; a Connect() that came meanwhile starts now.
    void settleCancel(Device& d) {
        d.link = Link::Idle;
        if (d.reconnect && !d.connect_calls.empty()) {
            d.link = Link::Connecting;
            central->connect(d.key);
        }
        d.reconnect = false;
    }

    void cancelAttempt(Device& d) {
        failConnects(d, "br-connection-canceled");
        if (d.link == Link::Connecting) {
            central->cancelConnection(d.key);
            d.link = Link::Cancelling;
        }
        d.reconnect = false;
    }

    void disconnect(Device& d, sdbus::MethodCall& call) {
        switch (d.link) {
            case Link::Idle:
                return replyOk(call);
            case Link::Connecting:
            case Link::Cancelling:
                cancelAttempt(d);
                return replyOk(call);
            case Link::Connected:
                d.disconnect_calls.push_back(call);
                beginDisconnect(d);
                return;
            case Link::Disconnecting:
                d.disconnect_calls.push_back(call);
                return;
        }
    }

    void beginDisconnect(Device& d) {
        d.link = Link::Disconnecting;
        d.discovery.reset();
        if (d.services_resolved) {
            d.services_resolved = false;
            d.node->set(kDevice, "ServicesResolved", false);
        }
        central->cancelConnection(d.key);
    }

    // The link is down (asked for, lost, or the radio switched off, `silent`): what was in flight fails, then
    // Disconnect() calls are answered, then Connected goes false.
    void dropLink(Device& d, bool silent) {
        if (d.link == Link::Connecting || d.link == Link::Cancelling) {
            failConnects(d, silent ? "le-connection-abort-by-local" : "br-connection-canceled");
        }
        if (!d.connected && d.link != Link::Connected && d.link != Link::Disconnecting) {
            d.link = Link::Idle;
            return;
        }
        d.link = Link::Idle;
        ++d.epoch;
        d.discovery.reset();
        d.commands.clear();
        d.commands_in_flight = 0;
        failRequests(d, linkLost());
        for (auto& [handle, c] : d.characteristics) {
            // Sessions stay and re-arm on the next connection; the MTU goes silently.
            c->subscribed = false;
            c->subscribing = false;
            c->node->unset(kCharacteristic, "MTU", true);
        }
        if (d.services_resolved) {
            d.services_resolved = false;
            d.node->set(kDevice, "ServicesResolved", false);
        }
        auto calls = std::move(d.disconnect_calls);
        d.disconnect_calls.clear();
        for (const sdbus::MethodCall& call : calls) {
            replyOk(call);
        }
        d.connected = false;
        d.node->set(kDevice, "Connected", false);
    }

    // RemoveDevice() calls that waited for the link to go down.
    void finishRemoval(Device& d) {
        if (d.remove_calls.empty()) {
            return;
        }
        auto calls = std::move(d.remove_calls);
        removeDevice(d);
        for (const sdbus::MethodCall& call : calls) {
            replyOk(call);
        }
    }

    // Every GATT call in flight on the device is answered with `error`.
    void failRequests(Device& d, const sdbus::Error& error) {
        const auto fail = [&](Attribute& a) {
            if (a.read) {
                auto op = std::move(*a.read);
                a.read.reset();
                for (const sdbus::MethodCall& call : op.calls) {
                    replyError(call, error);
                }
            }
            if (a.write) {
                auto op = std::move(*a.write);
                a.write.reset();
                replyError(op.call, error);
            }
        };
        for (auto& [handle, c] : d.characteristics) {
            fail(*c);
            auto calls = std::move(c->start_calls);
            c->start_calls.clear();
            for (const sdbus::MethodCall& call : calls) {
                c->sessions.erase(call.getSender());
                replyError(call, error);
            }
        }
        for (auto& [handle, desc] : d.descriptors) {
            fail(*desc);
        }
    }

    // Arms the ATT timeout of a request: if `pending` still holds after it, the link is dropped and what was in
    // flight fails.
    void armAttTimeout(Device& d, std::function<bool(Device&)> pending) {
        loop.after(kAttTimeout, [weak = weak_from_this(), key = d.key, epoch = d.epoch, pending = std::move(pending)] {
            auto self = weak.lock();
            Device* dev = self ? self->find(key) : nullptr;
            if (dev == nullptr || dev->epoch != epoch || !dev->linked() || !pending(*dev)) {
                return;
            }
            self->central->cancelConnection(key);
            self->dropLink(*dev, false);
            // The radio's confirmation is still to come; a Connect() meanwhile waits for it.
            dev->link = Link::Cancelling;
            self->finishRemoval(*dev);
        });
    }

    // --- Discovery of the attribute table, once per connection. ---

    void startDiscovery(Device& d) {
        d.discovery = std::make_unique<Discovery>();
        d.discovery->id = ++next_id;
        const uint64_t id = d.discovery->id;
        armAttTimeout(d, [id](Device& dev) { return dev.discovery && dev.discovery->id == id; });
        central->discoverServices(d.key, [this, key = d.key, id](const NSError* error,
                                                                 const std::vector<ServiceInfo>& services) {
            loop.post([this, key, id, error = copyError(error), services] { onServices(key, id, error, services); });
        });
    }

    Discovery* discoveryOf(const std::string& key, uint64_t id, Device*& d) {
        d = find(key);
        if (d == nullptr || !d->discovery || d->discovery->id != id) {
            return nullptr;
        }
        return d->discovery.get();
    }

    void onServices(const std::string& key, uint64_t id, const std::optional<NSError>& error,
                    const std::vector<ServiceInfo>& services) {
        Device* d = nullptr;
        Discovery* disc = discoveryOf(key, id, d);
        if (disc == nullptr) {
            return;
        }
        if (error) {
            return finishDiscovery(*d, false);
        }
        disc->services = services;
        disc->outstanding = services.size();
        if (services.empty()) {
            return finishDiscovery(*d, true);
        }
        for (const ServiceInfo& s : services) {
            central->discoverCharacteristics(
                key, s.handle,
                [this, key, id, handle = s.handle](const NSError* e, const std::vector<CharacteristicInfo>& list) {
                    loop.post([this, key, id, handle, e = copyError(e), list] {
                        onCharacteristics(key, id, handle, e, list);
                    });
                });
        }
    }

    void onCharacteristics(const std::string& key, uint64_t id, AttributeHandle service,
                           const std::optional<NSError>& error, const std::vector<CharacteristicInfo>& list) {
        Device* d = nullptr;
        Discovery* disc = discoveryOf(key, id, d);
        if (disc == nullptr) {
            return;
        }
        if (error) {
            return finishDiscovery(*d, false);
        }
        disc->characteristics[service] = list;
        disc->outstanding += list.size();
        for (const CharacteristicInfo& c : list) {
            central->discoverDescriptors(
                key, c.handle,
                [this, key, id, handle = c.handle](const NSError* e, const std::vector<DescriptorInfo>& descs) {
                    loop.post(
                        [this, key, id, handle, e = copyError(e), descs] { onDescriptors(key, id, handle, e, descs); });
                });
        }
        stageDone(*d);
    }

    void onDescriptors(const std::string& key, uint64_t id, AttributeHandle characteristic,
                       const std::optional<NSError>& error, const std::vector<DescriptorInfo>& list) {
        Device* d = nullptr;
        Discovery* disc = discoveryOf(key, id, d);
        if (disc == nullptr) {
            return;
        }
        if (error) {
            return finishDiscovery(*d, false);
        }
        disc->descriptors[characteristic] = list;
        stageDone(*d);
    }

    void stageDone(Device& d) {
        if (--d.discovery->outstanding == 0) {
            finishDiscovery(d, true);
        }
    }

    static std::string signatureOf(const Discovery& disc) {
        std::string s;
        for (const ServiceInfo& svc : disc.services) {
            s += "S" + std::to_string(svc.handle) + uuidText(svc.uuid);
            auto cit = disc.characteristics.find(svc.handle);
            if (cit == disc.characteristics.end()) {
                continue;
            }
            for (const CharacteristicInfo& c : cit->second) {
                s += "C" + std::to_string(c.handle) + uuidText(c.uuid) + std::to_string(c.properties);
                auto dit = disc.descriptors.find(c.handle);
                if (dit == disc.descriptors.end()) {
                    continue;
                }
                for (const DescriptorInfo& desc : dit->second) {
                    s += "D" + std::to_string(desc.handle) + uuidText(desc.uuid);
                }
            }
        }
        return s;
    }

    // Discovery is over: on success the tree is (re)built when the table differs from the exported one. Either
    // way ServicesResolved becomes true, as bluetoothd sets it after a failed discovery too.
    void finishDiscovery(Device& d, bool ok) {
        std::unique_ptr<Discovery> disc = std::move(d.discovery);
        const uint16_t mtu = static_cast<uint16_t>(central->mtu(d.key));
        if (ok) {
            const std::string signature = signatureOf(*disc);
            if (signature != d.tree_signature || d.services.empty()) {
                removeTree(d);
                buildTree(d, *disc, mtu);
                d.tree_signature = signature;
            } else {
                for (auto& [handle, c] : d.characteristics) {
                    c->node->set(kCharacteristic, "MTU", mtu);
                }
            }
            std::vector<std::string> uuids;
            for (const ServiceInfo& s : disc->services) {
                const std::string text = uuidText(s.uuid);
                if (std::find(uuids.begin(), uuids.end(), text) == uuids.end()) {
                    uuids.push_back(text);
                }
            }
            d.resolved_once = true;
            if (uuids != d.uuids) {
                d.uuids = uuids;
                d.node->set(kDevice, "UUIDs", d.uuids);
            }
        } else {
            for (auto& [handle, c] : d.characteristics) {
                c->node->set(kCharacteristic, "MTU", mtu);
            }
        }
        d.services_resolved = true;
        d.node->set(kDevice, "ServicesResolved", true);
        // Notification sessions outlive links: they re-arm now.
        for (auto& [handle, c] : d.characteristics) {
            if (!c->sessions.empty() && !c->subscribed && !c->subscribing) {
                subscribe(d, *c);
            }
        }
    }

    void buildTree(Device& d, const Discovery& disc, uint16_t mtu) {
        std::vector<ServiceInfo> services = disc.services;
        std::sort(services.begin(), services.end(),
                  [](const ServiceInfo& a, const ServiceInfo& b) { return a.handle < b.handle; });
        Device* dp = &d;
        for (const ServiceInfo& info : services) {
            auto service = std::make_unique<Service>();
            service->handle = info.handle;
            service->uuid = info.uuid;
            if (claimedByPlugin(info.uuid)) {
                d.services.push_back(std::move(service));
                continue;
            }
            const std::string spath = d.path + handleName("service", info.handle);
            service->node = std::make_unique<ObjectNode>(tree, spath);
            ObjectNode& sn = *service->node;
            sn.addProperty<std::string>(kService, "UUID", uuidText(info.uuid));
            sn.addProperty<sdbus::ObjectPath>(kService, "Device", sdbus::ObjectPath(d.path));
            sn.addProperty<bool>(kService, "Primary", true);
            sn.addProperty<std::vector<sdbus::ObjectPath>>(kService, "Includes", {});
            tree.add(sn);
            auto cit = disc.characteristics.find(info.handle);
            if (cit != disc.characteristics.end()) {
                for (const CharacteristicInfo& ci : cit->second) {
                    auto c = std::make_unique<Characteristic>();
                    Characteristic* cp = c.get();
                    c->handle = ci.handle;
                    c->uuid = ci.uuid;
                    c->properties = ci.properties;
                    const std::string cpath = spath + handleName("char", ci.handle);
                    c->node = std::make_unique<ObjectNode>(tree, cpath);
                    ObjectNode& cn = *c->node;
                    cn.addProperty<std::string>(kCharacteristic, "UUID", uuidText(ci.uuid));
                    cn.addProperty<sdbus::ObjectPath>(kCharacteristic, "Service", sdbus::ObjectPath(spath));
                    cn.addProperty<Bytes>(kCharacteristic, "Value", {});
                    cn.addProperty<std::vector<std::string>>(kCharacteristic, "Flags", flagsOf(ci.properties));
                    if (c->subscribable()) {
                        cn.addProperty<bool>(kCharacteristic, "Notifying", false);
                        cn.addProperty<bool>(kCharacteristic, "NotifyAcquired", false);
                    }
                    if ((ci.properties & platform::CBCharacteristicPropertyWriteWithoutResponse) != 0) {
                        cn.addProperty<bool>(kCharacteristic, "WriteAcquired", false);
                    }
                    cn.addOptional<uint16_t>(kCharacteristic, "MTU");
                    cn.set(kCharacteristic, "MTU", mtu);
                    method(cn, kCharacteristic, "ReadValue", "a{sv}", "ay",
                           [this, dp, cp](sdbus::MethodCall& call) { readValue(*dp, *cp, call, false); });
                    method(cn, kCharacteristic, "WriteValue", "aya{sv}", "",
                           [this, dp, cp](sdbus::MethodCall& call) { writeCharacteristic(*dp, *cp, call); });
                    method(cn, kCharacteristic, "StartNotify", "", "",
                           [this, dp, cp](sdbus::MethodCall& call) { startNotify(*dp, *cp, call); });
                    method(cn, kCharacteristic, "StopNotify", "", "",
                           [this, dp, cp](sdbus::MethodCall& call) { stopNotify(*dp, *cp, call); });
                    const auto unsupported = [this](sdbus::MethodCall& call) { replyError(call, notSupported()); };
                    method(cn, kCharacteristic, "AcquireWrite", "a{sv}", "hq", unsupported);
                    method(cn, kCharacteristic, "AcquireNotify", "a{sv}", "hq", unsupported);
                    tree.add(cn);
                    auto dit = disc.descriptors.find(ci.handle);
                    if (dit != disc.descriptors.end()) {
                        for (const DescriptorInfo& di : dit->second) {
                            auto desc = std::make_unique<Descriptor>();
                            Descriptor* ddp = desc.get();
                            desc->handle = di.handle;
                            desc->uuid = di.uuid;
                            desc->cccd = di.uuid == CBUUID::UUIDWithString("2902");
                            desc->node = std::make_unique<ObjectNode>(tree, cpath + handleName("desc", di.handle));
                            ObjectNode& dn = *desc->node;
                            dn.addProperty<std::string>(kDescriptor, "UUID", uuidText(di.uuid));
                            dn.addProperty<sdbus::ObjectPath>(kDescriptor, "Characteristic", sdbus::ObjectPath(cpath));
                            dn.addProperty<Bytes>(kDescriptor, "Value", {});
                            method(dn, kDescriptor, "ReadValue", "a{sv}", "ay",
                                   [this, dp, ddp](sdbus::MethodCall& call) { readValue(*dp, *ddp, call, true); });
                            method(dn, kDescriptor, "WriteValue", "aya{sv}", "",
                                   [this, dp, ddp](sdbus::MethodCall& call) { writeDescriptor(*dp, *ddp, call); });
                            tree.add(dn);
                            d.descriptors[di.handle] = ddp;
                            c->descriptors.push_back(std::move(desc));
                        }
                    }
                    d.characteristics[ci.handle] = cp;
                    service->characteristics.push_back(std::move(c));
                }
            }
            d.services.push_back(std::move(service));
        }
    }

    void removeTree(Device& d) {
        failRequests(d, linkLost());
        for (auto& service : d.services) {
            for (auto& c : service->characteristics) {
                for (auto& desc : c->descriptors) {
                    tree.remove(*desc->node);
                }
                tree.remove(*c->node);
            }
            if (service->node) {
                tree.remove(*service->node);
            }
        }
        d.characteristics.clear();
        d.descriptors.clear();
        d.services.clear();
        d.tree_signature.clear();
    }

    // --- GATT requests. ---

    template <typename Attr>
    Attr* attributeOf(const std::string& key, uint64_t epoch, AttributeHandle handle, Device*& d) {
        d = find(key);
        if (d == nullptr || d->epoch != epoch) {
            return nullptr;
        }
        if constexpr (std::is_same_v<Attr, Characteristic>) {
            auto it = d->characteristics.find(handle);
            return it == d->characteristics.end() ? nullptr : it->second;
        } else {
            auto it = d->descriptors.find(handle);
            return it == d->descriptors.end() ? nullptr : it->second;
        }
    }

    template <typename Attr>
    void readValue(Device& d, Attr& a, sdbus::MethodCall& call, bool descriptor) {
        Options options;
        call >> options;
        uint16_t offset = 0;
        if (!parseOptions(options, offset, nullptr)) {
            return replyError(call, invalidArguments());
        }
        if (!d.linked()) {
            return replyError(call, notConnected());
        }
        if (a.read) {
            if (a.read->offset != offset) {
                return replyError(call, inProgress());
            }
            a.read->calls.push_back(call);  // one request answers both
            return;
        }
        const uint64_t id = ++next_id;
        a.read = ReadOp{id, offset, {call}};
        armAttTimeout(d, [this, handle = a.handle, id](Device& dev) {
            Device* owner = nullptr;
            Attr* attr = attributeOf<Attr>(dev.key, dev.epoch, handle, owner);
            return attr != nullptr && attr->read && attr->read->id == id;
        });
        auto done = [this, key = d.key, epoch = d.epoch, handle = a.handle, id](const NSError* error,
                                                                                const std::string& value) {
            loop.post([this, key, epoch, handle, id, error = copyError(error), value] {
                Device* dev = nullptr;
                Attr* attr = attributeOf<Attr>(key, epoch, handle, dev);
                if (attr != nullptr && attr->read && attr->read->id == id) {
                    onRead(*attr, error, value);
                }
            });
        };
        if (descriptor) {
            central->readDescriptor(d.key, a.handle, std::move(done));
        } else {
            central->readCharacteristic(d.key, a.handle, std::move(done));
        }
    }

    template <typename Attr>
    void onRead(Attr& a, const std::optional<NSError>& error, const std::string& value) {
        ReadOp op = std::move(*a.read);
        a.read.reset();
        if (error) {
            const sdbus::Error e = requestError(*error);
            for (const sdbus::MethodCall& call : op.calls) {
                replyError(call, e);
            }
            return;
        }
        if (op.offset > value.size()) {
            for (const sdbus::MethodCall& call : op.calls) {
                replyError(call, attError(0x07));
            }
            return;
        }
        const Bytes bytes(value.begin() + op.offset, value.end());
        const std::string& iface = std::is_same_v<Attr, Characteristic> ? kCharacteristic : kDescriptor;
        // The cache changes, and says so, before the reply.
        a.node->set(iface, "Value", bytes);
        for (const sdbus::MethodCall& call : op.calls) {
            replyValue(call, bytes);
        }
    }

    void writeCharacteristic(Device& d, Characteristic& c, sdbus::MethodCall& call) {
        Bytes value;
        Options options;
        call >> value >> options;
        uint16_t offset = 0;
        std::optional<std::string> type;
        if (!parseOptions(options, offset, &type)) {
            return replyError(call, invalidArguments());
        }
        if (!d.linked()) {
            return replyError(call, notConnected());
        }
        if (c.write) {
            return replyError(call, inProgress());
        }
        // An explicit type skips the checks against the characteristic's properties.
        bool request = false;
        if (type) {
            const std::string t = lower(*type);
            if (t == "request" || t == "reliable") {
                request = true;
            } else if (t != "command") {
                return replyError(call, notSupported());
            }
        } else if ((c.properties & platform::CBCharacteristicPropertyWrite) != 0) {
            request = true;
        } else if ((c.properties & platform::CBCharacteristicPropertyWriteWithoutResponse) == 0) {
            return replyError(call, notSupported());
        }
        if (!request) {
            if (offset != 0 || value.size() + 3 > central->mtu(d.key)) {
                return replyError(call, failed("Failed to initiate write"));
            }
            d.commands.emplace_back(c.handle, std::string(value.begin(), value.end()));
            sendCommands(d);
            return replyOk(call);
        }
        if (offset != 0) {
            // The devices here take whole values only, as a device without prepared writes answers.
            return replyError(call, attError(0x07));
        }
        if (value.size() > kMaxAttributeValue) {
            return replyError(call, attError(0x0D));
        }
        sendWrite(d, c, call, value, false);
    }

    void writeDescriptor(Device& d, Descriptor& desc, sdbus::MethodCall& call) {
        Bytes value;
        Options options;
        call >> value >> options;
        uint16_t offset = 0;
        if (!parseOptions(options, offset, nullptr)) {
            return replyError(call, invalidArguments());
        }
        if (desc.cccd) {
            return replyError(call, bluezError("NotPermitted", "Write not permitted"));
        }
        if (!d.linked()) {
            return replyError(call, notConnected());
        }
        if (desc.write) {
            return replyError(call, inProgress());
        }
        if (offset != 0) {
            return replyError(call, attError(0x07));
        }
        if (value.size() > kMaxAttributeValue) {
            return replyError(call, attError(0x0D));
        }
        sendWrite(d, desc, call, value, true);
    }

    template <typename Attr>
    void sendWrite(Device& d, Attr& a, sdbus::MethodCall& call, const Bytes& value, bool descriptor) {
        const uint64_t id = ++next_id;
        a.write = WriteOp{id, call};
        armAttTimeout(d, [this, handle = a.handle, id](Device& dev) {
            Device* owner = nullptr;
            Attr* attr = attributeOf<Attr>(dev.key, dev.epoch, handle, owner);
            return attr != nullptr && attr->write && attr->write->id == id;
        });
        auto done = [this, key = d.key, epoch = d.epoch, handle = a.handle, id](const NSError* error) {
            loop.post([this, key, epoch, handle, id, error = copyError(error)] {
                Device* dev = nullptr;
                Attr* attr = attributeOf<Attr>(key, epoch, handle, dev);
                if (attr == nullptr || !attr->write || attr->write->id != id) {
                    return;
                }
                WriteOp op = std::move(*attr->write);
                attr->write.reset();
                if (error) {
                    replyError(op.call, requestError(*error));
                } else {
                    replyOk(op.call);
                }
            });
        };
        const std::string data(value.begin(), value.end());
        if (descriptor) {
            central->writeDescriptor(d.key, a.handle, data, std::move(done));
        } else {
            central->writeCharacteristic(d.key, a.handle, data, std::move(done));
        }
    }

    // Writes without response queue without bound, as in bluetoothd; the radio's transmit queue takes as many
    // as it holds and the rest follow as it drains.
    void sendCommands(Device& d) {
        const unsigned depth = std::max(1u, central->transmitQueueDepth());
        while (d.commands_in_flight < depth && !d.commands.empty()) {
            auto [handle, data] = std::move(d.commands.front());
            d.commands.pop_front();
            ++d.commands_in_flight;
            central->writeWithoutResponse(
                d.key, handle, data, [this, key = d.key, epoch = d.epoch](const NSError* /*error*/) {
                    loop.post([this, key, epoch] {
                        Device* dev = find(key);
                        if (dev != nullptr && dev->epoch == epoch && dev->commands_in_flight > 0) {
                            --dev->commands_in_flight;
                            sendCommands(*dev);
                        }
                    });
                });
        }
    }

    // --- Notifications. ---

    void startNotify(Device& d, Characteristic& c, sdbus::MethodCall& call) {
        if (!c.subscribable()) {
            return replyError(call, notSupported());
        }
        if (d.link == Link::Disconnecting) {
            return replyError(call, bluezError("NotConnected", "Not Connected"));
        }
        const std::string client = call.getSender();
        if (c.sessions.count(client) != 0) {
            return c.subscribing ? replyError(call, inProgress()) : replyOk(call);
        }
        c.sessions.insert(client);
        // Without a link (or before its table is known) the session waits for the next connection.
        if (!d.linked() || !d.services_resolved || c.subscribed) {
            return replyOk(call);
        }
        c.start_calls.push_back(call);
        if (!c.subscribing) {
            subscribe(d, c);
        }
    }

    void subscribe(Device& d, Characteristic& c) {
        c.subscribing = true;
        const uint64_t id = ++next_id;
        c.notify_op = id;
        armAttTimeout(d, [this, handle = c.handle, id](Device& dev) {
            Device* owner = nullptr;
            Characteristic* ch = attributeOf<Characteristic>(dev.key, dev.epoch, handle, owner);
            return ch != nullptr && ch->subscribing && ch->notify_op == id;
        });
        central->setNotify(d.key, c.handle, true,
                           [this, key = d.key, epoch = d.epoch, handle = c.handle, id](const NSError* error) {
                               loop.post([this, key, epoch, handle, id, error = copyError(error)] {
                                   Device* dev = nullptr;
                                   Characteristic* ch = attributeOf<Characteristic>(key, epoch, handle, dev);
                                   if (ch != nullptr && ch->notify_op == id) {
                                       onSubscribed(*dev, *ch, error);
                                   }
                               });
                           });
    }

    void onSubscribed(Device& d, Characteristic& c, const std::optional<NSError>& error) {
        c.subscribing = false;
        auto calls = std::move(c.start_calls);
        c.start_calls.clear();
        if (error) {
            const sdbus::Error e = requestError(*error);
            for (const sdbus::MethodCall& call : calls) {
                c.sessions.erase(call.getSender());
                replyError(call, e);
            }
            return;
        }
        c.subscribed = true;
        if (c.sessions.empty()) {
            // Every client stopped while the subscription was on its way.
            return endNotify(d, c);
        }
        if (!c.notifying) {
            c.notifying = true;
            c.node->set(kCharacteristic, "Notifying", true);
        }
        for (const sdbus::MethodCall& call : calls) {
            replyOk(call);
        }
    }

    void stopNotify(Device& d, Characteristic& c, sdbus::MethodCall& call) {
        if (c.sessions.erase(call.getSender()) == 0) {
            return replyError(call, failed("No notify session started"));
        }
        if (c.sessions.empty()) {
            endNotify(d, c);
        }
        replyOk(call);
    }

    void endNotify(Device& d, Characteristic& c) {
        if (c.notifying) {
            c.notifying = false;
            c.node->set(kCharacteristic, "Notifying", false);
        }
        auto calls = std::move(c.start_calls);
        c.start_calls.clear();
        for (const sdbus::MethodCall& call : calls) {
            replyError(call, failed("No notify session started"));
        }
        if (c.subscribed || c.subscribing) {
            c.subscribed = false;
            c.subscribing = false;
            c.notify_op = ++next_id;  // a subscription still on its way no longer counts
            if (d.linked()) {
                central->setNotify(d.key, c.handle, false, [](const NSError*) {});
            }
        }
    }

    void onNotified(const std::string& key, AttributeHandle handle, const std::string& value) {
        Device* d = find(key);
        if (d == nullptr) {
            return;
        }
        auto it = d->characteristics.find(handle);
        if (it == d->characteristics.end()) {
            return;
        }
        // Each notification is a signal of its own, even for repeated bytes.
        it->second->node->set(kCharacteristic, "Value", bytesOf(value));
        tree.flush();
    }

    void clientGone(const std::string& client) {
        auto it = sessions.find(client);
        if (it != sessions.end()) {
            const bool was_discovering = it->second.discovering;
            sessions.erase(it);
            remerge();
            if (was_discovering && adapter) {
                stopScanIfUnused();
            }
        }
        for (auto& [key, device] : devices) {
            for (auto& [handle, c] : device->characteristics) {
                if (c->sessions.erase(client) != 0 && c->sessions.empty()) {
                    endNotify(*device, *c);
                }
            }
        }
    }
};

BluezSimulator::BluezSimulator(EventLoop& loop, ObjectTree& tree, platform::radio::Radio& radio,
                               std::map<std::string, std::string> addresses, std::function<void(bool on)> set_power)
    : impl_(std::make_shared<Impl>(loop, tree, radio, std::move(addresses), std::move(set_power))) {}

BluezSimulator::~BluezSimulator() {
    impl_->close();
}

void BluezSimulator::start() {
    impl_->start();
}

bool BluezSimulator::stateKnown() const {
    return impl_->state_known;
}

void BluezSimulator::clientGone(const std::string& unique_name) {
    impl_->clientGone(unique_name);
}

}  // namespace bluezsim
