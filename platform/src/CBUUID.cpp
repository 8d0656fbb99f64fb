#include <cstddef>
#include <string>

#include <fmt/format.h>

#include "platform/CoreBluetooth.h"

namespace platform {

namespace {

// 00000000-0000-1000-8000-00805F9B34FB: 16- and 32-bit UUIDs fill its first four bytes.
constexpr std::array<uint8_t, 16> kBaseUuid = {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                               0x80, 0x00, 0x00, 0x80, 0x5F, 0x9B, 0x34, 0xFB};

int hex_value(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

bool is_hyphen_place(std::size_t i) {
    return i == 8 || i == 13 || i == 18 || i == 23;
}

// Reads the hex digits of `digits` (hyphens at the 8-4-4-4-12 places when `hyphens`) into
// `out` from byte `first`; false on anything else.
bool read_hex(const std::string& digits, bool hyphens, std::array<uint8_t, 16>& out, std::size_t first) {
    std::size_t byte = first;
    int high = -1;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (hyphens && is_hyphen_place(i)) {
            if (digits[i] != '-') {
                return false;
            }
            continue;
        }
        const int value = hex_value(digits[i]);
        if (value < 0) {
            return false;
        }
        if (high < 0) {
            high = value;
        } else {
            out[byte++] = static_cast<uint8_t>(high << 4 | value);
            high = -1;
        }
    }
    return high < 0;
}

[[noreturn]] void invalid(const std::string& text) {
    throw NSException("NSInvalidArgumentException", fmt::format("String {} does not represent a valid UUID", text));
}

}  // namespace

CBUUID::CBUUID() = default;

CBUUID CBUUID::UUIDWithString(const std::string& text) {
    std::string digits = text;
    if (digits.size() >= 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        digits.erase(0, 2);
    }
    CBUUID uuid;
    bool ok = false;
    switch (digits.size()) {
        case 4:
            uuid.bytes_ = kBaseUuid;
            uuid.bits_ = 16;
            ok = read_hex(digits, false, uuid.bytes_, 2);
            break;
        case 8:
            uuid.bytes_ = kBaseUuid;
            uuid.bits_ = 32;
            ok = read_hex(digits, false, uuid.bytes_, 0);
            break;
        case 36:
            uuid.bits_ = 128;
            ok = read_hex(digits, true, uuid.bytes_, 0);
            break;
        default:
            break;
    }
    if (!ok) {
        invalid(text);
    }
    return uuid;
}

std::string CBUUID::UUIDString() const {
    const auto& b = bytes_;
    if (bits_ == 16) {
        return fmt::format("{:02X}{:02X}", b[2], b[3]);
    }
    if (bits_ == 32) {
        return fmt::format("{:02X}{:02X}{:02X}{:02X}", b[0], b[1], b[2], b[3]);
    }
    return fmt::format(
        "{:02X}{:02X}{:02X}{:02X}-{:02X}{:02X}-{:02X}{:02X}-{:02X}{:02X}-{:02X}{:02X}{:02X}{:02X}{:02X}{:02X}", b[0],
        b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
}

}  // namespace platform
