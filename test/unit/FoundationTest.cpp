#include "platform/Foundation.h"

#include <mutex>
#include <optional>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/CoreBluetooth.h"

namespace {

using namespace platform;

// Captures console lines for one test and restores standard error afterwards.
class ConsoleTest : public ::testing::Test {
  protected:
    void SetUp() override {
        NSLogSetSink([this](const std::string& line) {
            std::lock_guard<std::mutex> lock(mutex_);
            lines_.push_back(line);
        });
    }
    void TearDown() override { NSLogSetSink({}); }
    std::vector<std::string> lines() {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }
    std::mutex mutex_;
    std::vector<std::string> lines_;  // guarded by mutex_
};

TEST(NSLogFormat, FillsPlaceholdersInOrder) {
    EXPECT_EQ(NSLogFormat("a %@ b %@", {"1", "2"}), "a 1 b 2");
    EXPECT_EQ(NSLogFormat("%@%@", {"x"}), "x(null)");
    EXPECT_EQ(NSLogFormat("no placeholder", {"unused"}), "no placeholder");
    EXPECT_EQ(NSLogFormat("line\n", {}), "line");
    EXPECT_EQ(NSLogFormat("two\n\n", {}), "two\n");
    EXPECT_EQ(NSLogFormat("100%% of %@", {"%@"}), "100% of %@");  // descriptions are not rescanned
    EXPECT_EQ(NSLogFormat("trailing %", {}), "trailing %");
    EXPECT_EQ(NSLogFormat("", {}), "");
}

TEST_F(ConsoleTest, DescriptionsOfPlatformValues) {
    const NSError error{"CBErrorDomain", 3, "The connection has timed out."};
    const NSError* none = nullptr;
    NSLog("Error: %@ / %@", &error, none);
    NSLog("name %@ id %@ uuid %@", std::optional<std::string>{}, NSUUID("c3a1f5e2-7b4d"),
          CBUUID::UUIDWithString("180d"));
    NSLog("%@ and %@\n", std::string("text"), "c-string");
    EXPECT_EQ(lines(), (std::vector<std::string>{"Error: The connection has timed out. / (null)",
                                                 "name (null) id C3A1F5E2-7B4D uuid 180D", "text and c-string"}));
}

TEST_F(ConsoleTest, SinkIsSerialisedAndMayBeReplacedFromWithin) {
    // A sink that throws does not reach the writer.
    NSLogSetSink([](const std::string&) { throw std::runtime_error("sink"); });
    EXPECT_NO_THROW(NSLog("lost"));

    std::string out;  // written by the sink without a lock of its own
    NSLogSetSink([&out](const std::string& line) {
        for (char c : line) {
            out.push_back(c);
            std::this_thread::yield();
        }
        out.push_back('\n');
    });
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 50; ++i) {
                NSLog("%@", std::string(8, static_cast<char>('a' + t)));
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_TRUE(std::regex_match(out, std::regex("((aaaaaaaa|bbbbbbbb|cccccccc)\n){150}")));

    std::vector<std::string> after;
    NSLogSetSink([&](const std::string& line) {
        NSLogSetSink([&](const std::string& next) { after.push_back("second " + next); });
        after.push_back("first " + line);  // our captures are still alive here
    });
    NSLog("one");
    NSLog("two");
    EXPECT_EQ(after, (std::vector<std::string>{"first one", "second two"}));
}

TEST_F(ConsoleTest, ContainWritesOneLinePerEscapingExceptionAndLetsNothingOut) {
    const std::string where = "on queue q";
    contain("in a test event", [] { throw NSException("NSGenericException", "why"); });
    contain(where, [] { throw std::runtime_error("boom"); });
    contain("in a test event", [] { throw 5; });
    bool ran = false;
    contain("in a test event", [&] { ran = true; });
    EXPECT_TRUE(ran);
    EXPECT_EQ(lines(), (std::vector<std::string>{
                           "*** Uncaught exception 'NSGenericException' in a test event, reason: 'why'",
                           "*** Uncaught exception on queue q: boom",
                           "*** Uncaught exception of unknown type in a test event",
                       }));

    NSLogSetSink([](const std::string&) { throw std::runtime_error("sink"); });
    EXPECT_NO_THROW(contain("in a test event", [] { throw std::logic_error("lost"); }));
}

TEST(NSLog, StandardErrorLineCarriesConsolePrefix) {
    NSLogSetSink({});
    ::testing::internal::CaptureStderr();
    NSLog("hello %@\n", std::string("world"));
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(std::regex_match(
        err, std::regex(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} [^\[\] ]+\[\d+:\d+\] hello world\n)")))
        << err;
}

TEST(NSException, CarriesNameAndReason) {
    try {
        throw NSException("NSInvalidArgumentException", "why");
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "why");
        const auto& ns = dynamic_cast<const NSException&>(e);
        EXPECT_EQ(ns.name(), "NSInvalidArgumentException");
        EXPECT_EQ(ns.reason(), "why");
    }
    EXPECT_EQ(NSUUID("0f3e9b7a-52c4").UUIDString(), "0F3E9B7A-52C4");
    EXPECT_EQ(NSUUID("ab"), NSUUID("AB"));
}

}  // namespace
