// How the BlueZ radio reads bluetoothd's objects: paths, adapter order, property maps of any shape, UUIDs,
// flags and errors.
#include <gtest/gtest.h>

#include "bluez/BluezObjects.h"

namespace {

using namespace platform::bluez;
using platform::CBUUID;

TEST(BluezObjects, PathsHandlesAndAdapterOrder) {
    const std::string chr = "/org/bluez/hci0/dev_2D_5B_8C_0E_7A_13/service000f/char0010";
    EXPECT_EQ(adapterPathOf(chr), "/org/bluez/hci0");
    EXPECT_EQ(devicePathOf(chr), "/org/bluez/hci0/dev_2D_5B_8C_0E_7A_13");
    EXPECT_EQ(devicePathOf("/org/bluez/hci0"), "");
    EXPECT_EQ(handleOf("char0010", "char"), 0x10);
    EXPECT_EQ(handleOf("desc00AB", "desc"), 0xab);
    EXPECT_FALSE(handleOf("descriptor001", "desc"));
    EXPECT_FALSE(handleOf("char00g0", "char"));

    const auto attribute = makeAttribute(chr + "/desc0012", AttributeKind::Descriptor, {});
    ASSERT_TRUE(attribute);
    EXPECT_EQ(attribute->handle, 0x12);
    EXPECT_EQ(attribute->parent, 0x10);
    EXPECT_EQ(attribute->device, "/org/bluez/hci0/dev_2D_5B_8C_0E_7A_13");
    // A path of the wrong depth for its interface is no attribute.
    EXPECT_FALSE(makeAttribute(chr, AttributeKind::Service, {}));

    EXPECT_TRUE(naturalLess("hci2", "hci10"));
    EXPECT_FALSE(naturalLess("hci10", "hci2"));
    EXPECT_TRUE(naturalLess("hci0", "hci1"));
    EXPECT_FALSE(naturalLess("hci1", "hci1"));
}

TEST(BluezObjects, DevicePropertiesOfAnUnexpectedTypeAreIgnoredAndInvalidatedOnesGo) {
    DeviceObject device;
    PropMap props;
    props["Address"] = sdbus::Variant(std::string("2D:5B:8C:0E:7A:13"));
    props["RSSI"] = sdbus::Variant(int16_t{-58});
    props["TxPower"] = sdbus::Variant(std::string("loud"));  // not an n: ignored
    props["Name"] = sdbus::Variant(uint32_t{7});             // not an s: ignored
    props["Connected"] = sdbus::Variant(true);
    std::map<uint16_t, sdbus::Variant> manufacturer;
    manufacturer[0x004c] = sdbus::Variant(std::vector<uint8_t>{0x02, 0x15});
    manufacturer[0x0001] = sdbus::Variant(std::string("not bytes"));
    props["ManufacturerData"] = sdbus::Variant(manufacturer);
    const DeviceChange change = applyDevice(device, props, {});
    EXPECT_TRUE(change.rssi);
    EXPECT_TRUE(change.connected);
    EXPECT_EQ(device.address, "2D:5B:8C:0E:7A:13");
    EXPECT_EQ(device.rssi, -58);
    EXPECT_FALSE(device.txPower);
    EXPECT_FALSE(device.name);
    ASSERT_TRUE(device.manufacturerData);
    ASSERT_EQ(device.manufacturerData->size(), 1u);
    EXPECT_EQ(device.manufacturerData->front().second, std::string("\x02\x15", 2));

    const DeviceChange gone = applyDevice(device, {}, {"RSSI", "ManufacturerData"});
    EXPECT_FALSE(gone.rssi);
    EXPECT_FALSE(device.rssi);
    EXPECT_FALSE(device.manufacturerData);
    EXPECT_TRUE(device.connected);
}

// A device's last report is sent again while nothing it carries changes; any change must drop it, or a stale
// value would be reported.
TEST(BluezObjects, ReportIsKeptOnlyWhileWhatItCarriesIsUnchanged) {
    DeviceObject device;
    PropMap props;
    props["RSSI"] = sdbus::Variant(int16_t{-58});
    std::map<uint16_t, sdbus::Variant> manufacturer;
    manufacturer[0x004c] = sdbus::Variant(std::vector<uint8_t>{0x02, 0x15});
    props["ManufacturerData"] = sdbus::Variant(manufacturer);
    props["UUIDs"] = sdbus::Variant(std::vector<std::string>{"0000180a-0000-1000-8000-00805f9b34fb", "bad"});
    EXPECT_TRUE(applyDevice(device, props, {}).reportChanged);
    ASSERT_EQ(device.serviceUuids.size(), 1u);
    EXPECT_EQ(device.serviceUuids.front(), CBUUID::UUIDWithString("180A"));
    const auto keep = [&] { device.report = std::make_shared<const platform::radio::AdvertisementReport>(); };

    keep();
    const DeviceChange same = applyDevice(device, props, {});
    EXPECT_TRUE(same.rssi);
    EXPECT_TRUE(same.advertisement);
    EXPECT_FALSE(same.reportChanged);
    EXPECT_TRUE(device.report);

    props["RSSI"] = sdbus::Variant(int16_t{-60});
    EXPECT_TRUE(applyDevice(device, props, {}).reportChanged);
    EXPECT_FALSE(device.report);

    keep();
    manufacturer[0x004c] = sdbus::Variant(std::vector<uint8_t>{0x02, 0x16});
    EXPECT_TRUE(applyDevice(device, {{"ManufacturerData", sdbus::Variant(manufacturer)}}, {}).reportChanged);
    EXPECT_FALSE(device.report);

    keep();
    EXPECT_TRUE(applyDevice(device, {}, {"UUIDs"}).reportChanged);
    EXPECT_FALSE(device.report);
    EXPECT_TRUE(device.serviceUuids.empty());

    keep();  // resolving services changes what UUIDs mean for the report
    EXPECT_TRUE(applyDevice(device, {{"ServicesResolved", sdbus::Variant(true)}}, {}).reportChanged);
    EXPECT_FALSE(device.report);
}

TEST(BluezObjects, UuidsFlagsAndErrors) {
    EXPECT_EQ(uuidFromBluez("0000180a-0000-1000-8000-00805f9b34fb")->UUIDString(), "180A");
    EXPECT_EQ(uuidFromBluez("1234abcd-0000-1000-8000-00805f9b34fb")->UUIDString(), "1234ABCD");
    EXPECT_EQ(uuidFromBluez("fb1e4001-54ae-4a28-9f74-dfccb248601d"),
              CBUUID::UUIDWithString("FB1E4001-54AE-4A28-9F74-DFCCB248601D"));
    EXPECT_FALSE(uuidFromBluez("not a uuid"));
    EXPECT_EQ(uuidToBluez(CBUUID::UUIDWithString("180A")), "0000180a-0000-1000-8000-00805f9b34fb");

    EXPECT_EQ(propertiesFromFlags({"read", "notify", "write-without-response", "secure-read", "reliable-write"}),
              0x02u | 0x10u | 0x04u | 0x80u);

    const auto att = errorFromDBus("org.bluez.Error.Failed", "Operation failed with ATT error: 0x0e");
    EXPECT_EQ(att.domain, "org.bluez.Error.Failed");
    EXPECT_EQ(att.code, 0x0e);
    EXPECT_EQ(att.description, "Operation failed with ATT error: 0x0e");
    EXPECT_EQ(errorFromDBus("org.bluez.Error.NotPermitted", "Read not permitted").code, 0x02);
    const auto odd = errorFromDBus("com.example.Strange", "");
    EXPECT_EQ(odd.domain, "com.example.Strange");
    EXPECT_EQ(odd.code, 0);
    EXPECT_EQ(odd.description, "com.example.Strange");
}

}  // namespace
