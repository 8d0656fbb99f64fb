// Interoperability: Debian's bluetoothctl, a BlueZ client we did not write, drives the simulator through a
// scan, a connection, the attribute list and a read.

#include <chrono>
#include <string>

#include <gtest/gtest.h>

#include "BluezFixture.h"

namespace {

using namespace bluez_test;
using std::chrono::seconds;

class BluetoothctlTest : public BluezFixture {};

TEST_F(BluetoothctlTest, ScansConnectsListsAttributesAndReads) {
    startSimulator(worldPath("plug_only.json"));
    ChildProcess::Options options;
    options.input = true;
    options.merge_stderr = true;
    options.extra_env = {"DBUS_SYSTEM_BUS_ADDRESS=" + busAddress(), "TERM=dumb"};
    ChildProcess ctl({"bluetoothctl"}, options);
    const std::string plug = "2D:5B:8C:0E:7A:13";
    const std::string status = "/org/bluez/hci0/dev_2D_5B_8C_0E_7A_13/service000f/char0013";
    const auto step = [&](const std::string& command, const std::string& expect) {
        if (!command.empty()) {
            ctl.writeLine(command);
        }
        return ctl.readUntil(expect, seconds(10));
    };

    ASSERT_TRUE(step("", "Agent registered")) << ctl.transcript();
    ASSERT_TRUE(step("scan on", "Device " + plug + " Tavrin Plug")) << ctl.transcript();
    ASSERT_TRUE(step("scan off", "Discovering: no")) << ctl.transcript();
    ASSERT_TRUE(step("connect " + plug, "Connection successful")) << ctl.transcript();
    ASSERT_TRUE(step("", "ServicesResolved: yes")) << ctl.transcript();
    ASSERT_TRUE(step("menu gatt", "list-attributes")) << ctl.transcript();
    ASSERT_TRUE(step("list-attributes " + plug, status + "/desc0016")) << ctl.transcript();
    ctl.writeLine("select-attribute " + status);  // answers with a new prompt only
    ASSERT_TRUE(step("read", "00 00 00")) << ctl.transcript();
    ASSERT_TRUE(step("back", "Menu main")) << ctl.transcript();
    ASSERT_TRUE(step("disconnect " + plug, "Successful disconnected")) << ctl.transcript();
    ctl.writeLine("quit");
    EXPECT_EQ(ctl.waitExit(seconds(5)), std::optional<int>(0)) << ctl.transcript();
}

}  // namespace

namespace {

// bluetoothctl's own agent pairs with each method (a passkey it shows, a device's own request it authorizes), a
// wrong passkey fails as bluetoothd's does, and the bonded device is listed from the start.
TEST_F(BluetoothctlTest, ItsAgentPairsWithEachMethod) {
    startSimulator(worldPath("pairing.json"));
    ChildProcess::Options options;
    options.input = true;
    options.merge_stderr = true;
    options.extra_env = {"DBUS_SYSTEM_BUS_ADDRESS=" + busAddress(), "TERM=dumb"};
    ChildProcess ctl({"bluetoothctl"}, options);
    const auto step = [&](const std::string& command, const std::string& expect) {
        if (!command.empty()) {
            ctl.writeLine(command);
        }
        return ctl.readUntil(expect, seconds(10));
    };

    ASSERT_TRUE(step("", "Agent registered")) << ctl.transcript();
    ASSERT_TRUE(step("default-agent", "Default agent request successful")) << ctl.transcript();
    ASSERT_TRUE(step("devices Paired", "Device 00:1A:7D:DA:A1:04 Bonded Band")) << ctl.transcript();
    // The devices come in any order.
    const auto heard = [&](const std::string& text) {
        const auto end = std::chrono::steady_clock::now() + seconds(10);
        while (ctl.transcript().find(text) == std::string::npos && std::chrono::steady_clock::now() < end) {
            ctl.readUntil("", std::chrono::milliseconds(100));  // one line more into the transcript
        }
        return ctl.transcript().find(text) != std::string::npos;
    };
    ctl.writeLine("scan on");
    for (const char* name : {"Passkey Lock", "Comparison Meter", "Simple Sensor", "Keypad Safe", "Asking Tag"}) {
        ASSERT_TRUE(heard(name)) << ctl.transcript();
    }
    ASSERT_TRUE(step("scan off", "Discovering: no")) << ctl.transcript();
    ASSERT_TRUE(step("pair C0:00:00:00:A1:01", "Request passkey")) << ctl.transcript();
    ASSERT_TRUE(step("111111", "org.bluez.Error.AuthenticationFailed")) << ctl.transcript();
    ASSERT_TRUE(step("pair C0:00:00:00:A1:01", "Request passkey")) << ctl.transcript();
    ASSERT_TRUE(step("123456", "Pairing successful")) << ctl.transcript();
    ASSERT_TRUE(step("pair C0:00:00:00:A1:01", "org.bluez.Error.AlreadyExists")) << ctl.transcript();
    ASSERT_TRUE(step("pair C0:00:00:00:A1:02", "Request confirmation")) << ctl.transcript();
    ASSERT_TRUE(step("yes", "Pairing successful")) << ctl.transcript();
    ASSERT_TRUE(step("pair C0:00:00:00:A1:03", "Pairing successful")) << ctl.transcript();
    ASSERT_TRUE(step("remove C0:00:00:00:A1:03", "Device has been removed")) << ctl.transcript();
    // The host shows the passkey for the device's keyboard; a device asking to pair on its own has the
    // default agent (this one) authorize it.
    ASSERT_TRUE(step("pair C0:00:00:00:A1:05", "482913")) << ctl.transcript();
    ASSERT_TRUE(step("", "Pairing successful")) << ctl.transcript();
    ASSERT_TRUE(step("connect C0:00:00:00:A1:06", "Request authorization")) << ctl.transcript();
    ASSERT_TRUE(step("yes", "C0:00:00:00:A1:06 Paired: yes")) << ctl.transcript();
    ctl.writeLine("quit");
    EXPECT_EQ(ctl.waitExit(seconds(5)), std::optional<int>(0)) << ctl.transcript();
}

}  // namespace
