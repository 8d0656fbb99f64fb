// Each example program run once against the default world, with short durations.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>

#include "ProcessRun.h"

#ifdef TAVRIN_BLUEZ_TOOL_TESTS
#include "BluezFixture.h"
#endif

namespace {

using testing::HasSubstr;

tooltest::ProcessResult runExample(const std::string& name, const std::vector<std::string>& args) {
    tooltest::ProcessResult result =
        tooltest::runProcess(std::string(TAVRIN_EXAMPLES_DIR) + "/" + name, args, std::string("default"));
    EXPECT_FALSE(result.timed_out);
    return result;
}

#define SKIP_UNLESS_BUILT(name)                                                           \
    if (::access((std::string(TAVRIN_EXAMPLES_DIR) + "/" + (name)).c_str(), X_OK) != 0) { \
        GTEST_SKIP() << (name) << " is not built";                                        \
    }

TEST(Examples, ScanPrintsEachDeviceWithItsAdvertisement) {
    SKIP_UNLESS_BUILT("example_scan");
    const auto run = runExample("example_scan", {"1"});
    EXPECT_EQ(run.exit_status, 0) << run.err;
    EXPECT_THAT(run.out, HasSubstr("C3A1F5E2-7B4D-4E8A-9F61-2D5B8C0E7A13 \"Tavrin Plug\" rssi -58 dBm, connectable, "
                                   "tx power 4 dBm\n    service fb1e4001-54ae-4a28-9f74-dfccb248601d\n"));
    EXPECT_THAT(run.out, HasSubstr("9A8B7C6D-5E4F-4A3B-2C1D-0E9F8A7B6C5D \"\" rssi -72 dBm\n"
                                   "    manufacturer 76: 02157a3b1c9d5e2f4a60b8c7d6e5f4a3b2c100010002c5\n"));
    EXPECT_THAT(run.out, HasSubstr("    service 0000181a-0000-1000-8000-00805f9b34fb: 6608\n"));
    EXPECT_THAT(run.out, HasSubstr("0F3E9B7A-52C4-4D1E-8A6B-7C9D0E1F2A3B \"Heart Rate Sensor\""));
}

TEST(Examples, ReadWriteListsTheTreeReadsAndSwitchesThePlug) {
    SKIP_UNLESS_BUILT("example_read_write");
    const auto run = runExample("example_read_write", {});
    EXPECT_EQ(run.exit_status, 0) << run.err;
    EXPECT_THAT(run.out, HasSubstr("Connected to \"Tavrin Plug\", MTU 182\n"));
    EXPECT_THAT(run.out,
                HasSubstr("  characteristic fb1e4002-54ae-4a28-9f74-dfccb248601d [ write_request write_command ]\n"
                          "    descriptor 00002901-0000-1000-8000-00805f9b34fb\n"));
    EXPECT_THAT(run.out, HasSubstr("  characteristic fb1e4003-54ae-4a28-9f74-dfccb248601d [ read notify ]\n"));
    // "Tavrin Labs", the maker's name.
    EXPECT_THAT(run.out, HasSubstr("    value: 54 61 76 72 69 6e 20 4c 61 62 73 \n"));
    EXPECT_THAT(run.out, HasSubstr("plug on for 5 s, status: 01 05 00 \n"));
}

TEST(Examples, NotifyPrintsValuesUntilItUnsubscribes) {
    SKIP_UNLESS_BUILT("example_notify");
    const auto run = runExample("example_notify", {"0F3E9B7A-52C4-4D1E-8A6B-7C9D0E1F2A3B", "3"});
    EXPECT_EQ(run.exit_status, 0) << run.err;
    EXPECT_THAT(run.out, HasSubstr("Subscribed to 00002a37-0000-1000-8000-00805f9b34fb for 3 s\n"));
    // A heart rate value each second: the first ones arrive within the three seconds.
    EXPECT_THAT(run.out, HasSubstr("value: 00 48 \n"));
    EXPECT_THAT(run.out, HasSubstr("value: 00 49 \n"));
    EXPECT_THAT(run.out, HasSubstr("Unsubscribed.\n"));
}

// Pairs with the passkey lock of the pairing world, reads its encrypted characteristic and unpairs, over the
// simulated radio and, where built, through BlueZ against the simulator.
TEST(Examples, PairPairsReadsTheEncryptedValueAndUnpairs) {
    SKIP_UNLESS_BUILT("example_pair");
    const std::string world = std::string(TAVRIN_TEST_WORLDS_DIR) + "/pairing.json";
    const std::vector<std::string> secret = {"7a1e0001-0000-4000-8000-00000000a100",
                                             "7a1e0002-0000-4000-8000-00000000a100"};
    const auto check = [](const tooltest::ProcessResult& run, const std::string& bonded) {
        EXPECT_FALSE(run.timed_out);
        EXPECT_EQ(run.exit_status, 0) << run.out << run.err;
        EXPECT_THAT(run.out, HasSubstr("bonded: " + bonded + "\n"));
        EXPECT_THAT(run.out, HasSubstr("paired before: no\n"));
        EXPECT_THAT(run.out, HasSubstr("agent: passkey for "));
        EXPECT_THAT(run.out, HasSubstr("paired: yes\nvalue: 4c 6f 63 6b 65 64 \nunpaired: yes\n"));
    };
    const std::string path = std::string(TAVRIN_EXAMPLES_DIR) + "/example_pair";
    check(tooltest::runProcess(path, {"00000000-0000-4000-8000-0000000A1001", secret[0], secret[1], "123456"}, world),
          "00000000-0000-4000-8000-0000000A1004 (unspecified)");
#ifdef TAVRIN_BLUEZ_TOOL_TESTS
    bluez_test::PrivateBus bus;
    bluez_test::SimulatorProcess simulator(world, bus.address());
    check(tooltest::runProcess(path, {"C0:00:00:00:A1:01", secret[0], secret[1], "123456"}, std::nullopt, {},
                               std::chrono::seconds(60), {"DBUS_SYSTEM_BUS_ADDRESS=" + bus.address()}),
          "00:1A:7D:DA:A1:04 (public)");
#endif
}

}  // namespace
