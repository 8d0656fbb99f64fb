#pragma once
// A private message bus with tavrin-bluez-sim on it, for tests of anything that speaks to bluetoothd.
//
// Every process is started by this process and stopped by its process id: by the destructors (so also when
// a test fails or throws), and by the kernel if this process dies first (the children are started with a
// parent-death signal, which the kernel sends when the thread that started them ends: start them from a
// thread that lives as long as they should). Every wait has a bound.

#include <sys/types.h>

#include <csignal>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace bluez_test {

/// A child process whose standard output is read through a pipe, line by line. Standard error is inherited
/// (so what the child says there shows in the test's output) unless it is merged into standard output.
class ChildProcess {
  public:
    struct Options {
        std::vector<std::string> extra_env;  // "NAME=value" entries added to this process's environment
        bool input = false;                  // standard input from writeLine(); else it is inherited
        bool merge_stderr = false;           // standard error into the same pipe as standard output
    };
    /// Starts `argv[0]` (a path, or a name looked up in PATH) with `argv`. Throws std::runtime_error when it
    /// cannot be started.
    explicit ChildProcess(const std::vector<std::string>& argv, const Options& options);
    explicit ChildProcess(const std::vector<std::string>& argv) : ChildProcess(argv, Options{}) {}
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    /// The next line of standard output (without its newline), or nothing when the output ends or `limit`
    /// passes first.
    std::optional<std::string> readLine(std::chrono::milliseconds limit);
    /// Reads lines until one contains `text`; false when the output ends or `limit` passes first. Every line
    /// read is kept in `transcript()`.
    bool readUntil(const std::string& text, std::chrono::milliseconds limit);
    const std::string& transcript() const { return transcript_; }
    /// Writes `line` and a newline to the child's standard input (Options::input).
    void writeLine(const std::string& line);
    /// Sends `signal` and waits up to `limit` for the exit; a child still running then is killed. Returns the
    /// exit status, or -1 when the child did not exit normally. Later calls return the first result.
    int stop(int signal, std::chrono::milliseconds limit = std::chrono::seconds(5));
    /// Waits up to `limit` for the child to exit by itself; nothing when it still runs.
    std::optional<int> waitExit(std::chrono::milliseconds limit);
    bool running() const { return !reaped_; }

  private:
    bool reap(bool block);

    pid_t pid_ = -1;
    int out_ = -1;
    int in_ = -1;
    std::string buffer_;
    std::string transcript_;
    bool reaped_ = false;
    int status_ = -1;
};

/// A private bus: `dbus-daemon --session --print-address --nofork`.
class PrivateBus {
  public:
    /// Throws std::runtime_error when the daemon does not give its address within 5 s.
    PrivateBus();
    const std::string& address() const { return address_; }
    pid_t pid() const { return daemon_->pid(); }

  private:
    std::unique_ptr<ChildProcess> daemon_;
    std::string address_;
};

/// True inside the testbed's guest (tavrin-testbed): the real bluetoothd runs on the system bus, and a world is
/// served by tavrin-world-server, each device from a controller of its own.
bool onRealStack();
/// The system bus of the testbed's guest.
std::string realStackBus();
/// Makes the real bluetoothd start afresh, remembering nothing (devices, bonds), every adapter powered. Throws
/// std::runtime_error when the stack does not come back.
void restartRealStack();
/// The address a device of the world served last goes by, given the address the world gives it: on the real stack
/// its controller's, elsewhere the world's own (either case in, upper case out).
std::string deviceAddress(const std::string& world_address);
/// The address the world server gives a device of `world_file`, known before it runs: the address of the
/// controller that serves it (device i of the file from hci(i+1)). Throws std::runtime_error for an identifier the
/// file lacks.
std::string realStackAddress(const std::string& world_file, const std::string& identifier);

/// A world served on a bus: tavrin-bluez-sim, or on the real stack tavrin-world-server (whose device lines give
/// deviceAddress its answers).
class SimulatorProcess {
  public:
    /// Starts it and waits up to `ready_limit` for its `ready` line. Throws std::runtime_error when it exits
    /// or stays silent instead.
    SimulatorProcess(const std::string& world_file, const std::string& bus_address,
                     std::chrono::milliseconds ready_limit = std::chrono::seconds(30));
    pid_t pid() const { return process_.pid(); }
    /// SIGTERM, as a service manager stops bluetoothd; returns the exit status.
    int stop() { return process_.stop(SIGTERM); }
    /// SIGKILL: bluetoothd dies without a word.
    void kill() { process_.stop(SIGKILL); }

  private:
    ChildProcess process_;
};

/// The simulator program this build made.
std::string simulatorPath();
/// A world file of test/worlds by name ("plug_only.json").
std::string worldPath(const std::string& name);

/// A test with a private bus, exported as DBUS_SYSTEM_BUS_ADDRESS for the code under test; `startSimulator`
/// puts tavrin-bluez-sim on it. Both stop when the test ends, however it ends. On the real stack the bus is the
/// system's, bluetoothd starts afresh for each test and `startSimulator` starts the world server.
class BluezFixture : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    /// Starts the simulator on the bus with a world file (a path; see worldPath and writeWorld).
    SimulatorProcess& startSimulator(const std::string& world_file);
    /// Writes `json` to a temporary world file, removed when the test ends; returns its path.
    std::string writeWorld(const std::string& json);

    const std::string& busAddress() const { return bus_address_; }
    SimulatorProcess* simulator() { return simulator_.get(); }
    /// Stops (SIGTERM) and forgets the simulator, if one runs.
    void stopSimulator();

    std::unique_ptr<PrivateBus> bus_;  // none on the real stack, whose bus is the system's
    std::string bus_address_;
    std::unique_ptr<SimulatorProcess> simulator_;
    std::vector<std::string> temp_files_;
    std::optional<std::string> saved_system_bus_;
};

}  // namespace bluez_test
