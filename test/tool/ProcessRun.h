#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace tooltest {

struct ProcessResult {
    std::string out;
    std::string err;
    int exit_status = -1;  // -1 when the process did not exit normally
    bool timed_out = false;
};

/// Runs `path` with `args`, standard input from `input` (empty: at end at once), and both output
/// streams captured separately. `world` sets TAVRIN_SIM_WORLD (a path, or "default" for the built-in world);
/// no value leaves it unset, so the process uses the system's radio. A process still running after `limit` is
/// killed. `extra_env` entries ("NAME=value") are set for the process on top of this one's environment.
ProcessResult runProcess(const std::string& path, const std::vector<std::string>& args,
                         const std::optional<std::string>& world, const std::string& input = {},
                         std::chrono::milliseconds limit = std::chrono::seconds(60),
                         const std::vector<std::string>& extra_env = {});

std::vector<std::string> splitLines(const std::string& text);

/// Platform console lines ("<date> <time> <process>[pid:tid] text") apart from the program's own lines.
bool isConsoleLine(const std::string& line);
std::vector<std::string> ownLines(const std::string& text);
std::vector<std::string> consoleLines(const std::string& text);

}  // namespace tooltest
