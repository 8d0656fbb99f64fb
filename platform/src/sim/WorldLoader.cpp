// World files: strict parsing and validation into a WorldConfig.
//
// Every problem is reported as one line "<source>: <JSON path>: <problem>", so a typo in a file is
// found at once instead of silently giving a different world. Unknown keys are errors everywhere. This file
// holds the schema and the file's reading; the checked reads of values are WorldJson.h's.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "WorldJson.h"
#include "platform/Foundation.h"
#include "platform/sim/WorldConfig.h"

namespace platform::sim {
namespace {

using namespace world_json;

// World files are a few kilobytes; the cap keeps a wrong path (a device, a huge file) from being
// read without end.
constexpr std::size_t kMaxFileBytes = 8u << 20;

// The world's schema, read with the checked reads.
class Parser : public JsonReader {
  public:
    using JsonReader::JsonReader;

    Faults faults(const Json& v, const std::string& path, const char* level,
                  std::initializer_list<const char*> requests) const {
        static const std::pair<const char*, Fault> kinds[] = {{"error", Fault::Error},
                                                              {"silent", Fault::Silent},
                                                              {"drop", Fault::Drop},
                                                              {"notify_early", Fault::NotifyEarly}};
        expectType(v, path, v.is_object(), "an object");
        Faults out;
        for (const auto& item : v.items()) {
            const std::string p = childPath(path, item.key());
            bool known = false;
            for (const char* r : requests)
                known = known || item.key() == r;
            if (!known)
                fail(p, std::string("unknown fault request for a ") + level + " (expected one of: " + joined(requests) +
                            ")");
            out[item.key()] = word(item.value(), p, "fault kind", kinds);
            if (out[item.key()] == Fault::NotifyEarly && item.key() != std::string("subscribe"))
                fail(p, "the fault kind \"notify_early\" is for \"subscribe\" only");
        }
        return out;
    }

    WorldConfig world(const Json& root) const {
        checkKeys(root, "$", {"adapter", "adapters", "bluetoothd", "peripherals"});
        WorldConfig config;
        if (root.contains("adapter"))
            config.adapter = adapter(root["adapter"], "$.adapter");
        if (root.contains("bluetoothd"))
            config.bluetoothd = bluetoothd(root["bluetoothd"], "$.bluetoothd");
        if (root.contains("adapters"))
            config.adapters = controllers(root["adapters"], "$.adapters");
        if (root.contains("peripherals")) {
            const Json& list = root["peripherals"];
            const std::string path = "$.peripherals";
            expectType(list, path, list.is_array(), "an array");
            // Upper-cased identifier -> where it was first seen; the same for Bluetooth addresses.
            std::unordered_map<std::string, std::string> seen;
            std::unordered_map<std::string, std::string> addresses;
            for (std::size_t i = 0; i < list.size(); ++i) {
                const std::string p = childPath(path, i);
                PeripheralConfig ps = peripheral(list[i], p);
                if (const auto [first, fresh] = seen.try_emplace(ps.identifier, p); !fresh)
                    fail(childPath(p, "identifier"),
                         "duplicate identifier " + ps.identifier + " (also at " + first->second + ")");
                const std::string address = deviceAddress(ps);
                if (const auto [first, fresh] = addresses.try_emplace(address, p); !fresh)
                    fail(ps.address ? childPath(p, "address") : p,
                         "duplicate address " + address + " (also at " + first->second + ")");
                if (ps.heard_by) {
                    for (std::size_t k = 0; k < ps.heard_by->size(); ++k) {
                        const std::string& name = (*ps.heard_by)[k];
                        const bool known = config.adapters.empty()
                                               ? name == "hci0"
                                               : std::any_of(config.adapters.begin(), config.adapters.end(),
                                                             [&](const ControllerConfig& c) { return c.name == name; });
                        if (!known)
                            fail(childPath(childPath(p, "heard_by"), k), "no adapter " + quote(name));
                    }
                }
                config.peripherals.push_back(std::move(ps));
            }
        }
        return config;
    }

    std::vector<ControllerConfig> controllers(const Json& list, const std::string& path) const {
        expectType(list, path, list.is_array() && !list.empty(), "a non-empty array");
        std::vector<ControllerConfig> out;
        for (std::size_t i = 0; i < list.size(); ++i) {
            const std::string p = childPath(path, i);
            const Json& v = list[i];
            checkKeys(v, p, {"name", "address"});
            ControllerConfig c;
            if (!v.contains("name"))
                fail(p, "missing required key \"name\"");
            c.name = text(v["name"], p + ".name");
            if (c.name.empty() || c.name.find('/') != std::string::npos)
                fail(p + ".name", "not an adapter name: " + quote(c.name));
            // Distinct addresses of the documentation range by default, as the one adapter has.
            char fallback[18];
            std::snprintf(fallback, sizeof fallback, "00:00:5E:00:53:%02X", static_cast<unsigned>(i & 0xFF));
            c.address = v.contains("address") ? address(v["address"], p + ".address") : std::string(fallback);
            for (const ControllerConfig& other : out) {
                if (other.name == c.name)
                    fail(p + ".name", "duplicate adapter " + quote(c.name));
                if (other.address == c.address)
                    fail(p, "duplicate adapter address " + c.address);
            }
            out.push_back(std::move(c));
        }
        return out;
    }

  private:
    AdapterConfig adapter(const Json& v, const std::string& path) const {
        static const std::pair<const char*, CBManagerState> states[] = {
            {"unknown", CBManagerState::Unknown},         {"resetting", CBManagerState::Resetting},
            {"unsupported", CBManagerState::Unsupported}, {"unauthorized", CBManagerState::Unauthorized},
            {"powered_off", CBManagerState::PoweredOff},  {"powered_on", CBManagerState::PoweredOn}};
        static const std::pair<const char*, CBManagerAuthorization> authorizations[] = {
            {"not_determined", CBManagerAuthorization::NotDetermined},
            {"restricted", CBManagerAuthorization::Restricted},
            {"denied", CBManagerAuthorization::Denied},
            {"allowed_always", CBManagerAuthorization::AllowedAlways}};
        checkKeys(v, path, {"state", "authorization", "state_delay_ms", "faults"});
        AdapterConfig a;
        if (v.contains("state"))
            a.state = word(v["state"], path + ".state", "state", states);
        if (v.contains("authorization"))
            a.authorization = word(v["authorization"], path + ".authorization", "authorization", authorizations);
        if (v.contains("state_delay_ms")) {
            const Json& d = v["state_delay_ms"];
            if (d.is_null())
                a.state_delay_ms.reset();
            else
                a.state_delay_ms = nonNegative(d, path + ".state_delay_ms");
        }
        if (v.contains("faults"))
            a.faults = adapterFaults(v["faults"], path + ".faults");
        return a;
    }

    // Each key a kind, or { "kind": kind, "times": N } for the first N such requests only.
    AdapterFaults adapterFaults(const Json& v, const std::string& path) const {
        static const std::pair<const char*, Fault> refusal[] = {{"error", Fault::Error}};
        static const std::pair<const char*, Fault> refusalOrSilence[] = {{"error", Fault::Error},
                                                                         {"silent", Fault::Silent}};
        expectType(v, path, v.is_object(), "an object");
        AdapterFaults out;
        for (const auto& item : v.items()) {
            const std::string p = childPath(path, item.key());
            const bool filter = item.key() == "set_discovery_filter";
            if (!filter && item.key() != "start_discovery")
                fail(p,
                     "unknown fault request for the adapter (expected one of: start_discovery, "
                     "set_discovery_filter)");
            const auto kind = [&](const Json& k, const std::string& kp) {
                return filter ? word(k, kp, "fault kind", refusalOrSilence) : word(k, kp, "fault kind", refusal);
            };
            AdapterFault fault;
            const Json& f = item.value();
            if (f.is_object()) {
                checkKeys(f, p, {"kind", "times"});
                if (!f.contains("kind"))
                    fail(p, "missing required key \"kind\"");
                fault.kind = kind(f["kind"], p + ".kind");
                if (f.contains("times"))
                    fault.times = positive(f["times"], p + ".times");
            } else {
                expectType(f, p, f.is_string(), "a fault kind or an object");
                fault.kind = kind(f, p);
            }
            out[item.key()] = fault;
        }
        return out;
    }

    BluetoothdConfig bluetoothd(const Json& v, const std::string& path) const {
        checkKeys(v, path, {"att_timeout_ms", "disconnect_timer_ms", "temporary_timeout_ms"});
        BluetoothdConfig b;
        if (v.contains("att_timeout_ms"))
            b.att_timeout_ms = positive(v["att_timeout_ms"], path + ".att_timeout_ms");
        if (v.contains("disconnect_timer_ms"))
            b.disconnect_timer_ms = nonNegative(v["disconnect_timer_ms"], path + ".disconnect_timer_ms");
        if (v.contains("temporary_timeout_ms"))
            b.temporary_timeout_ms = positive(v["temporary_timeout_ms"], path + ".temporary_timeout_ms");
        return b;
    }

    Security security(const Json& v, const std::string& path) const {
        static const std::pair<const char*, Security> levels[] = {{"none", Security::None},
                                                                  {"encryption", Security::Encryption},
                                                                  {"authentication", Security::Authentication}};
        return word(v, path, "security", levels);
    }

    PairingConfig pairing(const Json& v, const std::string& path) const {
        checkKeys(v, path, {"method", "passkey", "bonded", "security_request"});
        PairingConfig c;
        if (v.contains("method")) {
            static const std::pair<const char*, PairingMethod> methods[] = {
                {"just_works", PairingMethod::JustWorks},
                {"passkey", PairingMethod::Passkey},
                {"numeric_comparison", PairingMethod::NumericComparison},
                {"display_passkey", PairingMethod::DisplayPasskey}};
            c.method = word(v["method"], path + ".method", "pairing method", methods);
        }
        if (v.contains("passkey"))
            c.passkey = static_cast<uint32_t>(integer(v["passkey"], path + ".passkey", 0, 999999));
        if (v.contains("bonded")) {
            const Json& b = v["bonded"];
            expectType(b, path + ".bonded", b.is_boolean(), "a boolean");
            c.bonded = b.get<bool>();
        }
        if (v.contains("security_request")) {
            const Json& r = v["security_request"];
            expectType(r, path + ".security_request", r.is_boolean(), "a boolean");
            c.security_request = r.get<bool>();
        }
        return c;
    }

    std::string identifier(const Json& v, const std::string& path) const {
        const std::string& t = text(v, path);
        bool ok = t.size() == 36;
        for (std::size_t i = 0; ok && i < t.size(); ++i) {
            const bool hyphenPlace = i == 8 || i == 13 || i == 18 || i == 23;
            ok = hyphenPlace ? t[i] == '-' : nibble(t[i]) >= 0;
        }
        if (!ok)
            fail(path, "not a valid identifier " + quote(t) +
                           " (expected 36 characters: 8-4-4-4-12 hexadecimal digits with hyphens)");
        std::string upper = t;
        for (char& c : upper)
            if (c >= 'a' && c <= 'f')
                c = static_cast<char>(c - 'a' + 'A');
        return upper;
    }

    // "AA:BB:CC:DD:EE:FF", either case; kept in upper case.
    std::string address(const Json& v, const std::string& path) const {
        std::string t = text(v, path);
        bool ok = t.size() == 17;
        for (std::size_t i = 0; ok && i < t.size(); ++i)
            ok = i % 3 == 2 ? t[i] == ':' : nibble(t[i]) >= 0;
        if (!ok)
            fail(path, "not a valid Bluetooth address " + quote(t) +
                           " (expected 6 pairs of hexadecimal digits separated by colons, AA:BB:CC:DD:EE:FF)");
        for (char& c : t)
            if (c >= 'a' && c <= 'f')
                c = static_cast<char>(c - 'a' + 'A');
        return t;
    }

    PeripheralConfig peripheral(const Json& v, const std::string& path) const {
        checkKeys(v, path,
                  {"identifier", "address", "address_type", "name", "model", "mtu", "latency_ms", "prepared_writes",
                   "pairing", "advertising", "connection", "heard_by", "faults", "services"});
        PeripheralConfig p;
        if (!v.contains("identifier"))
            fail(path, "missing required key \"identifier\"");
        p.identifier = identifier(v["identifier"], path + ".identifier");
        if (v.contains("address"))
            p.address = address(v["address"], path + ".address");
        if (v.contains("address_type")) {
            static const std::pair<const char*, AddressType> types[] = {{"random", AddressType::Random},
                                                                        {"public", AddressType::Public}};
            p.address_type = word(v["address_type"], path + ".address_type", "address type", types);
        }
        if (v.contains("name") && !v["name"].is_null())
            p.name = text(v["name"], path + ".name");
        if (v.contains("model")) {
            const std::string& m = text(v["model"], path + ".model");
            if (m != "plug")
                fail(path + ".model", "unknown model " + quote(m) + " (expected one of: plug)");
            p.model = m;
        }
        if (v.contains("mtu"))
            p.mtu = static_cast<unsigned>(integer(v["mtu"], path + ".mtu", 23, 517));
        if (v.contains("latency_ms"))
            p.latency_ms = nonNegative(v["latency_ms"], path + ".latency_ms");
        if (v.contains("prepared_writes")) {
            const Json& w = v["prepared_writes"];
            expectType(w, path + ".prepared_writes", w.is_boolean(), "a boolean");
            p.prepared_writes = w.get<bool>();
        }
        if (v.contains("pairing"))
            p.pairing = pairing(v["pairing"], path + ".pairing");
        if (v.contains("advertising"))
            p.advertising = advertising(v["advertising"], path + ".advertising");
        if (v.contains("connection"))
            p.connection = connection(v["connection"], path + ".connection");
        if (v.contains("heard_by")) {
            const Json& list = v["heard_by"];
            const std::string lp = path + ".heard_by";
            expectType(list, lp, list.is_array(), "an array of adapter names");
            p.heard_by.emplace();
            for (std::size_t i = 0; i < list.size(); ++i)
                p.heard_by->push_back(text(list[i], childPath(lp, i)));
        }
        if (v.contains("faults"))
            p.faults = faults(v["faults"], path + ".faults", "peripheral", {"discover_services"});
        if (v.contains("services")) {
            const Json& list = v["services"];
            const std::string lp = path + ".services";
            expectType(list, lp, list.is_array(), "an array");
            for (std::size_t i = 0; i < list.size(); ++i)
                p.services.push_back(service(list[i], childPath(lp, i)));
        }
        return p;
    }

    AdvertisingConfig advertising(const Json& v, const std::string& path) const {
        checkKeys(
            v, path,
            {"interval_ms", "rssi", "connectable", "tx_power", "manufacturer_data", "service_data", "service_uuids"});
        AdvertisingConfig a;
        if (v.contains("interval_ms"))
            a.interval_ms = positive(v["interval_ms"], path + ".interval_ms");
        // RSSI and TX power are signed bytes on the radio.
        if (v.contains("rssi"))
            a.rssi = static_cast<int>(integer(v["rssi"], path + ".rssi", -128, 127));
        if (v.contains("connectable")) {
            const Json& c = v["connectable"];
            expectType(c, path + ".connectable", c.is_boolean(), "a boolean");
            a.connectable = c.get<bool>();
        }
        if (v.contains("tx_power"))
            a.tx_power = static_cast<int>(integer(v["tx_power"], path + ".tx_power", -128, 127));
        if (v.contains("manufacturer_data")) {
            const std::string p = path + ".manufacturer_data";
            // One entry, or several of different companies.
            const Json& m = v["manufacturer_data"];
            std::vector<std::string> entries;
            if (m.is_array()) {
                if (m.empty())
                    fail(p, "an empty list: leave the key out for no manufacturer data");
                for (std::size_t i = 0; i < m.size(); ++i)
                    entries.push_back(hex(m[i], childPath(p, i)));
            } else {
                entries.push_back(hex(m, p));
            }
            std::set<std::string> companies;
            for (std::size_t i = 0; i < entries.size(); ++i) {
                const std::string where = m.is_array() ? childPath(p, i) : p;
                // The advertisement's manufacturer data starts with the company identifier.
                if (entries[i].size() < 2)
                    fail(where, "too short: manufacturer data starts with a 2-byte company identifier");
                if (!companies.insert(entries[i].substr(0, 2)).second)
                    fail(where, "a second entry of the same company");
            }
            a.manufacturer_data = entries.front();
            a.more_manufacturer_data.assign(entries.begin() + 1, entries.end());
        }
        if (v.contains("service_data")) {
            const Json& sd = v["service_data"];
            const std::string p = path + ".service_data";
            expectType(sd, p, sd.is_object(), "an object");
            std::vector<std::pair<std::string, std::string>> entries;
            std::vector<CBUUID> keys;
            for (const auto& item : sd.items()) {
                const std::string ip = childPath(p, item.key());
                const std::string key = uuid(Json(item.key()), ip);
                const CBUUID u = CBUUID::UUIDWithString(key);
                for (const CBUUID& k : keys)
                    if (k == u)
                        fail(ip, "duplicate service data UUID " + quote(key));
                keys.push_back(u);
                entries.emplace_back(key, hex(item.value(), ip));
            }
            a.service_data = std::move(entries);
        }
        if (v.contains("service_uuids")) {
            const Json& list = v["service_uuids"];
            const std::string p = path + ".service_uuids";
            expectType(list, p, list.is_array(), "an array");
            std::vector<std::string> uuids;
            for (std::size_t i = 0; i < list.size(); ++i)
                uuids.push_back(uuid(list[i], childPath(p, i)));
            a.service_uuids = std::move(uuids);
        }
        return a;
    }

    ConnectionConfig connection(const Json& v, const std::string& path) const {
        static const std::pair<const char*, ConnectOutcome> outcomes[] = {
            {"connect", ConnectOutcome::Connect}, {"fail", ConnectOutcome::Fail}, {"hang", ConnectOutcome::Hang}};
        static const std::pair<const char*, DisconnectBehaviour> disconnects[] = {
            {"disconnect", DisconnectBehaviour::Disconnect}, {"hang", DisconnectBehaviour::Hang}};
        static const std::pair<const char*, ConnectedSignal> connectedSignals[] = {
            {"emitted", ConnectedSignal::Emitted}, {"silent", ConnectedSignal::Silent}};
        checkKeys(v, path,
                  {"outcome", "fail_first", "connected_signal", "delay_ms", "drop_after_ms", "disconnect",
                   "disconnect_delay_ms", "interval_ms", "packets_per_interval"});
        ConnectionConfig c;
        if (v.contains("outcome"))
            c.outcome = word(v["outcome"], path + ".outcome", "outcome", outcomes);
        if (v.contains("fail_first"))
            c.fail_first = nonNegative(v["fail_first"], path + ".fail_first");
        if (v.contains("connected_signal"))
            c.connected_signal =
                word(v["connected_signal"], path + ".connected_signal", "connected signal", connectedSignals);
        if (v.contains("delay_ms"))
            c.delay_ms = nonNegative(v["delay_ms"], path + ".delay_ms");
        if (v.contains("drop_after_ms") && !v["drop_after_ms"].is_null())
            c.drop_after_ms = nonNegative(v["drop_after_ms"], path + ".drop_after_ms");
        if (v.contains("disconnect"))
            c.disconnect = word(v["disconnect"], path + ".disconnect", "disconnect behaviour", disconnects);
        if (v.contains("disconnect_delay_ms"))
            c.disconnect_delay_ms = nonNegative(v["disconnect_delay_ms"], path + ".disconnect_delay_ms");
        if (v.contains("interval_ms"))
            c.interval_ms = positive(v["interval_ms"], path + ".interval_ms");
        if (v.contains("packets_per_interval"))
            c.packets_per_interval = positive(v["packets_per_interval"], path + ".packets_per_interval");
        return c;
    }

    ServiceConfig service(const Json& v, const std::string& path) const {
        checkKeys(v, path, {"uuid", "faults", "characteristics"});
        ServiceConfig s;
        if (!v.contains("uuid"))
            fail(path, "missing required key \"uuid\"");
        s.uuid = uuid(v["uuid"], path + ".uuid");
        if (v.contains("faults"))
            s.faults = faults(v["faults"], path + ".faults", "service", {"discover_characteristics"});
        if (v.contains("characteristics")) {
            const Json& list = v["characteristics"];
            const std::string lp = path + ".characteristics";
            expectType(list, lp, list.is_array(), "an array");
            for (std::size_t i = 0; i < list.size(); ++i)
                s.characteristics.push_back(characteristic(list[i], childPath(lp, i)));
        }
        return s;
    }

    CBCharacteristicProperties properties(const Json& v, const std::string& path) const {
        static const std::pair<const char*, CBCharacteristicProperties> names[] = {
            {"broadcast", CBCharacteristicPropertyBroadcast},
            {"read", CBCharacteristicPropertyRead},
            {"write_without_response", CBCharacteristicPropertyWriteWithoutResponse},
            {"write", CBCharacteristicPropertyWrite},
            {"notify", CBCharacteristicPropertyNotify},
            {"indicate", CBCharacteristicPropertyIndicate},
            {"authenticated_signed_writes", CBCharacteristicPropertyAuthenticatedSignedWrites},
            {"extended_properties", CBCharacteristicPropertyExtendedProperties}};
        if (v.is_number_integer() || bigInteger(v, path))
            return static_cast<CBCharacteristicProperties>(integer(v, path, 0, 255));
        expectType(v, path, v.is_array(), "an array of property names or an integer mask");
        CBCharacteristicProperties out = 0;
        for (std::size_t i = 0; i < v.size(); ++i)
            out |= word(v[i], childPath(path, i), "property", names);
        return out;
    }

    CharacteristicConfig characteristic(const Json& v, const std::string& path) const {
        checkKeys(v, path, {"uuid", "properties", "value", "notifications", "faults", "security", "descriptors"});
        CharacteristicConfig c;
        if (!v.contains("uuid"))
            fail(path, "missing required key \"uuid\"");
        c.uuid = uuid(v["uuid"], path + ".uuid");
        if (v.contains("properties"))
            c.properties = properties(v["properties"], path + ".properties");
        if (v.contains("value"))
            c.value = hex(v["value"], path + ".value");
        if (v.contains("notifications"))
            c.notifications = notifications(v["notifications"], path + ".notifications");
        if (v.contains("faults"))
            c.faults = faults(v["faults"], path + ".faults", "characteristic",
                              {"discover_descriptors", "read", "write", "subscribe", "unsubscribe"});
        if (v.contains("security"))
            c.security = security(v["security"], path + ".security");
        if (v.contains("descriptors")) {
            const Json& list = v["descriptors"];
            const std::string lp = path + ".descriptors";
            expectType(list, lp, list.is_array(), "an array");
            for (std::size_t i = 0; i < list.size(); ++i)
                c.descriptors.push_back(descriptor(list[i], childPath(lp, i)));
        }
        return c;
    }

    NotificationConfig notifications(const Json& v, const std::string& path) const {
        checkKeys(v, path, {"every_ms", "values"});
        NotificationConfig n;
        if (v.contains("every_ms"))
            n.every_ms = positive(v["every_ms"], path + ".every_ms");
        if (!v.contains("values"))
            fail(path, "missing required key \"values\"");
        const Json& list = v["values"];
        const std::string lp = path + ".values";
        expectType(list, lp, list.is_array(), "an array");
        if (list.empty())
            fail(lp, "must list at least one value");
        for (std::size_t i = 0; i < list.size(); ++i)
            n.values.push_back(hex(list[i], childPath(lp, i)));
        return n;
    }

    DescriptorConfig descriptor(const Json& v, const std::string& path) const {
        checkKeys(v, path, {"uuid", "value", "faults", "security"});
        DescriptorConfig d;
        if (!v.contains("uuid"))
            fail(path, "missing required key \"uuid\"");
        d.uuid = uuid(v["uuid"], path + ".uuid");
        if (v.contains("value"))
            d.value = hex(v["value"], path + ".value");
        if (v.contains("faults"))
            d.faults = faults(v["faults"], path + ".faults", "descriptor", {"read", "write"});
        if (v.contains("security"))
            d.security = security(v["security"], path + ".security");
        return d;
    }
};

}  // namespace

std::string defaultAddress(const std::string& identifier) {
    std::string digits;
    for (char c : identifier)
        if (std::isxdigit(static_cast<unsigned char>(c)))
            digits += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (digits.size() > 12)
        digits.erase(0, digits.size() - 12);
    digits.insert(0, 12 - digits.size(), '0');
    std::string address;
    for (std::size_t i = 0; i < 12; i += 2) {
        if (!address.empty())
            address += ':';
        address += digits.substr(i, 2);
    }
    return address;
}

std::string deviceAddress(const PeripheralConfig& config) {
    return config.address ? *config.address : defaultAddress(config.identifier);
}

WorldConfig parseWorld(std::string_view json, const std::string& source) {
    Parser parser(source);
    return parser.world(parseChecked(json, parser));
}

WorldConfig loadWorldFile(const std::string& path) {
    const auto cannotRead = [&path](const std::string& why) {
        return WorldFileError(path + ": cannot read file: " + why);
    };
    // Without blocking, so that a FIFO without a writer is refused instead of waited on.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        throw cannotRead(std::strerror(errno));
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};

    struct stat info {};
    if (::fstat(fd, &info) != 0)
        throw cannotRead(std::strerror(errno));
    if (S_ISDIR(info.st_mode))
        throw cannotRead(std::strerror(EISDIR));
    if (!S_ISREG(info.st_mode))
        throw cannotRead("not a regular file");
    const std::string tooLarge = "larger than " + std::to_string(kMaxFileBytes) + " bytes";
    if (static_cast<std::uintmax_t>(info.st_size) > kMaxFileBytes)
        throw cannotRead(tooLarge);

    // Read to the end rather than to the size seen: the file may change meanwhile, within the cap.
    std::string text;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw cannotRead(std::strerror(errno));
        }
        if (n == 0)
            break;
        if (text.size() + static_cast<std::size_t>(n) > kMaxFileBytes)
            throw cannotRead(tooLarge);
        text.append(buffer, static_cast<std::size_t>(n));
    }
    return parseWorld(text, path);
}

}  // namespace platform::sim
