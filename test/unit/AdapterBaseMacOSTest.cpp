// The advertisement record that the central manager's delegate builds from each advertisement.

#include <gtest/gtest.h>

#include <platform/CoreBluetooth.h>

#include "backends/macos/AdapterBaseMacOS.h"

namespace {

using platform::AdvertisementData;
using platform::CBUUID;
using Tavrin::advertising_data_from_advertisement;

constexpr const char* kHeartRate = "0000180d-0000-1000-8000-00805f9b34fb";
constexpr const char* kEnvironment = "0000181a-0000-1000-8000-00805f9b34fb";
constexpr const char* kVendor = "fb1e4001-54ae-4a28-9f74-dfccb248601d";

TEST(AdvertisingRecord, AbsentKeysGiveTheDefaults) {
    const auto record = advertising_data_from_advertisement(AdvertisementData{}, -71);
    EXPECT_FALSE(record.connectable);
    EXPECT_EQ(record.rssi, -71);
    EXPECT_EQ(record.tx_power, -32768);
    EXPECT_TRUE(record.manufacturer_data.empty());
    EXPECT_TRUE(record.service_data.empty());
    EXPECT_TRUE(record.identifier.empty());
    EXPECT_TRUE(record.address.empty());

    AdvertisementData said_no;
    said_no.isConnectable = false;
    said_no.txPowerLevel = 0;
    const auto explicit_record = advertising_data_from_advertisement(said_no, 0);
    EXPECT_FALSE(explicit_record.connectable);
    EXPECT_EQ(explicit_record.tx_power, 0);  // present zero is not "absent"
}

TEST(AdvertisingRecord, EveryKeyIsCarriedOver) {
    AdvertisementData advertisement;
    advertisement.isConnectable = true;
    advertisement.txPowerLevel = -12;
    advertisement.manufacturerData = std::string("\x4c\x00\x02\x15", 4);
    advertisement.serviceData =
        std::vector<std::pair<CBUUID, std::string>>{{CBUUID::UUIDWithString("181A"), std::string("\xe8\x03\x00", 3)}};
    advertisement.serviceUUIDs = std::vector<CBUUID>{CBUUID::UUIDWithString("FB1E4001-54AE-4A28-9F74-DFCCB248601D")};
    advertisement.localName = "ignored";

    const auto record = advertising_data_from_advertisement(advertisement, -58);
    EXPECT_TRUE(record.connectable);
    EXPECT_EQ(record.rssi, -58);
    EXPECT_EQ(record.tx_power, -12);
    const std::map<uint16_t, std::string> manufacturer{{0x004c, std::string("\x02\x15", 2)}};
    EXPECT_EQ(record.manufacturer_data, manufacturer);
    const std::map<std::string, std::string> services{{kEnvironment, std::string("\xe8\x03\x00", 3)}, {kVendor, ""}};
    EXPECT_EQ(record.service_data, services);
}

TEST(AdvertisingRecord, ManufacturerDataIsSplitAfterTheCompanyIdentifier) {
    auto manufacturer_of = [](std::string bytes) {
        AdvertisementData advertisement;
        advertisement.manufacturerData = std::move(bytes);
        return advertising_data_from_advertisement(advertisement, 0).manufacturer_data;
    };
    // Little-endian identifier; payload bytes kept whole, zero bytes included.
    const auto beacon = manufacturer_of(std::string("\xfe\xff\x00\x01\x00", 5));
    ASSERT_EQ(beacon.size(), 1u);
    EXPECT_EQ(beacon.begin()->first, 0xfffe);
    EXPECT_EQ(beacon.begin()->second, std::string("\x00\x01\x00", 3));

    const auto bare = manufacturer_of(std::string("\x4c\x00", 2));
    ASSERT_EQ(bare.size(), 1u);
    EXPECT_EQ(bare.at(0x004c), "");

    // Too short to hold a company identifier: no entry rather than a made-up one.
    EXPECT_TRUE(manufacturer_of(std::string("\x4c", 1)).empty());
    EXPECT_TRUE(manufacturer_of(std::string()).empty());
}

TEST(AdvertisingRecord, ListedServicesKeepTheirData) {
    AdvertisementData advertisement;
    advertisement.serviceData = std::vector<std::pair<CBUUID, std::string>>{
        {CBUUID::UUIDWithString("180D"), "hr"},
        {CBUUID::UUIDWithString("181A"), "first"},
        // The same service again, in its long form: the later value replaces the earlier.
        {CBUUID::UUIDWithString("0000181A-0000-1000-8000-00805F9B34FB"), "second"}};
    advertisement.serviceUUIDs = std::vector<CBUUID>{CBUUID::UUIDWithString("180D")};

    const auto record = advertising_data_from_advertisement(advertisement, 0);
    const std::map<std::string, std::string> services{{kHeartRate, "hr"}, {kEnvironment, "second"}};
    EXPECT_EQ(record.service_data, services);

    AdvertisementData listed_only;
    listed_only.serviceUUIDs = std::vector<CBUUID>{CBUUID::UUIDWithString("180d")};
    EXPECT_EQ(advertising_data_from_advertisement(listed_only, 0).service_data,
              (std::map<std::string, std::string>{{kHeartRate, ""}}));
}

}  // namespace
