// Arbitrary text as a UUID: UUIDWithString either throws NSException or gives a UUID whose
// UUIDString is the input's digits in upper case and parses back to the same UUID.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/CoreBluetooth.h"

namespace {

void require(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "fuzz_cbuuid: broken invariant: %s\n", what);
        std::abort();
    }
}

bool isHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// The accepted forms, written independently of the parser: 4, 8 or 36 (8-4-4-4-12) hex digits.
bool wellFormed(const std::string& digits) {
    if (digits.size() != 4 && digits.size() != 8 && digits.size() != 36)
        return false;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        const bool hyphen = digits.size() == 36 && (i == 8 || i == 13 || i == 18 || i == 23);
        if (hyphen ? digits[i] != '-' : !isHex(digits[i]))
            return false;
    }
    return true;
}

std::string upper(std::string text) {
    for (char& c : text)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const bool prefixed = text.size() >= 2 && text[0] == '0' && text[1] == 'x';
    const std::string digits = prefixed ? text.substr(2) : text;
    // "0X" is left to the parser's choice, so only the lower-case prefix is judged.
    const bool judged = !(text.size() >= 2 && text[0] == '0' && text[1] == 'X');
    try {
        const platform::CBUUID uuid = platform::CBUUID::UUIDWithString(text);
        require(!judged || wellFormed(digits), "accepted only well-formed text");
        const std::string shown = uuid.UUIDString();
        if (judged)
            require(shown == upper(digits), "UUIDString keeps the form, in upper case");
        const platform::CBUUID again = platform::CBUUID::UUIDWithString(shown);
        require(again == uuid && again.bits() == uuid.bits(), "UUIDString parses back to the same UUID");
        require(again.UUIDString() == shown, "UUIDString is stable");
    } catch (const platform::NSException& e) {
        require(!judged || !wellFormed(digits), "well-formed text accepted");
        require(std::string(e.reason()).find("does not represent a valid UUID") != std::string::npos,
                "exception names the problem");
    }
    return 0;
}
