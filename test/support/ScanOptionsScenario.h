#pragma once
// One scenario for the scan options, run over each radio: three devices, of which the filters keep some.

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <thread>

#include <tavrin/Adapter.h>
#include <tavrin/Exceptions.h>
#include <tavrin/ScanOptions.h>

#include "AdapterHarness.h"

namespace adapter_test {

/// The devices the scenario needs around `adapter`, advertising every 20 ms or so: `listed` advertises
/// the 16-bit service 180d at -50 dBm, `other` nothing at -50 dBm, `faint` 180d at -90 dBm. Where the air
/// carries no signal strength (virtual controllers), the floor cannot be seen and is left out; where reports
/// come only now and then, each scan lasts longer.
struct ScanOptionsDevices {
    std::string listed;
    std::string other;
    std::string faint;
    bool signal_strength = true;
    std::chrono::milliseconds scan_time = std::chrono::milliseconds(600);
};

inline void check_scan_options(Tavrin::Adapter& adapter, const ScanOptionsDevices& d) {
    using namespace std::chrono_literals;
    ScanRecorder recorder;
    recorder.install(adapter);
    const auto scan = [&](const Tavrin::ScanOptions& options) {
        recorder.clear();
        adapter.scan_start(options);
        std::this_thread::sleep_for(d.scan_time);
        adapter.scan_stop();
        drain(adapter);
    };

    Tavrin::ScanOptions services;
    services.service_uuids = {"180D"};
    scan(services);
    EXPECT_EQ(recorder.found(d.listed), 1u);
    EXPECT_EQ(recorder.found(d.faint), 1u);
    EXPECT_EQ(recorder.found(d.other), 0u);
    std::vector<std::string> kept{d.faint, d.listed};
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(addresses(adapter.scan_get_results()), kept);
    EXPECT_GT(recorder.updated(d.listed), 0u);

    if (d.signal_strength) {
        Tavrin::ScanOptions strong;
        strong.rssi_floor = -70;
        scan(strong);
        EXPECT_EQ(recorder.found(d.listed), 1u);
        EXPECT_EQ(recorder.found(d.other), 1u);
        EXPECT_EQ(recorder.found(d.faint), 0u);
        EXPECT_EQ(recorder.updated(d.faint), 0u);
    }

    Tavrin::ScanOptions first;
    first.first_report_only = true;
    scan(first);
    EXPECT_EQ(recorder.distinct_found(), 3u);
    EXPECT_EQ(recorder.updated(d.listed) + recorder.updated(d.other) + recorder.updated(d.faint), 0u);

    // Nonsense is refused by name before the radio hears of it, and passive scanning is not offered.
    Tavrin::ScanOptions bad;
    bad.service_uuids = {"180D", "not-a-uuid"};
    try {
        adapter.scan_start(bad);
        ADD_FAILURE() << "a malformed UUID was accepted";
    } catch (const std::invalid_argument& e) {
        EXPECT_NE(std::string(e.what()).find("ScanOptions.service_uuids"), std::string::npos) << e.what();
    }
    bad = {};
    bad.rssi_floor = 5;
    EXPECT_THROW(adapter.scan_start(bad), std::invalid_argument);
    bad = {};
    bad.passive = true;
    bad.service_uuids = {"180D"};
    EXPECT_THROW(adapter.scan_start(bad), std::invalid_argument);
    bad.service_uuids.clear();
    EXPECT_THROW(adapter.scan_start(bad), Tavrin::Exception::OperationNotSupported);
    EXPECT_FALSE(adapter.scan_is_active());
    adapter.set_callback_on_scan_found({});
    adapter.set_callback_on_scan_updated({});
}

}  // namespace adapter_test
