// tavrin-bluez-sim at the D-Bus level: the tree and its paths, the GATT requests with their errors,
// notifications, link loss and connection outcomes, and the rules bluetoothd enforces (one ATT request at a time,
// requests in progress, refused discovery, the disconnect timer, power-off, temporary devices, security), as a
// BlueZ client sees them.

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "BluezFixture.h"
#include "BusClient.h"

namespace {

using namespace bluez_test;
using namespace std::chrono_literals;
using Kind = BusEvent::Kind;
using Options = std::map<std::string, sdbus::Variant>;
using Clock = std::chrono::steady_clock;

const std::string kAdapter = "/org/bluez/hci0";
const std::string kPlug = "/org/bluez/hci0/dev_2D_5B_8C_0E_7A_13";
const std::string kCommand = kPlug + "/service000f/char0010";
const std::string kCommandName = kCommand + "/desc0012";
const std::string kStatus = kPlug + "/service000f/char0013";
const std::string kStatusCccd = kStatus + "/desc0015";
const std::string kDevice1 = "org.bluez.Device1";
const std::string kChar1 = "org.bluez.GattCharacteristic1";
const std::string kDesc1 = "org.bluez.GattDescriptor1";

// The plug, and a service whose characteristics meet the faults; bluetoothd's timers as `timers` give them.
std::string plugWorld(const std::string& timers) {
    return R"({
  "adapter": { "state_delay_ms": 1 },
  "bluetoothd": )" +
           timers + R"(,
  "peripherals": [ {
    "identifier": "C3A1F5E2-7B4D-4E8A-9F61-2D5B8C0E7A13", "name": "Tavrin Plug", "model": "plug", "mtu": 185,
    "latency_ms": 1,
    "advertising": { "interval_ms": 20, "rssi": -58, "tx_power": 4, "connectable": true,
                     "manufacturer_data": "4c000215", "service_data": { "181a": "e803" },
                     "service_uuids": ["fb1e4001-54ae-4a28-9f74-dfccb248601d"] },
    "connection": { "delay_ms": 2, "disconnect_delay_ms": 1 },
    "services": [ { "uuid": "a000", "characteristics": [
      { "uuid": "a001", "properties": ["read"], "value": "01", "faults": { "read": "error" } },
      { "uuid": "a002", "properties": ["read"], "value": "02", "faults": { "read": "silent" } },
      { "uuid": "a003", "properties": ["read"], "value": "03", "faults": { "read": "drop" } } ] } ]
  } ]
})";
}
const std::string kWorld = plugWorld(R"({ "disconnect_timer_ms": 20 })");

Options noOptions() {
    return {};
}

BusClient::Results bytesResult() {
    return [](sdbus::MethodReply& reply, BusEvent& e) {
        std::vector<uint8_t> bytes;
        reply >> bytes;
        e.props["value"] = hex(bytes);
    };
}

std::vector<uint8_t> bytesOf(const std::string& text) {
    return std::vector<uint8_t>(text.begin(), text.end());
}

class BluezSimulatorTest : public BluezFixture {
  protected:
    void TearDown() override {
        client_.reset();
        BluezFixture::TearDown();
    }

    BusClient& start(const std::string& world = kWorld) {
        startSimulator(writeWorld(world));
        client_ = std::make_unique<BusClient>(busAddress());
        return *client_;
    }

    // Scans until the device shows, then connects and waits for its services.
    void connectTo(const std::string& device) {
        BusClient& c = *client_;
        ASSERT_EQ(c.call(kAdapter, "org.bluez.Adapter1", "StartDiscovery").error, "");
        ASSERT_TRUE(c.waitFor(added(device)));
        ASSERT_EQ(c.call(kAdapter, "org.bluez.Adapter1", "StopDiscovery").error, "");
        const size_t from = c.events().size();
        ASSERT_EQ(c.call(device, kDevice1, "Connect").error, "");
        ASSERT_TRUE(c.waitFor(changed(device, "ServicesResolved", "true"), from));
    }
    void connectPlug() { connectTo(kPlug); }

    uint64_t sendRead(const std::string& path, const std::string& iface = kChar1, Options options = noOptions()) {
        return client_->send(
            path, iface, "ReadValue", [options](sdbus::MethodCall& m) { m << options; }, bytesResult());
    }
    BusEvent read(const std::string& path, const std::string& iface, Options options = noOptions()) {
        return client_->reply(sendRead(path, iface, std::move(options)));
    }

    uint64_t sendWrite(const std::string& path, const std::string& iface, const std::string& value,
                       Options options = noOptions()) {
        return client_->send(path, iface, "WriteValue",
                             [value, options](sdbus::MethodCall& m) { m << bytesOf(value) << options; });
    }
    BusEvent write(const std::string& path, const std::string& iface, const std::string& value,
                   Options options = noOptions()) {
        return client_->reply(sendWrite(path, iface, value, std::move(options)));
    }

    // A property as text (see describe), or the error's name.
    std::string get(const std::string& path, const std::string& iface, const std::string& name) {
        const BusEvent e = client_->call(
            path, "org.freedesktop.DBus.Properties", "Get", [&](sdbus::MethodCall& m) { m << iface << name; },
            [](sdbus::MethodReply& reply, BusEvent& out) {
                sdbus::Variant value;
                reply >> value;
                out.props["value"] = describe(value);
            });
        return e.error.empty() ? e.props.at("value") : e.error;
    }

    BusEvent setFilter(const Options& filter) {
        return client_->call(kAdapter, "org.bluez.Adapter1", "SetDiscoveryFilter",
                             [&](sdbus::MethodCall& m) { m << filter; });
    }

    // The first characteristic with this UUID exported, of `device` if it is given.
    std::string pathOf(const std::string& uuid, const std::string& device = "") {
        for (const BusEvent& e : client_->events()) {
            if (e.kind == Kind::Added && e.iface == kChar1 && e.props.count("UUID") && e.props.at("UUID") == uuid &&
                e.path.rfind(device, 0) == 0) {
                return e.path;
            }
        }
        ADD_FAILURE() << "no characteristic " << uuid;
        return "/";
    }

    std::string descriptorOf(const std::string& characteristic, const std::string& uuid) {
        for (const BusEvent& e : client_->events()) {
            if (e.kind == Kind::Added && e.iface == kDesc1 && e.path.rfind(characteristic + "/", 0) == 0 &&
                e.props.count("UUID") && e.props.at("UUID") == uuid) {
                return e.path;
            }
        }
        ADD_FAILURE() << "no descriptor " << uuid << " of " << characteristic;
        return "/";
    }

    // AcquireWrite or AcquireNotify: the socket handed over (invalid on an error), the reply in `answer`.
    sdbus::UnixFd acquire(const std::string& path, const std::string& method, BusEvent* answer = nullptr) {
        sdbus::UnixFd fd;
        const BusEvent e = client_->call(
            path, kChar1, method, [](sdbus::MethodCall& m) { m << noOptions(); },
            [&fd](sdbus::MethodReply& reply, BusEvent& out) {
                uint16_t mtu = 0;
                reply >> fd >> mtu;
                out.props["mtu"] = std::to_string(mtu);
            });
        if (answer != nullptr) {
            *answer = e;
        }
        return fd;
    }

    std::unique_ptr<BusClient> client_;
};

TEST_F(BluezSimulatorTest, ScanShowsAdvertisementsAndConnectExportsTheTreeInBluetoothdsOrder) {
    BusClient& c = start();
    Options filter{{"Transport", sdbus::Variant(std::string("le"))}, {"DuplicateData", sdbus::Variant(true)}};
    EXPECT_EQ(
        c.call(kAdapter, "org.bluez.Adapter1", "SetDiscoveryFilter", [&](sdbus::MethodCall& m) { m << filter; }).error,
        "");
    const uint64_t start_call = c.send(kAdapter, "org.bluez.Adapter1", "StartDiscovery");
    auto found = c.waitFor(added(kPlug));
    ASSERT_TRUE(found);
    const BusEvent& plug = c.events()[*found];
    EXPECT_EQ(plug.iface, kDevice1);
    EXPECT_EQ(plug.props.at("Address"), "2D:5B:8C:0E:7A:13");
    EXPECT_EQ(plug.props.at("Name"), "Tavrin Plug");
    EXPECT_EQ(plug.props.at("Alias"), "Tavrin Plug");
    EXPECT_EQ(plug.props.at("RSSI"), "-58");
    EXPECT_EQ(plug.props.at("TxPower"), "4");
    EXPECT_EQ(plug.props.at("ManufacturerData"), "004c=0215");
    EXPECT_EQ(plug.props.at("ServiceData"), "0000181a-0000-1000-8000-00805f9b34fb=e803");
    EXPECT_EQ(plug.props.at("UUIDs"), "fb1e4001-54ae-4a28-9f74-dfccb248601d");
    EXPECT_EQ(plug.props.at("Connected"), "false");
    EXPECT_EQ(plug.props.at("Adapter"), kAdapter);
    // Discovering follows the reply; with DuplicateData every report is signalled again.
    EXPECT_LT(*c.indexOfReply(start_call), *c.waitFor(changed(kAdapter, "Discovering", "true")));
    EXPECT_TRUE(c.waitFor(changed(kPlug, "RSSI", "-58"), *found + 1));
    EXPECT_TRUE(c.waitFor(changed(kPlug, "ManufacturerData"), *found + 1));
    const BusEvent again = c.call(kAdapter, "org.bluez.Adapter1", "StartDiscovery");
    EXPECT_EQ(again.error, "org.bluez.Error.InProgress");
    EXPECT_EQ(again.message, "Operation already in progress");

    size_t from = c.events().size();
    EXPECT_EQ(c.call(kAdapter, "org.bluez.Adapter1", "StopDiscovery").error, "");
    EXPECT_TRUE(c.waitFor(changed(kAdapter, "Discovering", "false"), from));
    EXPECT_TRUE(c.waitFor(invalidated(kPlug, "RSSI"), from));

    // Connect replies once the link is up, after Connected; the tree follows, then ServicesResolved.
    from = c.events().size();
    const uint64_t connect = c.send(kPlug, kDevice1, "Connect");
    auto resolved = c.waitFor(changed(kPlug, "ServicesResolved", "true"), from);
    ASSERT_TRUE(resolved);
    const size_t connected = *c.waitFor(changed(kPlug, "Connected", "true"), from);
    const size_t replied = *c.indexOfReply(connect);
    EXPECT_EQ(c.events()[replied].error, "");
    EXPECT_LT(connected, replied);
    std::vector<std::string> tree;
    for (size_t i = replied; i < *resolved; ++i) {
        if (c.events()[i].kind == Kind::Added) {
            tree.push_back(c.events()[i].path.substr(kPlug.size()));
        }
    }
    EXPECT_EQ(tree, (std::vector<std::string>{"/service000f", "/service000f/char0010", "/service000f/char0010/desc0012",
                                              "/service000f/char0013", "/service000f/char0013/desc0015",
                                              "/service000f/char0013/desc0016", "/service0017", "/service0017/char0018",
                                              "/service0017/char001a", "/service0017/char001c"}));
    const BusEvent& status = c.events()[*c.waitFor(added(kStatus), from)];
    EXPECT_EQ(status.props.at("UUID"), "fb1e4003-54ae-4a28-9f74-dfccb248601d");
    EXPECT_EQ(status.props.at("Service"), kPlug + "/service000f");
    EXPECT_EQ(status.props.at("Flags"), "read,notify");
    EXPECT_EQ(status.props.at("Notifying"), "false");
    EXPECT_EQ(status.props.at("MTU"), "185");
    EXPECT_EQ(status.props.at("Value"), "");
    EXPECT_EQ(c.events()[*c.waitFor(added(kStatusCccd), from)].props.at("UUID"),
              "00002902-0000-1000-8000-00805f9b34fb");
    EXPECT_TRUE(c.waitFor(changed(kPlug, "UUIDs",
                                  "fb1e4001-54ae-4a28-9f74-dfccb248601d,"
                                  "0000a000-0000-1000-8000-00805f9b34fb"),
                          from));

    // Disconnect: ServicesResolved false, the reply, then Connected false.
    from = c.events().size();
    const uint64_t disconnect = c.send(kPlug, kDevice1, "Disconnect");
    auto down = c.waitFor(changed(kPlug, "Connected", "false"), from);
    ASSERT_TRUE(down);
    EXPECT_LT(*c.waitFor(changed(kPlug, "ServicesResolved", "false"), from), *c.indexOfReply(disconnect));
    EXPECT_LT(*c.indexOfReply(disconnect), *down);

    // The tree stays and is not exported again; a second connection brings back the MTU without a signal, as
    // bluetoothd tells MTU exchanges only to the link its objects were made on.
    EXPECT_EQ(get(kStatus, kChar1, "MTU"), "org.freedesktop.DBus.Error.UnknownProperty");
    from = c.events().size();
    EXPECT_EQ(c.call(kPlug, kDevice1, "Connect").error, "");
    ASSERT_TRUE(c.waitFor(changed(kPlug, "ServicesResolved", "true"), from));
    EXPECT_EQ(get(kStatus, kChar1, "MTU"), "185");
    EXPECT_FALSE(c.waitFor(changed(kStatus, "MTU"), from, std::chrono::milliseconds(0)));
    EXPECT_FALSE(c.waitFor(added(kStatus), from, std::chrono::milliseconds(0)));
}

TEST_F(BluezSimulatorTest, GattRequestsAnswerWithBluetoothdsValuesAndErrors) {
    BusClient& c = start();
    connectPlug();

    // A read updates the cache, and says so, before it replies.
    const size_t from = c.events().size();
    const BusEvent value = read(kStatus, kChar1);
    EXPECT_EQ(value.error, "");
    EXPECT_EQ(value.props.at("value"), "000000");
    EXPECT_LT(*c.waitFor(changed(kStatus, "Value", "000000"), from), *c.indexOfReply(value.call));
    EXPECT_EQ(read(kStatus, kChar1, {{"offset", sdbus::Variant(uint16_t{1})}}).props.at("value"), "0000");
    EXPECT_EQ(read(kStatus, kChar1, {{"offset", sdbus::Variant(uint32_t{1})}}).error,
              "org.bluez.Error.InvalidArguments");
    EXPECT_EQ(read(kCommandName, kDesc1).props.at("value"), hex(bytesOf("Command")));

    EXPECT_EQ(
        write(kCommand, kChar1, "\t{\"switch\":1,\"timer\":30}", {{"type", sdbus::Variant(std::string("request"))}})
            .error,
        "");
    EXPECT_EQ(read(kStatus, kChar1).props.at("value").substr(0, 2), "01");
    const BusEvent refused = write(kCommand, kChar1, "nonsense");
    EXPECT_EQ(refused.error, "org.bluez.Error.Failed");
    EXPECT_EQ(refused.message, "Operation failed with ATT error: 0x80");
    const BusEvent unsupported = write(kStatus, kChar1, "00");
    EXPECT_EQ(unsupported.error, "org.bluez.Error.NotSupported");
    EXPECT_EQ(unsupported.message, "Operation is not supported");
    const BusEvent not_permitted = write(kStatus, kChar1, "00", {{"type", sdbus::Variant(std::string("request"))}});
    EXPECT_EQ(not_permitted.error, "org.bluez.Error.NotPermitted");
    EXPECT_EQ(not_permitted.message, "Write not permitted");
    EXPECT_EQ(write(kStatusCccd, kDesc1, "\x01").message, "Write not permitted");
    const BusEvent oversize =
        write(kCommand, kChar1, std::string(183, 'x'), {{"type", sdbus::Variant(std::string("command"))}});
    EXPECT_EQ(oversize.error, "org.bluez.Error.Failed");
    EXPECT_EQ(oversize.message, "Failed to initiate write");

    const BusEvent fault = read(pathOf("0000a001-0000-1000-8000-00805f9b34fb"), kChar1);
    EXPECT_EQ(fault.error, "org.bluez.Error.Failed");
    EXPECT_EQ(fault.message, "Operation failed with ATT error: 0x0e");

    ASSERT_EQ(c.call(kPlug, kDevice1, "Disconnect").error, "");
    const BusEvent offline = read(kStatus, kChar1);
    EXPECT_EQ(offline.error, "org.bluez.Error.Failed");
    EXPECT_EQ(offline.message, "Not connected");
}

TEST_F(BluezSimulatorTest, NotificationsArriveOneSignalEachInOrderWhileSubscribed) {
    BusClient& c = start();
    connectPlug();
    size_t from = c.events().size();
    const BusEvent started = c.call(kStatus, kChar1, "StartNotify");
    EXPECT_EQ(started.error, "");
    EXPECT_LT(*c.waitFor(changed(kStatus, "Notifying", "true"), from), *c.indexOfReply(started.call));
    EXPECT_EQ(c.call(kStatus, kChar1, "StartNotify").error, "");  // already on
    EXPECT_EQ(c.call(kCommand, kChar1, "StartNotify").error, "org.bluez.Error.NotSupported");

    // Switched on for 1 s: the status is notified at once, then when the timer runs out.
    from = c.events().size();
    ASSERT_EQ(write(kCommand, kChar1, "\t{\"switch\":1,\"timer\":1}").error, "");
    auto on = c.waitFor(changed(kStatus, "Value", "010100"), from);
    ASSERT_TRUE(on);
    auto off = c.waitFor(changed(kStatus, "Value", "000000"), *on + 1);
    ASSERT_TRUE(off);
    size_t values = 0;
    for (size_t i = from; i <= *off; ++i) {
        values += changed(kStatus, "Value")(c.events()[i]) ? 1 : 0;
    }
    EXPECT_EQ(values, 2u);

    from = c.events().size();
    EXPECT_EQ(c.call(kStatus, kChar1, "StopNotify").error, "");
    EXPECT_TRUE(c.waitFor(changed(kStatus, "Notifying", "false"), from));
    const BusEvent again = c.call(kStatus, kChar1, "StopNotify");
    EXPECT_EQ(again.error, "org.bluez.Error.Failed");
    EXPECT_EQ(again.message, "No notify session started");
    ASSERT_EQ(write(kCommand, kChar1, "\t{\"switch\":1}").error, "");
    EXPECT_FALSE(c.waitFor(changed(kStatus, "Value"), c.events().size(), std::chrono::milliseconds(100)));
}

// Only the bus says who left it: another client claiming a subscriber is gone ends nothing of the subscriber's.
TEST_F(BluezSimulatorTest, ForgedNameOwnerChangedEndsNoClientsSession) {
    BusClient& c = start();
    connectPlug();
    ASSERT_EQ(c.call(kStatus, kChar1, "StartNotify").error, "");
    BusClient forger(busAddress());
    forger.forgeNameLost(c.uniqueName());
    forger.settle(std::chrono::milliseconds(50));

    const size_t from = c.events().size();
    ASSERT_EQ(write(kCommand, kChar1, "\t{\"switch\":1}").error, "");
    EXPECT_TRUE(c.waitFor(changed(kStatus, "Value", "010000"), from));
}

// The read the link is lost under is on the air; the one behind it waits in the link's queue. Both fail.
TEST_F(BluezSimulatorTest, LinkLossFailsTheCallsInFlightThenDisconnects) {
    // A device slow enough that the second read is surely queued before the first one drops the link.
    std::string slow = kWorld;
    slow.replace(slow.find("\"latency_ms\": 1,"), 15, "\"latency_ms\": 150");
    BusClient& c = start(slow);
    connectPlug();
    const size_t from = c.events().size();
    const uint64_t dropped = sendRead(pathOf("0000a003-0000-1000-8000-00805f9b34fb"));
    const uint64_t queued = sendRead(kStatus);
    const BusEvent lost = c.reply(dropped);
    EXPECT_EQ(lost.error, "org.bluez.Error.Failed");
    EXPECT_EQ(lost.message, "Operation failed with ATT error: 0x0e");
    EXPECT_EQ(c.reply(queued).message, "Operation failed with ATT error: 0x0e");
    auto down = c.waitFor(changed(kPlug, "Connected", "false"), from);
    ASSERT_TRUE(down);
    EXPECT_EQ(c.events()[*down].props.at("ServicesResolved"), "false");  // one signal for both
    EXPECT_LT(*c.indexOfReply(queued), *down);
    EXPECT_LT(*c.indexOfReply(dropped), *down);
    for (size_t i = from; i < c.events().size(); ++i) {
        EXPECT_NE(c.events()[i].kind, Kind::Removed) << "the objects stay";
    }
}

TEST_F(BluezSimulatorTest, ConnectionOutcomesAndAdapterErrorsAreBluetoothds) {
    BusClient& c = start(R"({ "adapter": { "state_delay_ms": 1 }, "peripherals": [
      { "identifier": "00000000-0000-0000-0000-00000000F001", "address": "C0:FF:EE:00:00:01", "name": "Fails",
        "advertising": { "interval_ms": 20 }, "connection": { "outcome": "fail", "delay_ms": 2 } },
      { "identifier": "00000000-0000-0000-0000-00000000F002", "name": "Hangs",
        "advertising": { "interval_ms": 20 }, "connection": { "outcome": "hang" } },
      { "identifier": "00000000-0000-0000-0000-00000000F003", "name": "No table", "latency_ms": 1,
        "advertising": { "interval_ms": 20 }, "connection": { "delay_ms": 2 },
        "faults": { "discover_services": "error" },
        "services": [ { "uuid": "180f", "characteristics": [ { "uuid": "2a19", "properties": ["read"] } ] } ] } ] })");
    const std::string fails = kAdapter + "/dev_C0_FF_EE_00_00_01";
    const std::string hangs = kAdapter + "/dev_00_00_00_00_F0_02";
    EXPECT_EQ(c.call(kAdapter, "org.bluez.Adapter1", "StopDiscovery").message, "No discovery started");
    const BusEvent bad_filter = c.call(kAdapter, "org.bluez.Adapter1", "SetDiscoveryFilter", [](sdbus::MethodCall& m) {
        m << Options{{"RSSI", sdbus::Variant(int16_t{30})}};
    });
    EXPECT_EQ(bad_filter.error, "org.bluez.Error.InvalidArguments");
    EXPECT_EQ(bad_filter.message, "Invalid arguments in method call");
    ASSERT_EQ(c.call(kAdapter, "org.bluez.Adapter1", "StartDiscovery").error, "");
    ASSERT_TRUE(c.waitFor(added(fails)));
    ASSERT_TRUE(c.waitFor(added(hangs)));

    // A failed discovery still ends in ServicesResolved, with nothing exported.
    const std::string no_table = kAdapter + "/dev_00_00_00_00_F0_03";
    ASSERT_TRUE(c.waitFor(added(no_table)));
    size_t from = c.events().size();
    EXPECT_EQ(c.call(no_table, kDevice1, "Connect").error, "");
    ASSERT_TRUE(c.waitFor(changed(no_table, "ServicesResolved", "true"), from));
    EXPECT_FALSE(
        c.waitFor([&](const BusEvent& e) { return e.kind == Kind::Added && e.path.rfind(no_table + "/", 0) == 0; },
                  from, std::chrono::milliseconds(0)));

    const BusEvent failed = c.call(fails, kDevice1, "Connect");
    EXPECT_EQ(failed.error, "org.bluez.Error.Failed");
    EXPECT_EQ(failed.message, "le-connection-abort-by-local");

    const uint64_t hanging = c.send(hangs, kDevice1, "Connect");
    c.settle(std::chrono::milliseconds(50));
    EXPECT_FALSE(c.indexOfReply(hanging));
    EXPECT_EQ(c.call(hangs, kDevice1, "Connect").message, "Operation already in progress");
    EXPECT_EQ(c.call(hangs, kDevice1, "Disconnect").error, "");
    EXPECT_EQ(c.reply(hanging).message, "br-connection-canceled");

    EXPECT_EQ(c.call(kAdapter + "/dev_01_02_03_04_05_06", kDevice1, "Connect").error,
              "org.freedesktop.DBus.Error.UnknownObject");
    EXPECT_EQ(c.call(kAdapter, "org.bluez.Adapter1", "RemoveDevice",
                     [](sdbus::MethodCall& m) { m << sdbus::ObjectPath(kAdapter + "/dev_01_02_03_04_05_06"); })
                  .error,
              "org.bluez.Error.DoesNotExist");
    from = c.events().size();
    EXPECT_EQ(c.call(kAdapter, "org.bluez.Adapter1", "RemoveDevice",
                     [&](sdbus::MethodCall& m) { m << sdbus::ObjectPath(fails); })
                  .error,
              "");
    EXPECT_TRUE(c.waitFor([&](const BusEvent& e) { return e.kind == Kind::Removed && e.path == fails; }, from));

    // Powered off: the Set is answered before the new settings are signalled; discovery ends and requests need
    // power again.
    from = c.events().size();
    const BusEvent power_off = c.set(kAdapter, "org.bluez.Adapter1", "Powered", sdbus::Variant(false));
    EXPECT_EQ(power_off.error, "");
    EXPECT_LT(*c.indexOfReply(power_off.call), *c.waitFor(changed(kAdapter, "Powered", "false"), from));
    EXPECT_TRUE(c.waitFor(changed(kAdapter, "Discovering", "false"), from));
    const BusEvent off = c.call(kAdapter, "org.bluez.Adapter1", "StartDiscovery");
    EXPECT_EQ(off.error, "org.bluez.Error.NotReady");
    EXPECT_EQ(off.message, "Resource Not Ready");
    // Powered on once the new settings say so, after the Set's reply.
    from = c.events().size();
    EXPECT_EQ(c.set(kAdapter, "org.bluez.Adapter1", "Powered", sdbus::Variant(true)).error, "");
    EXPECT_TRUE(c.waitFor(changed(kAdapter, "Powered", "true"), from));
    EXPECT_EQ(c.call(kAdapter, "org.bluez.Adapter1", "StartDiscovery").error, "");
    EXPECT_EQ(simulator()->stop(), 0) << "SIGTERM ends it cleanly";
}

std::string uuid128(const std::string& short_uuid) {
    return "0000" + short_uuid + "-0000-1000-8000-00805f9b34fb";
}

// A device that answers each request after 40 ms, one of whose characteristics never answers a read.
const std::string kSlow = kAdapter + "/dev_00_00_00_0A_00_01";
const std::string kSlowWorld = R"({
  "adapter": { "state_delay_ms": 1 },
  "bluetoothd": { "att_timeout_ms": 400, "disconnect_timer_ms": 20 },
  "peripherals": [ {
    "identifier": "00000000-0000-4000-8000-0000000A0001", "name": "Slow", "latency_ms": 40,
    "advertising": { "interval_ms": 20 }, "connection": { "delay_ms": 2, "disconnect_delay_ms": 1 },
    "services": [ { "uuid": "a000", "characteristics": [
      { "uuid": "a001", "properties": ["read", "write"], "value": "01", "descriptors": [ { "uuid": "2901", "value": "61" } ] },
      { "uuid": "a002", "properties": ["read"], "value": "02" },
      { "uuid": "a003", "properties": ["read"], "value": "03" },
      { "uuid": "a004", "properties": ["read"], "value": "04", "faults": { "read": "silent" } } ] } ]
  } ]
})";

TEST_F(BluezSimulatorTest, OneAttRequestAtATimePerLinkAndASilentOneHoldsTheLinkUntilTheTimeout) {
    BusClient& c = start(kSlowWorld);
    connectTo(kSlow);
    const std::string a1 = pathOf(uuid128("a001"));

    // Three reads of three characteristics: answered in order, each after its own 40 ms.
    auto begun = Clock::now();
    const uint64_t r1 = sendRead(a1);
    const uint64_t r2 = sendRead(pathOf(uuid128("a002")));
    const uint64_t r3 = sendRead(pathOf(uuid128("a003")));
    EXPECT_EQ(c.reply(r3).props["value"], "03");
    EXPECT_GE(Clock::now() - begun, 120ms);
    EXPECT_LT(*c.indexOfReply(r1), *c.indexOfReply(r2));
    EXPECT_LT(*c.indexOfReply(r2), *c.indexOfReply(r3));

    // A read the device never answers holds the one behind it until the ATT timeout takes the link down.
    const size_t from = c.events().size();
    begun = Clock::now();
    const uint64_t silent = sendRead(pathOf(uuid128("a004")));
    const uint64_t behind = sendRead(a1);
    c.settle(200ms);
    EXPECT_FALSE(c.indexOfReply(silent));
    EXPECT_FALSE(c.indexOfReply(behind)) << "answered past the request on the air";
    EXPECT_EQ(c.reply(behind).message, "Operation failed with ATT error: 0x0e");
    EXPECT_GE(Clock::now() - begun, 400ms);
    EXPECT_EQ(c.reply(silent).message, "Operation failed with ATT error: 0x0e");
    const auto down = c.waitFor(changed(kSlow, "Connected", "false"), from);
    ASSERT_TRUE(down);
    EXPECT_LT(*c.indexOfReply(silent), *down);
}

TEST_F(BluezSimulatorTest, AWriteInProgressRefusesEveryWriteAndReadsJoinOnlyAtTheSameOffset) {
    BusClient& c = start(kSlowWorld);
    connectTo(kSlow);
    const std::string a1 = pathOf(uuid128("a001"));
    const std::string a2 = pathOf(uuid128("a002"));

    // Refused whatever the new write's type, and before its options are read.
    const uint64_t pending = sendWrite(a1, kChar1, "x", {{"type", sdbus::Variant(std::string("request"))}});
    for (const Options& options : {Options{{"type", sdbus::Variant(std::string("command"))}}, Options{},
                                   Options{{"type", sdbus::Variant(uint32_t{5})}}}) {
        const BusEvent refused = write(a1, kChar1, "y", options);
        EXPECT_EQ(refused.error, "org.bluez.Error.InProgress");
        EXPECT_EQ(refused.message, "In Progress");
    }
    EXPECT_EQ(c.reply(pending).error, "");
    const std::string description = descriptorOf(a1, uuid128("2901"));
    const uint64_t descriptor = sendWrite(description, kDesc1, "b");
    EXPECT_EQ(write(description, kDesc1, "c").error, "org.bluez.Error.InProgress");
    EXPECT_EQ(c.reply(descriptor).error, "");

    // A read at the same offset joins the one in progress; another offset is refused.
    const uint64_t first = sendRead(a2);
    const uint64_t joined = sendRead(a2);
    const BusEvent other = read(a2, kChar1, {{"offset", sdbus::Variant(uint16_t{1})}});
    EXPECT_EQ(other.error, "org.bluez.Error.InProgress");
    EXPECT_EQ(c.reply(first).props["value"], "02");
    EXPECT_EQ(c.reply(joined).props["value"], "02");
    EXPECT_EQ(read(a1, kChar1).props["value"], hex(bytesOf("x")));
}

// One device to discover; the controller refuses the first start of a scan, bluetoothd the first filter.
const std::string kRefusingWorld = R"({
  "adapter": { "state_delay_ms": 1, "faults": {
    "start_discovery": { "kind": "error", "times": 1 }, "set_discovery_filter": { "kind": "error", "times": 1 } } },
  "peripherals": [ { "identifier": "C3A1F5E2-7B4D-4E8A-9F61-2D5B8C0E7A13", "advertising": { "interval_ms": 20 } } ]
})";

TEST_F(BluezSimulatorTest, RefusedDiscoveryDropsTheSessionAndFilterFaultsAnswerAsBluetoothd) {
    BusClient& c = start(kRefusingWorld);
    const Options le{{"Transport", sdbus::Variant(std::string("le"))}};
    const BusEvent unsupported = setFilter(le);
    EXPECT_EQ(unsupported.error, "org.bluez.Error.NotSupported");
    EXPECT_EQ(unsupported.message, "Operation is not supported");
    EXPECT_EQ(setFilter(le).error, "");

    const BusEvent refused = c.call(kAdapter, "org.bluez.Adapter1", "StartDiscovery");
    EXPECT_EQ(refused.error, "org.bluez.Error.InProgress");
    EXPECT_EQ(refused.message, "Operation already in progress");
    EXPECT_EQ(c.call(kAdapter, "org.bluez.Adapter1", "StopDiscovery").message, "No discovery started");
    EXPECT_FALSE(c.waitFor(changed(kAdapter, "Discovering"), 0, 50ms));
    // The filter set before stays for the next start.
    const size_t from = c.events().size();
    EXPECT_EQ(c.call(kAdapter, "org.bluez.Adapter1", "StartDiscovery").error, "");
    EXPECT_TRUE(c.waitFor(changed(kAdapter, "Discovering", "true"), from));
    EXPECT_TRUE(c.waitFor(added(kPlug), from));

    // A bluetoothd that never answers a filter.
    startSimulator(writeWorld(R"({ "adapter": { "state_delay_ms": 1,
      "faults": { "set_discovery_filter": { "kind": "silent", "times": 1 } } } })"));
    const uint64_t unanswered =
        c.send(kAdapter, "org.bluez.Adapter1", "SetDiscoveryFilter", [&](sdbus::MethodCall& m) { m << le; });
    c.settle(200ms);
    EXPECT_FALSE(c.indexOfReply(unanswered));
    EXPECT_EQ(setFilter(le).error, "");
}

TEST_F(BluezSimulatorTest, DisconnectKeepsTheLinkForBluetoothdsTimer) {
    BusClient& c = start(plugWorld(R"({ "disconnect_timer_ms": 400 })"));
    connectPlug();
    BusClient other(busAddress());
    const size_t from = c.events().size();
    const auto begun = Clock::now();
    const uint64_t disconnect = c.send(kPlug, kDevice1, "Disconnect");

    // The link still serves, but takes no new notify session; a Connect from another client is answered at once
    // and leaves the timer running.
    const BusEvent served = read(kStatus, kChar1);
    EXPECT_EQ(served.error, "");
    const BusEvent notify = c.call(kStatus, kChar1, "StartNotify");
    EXPECT_EQ(notify.error, "org.bluez.Error.NotConnected");
    EXPECT_EQ(notify.message, "Not Connected");
    EXPECT_EQ(other.call(kPlug, kDevice1, "Connect").error, "");
    EXPECT_LT(Clock::now() - begun, 400ms);
    const uint64_t again = c.send(kPlug, kDevice1, "Disconnect");

    const auto down = c.waitFor(changed(kPlug, "Connected", "false"), from);
    ASSERT_TRUE(down);
    EXPECT_GE(Clock::now() - begun, 400ms);
    const auto unresolved = c.waitFor(changed(kPlug, "ServicesResolved", "false"), from);
    ASSERT_TRUE(unresolved);
    EXPECT_LT(*c.indexOfReply(served.call), *unresolved);
    EXPECT_LT(*unresolved, *c.indexOfReply(disconnect));
    EXPECT_LT(*c.indexOfReply(disconnect), *down);
    EXPECT_LT(*c.indexOfReply(again), *down);
}

// A device with a public address and one with a private address, both connected.
const std::string kPublic = kAdapter + "/dev_00_1A_7D_DA_71_13";
const std::string kPrivate = kAdapter + "/dev_00_00_00_00_B0_01";
const std::string kTwoLinksWorld = R"({
  "adapter": { "state_delay_ms": 1 }, "bluetoothd": { "disconnect_timer_ms": 20 },
  "peripherals": [
    { "identifier": "00000000-0000-4000-8000-00000000B000", "address": "00:1A:7D:DA:71:13", "address_type": "public",
      "latency_ms": 1, "advertising": { "interval_ms": 20 }, "connection": { "delay_ms": 2, "disconnect_delay_ms": 1 },
      "services": [ { "uuid": "b000", "characteristics": [ { "uuid": "b001", "properties": ["read"] } ] } ] },
    { "identifier": "00000000-0000-4000-8000-00000000B001", "latency_ms": 1, "advertising": { "interval_ms": 20 },
      "connection": { "delay_ms": 2, "disconnect_delay_ms": 1 },
      "services": [ { "uuid": "b000", "characteristics": [ { "uuid": "b001", "properties": ["read"] } ] } ] } ]
})";

TEST_F(BluezSimulatorTest, PowerOffThroughPoweredRemovesTemporaryDevicesThenDropsLinksBeforePowered) {
    BusClient& c = start(kTwoLinksWorld);
    EXPECT_EQ(get(kAdapter, "org.bluez.Adapter1", "PowerState"), "on");
    connectTo(kPublic);
    connectTo(kPrivate);

    size_t from = c.events().size();
    const BusEvent off = c.set(kAdapter, "org.bluez.Adapter1", "Powered", sdbus::Variant(false));
    EXPECT_EQ(off.error, "");
    const auto powered = c.waitFor(changed(kAdapter, "Powered", "false"), from);
    ASSERT_TRUE(powered);
    const auto removed =
        c.waitFor([](const BusEvent& e) { return e.kind == Kind::Removed && e.path == kPrivate; }, from);
    const auto disabling = c.waitFor(changed(kAdapter, "PowerState", "on-disabling"), from);
    const auto link_down = c.waitFor(changed(kPublic, "Connected", "false"), from);
    ASSERT_TRUE(removed && disabling && link_down);
    EXPECT_LT(*removed, *disabling);
    EXPECT_LT(*disabling, *link_down);
    EXPECT_LT(*link_down, *c.indexOfReply(off.call));
    EXPECT_LT(*c.indexOfReply(off.call), *powered);
    EXPECT_EQ(c.events()[*powered].props.at("PowerState"), "off");
    EXPECT_FALSE(c.waitFor(changed(kPrivate, "Connected"), from, 0ms)) << "removed, not disconnected";
    const BusEvent not_ready = c.call(kAdapter, "org.bluez.Adapter1", "RemoveDevice",
                                      [](sdbus::MethodCall& m) { m << sdbus::ObjectPath(kPublic); });
    EXPECT_EQ(not_ready.error, "org.bluez.Error.NotReady");

    from = c.events().size();
    const BusEvent on = c.set(kAdapter, "org.bluez.Adapter1", "Powered", sdbus::Variant(true));
    EXPECT_EQ(on.error, "");
    const auto enabled = c.waitFor(changed(kAdapter, "Powered", "true"), from);
    ASSERT_TRUE(enabled);
    EXPECT_LT(*c.waitFor(changed(kAdapter, "PowerState", "off-enabling"), from), *c.indexOfReply(on.call));
    EXPECT_LT(*c.indexOfReply(on.call), *enabled);
    EXPECT_EQ(c.events()[*enabled].props.at("PowerState"), "on");
}

TEST_F(BluezSimulatorTest, DevicesWithPrivateAddressesStayTemporaryAfterAConnection) {
    // A private, a static random and a public address; only the last is never connected.
    const std::string statik = kAdapter + "/dev_C0_00_00_00_B0_02";
    const std::string unconnected = kAdapter + "/dev_00_00_00_00_B0_03";
    BusClient& c = start(R"({ "adapter": { "state_delay_ms": 1 },
      "bluetoothd": { "temporary_timeout_ms": 400, "disconnect_timer_ms": 20 }, "peripherals": [
      { "identifier": "00000000-0000-4000-8000-00000000B001", "latency_ms": 1, "advertising": { "interval_ms": 20 },
        "connection": { "delay_ms": 2, "disconnect_delay_ms": 1 } },
      { "identifier": "00000000-0000-4000-8000-00000000B002", "address": "C0:00:00:00:B0:02", "latency_ms": 1,
        "advertising": { "interval_ms": 20 }, "connection": { "delay_ms": 2, "disconnect_delay_ms": 1 } },
      { "identifier": "00000000-0000-4000-8000-00000000B003", "address_type": "public",
        "advertising": { "interval_ms": 20 } } ] })");
    const auto removed = [](const std::string& path) {
        return [path](const BusEvent& e) { return e.kind == Kind::Removed && e.path == path; };
    };
    ASSERT_EQ(c.call(kAdapter, "org.bluez.Adapter1", "StartDiscovery").error, "");
    for (const std::string& device : {kPrivate, statik, unconnected}) {
        ASSERT_TRUE(c.waitFor(added(device)));
    }
    EXPECT_EQ(get(unconnected, kDevice1, "AddressType"), "public");
    EXPECT_EQ(get(kPrivate, kDevice1, "AddressType"), "random");
    ASSERT_EQ(c.call(kAdapter, "org.bluez.Adapter1", "StopDiscovery").error, "");
    ASSERT_EQ(c.call(kPrivate, kDevice1, "Connect").error, "");
    ASSERT_EQ(c.call(statik, kDevice1, "Connect").error, "");

    // Unseen for the timeout: the device never connected goes; a connected one stays while connected.
    EXPECT_TRUE(c.waitFor(removed(unconnected), 0, 2s));
    c.settle(300ms);
    EXPECT_FALSE(c.waitFor(removed(kPrivate), 0, 0ms)) << "removed while connected";
    const size_t from = c.events().size();
    ASSERT_EQ(c.call(kPrivate, kDevice1, "Disconnect").error, "");
    const auto unlinked = Clock::now();  // the reply comes once the link is down
    ASSERT_EQ(c.call(statik, kDevice1, "Disconnect").error, "");
    EXPECT_TRUE(c.waitFor(removed(kPrivate), from, 2s)) << "a private address stays temporary";
    EXPECT_GE(Clock::now() - unlinked, 300ms);
    c.settle(200ms);
    EXPECT_FALSE(c.waitFor(removed(statik), 0, 0ms)) << "a static address is kept once connected";
}

TEST_F(BluezSimulatorTest, EachSubscribedClientGetsItsOwnSignalOfEveryNotification) {
    BusClient& c = start();
    connectPlug();
    BusClient other(busAddress());
    ASSERT_EQ(c.call(kStatus, kChar1, "StartNotify").error, "");
    ASSERT_EQ(other.call(kStatus, kChar1, "StartNotify").error, "");
    const auto count = [](BusClient& client, size_t from, const std::string& value) {
        size_t n = 0;
        for (size_t i = from; i < client.events().size(); ++i) {
            n += changed(kStatus, "Value", value)(client.events()[i]) ? 1 : 0;
        }
        return n;
    };

    size_t mine = c.events().size();
    size_t theirs = other.events().size();
    ASSERT_EQ(write(kCommand, kChar1, "\t{\"switch\":1}").error, "");
    ASSERT_TRUE(c.waitFor(changed(kStatus, "Value", "010000"), mine));
    ASSERT_TRUE(other.waitFor(changed(kStatus, "Value", "010000"), theirs));
    c.settle(100ms);
    other.settle(100ms);
    EXPECT_EQ(count(c, mine, "010000"), 2u);
    EXPECT_EQ(count(other, theirs, "010000"), 2u);

    ASSERT_EQ(other.call(kStatus, kChar1, "StopNotify").error, "");
    mine = c.events().size();
    ASSERT_EQ(write(kCommand, kChar1, "\t{\"switch\":0}").error, "");
    ASSERT_TRUE(c.waitFor(changed(kStatus, "Value", "000000"), mine));
    c.settle(100ms);
    EXPECT_EQ(count(c, mine, "000000"), 1u);
}

// The smaller rules of bluetoothd's GATT client: notify sessions of a disconnected device, NotifyAcquired, long
// writes.
TEST_F(BluezSimulatorTest, NotifySessionsAcquiredFlagsAndLongWritesFollowBluetoothd) {
    BusClient& c = start(R"({ "adapter": { "state_delay_ms": 1 }, "bluetoothd": { "disconnect_timer_ms": 20 },
      "peripherals": [
      { "identifier": "00000000-0000-4000-8000-0000000C0001", "latency_ms": 1, "advertising": { "interval_ms": 20 },
        "connection": { "delay_ms": 2, "disconnect_delay_ms": 1 },
        "services": [ { "uuid": "c000", "characteristics": [
          { "uuid": "c001", "properties": ["read", "notify"], "value": "00", "descriptors": [ { "uuid": "2902" } ] },
          { "uuid": "c002", "properties": ["indicate"], "descriptors": [ { "uuid": "2902" } ] },
          { "uuid": "c003", "properties": ["read", "write"] } ] } ] },
      { "identifier": "00000000-0000-4000-8000-0000000C0002", "latency_ms": 1, "prepared_writes": false,
        "advertising": { "interval_ms": 20 }, "connection": { "delay_ms": 2, "disconnect_delay_ms": 1 },
        "services": [ { "uuid": "c000", "characteristics": [ { "uuid": "c003", "properties": ["write"] } ] } ] } ] })");
    const std::string device = kAdapter + "/dev_00_00_00_0C_00_01";
    const std::string refusing = kAdapter + "/dev_00_00_00_0C_00_02";
    connectTo(device);
    const std::string notifies = pathOf(uuid128("c001"));
    const std::string indicates = pathOf(uuid128("c002"));
    const std::string writable = pathOf(uuid128("c003"));
    EXPECT_EQ(get(notifies, kChar1, "NotifyAcquired"), "false");
    EXPECT_EQ(get(indicates, kChar1, "Notifying"), "false");
    EXPECT_EQ(get(indicates, kChar1, "NotifyAcquired"), "org.freedesktop.DBus.Error.UnknownProperty");

    // Longer than the MTU allows in one request: prepared writes, taken as one value; refused by a device that
    // takes none.
    const std::string value(40, 'v');
    EXPECT_EQ(write(writable, kChar1, value).error, "");
    EXPECT_EQ(read(writable, kChar1).props["value"], hex(bytesOf(value)));
    connectTo(refusing);
    const BusEvent refused = write(pathOf(uuid128("c003"), refusing), kChar1, value);
    EXPECT_EQ(refused.error, "org.bluez.Error.NotSupported");
    EXPECT_EQ(refused.message, "Operation is not supported");
    EXPECT_EQ(write(pathOf(uuid128("c003"), refusing), kChar1, "short").error, "");

    // Two clients' sessions; the link goes. One client's StopNotify then ends Notifying, though the other
    // session stays, and that session brings it back on the next link.
    BusClient other(busAddress());
    ASSERT_EQ(c.call(notifies, kChar1, "StartNotify").error, "");
    ASSERT_EQ(other.call(notifies, kChar1, "StartNotify").error, "");
    ASSERT_EQ(c.call(device, kDevice1, "Disconnect").error, "");
    size_t from = c.events().size();
    ASSERT_EQ(c.call(notifies, kChar1, "StopNotify").error, "");
    EXPECT_TRUE(c.waitFor(changed(notifies, "Notifying", "false"), from));
    // A session made while disconnected waits for a link: asked again, it is in progress.
    ASSERT_EQ(c.call(notifies, kChar1, "StartNotify").error, "");
    const BusEvent waiting = c.call(notifies, kChar1, "StartNotify");
    EXPECT_EQ(waiting.error, "org.bluez.Error.InProgress");
    EXPECT_EQ(waiting.message, "In Progress");
    from = c.events().size();
    ASSERT_EQ(c.call(device, kDevice1, "Connect").error, "");
    EXPECT_TRUE(c.waitFor(changed(notifies, "Notifying", "true"), from));
    EXPECT_EQ(c.call(notifies, kChar1, "StartNotify").error, "") << "registered again with the link";
}

// A writer of its own: a world whose link drains one write without response per 20 ms interval.
const std::string kAcquireWorld = R"({ "adapter": { "state_delay_ms": 1 }, "bluetoothd": { "disconnect_timer_ms": 20 },
  "peripherals": [
  { "identifier": "00000000-0000-4000-8000-0000000F0001", "latency_ms": 1, "mtu": 100,
    "advertising": { "interval_ms": 20 },
    "connection": { "delay_ms": 2, "disconnect_delay_ms": 1, "interval_ms": 20, "packets_per_interval": 1 },
    "services": [ { "uuid": "f000", "characteristics": [
      { "uuid": "f001", "properties": ["read", "write_without_response", "notify"], "value": "00",
        "descriptors": [ { "uuid": "2902" } ] },
      { "uuid": "f002", "properties": ["read", "write", "indicate"], "descriptors": [ { "uuid": "2902" } ] },
      { "uuid": "f003", "properties": ["notify"], "notifications": { "every_ms": 10, "values": ["0102", ""] },
        "descriptors": [ { "uuid": "2902" } ] } ] } ] } ] })";
const std::string kAcquireDevice = kAdapter + "/dev_00_00_00_0F_00_01";

// Waits (2 s at most) for `fd` to be readable; returns what one recv gives (-1: nothing came).
ssize_t receive(int fd, std::string& datagram) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 2000) != 1) {
        return -1;
    }
    char buffer[512];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    datagram.assign(buffer, n > 0 ? static_cast<size_t>(n) : 0);
    return n;
}

TEST_F(BluezSimulatorTest, AcquireWriteSendsEachDatagramAsAWriteWithoutResponseAtTheLinksPace) {
    BusClient& c = start(kAcquireWorld);
    connectTo(kAcquireDevice);
    const std::string target = pathOf(uuid128("f001"));
    BusEvent answer;
    EXPECT_FALSE(acquire(pathOf(uuid128("f002")), "AcquireWrite", &answer).isValid());
    EXPECT_EQ(answer.error, "org.bluez.Error.NotSupported");

    size_t from = c.events().size();
    sdbus::UnixFd fd = acquire(target, "AcquireWrite", &answer);
    ASSERT_TRUE(fd.isValid()) << answer.error;
    EXPECT_EQ(answer.props["mtu"], "100");
    EXPECT_LT(*c.waitFor(changed(target, "WriteAcquired", "true"), from), *c.indexOfReply(answer.call));
    acquire(target, "AcquireWrite", &answer);
    EXPECT_EQ(answer.error, "org.bluez.Error.NotPermitted");
    EXPECT_EQ(answer.message, "Write acquired");
    EXPECT_EQ(write(target, kChar1, "x", {{"type", sdbus::Variant(std::string("command"))}}).message, "Write acquired");

    // Faster than the link takes them: the socket fills once the transmit queue is full; then every datagram
    // reaches the device, in order. The client's send buffer is made as small as it goes, a few datagrams.
    const int smallest = 1;
    ASSERT_EQ(::setsockopt(fd.get(), SOL_SOCKET, SO_SNDBUF, &smallest, sizeof smallest), 0);
    int sent = 0;
    bool full = false;
    while (sent < 200) {
        const std::string datagram = "w" + std::to_string(100 + sent);
        if (::send(fd.get(), datagram.data(), datagram.size(), MSG_DONTWAIT) < 0) {
            full = errno == EAGAIN;
            break;
        }
        ++sent;
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_TRUE(full) << sent << " datagrams taken";
    EXPECT_GE(sent, 20);
    const std::string last = hex(bytesOf("w" + std::to_string(100 + sent - 1)));
    std::string value;
    for (const auto until = Clock::now() + 3s; value != last && Clock::now() < until; c.settle(20ms)) {
        value = read(target, kChar1).props["value"];
    }
    EXPECT_EQ(value, last);

    // The client closes its end: released, and WriteValue writes again.
    from = c.events().size();
    fd = sdbus::UnixFd();
    EXPECT_TRUE(c.waitFor(changed(target, "WriteAcquired", "false"), from));
    EXPECT_EQ(write(target, kChar1, "x", {{"type", sdbus::Variant(std::string("command"))}}).error, "");

    // The link goes: the client reads the end of its socket, then the socket is released.
    fd = acquire(target, "AcquireWrite");
    ASSERT_TRUE(fd.isValid());
    from = c.events().size();
    ASSERT_EQ(c.call(kAcquireDevice, kDevice1, "Disconnect").error, "");
    std::string datagram;
    EXPECT_EQ(receive(fd.get(), datagram), 0);
    EXPECT_TRUE(c.waitFor(changed(target, "WriteAcquired", "false"), from));
    acquire(target, "AcquireWrite", &answer);
    EXPECT_EQ(answer.error, "org.bluez.Error.Failed");
    EXPECT_EQ(answer.message, "Not connected");
}

TEST_F(BluezSimulatorTest, AcquireNotifySendsEachNotificationAsOneDatagramWhileItsSocketLasts) {
    BusClient& c = start(kAcquireWorld);
    connectTo(kAcquireDevice);
    const std::string notifies = pathOf(uuid128("f003"));
    const std::string cccd = descriptorOf(notifies, uuid128("2902"));
    BusEvent answer;
    acquire(pathOf(uuid128("f002")), "AcquireNotify", &answer);
    EXPECT_EQ(answer.error, "org.bluez.Error.NotSupported");
    BusClient other(busAddress());
    ASSERT_EQ(other.call(notifies, kChar1, "StartNotify").error, "");
    acquire(notifies, "AcquireNotify", &answer);
    EXPECT_EQ(answer.error, "org.bluez.Error.InProgress");
    ASSERT_EQ(other.call(notifies, kChar1, "StopNotify").error, "");

    size_t from = c.events().size();
    sdbus::UnixFd fd = acquire(notifies, "AcquireNotify", &answer);
    ASSERT_TRUE(fd.isValid()) << answer.error;
    EXPECT_EQ(answer.props["mtu"], "100");
    EXPECT_LT(*c.waitFor(changed(notifies, "NotifyAcquired", "true"), from), *c.indexOfReply(answer.call));
    EXPECT_EQ(read(cccd, kDesc1).props["value"], "0100");
    acquire(notifies, "AcquireNotify", &answer);
    EXPECT_EQ(answer.message, "Notify acquired");
    EXPECT_EQ(other.call(notifies, kChar1, "StartNotify").message, "Notify acquired");

    // One datagram per notification, the empty value an empty one; the cache is not touched.
    std::vector<std::string> datagrams(4);
    for (std::string& datagram : datagrams) {
        ASSERT_GE(receive(fd.get(), datagram), 0);
    }
    EXPECT_NE(datagrams[0], datagrams[1]);
    EXPECT_EQ(datagrams[0], datagrams[2]);
    EXPECT_TRUE(datagrams[0].empty() || datagrams[1].empty());
    EXPECT_EQ(datagrams[0].size() + datagrams[1].size(), 2u);
    EXPECT_FALSE(c.waitFor(changed(notifies, "Value"), from, 0ms));

    // Closed by the client: released, and the device unsubscribed.
    from = c.events().size();
    fd = sdbus::UnixFd();
    EXPECT_TRUE(c.waitFor(changed(notifies, "NotifyAcquired", "false"), from));
    EXPECT_EQ(read(cccd, kDesc1).props["value"], "0000");

    // Anyone's StopNotify ends the socket; so does the link's end, after what was sent before it.
    fd = acquire(notifies, "AcquireNotify");
    ASSERT_TRUE(fd.isValid());
    from = c.events().size();
    EXPECT_EQ(other.call(notifies, kChar1, "StopNotify").error, "");
    EXPECT_TRUE(c.waitFor(changed(notifies, "NotifyAcquired", "false"), from));
    std::string datagram;
    while (receive(fd.get(), datagram) > 0) {
    }
    EXPECT_EQ(receive(fd.get(), datagram), 0);
    fd = acquire(notifies, "AcquireNotify");
    ASSERT_TRUE(fd.isValid());
    from = c.events().size();
    ASSERT_EQ(c.call(kAcquireDevice, kDevice1, "Disconnect").error, "");
    ssize_t n = 0;
    while ((n = receive(fd.get(), datagram)) > 0) {
    }
    EXPECT_EQ(n, 0);
    EXPECT_TRUE(c.waitFor(changed(notifies, "NotifyAcquired", "false"), from));
    acquire(notifies, "AcquireNotify", &answer);
    EXPECT_EQ(answer.message, "Not connected");
}

// A device that notifies its value as soon as the configuration arrives, before it answers: StartNotify's
// registration is there already and signals it; AcquireNotify's socket is not, and the value is lost.
TEST_F(BluezSimulatorTest, ANotificationAheadOfTheSubscriptionsAnswerReachesStartNotifyOnly) {
    BusClient& c = start(R"({ "adapter": { "state_delay_ms": 1 }, "peripherals": [
      { "identifier": "00000000-0000-4000-8000-0000000F0002", "latency_ms": 1, "advertising": { "interval_ms": 20 },
        "connection": { "delay_ms": 2 },
        "services": [ { "uuid": "f000", "characteristics": [
          { "uuid": "f004", "properties": ["notify"], "value": "07", "faults": { "subscribe": "notify_early" },
            "notifications": { "every_ms": 30, "values": ["08"] }, "descriptors": [ { "uuid": "2902" } ] } ] } ] } ] })");
    connectTo(kAdapter + "/dev_00_00_00_0F_00_02");
    const std::string early = pathOf(uuid128("f004"));
    size_t from = c.events().size();
    const BusEvent started = c.call(early, kChar1, "StartNotify");
    ASSERT_EQ(started.error, "");
    EXPECT_LT(*c.waitFor(changed(early, "Value", "07"), from), *c.indexOfReply(started.call));
    ASSERT_EQ(c.call(early, kChar1, "StopNotify").error, "");

    sdbus::UnixFd fd = acquire(early, "AcquireNotify");
    ASSERT_TRUE(fd.isValid());
    std::string datagram;
    ASSERT_GT(receive(fd.get(), datagram), 0);
    EXPECT_EQ(datagram, "\x08");
}

// Service data does not match a UUID filter; any filter at all makes the discovery a filtered one, in which
// every report signals RSSI.
TEST_F(BluezSimulatorTest, DiscoveryFiltersMatchAsBluetoothdMatchesThem) {
    BusClient& c = start(R"({ "adapter": { "state_delay_ms": 1 }, "peripherals": [
      { "identifier": "00000000-0000-4000-8000-0000000D0001",
        "advertising": { "interval_ms": 20, "service_uuids": ["180d"] } },
      { "identifier": "00000000-0000-4000-8000-0000000D0002",
        "advertising": { "interval_ms": 20, "service_data": { "180d": "00" } } } ] })");
    const std::string listed = kAdapter + "/dev_00_00_00_0D_00_01";
    const std::string data_only = kAdapter + "/dev_00_00_00_0D_00_02";
    ASSERT_EQ(setFilter({{"UUIDs", sdbus::Variant(std::vector<std::string>{"180d"})}}).error, "");
    ASSERT_EQ(c.call(kAdapter, "org.bluez.Adapter1", "StartDiscovery").error, "");
    const auto first = c.waitFor(added(listed));
    const auto second = c.waitFor(added(data_only));
    ASSERT_TRUE(first && second);
    EXPECT_EQ(c.events()[*first].props.count("RSSI"), 1u);
    EXPECT_EQ(c.events()[*second].props.count("RSSI"), 0u) << "made bare, as a device the filter does not match";
    c.settle(100ms);
    EXPECT_FALSE(c.waitFor(changed(data_only, "RSSI"), 0, 0ms));
    ASSERT_EQ(c.call(kAdapter, "org.bluez.Adapter1", "StopDiscovery").error, "");

    ASSERT_EQ(setFilter({{"Transport", sdbus::Variant(std::string("auto"))}}).error, "");
    const size_t from = c.events().size();
    ASSERT_EQ(c.call(kAdapter, "org.bluez.Adapter1", "StartDiscovery").error, "");
    c.settle(200ms);
    size_t reports = 0;
    for (size_t i = from; i < c.events().size(); ++i) {
        reports += changed(data_only, "RSSI")(c.events()[i]) ? 1 : 0;
    }
    EXPECT_GE(reports, 2u) << "the same RSSI signalled again";
}

TEST_F(BluezSimulatorTest, SecuredAttributesAreRefusedAsNotPaired) {
    BusClient& c = start(R"({ "adapter": { "state_delay_ms": 1 }, "peripherals": [
      { "identifier": "00000000-0000-4000-8000-0000000E0001", "latency_ms": 1, "advertising": { "interval_ms": 20 },
        "connection": { "delay_ms": 2 },
        "services": [ { "uuid": "e000", "characteristics": [
          { "uuid": "e001", "properties": ["read", "write", "notify"], "value": "01", "security": "encryption",
            "descriptors": [ { "uuid": "2902" } ] },
          { "uuid": "e002", "properties": ["read"], "value": "02",
            "descriptors": [ { "uuid": "2901", "value": "64", "security": "authentication" } ] } ] } ] } ] })");
    const std::string device = kAdapter + "/dev_00_00_00_0E_00_01";
    connectTo(device);
    const std::string encrypted = pathOf(uuid128("e001"));
    const std::vector<BusEvent> answers = {read(encrypted, kChar1), write(encrypted, kChar1, "x"),
                                           c.call(encrypted, kChar1, "StartNotify"),
                                           read(descriptorOf(pathOf(uuid128("e002")), uuid128("2901")), kDesc1)};
    for (const BusEvent& e : answers) {
        EXPECT_EQ(e.error, "org.bluez.Error.NotPermitted") << e.iface;
        EXPECT_EQ(e.message, "Not paired") << e.iface;
    }
    EXPECT_EQ(read(pathOf(uuid128("e002")), kChar1).props["value"], "02");
}

// A user the bus's policy keeps from bluetoothd is refused every call, the listing and property reads and writes
// too, while the objects are there.
TEST_F(BluezSimulatorTest, RefusedUserIsRefusedEveryCall) {
    BusClient& c = start(R"({ "adapter": { "state": "unauthorized" }, "peripherals": [] })");
    const char* const kDenied = "org.freedesktop.DBus.Error.AccessDenied";
    EXPECT_EQ(c.call("/", "org.freedesktop.DBus.ObjectManager", "GetManagedObjects").error, kDenied);
    EXPECT_EQ(c.call(kAdapter, "org.freedesktop.DBus.Properties", "Get",
                     [](sdbus::MethodCall& m) { m << std::string("org.bluez.Adapter1") << std::string("Powered"); })
                  .error,
              kDenied);
    EXPECT_EQ(c.set(kAdapter, "org.bluez.Adapter1", "Alias", sdbus::Variant(std::string("mine"))).error, kDenied);
    EXPECT_EQ(c.set(kAdapter, "org.bluez.Adapter1", "Powered", sdbus::Variant(false)).error, kDenied);
    EXPECT_EQ(c.call(kAdapter, "org.bluez.Adapter1", "StartDiscovery").error, kDenied);
}

TEST(BluezSimulatorProgram, RefusesABadWorldAndABusThatDoesNotAnswer) {
    using std::chrono::seconds;
    const std::string bad = worldPath("invalid/unknown_key.json");
    ChildProcess::Options merged;
    merged.merge_stderr = true;
    {
        ChildProcess sim({simulatorPath(), "--world", bad, "--bus", "unix:path=/nonexistent"}, merged);
        auto line = sim.readLine(seconds(10));
        ASSERT_TRUE(line);
        EXPECT_NE(line->find(bad), std::string::npos) << *line;
        EXPECT_FALSE(sim.readLine(seconds(5))) << "one line only";
        EXPECT_EQ(sim.waitExit(seconds(5)), std::optional<int>(2));
    }
    const std::string good = worldPath("plug_only.json");
    {
        ChildProcess sim({simulatorPath(), "--world", good, "--bus", "unix:path=/nonexistent/bus"}, merged);
        auto line = sim.readLine(seconds(10));
        ASSERT_TRUE(line);
        EXPECT_NE(line->find("unix:path=/nonexistent/bus"), std::string::npos) << *line;
        auto status = sim.waitExit(seconds(5));
        ASSERT_TRUE(status);
        EXPECT_NE(*status, 0);
    }
    // A socket that takes the connection and never says a word.
    const std::string socket_path = "/tmp/tavrin-silent-bus-" + std::to_string(::getpid());
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socket_path.c_str());
    ::unlink(socket_path.c_str());
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    {
        ChildProcess sim({simulatorPath(), "--world", good, "--bus", "unix:path=" + socket_path}, merged);
        auto status = sim.waitExit(seconds(15));
        ASSERT_TRUE(status) << "still waiting for a silent bus";
        EXPECT_NE(*status, 0);
        auto line = sim.readLine(seconds(1));
        ASSERT_TRUE(line);
        EXPECT_NE(line->find("does not answer"), std::string::npos) << *line;
    }
    ::close(listener);
    ::unlink(socket_path.c_str());
}

}  // namespace

namespace {

using namespace bluez_test;

// A scripted agent served on the test's client: it notes what bluetoothd asks ("RequestPasskey <device>",
// "Cancel"), keeps each question open for the test to answer, and answers Cancel at once.
class BluezSimulatorAgentTest : public BluezFixture {
  protected:
    const std::string manager_ = "/org/bluez";
    const std::string agentPath_ = "/test/agent";

    void TearDown() override {
        questions_.clear();  // messages of the client's connection: they go before it
        agent_.reset();
        client_.reset();
        BluezFixture::TearDown();
    }

    BusClient& start(const std::string& world_file) {
        startSimulator(world_file);
        client_ = std::make_unique<BusClient>(busAddress());
        agent_ = sdbus::createObject(client_->connection(), agentPath_);
        agent_->registerMethod("org.bluez.Agent1", "RequestPasskey", "o", "u", [this](sdbus::MethodCall call) {
            sdbus::ObjectPath device;
            call >> device;
            asked_.push_back("RequestPasskey " + device);
            questions_.push_back(std::move(call));
        });
        agent_->registerMethod("org.bluez.Agent1", "Cancel", "", "", [this](sdbus::MethodCall call) {
            asked_.push_back("Cancel");
            cancelled_at_ = client_->events().size();
            call.createReply().send();
        });
        agent_->finishRegistration();
        return *client_;
    }

    BusClient::Args path(const std::string& p) const {
        return [p](sdbus::MethodCall& m) { m << sdbus::ObjectPath(p); };
    }
    BusClient::Args registration(const std::string& capability) const {
        return [p = agentPath_, capability](sdbus::MethodCall& m) { m << sdbus::ObjectPath(p) << capability; };
    }
    void registerAgent() {
        ASSERT_EQ(
            client_->call(manager_, "org.bluez.AgentManager1", "RegisterAgent", registration("KeyboardOnly")).error,
            "");
    }

    // Scans on `adapter` until every device is there.
    void discover(const std::string& adapter, const std::vector<std::string>& devices) {
        ASSERT_EQ(client_->call(adapter, "org.bluez.Adapter1", "StartDiscovery").error, "");
        for (const std::string& device : devices) {
            ASSERT_TRUE(client_->waitFor(added(device))) << device;
        }
        ASSERT_EQ(client_->call(adapter, "org.bluez.Adapter1", "StopDiscovery").error, "");
    }

    // Incoming calls are no events: the client is pumped until `count` questions came (5 s at most).
    bool questionsAsked(size_t count) {
        for (int i = 0; i < 500 && questions_.size() < count; ++i) {
            client_->settle(std::chrono::milliseconds(10));
        }
        return questions_.size() >= count;
    }
    void answer(size_t question, uint32_t passkey) {
        auto reply = questions_.at(question).createReply();
        reply << passkey;
        reply.send();
    }

    std::unique_ptr<BusClient> client_;
    std::unique_ptr<sdbus::IObject> agent_;
    std::vector<std::string> asked_;            // the agent's calls, in order
    std::vector<sdbus::MethodCall> questions_;  // the RequestPasskey calls, answered or not
    std::optional<size_t> cancelled_at_;        // the client's event count when the last Cancel came
};

const std::string kLock = "/org/bluez/hci0/dev_C0_00_00_00_A1_01";
const std::string kSafe = "/org/bluez/hci0/dev_C0_00_00_00_A1_05";

// AgentManager1's rules, and Pair() through the caller's agent: the question, CancelPairing (the agent gets
// Cancel and Pair() is answered canceled), then the right passkey, Paired, and the errors that follow.
TEST_F(BluezSimulatorAgentTest, PairAsksTheCallersAgentAndCancelPairingEndsIt) {
    BusClient& c = start(worldPath("pairing.json"));

    EXPECT_EQ(c.call(manager_, "org.bluez.AgentManager1", "RequestDefaultAgent", path(agentPath_)).error,
              "org.bluez.Error.DoesNotExist");
    EXPECT_EQ(c.call(manager_, "org.bluez.AgentManager1", "RegisterAgent", registration("Bogus")).error,
              "org.bluez.Error.InvalidArguments");
    EXPECT_EQ(c.call(manager_, "org.bluez.AgentManager1", "RegisterAgent", registration("KeyboardOnly")).error, "");
    EXPECT_EQ(c.call(manager_, "org.bluez.AgentManager1", "RegisterAgent", registration("KeyboardOnly")).error,
              "org.bluez.Error.AlreadyExists");

    discover("/org/bluez/hci0", {kLock});
    EXPECT_EQ(c.call(kLock, "org.bluez.Device1", "CancelPairing").error, "org.bluez.Error.DoesNotExist");

    // Asked, then cancelled: Pair() is answered canceled before CancelPairing(), and the agent hears Cancel.
    const uint64_t first = c.send(kLock, "org.bluez.Device1", "Pair");
    ASSERT_TRUE(questionsAsked(1));
    EXPECT_EQ(c.call(kLock, "org.bluez.Device1", "Pair").error, "org.bluez.Error.InProgress");
    const uint64_t cancel = c.send(kLock, "org.bluez.Device1", "CancelPairing");
    EXPECT_EQ(c.reply(first).error, "org.bluez.Error.AuthenticationCanceled");
    EXPECT_EQ(c.reply(cancel).error, "");
    EXPECT_LT(*c.indexOfReply(first), *c.indexOfReply(cancel));
    c.settle(std::chrono::milliseconds(50));
    EXPECT_EQ(asked_, (std::vector<std::string>{"RequestPasskey " + kLock, "Cancel"}));

    // Asked again, answered: paired.
    const size_t from = c.events().size();
    const uint64_t second = c.send(kLock, "org.bluez.Device1", "Pair");
    ASSERT_TRUE(questionsAsked(2));
    answer(1, 123456);
    EXPECT_EQ(c.reply(second).error, "");
    EXPECT_TRUE(c.waitFor(changed(kLock, "Paired", "true"), from));
    EXPECT_EQ(c.call(kLock, "org.bluez.Device1", "Pair").error, "org.bluez.Error.AlreadyExists");
    EXPECT_EQ(c.call(manager_, "org.bluez.AgentManager1", "UnregisterAgent", path(agentPath_)).error, "");
    EXPECT_EQ(c.call(manager_, "org.bluez.AgentManager1", "UnregisterAgent", path(agentPath_)).error,
              "org.bluez.Error.DoesNotExist");
}

// bluetoothd asks an agent one question at a time: a second device's pairing, while the agent is asked about
// the first, is refused without a word to the agent, and no Cancel follows for it; the first one's answer
// still counts, and once the agent is free the second device is asked.
TEST_F(BluezSimulatorAgentTest, ABusyAgentIsNotAskedASecondQuestion) {
    BusClient& c = start(worldPath("pairing.json"));
    registerAgent();
    discover("/org/bluez/hci0", {kLock, kSafe});

    const uint64_t lock = c.send(kLock, "org.bluez.Device1", "Pair");
    ASSERT_TRUE(questionsAsked(1));
    const BusEvent refused = c.call(kSafe, "org.bluez.Device1", "Pair");
    EXPECT_EQ(refused.error, "org.bluez.Error.AuthenticationFailed");
    EXPECT_EQ(refused.message, "Authentication Failed");
    c.settle(std::chrono::milliseconds(50));
    EXPECT_EQ(asked_, (std::vector<std::string>{"RequestPasskey " + kLock}));

    answer(0, 123456);
    EXPECT_EQ(c.reply(lock).error, "");
    const uint64_t safe = c.send(kSafe, "org.bluez.Device1", "Pair");
    ASSERT_TRUE(questionsAsked(2));
    answer(1, 482913);
    EXPECT_EQ(c.reply(safe).error, "");
    EXPECT_EQ(asked_, (std::vector<std::string>{"RequestPasskey " + kLock, "RequestPasskey " + kSafe}));
}

// The agents registered with /org/bluez answer for every adapter: a pairing through hci1, by Pair() or by a
// secured read raising the link through the default agent, asks them about hci1's device.
TEST_F(BluezSimulatorAgentTest, PairingThroughTheSecondAdapterAsksTheAgentAboutItsDevice) {
    BusClient& c = start(writeWorld(R"({ "adapter": { "state_delay_ms": 1 },
      "adapters": [ { "name": "hci0" }, { "name": "hci1", "address": "00:00:5E:00:53:11" } ],
      "bluetoothd": { "disconnect_timer_ms": 20 },
      "peripherals": [
        { "identifier": "00000000-0000-4000-8000-0000000A1001", "address": "C0:00:00:00:A1:01", "latency_ms": 1,
          "pairing": { "method": "passkey", "passkey": 123456 }, "advertising": { "interval_ms": 20 },
          "connection": { "delay_ms": 2, "disconnect_delay_ms": 1 } },
        { "identifier": "00000000-0000-4000-8000-0000000A1002", "address": "C0:00:00:00:A1:02", "latency_ms": 1,
          "pairing": { "method": "passkey", "passkey": 654321 }, "advertising": { "interval_ms": 20 },
          "connection": { "delay_ms": 2, "disconnect_delay_ms": 1 },
          "services": [ { "uuid": "e000", "characteristics": [
            { "uuid": "e001", "properties": ["read"], "value": "2a", "security": "authentication" } ] } ] } ] })"));
    const std::string lock = "/org/bluez/hci1/dev_C0_00_00_00_A1_01";
    const std::string meter = "/org/bluez/hci1/dev_C0_00_00_00_A1_02";
    registerAgent();
    discover("/org/bluez/hci1", {lock, meter});

    size_t from = c.events().size();
    const uint64_t pair = c.send(lock, "org.bluez.Device1", "Pair");
    ASSERT_TRUE(questionsAsked(1));
    EXPECT_EQ(asked_.back(), "RequestPasskey " + lock);
    answer(0, 123456);
    EXPECT_EQ(c.reply(pair).error, "");
    EXPECT_TRUE(c.waitFor(changed(lock, "Paired", "true"), from));

    from = c.events().size();
    ASSERT_EQ(c.call(meter, "org.bluez.Device1", "Connect").error, "");
    const auto tree = c.waitFor(
        [&](const BusEvent& e) { return e.kind == Kind::Added && e.iface == "org.bluez.GattCharacteristic1"; }, from);
    ASSERT_TRUE(tree);
    const uint64_t read = c.send(c.events()[*tree].path, "org.bluez.GattCharacteristic1", "ReadValue",
                                 [](sdbus::MethodCall& m) { m << Options{}; });
    ASSERT_TRUE(questionsAsked(2));
    EXPECT_EQ(asked_.back(), "RequestPasskey " + meter);
    answer(1, 654321);
    EXPECT_EQ(c.reply(read).error, "");
}

// Powering the adapter off while the agent is asked: the link goes, the agent hears Cancel, then Pair() is
// answered canceled, as bluetoothd ends a bonding whose link went down.
TEST_F(BluezSimulatorAgentTest, PowerOffDuringPairingCancelsTheQuestionAndAnswersPair) {
    BusClient& c = start(worldPath("pairing.json"));
    registerAgent();
    discover("/org/bluez/hci0", {kLock});

    const size_t from = c.events().size();
    const uint64_t pair = c.send(kLock, "org.bluez.Device1", "Pair");
    ASSERT_TRUE(questionsAsked(1));
    EXPECT_EQ(c.set("/org/bluez/hci0", "org.bluez.Adapter1", "Powered", sdbus::Variant(false)).error, "");
    const BusEvent answered = c.reply(pair);
    EXPECT_EQ(answered.error, "org.bluez.Error.AuthenticationCanceled");
    EXPECT_EQ(answered.message, "Authentication Canceled");
    const auto down = c.waitFor(changed(kLock, "Connected", "false"), from, std::chrono::milliseconds(0));
    ASSERT_TRUE(down && cancelled_at_);
    EXPECT_LT(*down, *c.indexOfReply(pair));
    EXPECT_LE(*cancelled_at_, *c.indexOfReply(pair)) << "Cancel before the answer";
    EXPECT_EQ(asked_, (std::vector<std::string>{"RequestPasskey " + kLock, "Cancel"}));
}

}  // namespace
