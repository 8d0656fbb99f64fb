#include "ProcessRun.h"

#include <algorithm>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <regex>
#include <stdexcept>

extern char** environ;

namespace tooltest {

namespace {

void check(int rc, const char* what) {
    if (rc != 0) {
        throw std::runtime_error(std::string(what) + ": " + std::strerror(rc == -1 ? errno : rc));
    }
}

}  // namespace

ProcessResult runProcess(const std::string& path, const std::vector<std::string>& args,
                         const std::optional<std::string>& world, const std::string& input,
                         std::chrono::milliseconds limit, const std::vector<std::string>& extra_env) {
    int in_pipe[2];
    int out_pipe[2];
    int err_pipe[2];
    check(::pipe2(in_pipe, O_CLOEXEC), "pipe");
    check(::pipe2(out_pipe, O_CLOEXEC), "pipe");
    check(::pipe2(err_pipe, O_CLOEXEC), "pipe");

    posix_spawn_file_actions_t actions;
    check(posix_spawn_file_actions_init(&actions), "file actions");
    check(posix_spawn_file_actions_adddup2(&actions, in_pipe[0], STDIN_FILENO), "dup2");
    check(posix_spawn_file_actions_adddup2(&actions, out_pipe[1], STDOUT_FILENO), "dup2");
    check(posix_spawn_file_actions_adddup2(&actions, err_pipe[1], STDERR_FILENO), "dup2");

    std::vector<std::string> added = extra_env;
    if (world) {
        added.push_back("TAVRIN_SIM_WORLD=" + *world);
    }
    // The inherited environment without TAVRIN_SIM_WORLD and without what `added` sets.
    const auto replaced = [&](const char* entry) {
        if (std::strncmp(entry, "TAVRIN_SIM_WORLD=", 17) == 0) {
            return true;
        }
        return std::any_of(added.begin(), added.end(), [&](const std::string& item) {
            const auto name = item.substr(0, item.find('=') + 1);
            return std::strncmp(entry, name.c_str(), name.size()) == 0;
        });
    };
    std::vector<std::string> env;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (!replaced(*entry)) {
            env.emplace_back(*entry);
        }
    }
    env.insert(env.end(), added.begin(), added.end());
    std::vector<char*> envp;
    for (std::string& entry : env) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);

    std::vector<std::string> argv_text{path};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : argv_text) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);

    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(in_pipe[0]);
    ::close(out_pipe[1]);
    ::close(err_pipe[1]);
    check(spawned, "posix_spawn");

    // A child that ends before reading its input must not take this process down with it.
    ::signal(SIGPIPE, SIG_IGN);
    // The scripted input is small enough for the pipe's buffer; closing it gives the end of input.
    if (!input.empty()) {
        const ssize_t written = ::write(in_pipe[1], input.data(), input.size());
        (void)written;
    }
    ::close(in_pipe[1]);

    ProcessResult result;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open_count = 2;
    while (open_count > 0) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            result.timed_out = true;
            ::kill(pid, SIGKILL);
            break;
        }
        const int ready = ::poll(fds, 2, static_cast<int>(left.count()));
        if (ready < 0 && errno != EINTR) {
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd >= 0 && (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
                char buffer[4096];
                const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
                if (n > 0) {
                    sinks[i]->append(buffer, static_cast<std::size_t>(n));
                } else if (n == 0 || errno != EINTR) {
                    ::close(fds[i].fd);
                    fds[i].fd = -1;  // poll ignores it from now on
                    --open_count;
                }
            }
        }
    }
    for (pollfd& fd : fds) {
        if (fd.fd >= 0) {
            ::close(fd.fd);
        }
    }

    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) {
        result.exit_status = WEXITSTATUS(status);
    }
    return result;
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

bool isConsoleLine(const std::string& line) {
    static const std::regex console(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} \S+\[\d+:\d+\] )");
    return std::regex_search(line, console);
}

std::vector<std::string> ownLines(const std::string& text) {
    std::vector<std::string> lines;
    for (std::string& line : splitLines(text)) {
        if (!isConsoleLine(line)) {
            lines.push_back(std::move(line));
        }
    }
    return lines;
}

std::vector<std::string> consoleLines(const std::string& text) {
    std::vector<std::string> lines;
    for (std::string& line : splitLines(text)) {
        if (isConsoleLine(line)) {
            lines.push_back(std::move(line));
        }
    }
    return lines;
}

}  // namespace tooltest
