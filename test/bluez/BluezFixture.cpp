#include "BluezFixture.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace bluez_test {

namespace {

using Clock = std::chrono::steady_clock;

int remainingMs(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const Options& options) {
    // Everything the child needs is built before fork: between fork and exec only async-signal-safe calls.
    std::vector<std::string> args = argv;
    std::vector<char*> arg_pointers;
    for (std::string& a : args) {
        arg_pointers.push_back(a.data());
    }
    arg_pointers.push_back(nullptr);
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        env.emplace_back(*e);
    }
    env.insert(env.end(), options.extra_env.begin(), options.extra_env.end());
    std::vector<char*> env_pointers;
    for (std::string& e : env) {
        env_pointers.push_back(e.data());
    }
    env_pointers.push_back(nullptr);
    // execvpe's PATH search, done here.
    std::string program = args.front();
    if (program.find('/') == std::string::npos) {
        const char* path = std::getenv("PATH");
        std::string dirs = path ? path : "/usr/bin:/bin";
        size_t start = 0;
        while (start <= dirs.size()) {
            size_t end = dirs.find(':', start);
            if (end == std::string::npos) {
                end = dirs.size();
            }
            const std::string candidate = dirs.substr(start, end - start) + "/" + args.front();
            if (::access(candidate.c_str(), X_OK) == 0) {
                program = candidate;
                break;
            }
            start = end + 1;
        }
    }

    int out[2];
    int in[2] = {-1, -1};
    if (::pipe2(out, O_CLOEXEC) != 0 || (options.input && ::pipe2(in, O_CLOEXEC) != 0)) {
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    }
    const bool merge = options.merge_stderr;
    if (options.input) {
        // A child that ends before reading its input must not take the test down with it.
        ::signal(SIGPIPE, SIG_IGN);
    }
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) {
        const int err = errno;
        for (int fd : {out[0], out[1], in[0], in[1]}) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
        throw std::runtime_error(std::string("fork: ") + std::strerror(err));
    }
    if (pid == 0) {
        // The child dies with this process, so a crashed or killed test leaves nothing running.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) {
            ::_exit(127);
        }
        ::dup2(out[1], STDOUT_FILENO);
        if (merge) {
            ::dup2(out[1], STDERR_FILENO);
        }
        if (in[0] >= 0) {
            ::dup2(in[0], STDIN_FILENO);
        }
        ::execve(program.c_str(), arg_pointers.data(), env_pointers.data());
        ::_exit(127);
    }
    ::close(out[1]);
    if (in[0] >= 0) {
        ::close(in[0]);
        in_ = in[1];
    }
    pid_ = pid;
    out_ = out[0];
}

ChildProcess::~ChildProcess() {
    stop(SIGTERM);
    for (int fd : {out_, in_}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

bool ChildProcess::readUntil(const std::string& text, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    for (;;) {
        auto line = readLine(std::chrono::milliseconds(remainingMs(deadline)));
        if (!line) {
            return false;
        }
        transcript_ += *line + "\n";
        if (line->find(text) != std::string::npos) {
            return true;
        }
    }
}

void ChildProcess::writeLine(const std::string& line) {
    const std::string text = line + "\n";
    if (in_ < 0 || ::write(in_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        throw std::runtime_error("cannot write to the child's input");
    }
}

std::optional<std::string> ChildProcess::readLine(std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    for (;;) {
        const size_t end = buffer_.find('\n');
        if (end != std::string::npos) {
            std::string line = buffer_.substr(0, end);
            buffer_.erase(0, end + 1);
            return line;
        }
        if (out_ < 0) {
            return std::nullopt;
        }
        pollfd fd{out_, POLLIN, 0};
        const int ready = ::poll(&fd, 1, remainingMs(deadline));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return std::nullopt;
        }
        char chunk[4096];
        const ssize_t n = ::read(out_, chunk, sizeof chunk);
        if (n > 0) {
            buffer_.append(chunk, static_cast<size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            ::close(out_);
            out_ = -1;
        }
    }
}

bool ChildProcess::reap(bool block) {
    if (reaped_) {
        return true;
    }
    int status = 0;
    pid_t r;
    do {
        r = ::waitpid(pid_, &status, block ? 0 : WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r == pid_ || (r < 0 && errno == ECHILD)) {
        reaped_ = true;
        status_ = r == pid_ && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    return reaped_;
}

std::optional<int> ChildProcess::waitExit(std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (!reap(false)) {
        if (Clock::now() >= deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return status_;
}

int ChildProcess::stop(int signal, std::chrono::milliseconds limit) {
    if (pid_ <= 0 || reap(false)) {
        return status_;
    }
    ::kill(pid_, signal);
    if (!waitExit(limit)) {
        ::kill(pid_, SIGKILL);
        reap(true);
    }
    return status_;
}

PrivateBus::PrivateBus() {
    daemon_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"dbus-daemon", "--session", "--print-address", "--nofork", "--nopidfile"});
    auto line = daemon_->readLine(std::chrono::seconds(5));
    if (!line || line->empty()) {
        throw std::runtime_error("dbus-daemon gave no bus address within 5 s");
    }
    address_ = *line;
}

namespace {

std::mutex g_addresses_mutex;
std::map<std::string, std::string> g_addresses;  // world address -> real one; guarded by g_addresses_mutex

std::string upper(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return text;
}

std::vector<std::string> serverCommand(const std::string& world_file, const std::string& bus_address) {
    if (onRealStack()) {
        const char* server = std::getenv("TAVRIN_WORLD_SERVER");
        return {server ? server : "tavrin-world-server", "--world", world_file};
    }
    return {simulatorPath(), "--world", world_file, "--bus", bus_address};
}

}  // namespace

bool onRealStack() {
    const char* guest = std::getenv("TAVRIN_TESTBED_GUEST");
    return guest && *guest;
}

std::string realStackBus() {
    return "unix:path=/run/dbus/system_bus_socket";
}

void restartRealStack() {
    const char* stack = std::getenv("TAVRIN_TESTBED_STACK");
    if (!stack) {
        throw std::runtime_error("TAVRIN_TESTBED_STACK is not set: not in the testbed's guest");
    }
    ChildProcess restart({stack, "restart"}, ChildProcess::Options{{}, false, true});
    const auto status = restart.waitExit(std::chrono::seconds(60));
    if (status != 0) {
        std::string said;
        while (auto line = restart.readLine(std::chrono::seconds(1))) {
            said += " " + *line;
        }
        throw std::runtime_error("the real stack did not restart:" + said);
    }
}

std::string deviceAddress(const std::string& world_address) {
    const std::string key = upper(world_address);
    std::lock_guard<std::mutex> lock(g_addresses_mutex);
    const auto it = g_addresses.find(key);
    return it == g_addresses.end() ? key : it->second;
}

std::string realStackAddress(const std::string& world_file, const std::string& identifier) {
    std::ifstream in(world_file);
    const auto world = nlohmann::json::parse(in, nullptr, false);
    if (world.is_discarded() || !world.contains("peripherals")) {
        throw std::runtime_error("cannot read the devices of " + world_file);
    }
    const auto& devices = world.at("peripherals");
    for (std::size_t i = 0; i < devices.size(); ++i) {
        if (upper(devices[i].value("identifier", "")) == upper(identifier)) {
            // btvirt's controller n has the address 00:AA:01:nn:00:nn.
            char text[18];
            std::snprintf(text, sizeof text, "00:AA:01:%02X:00:%02X", static_cast<unsigned>(i + 1),
                          static_cast<unsigned>(i + 1));
            return text;
        }
    }
    throw std::runtime_error(world_file + " has no device " + identifier);
}

SimulatorProcess::SimulatorProcess(const std::string& world_file, const std::string& bus_address,
                                   std::chrono::milliseconds ready_limit)
    : process_(serverCommand(world_file, bus_address)) {
    const auto deadline = Clock::now() + ready_limit;
    std::map<std::string, std::string> addresses;
    for (;;) {
        auto line = process_.readLine(std::chrono::milliseconds(remainingMs(deadline)));
        if (line && *line == "ready") {
            std::lock_guard<std::mutex> lock(g_addresses_mutex);
            g_addresses = std::move(addresses);
            return;
        }
        if (line && line->rfind("device ", 0) == 0) {
            // device IDENTIFIER WORLD-ADDRESS REAL-ADDRESS hciN
            std::istringstream fields(*line);
            std::string word, identifier, world_address, real_address;
            fields >> word >> identifier >> world_address >> real_address;
            addresses[upper(world_address)] = upper(real_address);
            continue;
        }
        if (!line) {
            process_.stop(SIGKILL);
            throw std::runtime_error(serverCommand(world_file, bus_address).front() + " did not report ready within " +
                                     std::to_string(ready_limit.count()) + " ms");
        }
    }
}

std::string simulatorPath() {
    return TAVRIN_BLUEZ_SIM_PATH;
}

std::string worldPath(const std::string& name) {
    return std::string(TAVRIN_TEST_WORLDS_DIR) + "/" + name;
}

void BluezFixture::SetUp() {
    if (const char* saved = std::getenv("DBUS_SYSTEM_BUS_ADDRESS")) {
        saved_system_bus_ = saved;
    }
    if (onRealStack()) {
        restartRealStack();
        bus_address_ = realStackBus();
    } else {
        bus_ = std::make_unique<PrivateBus>();
        bus_address_ = bus_->address();
    }
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", bus_address_.c_str(), 1);
}

void BluezFixture::TearDown() {
    simulator_.reset();
    bus_.reset();
    for (const std::string& file : temp_files_) {
        std::remove(file.c_str());
    }
    if (saved_system_bus_) {
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", saved_system_bus_->c_str(), 1);
    } else {
        ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    }
}

SimulatorProcess& BluezFixture::startSimulator(const std::string& world_file) {
    simulator_.reset();
    simulator_ = std::make_unique<SimulatorProcess>(world_file, bus_address_);
    return *simulator_;
}

void BluezFixture::stopSimulator() {
    simulator_.reset();
}

std::string BluezFixture::writeWorld(const std::string& json) {
    std::string path = "/tmp/tavrin-bluez-world-XXXXXX.json";
    const int fd = ::mkstemps(path.data(), 5);
    if (fd < 0) {
        throw std::runtime_error(std::string("mkstemps: ") + std::strerror(errno));
    }
    ::close(fd);
    temp_files_.push_back(path);
    std::ofstream(path) << json;
    return path;
}

}  // namespace bluez_test
