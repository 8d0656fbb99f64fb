#pragma once
// A D-Bus client for tests of the simulator: calls and the signals of org.bluez land in one log, in the order
// the bus delivered them, so a test can check what came before a reply and what after. Single-threaded: the
// connection is processed only while the test waits.

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <sdbus-c++/sdbus-c++.h>

namespace bluez_test {

struct BusEvent {
    enum class Kind { Changed, Added, Removed, Reply };
    Kind kind = Kind::Changed;
    std::string path;
    std::string iface;                         // Changed: the interface; Added: the org.bluez one; Reply: method
    std::map<std::string, std::string> props;  // Changed/Added: name -> value as text (see describe); Reply: results
    std::vector<std::string> names;            // Changed: invalidated; Added/Removed: interfaces
    std::string error;                         // Reply: the error name, empty on success
    std::string message;                       // Reply: the error message
    uint64_t call = 0;                         // Reply: the call it answers
};

/// A value as text: booleans "true"/"false", numbers in decimal, strings and paths as they are, bytes in hex,
/// arrays joined with ",", dictionaries as "key=value" joined with "," (numeric keys in 4-digit hex).
std::string describe(const sdbus::Variant& value);
std::string hex(const std::vector<uint8_t>& bytes);

class BusClient {
  public:
    using Args = std::function<void(sdbus::MethodCall&)>;
    /// Reads a successful reply into the event's `props`.
    using Results = std::function<void(sdbus::MethodReply&, BusEvent&)>;

    explicit BusClient(const std::string& address);

    /// Sends a call to org.bluez; its reply becomes an event. Returns the call's number.
    uint64_t send(const std::string& path, const std::string& iface, const std::string& method, const Args& args = {},
                  Results results = {});
    /// Waits (5 s at most) for the reply to `call`; a missing reply fails the test and gives an empty event.
    BusEvent reply(uint64_t call);
    /// send, then reply.
    BusEvent call(const std::string& path, const std::string& iface, const std::string& method, const Args& args = {},
                  Results results = {});
    /// Properties.Set.
    BusEvent set(const std::string& path, const std::string& iface, const std::string& name,
                 const sdbus::Variant& value);

    /// The index of the first event at or after `from` that `match` accepts, waiting up to `limit` for it.
    std::optional<size_t> waitFor(const std::function<bool(const BusEvent&)>& match, size_t from = 0,
                                  std::chrono::milliseconds limit = std::chrono::seconds(5));
    /// Processes what has arrived within `limit`, without waiting for anything in particular.
    void settle(std::chrono::milliseconds limit);
    const std::vector<BusEvent>& events() const { return events_; }
    /// The index of the reply to `call` in events().
    std::optional<size_t> indexOfReply(uint64_t call) const;
    std::string uniqueName() const { return connection_->getUniqueName(); }
    /// The client's connection, to serve objects on it (an agent); what it serves is called while the client
    /// waits.
    sdbus::IConnection& connection() { return *connection_; }
    /// Sends bluetoothd (org.bluez's owner) alone a NameOwnerChanged saying `name` left the bus: a forgery, since
    /// only the bus may say so.
    void forgeNameLost(const std::string& name);

  private:
    void record(sdbus::Message& message);
    bool pump(std::chrono::milliseconds limit);
    sdbus::IProxy& proxy(const std::string& path);

    std::unique_ptr<sdbus::IConnection> connection_;
    std::map<std::string, std::unique_ptr<sdbus::IProxy>> proxies_;
    std::vector<BusEvent> events_;
    uint64_t next_call_ = 0;
};

/// Matchers for waitFor.
std::function<bool(const BusEvent&)> changed(const std::string& path, const std::string& prop,
                                             const std::optional<std::string>& value = std::nullopt);
std::function<bool(const BusEvent&)> added(const std::string& path);
std::function<bool(const BusEvent&)> invalidated(const std::string& path, const std::string& prop);

}  // namespace bluez_test
