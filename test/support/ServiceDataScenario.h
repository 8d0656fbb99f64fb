#pragma once
// One scenario for advertised services, run over each radio: a service that is both listed and carries data
// keeps its data; a service only listed has the empty value.

#include <gtest/gtest.h>

#include <map>
#include <string>

#include <tavrin/Adapter.h>

#include "AdapterHarness.h"

namespace adapter_test {

/// The world: 00000000-0000-4000-8000-000000005E01 lists feaa and carries feaa data 10203040;
/// 00000000-0000-4000-8000-000000005E02 lists 180d only.
constexpr const char* kServiceDataWorld = R"({ "peripherals": [
  { "identifier": "00000000-0000-4000-8000-000000005E01",
    "advertising": { "interval_ms": 20, "service_uuids": ["feaa"], "service_data": { "feaa": "10203040" } } },
  { "identifier": "00000000-0000-4000-8000-000000005E02",
    "advertising": { "interval_ms": 20, "service_uuids": ["180d"] } } ] })";

inline std::map<std::string, std::string> advertised(Tavrin::Peripheral peripheral) {
    std::map<std::string, std::string> result;
    for (auto& service : peripheral.services()) {
        result[service.uuid()] = service.data();
    }
    return result;
}

inline void check_listed_service_data(Tavrin::Adapter& adapter, const std::string& with_data,
                                      const std::string& listed_only) {
    const std::map<std::string, std::string> data{{"0000feaa-0000-1000-8000-00805f9b34fb", "\x10\x20\x30\x40"}};
    const std::map<std::string, std::string> listed{{"0000180d-0000-1000-8000-00805f9b34fb", ""}};
    ScanRecorder recorder;
    recorder.install(adapter);
    adapter.scan_start();
    // A radio may hand a device's fields over in more than one report.
    eventually([&] {
        const auto a = recorder.last(with_data);
        const auto b = recorder.last(listed_only);
        return a && b && advertised(*a) == data && advertised(*b) == listed;
    });
    adapter.scan_stop();
    drain(adapter);
    adapter.set_callback_on_scan_found({});
    adapter.set_callback_on_scan_updated({});
    ASSERT_TRUE(recorder.last(with_data) && recorder.last(listed_only));
    EXPECT_EQ(advertised(*recorder.last(with_data)), data);
    EXPECT_EQ(advertised(*recorder.last(listed_only)), listed);
}

}  // namespace adapter_test
