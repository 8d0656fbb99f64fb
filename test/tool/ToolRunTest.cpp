// tavrin-switch run as a process against world files: its standard output, standard error and exit status.
// Each case runs twice where the BlueZ radio is built: over the simulated world in the tool's own process, and
// over BlueZ, with tavrin-bluez-sim serving the same world on a private bus. The output is the same but for
// the addresses (Bluetooth addresses instead of identifiers).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <regex>
#include <string>
#include <vector>

#include "ProcessRun.h"
#include "RadioRun.h"

#ifdef TAVRIN_BLUEZ_TOOL_TESTS
#include "BluezFixture.h"
#endif

#ifndef TAVRIN_SWITCH_PATH
#error "the tool tests need the path of the built tavrin-switch"
#endif

namespace {

using testing::ElementsAre;
using testing::HasSubstr;
using tooltest::ProcessResult;

using tooltest::Via;
// Which radio the running case goes through; set by the fixture before each case.
Via g_via = Via::Sim;

const std::string kPlugIdentifier = "C3A1F5E2-7B4D-4E8A-9F61-2D5B8C0E7A13";

std::string address(const std::string& identifier) {
    return tooltest::addressOf(g_via, identifier);
}

std::string plug() {
    return address(kPlugIdentifier);
}
const std::string kAdapterLine =
    "Using adapter: Default Adapter [39a76676-2788-46c9-afa0-f0c0c31e6fd9] [39a76676-2788-46c9-afa0-f0c0c31e6fd9]";
const std::string kPlugService = "fb1e4001-54ae-4a28-9f74-dfccb248601d";
const std::string kCommandChar = "fb1e4002-54ae-4a28-9f74-dfccb248601d";
const std::string kStatusChar = "fb1e4003-54ae-4a28-9f74-dfccb248601d";
const std::string kOffCommand = "{\"mode\":3,\"switch\":0}";

std::string world(const std::string& name) {
    return std::string(TAVRIN_TEST_WORLDS_DIR) + "/" + name;
}

// Runs the tool over `world_file` (a path, or "default" for the built-in world).
ProcessResult runTool(const std::vector<std::string>& args, const std::string& world_file) {
    return tooltest::runOver(g_via, TAVRIN_SWITCH_PATH, args, world_file);
}

class ToolRun : public testing::TestWithParam<Via> {
  protected:
    void SetUp() override { g_via = GetParam(); }
};

// What every run against a world holding only the plug prints up to the end of the device list.
std::vector<std::string> plugScanLines(const std::string& timer) {
    return {"You passed the number: " + timer,
            kAdapterLine,
            "Scan started.",
            "Found device: Tavrin Plug [" + plug() + "]",
            "Scan stopped.",
            "The following devices were found:",
            "[0] Tavrin Plug [" + plug() + "]"};
}

bool onRealStack() {
    return tooltest::onRealStack(g_via);
}

// The real bluetoothd exchanges its own MTU (517), whatever the world says; the tool shows at most 512.
std::string mtuLine() {
    return onRealStack() ? "MTU: 512" : "MTU: 182";
}

// The service and characteristic pairs the tool lists, numbered: a device served by a real bluetoothd also has
// that daemon's own GATT and Device Information services, in front of the world's.
std::vector<std::string> pairLines(const std::vector<std::pair<std::string, std::string>>& world_pairs) {
    std::vector<std::pair<std::string, std::string>> all;
    if (onRealStack()) {
        const std::string gatt = "00001801-0000-1000-8000-00805f9b34fb";
        const std::string information = "0000180a-0000-1000-8000-00805f9b34fb";
        all = {{gatt, "00002a05-0000-1000-8000-00805f9b34fb"},
               {gatt, "00002b29-0000-1000-8000-00805f9b34fb"},
               {gatt, "00002b2a-0000-1000-8000-00805f9b34fb"},
               {information, "00002a50-0000-1000-8000-00805f9b34fb"}};
    }
    all.insert(all.end(), world_pairs.begin(), world_pairs.end());
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < all.size(); ++i) {
        lines.push_back("[" + std::to_string(i) + "] " + all[i].first + " " + all[i].second);
    }
    return lines;
}

std::vector<std::string> connectLines(const std::string& mtu_line = mtuLine()) {
    return {"Connecting to Tavrin Plug [" + plug() + "]",
            "Successfully connected, printing services and characteristics..", mtu_line,
            "The following services and characteristics were found:"};
}

std::vector<std::string> byteLines(const std::string& command) {
    const std::string payload = "\t" + command;
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < payload.size(); ++i) {
        lines.push_back("Byte " + std::to_string(i) + ": " + std::to_string(static_cast<unsigned char>(payload[i])));
    }
    return lines;
}

std::vector<std::string> concat(std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> all;
    for (const auto& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

bool anyContains(const std::vector<std::string>& lines, const std::string& text) {
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& line) { return line.find(text) != std::string::npos; });
}

// The found lines of a scan of the default world: every device once, in some order fixed by the world.
void expectDefaultWorldScan(const std::vector<std::string>& out, std::size_t first) {
    ASSERT_GE(out.size(), first + 11);
    EXPECT_EQ(out[first], "Scan started.");
    const std::vector<std::string> found(out.begin() + static_cast<long>(first) + 1,
                                         out.begin() + static_cast<long>(first) + 5);
    EXPECT_THAT(found, testing::UnorderedElementsAre(
                           "Found device: Tavrin Plug [" + plug() + "]",
                           "Found device: Heart Rate Sensor [" + address("0F3E9B7A-52C4-4D1E-8A6B-7C9D0E1F2A3B") + "]",
                           "Found device:  [" + address("9A8B7C6D-5E4F-4A3B-2C1D-0E9F8A7B6C5D") + "]",
                           "Found device: Thermometer [" + address("5D4C3B2A-1908-4F7E-6D5C-4B3A29180F7E") + "]"));
    EXPECT_EQ(out[first + 5], "Scan stopped.");
    EXPECT_EQ(out[first + 6], "The following devices were found:");
    // The list keeps the order in which the devices were found.
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(out[first + 7 + i],
                  "[" + std::to_string(i) + "] " + found[i].substr(std::string("Found device: ").size()));
    }
}

TEST_P(ToolRun, SwitchesThePlugOnAndShowsTheCountdown) {
    // The default world, as `make demo` runs it.
    const ProcessResult run = runTool({plug(), "on", "30"}, "default");
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_THAT(tooltest::ownLines(run.err), ElementsAre());

    const std::vector<std::string> out = tooltest::splitLines(run.out);
    ASSERT_GE(out.size(), 2u);
    EXPECT_EQ(out[0], "You passed the number: 30");
    EXPECT_EQ(out[1], kAdapterLine);
    expectDefaultWorldScan(out, 2);

    const std::vector<std::string> pairs = pairLines({
        {kPlugService, kCommandChar},
        {kPlugService, kStatusChar},
        {"0000180a-0000-1000-8000-00805f9b34fb", "00002a29-0000-1000-8000-00805f9b34fb"},
        {"0000180a-0000-1000-8000-00805f9b34fb", "00002a24-0000-1000-8000-00805f9b34fb"},
    });
    const std::vector<std::string> bytes = byteLines("{\"mode\":3,\"switch\":1,\"timer\":30}");
    ASSERT_EQ(bytes.size(), 33u);
    const std::vector<std::string> middle = concat({connectLines(), pairs, bytes});
    ASSERT_EQ(out.size(), 13 + middle.size() + 5 + 1);
    EXPECT_EQ(std::vector<std::string>(out.begin() + 13, out.begin() + 13 + static_cast<long>(middle.size())), middle);
    const auto bytes_at = out.begin() + 13 + 4 + static_cast<long>(pairs.size());
    EXPECT_EQ(bytes_at[0], "Byte 0: 9");
    EXPECT_EQ(bytes_at[1], "Byte 1: 123");
    EXPECT_EQ(bytes_at[32], "Byte 32: 125");

    // Status: switch on, then the seconds left (16 bits, little end first), one second between reads.
    const std::regex status(R"(Characteristic content is: 01 ([0-9a-f]{2}) 00 )");
    std::vector<int> left;
    for (std::size_t i = out.size() - 6; i < out.size() - 1; ++i) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(out[i], match, status)) << out[i];
        left.push_back(std::stoi(match[1].str(), nullptr, 16));
    }
    for (int k = 0; k < 5; ++k) {
        EXPECT_TRUE(left[static_cast<std::size_t>(k)] == 30 - k || left[static_cast<std::size_t>(k)] == 29 - k)
            << "read " << k << " shows " << left[static_cast<std::size_t>(k)];
    }
    EXPECT_TRUE(std::is_sorted(left.rbegin(), left.rend()));
    EXPECT_LT(left.back(), left.front());
    EXPECT_EQ(out.back(), "exit");
}

TEST_P(ToolRun, AnyModeWordButOnSendsTheOffCommand) {
    // Two runs at once: each process has its own world.
    auto off = std::async(std::launch::async, [] { return runTool({plug(), "off", "30"}, world("plug_only.json")); });
    auto upper = std::async(std::launch::async, [] { return runTool({plug(), "ON", "30"}, world("plug_only.json")); });

    for (const ProcessResult& run : {off.get(), upper.get()}) {
        EXPECT_EQ(run.exit_status, 0);
        EXPECT_EQ(run.err, "");
        const std::vector<std::string> bytes = byteLines(kOffCommand);
        EXPECT_EQ(bytes.size(), 22u);
        const std::vector<std::string> expected =
            concat({plugScanLines("30"),
                    connectLines(),
                    {"[0] " + kPlugService + " " + kCommandChar, "[1] " + kPlugService + " " + kStatusChar},
                    bytes,
                    std::vector<std::string>(5, "Characteristic content is: 00 00 00 "),
                    {"exit"}});
        EXPECT_EQ(tooltest::splitLines(run.out), expected);
    }
}

TEST_P(ToolRun, TimerTextIsSentAsTypedAndTheRefusalEndsTheRun) {
    const ProcessResult run = runTool({plug(), "on", "soon"}, world("plug_only.json"));
    EXPECT_EQ(run.exit_status, 1);
    const std::vector<std::string> expected =
        concat({plugScanLines("soon"),
                connectLines(),
                {"[0] " + kPlugService + " " + kCommandChar, "[1] " + kPlugService + " " + kStatusChar},
                byteLines("{\"mode\":3,\"switch\":1,\"timer\":soon}")});
    EXPECT_EQ(tooltest::splitLines(run.out), expected);
    EXPECT_THAT(tooltest::ownLines(run.err), ElementsAre("Error: Operation Failed: Characteristic Write Request"));
    EXPECT_TRUE(anyContains(tooltest::consoleLines(run.err), "could not be written")) << run.err;
}

TEST_P(ToolRun, NoArgumentsScansAndMatchesNothing) {
    const ProcessResult run = runTool({}, world("plug_only.json"));
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(tooltest::splitLines(run.out), concat({{"No command-line arguments provided."}, plugScanLines("")}));
    EXPECT_EQ(run.err, "Error: No matching device found for deviceName: \n");
}

TEST_P(ToolRun, AddressThatMatchesNothingEndsNormally) {
    // Addresses compare exactly: the plug's address in lower case is another address.
    std::string lower = plug();
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    const ProcessResult run = runTool({lower, "on", "30"}, "default");
    EXPECT_EQ(run.exit_status, 0);
    const std::vector<std::string> out = tooltest::splitLines(run.out);
    ASSERT_EQ(out.size(), 13u) << run.out;
    EXPECT_EQ(out[0], "You passed the number: 30");
    EXPECT_EQ(out[1], kAdapterLine);
    expectDefaultWorldScan(out, 2);
    EXPECT_EQ(run.err, "Error: No matching device found for deviceName: " + lower + "\n");
}

TEST_P(ToolRun, WithoutTheWriteCharacteristicTheCommandGoesToTheFirstPair) {
    const ProcessResult run = runTool({plug(), "off", ""}, world("no_write_char.json"));
    EXPECT_EQ(run.exit_status, 1);
    // The only pair is the status characteristic, which cannot be written.
    EXPECT_EQ(
        tooltest::splitLines(run.out),
        concat(
            {plugScanLines(""), connectLines(), {"[0] " + kPlugService + " " + kStatusChar}, byteLines(kOffCommand)}));
    EXPECT_THAT(tooltest::ownLines(run.err), ElementsAre("Error: The requested operation is not supported."));
    EXPECT_TRUE(anyContains(tooltest::consoleLines(run.err), "does not support write")) << run.err;
}

TEST_P(ToolRun, WithoutTheReadCharacteristicTheFirstPairIsRead) {
    const ProcessResult run = runTool({plug(), "off", ""}, world("no_read_char.json"));
    EXPECT_EQ(run.exit_status, 1);
    // The write reaches the command characteristic; the read goes there too and is refused.
    EXPECT_EQ(
        tooltest::splitLines(run.out),
        concat(
            {plugScanLines(""), connectLines(), {"[0] " + kPlugService + " " + kCommandChar}, byteLines(kOffCommand)}));
    EXPECT_THAT(tooltest::ownLines(run.err), ElementsAre("Error: The requested operation is not supported."));
    EXPECT_TRUE(anyContains(tooltest::consoleLines(run.err), "does not support read")) << run.err;
}

TEST_P(ToolRun, DeviceWithoutCharacteristicsEndsAfterTheListing) {
    const ProcessResult run = runTool({plug(), "on", "30"}, world("no_characteristics.json"));
    EXPECT_EQ(run.exit_status, 1);
    // bluetoothd tells the MTU only on characteristics: without any, the tool shows the default.
    EXPECT_EQ(tooltest::splitLines(run.out),
              concat({plugScanLines("30"), connectLines(g_via == Via::Bluez ? "MTU: 20" : "MTU: 182")}));
    EXPECT_EQ(run.err, "Error: No characteristics found on the device.\n");
}

TEST_P(ToolRun, BluetoothOffEndsBeforeScanning) {
    const ProcessResult run = runTool({plug(), "on", "30"}, world("bluetooth_off.json"));
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_THAT(tooltest::splitLines(run.out), ElementsAre("You passed the number: 30", "Bluetooth is not enabled!"));
    EXPECT_EQ(run.err, "");
}

TEST_P(ToolRun, WithoutAWorldTheSystemsRadioIsUsed) {
    // No simulated world named: the system's radio, given no system bus (so a host's own bluetoothd cannot
    // change the outcome). Over BlueZ: a bus on which bluetoothd is absent.
    ProcessResult run;
    if (GetParam() == Via::Sim) {
        run = tooltest::runProcess(TAVRIN_SWITCH_PATH, {plug(), "on", "30"}, std::nullopt, {}, std::chrono::seconds(60),
                                   {"DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent"});
    } else {
#ifdef TAVRIN_BLUEZ_TOOL_TESTS
        bluez_test::PrivateBus bus;
        run = tooltest::runProcess(TAVRIN_SWITCH_PATH, {plug(), "on", "30"}, std::nullopt, {}, std::chrono::seconds(60),
                                   {"DBUS_SYSTEM_BUS_ADDRESS=" + bus.address()});
#endif
    }
    EXPECT_FALSE(run.timed_out);
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_THAT(tooltest::splitLines(run.out), ElementsAre("You passed the number: 30", "Bluetooth is not enabled!"));
}

TEST_P(ToolRun, ConnectionThatFailsEndsWithTheError) {
    const ProcessResult run = runTool({plug(), "on", "30"}, world("plug_connect_fails.json"));
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(tooltest::splitLines(run.out),
              concat({plugScanLines("30"), {"Connecting to Tavrin Plug [" + plug() + "]"}}));
    EXPECT_THAT(tooltest::ownLines(run.err), ElementsAre("Error: Operation Failed: Peripheral Connection"));
}

TEST_P(ToolRun, FailureWhileConnectedDisconnectsBeforeEnding) {
    // The read fails; the tool then disconnects, which hangs here and fails after its 5 s bound:
    // the console shows the attempt, and the run still ends with the read's error.
    const ProcessResult run = runTool({plug(), "on", "30"}, world("tool_read_fails_disconnect_hangs.json"));
    EXPECT_EQ(run.exit_status, 1);
    const std::vector<std::string> out = tooltest::splitLines(run.out);
    EXPECT_FALSE(anyContains(out, "Characteristic content is:"));
    EXPECT_FALSE(anyContains(out, "exit"));
    EXPECT_THAT(tooltest::ownLines(run.err), ElementsAre("Error: Operation Failed: Characteristic Read"));
    const std::vector<std::string> console = tooltest::consoleLines(run.err);
    EXPECT_TRUE(anyContains(console, "could not be read")) << run.err;
    EXPECT_TRUE(anyContains(console, "Disconnection failed.")) << run.err;
}

using tooltest::viaName;

INSTANTIATE_TEST_SUITE_P(Sim, ToolRun, testing::Values(Via::Sim), viaName);
#ifdef TAVRIN_BLUEZ_TOOL_TESTS
INSTANTIATE_TEST_SUITE_P(Bluez, ToolRun, testing::Values(Via::Bluez), viaName);
#endif

}  // namespace
