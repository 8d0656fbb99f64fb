// Tavrin's side of the idle-waits race (bench/compare_peers/idle_waits): the process's CPU while a blocking
// call waits 2 s in a disconnection, in a connection nobody answers, and in a read answered 2 s late.
// Prints one JSON object.
//
//   compare_peers_idle <quick address> <mute address> <slow address>

#include <tavrin/Tavrin.h>

#include <time.h>

#include <chrono>
#include <cstdio>
#include <string>

namespace {

const std::string kService = "fb1e6001-54ae-4a28-9f74-dfccb248601d";
const std::string kValue = "fb1e6002-54ae-4a28-9f74-dfccb248601d";

using Clock = std::chrono::steady_clock;

double cpu_ms() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) * 1e-6;
}

// Runs `step` and prints its CPU and wall time as two JSON fields.
template <typename Step>
void timed(const char* name, Step step, bool last = false) {
    const double cpu = cpu_ms();
    const auto start = Clock::now();
    step();
    const double wall = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    std::printf("\"%s_cpu_ms\": %.3f, \"%s_wall_ms\": %.1f%s", name, cpu_ms() - cpu, name, wall, last ? "" : ", ");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s <quick address> <mute address> <slow address>\n", argv[0]);
        return 2;
    }
    Tavrin::Adapter adapter = Tavrin::Adapter::get_adapters().front();
    adapter.scan_for(1000);
    Tavrin::Peripheral quick, mute, slow;
    auto results = adapter.scan_get_results();
    for (Tavrin::Peripheral& peripheral : results) {
        if (peripheral.address() == argv[1]) {
            quick = peripheral;
        } else if (peripheral.address() == argv[2]) {
            mute = peripheral;
        } else if (peripheral.address() == argv[3]) {
            slow = peripheral;
        }
    }
    if (!quick.initialized() || !mute.initialized() || !slow.initialized()) {
        std::fprintf(stderr, "a device of the world was not found\n");
        return 1;
    }

    std::printf("{");
    quick.connect();
    timed("disconnect", [&] { quick.disconnect(); });

    // The peer's connection gives up after the 2 s it is given; so does this one.
    Tavrin::TimeLimits limits = mute.time_limits();
    limits.connection = std::chrono::milliseconds(2000);
    mute.set_time_limits(limits);
    timed("connect_unanswered", [&] {
        try {
            mute.connect();
        } catch (const Tavrin::Exception::OperationFailed&) {
        }
    });

    limits = slow.time_limits();
    limits.service_discovery = limits.characteristic_discovery = limits.descriptor_discovery = limits.request =
        std::chrono::milliseconds(30000);
    slow.set_time_limits(limits);
    slow.connect();
    timed(
        "read_late", [&] { slow.read(kService, kValue); }, true);
    std::printf("}\n");
    slow.disconnect();
    return 0;
}
