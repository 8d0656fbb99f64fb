#pragma once
// A scripted bus behind the BlueZ radio's bus interface: it records the calls the radio makes, and the test
// answers them, fails them or lets them time out, and sends bluetoothd's signals. Everything the test hands it is
// delivered on the radio's loop, as a real bus's messages are, one per processPending().

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "bluez/Bus.h"

namespace bluez_test {

using platform::bluez::BusArg;
using platform::bluez::InterfaceMap;
using platform::bluez::PropMap;

// A message the test writes: its header and its arguments, each as a variant holding the argument's value.
class FakeMessage final : public platform::bluez::BusMessage {
  public:
    FakeMessage(std::string sender, std::string path, std::string interface, std::string member,
                std::vector<sdbus::Variant> args);

    std::string sender() const override { return sender_; }
    std::string path() const override { return path_; }
    std::string interface() const override { return interface_; }
    std::string member() const override { return member_; }
    bool readBool() override;
    const char* readText() override;
    std::string readPath() override;
    std::vector<std::string> readStrings() override;
    void readBytes(std::string& out) override;
    uint16_t readUint16() override;
    // The test's descriptor is an int32 argument, handed over to the reader (the test lets go of it).
    int readUnixFd() override;
    sdbus::Variant readVariant() override;
    InterfaceMap readInterfaces() override;
    std::map<sdbus::ObjectPath, InterfaceMap> readObjects() override;
    platform::bluez::DeviceUpdate readDeviceUpdate() override;
    platform::bluez::CharacteristicUpdate readCharacteristicUpdate() override;
    void readProperties(PropMap& changed, std::vector<std::string>& invalidated) override;

  private:
    const sdbus::Variant& next();

    std::string sender_, path_, interface_, member_;
    std::vector<sdbus::Variant> args_;
    std::size_t next_ = 0;
    std::deque<std::string> texts_;  // what readText() lent
};

// A call bluetoothd makes to an object the radio serves (its agent): the test writes its arguments and waits
// for the radio's answer.
class FakeIncoming final : public platform::bluez::BusIncoming {
  public:
    FakeIncoming(std::string sender, std::string member, std::vector<sdbus::Variant> args);

    // The answer, once given: "" for an empty reply, "u <n>" for a number, else the error's name.
    std::optional<std::string> waitAnswer(std::chrono::milliseconds limit = std::chrono::seconds(3));

    std::string member() const override { return member_; }
    std::string sender() const override { return sender_; }
    std::string readPath() override;
    uint32_t readUint32() override;
    uint16_t readUint16() override;
    void reply() override;
    void replyUint32(uint32_t value) override;
    void replyError(const std::string& name, const std::string& message) override;

  private:
    const sdbus::Variant& next();
    void answer(std::string text);

    const std::string sender_;
    const std::string member_;
    const std::vector<sdbus::Variant> args_;
    std::size_t next_ = 0;  // read on the radio's loop only
    std::mutex mutex_;      // guards answer_
    std::condition_variable answered_;
    std::optional<std::string> answer_;
};

class FakeBus final : public platform::bluez::Bus {
  public:
    // bluetoothd's unique name on this bus.
    static constexpr const char* kOwner = ":1.7";

    struct Call {
        uint64_t id = 0;
        std::string path;
        std::string interface;
        std::string method;
        std::vector<BusArg> args;
    };

    FakeBus();
    ~FakeBus() override;

    // ---- The test's side ----
    // Waits for the next unanswered call of `method` (any with "") not taken before; nullopt after `limit`.
    std::optional<Call> take(const std::string& method, std::chrono::milliseconds limit = std::chrono::seconds(3));
    // How many calls of `method` the radio has made so far.
    std::size_t count(const std::string& method);
    void reply(uint64_t call, std::vector<sdbus::Variant> args = {});
    void fail(uint64_t call, const std::string& name, const std::string& message);
    void signal(const std::string& sender, const std::string& path, const std::string& interface,
                const std::string& member, std::vector<sdbus::Variant> args);
    // The bus daemon goes away: the radio's next look at the bus fails, and the matches it made are gone.
    void breakConnection();
    // bluetoothd (or another `sender`) calls `member` of the object the radio serves at `path`; null when nothing
    // is served there.
    std::shared_ptr<FakeIncoming> ask(const std::string& path, const std::string& member,
                                      std::vector<sdbus::Variant> args, const std::string& sender = kOwner);
    // bluetoothd's PropertiesChanged, from its owner.
    void propertiesChanged(const std::string& path, const std::string& interface, PropMap changed,
                           std::vector<std::string> invalidated = {});

    // ---- The radio's side ----
    void call(const platform::bluez::BusCall& call, std::chrono::microseconds timeout,
              platform::bluez::ReplyHandler handler) override;
    void addMatch(const std::string& rule, platform::bluez::SignalHandler handler) override;
    void dropCalls() override;
    platform::bluez::BusPollData pollData() override;
    bool processPending() override;
    void serve(const std::string& path, const std::string& interface,
               const std::vector<platform::bluez::ServedMethod>& methods,
               platform::bluez::MethodHandler handler) override;
    void unserve(const std::string& path) override;

  private:
    struct Match {
        std::map<std::string, std::string> keys;  // the rule's key='value' pairs
        platform::bluez::SignalHandler handler;
    };
    void deliver(std::function<void()> delivery);

    int fd_ = -1;       // readable while deliveries wait
    std::mutex mutex_;  // guards everything below
    std::condition_variable called_;
    uint64_t nextCall_ = 0;
    std::vector<Call> calls_;                                    // every call, in order
    std::map<uint64_t, platform::bluez::ReplyHandler> pending_;  // unanswered, not dropped
    std::vector<uint64_t> taken_;
    std::vector<Match> matches_;
    std::deque<std::function<void()>> deliveries_;
    std::map<std::string, platform::bluez::MethodHandler> served_;  // by path
};

/// bluetoothd's objects as GetManagedObjects lists them: one powered adapter hci0, and what a test adds.
struct FakeObjects {
    std::map<sdbus::ObjectPath, InterfaceMap> objects;

    FakeObjects();
    // A device known to bluetoothd, not connected; returns its path.
    std::string device(const std::string& address);
    // A service at `handle` with one notifying characteristic at handle + 1; returns the characteristic's path.
    std::string service(const std::string& device, uint16_t handle, const std::string& uuid,
                        const std::string& characteristicUuid);
    sdbus::Variant variant() const { return sdbus::Variant(objects); }
};

}  // namespace bluez_test
