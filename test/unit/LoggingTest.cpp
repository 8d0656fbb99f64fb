#include <tavrin/Logging.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

using Tavrin::Logging::Level;
using Tavrin::Logging::Logger;
namespace fs = std::filesystem;

struct Record {
    Level level;
    std::string module, file;
    unsigned line;
    std::string function, message;
};

// The logger is a process singleton: each test gets a capturing sink and leaves the defaults behind.
class LoggerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Logger::get()->set_level(Level::Info);
        Logger::get()->set_callback([this](Level level, const std::string& module, const std::string& file,
                                           unsigned line, const std::string& function, const std::string& message) {
            std::lock_guard<std::mutex> lock(mutex_);
            records_.push_back({level, module, file, line, function, message});
        });
    }
    void TearDown() override {
        Logger::get()->log_default_stdout();
        Logger::get()->set_level(Level::Info);
    }
    std::vector<Record> records() {
        std::lock_guard<std::mutex> lock(mutex_);
        return records_;
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        records_.clear();
    }
    static void log(Level level, const std::string& message) {
        Logger::get()->log(level, "Tavrin", "file.cpp", 7, "fn", message);
    }

    std::mutex mutex_;
    std::vector<Record> records_;  // guarded by mutex_
};

// A fresh directory for file sinks, removed afterwards.
struct TempDir {
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "tavrin_logtest_XXXXXX").string();
        path = mkdtemp(pattern.data());
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    fs::path path;
};

std::vector<std::string> read_lines(const fs::path& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// True when this process holds an open descriptor on `path`.
bool process_has_open(const fs::path& path) {
    const fs::path target = fs::weakly_canonical(path);
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        const fs::path link = fs::read_symlink(entry.path(), ec);
        if (!ec && link == target) {
            return true;
        }
    }
    return false;
}

TEST_F(LoggerTest, LevelNamesAndFilteringAtEveryLevel) {
    const char* names[] = {"NONE", "FATAL", "ERROR", "WARNING", "INFO", "DEBUG", "VERBOSE"};
    for (int i = 0; i <= 6; ++i) {
        EXPECT_EQ(Logger::level_to_str(static_cast<Level>(i)), names[i]);
    }
    EXPECT_EQ(Logger::level_to_str(static_cast<Level>(7)), "");
    EXPECT_EQ(Logger::level_to_str(static_cast<Level>(-1)), "");

    EXPECT_EQ(Logger::get()->get_level(), Level::Info);
    for (int current = 0; current <= 6; ++current) {
        Logger::get()->set_level(static_cast<Level>(current));
        EXPECT_EQ(Logger::get()->get_level(), static_cast<Level>(current));
        for (int level = 0; level <= 7; ++level) {
            SCOPED_TRACE(::testing::Message() << "current " << current << " record " << level);
            clear();
            log(static_cast<Level>(level), "m");
            EXPECT_EQ(records().size(), level <= current ? 1u : 0u);
        }
    }
}

TEST_F(LoggerTest, RecordReachesSinkUnchanged) {
    Logger::get()->log(Level::Warning, "Tavrin", "src/a.cpp", 46, "scan_start", "Bluetooth is not enabled.");
    const auto got = records();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].level, Level::Warning);
    EXPECT_EQ(got[0].module, "Tavrin");
    EXPECT_EQ(got[0].file, "src/a.cpp");
    EXPECT_EQ(got[0].line, 46u);
    EXPECT_EQ(got[0].function, "scan_start");
    EXPECT_EQ(got[0].message, "Bluetooth is not enabled.");
}

TEST_F(LoggerTest, StdoutSinkPrintsOneFormattedLine) {
    Logger::get()->log_default_stdout();
    ::testing::internal::CaptureStdout();
    Logger::get()->log(Level::Warning, "Tavrin", "src/a.cpp", 46, "scan_start", "Bluetooth is not enabled.");
    Logger::get()->log(Level::Debug, "Tavrin", "src/a.cpp", 47, "scan_start", "dropped");
    std::fflush(stdout);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "[WARNING] Tavrin: src/a.cpp:46 in scan_start: Bluetooth is not enabled.\n");
}

TEST_F(LoggerTest, EmptySinkSilencesEverything) {
    EXPECT_TRUE(Logger::get()->has_callback());
    Logger::get()->set_callback({});
    EXPECT_FALSE(Logger::get()->has_callback());
    ::testing::internal::CaptureStdout();
    log(Level::Fatal, "nobody hears this");
    std::fflush(stdout);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
}

TEST_F(LoggerTest, ThrowingSinkDoesNotDisturbTheCaller) {
    int calls = 0;
    Logger::get()->set_callback(
        [&](Level, const std::string&, const std::string&, unsigned, const std::string&, const std::string& message) {
            ++calls;
            if (message == "std") {
                throw std::runtime_error("sink failed");
            }
            if (message == "other") {
                throw 42;
            }
        });
    EXPECT_NO_THROW(log(Level::Error, "std"));
    EXPECT_NO_THROW(log(Level::Error, "other"));
    EXPECT_NO_THROW(log(Level::Error, "fine"));
    EXPECT_EQ(calls, 3);
    // The lock was released on the way out of the failed calls.
    std::thread([] { Logger::get()->set_level(Level::Debug); }).join();
    EXPECT_EQ(Logger::get()->get_level(), Level::Debug);
}

TEST_F(LoggerTest, SinkMayLogAndChangeLevelFromItsOwnCall) {
    std::vector<std::string> seen;
    Logger::get()->set_callback(
        [&](Level, const std::string&, const std::string&, unsigned, const std::string&, const std::string& message) {
            seen.push_back(message);
            if (message == "outer") {
                Logger::get()->set_level(Logger::get()->get_level());
                Logger::get()->log(Level::Info, "Tavrin", "f", 1, "sink", "inner");
            }
        });
    log(Level::Info, "outer");
    EXPECT_EQ(seen, (std::vector<std::string>{"outer", "inner"}));
}

TEST_F(LoggerTest, SinkReplacedFromItsOwnCallLivesUntilItReturns) {
    auto probe = std::make_shared<int>(1);
    std::weak_ptr<int> watch = probe;
    std::vector<std::string> second;
    bool alive_after_replace = false;
    Logger::get()->set_callback(
        [&, probe](Level, const std::string&, const std::string&, unsigned, const std::string&, const std::string&) {
            Logger::get()->set_callback([&](Level, const std::string&, const std::string&, unsigned, const std::string&,
                                            const std::string& message) { second.push_back(message); });
            // Still running: our own captures must still be there.
            alive_after_replace = !watch.expired() && *probe == 1;
        });
    probe.reset();
    log(Level::Info, "first");
    EXPECT_TRUE(alive_after_replace);
    EXPECT_TRUE(watch.expired());
    log(Level::Info, "next");
    EXPECT_EQ(second, std::vector<std::string>{"next"});
}

// A small, trivially copyable sink lives inside std::function itself: the sink installed from inside
// it must not overwrite the captures of the one still running.
TEST_F(LoggerTest, SmallSinkReplacingItselfKeepsItsOwnCaptures) {
    static std::vector<int> seen;
    seen.clear();
    Logger::get()->set_callback(
        [id = 1](Level, const std::string&, const std::string&, unsigned, const std::string&, const std::string&) {
            Logger::get()->set_callback([id = 2](Level, const std::string&, const std::string&, unsigned,
                                                 const std::string&, const std::string&) { seen.push_back(id); });
            seen.push_back(id);
        });
    log(Level::Info, "first");
    log(Level::Info, "second");
    EXPECT_EQ(seen, (std::vector<int>{1, 2}));
}

TEST_F(LoggerTest, FileSinkAppendsAndClosesBetweenRecords) {
    TempDir dir;
    const fs::path path = dir.path / "log.txt";
    Logger::get()->log_default_file(path.string());
    Logger::get()->log(Level::Info, "Tavrin", "a.cpp", 1, "f", "one");
    EXPECT_FALSE(process_has_open(path));
    Logger::get()->log(Level::Error, "Tavrin", "a.cpp", 2, "g", "two");
    Logger::get()->log(Level::Debug, "Tavrin", "a.cpp", 3, "g", "dropped");
    EXPECT_EQ(read_lines(path),
              (std::vector<std::string>{"[INFO] Tavrin: a.cpp:1 in f: one", "[ERROR] Tavrin: a.cpp:2 in g: two"}));

    // Moved away between records: the next record starts a new file at the path.
    fs::rename(path, dir.path / "old.txt");
    Logger::get()->log(Level::Info, "Tavrin", "a.cpp", 4, "h", "three");
    EXPECT_EQ(read_lines(path), std::vector<std::string>{"[INFO] Tavrin: a.cpp:4 in h: three"});
    EXPECT_EQ(read_lines(dir.path / "old.txt").size(), 2u);

    // An unwritable path loses the line silently.
    Logger::get()->log_default_file((dir.path / "missing" / "log.txt").string());
    EXPECT_NO_THROW(Logger::get()->log(Level::Info, "Tavrin", "a.cpp", 5, "h", "lost"));
}

TEST_F(LoggerTest, GeneratedFileNameIsTimestampedInWorkingDirectory) {
    TempDir dir;
    const fs::path previous = fs::current_path();
    fs::current_path(dir.path);
    Logger::get()->log_default_file();
    Logger::get()->log(Level::Info, "Tavrin", "a.cpp", 1, "f", "hello");
    fs::current_path(previous);

    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(dir.path)) {
        files.push_back(entry.path());
    }
    ASSERT_EQ(files.size(), 1u);
    const std::string name = files[0].filename().string();
    EXPECT_TRUE(std::regex_match(name, std::regex(R"(tavrin_\d{4}-\d{2}-\d{2}_\d{2}-\d{2}-\d{2})"))) << name;
    EXPECT_EQ(read_lines(files[0]), std::vector<std::string>{"[INFO] Tavrin: a.cpp:1 in f: hello"});
}

TEST_F(LoggerTest, ForwardedRecordsGetPrefixedModule) {
    logfwd::receive(logfwd::level::Warning, "core", "x.cpp", 9, "run", "forwarded");
    logfwd::receive(logfwd::level::Verbose, "core", "x.cpp", 10, "run", "filtered");
    const auto got = records();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].level, Level::Warning);
    EXPECT_EQ(got[0].module, "Tavrin->core");
    EXPECT_EQ(got[0].file, "x.cpp");
    EXPECT_EQ(got[0].line, 9u);
    EXPECT_EQ(got[0].function, "run");
    EXPECT_EQ(got[0].message, "forwarded");
}

TEST_F(LoggerTest, RecordsFromSeveralThreadsNeverInterleave) {
    // The sink writes character by character with no lock of its own: only the logger keeps lines whole.
    std::string out;
    Logger::get()->set_callback([&out](Level, const std::string& module, const std::string&, unsigned line,
                                       const std::string&, const std::string& message) {
        const std::string text = module + ":" + std::to_string(line) + ":" + message + "\n";
        for (char c : text) {
            out.push_back(c);
            if (c == ':') {
                std::this_thread::yield();
            }
        }
    });
    constexpr int kThreads = 4;
    constexpr int kRecords = 300;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kRecords; ++i) {
                Logger::get()->log(Level::Info, "T" + std::to_string(t), "f", static_cast<unsigned>(i), "fn",
                                   std::string(20, static_cast<char>('a' + t)));
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    Logger::get()->log_default_stdout();

    std::istringstream lines(out);
    const std::regex shape(R"(T([0-3]):(\d+):([a-d])\3{19})");
    int count = 0;
    int next[kThreads] = {};
    for (std::string line; std::getline(lines, line); ++count) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, shape)) << line;
        const int t = std::stoi(m[1]);
        EXPECT_EQ(m[3].str()[0], 'a' + t);
        EXPECT_EQ(std::stoi(m[2]), next[t]++);  // each thread's records keep their order
    }
    EXPECT_EQ(count, kThreads * kRecords);
}

}  // namespace
