#include "foundation/LogInternal.h"

#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "callback/guarded.h"
#include "callback/safe_callback.h"

namespace {

using Tavrin::Logging::Level;
using Tavrin::Logging::Logger;

struct Record {
    Level level;
    std::string module, file;
    unsigned line;
    std::string function, message;
};

class LogHelperTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Logger::get()->set_level(Level::Info);
        Logger::get()->set_callback([this](Level level, const std::string& module, const std::string& file,
                                           unsigned line, const std::string& function, const std::string& message) {
            records.push_back({level, module, file, line, function, message});
        });
    }
    void TearDown() override {
        Logger::get()->log_default_stdout();
        Logger::get()->set_level(Level::Info);
    }
    std::vector<Record> records;
};

void scan_start() {
    TAVRIN_LOG(Level::Warning, "Bluetooth is not enabled.");
}

TEST_F(LogHelperTest, LogMacroFillsModuleLocationAndFormats) {
    const unsigned line = __LINE__ + 1;
    TAVRIN_LOG(Level::Error, "value {} of {}", 3, std::string("four"));
    TAVRIN_LOG(Level::Info, "braces {{}} are formatted even without arguments");
    TAVRIN_LOG(Level::Debug, "dropped at the default level");
    scan_start();

    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].level, Level::Error);
    EXPECT_EQ(records[0].module, "Tavrin");
    EXPECT_EQ(records[0].file, __FILE__);
    EXPECT_EQ(records[0].line, line);
    EXPECT_EQ(records[0].function, "TestBody");
    EXPECT_EQ(records[0].message, "value 3 of four");
    EXPECT_EQ(records[1].message, "braces {} are formatted even without arguments");
    EXPECT_EQ(records[2].function, "scan_start");
    EXPECT_EQ(records[2].level, Level::Warning);
}

struct Backend {
    zem::safe_callback<void()> callback_on_scan_start_;
    zem::safe_callback<void(std::string)> callback_on_scan_found_;
    std::function<void(int)> plain_;

    void scan_start() { TAVRIN_GUARDED(callback_on_scan_start_)(); }
    void delegate_did_discover_peripheral(const std::string& who) { TAVRIN_GUARDED(callback_on_scan_found_)(who); }
    void fire_plain(int v) { TAVRIN_GUARDED(plain_)(v); }
};

TEST_F(LogHelperTest, GuardedCallRunsCallbackAndLogsWhatItThrows) {
    Backend backend;
    // Nothing loaded: nothing runs, nothing is logged.
    EXPECT_NO_THROW(backend.scan_start());
    EXPECT_NO_THROW(backend.fire_plain(1));
    EXPECT_TRUE(records.empty());

    std::vector<std::string> found;
    backend.callback_on_scan_found_.load([&](std::string who) { found.push_back(std::move(who)); });
    backend.delegate_did_discover_peripheral("p1");
    EXPECT_EQ(found, std::vector<std::string>{"p1"});

    backend.callback_on_scan_start_.load([] { throw std::runtime_error("boom"); });
    EXPECT_NO_THROW(backend.scan_start());
    backend.callback_on_scan_found_.load([](std::string) { throw 7; });
    EXPECT_NO_THROW(backend.delegate_did_discover_peripheral("p2"));
    int got = 0;
    backend.plain_ = [&](int v) {
        got = v;
        throw std::logic_error("plain");
    };
    EXPECT_NO_THROW(backend.fire_plain(5));
    EXPECT_EQ(got, 5);

    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].level, Level::Error);
    EXPECT_EQ(records[0].module, "Tavrin");
    EXPECT_EQ(records[0].message, "Exception during callback: boom");
    EXPECT_EQ(records[0].function, "scan_start");
    EXPECT_EQ(records[0].file, __FILE__);
    EXPECT_EQ(records[1].message, "Unknown exception during callback");
    EXPECT_EQ(records[1].function, "delegate_did_discover_peripheral");
    EXPECT_EQ(records[2].message, "Exception during callback: plain");

    // The holder survives a throw and keeps its callable.
    EXPECT_TRUE(backend.callback_on_scan_start_.is_loaded());
}

}  // namespace
