// Interoperability: Debian's bluetoothctl, a BlueZ client we did not write, drives the simulator through a
// scan, a connection, the attribute list and a read.

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
