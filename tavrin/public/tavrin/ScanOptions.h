#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace Tavrin {

/// What a scan reports (`Adapter::scan_start(const ScanOptions&)`). The defaults are what
/// `scan_start()` does: every device, every advertisement, actively.
///
/// The radio filters what it can (over BlueZ the options become bluetoothd's discovery filter), and the
/// library checks each report again, since bluetoothd merges the filters of every program that scans:
/// a report another program's wider filter lets through never reaches this scan's callbacks or results.
struct ScanOptions {
    /// Only devices that advertise at least one of these services, by UUID text: 4 or 8 hexadecimal
    /// digits (on the Bluetooth base UUID) or the 36-character form, any case, optionally after "0x".
    /// Empty: every device. Service data alone does not count as advertising a service.
    std::vector<std::string> service_uuids;
    /// Only advertisements received at least this strong, in dBm, from -127 to 0; absent: any strength.
    std::optional<int16_t> rssi_floor;
    /// True: only the first advertisement of each device in a scan (found callback, no updated ones);
    /// false: every advertisement.
    bool first_report_only = false;
    /// Listen without asking devices for their scan responses. No radio of this library offers it (BlueZ
    /// 5.66 scans passively only through advertisement monitors, which this library does not use, and
    /// the platform never does): `scan_start` throws `Exception::OperationNotSupported`.
    bool passive = false;

    /// Throws `std::invalid_argument`, naming the option, for a malformed service UUID, an RSSI floor
    /// outside -127..0, or passive scanning with a service filter (which BlueZ's passive scanning cannot
    /// combine).
    void validate() const;
};

}  // namespace Tavrin
