#pragma once
// The simulator's model, shared by the files that make up BluezSimulator::Impl: the names it serves, the
// values it shares, the error vocabulary it answers with, and the Impl's state with every member function,
// grouped by the file that defines it. Everything here is touched on the loop's thread only.

#include <sdbus-c++/sdbus-c++.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "BluezSimulator.h"
#include "EventLoop.h"
#include "ObjectTree.h"
#include "platform/Radio.h"

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

// --- bluetoothd's names. ---
// The simulator keeps its own table of D-Bus names, error names (Errors.cpp) and characteristic flags
// (GattTree.cpp) rather than sharing the BlueZ radio's: it is the radio's oracle, and a table both read would
// let one mistake pass both.

inline const std::string kAgentManager = "org.bluez.AgentManager1";
inline const std::string kProfileManager = "org.bluez.ProfileManager1";
inline const std::string kAgent = "org.bluez.Agent1";
inline const std::string kAdapter = "org.bluez.Adapter1";
inline const std::string kDevice = "org.bluez.Device1";
inline const std::string kService = "org.bluez.GattService1";
inline const std::string kCharacteristic = "org.bluez.GattCharacteristic1";
inline const std::string kDescriptor = "org.bluez.GattDescriptor1";
inline const std::string kAdapterName = "tavrin-bluez-sim";

// --- Values as bluetoothd gives them. ---

// bluetoothd's form of a UUID: 128 bits, lower case.
inline std::string uuidText(const CBUUID& uuid) {
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

inline Bytes bytesOf(const std::string& data) {
    return Bytes(data.begin(), data.end());
}

// A radio completion's error, kept past the completion for the loop.
inline std::optional<NSError> copyError(const NSError* error) {
    return error ? std::optional<NSError>(*error) : std::nullopt;
}

// --- The error vocabulary (Errors.cpp): what bluetoothd answers with. ---

sdbus::Error bluezError(const char* name, const std::string& message);
sdbus::Error failed(const std::string& message);
sdbus::Error inProgress();
sdbus::Error notSupported();
sdbus::Error invalidArguments();
sdbus::Error notReady();
sdbus::Error notConnected();
// Refused by a controller or a busy adapter, in bluetoothd's words ("Operation already in progress").
sdbus::Error busy();
// A call to an object that has just gone.
sdbus::Error unknownObject(const std::string& path);
// The link failed under a request, as bluetoothd words it.
sdbus::Error linkLost();
// What bluetoothd answers for the ATT error a device gave.
sdbus::Error attError(long code);
// A request's error from the radio: the device's ATT answer, or else the link failed under it.
sdbus::Error requestError(const NSError& error);

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
    // Our end of a socket pair whose other end a client acquired: closed, and no longer watched, when it goes.
    struct AcquiredSocket {
        AcquiredSocket(EventLoop& l, int our_fd) : loop(l), fd(our_fd) {}
        ~AcquiredSocket();
        AcquiredSocket(const AcquiredSocket&) = delete;
        AcquiredSocket& operator=(const AcquiredSocket&) = delete;
        EventLoop& loop;
        int fd;
        uint64_t watch = 0;    // 0: not watched
        bool hung_up = false;  // the client closed its end, or the link's end shut ours down
    };
    // AcquireWrite's or AcquireNotify's hold on a characteristic, from the call on: bluetoothd counts the
    // characteristic acquired while the call still waits for the tree or for the subscription.
    struct Acquired {
        // Written out: std::optional<Acquired> inside this class must see it constructible before the class ends.
        Acquired() {}
        uint64_t id = 0;
        std::optional<sdbus::MethodCall> call;   // not answered yet
        std::unique_ptr<AcquiredSocket> socket;  // made with the reply
        bool reading = true;                     // write: a zero-length datagram ends the reading for good
        std::string owner;                       // notify: the client the registration is for
        bool registered = false;                 // notify: its registration holds the device's subscription
        bool confirmed = false;                  // notify: the subscription answered for it
    };
    struct Characteristic : Attribute {
        platform::CBCharacteristicProperties properties = 0;
        std::vector<std::unique_ptr<Descriptor>> descriptors;
        // Clients (unique bus names) with a notify session, each with whether it is registered on the link now
        // (bluetoothd's notify_id): registered at StartNotify or at each connection, unregistered when it ends.
        std::map<std::string, bool> sessions;
        bool notifying = false;                      // the Notifying property
        bool subscribed = false;                     // the device notifies on this link
        bool subscribing = false;                    // the subscription's write is on its way
        uint64_t notify_op = 0;                      // the subscription request whose answer counts
        std::vector<sdbus::MethodCall> start_calls;  // StartNotify calls waiting for the subscription
        std::optional<Acquired> write_acquired;
        std::optional<Acquired> notify_acquired;
        // An acquired socket's registration counts towards the subscription, though not for Notifying.
        bool acquiredRegistration() const { return notify_acquired && notify_acquired->registered; }
        bool subscribable() const {
            return (properties &
                    (platform::CBCharacteristicPropertyNotify | platform::CBCharacteristicPropertyIndicate)) != 0;
        }
        size_t registered() const;
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

    // One request of a link's ATT queue. `send` puts it on the radio with its token, whose answer must come
    // back through onAttAnswer; it returns false when the request is no longer wanted, and the next one goes.
    struct AttRequest {
        std::function<bool(uint64_t token)> send;
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

    // A client's registered agent (AgentManager1), as bluetoothd keeps it.
    struct Agent {
        std::string owner;  // the client's unique name
        std::string path;
        platform::radio::IoCapability capability = platform::radio::IoCapability::KeyboardDisplay;
        std::unique_ptr<sdbus::IProxy> proxy;  // its calls; kept past unregistration while they may be answered
        uint64_t question = 0;                 // the one question it has open; 0: none
        std::string question_device;           // the radio key of the device it is about
        std::string question_adapter;          // the path of the adapter whose device it is
        uint64_t registration = 0;             // numbers its registrations: a client may unregister and register again
    };
    // A Pair() under way: its call, and the agent that answers for it.
    struct Bonding {
        uint64_t id = 0;
        sdbus::MethodCall call;
        std::string agent;  // the owner of the agent asked; empty: none
    };

    struct Device {
        std::string key;
        std::string address;
        std::string path;
        std::unique_ptr<ObjectNode> node;
        bool departed = false;  // removed: its objects wait to be dropped, and answer nothing

        std::optional<std::string> name;
        std::optional<std::string> alias;  // set by a client
        std::optional<int> rssi;
        std::optional<int> tx_power;
        std::map<uint16_t, Bytes> manufacturer_data;
        std::map<std::string, Bytes> service_data;
        std::vector<std::string> uuids;
        bool resolved_once = false;  // UUIDs now lists the GATT services
        bool connectable = true;
        bool private_address = false;  // a random address that is not static: temporary for good
        bool temporary = true;         // forgotten when unseen for a while
        Clock::time_point expires;     // when a temporary device is forgotten unless seen again
        bool expiry_armed = false;
        bool paired = false;
        std::optional<Bonding> bonding;

        Link link = Link::Idle;
        uint64_t epoch = 0;  // bumped whenever a link comes or goes: answers of another link are dropped
        bool reconnect = false;
        std::vector<ConnectCall> connect_calls;
        // Disconnect() and RemoveDevice() calls, answered once the link is down.
        std::vector<sdbus::MethodCall> disconnect_calls;
        bool remove_when_down = false;  // RemoveDevice() waits for the link
        uint64_t disconnect_timer = 0;  // the running timer that takes the link down after Disconnect(); 0: none
        bool connected = false;
        bool services_resolved = false;

        std::deque<AttRequest> att_queue;  // requests waiting for the one on the air
        uint64_t att_pending = 0;          // the token of the request on the air; 0: none

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

    Impl(EventLoop& l, ObjectTree& t, platform::radio::Radio& r, Setup s, std::function<void(bool)> p)
        : loop(l), tree(t), radio(r), setup(std::move(s)), faults(setup.faults), set_power(std::move(p)) {}

    EventLoop& loop;
    ObjectTree& tree;
    platform::radio::Radio& radio;
    const Setup setup;
    platform::sim::AdapterFaults faults;  // the adapter's faults still to come
    std::function<void(bool)> set_power;

    std::shared_ptr<platform::radio::RadioCentralEvents> listener;
    std::shared_ptr<platform::radio::RadioCentral> central;

    bool state_known = false;
    bool powered = false;
    std::string power_state = "off";   // the PowerState property
    std::optional<bool> power_target;  // a client's Set of Powered, until the controller's new settings
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
    // Removed devices whose objects are dropped at the loop's next round: never inside a property Set.
    std::vector<std::unique_ptr<Device>> departed;
    std::map<std::string, Agent> agents;     // by owner
    std::deque<std::string> default_agents;  // owners, the default agent first
    // Proxies of agents gone, whose calls may still be answered: they go with the simulator.
    std::vector<std::unique_ptr<sdbus::IProxy>> agent_graveyard;
    // The simulator whose agents answer for this adapter; expired or unset: this one's own.
    std::weak_ptr<Impl> agent_host;
    // The other adapters' simulators, whose pairings this one's agents answer.
    std::vector<std::weak_ptr<Impl>> agent_guests;

    // --- Replies and methods (BluezSimulator.cpp). Queued signals go out first, as bluetoothd flushes before
    // every reply. ---

    void replyOk(const sdbus::MethodCall& call);
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
    void replyError(const sdbus::MethodCall& call, const sdbus::Error& error);
    void method(ObjectNode& node, const std::string& iface, const std::string& name, const std::string& in,
                const std::string& out, std::function<void(sdbus::MethodCall&)> body);
    // A method of a device's object or of one of its attributes' objects.
    void deviceMethod(ObjectNode& node, Device* d, const std::string& iface, const std::string& name,
                      const std::string& in, const std::string& out, std::function<void(sdbus::MethodCall&)> body);
    // Runs `task` at the loop's next round, while the simulator is there.
    void later(std::function<void(Impl&)> task);
    // Runs `task` after `delay`, while the simulator is there.
    void after(std::chrono::milliseconds delay, std::function<void(Impl&)> task);

    // --- The radio session (BluezSimulator.cpp): its events are handed to the loop. ---

    class Listener;
    void start();
    void close();
    void clientGone(const std::string& client);

    // --- The adapter (Adapter.cpp). ---

    void onState(CBManagerState state);
    void exportAdapter(bool on);
    void removeAdapter();
    void setPowered(bool on);
    void setPoweredByClient(bool on);
    void poweredSettled(bool on);
    void setPowerState(const std::string& state);
    void endDiscoveries();
    void discoveryStopped();
    void dropAllLinks();

    // --- Discovery sessions, their filters, and what a sighting reports (Discovery.cpp). ---

    bool takeFault(const std::string& request, platform::sim::Fault& kind);
    void startDiscovery(sdbus::MethodCall& call);
    void stopDiscovery(sdbus::MethodCall& call);
    void endSession(std::map<std::string, Session>::iterator it);
    void stopScanIfUnused();
    void forgetSighting(Device& d);
    void setDiscoveryFilter(sdbus::MethodCall& call);
    void remerge();
    bool matches(const AdvertisementReport& r, const std::string& address) const;
    void onDiscovered(const AdvertisementReport& r);
    // This adapter's object path.
    std::string adapterPath() const { return "/org/bluez/" + setup.adapter; }
    void applyReport(Device& d, const AdvertisementReport& r);

    // --- Device objects: made, swept, removed (Devices.cpp). ---

    std::string addressFor(const AdvertisementReport& r) const;
    static std::string aliasOf(const Device& d);
    Device* find(const std::string& key);
    Device* createDevice(const AdvertisementReport& r);
    void seen(Device& d);
    void armExpiry(Device& d);
    void expire(const std::string& key);
    void removeTemporaryDevices();
    void removeDeviceCall(sdbus::MethodCall& call);
    // Unexports the device and forgets it. `answer`: its calls in flight fail as the link's loss; else they
    // are never answered, as bluetoothd drops them with the objects.
    void removeDevice(Device& d, bool answer);

    // --- Connections and link loss (Connection.cpp). ---

    void connect(Device& d, sdbus::MethodCall& call, bool pair);
    void onConnected(const std::string& key);
    void onConnectFailed(const std::string& key);
    void failConnects(Device& d, const std::string& reason);
    void onDisconnected(const std::string& key, bool lost);
    void settleCancel(Device& d);
    void cancelAttempt(Device& d);
    void disconnect(Device& d, sdbus::MethodCall& call);
    void beginDisconnect(Device& d);
    void dropLink(Device& d, bool silent);
    bool finishRemoval(Device& d);
    // Every GATT call in flight on the device is answered with `error`, or with none dropped unanswered.
    void failRequests(Device& d, const sdbus::Error* error);

    // --- Agents (Agents.cpp): registered, made default, asked over the bus as bluetoothd asks them. ---

    class BusAgent;
    void registerAgent(sdbus::MethodCall& call);
    void unregisterAgent(sdbus::MethodCall& call);
    void requestDefaultAgent(sdbus::MethodCall& call);
    bool callersAgent(sdbus::MethodCall& call);
    void cancelQuestion(Agent& agent, const std::string& device, const std::string& under);
    void removeAgent(const std::string& owner);
    // The radio's default agent follows the head of `default_agents`.
    void defaultAgentChanged();
    // The agent that answers for `owner`: its own, else the default one; null: none. It asks about this
    // adapter's devices, or, not `this_adapter`, about those of the adapter with the device's link.
    std::shared_ptr<platform::radio::PairingAgent> agentFor(const std::string& owner, bool this_adapter = true);
    std::string agentOwnerFor(const std::string& owner);
    std::shared_ptr<Impl> agentHost();
    std::shared_ptr<Impl> adapterOf(const std::string& key);

    // --- Pairing (Pairing.cpp): Pair, CancelPairing, the bond, and the devices bonded before. ---

    void pairDevice(Device& d, sdbus::MethodCall& call);
    void startBonding(Device& d);
    void bondingDone(const std::string& key, uint64_t id, const std::optional<NSError>& error);
    void cancelPairing(Device& d, sdbus::MethodCall& call);
    void bondingLinkDown(Device& d);
    void takeBackQuestion(const Device& d);
    void markPaired(Device& d);
    void onPaired(const std::string& key);
    void exportBondedDevices(const std::vector<platform::radio::BondedDevice>& bonded);

    // --- The link's ATT queue: one request on the air at a time, in order (AttQueue.cpp). ---

    void attEnqueue(Device& d, std::function<bool(uint64_t token)> send);
    void attNext(Device& d);
    // The radio answered request `token` of `key`'s link `epoch`: `handle` runs if that request is the one on
    // the air, and the next one goes.
    void onAttAnswer(const std::string& key, uint64_t epoch, uint64_t token,
                     const std::function<void(Device&)>& handle);
    void attTimedOut(const std::string& key, uint64_t epoch, uint64_t token);

    // --- The attribute table, discovered once per connection, and the GATT tree built from it
    // (GattTree.cpp). ---

    void resolveServices(Device& d);
    Discovery* discoveryOf(const std::string& key, uint64_t id, Device*& d);
    void onServices(const std::string& key, uint64_t id, const std::optional<NSError>& error,
                    const std::vector<ServiceInfo>& services);
    void onCharacteristics(const std::string& key, uint64_t id, AttributeHandle service,
                           const std::optional<NSError>& error, const std::vector<CharacteristicInfo>& list);
    void onDescriptors(const std::string& key, uint64_t id, AttributeHandle characteristic,
                       const std::optional<NSError>& error, const std::vector<DescriptorInfo>& list);
    void stageDone(Device& d);
    static std::string signatureOf(const Discovery& disc);
    void finishDiscovery(Device& d, bool ok);
    void buildTree(Device& d, const Discovery& disc, uint16_t mtu);
    void unexportTree(Device& d);
    void removeTree(Device& d);

    // --- GATT requests (GattIo.cpp). ---

    // The attribute a request's answer is for, if its device still has it on the same link.
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
    // For a Characteristic or a Descriptor.
    template <typename Attr>
    void readValue(Device& d, Attr& a, sdbus::MethodCall& call, bool descriptor);
    template <typename Attr>
    void onRead(Attr& a, const std::optional<NSError>& error, const std::string& value);
    void writeCharacteristic(Device& d, Characteristic& c, sdbus::MethodCall& call);
    void writeDescriptor(Device& d, Descriptor& desc, sdbus::MethodCall& call);
    template <typename Attr>
    void sendWrite(Device& d, Attr& a, sdbus::MethodCall& call, const Bytes& value, bool descriptor);
    void sendCommands(Device& d);

    // --- Notifications (Notifications.cpp). ---

    void startNotify(Device& d, Characteristic& c, sdbus::MethodCall& call);
    void subscribe(Device& d, Characteristic& c);
    void onSubscribed(Device& d, Characteristic& c, const std::optional<NSError>& error);
    void stopNotify(Device& d, Characteristic& c, sdbus::MethodCall& call);
    void endNotifySession(Device& d, Characteristic& c, const std::string& client);
    void unsubscribe(Device& d, Characteristic& c);
    void reregister(Device& d);
    void onNotified(const std::string& key, AttributeHandle handle, const std::string& value);

    // --- Acquired sockets (Acquire.cpp): AcquireWrite's datagrams become writes without response, AcquireNotify's
    // registration sends each notification as one datagram. ---

    void acquireWrite(Device& d, Characteristic& c, sdbus::MethodCall& call);
    void acquireNotify(Device& d, Characteristic& c, sdbus::MethodCall& call);
    // Answers a waiting Acquire call with a new socket, once the tree (and for notify the subscription) is there.
    void makeSocket(Device& d, Characteristic& c, bool write);
    // The tree is ready: the Acquire calls waiting for it are answered.
    void acquiredReady(Device& d);
    void onSocket(const std::string& key, AttributeHandle handle, bool write, uint64_t id, short revents);
    // Reads the write sockets' datagrams while the link's transmit queue takes them.
    void pumpWrites(Device& d);
    void pumpWrite(Device& d, Characteristic& c);
    void releaseWrite(Characteristic& c);
    void releaseNotify(Device& d, Characteristic& c);
    // The link went: every socket of the device is shut down, so that its client reads the end of it.
    void shutDownSockets(Device& d);
    void sendNotification(Characteristic& c, const std::string& value);
};

// Instantiated in GattIo.cpp, for the tree's methods.
extern template void BluezSimulator::Impl::readValue(BluezSimulator::Impl::Device&,
                                                     BluezSimulator::Impl::Characteristic&, sdbus::MethodCall&, bool);
extern template void BluezSimulator::Impl::readValue(BluezSimulator::Impl::Device&, BluezSimulator::Impl::Descriptor&,
                                                     sdbus::MethodCall&, bool);

}  // namespace bluezsim
