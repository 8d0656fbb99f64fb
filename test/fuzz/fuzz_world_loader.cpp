// Arbitrary bytes as a world file: the loader either gives a config or throws WorldFileError with one
// line naming the source and a JSON path. Anything else escaping is a bug and ends the run.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>

#include "platform/sim/WorldConfig.h"

namespace {

void require(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "fuzz_world_loader: broken invariant: %s\n", what);
        std::abort();
    }
}

void checkUuid(const std::string& text) {
    // Every UUID the loader accepted must be one the world can build a CBUUID from.
    (void)platform::CBUUID::UUIDWithString(text);
}

void checkConfig(const platform::sim::WorldConfig& config) {
    std::set<std::string> ids;
    for (const auto& p : config.peripherals) {
        require(p.identifier.size() == 36, "identifier has 36 characters");
        for (char c : p.identifier)
            require(!(c >= 'a' && c <= 'z'), "identifier is upper case");
        require(ids.insert(p.identifier).second, "identifiers are unique");
        require(p.mtu >= 23 && p.mtu <= 517, "mtu in range");
        require(p.advertising.interval_ms > 0, "advertising interval positive");
        require(p.connection.interval_ms > 0 && p.connection.packets_per_interval > 0, "link pace positive");
        if (p.advertising.service_uuids)
            for (const auto& u : *p.advertising.service_uuids)
                checkUuid(u);
        if (p.advertising.service_data)
            for (const auto& entry : *p.advertising.service_data)
                checkUuid(entry.first);
        for (const auto& s : p.services) {
            checkUuid(s.uuid);
            for (const auto& c : s.characteristics) {
                checkUuid(c.uuid);
                require(c.properties <= 0xFF, "properties fit a byte");
                if (c.notifications)
                    require(c.notifications->every_ms > 0 && !c.notifications->values.empty(), "notifications usable");
                for (const auto& d : c.descriptors)
                    checkUuid(d.uuid);
            }
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    try {
        checkConfig(platform::sim::parseWorld(text, "fuzz"));
    } catch (const platform::sim::WorldFileError& e) {
        const std::string message = e.what();
        require(message.rfind("fuzz: $", 0) == 0, "message starts with the source and a JSON path");
        require(message.find('\n') == std::string::npos, "message is one line");
    }
    return 0;
}
