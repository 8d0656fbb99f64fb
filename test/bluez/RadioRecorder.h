#pragma once
// What a radio tells a central, recorded for tests that wait for it with a bound; and a completion awaited.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/Radio.h"

namespace bluez_test {

using namespace std::chrono_literals;
using platform::CBManagerState;
using platform::NSError;
using platform::radio::AttributeHandle;

// Records what the radio tells a session; tests wait for what they expect, with a bound.
class Recorder : public platform::radio::RadioCentralEvents {
  public:
    void radioStateChanged(CBManagerState state) override {
        add([&] { states.push_back(state); });
    }
    void radioDiscovered(const std::vector<platform::radio::Sighting>& batch) override {
        add([&] {
            for (const auto& sighting : batch) {
                reports.push_back(*sighting.report);
            }
        });
    }
    void radioConnected(const std::string& device) override {
        add([&] { links.push_back("connected " + device); });
    }
    void radioConnectFailed(const std::string& device, const NSError& error) override {
        add([&] { links.push_back("failed " + device + " " + error.domain); });
    }
    void radioDisconnected(const std::string& device, const NSError* error) override {
        add([&] {
            links.push_back("disconnected " + device + (error ? " " + error->domain : ""));
            order.push_back('d');
        });
    }
    void radioScanEnded(const NSError& error) override {
        add([&] { links.push_back("scan ended " + error.domain); });
    }
    void radioForgot(const std::string& device) override {
        add([&] { links.push_back("forgot " + device); });
    }
    void radioNotified(const std::string& device, AttributeHandle handle, const std::string& value) override {
        add([&] {
            notifications.emplace_back(device + "/" + std::to_string(handle), value);
            order.push_back('n');
        });
    }

    template <typename Pred>
    bool waitFor(Pred pred, std::chrono::milliseconds limit = 5s) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, limit, [&] { return pred(); });
    }
    bool waitState(CBManagerState state, std::chrono::milliseconds limit = 5s) {
        return waitFor([&] { return !states.empty() && states.back() == state; }, limit);
    }
    // Waits for `line` to have been recorded more than `seen` times.
    bool waitLink(const std::string& line, std::size_t seen = 0, std::chrono::milliseconds limit = 5s) {
        return waitFor([&] { return linkCount(line) > seen; }, limit);
    }
    // From the test's thread; linkCount is for predicates, which run under the lock.
    std::size_t countLinks(const std::string& line) {
        std::lock_guard<std::mutex> lock(mutex);
        return linkCount(line);
    }
    std::size_t linkCount(const std::string& line) const {
        return static_cast<std::size_t>(std::count(links.begin(), links.end(), line));
    }
    void clearReports() {
        std::lock_guard<std::mutex> lock(mutex);
        reports.clear();
    }
    std::size_t reportsOf(const std::string& device) {
        std::lock_guard<std::mutex> lock(mutex);
        return static_cast<std::size_t>(
            std::count_if(reports.begin(), reports.end(), [&](const auto& r) { return r.device == device; }));
    }

    std::mutex mutex;  // guards everything below
    std::condition_variable changed;
    std::vector<CBManagerState> states;
    std::vector<platform::radio::AdvertisementReport> reports;
    std::vector<std::string> links;
    std::vector<std::pair<std::string, std::string>> notifications;
    std::string order;  // 'n' for each notification, 'd' for each disconnection, as they came

  private:
    template <typename F>
    void add(F&& f) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            f();
        }
        changed.notify_all();
    }
};

// One completion's outcome.
struct Outcome {
    bool answered = false;
    std::optional<NSError> error;
    std::string value;
};

template <typename Start>
Outcome await(Start start, std::chrono::milliseconds limit = 3s) {
    auto promise = std::make_shared<std::promise<Outcome>>();
    auto future = promise->get_future();
    start([promise](const NSError* error, const std::string& value) {
        promise->set_value(Outcome{true, error ? std::optional<NSError>(*error) : std::nullopt, value});
    });
    if (future.wait_for(limit) != std::future_status::ready) {
        return Outcome{};
    }
    return future.get();
}

}  // namespace bluez_test
