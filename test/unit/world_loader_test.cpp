// The world file loader: every bad file gets its own one-line message, good files give their world description.

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/sim/WorldConfig.h"

namespace {

using namespace platform;
using namespace platform::sim;
using ::testing::HasSubstr;
using ::testing::StartsWith;

const std::string kWorlds = TAVRIN_TEST_WORLDS_DIR;
const std::string kPlug = "C3A1F5E2-7B4D-4E8A-9F61-2D5B8C0E7A13";

std::string errorOf(const std::function<void()>& load) {
    try {
        load();
    } catch (const WorldFileError& e) {
        return e.what();
    }
    return "(no error)";
}

struct BadCase {
    const char* name;                // the fixture (or the inline source name)
    const char* path;                // the JSON path the message must name
    std::vector<const char*> words;  // the problem, in words the message must contain
};

void expectMessage(const std::string& message, const std::string& source, const BadCase& c) {
    SCOPED_TRACE(c.name);
    EXPECT_THAT(message, StartsWith(source + ": " + c.path + ": "));
    for (const char* w : c.words)
        EXPECT_THAT(message, HasSubstr(w));
    EXPECT_EQ(message.find('\n'), std::string::npos) << "one line only";
}

TEST(WorldLoader, EachInvalidFixtureNamesItsPathAndProblem) {
    const std::vector<BadCase> cases = {
        {"not_json", "$", {"not valid JSON", "line 4, column 3", "byte"}},
        {"unknown_key", "$.peripherals[0].advertising.intervall_ms", {"unknown key", "interval_ms"}},
        {"bad_hex", "$.peripherals[0].advertising.manufacturer_data", {"bad hex", "4c00zz15", "character 4"}},
        {"odd_hex", "$.peripherals[0].advertising.manufacturer_data", {"bad hex", "odd number of digits"}},
        {"missing_identifier", "$.peripherals[1]", {"missing required key \"identifier\""}},
        {"duplicate_identifier",
         "$.peripherals[1].identifier",
         {"duplicate identifier", kPlug.c_str(), "$.peripherals[0]"}},
        {"bad_identifier", "$.peripherals[0].identifier", {"not a valid identifier", "36 characters"}},
        {"unknown_property",
         "$.peripherals[0].services[1].characteristics[0].properties[2]",
         {"unknown property \"notifi\"", "write_without_response"}},
        {"property_mask_too_big",
         "$.peripherals[0].services[0].characteristics[0].properties",
         {"between 0 and 255", "256"}},
        {"zero_interval", "$.peripherals[0].advertising.interval_ms", {"positive", "got 0"}},
        {"negative_packets", "$.peripherals[0].connection.packets_per_interval", {"positive", "got -1"}},
        {"zero_notification_interval",
         "$.peripherals[0].services[0].characteristics[0].notifications.every_ms",
         {"positive", "got 0"}},
        {"bad_notification_value",
         "$.peripherals[0].services[0].characteristics[0].notifications.values[1]",
         {"bad hex", "\"4x\""}},
        {"bad_uuid", "$.peripherals[0].services[0].uuid", {"not a valid UUID", "180Z"}},
        {"bad_service_data_key", "$.peripherals[0].advertising.service_data.thermo", {"not a valid UUID", "thermo"}},
        {"unknown_state", "$.adapter.state", {"unknown state \"on\"", "powered_on"}},
        {"unknown_authorization", "$.adapter.authorization", {"unknown authorization \"allowed\"", "allowed_always"}},
        {"unknown_outcome", "$.peripherals[0].connection.outcome", {"unknown outcome \"succeed\"", "hang"}},
        {"fault_wrong_level",
         "$.peripherals[0].faults.read",
         {"unknown fault request for a peripheral", "discover_services"}},
        {"unknown_fault_kind",
         "$.peripherals[0].faults.discover_services",
         {"unknown fault kind \"timeout\"", "silent"}},
        {"mtu_out_of_range", "$.peripherals[0].mtu", {"between 23 and 517", "600"}},
        {"unknown_model", "$.peripherals[0].model", {"unknown model \"lamp\"", "plug"}},
        {"wrong_type", "$.peripherals[0].latency_ms", {"expected an integer, got a string"}},
        {"duplicate_key", "$.peripherals[0].name", {"duplicate key"}},
    };
    for (const BadCase& c : cases) {
        const std::string file = kWorlds + "/invalid/" + c.name + ".json";
        expectMessage(errorOf([&] { loadWorldFile(file); }), file, c);
    }
}

TEST(WorldLoader, InlineInvalidTextsAreRejectedWithTheirPath) {
    const std::string id = "\"identifier\": \"" + kPlug + "\"";
    const std::string p = "{\"peripherals\": [{" + id;
    const std::string ch = p + ", \"services\": [{\"uuid\": \"180D\", \"characteristics\": [";
    const std::vector<std::pair<std::string, BadCase>> cases = {
        {"", {"empty", "$", {"not valid JSON"}}},
        {"[]", {"top array", "$", {"expected an object, got an array"}}},
        {"{} x", {"trailing", "$", {"not valid JSON"}}},
        {std::string("{\"adapter\"\0:1}", 14), {"nul byte", "$", {"not valid JSON"}}},
        {"{\"peripherals\": {}}", {"list type", "$.peripherals", {"expected an array, got an object"}}},
        {p + ", \"mtu\": 185.5}]}",
         {"float", "$.peripherals[0].mtu", {"expected an integer, got a non-integer number"}}},
        {p + ", \"latency_ms\": 99999999999999999999}]}",
         {"huge", "$.peripherals[0].latency_ms", {"expected an integer"}}},
        {p + ", \"latency_ms\": 18446744073709551615}]}", {"u64 max", "$.peripherals[0].latency_ms", {"non-negative"}}},
        {p + ", \"latency_ms\": -1}]}", {"negative", "$.peripherals[0].latency_ms", {"non-negative", "-1"}}},
        {p + ", \"address\": \"2D:5B:8C:0E:7A\"}]}",
         {"short address", "$.peripherals[0].address", {"not a valid Bluetooth address", "AA:BB:CC:DD:EE:FF"}}},
        {p + ", \"address\": \"2D-5B-8C-0E-7A-13\"}]}",
         {"dashed address", "$.peripherals[0].address", {"not a valid Bluetooth address"}}},
        {p + "}, {\"identifier\": \"0F3E9B7A-52C4-4D1E-8A6B-7C9D0E1F2A3B\", \"address\": \"2d:5b:8c:0e:7a:13\"}]}",
         {"address of another",
          "$.peripherals[1].address",
          {"duplicate address 2D:5B:8C:0E:7A:13", "$.peripherals[0]"}}},
        {p + ", \"advertising\": {\"rssi\": -200}}]}",
         {"rssi", "$.peripherals[0].advertising.rssi", {"between -128 and 127"}}},
        {p + ", \"advertising\": {\"connectable\": \"yes\"}}]}",
         {"bool", "$.peripherals[0].advertising.connectable", {"expected a boolean, got a string"}}},
        {p + ", \"advertising\": {\"manufacturer_data\": \"4c\"}}]}",
         {"short mfr", "$.peripherals[0].advertising.manufacturer_data", {"company identifier"}}},
        {p + ", \"advertising\": {\"service_data\": {\"181a\": \"00\", \"0000181A\": \"01\"}}}]}",
         {"dup service data", "$.peripherals[0].advertising.service_data.0000181A", {"duplicate service data UUID"}}},
        {p + ", \"advertising\": {\"service_data\": {\"181a\": \"0\"}}}]}",
         {"service data hex", "$.peripherals[0].advertising.service_data.181a", {"bad hex"}}},
        {p + ", \"advertising\": {\"service_uuids\": [\"180D\", \"\"]}}]}",
         {"empty uuid", "$.peripherals[0].advertising.service_uuids[1]", {"not a valid UUID"}}},
        {p + ", \"connection\": {\"interval_ms\": 0}}]}",
         {"conn interval", "$.peripherals[0].connection.interval_ms", {"positive"}}},
        {p + ", \"connection\": {\"disconnect\": \"stay\"}}]}",
         {"disconnect", "$.peripherals[0].connection.disconnect", {"unknown disconnect behaviour \"stay\""}}},
        {p + ", \"connection\": {\"connected_signal\": \"quiet\"}}]}",
         {"connected signal", "$.peripherals[0].connection.connected_signal", {"unknown connected signal \"quiet\""}}},
        {p + ", \"model\": null}]}", {"model null", "$.peripherals[0].model", {"expected a string, got null"}}},
        {"{\"peripherals\": [{\"identifier\": \"0x" + kPlug + "\"}]}",
         {"0x id", "$.peripherals[0].identifier", {"not a valid identifier"}}},
        {"{\"peripherals\": [{\"identifier\": \"180D\"}]}",
         {"short id", "$.peripherals[0].identifier", {"not a valid identifier"}}},
        {p + ", \"services\": [{\"characteristics\": []}]}]}",
         {"no uuid", "$.peripherals[0].services[0]", {"missing required key \"uuid\""}}},
        {p + ", \"services\": [{\"uuid\": \"180D\", \"faults\": {\"read\": \"error\"}}]}]}",
         {"service fault", "$.peripherals[0].services[0].faults.read", {"for a service", "discover_characteristics"}}},
        {ch + "{\"uuid\": \"2A37\", \"faults\": {\"read\": \"notify_early\"}}]}]}]}",
         {"early notification",
          "$.peripherals[0].services[0].characteristics[0].faults.read",
          {"\"notify_early\" is for \"subscribe\" only"}}},
        {ch + "{\"uuid\": \"2A37\", \"faults\": {\"discover_services\": \"drop\"}}]}]}]}",
         {"char fault",
          "$.peripherals[0].services[0].characteristics[0].faults.discover_services",
          {"for a characteristic"}}},
        {ch + "{\"uuid\": \"2A37\", \"descriptors\": [{\"uuid\": \"2901\", \"faults\": {\"subscribe\": "
              "\"error\"}}]}]}]}]}",
         {"desc fault",
          "$.peripherals[0].services[0].characteristics[0].descriptors[0].faults.subscribe",
          {"for a descriptor", "read, write"}}},
        {ch + "{\"uuid\": \"2A37\", \"descriptors\": [{\"uuid\": \"2901\", \"valu\": \"00\"}]}]}]}]}",
         {"desc key", "$.peripherals[0].services[0].characteristics[0].descriptors[0].valu", {"unknown key"}}},
        {ch + "{\"uuid\": \"2A37\", \"notifications\": {\"every_ms\": 10}}]}]}]}",
         {"no values",
          "$.peripherals[0].services[0].characteristics[0].notifications",
          {"missing required key \"values\""}}},
        {ch + "{\"uuid\": \"2A37\", \"notifications\": {\"values\": []}}]}]}]}",
         {"empty values", "$.peripherals[0].services[0].characteristics[0].notifications.values", {"at least one"}}},
        {ch + "{\"uuid\": \"2A37\", \"properties\": \"read\"}]}]}]}",
         {"props type", "$.peripherals[0].services[0].characteristics[0].properties", {"integer mask"}}},
        {ch + "{\"uuid\": \"2A37\", \"properties\": [2]}]}]}]}",
         {"props elem", "$.peripherals[0].services[0].characteristics[0].properties[0]", {"expected a string"}}},
        {ch + "{\"uuid\": \"2A37\", \"value\": \"0g\"}]}]}]}",
         {"value hex", "$.peripherals[0].services[0].characteristics[0].value", {"bad hex", "character 1"}}},
        {"{\"adapter\": {\"faults\": {\"stop_discovery\": \"error\"}}}",
         {"adapter fault request", "$.adapter.faults.stop_discovery", {"for the adapter", "set_discovery_filter"}}},
        {"{\"adapter\": {\"faults\": {\"start_discovery\": \"silent\"}}}",
         {"start refusal only", "$.adapter.faults.start_discovery", {"unknown fault kind \"silent\"", "error"}}},
        {"{\"adapter\": {\"faults\": {\"set_discovery_filter\": {\"kind\": \"drop\"}}}}",
         {"filter kind", "$.adapter.faults.set_discovery_filter.kind", {"unknown fault kind \"drop\"", "silent"}}},
        {"{\"adapter\": {\"faults\": {\"set_discovery_filter\": {\"times\": 1}}}}",
         {"no kind", "$.adapter.faults.set_discovery_filter", {"missing required key \"kind\""}}},
        {"{\"adapter\": {\"faults\": {\"start_discovery\": {\"kind\": \"error\", \"times\": 0}}}}",
         {"zero times", "$.adapter.faults.start_discovery.times", {"positive", "got 0"}}},
        {"{\"adapter\": {\"faults\": {\"start_discovery\": 1}}}",
         {"fault type", "$.adapter.faults.start_discovery", {"expected a fault kind or an object"}}},
        {"{\"bluetoothd\": {\"att_timeout_ms\": 0}}",
         {"att timeout", "$.bluetoothd.att_timeout_ms", {"positive", "got 0"}}},
        {"{\"bluetoothd\": {\"tmpto\": 30}}", {"bluetoothd key", "$.bluetoothd.tmpto", {"unknown key"}}},
        {p + ", \"address_type\": \"static\"}]}",
         {"address type", "$.peripherals[0].address_type", {"unknown address type \"static\"", "public"}}},
        {p + ", \"pairing\": {\"method\": \"pin\"}}]}",
         {"pairing method",
          "$.peripherals[0].pairing.method",
          {"unknown pairing method \"pin\"", "numeric_comparison"}}},
        {p + ", \"pairing\": {\"passkey\": 1000000}}]}",
         {"passkey", "$.peripherals[0].pairing.passkey", {"between 0 and 999999"}}},
        {p + ", \"prepared_writes\": \"no\"}]}",
         {"prepared writes", "$.peripherals[0].prepared_writes", {"expected a boolean, got a string"}}},
        {ch + "{\"uuid\": \"2A37\", \"security\": \"pairing\"}]}]}]}",
         {"security",
          "$.peripherals[0].services[0].characteristics[0].security",
          {"unknown security \"pairing\"", "authentication"}}},
        {"{\"peripherals\": [{}, {\"a b\": 1, \"a b\": 2}]}",
         {"dup key in array", "$.peripherals[1][\"a b\"]", {"duplicate key"}}},
        {"{\"peripherals\": [{" + id + ", \"na\\nme\": 1}]}",
         {"escaped key", "$.peripherals[0][\"na\\nme\"]", {"unknown key"}}},
    };
    for (const auto& entry : cases) {
        const std::string& text = entry.first;
        expectMessage(errorOf([&] { parseWorld(text, "inline"); }), "inline", entry.second);
    }
}

// Hostile texts: each gets a short line that tells the truth about it.
TEST(WorldLoader, HostileTextsGetAShortTrueLine) {
    const std::string p = "{\"peripherals\": [{\"identifier\": \"" + kPlug + "\"";
    const std::string beyond = "18446744073709551616";                         // 2^64
    const std::string longKeyPath = "$[\"" + std::string(64, 'k') + "...\"]";  // cut, and marked so
    const std::vector<std::pair<std::string, BadCase>> cases = {
        {p + ", \"mtu\": " + beyond + "}]}",
         {"mtu beyond 64 bits", "$.peripherals[0].mtu", {"64 bits", beyond.c_str()}}},
        {p + ", \"name\": -" + beyond + "}]}",
         {"name beyond 64 bits", "$.peripherals[0].name", {"expected a string, got an integer beyond 64 bits"}}},
        {p + ", \"services\": [{\"uuid\": \"180D\", \"characteristics\": [{\"uuid\": \"2A37\", \"properties\": " +
             beyond + "}]}]}]}",
         {"mask beyond 64 bits", "$.peripherals[0].services[0].characteristics[0].properties", {"64 bits"}}},
        {"{\"" + std::string(1 << 20, 'k') + "\": 1}", {"long key", longKeyPath.c_str(), {"unknown key"}}},
        {std::string("{}\0garbage", 10), {"nul byte", "$", {"not valid JSON (byte 3): a NUL byte"}}},
    };
    for (const auto& entry : cases) {
        const std::string message = errorOf([&] { parseWorld(entry.first, "inline"); });
        expectMessage(message, "inline", entry.second);
        EXPECT_THAT(message, ::testing::Not(HasSubstr("non-integer"))) << entry.second.name;
        EXPECT_LT(message.size(), 400u) << entry.second.name;
    }
}

TEST(WorldLoader, UnreadableFileNamesThePathAndReason) {
    const std::string missing = kWorlds + "/does_not_exist.json";
    EXPECT_EQ(errorOf([&] { loadWorldFile(missing); }), missing + ": cannot read file: No such file or directory");
    EXPECT_EQ(errorOf([&] { loadWorldFile(kWorlds); }), kWorlds + ": cannot read file: Is a directory");

    // Regular files only, and only up to a size: neither an endless device nor a FIFO without a
    // writer may stall the loader.
    EXPECT_EQ(errorOf([&] { loadWorldFile("/dev/zero"); }), "/dev/zero: cannot read file: not a regular file");
    char pattern[] = "/tmp/tavrin_world_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string dir = pattern;
    const std::string fifo = dir + "/world.fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(errorOf([&] { loadWorldFile(fifo); }), fifo + ": cannot read file: not a regular file");
    const std::string huge = dir + "/huge.json";
    {
        std::FILE* file = std::fopen(huge.c_str(), "wb");
        ASSERT_NE(file, nullptr);
        std::fclose(file);
    }
    ASSERT_EQ(truncate(huge.c_str(), 64 << 20), 0);  // sparse: costs no disk
    EXPECT_THAT(errorOf([&] { loadWorldFile(huge); }), StartsWith(huge + ": cannot read file: larger than "));
    std::remove(fifo.c_str());
    std::remove(huge.c_str());
    rmdir(dir.c_str());
}

TEST(WorldLoader, AbsentKeysTakeTheirDefaults) {
    const WorldConfig w = parseWorld(
        "{\"peripherals\": [{\"identifier\": \"c3a1f5e2-7b4d-4e8a-9f61-2d5b8c0e7a13\","
        " \"services\": [{\"uuid\": \"180D\", \"characteristics\": [{\"uuid\": \"2A37\","
        " \"notifications\": {\"values\": [\"00\"]}, \"descriptors\": [{\"uuid\": \"2902\"}]}]}]}]}",
        "defaults");
    EXPECT_EQ(w.adapter.state, CBManagerState::PoweredOn);
    EXPECT_EQ(w.adapter.authorization, CBManagerAuthorization::AllowedAlways);
    EXPECT_EQ(w.adapter.state_delay_ms, std::optional<unsigned>(2));
    EXPECT_TRUE(w.adapter.faults.empty());
    EXPECT_EQ(w.bluetoothd.att_timeout_ms, 30000u);
    EXPECT_EQ(w.bluetoothd.disconnect_timer_ms, 2000u);
    EXPECT_EQ(w.bluetoothd.temporary_timeout_ms, 30000u);
    ASSERT_EQ(w.peripherals.size(), 1u);
    const PeripheralConfig& p = w.peripherals[0];
    EXPECT_EQ(p.identifier, kPlug);  // upper-cased
    EXPECT_FALSE(p.address);
    EXPECT_EQ(p.address_type, AddressType::Random);
    EXPECT_TRUE(p.prepared_writes);
    EXPECT_EQ(deviceAddress(p), "2D:5B:8C:0E:7A:13");  // the identifier's last 12 digits
    EXPECT_FALSE(p.name);
    EXPECT_FALSE(p.model);
    EXPECT_EQ(p.mtu, 23u);
    EXPECT_EQ(p.latency_ms, 5u);
    EXPECT_EQ(p.advertising.interval_ms, 100u);
    EXPECT_EQ(p.advertising.rssi, -60);
    EXPECT_FALSE(p.advertising.connectable);
    EXPECT_FALSE(p.advertising.tx_power);
    EXPECT_FALSE(p.advertising.manufacturer_data);
    EXPECT_FALSE(p.advertising.service_data);
    EXPECT_FALSE(p.advertising.service_uuids);
    EXPECT_EQ(p.connection.outcome, ConnectOutcome::Connect);
    EXPECT_EQ(p.connection.connected_signal, ConnectedSignal::Emitted);
    EXPECT_EQ(p.connection.delay_ms, 20u);
    EXPECT_FALSE(p.connection.drop_after_ms);
    EXPECT_EQ(p.connection.disconnect, DisconnectBehaviour::Disconnect);
    EXPECT_EQ(p.connection.disconnect_delay_ms, 10u);
    EXPECT_EQ(p.connection.interval_ms, 15u);
    EXPECT_EQ(p.connection.packets_per_interval, 6u);
    EXPECT_TRUE(p.faults.empty());
    const CharacteristicConfig& c = p.services.at(0).characteristics.at(0);
    EXPECT_EQ(c.properties, 0u);
    EXPECT_FALSE(c.value);
    EXPECT_EQ(c.security, Security::None);
    ASSERT_TRUE(c.notifications);
    EXPECT_EQ(c.notifications->every_ms, 1000u);
    EXPECT_FALSE(c.descriptors.at(0).value);
    EXPECT_EQ(c.descriptors.at(0).security, Security::None);

    const WorldConfig empty = parseWorld("{}", "empty");
    EXPECT_TRUE(empty.peripherals.empty());
    EXPECT_EQ(empty.adapter.state, CBManagerState::PoweredOn);
}

TEST(WorldLoader, EveryKeyIsParsed) {
    const WorldConfig w = parseWorld(R"({
      "adapter": { "state": "unauthorized", "authorization": "denied", "state_delay_ms": 7,
                   "faults": { "start_discovery": "error",
                               "set_discovery_filter": { "kind": "silent", "times": 2 } } },
      "bluetoothd": { "att_timeout_ms": 300, "disconnect_timer_ms": 0, "temporary_timeout_ms": 400 },
      "peripherals": [ {
        "identifier": "C3A1F5E2-7B4D-4E8A-9F61-2D5B8C0E7A13", "address": "c0:ff:ee:00:00:01",
        "address_type": "public", "name": "Tavrin Plug", "model": "plug", "mtu": 185, "latency_ms": 3,
        "prepared_writes": false, "pairing": { "method": "passkey", "passkey": 123456, "bonded": true,
                                                       "security_request": true },
        "advertising": { "interval_ms": 40, "rssi": -58, "connectable": true, "tx_power": -4,
                         "manufacturer_data": "4C000215", "service_data": { "181a": "e803", "180F": "64" },
                         "service_uuids": ["fb1e4001-54ae-4a28-9f74-dfccb248601d", "180d"] },
        "connection": { "outcome": "hang", "connected_signal": "silent", "delay_ms": 4, "drop_after_ms": 500,
                        "disconnect": "hang", "disconnect_delay_ms": 6, "interval_ms": 8, "packets_per_interval": 3 },
        "faults": { "discover_services": "error" },
        "services": [ {
          "uuid": "fb1e4001-54ae-4a28-9f74-dfccb248601d", "faults": { "discover_characteristics": "silent" },
          "characteristics": [ {
            "uuid": "fb1e4003-54ae-4a28-9f74-dfccb248601d", "properties": ["read", "notify", "indicate"],
            "value": "00aBcD", "notifications": { "every_ms": 250, "values": ["01", "FF"] },
            "faults": { "discover_descriptors": "drop", "read": "silent", "write": "error",
                        "subscribe": "drop", "unsubscribe": "error" }, "security": "encryption",
            "descriptors": [ { "uuid": "2901", "value": "537461747573", "faults": { "read": "error", "write": "drop" },
                               "security": "authentication" } ]
          }, { "uuid": "2A00", "properties": 12 } ]
        } ]
      } ]
    })",
                                     "full");
    EXPECT_EQ(w.adapter.state, CBManagerState::Unauthorized);
    EXPECT_EQ(w.adapter.authorization, CBManagerAuthorization::Denied);
    EXPECT_EQ(w.adapter.state_delay_ms, std::optional<unsigned>(7));
    EXPECT_EQ(w.adapter.faults, (AdapterFaults{{"start_discovery", AdapterFault{Fault::Error, std::nullopt}},
                                               {"set_discovery_filter", AdapterFault{Fault::Silent, 2u}}}));
    EXPECT_EQ(w.bluetoothd.att_timeout_ms, 300u);
    EXPECT_EQ(w.bluetoothd.disconnect_timer_ms, 0u);
    EXPECT_EQ(w.bluetoothd.temporary_timeout_ms, 400u);
    const PeripheralConfig& p = w.peripherals.at(0);
    EXPECT_EQ(p.address_type, AddressType::Public);
    EXPECT_FALSE(p.prepared_writes);
    ASSERT_TRUE(p.pairing.has_value());
    EXPECT_EQ(p.pairing->method, PairingMethod::Passkey);
    EXPECT_EQ(p.pairing->passkey, 123456u);
    EXPECT_TRUE(p.pairing->bonded);
    EXPECT_TRUE(p.pairing->security_request);
    EXPECT_EQ(p.name, std::optional<std::string>("Tavrin Plug"));
    EXPECT_EQ(deviceAddress(p), "C0:FF:EE:00:00:01");  // upper-cased
    EXPECT_EQ(p.model, std::optional<std::string>("plug"));
    EXPECT_EQ(p.mtu, 185u);
    EXPECT_EQ(p.latency_ms, 3u);
    EXPECT_EQ(p.advertising.interval_ms, 40u);
    EXPECT_EQ(p.advertising.rssi, -58);
    EXPECT_EQ(p.advertising.connectable, std::optional<bool>(true));
    EXPECT_EQ(p.advertising.tx_power, std::optional<int>(-4));
    EXPECT_EQ(p.advertising.manufacturer_data, std::optional<std::string>(std::string("\x4c\x00\x02\x15", 4)));
    using Entries = std::vector<std::pair<std::string, std::string>>;
    // The file's order, not sorted, and UUID texts as written.
    EXPECT_EQ(p.advertising.service_data, std::optional<Entries>(Entries{{"181a", "\xe8\x03"}, {"180F", "\x64"}}));
    EXPECT_EQ(p.advertising.service_uuids,
              std::optional<std::vector<std::string>>({"fb1e4001-54ae-4a28-9f74-dfccb248601d", "180d"}));
    EXPECT_EQ(p.connection.outcome, ConnectOutcome::Hang);
    EXPECT_EQ(p.connection.connected_signal, ConnectedSignal::Silent);
    EXPECT_EQ(p.connection.delay_ms, 4u);
    EXPECT_EQ(p.connection.drop_after_ms, std::optional<unsigned>(500));
    EXPECT_EQ(p.connection.disconnect, DisconnectBehaviour::Hang);
    EXPECT_EQ(p.connection.disconnect_delay_ms, 6u);
    EXPECT_EQ(p.connection.interval_ms, 8u);
    EXPECT_EQ(p.connection.packets_per_interval, 3u);
    EXPECT_EQ(p.faults, (Faults{{"discover_services", Fault::Error}}));
    const ServiceConfig& s = p.services.at(0);
    EXPECT_EQ(s.uuid, "fb1e4001-54ae-4a28-9f74-dfccb248601d");
    EXPECT_EQ(s.faults, (Faults{{"discover_characteristics", Fault::Silent}}));
    const CharacteristicConfig& c = s.characteristics.at(0);
    EXPECT_EQ(c.properties,
              CBCharacteristicPropertyRead | CBCharacteristicPropertyNotify | CBCharacteristicPropertyIndicate);
    EXPECT_EQ(c.value, std::optional<std::string>(std::string("\x00\xab\xcd", 3)));  // either case
    ASSERT_TRUE(c.notifications);
    EXPECT_EQ(c.notifications->every_ms, 250u);
    EXPECT_EQ(c.notifications->values, (std::vector<std::string>{"\x01", "\xff"}));
    EXPECT_EQ(c.faults, (Faults{{"discover_descriptors", Fault::Drop},
                                {"read", Fault::Silent},
                                {"write", Fault::Error},
                                {"subscribe", Fault::Drop},
                                {"unsubscribe", Fault::Error}}));
    const DescriptorConfig& d = c.descriptors.at(0);
    EXPECT_EQ(d.uuid, "2901");
    EXPECT_EQ(d.value, std::optional<std::string>("Status"));
    EXPECT_EQ(d.faults, (Faults{{"read", Fault::Error}, {"write", Fault::Drop}}));
    EXPECT_EQ(c.security, Security::Encryption);
    EXPECT_EQ(d.security, Security::Authentication);
    // An integer mask is taken as the bits it names.
    EXPECT_EQ(s.characteristics.at(1).properties,
              CBCharacteristicPropertyWriteWithoutResponse | CBCharacteristicPropertyWrite);
}

TEST(WorldLoader, NullMeansNone) {
    const WorldConfig w = parseWorld(R"({"adapter": {"state_delay_ms": null},
        "peripherals": [{"identifier": "C3A1F5E2-7B4D-4E8A-9F61-2D5B8C0E7A13", "name": null,
                         "connection": {"drop_after_ms": null}}]})",
                                     "nulls");
    EXPECT_FALSE(w.adapter.state_delay_ms);
    EXPECT_FALSE(w.peripherals.at(0).name);
    EXPECT_FALSE(w.peripherals.at(0).connection.drop_after_ms);
    // Zero is a value, not "none".
    const WorldConfig z = parseWorld(R"({"adapter": {"state_delay_ms": 0}, "peripherals": [{"identifier":
        "C3A1F5E2-7B4D-4E8A-9F61-2D5B8C0E7A13", "name": "", "connection": {"drop_after_ms": 0}}]})",
                                     "zeros");
    EXPECT_EQ(z.adapter.state_delay_ms, std::optional<unsigned>(0));
    EXPECT_EQ(z.peripherals.at(0).name, std::optional<std::string>(""));
    EXPECT_EQ(z.peripherals.at(0).connection.drop_after_ms, std::optional<unsigned>(0));
}

TEST(WorldLoader, DefaultWorldHasTheFourDevices) {
    const WorldConfig w = parseWorld(defaultWorldJson(), "default world");
    ASSERT_EQ(w.peripherals.size(), 4u);
    const PeripheralConfig& plug = w.peripherals[0];
    EXPECT_EQ(plug.identifier, kPlug);
    EXPECT_EQ(plug.name, std::optional<std::string>("Tavrin Plug"));
    EXPECT_EQ(plug.model, std::optional<std::string>("plug"));
    EXPECT_EQ(plug.mtu, 185u);
    EXPECT_EQ(plug.advertising.interval_ms, 100u);
    EXPECT_EQ(plug.advertising.tx_power, std::optional<int>(4));
    EXPECT_EQ(plug.advertising.connectable, std::optional<bool>(true));
    EXPECT_EQ(plug.advertising.service_uuids,
              std::optional<std::vector<std::string>>({"fb1e4001-54ae-4a28-9f74-dfccb248601d"}));
    const ServiceConfig& info = plug.services.at(0);
    EXPECT_EQ(CBUUID::UUIDWithString(info.uuid), CBUUID::UUIDWithString("180A"));
    EXPECT_EQ(info.characteristics.at(0).value, std::optional<std::string>("Tavrin Labs"));
    EXPECT_EQ(info.characteristics.at(1).value, std::optional<std::string>("TP-1"));

    const PeripheralConfig& heart = w.peripherals[1];
    EXPECT_EQ(heart.identifier, "0F3E9B7A-52C4-4D1E-8A6B-7C9D0E1F2A3B");
    EXPECT_EQ(heart.name, std::optional<std::string>("Heart Rate Sensor"));
    EXPECT_EQ(heart.advertising.interval_ms, 250u);
    const auto& hr = heart.services.at(0).characteristics;
    ASSERT_TRUE(hr.at(0).notifications);
    EXPECT_EQ(hr.at(0).notifications->every_ms, 1000u);
    EXPECT_EQ(hr.at(0).properties, CBCharacteristicPropertyNotify);
    EXPECT_EQ(hr.at(1).value, std::optional<std::string>("\x01"));

    const PeripheralConfig& beacon = w.peripherals[2];
    EXPECT_EQ(beacon.identifier, "9A8B7C6D-5E4F-4A3B-2C1D-0E9F8A7B6C5D");
    EXPECT_FALSE(beacon.name);
    EXPECT_EQ(beacon.advertising.connectable, std::optional<bool>(false));
    EXPECT_EQ(beacon.advertising.interval_ms, 200u);
    ASSERT_TRUE(beacon.advertising.manufacturer_data);
    EXPECT_EQ(beacon.advertising.manufacturer_data->size(), 4u + 21u);
    EXPECT_EQ(beacon.advertising.manufacturer_data->substr(0, 4), std::string("\x4c\x00\x02\x15", 4));

    const PeripheralConfig& thermo = w.peripherals[3];
    EXPECT_EQ(thermo.identifier, "5D4C3B2A-1908-4F7E-6D5C-4B3A29180F7E");
    EXPECT_EQ(thermo.name, std::optional<std::string>("Thermometer"));
    EXPECT_EQ(thermo.advertising.interval_ms, 500u);
    ASSERT_TRUE(thermo.advertising.service_data);
    EXPECT_EQ(CBUUID::UUIDWithString(thermo.advertising.service_data->at(0).first), CBUUID::UUIDWithString("181A"));
    EXPECT_EQ(thermo.services.at(0).characteristics.at(0).properties,
              CBCharacteristicPropertyRead | CBCharacteristicPropertyNotify);
}

TEST(WorldLoader, ToolFixturesLoadAtThePlugIdentifier) {
    const auto load = [](const char* name) { return loadWorldFile(kWorlds + "/" + name + ".json"); };
    const auto hasCharacteristic = [](const PeripheralConfig& p, const std::string& uuid) {
        for (const auto& s : p.services)
            for (const auto& c : s.characteristics)
                if (CBUUID::UUIDWithString(c.uuid) == CBUUID::UUIDWithString(uuid))
                    return true;
        return false;
    };
    for (const char* name :
         {"plug_only", "bluetooth_off", "plug_connect_fails", "no_characteristics", "no_write_char", "no_read_char"}) {
        SCOPED_TRACE(name);
        const WorldConfig w = load(name);
        ASSERT_EQ(w.peripherals.size(), 1u);
        EXPECT_EQ(w.peripherals[0].identifier, kPlug);
        EXPECT_LE(w.peripherals[0].latency_ms, 2u);
    }
    EXPECT_EQ(load("plug_only").peripherals[0].model, std::optional<std::string>("plug"));
    EXPECT_EQ(load("bluetooth_off").adapter.state, CBManagerState::PoweredOff);
    EXPECT_EQ(load("plug_connect_fails").peripherals[0].connection.outcome, ConnectOutcome::Fail);
    const PeripheralConfig empty = load("no_characteristics").peripherals[0];
    EXPECT_FALSE(empty.model);
    EXPECT_TRUE(empty.services.empty());
    const PeripheralConfig noWrite = load("no_write_char").peripherals[0];
    EXPECT_FALSE(hasCharacteristic(noWrite, "fb1e4002-54ae-4a28-9f74-dfccb248601d"));
    EXPECT_TRUE(hasCharacteristic(noWrite, "fb1e4003-54ae-4a28-9f74-dfccb248601d"));
    const PeripheralConfig noRead = load("no_read_char").peripherals[0];
    EXPECT_TRUE(hasCharacteristic(noRead, "fb1e4002-54ae-4a28-9f74-dfccb248601d"));
    EXPECT_FALSE(hasCharacteristic(noRead, "fb1e4003-54ae-4a28-9f74-dfccb248601d"));
}

}  // namespace
