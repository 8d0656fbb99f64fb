#pragma once
// Reading a world file's JSON strictly: every value checked against what it must be, every problem one line
// "<source>: <JSON path>: <problem>"; keys given twice and integers beyond 64 bits caught in a first pass over
// the text. WorldLoader.cpp reads the world's schema with it.

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <map>
#include <string>
#include <string_view>
#include <utility>

#include <nlohmann/json.hpp>

#include "platform/Foundation.h"
#include "platform/sim/WorldConfig.h"

namespace platform::sim::world_json {

// ordered_json keeps the file's key order, which service_data must preserve.
using Json = nlohmann::ordered_json;

constexpr std::size_t kMaxQuoted = 64;

// Cuts a text for a message to `limit` bytes, marking the cut.
std::string cutText(std::string text, std::size_t limit);
// A text for a message: quoted, control characters escaped, long texts cut, always one line.
std::string quote(std::string_view text);
std::string childPath(const std::string& path, std::string_view key);
std::string childPath(const std::string& path, std::size_t index);
std::string joined(std::initializer_list<const char*> words);

// JSON paths of integers too large for 64 bits (which the JSON library keeps as floating point),
// with their text as written.
using BigIntegers = std::map<std::string, std::string>;

std::string describe(const Json& v);

// The checked reads of values, failing with the value's path.
class JsonReader {
  public:
    explicit JsonReader(const std::string& source) : source_(source) {}

    void setBigIntegers(BigIntegers big) { big_ = std::move(big); }

    [[noreturn]] void fail(const std::string& path, const std::string& problem) const {
        throw WorldFileError(source_ + ": " + path + ": " + problem);
    }

    void expectType(const Json& v, const std::string& path, bool ok, const char* what) const {
        if (!ok)
            fail(path, std::string("expected ") + what + ", got " +
                           (bigInteger(v, path) ? "an integer beyond 64 bits" : describe(v)));
    }

    // The text of an integer too large for 64 bits at `path`, or null.
    const std::string* bigInteger(const Json& v, const std::string& path) const {
        if (!v.is_number_float())
            return nullptr;
        const auto it = big_.find(path);
        return it == big_.end() ? nullptr : &it->second;
    }

    // Rejects keys outside `allowed`; the message lists what is allowed so the fix is obvious.
    void checkKeys(const Json& obj, const std::string& path, std::initializer_list<const char*> allowed) const {
        expectType(obj, path, obj.is_object(), "an object");
        for (const auto& item : obj.items()) {
            bool known = false;
            for (const char* a : allowed)
                known = known || item.key() == a;
            if (!known)
                fail(childPath(path, item.key()), "unknown key (expected one of: " + joined(allowed) + ")");
        }
    }

    int64_t integer(const Json& v, const std::string& path, int64_t min, int64_t max) const {
        if (const std::string* big = bigInteger(v, path))
            fail(path, "expected an integer that fits in 64 bits, got " + *big);
        expectType(v, path, v.is_number_integer(), "an integer");
        bool inRange = false;
        int64_t n = 0;
        if (v.is_number_unsigned()) {
            const auto u = v.get<uint64_t>();
            inRange = max >= 0 && u <= static_cast<uint64_t>(max) && (min <= 0 || u >= static_cast<uint64_t>(min));
            n = inRange ? static_cast<int64_t>(u) : 0;
        } else {
            n = v.get<int64_t>();
            inRange = n >= min && n <= max;
        }
        if (!inRange) {
            const std::string shown = v.dump();
            if (min == 1 && max == std::numeric_limits<unsigned>::max())
                fail(path, "must be a positive integer (> 0), got " + shown);
            if (min == 0 && max == std::numeric_limits<unsigned>::max())
                fail(path, "must be a non-negative integer, got " + shown);
            fail(path, "must be between " + std::to_string(min) + " and " + std::to_string(max) + ", got " + shown);
        }
        return n;
    }

    unsigned nonNegative(const Json& v, const std::string& path) const {
        return static_cast<unsigned>(integer(v, path, 0, std::numeric_limits<unsigned>::max()));
    }

    unsigned positive(const Json& v, const std::string& path) const {
        return static_cast<unsigned>(integer(v, path, 1, std::numeric_limits<unsigned>::max()));
    }

    const std::string& text(const Json& v, const std::string& path) const {
        expectType(v, path, v.is_string(), "a string");
        return v.get_ref<const std::string&>();
    }

    // Hex text (even length, either case) -> bytes.
    std::string hex(const Json& v, const std::string& path) const {
        const std::string& t = text(v, path);
        if (t.size() % 2 != 0)
            fail(path, "bad hex " + quote(t) + ": odd number of digits (" + std::to_string(t.size()) + ")");
        std::string bytes;
        bytes.reserve(t.size() / 2);
        for (std::size_t i = 0; i < t.size(); i += 2) {
            const int hi = nibble(t[i]);
            const int lo = nibble(t[i + 1]);
            if (hi < 0 || lo < 0) {
                const std::size_t at = hi < 0 ? i : i + 1;
                fail(path, "bad hex " + quote(t) + ": character " + std::to_string(at) + " is not a hexadecimal digit");
            }
            bytes.push_back(static_cast<char>((hi << 4) | lo));
        }
        return bytes;
    }

    // A Bluetooth UUID text as CBUUID accepts it; the text is kept as written, since the world
    // reports UUIDs in the form its file gives them.
    std::string uuid(const Json& v, const std::string& path) const {
        const std::string& t = text(v, path);
        try {
            (void)CBUUID::UUIDWithString(t);
        } catch (const NSException&) {
            fail(path, "not a valid UUID " + quote(t) + " (expected 4, 8 or 36 hexadecimal digits)");
        }
        return t;
    }

    template <typename E, std::size_t N>
    E word(const Json& v, const std::string& path, const char* what,
           const std::pair<const char*, E> (&table)[N]) const {
        const std::string& t = text(v, path);
        for (const auto& entry : table)
            if (t == entry.first)
                return entry.second;
        std::string allowed;
        for (const auto& entry : table) {
            if (!allowed.empty())
                allowed += ", ";
            allowed += entry.first;
        }
        fail(path, std::string("unknown ") + what + " " + quote(t) + " (expected one of: " + allowed + ")");
    }

  protected:
    static int nibble(char c) {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    }

    const std::string& source_;
    BigIntegers big_;
};

// The document of `json`, after the first pass over its text (keys given twice, integers beyond 64 bits,
// which `reader` keeps); syntax errors fail through `reader`.
Json parseChecked(std::string_view json, JsonReader& reader);

}  // namespace platform::sim::world_json
