#pragma once
// What the BlueZ radio's parts share: the core, whose loop owns the bus, the mirror of bluetoothd's objects and
// every central's links. Its operations are cut by concern, one file each:
//   Core.cpp           the pass of the loop, and the tasks it takes
//   BusConnection.cpp  connecting to the bus, its matches, calls and their bookkeeping, losing it
//   ObjectMirror.cpp   bluetoothd's presence, its objects, the adapter in use and the state it gives
//   Discovery.cpp      what the scanning centrals want of bluetoothd, and what counts as found
//   Connections.cpp    links: connecting, disconnecting, losing them
//   GattRequests.cpp   service discovery, reads and writes, the request table and late replies
//   Notifications.cpp  notify sessions, and which Value changes are notifications
//   Sockets.cpp        the sockets bluetoothd hands over: writes without response and notifications that skip
//                      the bus
// The loop (EventLoop), the discovery arbiter (DiscoveryArbiter) and a central's outbox (CentralOutbox) are
// classes of their own.
//
// Threads: the loop thread holds Core::mutex_ for all it does but its wait in poll(); a caller's thread takes it
// only to send a read or write while the loop waits (sendNow). Everything of the core but the few fields named
// otherwise below is guarded by it.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "../ThreadSafety.h"
#include "BluezObjects.h"
#include "Bus.h"
#include "CentralOutbox.h"
#include "DiscoveryArbiter.h"
#include "EventLoop.h"
#include "Trace.h"

namespace platform::bluez {

using radio::AttributeHandle;
using radio::CharacteristicInfo;
using radio::CharacteristicsDone;
using radio::DescriptorInfo;
using radio::DescriptorsDone;
using radio::DeviceKey;
using radio::Done;
using radio::ServiceInfo;
using radio::ServicesDone;
using radio::ValueDone;
using Clock = std::chrono::steady_clock;

// A bus that has not answered by then is reported as unsupported (the connection may still come later).
constexpr auto kBusConnectLimit = std::chrono::seconds(3);
constexpr auto kSetupTimeout = std::chrono::seconds(5);
// bluetoothd sets no connect timeout of its own; the backend cancels after its limit (5 s unless set), this is
// the backstop, that much past the longest limit.
constexpr auto kConnectTimeout = std::chrono::seconds(10);
constexpr auto kConnectBackstop = std::chrono::seconds(5);
constexpr auto kDisconnectTimeout = std::chrono::seconds(5);
// How long a lost link waits for the adapter's switch-off that may explain it.
constexpr auto kSwitchOffGrace = std::chrono::milliseconds(50);
// bluetoothd now and then signals ServicesResolved before it adds the tree's objects: a tree that looks empty then
// is looked at again this much later before it is taken as empty.
constexpr auto kEmptyTreeGrace = std::chrono::milliseconds(300);
// The backend waits 1 s for a GATT answer unless it set a limit of its own: a reply after that would only be
// dropped.
constexpr auto kRequestTimeout = std::chrono::seconds(1);
// bluetoothd's own limit for an ATT request is 30 s (then it drops the link); an attribute stays busy until its
// write is answered, so the call waits that long and a little more.
constexpr auto kAttTimeout = std::chrono::seconds(35);
// The backend's limit for service discovery, unless it set one of its own.
constexpr auto kResolveLimit = std::chrono::seconds(5);
// A connect that fails for a reason that passes (isTransientConnectFailure) is tried again at most this often.
constexpr unsigned kConnectRetries = 3;
// A scan bluetoothd refuses is asked for this many times before the centrals are told it ended.
constexpr unsigned kDiscoveryAttempts = 3;
constexpr unsigned kDefaultMtu = 23;
constexpr unsigned kTransmitQueueDepth = 20;

// What failed for a reason that may pass (the bus socket missing, bluetoothd too slow to list its objects) is
// tried again after 1, 2, 4, 8 and 16 s, then every 30 s, for as long as the program runs; success starts the
// schedule over.
class Backoff {
  public:
    Clock::duration next() {
        const Clock::duration delay =
            std::min<Clock::duration>(std::chrono::seconds(1LL << std::min(failures_, 5u)), kCeiling);
        ++failures_;
        return delay;
    }
    void reset() { failures_ = 0; }
    bool fresh() const { return failures_ == 0; }

  private:
    static constexpr auto kCeiling = std::chrono::seconds(30);
    unsigned failures_ = 0;
};

const char* const kObjectManager = "org.freedesktop.DBus.ObjectManager";
const char* const kProperties = "org.freedesktop.DBus.Properties";
const char* const kAccessDenied = "org.freedesktop.DBus.Error.AccessDenied";
const char* const kNameHasNoOwner = "org.freedesktop.DBus.Error.NameHasNoOwner";

NSError lostError(const std::string& text);
NSError linkLossError();
NSError notConnectedError();
NSError unknownAttributeError();
NSError unknownDeviceError();
NSError badReplyError(const std::string& what);
bool isTimeout(const NSError& error);
// bluetoothd's Connect failed for a reason that usually passes at once: the controller aborted the attempt.
bool isTransientConnectFailure(const NSError& error);

class Core {
  public:
    using Task = EventLoop::Task;
    using ReplyDone = std::function<void(Core&, BusMessage* reply, const NSError* error)>;
    using DisconnectDone = std::function<void(Core&, const NSError*)>;

    // `adapter` ("hci1") binds the core to that adapter alone; empty: TAVRIN_BLUEZ_ADAPTER's, else the first.
    explicit Core(BusConnector connector, const std::string& adapter = {});
    ~Core();
    Core(const Core&) = delete;
    Core& operator=(const Core&) = delete;

    void start(const std::shared_ptr<Core>& self);
    // Stops the loop and waits for it; pending tasks are dropped.
    void stop() { loop_.stop(); }
    void post(Task task) { loop_.post(std::move(task)); }

    // ---- Any thread ----
    CBManagerState state() const EXCLUDES(snapshotMutex_);
    CBManagerAuthorization authorization() const EXCLUDES(snapshotMutex_);
    unsigned mtu(const std::string& address) const EXCLUDES(snapshotMutex_);
    uint64_t newCentralId() { return ++nextCentral_; }
    // A read or write sent from the caller's thread while the loop waits; false (and `done` kept) when it must go
    // through the loop instead.
    bool readNow(uint64_t id, const std::string& address, AttributeHandle handle, ValueDone& done) EXCLUDES(mutex_);
    bool writeNow(uint64_t id, const std::string& address, AttributeHandle handle, const char* type,
                  const std::string& value, Done& done) EXCLUDES(mutex_);

    // ---- A central's requests, run on the loop (Core.cpp and the concern's file) ----
    void openCentral(uint64_t id, std::shared_ptr<CentralOutbox> outbox) REQUIRES(mutex_);
    void closeCentral(uint64_t id) REQUIRES(mutex_);
    void startScan(uint64_t id, std::optional<std::vector<CBUUID>> services, bool duplicates,
                   std::optional<int> rssiFloor = std::nullopt) REQUIRES(mutex_);
    void stopScan(uint64_t id) REQUIRES(mutex_);
    void connect(uint64_t id, const std::string& address) REQUIRES(mutex_);
    void cancelConnection(uint64_t id, const std::string& address) REQUIRES(mutex_);
    void discoverServices(uint64_t id, const std::string& address, ServicesDone done) REQUIRES(mutex_);
    void discoverCharacteristics(uint64_t id, const std::string& address, AttributeHandle service,
                                 CharacteristicsDone done) REQUIRES(mutex_);
    void discoverDescriptors(uint64_t id, const std::string& address, AttributeHandle characteristic,
                             DescriptorsDone done) REQUIRES(mutex_);
    void read(uint64_t id, const std::string& address, AttributeHandle handle, bool descriptor, ValueDone done)
        REQUIRES(mutex_);
    void write(uint64_t id, const std::string& address, AttributeHandle handle, bool descriptor, const char* type,
               const std::string& value, Done done) REQUIRES(mutex_);
    void setNotify(uint64_t id, const std::string& address, AttributeHandle handle, bool enabled,
                   radio::NotifyDelivery delivery, Done done) REQUIRES(mutex_);
    void setLinkLimits(uint64_t id, const std::string& address, const radio::LinkLimits& limits) REQUIRES(mutex_);

    // ---- Pairing, the program's agent and the bonded devices, run on the loop (Pairing.cpp) ----
    void setAgent(uint64_t id, std::shared_ptr<radio::PairingAgent> agent) REQUIRES(mutex_);
    void pair(uint64_t id, const std::string& address, Done done) REQUIRES(mutex_);
    void cancelPairing(const std::string& address) REQUIRES(mutex_);
    void unpair(uint64_t id, const std::string& address, Done done) REQUIRES(mutex_);
    void bondedDevices(uint64_t id, radio::BondedDone done) REQUIRES(mutex_);
    /// nullopt while bluetoothd is away: its bonds are unknown then, not gone.
    std::optional<bool> devicePaired(const std::string& address) const REQUIRES(mutex_);
    std::optional<radio::AddressKind> addressKind(const std::string& address) const REQUIRES(mutex_);
    // bluetoothd is (back) on the bus with its objects: the agent is registered with it again.
    void registerAgent() REQUIRES(mutex_);

    // The loop's lock; public so that the tasks and handlers the parts hand the loop can name it.
    mutable Mutex mutex_;

  private:
    // A socket bluetoothd handed over (AcquireWrite, AcquireNotify), watched by the loop while held. Closing it is
    // how it is given back: bluetoothd sees the hang-up and lets go of its end.
    class HeldSocket {
      public:
        HeldSocket() = default;
        HeldSocket(EventLoop& loop, int fd, short events, EventLoop::WatchHandler handler)
            : loop_(&loop), fd_(fd), watch_(loop.watch(fd, events, std::move(handler))) {}
        ~HeldSocket() { reset(); }
        HeldSocket(HeldSocket&& other) noexcept { *this = std::move(other); }
        HeldSocket& operator=(HeldSocket&& other) noexcept {
            if (this != &other) {
                reset();
                std::swap(loop_, other.loop_);
                std::swap(fd_, other.fd_);
                std::swap(watch_, other.watch_);
            }
            return *this;
        }
        HeldSocket(const HeldSocket&) = delete;
        HeldSocket& operator=(const HeldSocket&) = delete;
        void reset();
        bool held() const { return fd_ >= 0; }
        int fd() const { return fd_; }
        void setEvents(short events) {
            if (loop_) {
                loop_->setWatchEvents(watch_, events);
            }
        }

      private:
        EventLoop* loop_ = nullptr;
        int fd_ = -1;
        uint64_t watch_ = 0;
    };
    enum class Phase { Connecting, Connected, Disconnecting };
    struct Link {
        Phase phase = Phase::Connecting;
    };
    // The loop's record of one central: what it scans for and its links.
    struct CentralRecord {
        std::shared_ptr<CentralOutbox> outbox;
        bool scanning = false;
        std::optional<std::vector<CBUUID>> services;
        bool duplicates = false;
        std::optional<int> rssiFloor;  // dBm: weaker reports are not this central's
        uint64_t scan = 0;             // counts its scans; a device's marks of an earlier one are stale
        std::map<std::string, Link> links;
    };
    // One characteristic's notify session, shared by the centrals subscribed (bluetoothd keeps one per bus
    // connection).
    struct NotifyEntry {
        std::set<uint64_t> active;                        // centrals subscribed
        std::vector<std::pair<uint64_t, Done>> starting;  // centrals waiting for StartNotify (or AcquireNotify)
        bool startInFlight = false;
        uint64_t startTimer = 0;  // the waiting centrals' limit
        // Value changes while StartNotify runs: a device may notify before it answers the subscription, and
        // bluetoothd signals those. Given to the centrals once subscribed; the first kEarlyValues only.
        std::vector<std::string> early;
        // The session is this process's notify socket (AcquireNotify, asked or held), not a StartNotify one: its
        // values come on the socket, and the characteristic's Value changes are not notifications then.
        bool exclusive = false;
        HeldSocket socket;
        uint64_t serial = 0;  // the acquisition under way or held: a late answer or check of another is stale
    };
    // A read's own Value change comes just before its reply: changes seen while reads are pending wait for it.
    struct ReadWatch {
        unsigned pending = 0;
        std::vector<std::string> held;
    };
    // Writes to one attribute, in the order asked. bluetoothd refuses any write to an attribute whose write with
    // response is unanswered (InProgress), however long the device takes: the next one waits for that answer.
    using WriteKey = std::pair<AttributeHandle, bool>;  // the handle, and whether it is a descriptor's
    struct QueuedWrite {
        uint64_t call = 0;  // its request
        std::string path;
        const char* type = "request";  // a literal: "request" or "command"
        std::string value;
    };
    struct WriteQueue {
        uint64_t inFlight = 0;  // the request whose write with response bluetoothd has not answered, or 0
        std::deque<QueuedWrite> waiting;
    };
    // A characteristic's write socket for one link. Its writes without response go on it once acquired; bluetoothd
    // refuses every WriteValue of the characteristic while it is held, so any other write waits for its release.
    //
    //   None -> Acquiring       a write without response is first in the queue: AcquireWrite sent
    //   Acquiring -> Open       the socket came; Acquiring -> Refused: AcquireWrite failed
    //   Open -> Releasing       another write is first in the queue: the socket closed, WriteAcquired false awaited
    //   Releasing -> None       WriteAcquired turned false, or the first write's limit passed
    //   Open -> Checking        the socket broke: is the link still up?
    //   Checking -> Refused     it is; Checking -> None: it is not (the link's end follows)
    //   Refused                 for the rest of the link: WriteValue, as without a socket
    enum class WriteSocketState { None, Acquiring, Open, Releasing, Checking, Refused };
    struct WriteSocket {
        WriteSocketState state = WriteSocketState::None;
        HeldSocket socket;
        unsigned mtu = kDefaultMtu;
        uint64_t serial = 0;  // the acquisition (or release) under way: answers of an earlier one are stale
        uint64_t timer = 0;   // Releasing's bound
    };
    // What this core has asked of bluetoothd for one device's link, for all the centrals that want it (their own
    // side is each Link's Phase). One state at a time; moveTo() is the one place it changes, and an arrow this
    // table does not have writes a console line there:
    //
    //   Idle, Connected -> Connecting               a central connects: Connect() sent
    //   Idle -> Finding                             a central connects to a device bluetoothd does not know (it
    //                                               forgot it, with its bond): discovery runs until it sees it
    //   Finding -> Connecting                       bluetoothd sees the device: Connect() sent
    //   Finding -> Idle                             not seen in time, or every central gave up
    //   Connecting -> Connecting                    Connect() failed for a reason that passes, tries left: sent again
    //   Connecting -> Connected                     Connect() answered: the link is up, signalled or not
    //   Connecting -> Idle                          Connect() failed
    //   Connecting -> AwaitingOther                 refused: another program's attempt is under way
    //   AwaitingOther -> Connected                  its link came up (Connected, or ServicesResolved, true)
    //   AwaitingOther -> Idle                       the backstop passed first; or every central gave up (that
    //                                               attempt is not ours to cancel)
    //   any -> Disconnecting                        Disconnect() sent (it cancels a Connect() under way)
    //   Disconnecting -> DisconnectingThenConnect   a central connects
    //   DisconnectingThenConnect -> Disconnecting   every central gave up
    //   Disconnecting -> Connected                  Disconnect() refused, the link still up
    //   DisconnectingThenConnect -> Connecting      Disconnect() refused, the link still up: Connect() sent
    //   Disconnecting, Connected -> Idle            the link is down
    //   DisconnectingThenConnect -> Connecting      the link is down: Connect() sent
    //   DisconnectingThenConnect -> Idle            the link is down, and no central connects any more
    //   any -> Idle, the record dropped             the device, its adapter or bluetoothd goes; the adapter is
    //                                               switched off
    //
    // A central connecting while Connecting, AwaitingOther or DisconnectingThenConnect joins what is under way; a
    // link going down while Connecting or AwaitingOther changes nothing (the reply, or the backstop, settles it).
    // A Connect() reply counts only while Connecting, and only the current call's (by number); so does the
    // AwaitingOther backstop.
    enum class ConnectState {
        Idle,           // nothing asked; bluetoothd's link may be up for another program, or down
        Finding,        // the device is unknown to bluetoothd: discovery runs for it
        Connecting,     // our Connect() is under way
        AwaitingOther,  // another program's attempt is under way: its outcome is ours
        Connected,      // the link came up for us
        Disconnecting,  // our Disconnect() is under way, or the link is still going down after it
        // bluetoothd answers a Connect made while the link is being taken down with success, and drops the link
        // all the same: a connect asked meanwhile waits for the link to be down, then connects anew.
        DisconnectingThenConnect,
    };
    // Where the device's attribute tree stands for discovery, which is answered once it is Ready:
    //
    //   Unresolved, LookedAgain -> FetchingMtu   ServicesResolved with a tree: the MTU asked for (bluetoothd has
    //                                            it only on characteristics)
    //   Unresolved -> LookingAgain               ServicesResolved with no tree yet: bluetoothd now and then signals
    //                                            it before it adds the tree's objects, so look again a little later
    //   LookingAgain -> LookedAgain              the grace passed: resolved with whatever is there then
    //   LookedAgain -> Ready                     still no tree: the device has none
    //   FetchingMtu -> Ready                     the MTU answered (or not: the one cached)
    //   any -> Unresolved                        ServicesResolved false, or the link down
    enum class TreeState { Unresolved, LookingAgain, LookedAgain, FetchingMtu, Ready };
    static const char* connectStateName(ConnectState state);
    static bool connectArrow(ConnectState from, ConnectState to);
    struct DeviceRuntime {
        ConnectState connect = ConnectState::Idle;
        uint64_t connectCall = 0;     // the Connect() under way (Connecting, AwaitingOther)
        uint64_t findTimer = 0;       // ends Finding
        unsigned connectRetries = 0;  // tries again of the attempt under way, after transient failures
        TreeState tree = TreeState::Unresolved;
        unsigned mtu = kDefaultMtu;
        std::map<AttributeHandle, NotifyEntry> notify;
        std::map<AttributeHandle, ReadWatch> reads;
        std::map<WriteKey, WriteQueue> writes;
        std::map<AttributeHandle, WriteSocket> writeSockets;  // this link's; they go with it
        uint64_t linkEpoch = 0;  // counts the link's ends: a check of an earlier link is stale
    };
    struct Request {
        uint64_t central = 0;
        std::string address;
        AttributeHandle handle = 0;
        bool read = false;  // a characteristic read: its own Value change is not a notification
        bool descriptor = false;
        bool discovery = false;  // waits for the services to be resolved
        Done done;
        ValueDone valueDone;
        ServicesDone servicesDone;
        uint64_t timer = 0;
        bool pairingAsked = false;  // the agent was asked about this device while the request waited
    };
    enum class BusPhase { Connecting, Failed, Up };

    // ---- The pass (Core.cpp) ----
    void run();
    void wait(bool& busWoke) REQUIRES(mutex_);
    template <typename F>
    bool sendNow(F&& send) EXCLUDES(mutex_);
    template <typename F>
    void complete(uint64_t id, F&& f) REQUIRES(mutex_);

    // ---- The bus (BusConnection.cpp) ----
    void startConnector() REQUIRES(mutex_);
    void busReady(uint64_t attempt, std::shared_ptr<Bus> bus, const std::string& failure) REQUIRES(mutex_);
    void busBroken(const std::string& what) REQUIRES(mutex_);
    void retryBus() REQUIRES(mutex_);
    int dispatchBus() REQUIRES(mutex_);
    void call(const std::string& destination, BusCall call, Clock::duration timeout, ReplyDone done) REQUIRES(mutex_);
    void callBluez(const std::string& path, const char* interface, const char* method, std::vector<BusArg> args,
                   Clock::duration timeout, ReplyDone done) REQUIRES(mutex_);
    void dropCalls() REQUIRES(mutex_);
    bool mayCoalesce() const REQUIRES(mutex_);

    // ---- bluetoothd's objects and state (ObjectMirror.cpp) ----
    void askOwner() REQUIRES(mutex_);
    void onNameOwnerChanged(BusMessage& message) REQUIRES(mutex_);
    void bluetoothdLost(const NSError& why) REQUIRES(mutex_);
    void loadObjects() REQUIRES(mutex_);
    void retrySetup(void (Core::*ask)(), const NSError& why) REQUIRES(mutex_);
    void onObjectManagerSignal(BusMessage& message) REQUIRES(mutex_);
    void addInterfaces(const std::string& path, const InterfaceMap& interfaces, bool live) REQUIRES(mutex_);
    void removeInterfaces(const std::string& path, const std::vector<std::string>& interfaces) REQUIRES(mutex_);
    void attributeRemoved(const AttributeObject& attribute) REQUIRES(mutex_);
    void mtuChanged(const AttributeObject& characteristic) REQUIRES(mutex_) EXCLUDES(snapshotMutex_);
    void adapterLost() REQUIRES(mutex_);
    void deviceRemoved(const std::string& path) REQUIRES(mutex_);
    void readdressed(DeviceObject& device, const std::string& old) REQUIRES(mutex_);
    void endDevice(const std::string& address, const NSError& why, bool maySwitchOff) REQUIRES(mutex_);
    void chooseAdapter() REQUIRES(mutex_);
    void onPropertiesChanged(BusMessage& message) REQUIRES(mutex_);
    bool trusted(const BusMessage& signal, bool fromBus) const REQUIRES(mutex_);
    CBManagerState computeState() const REQUIRES(mutex_);
    void refreshState() REQUIRES(mutex_) EXCLUDES(snapshotMutex_);
    void poweredOff() REQUIRES(mutex_);
    void loseAllLinks(const NSError& why) REQUIRES(mutex_);
    const DeviceObject* deviceByAddress(const std::string& address) const REQUIRES(mutex_);
    void forgetMtu(const std::optional<std::string>& address) EXCLUDES(snapshotMutex_);

    // ---- Discovery and what counts as found (Discovery.cpp) ----
    void updateDiscovery() REQUIRES(mutex_);
    void discoveryAnswered(DiscoveryArbiter::Then then, const NSError* error = nullptr) REQUIRES(mutex_);
    void discoveryRefused(const NSError& why) REQUIRES(mutex_);
    void deviceChanged(DeviceObject& device, const DeviceChange& change) REQUIRES(mutex_);
    void reportAdvertisement(DeviceObject& device, bool rssiReported) REQUIRES(mutex_);
    // bluetoothd dropped the device's object on the adapter in use: every central forgets it.
    void deviceForgotten(const std::string& address) REQUIRES(mutex_);
    void flushPass() REQUIRES(mutex_);

    // ---- Links (Connections.cpp) ----
    // The program's limits for a central's requests to a device (the defaults until it set some).
    radio::LinkLimits limitsFor(uint64_t id, const std::string& address) const REQUIRES(mutex_);
    // How long a Connect call may take: past the longest limit of the centrals that wait for it.
    Clock::duration connectTimeout(const std::string& address) const REQUIRES(mutex_);
    Link* findLink(uint64_t id, const std::string& address) REQUIRES(mutex_);
    bool linkUp(uint64_t id, const std::string& address) REQUIRES(mutex_);
    bool anyLink(const std::string& address, uint64_t except = 0) const REQUIRES(mutex_);
    bool anyLinkConnecting(const std::string& address) const REQUIRES(mutex_);
    // The device's connect state changes (the one place it does, see ConnectState).
    void moveTo(const std::string& address, DeviceRuntime& rt, ConnectState to) REQUIRES(mutex_);
    // Every device's record goes (bluetoothd, the adapter or its power went), or one device's.
    void dropRuntime(const std::optional<std::string>& address) REQUIRES(mutex_);
    void startConnect(const std::string& address) REQUIRES(mutex_);
    void connectAnswered(const std::string& address, uint64_t callId, const NSError* error) REQUIRES(mutex_);
    void connectSettled(const std::string& address, const NSError* error) REQUIRES(mutex_);
    void markConnected(const std::string& address) REQUIRES(mutex_);
    // A connect to a device bluetoothd does not know: discovery until it sees it (Finding), then Connect().
    void findThenConnect(uint64_t id, const std::string& address) REQUIRES(mutex_);
    void deviceSeen(const std::string& address) REQUIRES(mutex_);
    // The search ends unseen: with `why`, the connects that waited for it fail; without, nobody waits any more.
    void endFinding(const std::string& address, const NSError* why) REQUIRES(mutex_);
    bool anyFinding() const REQUIRES(mutex_);
    void linkCameUp(const std::string& address) REQUIRES(mutex_);
    void disconnectDevice(const std::string& address, DisconnectDone done) REQUIRES(mutex_);
    void linkDown(const std::string& address) REQUIRES(mutex_);
    void linkGone(const std::string& address) REQUIRES(mutex_);
    void linkStayed(const std::string& address) REQUIRES(mutex_);
    void reportLosses() REQUIRES(mutex_);
    bool adapterSwitchingOff() const REQUIRES(mutex_);
    void finishLink(uint64_t id, const std::string& address, const NSError* error, const NSError& abandoned,
                    bool silent = false) REQUIRES(mutex_);

    // ---- GATT requests (GattRequests.cpp) ----
    void sendRead(uint64_t id, const std::string& address, AttributeHandle handle, bool descriptor,
                  const std::string& path, ValueDone done) REQUIRES(mutex_);
    void sendWrite(uint64_t id, const std::string& address, AttributeHandle handle, bool descriptor, const char* type,
                   const std::string& value, const std::string& path, Done done) REQUIRES(mutex_);
    void putWrite(const std::string& address, const WriteKey& key, QueuedWrite write) REQUIRES(mutex_);
    // Sends what may go of the attribute's queue, in order: on the write socket, or by WriteValue.
    void pumpWrites(const std::string& address, const WriteKey& key) REQUIRES(mutex_);
    void writeSettled(const std::string& address, const WriteKey& key, uint64_t call) REQUIRES(mutex_);
    void writeGivenUp(uint64_t call) REQUIRES(mutex_);
    template <typename Info, typename Done, typename Make>
    void listChildren(uint64_t id, const std::string& address, AttributeHandle parent, AttributeKind parentKind,
                      AttributeKind kind, Done& done, Make make) REQUIRES(mutex_);
    template <typename F>
    void forEachAttribute(const std::string& address, F&& f) const REQUIRES(mutex_);
    const AttributeObject* linkedAttribute(uint64_t id, const std::string& address, AttributeHandle handle,
                                           AttributeKind kind) REQUIRES(mutex_);
    const AttributeObject* attributeByHandle(const std::string& address, AttributeHandle handle,
                                             AttributeKind kind) const REQUIRES(mutex_);
    std::vector<ServiceInfo> servicesOf(const std::string& address) const REQUIRES(mutex_);
    void ensureResolved(const std::string& address) REQUIRES(mutex_);
    void resolved(const std::string& address, unsigned mtu) REQUIRES(mutex_) EXCLUDES(snapshotMutex_);
    uint64_t addRequest(Request request) REQUIRES(mutex_);
    std::optional<Request> takeRequest(uint64_t call, const std::optional<std::string>& value = std::nullopt)
        REQUIRES(mutex_);
    void answer(uint64_t call, const NSError& error) REQUIRES(mutex_);
    void answerUnlessTimedOut(uint64_t call, const NSError& error) REQUIRES(mutex_);
    void answerValue(uint64_t call, const std::string& value) REQUIRES(mutex_);
    void answerDone(uint64_t call) REQUIRES(mutex_);
    void failRequests(const std::function<bool(const Request&)>& match, const NSError& error) REQUIRES(mutex_);
    void dropRequests(const std::function<bool(const Request&)>& match) REQUIRES(mutex_);

    // ---- Notifications (Notifications.cpp) ----
    void endSubscriptions(uint64_t id, const std::string& address) REQUIRES(mutex_);
    void stopNotifyQuietly(const std::string& address, AttributeHandle handle) REQUIRES(mutex_);
    void notifyStarted(uint64_t generation, const std::string& address, AttributeHandle handle, const NSError* error)
        REQUIRES(mutex_);
    void valueChanged(const AttributeObject& characteristic, const std::string& value) REQUIRES(mutex_);
    void readSettled(const Request& request, const std::optional<std::string>& value) REQUIRES(mutex_);
    void deliverNotification(const std::string& address, AttributeHandle handle, const std::string& value)
        REQUIRES(mutex_);

    // ---- The sockets bluetoothd hands over (Sockets.cpp) ----
    // Whether the write `write`, first in its queue, was dealt with by the write socket's path (sent, or waiting
    // for it); false: it goes by WriteValue now.
    bool writeBySocket(const std::string& address, AttributeHandle handle, const QueuedWrite& write, bool& keepWaiting)
        REQUIRES(mutex_);
    void acquireWrite(const std::string& address, AttributeHandle handle, const std::string& path) REQUIRES(mutex_);
    void releaseWrite(const std::string& address, AttributeHandle handle, uint64_t call) REQUIRES(mutex_);
    int writeSocketReady(const std::string& address, AttributeHandle handle, uint64_t serial, short revents)
        REQUIRES(mutex_);
    void writeSocketBroke(const std::string& address, AttributeHandle handle, WriteSocket& socket) REQUIRES(mutex_);
    void writeAcquiredChanged(const AttributeObject& characteristic, bool held) REQUIRES(mutex_);
    void closeWriteSockets(const std::string& address) REQUIRES(mutex_);
    void acquireNotify(const std::string& address, AttributeHandle handle, const std::string& path) REQUIRES(mutex_);
    void startNotify(const std::string& address, AttributeHandle handle, const std::string& path) REQUIRES(mutex_);
    int notifySocketReady(const std::string& address, AttributeHandle handle, uint64_t serial, short revents)
        REQUIRES(mutex_);
    void notifySocketEnded(const std::string& address, AttributeHandle handle, NotifyEntry& entry) REQUIRES(mutex_);
    // Asks bluetoothd whether the device is still connected: a socket's end comes before the link's Connected
    // false, and only a socket lost on a live link is a fault. `then` runs with the answer, unless the link ended
    // meanwhile.
    void checkLink(const std::string& address, std::function<void(Core&, bool connected)> then) REQUIRES(mutex_);

    // ---- Pairing (Pairing.cpp) ----
    void agentAsked(const std::shared_ptr<BusIncoming>& call) REQUIRES(mutex_);
    void unregisterAgent() REQUIRES(mutex_);
    void agentLost() REQUIRES(mutex_);
    // A request that ran out of time while bluetoothd paired its device through the agent says why.
    void sayIfPairingOutlasted(const Request& request) const REQUIRES(mutex_);
    // Pair() and RemoveDevice() go through these, so that bluetoothd leaving answers them at once (the bus
    // drops their replies with it) instead of after the caller's whole limit.
    void callForBond(const std::string& path, const char* interface, const char* method, std::vector<BusArg> args,
                     Clock::duration timeout, uint64_t id, Done done) REQUIRES(mutex_);
    void bondCallsLost(const NSError& why) REQUIRES(mutex_);

    // ---- Fields ----
    std::weak_ptr<Core> self_;  // set by start(), then read-only
    const BusConnector connector_;
    std::string wantedAdapter_;  // the one named, else none; set by the constructor, then read-only
    std::atomic<uint64_t> nextCentral_{0};
    const Trace trace_;

    EventLoop loop_;  // guards itself
    // What a caller's thread needs to know to send while the loop waits (sendNow).
    bool pollWaiting_ GUARDED_BY(mutex_) = false;  // the loop waits in poll()
    short pollEvents_ GUARDED_BY(mutex_) = 0;      // the bus events it waits for
    Clock::time_point pollDeadline_ GUARDED_BY(mutex_);

    // What any thread may read.
    mutable Mutex snapshotMutex_;
    CBManagerState state_ GUARDED_BY(snapshotMutex_) = CBManagerState::Unknown;
    CBManagerAuthorization authorization_ GUARDED_BY(snapshotMutex_) = CBManagerAuthorization::AllowedAlways;
    std::map<std::string, unsigned> mtus_ GUARDED_BY(snapshotMutex_);

    // The bus.
    std::shared_ptr<Bus> bus_ GUARDED_BY(mutex_);
    BusPhase busPhase_ GUARDED_BY(mutex_) = BusPhase::Connecting;
    uint64_t busAttempt_ GUARDED_BY(mutex_) = 0;
    uint64_t busConnectTimer_ GUARDED_BY(mutex_) = 0;  // the limit of the attempt under way
    Backoff busBackoff_ GUARDED_BY(mutex_);
    unsigned callsInFlight_ GUARDED_BY(mutex_) = 0;  // calls sent whose reply has not been handled
    uint64_t nextCall_ GUARDED_BY(mutex_) = 0;
    Clock::time_point busQuietUntil_ GUARDED_BY(mutex_);  // the bus waits until then while it may coalesce
    Clock::time_point lastTraffic_ GUARDED_BY(mutex_);    // the last pass that handled bus messages
    unsigned denseStreak_ GUARDED_BY(mutex_) = 0;         // dense passes in a row: how long the next wait is

    // bluetoothd and its objects. Replies of an older generation (before bluetoothd or the adapter went away)
    // are dropped.
    uint64_t generation_ GUARDED_BY(mutex_) = 0;
    bool ownerKnown_ GUARDED_BY(mutex_) = false;
    bool hasOwner_ GUARDED_BY(mutex_) = false;
    std::string owner_ GUARDED_BY(mutex_);  // bluetoothd's unique name on the bus, empty when it has none
    bool objectsLoaded_ GUARDED_BY(mutex_) = false;
    bool loadFailed_ GUARDED_BY(mutex_) = false;  // the listing failed; asked again on setupBackoff_
    Backoff setupBackoff_ GUARDED_BY(mutex_);
    bool accessDenied_ GUARDED_BY(mutex_) = false;
    bool awaitingReturn_ GUARDED_BY(mutex_) = false;  // bluetoothd or the adapter went away, not yet back
    std::map<std::string, AdapterObject> adapters_ GUARDED_BY(mutex_);
    std::unordered_map<std::string, DeviceObject> devices_ GUARDED_BY(mutex_);  // by path
    // By path: a device's attributes are one range.
    std::map<std::string, AttributeObject> attributes_ GUARDED_BY(mutex_);
    std::string adapter_ GUARDED_BY(mutex_);                           // the adapter in use, empty when none
    std::map<std::string, std::string> byAddress_ GUARDED_BY(mutex_);  // address -> device path, on adapter_

    // The centrals, their links and requests.
    DiscoveryArbiter discovery_ GUARDED_BY(mutex_);
    unsigned discoveryFailures_ GUARDED_BY(mutex_) = 0;  // refusals in a row
    std::map<uint64_t, CentralRecord> centrals_ GUARDED_BY(mutex_);
    bool passQueued_ GUARDED_BY(mutex_) = false;  // some outbox holds reports or notifications of this pass
    std::map<std::string, DeviceRuntime> runtime_ GUARDED_BY(mutex_);  // by address
    std::map<uint64_t, Request> requests_ GUARDED_BY(mutex_);
    // The limits centrals set for their requests, by central and device; a central's go when it closes.
    std::map<std::pair<uint64_t, std::string>, radio::LinkLimits> limits_ GUARDED_BY(mutex_);
    // Links lost a moment ago, by central and device, told once they are not part of a switch-off (linkDown).
    std::map<std::pair<uint64_t, std::string>, NSError> lossesPending_ GUARDED_BY(mutex_);
    uint64_t lossTimer_ GUARDED_BY(mutex_) = 0;
    std::set<std::string> forgetAfterLoss_ GUARDED_BY(mutex_);  // devices removed whose loss is held back

    // The program's pairing agent, served at kAgentPath on the bus it was served on, and the central that
    // installed it (the last to do so); the device its open question is about (Cancel names none).
    std::shared_ptr<radio::PairingAgent> agent_ GUARDED_BY(mutex_);
    std::vector<std::pair<uint64_t, std::shared_ptr<radio::PairingAgent>>> agents_ GUARDED_BY(mutex_);  // installed
    uint64_t agentCentral_ GUARDED_BY(mutex_) = 0;
    uint64_t agentServedOn_ GUARDED_BY(mutex_) = 0;  // the bus attempt whose bus serves it; 0: none
    bool agentRegistered_ GUARDED_BY(mutex_) = false;
    std::string agentCapability_ GUARDED_BY(mutex_);  // the capability the registration gave bluetoothd
    std::string agentAsking_ GUARDED_BY(mutex_);      // the device of the question open, if any
    uint64_t agentQuestion_ GUARDED_BY(mutex_) = 0;   // numbers bluetoothd's questions: an answer closes only its own
    // Pair() and RemoveDevice() calls awaiting bluetoothd, by number: the central that asked, and its answer.
    std::map<uint64_t, std::pair<uint64_t, Done>> bondCalls_ GUARDED_BY(mutex_);
    uint64_t bondCall_ GUARDED_BY(mutex_) = 0;
};

template <typename F>
void Core::complete(uint64_t id, F&& f) {
    const auto c = centrals_.find(id);
    if (c != centrals_.end()) {
        c->second.outbox->completion(f);
    }
}

template <typename F>
void Core::forEachAttribute(const std::string& address, F&& f) const {
    const auto device = byAddress_.find(address);
    if (device == byAddress_.end()) {
        return;
    }
    const std::string prefix = device->second + "/";
    for (auto it = attributes_.lower_bound(prefix);
         it != attributes_.end() && it->first.compare(0, prefix.size(), prefix) == 0; ++it) {
        f(it->second);
    }
}

}  // namespace platform::bluez
