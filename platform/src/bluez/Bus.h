#pragma once
// What the BlueZ radio asks of the bus, and nothing more: asynchronous calls with a time limit, signal matches,
// and the poll data and dispatch its loop needs. sdbus-c++ stands behind it in production (SdbusBus.cpp); the
// radio's unit tests put a scripted bus behind it, so its state machines run without any daemon.
//
// Threads: a Bus is used by the radio's loop thread, and by a caller's thread only while it holds the loop's
// lock (the reads and writes sent while the loop waits). Reply and signal handlers run inside processPending().

#include <chrono>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "BluezObjects.h"

namespace platform::bluez {

/// A D-Bus error: its name ("org.bluez.Error.Failed") and message.
class BusError : public std::runtime_error {
  public:
    BusError(std::string name, const std::string& message) : std::runtime_error(message), name_(std::move(name)) {}
    const std::string& name() const { return name_; }
    std::string message() const { return what(); }

  private:
    std::string name_;
};

/// The arguments the radio's calls carry, written in order: a string, a byte array (ay), a dictionary (a{sv}),
/// or a write's options ({"type": type}, or {} without one).
struct ByteArray {
    std::string bytes;
};
struct WriteOptions {
    const char* type = nullptr;  // a literal: "request", "command"
};
struct ObjectPathArg {
    std::string path;
};
using BusArg = std::variant<std::string, ByteArray, PropMap, WriteOptions, ObjectPathArg>;

struct BusCall {
    std::string destination;
    std::string path;
    const char* interface = "";
    const char* method = "";
    std::vector<BusArg> args;
};

/// A received reply or signal, read front to back in the shapes bluetoothd sends. A read of the wrong shape
/// throws (sdbus::Error or BusError).
class BusMessage {
  public:
    virtual ~BusMessage() = default;
    virtual std::string sender() const = 0;
    virtual std::string path() const = 0;
    virtual std::string interface() const = 0;
    virtual std::string member() const = 0;

    virtual bool readBool() = 0;
    /// A string, valid while the message is.
    virtual const char* readText() = 0;
    virtual std::string readPath() = 0;
    virtual std::vector<std::string> readStrings() = 0;
    virtual void readBytes(std::string& out) = 0;
    virtual uint16_t readUint16() = 0;
    /// A unix descriptor the message carries (h), now the caller's to close.
    virtual int readUnixFd() = 0;
    virtual sdbus::Variant readVariant() = 0;
    virtual InterfaceMap readInterfaces() = 0;
    virtual std::map<sdbus::ObjectPath, InterfaceMap> readObjects() = 0;
    /// The rest of a PropertiesChanged after its interface name: the changed properties and invalidated names.
    virtual DeviceUpdate readDeviceUpdate() = 0;
    virtual CharacteristicUpdate readCharacteristicUpdate() = 0;
    virtual void readProperties(PropMap& changed, std::vector<std::string>& invalidated) = 0;
};

/// A method call made to an object the bus serves for the radio (its pairing agent). Its arguments are read
/// front to back; it is answered once, on the loop, or dropped unanswered with the bus.
class BusIncoming {
  public:
    virtual ~BusIncoming() = default;
    virtual std::string member() const = 0;
    virtual std::string sender() const = 0;
    virtual std::string readPath() = 0;
    virtual uint32_t readUint32() = 0;
    virtual uint16_t readUint16() = 0;
    virtual void reply() = 0;
    virtual void replyUint32(uint32_t value) = 0;
    virtual void replyError(const std::string& name, const std::string& message) = 0;
};
using MethodHandler = std::function<void(std::shared_ptr<BusIncoming> call)>;
/// A served method: its name, and its input and output signatures.
struct ServedMethod {
    const char* name;
    const char* in;
    const char* out;
};

/// A call's answer: exactly one of the two is set.
using ReplyHandler = std::function<void(BusMessage* reply, const BusError* error)>;
using SignalHandler = std::function<void(BusMessage& signal)>;

struct BusPollData {
    int fd = -1;
    short events = 0;
    int timeoutMs = -1;  // the bus's own next deadline (a call's time limit), -1 for none
};

class Bus {
  public:
    virtual ~Bus() = default;
    /// Sends the call; the handler runs from processPending() with its reply, its error, or a timeout
    /// (org.freedesktop.DBus.Error.NoReply). Throws BusError when it cannot be sent; the handler is then dropped.
    virtual void call(const BusCall& call, std::chrono::microseconds timeout, ReplyHandler handler) = 0;
    /// Signals matching the rule go to the handler for the bus's life.
    virtual void addMatch(const std::string& rule, SignalHandler handler) = 0;
    /// Forgets every call awaiting its reply: none of their handlers will run, even for a reply already read.
    virtual void dropCalls() = 0;
    virtual BusPollData pollData() = 0;
    /// Handles one incoming message or due timeout; false when there was none. Throws when the connection broke.
    virtual bool processPending() = 0;
    /// Serves `methods` of `interface` at `path`: calls go to `handler` from processPending(). Throws BusError
    /// when it cannot; a bus that serves nothing (the scripted one) keeps this default.
    virtual void serve(const std::string& path, const std::string& interface, const std::vector<ServedMethod>& methods,
                       MethodHandler handler) {
        (void)path, (void)interface, (void)methods, (void)handler;
        throw BusError("org.freedesktop.DBus.Error.NotSupported", "This bus serves no objects");
    }
    /// Stops serving `path`.
    virtual void unserve(const std::string& path) { (void)path; }
};

/// Opens the bus connection, blocking until the bus has answered; throws BusError when it cannot.
using BusConnector = std::function<std::shared_ptr<Bus>()>;

/// The system bus, or the one DBUS_SYSTEM_BUS_ADDRESS names, through sdbus-c++.
std::shared_ptr<Bus> connectSystemBus();

}  // namespace platform::bluez
