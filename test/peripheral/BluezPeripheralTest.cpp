// The BlueZ peripheral session against a stand-in for bluetoothd on a private bus: this test owns org.bluez and
// plays the daemon's side of GattManager1, LEAdvertisingManager1 and the application's calls. (The real daemon's
// side is proven in the testbed: testbed/world-server.)

#include <poll.h>
#include <sdbus-c++/sdbus-c++.h>
#include <stdlib.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "BluezFixture.h"
#include "platform/RadioPeripheral.h"
#include "platform/bluez/BluezPeripheral.h"

namespace {

using namespace platform;
using namespace std::chrono_literals;
using Variants = std::map<std::string, sdbus::Variant>;

// bluetoothd's side, driven by the test's thread: one connection that owns org.bluez and serves adapter hci1.
class FakeDaemon {
  public:
    explicit FakeDaemon(const std::string& address)
        : connection_(sdbus::createSessionBusConnectionWithAddress(address)) {
        root_ = sdbus::createObject(*connection_, "/");
        root_->addObjectManager();
        root_->finishRegistration();
        adapter_ = sdbus::createObject(*connection_, "/org/bluez/hci1");
        adapter_->registerProperty("org.bluez.Adapter1", "Powered", "b", [](sdbus::PropertyGetReply& r) { r << true; });
        adapter_->registerMethod("org.bluez.GattManager1", "RegisterApplication", "oa{sv}", "",
                                 [this](sdbus::MethodCall call) {
                                     sdbus::ObjectPath path;
                                     call >> path;
                                     applications.push_back({call.getSender(), path});
                                     call.createReply().send();
                                 });
        adapter_->registerMethod("org.bluez.GattManager1", "UnregisterApplication", "o", "",
                                 [](sdbus::MethodCall call) { call.createReply().send(); });
        adapter_->registerMethod("org.bluez.LEAdvertisingManager1", "RegisterAdvertisement", "oa{sv}", "",
                                 [this](sdbus::MethodCall call) {
                                     ++advertisements;
                                     if (holdAdvertisements) {
                                         held.push_back(call);
                                     } else {
                                         call.createReply().send();
                                     }
                                 });
        adapter_->registerMethod("org.bluez.LEAdvertisingManager1", "UnregisterAdvertisement", "o", "",
                                 [](sdbus::MethodCall call) { call.createReply().send(); });
        adapter_->finishRegistration();
        connection_->requestName("org.bluez");
    }

    ~FakeDaemon() { held.clear(); }  // before the connection they came on

    sdbus::IConnection& connection() { return *connection_; }

    // The adapter goes, with what bluetoothd served there, and comes back.
    void adapterGoesAndComesBack() {
        adapter_->emitInterfacesRemovedSignal(
            {"org.bluez.Adapter1", "org.bluez.GattManager1", "org.bluez.LEAdvertisingManager1"});
        adapter_->emitInterfacesAddedSignal();
    }

    // Handles what comes until `done` holds or `limit` passes.
    bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 5s) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            while (connection_->processPendingRequest()) {
            }
            const auto data = connection_->getEventLoopPollData();
            pollfd p{data.fd, static_cast<short>(data.events), 0};
            ::poll(&p, 1, 10);
        }
        return true;
    }

    struct Answer {
        bool done = false;
        std::optional<sdbus::Error> error;
        std::vector<uint8_t> value;
    };
    // A call to the session's objects from this connection, answered while pumping.
    std::shared_ptr<Answer> call(const std::string& destination, const std::string& path, const std::string& iface,
                                 const std::string& method, const std::function<void(sdbus::MethodCall&)>& args) {
        auto& proxy = proxies_[destination + path];
        if (!proxy) {
            proxy = sdbus::createProxy(*connection_, destination, path);
        }
        auto message = proxy->createMethodCall(iface, method);
        args(message);
        auto answer = std::make_shared<Answer>();
        const bool read = method == "ReadValue";
        proxy->callMethod(
            message,
            [answer, read](sdbus::MethodReply& reply, const sdbus::Error* error) {
                answer->done = true;
                if (error) {
                    answer->error = *error;
                } else if (read) {
                    reply >> answer->value;
                }
            },
            std::chrono::seconds(5));
        return answer;
    }

    std::vector<std::pair<std::string, std::string>> applications;  // (sender, root)
    int advertisements = 0;
    bool holdAdvertisements = false;  // RegisterAdvertisement calls kept in `held`, answered by the test
    std::vector<sdbus::MethodCall> held;

  private:
    std::unique_ptr<sdbus::IConnection> connection_;
    std::unique_ptr<sdbus::IObject> root_;
    std::unique_ptr<sdbus::IObject> adapter_;
    std::map<std::string, std::unique_ptr<sdbus::IProxy>> proxies_;
};

// The program's side: records what the session tells, and keeps the replies for the test to answer.
class Program : public radio::RadioPeripheralEvents {
  public:
    void peripheralStateChanged(CBManagerState) override {}
    void peripheralRead(const radio::ReadRequest& request, radio::ReadReply reply) override {
        std::lock_guard<std::mutex> lock(mutex);
        reads.push_back(request);
        readReplies.push_back(std::move(reply));
    }
    void peripheralWrite(const radio::WriteRequest& request, radio::WriteReply reply) override {
        std::lock_guard<std::mutex> lock(mutex);
        writes.push_back(request);
        writeReplies.push_back(std::move(reply));
    }
    void peripheralSubscribed(radio::LocalAttributeId characteristic) override {
        std::lock_guard<std::mutex> lock(mutex);
        subscribed.push_back(characteristic);
    }
    void peripheralUnsubscribed(radio::LocalAttributeId) override {}

    template <typename T>
    size_t count(const std::vector<T>& list) {
        std::lock_guard<std::mutex> lock(mutex);
        return list.size();
    }

    std::mutex mutex;
    std::vector<radio::ReadRequest> reads;
    std::vector<radio::ReadReply> readReplies;
    std::vector<radio::WriteRequest> writes;
    std::vector<radio::WriteReply> writeReplies;
    std::vector<radio::LocalAttributeId> subscribed;
};

radio::LocalService service() {
    radio::LocalCharacteristic c;
    c.id = 2;
    c.uuid = CBUUID::UUIDWithString("fb1e4003-54ae-4a28-9f74-dfccb248601d");
    c.properties = CBCharacteristicPropertyRead | CBCharacteristicPropertyWrite | CBCharacteristicPropertyNotify;
    c.permissions = radio::AttributePermissionReadable | radio::AttributePermissionWriteable |
                    radio::AttributePermissionReadEncryptionRequired |
                    radio::AttributePermissionNotifyAuthenticationRequired;
    radio::LocalDescriptor cccd;  // bluetoothd's own: never exported
    cccd.id = 3;
    cccd.uuid = CBUUID::UUIDWithString("2902");
    radio::LocalDescriptor text;
    text.id = 4;
    text.uuid = CBUUID::UUIDWithString("2901");
    text.value = std::string("Status");
    c.descriptors = {cccd, text};
    radio::LocalService s;
    s.id = 1;
    s.uuid = CBUUID::UUIDWithString("fb1e4001-54ae-4a28-9f74-dfccb248601d");
    s.characteristics = {c};
    return s;
}

Variants readOptions(uint16_t offset) {
    Variants options;
    options["device"] = sdbus::Variant(sdbus::ObjectPath("/org/bluez/hci1/dev_11_22_33_44_55_66"));
    options["offset"] = sdbus::Variant(offset);
    return options;
}

// The session serves its service and advertisement to the daemon alone, answers requests when the program does
// (from any thread, with the ATT codes bluetoothd understands, or not at all), and registers everything again
// with the daemon that comes back.
TEST(BluezPeripheral, ServesTheDaemonAloneAndAgainAfterItRestarts) {
    bluez_test::PrivateBus bus;
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", bus.address().c_str(), 1);
    auto daemon = std::make_unique<FakeDaemon>(bus.address());
    auto program = std::make_shared<Program>();
    auto session = bluez::openBluezPeripheral("hci1", program);

    std::mutex mutex;
    std::vector<std::string> done;
    const auto record = [&](const char* what) {
        return [&, what](const NSError* error) {
            std::lock_guard<std::mutex> lock(mutex);
            done.push_back(std::string(what) + (error ? ": " + error->domain : ""));
        };
    };
    session->addService(service(), record("service"));
    session->startAdvertising(1, radio::LocalAdvertisement{}, record("advertisement"));
    ASSERT_TRUE(daemon->pumpUntil([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return done.size() == 2;
    })) << "registered: "
        << done.size();
    EXPECT_EQ(done, (std::vector<std::string>{"service", "advertisement"}));
    ASSERT_EQ(daemon->applications.size(), 1u);
    const auto [owner, root] = daemon->applications[0];
    const std::string characteristic = root + "/service/char0";

    // The table as bluetoothd lists it: the permissions' security in the flags, no client configuration.
    auto listing = sdbus::createProxy(daemon->connection(), owner, root);
    std::map<sdbus::ObjectPath, std::map<std::string, Variants>> objects;
    bool listed = false;
    listing->callMethod(
        listing->createMethodCall("org.freedesktop.DBus.ObjectManager", "GetManagedObjects"),
        [&](sdbus::MethodReply& reply, const sdbus::Error* error) {
            listed = true;
            if (!error) {
                reply >> objects;
            }
        },
        std::chrono::seconds(5));
    ASSERT_TRUE(daemon->pumpUntil([&] { return listed; }));
    ASSERT_EQ(objects.size(), 3u);  // the service, its characteristic, the user description
    EXPECT_EQ(objects.at(sdbus::ObjectPath(characteristic))["org.bluez.GattCharacteristic1"]["Flags"]
                  .get<std::vector<std::string>>(),
              (std::vector<std::string>{"encrypt-read", "write", "encrypt-authenticated-notify"}));

    // A fixed value is answered by the session; another read waits for the program, who answers from another
    // thread; an application code reaches bluetoothd as its name for it.
    auto fixed = daemon->call(owner, characteristic + "/desc1", "org.bluez.GattDescriptor1", "ReadValue",
                              [](sdbus::MethodCall& m) { m << readOptions(2); });
    auto first = daemon->call(owner, characteristic, "org.bluez.GattCharacteristic1", "ReadValue",
                              [](sdbus::MethodCall& m) { m << readOptions(1); });
    auto second = daemon->call(owner, characteristic, "org.bluez.GattCharacteristic1", "ReadValue",
                               [](sdbus::MethodCall& m) { m << readOptions(0); });
    ASSERT_TRUE(daemon->pumpUntil([&] { return fixed->done && program->count(program->reads) == 2; }));
    EXPECT_EQ(std::string(fixed->value.begin(), fixed->value.end()), "atus");
    EXPECT_EQ(program->reads[0].central, "11:22:33:44:55:66");
    EXPECT_EQ(program->reads[0].attribute, 2u);
    EXPECT_EQ(program->reads[0].offset, 1);
    EXPECT_FALSE(first->done);
    std::thread([program] {
        program->readReplies[1](static_cast<CBATTError>(0x80), std::string());
        program->readReplies[0](CBATTError::Success, "\x01\x02");
        program->readReplies[0](CBATTError::Success, "again");  // a second answer is dropped
    }).join();
    ASSERT_TRUE(daemon->pumpUntil([&] { return first->done && second->done; }));
    EXPECT_FALSE(first->error);
    EXPECT_EQ(first->value, (std::vector<uint8_t>{1, 2}));
    ASSERT_TRUE(second->error);
    EXPECT_EQ(second->error->getName(), "org.bluez.Error.Failed");
    EXPECT_EQ(second->error->getMessage(), "0x80");

    // Anyone but bluetoothd is refused, and the program never hears of it.
    {
        auto stranger = sdbus::createSessionBusConnectionWithAddress(bus.address());
        auto proxy = sdbus::createProxy(*stranger, owner, characteristic);
        try {
            std::vector<uint8_t> value;
            proxy->callMethod("ReadValue")
                .onInterface("org.bluez.GattCharacteristic1")
                .withTimeout(5s)
                .withArguments(readOptions(0))
                .storeResultsTo(value);
            ADD_FAILURE() << "a stranger's read was answered";
        } catch (const sdbus::Error& e) {
            EXPECT_EQ(e.getName(), "org.bluez.Error.NotAuthorized");
        }
        EXPECT_EQ(program->count(program->reads), 2u);
    }

    // A write the program never answers, then the first subscription.
    auto write = daemon->call(owner, characteristic, "org.bluez.GattCharacteristic1", "WriteValue",
                              [](sdbus::MethodCall& m) { m << std::vector<uint8_t>{9} << readOptions(0); });
    auto start =
        daemon->call(owner, characteristic, "org.bluez.GattCharacteristic1", "StartNotify", [](sdbus::MethodCall&) {});
    ASSERT_TRUE(daemon->pumpUntil([&] { return start->done && program->count(program->subscribed) == 1; }));
    EXPECT_FALSE(write->done);
    EXPECT_EQ(program->writes.at(0).value, "\x09");
    EXPECT_TRUE(program->writes.at(0).withResponse);
    program->writeReplies.clear();  // dropped unanswered: bluetoothd's own limit answers the central

    // bluetoothd restarts: the session registers the service and the advertisement with the new one.
    daemon.reset();
    daemon = std::make_unique<FakeDaemon>(bus.address());
    EXPECT_TRUE(daemon->pumpUntil([&] { return daemon->applications.size() == 1 && daemon->advertisements == 1; }))
        << daemon->applications.size() << " applications, " << daemon->advertisements << " advertisements";
    session->close(1s);
}

// An advertisement stopped while bluetoothd still registers it is answered, as cancelled; a registration's reply
// that comes after the adapter went and came back does not count for the registration made since.
TEST(BluezPeripheral, AdvertisementsStoppedOrOutlivedByTheirAdapterAreAnsweredOnce) {
    bluez_test::PrivateBus bus;
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", bus.address().c_str(), 1);
    FakeDaemon daemon(bus.address());
    daemon.holdAdvertisements = true;
    auto program = std::make_shared<Program>();
    auto session = bluez::openBluezPeripheral("hci1", program);
    std::mutex mutex;
    std::vector<std::string> done;
    const auto record = [&](const char* what) {
        return [&, what](const NSError* error) {
            std::lock_guard<std::mutex> lock(mutex);
            done.push_back(std::string(what) + (error ? ": " + error->domain : ""));
        };
    };
    const auto answered = [&](size_t count) {
        return daemon.pumpUntil([&] {
            std::lock_guard<std::mutex> lock(mutex);
            return done.size() >= count;
        });
    };

    session->startAdvertising(1, radio::LocalAdvertisement{}, record("stopped"));
    ASSERT_TRUE(daemon.pumpUntil([&] { return daemon.held.size() == 1; }));
    session->stopAdvertising(1);
    ASSERT_TRUE(answered(1));
    daemon.held[0].createReply().send();

    session->startAdvertising(2, radio::LocalAdvertisement{}, record("outlived"));
    ASSERT_TRUE(daemon.pumpUntil([&] { return daemon.held.size() == 2; }));
    daemon.adapterGoesAndComesBack();
    ASSERT_TRUE(daemon.pumpUntil([&] { return daemon.held.size() == 3; }));
    daemon.held[1].createErrorReply(sdbus::Error("org.bluez.Error.Failed", "Not Powered")).send();
    daemon.pumpUntil([] { return false; }, 300ms);
    daemon.held[2].createReply().send();
    ASSERT_TRUE(answered(2));
    daemon.pumpUntil([] { return false; }, 200ms);
    EXPECT_EQ(done, (std::vector<std::string>{"stopped: org.bluez.Error.Canceled", "outlived"}));
    session->close(1s);
}

}  // namespace
