// Each example program run once against the default world, with short durations, over each radio.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>

#include "RadioRun.h"

namespace {

using testing::HasSubstr;
using tooltest::Via;

class Examples : public testing::TestWithParam<Via> {
  protected:
    void SetUp() override {
        if (::access(path("example_scan").c_str(), X_OK) != 0) {
            GTEST_SKIP() << "the examples are not built";
        }
    }
    static std::string path(const std::string& name) { return std::string(TAVRIN_EXAMPLES_DIR) + "/" + name; }
    tooltest::ProcessResult run(const std::string& name, const std::vector<std::string>& args,
                                const std::string& world = "default") {
        return tooltest::runOver(GetParam(), path(name), args, world);
    }
    std::string at(const std::string& identifier, const std::string& world = {}) const {
        return tooltest::addressOf(GetParam(), identifier, world);
    }
    bool real() const { return tooltest::onRealStack(GetParam()); }
};

const std::string kPlug = "C3A1F5E2-7B4D-4E8A-9F61-2D5B8C0E7A13";
const std::string kBeacon = "9A8B7C6D-5E4F-4A3B-2C1D-0E9F8A7B6C5D";
const std::string kHeartRate = "0F3E9B7A-52C4-4D1E-8A6B-7C9D0E1F2A3B";

TEST_P(Examples, ScanPrintsEachDeviceWithItsAdvertisement) {
    const auto done = run("example_scan", {real() ? "3" : "1"});
    EXPECT_EQ(done.exit_status, 0) << done.err;
    // btvirt's air carries no signal strength (127: not available) and bluetoothd sends its own transmit power;
    // bluetoothd does not say whether a device takes connections, so over BlueZ each one may.
    const auto rssi = [&](const std::string& world) {
        return " rssi " + (real() ? std::string("127") : world) + " dBm";
    };
    EXPECT_THAT(done.out, HasSubstr(at(kPlug) + " \"Tavrin Plug\"" + rssi("-58") + ", connectable, tx power " +
                                    (real() ? "0" : "4") + " dBm\n    service fb1e4001-54ae-4a28-9f74-dfccb248601d\n"));
    EXPECT_THAT(done.out,
                HasSubstr(at(kBeacon) + " \"\"" + rssi("-72") + (GetParam() == Via::Bluez ? ", connectable" : "") +
                          "\n    manufacturer 76: 02157a3b1c9d5e2f4a60b8c7d6e5f4a3b2c100010002c5\n"));
    EXPECT_THAT(done.out, HasSubstr("    service 0000181a-0000-1000-8000-00805f9b34fb: 6608\n"));
    EXPECT_THAT(done.out, HasSubstr(at(kHeartRate) + " \"Heart Rate Sensor\""));
}

TEST_P(Examples, ReadWriteListsTheTreeReadsAndSwitchesThePlug) {
    const auto done = run("example_read_write", {at(kPlug)});
    EXPECT_EQ(done.exit_status, 0) << done.err;
    // A real bluetoothd exchanges its own MTU (517), whatever the world says; the library offers at most 512.
    EXPECT_THAT(done.out,
                HasSubstr(std::string("Connected to \"Tavrin Plug\", MTU ") + (real() ? "512" : "182") + "\n"));
    EXPECT_THAT(done.out,
                HasSubstr("  characteristic fb1e4002-54ae-4a28-9f74-dfccb248601d [ write_request write_command ]\n"
                          "    descriptor 00002901-0000-1000-8000-00805f9b34fb\n"));
    EXPECT_THAT(done.out, HasSubstr("  characteristic fb1e4003-54ae-4a28-9f74-dfccb248601d [ read notify ]\n"));
    // "Tavrin Labs", the maker's name.
    EXPECT_THAT(done.out, HasSubstr("    value: 54 61 76 72 69 6e 20 4c 61 62 73 \n"));
    EXPECT_THAT(done.out, HasSubstr("plug on for 5 s, status: 01 05 00 \n"));
}

TEST_P(Examples, NotifyPrintsValuesUntilItUnsubscribes) {
    const auto done = run("example_notify", {at(kHeartRate), "3"});
    EXPECT_EQ(done.exit_status, 0) << done.err;
    EXPECT_THAT(done.out, HasSubstr("Subscribed to 00002a37-0000-1000-8000-00805f9b34fb for 3 s\n"));
    // A heart rate value each second: the first ones arrive within the three seconds.
    EXPECT_THAT(done.out, HasSubstr("value: 00 48 \n"));
    EXPECT_THAT(done.out, HasSubstr("value: 00 49 \n"));
    EXPECT_THAT(done.out, HasSubstr("Unsubscribed.\n"));
}

// Pairs with the passkey lock of the pairing world, reads its encrypted characteristic and unpairs.
TEST_P(Examples, PairPairsReadsTheEncryptedValueAndUnpairs) {
    if (real()) {
        GTEST_SKIP() << "the world server cannot make a device ask for a passkey";
    }
    const std::string world = std::string(TAVRIN_TEST_WORLDS_DIR) + "/pairing.json";
    const bool sim = GetParam() == Via::Sim;
    const auto done = run("example_pair",
                          {sim ? "00000000-0000-4000-8000-0000000A1001" : "C0:00:00:00:A1:01",
                           "7a1e0001-0000-4000-8000-00000000a100", "7a1e0002-0000-4000-8000-00000000a100", "123456"},
                          world);
    EXPECT_EQ(done.exit_status, 0) << done.out << done.err;
    EXPECT_THAT(done.out, HasSubstr(sim ? "bonded: 00000000-0000-4000-8000-0000000A1004 (unspecified)\n"
                                        : "bonded: 00:1A:7D:DA:A1:04 (public)\n"));
    EXPECT_THAT(done.out, HasSubstr("paired before: no\n"));
    EXPECT_THAT(done.out, HasSubstr("agent: passkey for "));
    EXPECT_THAT(done.out, HasSubstr("paired: yes\nvalue: 4c 6f 63 6b 65 64 \nunpaired: yes\n"));
}

INSTANTIATE_TEST_SUITE_P(Sim, Examples, testing::Values(Via::Sim), tooltest::viaName);
#ifdef TAVRIN_BLUEZ_TOOL_TESTS
INSTANTIATE_TEST_SUITE_P(Bluez, Examples, testing::Values(Via::Bluez), tooltest::viaName);
#endif

}  // namespace
