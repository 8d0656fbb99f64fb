#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/CoreBluetooth.h"

namespace {

using platform::CBUUID;

struct ParseCase {
    std::string text;
    std::string uuid_string;
    int bits;
    std::string full;  // the 128-bit value, lower case
};

std::string full_text(const CBUUID& uuid) {
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            out += '-';
        }
        out += hex[uuid.data()[i] >> 4];
        out += hex[uuid.data()[i] & 15];
    }
    return out;
}

TEST(CBUUID, ParsesEveryFormKeepingItsForm) {
    const std::vector<ParseCase> cases = {
        {"180D", "180D", 16, "0000180d-0000-1000-8000-00805f9b34fb"},
        {"180d", "180D", 16, "0000180d-0000-1000-8000-00805f9b34fb"},
        {"0x2a37", "2A37", 16, "00002a37-0000-1000-8000-00805f9b34fb"},
        {"0X2A37", "2A37", 16, "00002a37-0000-1000-8000-00805f9b34fb"},
        {"ffff", "FFFF", 16, "0000ffff-0000-1000-8000-00805f9b34fb"},
        {"0000180d", "0000180D", 32, "0000180d-0000-1000-8000-00805f9b34fb"},
        {"0x12345678", "12345678", 32, "12345678-0000-1000-8000-00805f9b34fb"},
        {"0000180d-0000-1000-8000-00805f9b34fb", "0000180D-0000-1000-8000-00805F9B34FB", 128,
         "0000180d-0000-1000-8000-00805f9b34fb"},
        {"fb1e4001-54AE-4a28-9f74-DFCCB248601D", "FB1E4001-54AE-4A28-9F74-DFCCB248601D", 128,
         "fb1e4001-54ae-4a28-9f74-dfccb248601d"},
        {"0xC3A1F5E2-7B4D-4E8A-9F61-2D5B8C0E7A13", "C3A1F5E2-7B4D-4E8A-9F61-2D5B8C0E7A13", 128,
         "c3a1f5e2-7b4d-4e8a-9f61-2d5b8c0e7a13"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const CBUUID uuid = CBUUID::UUIDWithString(c.text);
        EXPECT_EQ(uuid.UUIDString(), c.uuid_string);
        EXPECT_EQ(uuid.bits(), c.bits);
        EXPECT_EQ(full_text(uuid), c.full);
        // Its own text reads back as the same UUID in the same form.
        EXPECT_EQ(CBUUID::UUIDWithString(uuid.UUIDString()), uuid);
        EXPECT_EQ(CBUUID::UUIDWithString(uuid.UUIDString()).bits(), c.bits);
    }
    EXPECT_EQ(CBUUID().UUIDString(), "00000000-0000-0000-0000-000000000000");
}

TEST(CBUUID, EqualityComparesTheSixteenBytes) {
    const CBUUID a = CBUUID::UUIDWithString("180D");
    const CBUUID b = CBUUID::UUIDWithString("0000180d");
    const CBUUID c = CBUUID::UUIDWithString("0000180d-0000-1000-8000-00805f9b34fb");
    EXPECT_EQ(a, b);
    EXPECT_EQ(b, c);
    EXPECT_TRUE(a.isEqual(c));
    EXPECT_NE(a, CBUUID::UUIDWithString("180E"));
    EXPECT_NE(a, CBUUID::UUIDWithString("0000180d-0000-1000-8000-00805f9b34fc"));
    EXPECT_NE(CBUUID::UUIDWithString("0001180d"), a);
    EXPECT_FALSE(a < c || c < a);
}

TEST(CBUUID, RejectsEveryOtherText) {
    const std::vector<std::string> invalid = {
        "",
        "0x",
        "180",
        "180D0",
        "18 0D",
        " 180D",
        "g80D",
        "18-D",
        "0x0x180D",
        "+180D",
        "0000180d0000",
        "0000180d00001000800000805f9b34fb",       // 32 digits without hyphens
        "0000180d-0000-1000-8000-00805f9b34f",    // 35
        "0000180d-0000-1000-8000-00805f9b34fbb",  // 37
        "0000180d00000-1000-8000-00805f9b34fb",   // hyphen missing
        "0000180-d0000-1000-8000-00805f9b34fb",   // hyphen misplaced
        "0000180d-0000-1000-8000-00805f9b34fg",
        std::string("180\0", 4),
    };
    for (const auto& text : invalid) {
        SCOPED_TRACE(text);
        try {
            (void)CBUUID::UUIDWithString(text);
            ADD_FAILURE() << "accepted";
        } catch (const platform::NSException& e) {
            EXPECT_EQ(e.name(), "NSInvalidArgumentException");
            EXPECT_EQ(e.reason(), "String " + text + " does not represent a valid UUID");
            EXPECT_STREQ(e.what(), e.reason().c_str());
        }
    }
}

}  // namespace
