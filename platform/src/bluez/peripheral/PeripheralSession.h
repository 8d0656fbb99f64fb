#pragma once
// The BlueZ peripheral session: one program's services and advertisements on one of bluetoothd's adapters, and
// the centrals connected to that adapter. Its parts, one file each, share this header:
//
//   BluezPeripheral.cpp   the session's face: requests handed to the loop, the program's answers, closing
//   DaemonWatch.cpp       bluetoothd's presence (the owner of org.bluez), the adapter, and the centrals' links
//   Registrations.cpp     services and advertisements registered with bluetoothd one at a time, and again after
//                         bluetoothd restarted
//
// Threads: everything below `loop_` is touched on the loop's thread only; other threads post tasks. Events go
// to the listener from the loop's thread.

#include <sdbus-c++/sdbus-c++.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Advertisement.h"
#include "GattApplication.h"
#include "PeripheralLoop.h"
#include "platform/RadioPeripheral.h"

namespace platform::bluez::peripheral {

using Variants = std::map<std::string, sdbus::Variant>;
using Interfaces = std::map<std::string, Variants>;

class PeripheralSession final : public radio::RadioPeripheral,
                                public GattSink,
                                public std::enable_shared_from_this<PeripheralSession> {
  public:
    PeripheralSession(std::string adapter, std::weak_ptr<radio::RadioPeripheralEvents> events,
                      std::unique_ptr<sdbus::IConnection> connection);
    ~PeripheralSession() override;
    /// Starts the loop and asks the bus about bluetoothd.
    void start();

    // radio::RadioPeripheral (any thread).
    CBManagerState state() const override { return state_.load(); }
    void addService(radio::LocalService service, radio::Done done) override;
    void removeService(radio::LocalAttributeId service) override;
    void startAdvertising(radio::AdvertisementId advertisement, radio::LocalAdvertisement data,
                          radio::Done done) override;
    void stopAdvertising(radio::AdvertisementId advertisement) override;
    void updateValue(radio::LocalAttributeId characteristic, const std::string& value) override;
    void disconnectCentral(const radio::CentralKey& central) override;
    void close(std::chrono::milliseconds limit) override;

    // GattSink (loop thread).
    bool fromDaemon(const sdbus::MethodCall& call) const override;
    radio::CentralKey centralAt(const std::string& devicePath) override;
    void read(radio::ReadRequest request, sdbus::MethodCall call) override;
    void write(radio::WriteRequest request, sdbus::MethodCall call) override;
    void notifying(radio::LocalAttributeId characteristic, bool on) override;

    /// Any thread: the program's answer to call `id` (see BluezPeripheral.cpp).
    void answerRead(uint64_t id, CBATTError result, std::string value);
    void answerWrite(uint64_t id, CBATTError result);
    void forgetCall(uint64_t id);

  private:
    // Where bluetoothd is, as far as the session knows.
    enum class Daemon {
        Asking,   // GetNameOwner sent
        Absent,   // org.bluez has no owner
        Listing,  // an owner; GetManagedObjects sent
        Present,  // listed; signals keep the picture up to date
    };
    // One registration's progress with bluetoothd.
    enum class Stage {
        Waiting,      // to be registered once bluetoothd and the adapter are ready, in turn
        Registering,  // the call is out
        Registered,
        Released,  // bluetoothd gave the advertisement back; registered again only when bluetoothd comes back
    };
    struct ServiceEntry {
        radio::LocalService description;
        std::unique_ptr<GattApplication> app;
        Stage stage = Stage::Waiting;
        radio::Done done;  // answered once, at the first registration's end
    };
    struct AdvertisementEntry {
        radio::LocalAdvertisement data;
        std::unique_ptr<Advertisement> object;
        Stage stage = Stage::Waiting;
        radio::Done done;
    };
    struct Central {
        radio::CentralKey address;
        bool connected = false;
    };
    // A call of bluetoothd's the program answers.
    struct PendingCall {
        sdbus::MethodCall call;
        bool read = true;
    };

    // ---- BluezPeripheral.cpp ----
    /// Tells the listener, unless the session is closing.
    void emit(const std::function<void(radio::RadioPeripheralEvents&)>& event);
    void setState(CBManagerState state);
    std::string objectPath(const std::string& what);

    // ---- DaemonWatch.cpp ----
    void watchBus();
    void askOwner();
    void ownerChanged(const std::string& owner);
    void listObjects();
    void takeObjects(const std::map<sdbus::ObjectPath, Interfaces>& objects);
    void interfacesAdded(const std::string& path, const Interfaces& interfaces);
    void interfacesRemoved(const std::string& path, const std::vector<std::string>& interfaces);
    void propertiesChanged(const std::string& path, const std::string& interface, const Variants& changed);
    void takeDevice(const std::string& path, const Variants& properties);
    void centralLink(const std::string& path, bool connected);
    void daemonGone();
    void updateState();
    bool ready() const;
    bool isDevicePath(const std::string& path) const;
    /// An asynchronous call to bluetoothd (or the bus); `done` gets the reply or the error on the loop thread.
    void callDaemon(const std::string& destination, const std::string& path, const std::string& interface,
                    const std::string& method, const std::function<void(sdbus::MethodCall&)>& args,
                    std::chrono::milliseconds timeout,
                    std::function<void(sdbus::MethodReply* reply, const sdbus::Error* error)> done);

    // ---- Registrations.cpp ----
    void pump();
    void registerService(radio::LocalAttributeId id, ServiceEntry& entry);
    void registerAdvertisement(radio::AdvertisementId id, AdvertisementEntry& entry);
    void registrationsLost();
    void unregisterAll(std::function<void()> finished);
    void released(radio::AdvertisementId id);

    const std::string adapter_;      // "hci1"
    const std::string adapterPath_;  // "/org/bluez/hci1"
    const std::string root_;         // where the session's objects live
    const std::weak_ptr<radio::RadioPeripheralEvents> events_;
    std::atomic<CBManagerState> state_{CBManagerState::Unknown};
    std::shared_ptr<PeripheralLoop> loop_;

    // Closing: the caller waits for the unregistrations the loop sends.
    std::mutex closeMutex_;
    std::condition_variable closeDone_;
    bool unregistered_ = false;  // guarded by closeMutex_

    // ---- Loop thread only ----
    bool closing_ = false;  // no event goes out any more
    Daemon daemon_ = Daemon::Asking;
    std::string owner_;              // bluetoothd's unique name while present
    uint64_t daemonGeneration_ = 0;  // bumped whenever the owner changes: older replies are dropped
    bool adapterPresent_ = false;
    bool powered_ = false;
    bool gattManager_ = false;
    bool advertisingManager_ = false;
    bool wasOn_ = false;  // has been powered on: an absent bluetoothd is then "resetting"
    std::vector<sdbus::Slot> matches_;
    std::map<std::string, std::unique_ptr<sdbus::IProxy>> proxies_;
    bool registering_ = false;   // a registration call is out: the next waits for it
    uint64_t registration_ = 0;  // the registration call out, by number: a reply to an older one is stale
    uint64_t nextObject_ = 0;
    std::map<radio::LocalAttributeId, ServiceEntry> services_;
    std::vector<radio::LocalAttributeId> serviceOrder_;  // the order added
    std::map<radio::AdvertisementId, AdvertisementEntry> advertisements_;
    std::map<std::string, Central> centrals_;  // by device object path
    std::set<radio::LocalAttributeId> subscribed_;
    uint64_t nextCall_ = 0;
    std::map<uint64_t, PendingCall> calls_;
};

}  // namespace platform::bluez::peripheral
