#include "backends/macos/Utils.h"

#include <gtest/gtest.h>

namespace {

std::string convert(const std::string& text) {
    return Tavrin::uuidToTavrin(platform::CBUUID::UUIDWithString(text));
}

TEST(UuidToTavrin, WidensSixteenBitAndLowersTheRest) {
    EXPECT_EQ(convert("2A37"), "00002a37-0000-1000-8000-00805f9b34fb");
    EXPECT_EQ(convert("0x180d"), "0000180d-0000-1000-8000-00805f9b34fb");
    EXPECT_EQ(convert("FB1E4001-54AE-4A28-9F74-DFCCB248601D"), "fb1e4001-54ae-4a28-9f74-dfccb248601d");
    // A full-length text on the Base UUID stays full; a 32-bit one is not widened.
    EXPECT_EQ(convert("0000180D-0000-1000-8000-00805F9B34FB"), "0000180d-0000-1000-8000-00805f9b34fb");
    EXPECT_EQ(convert("1234ABCD"), "1234abcd");
}

}  // namespace
