// The bus through sdbus-c++: one connection, a proxy per destination and path, and the matches. Messages are
// read in place, without copying their bodies into variants first.

#include <fcntl.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Bus.h"

namespace platform::bluez {

namespace {

class SdbusMessage final : public BusMessage {
  public:
    explicit SdbusMessage(sdbus::Message& message) : message_(message) {}

    std::string sender() const override { return message_.getSender(); }
    std::string path() const override { return message_.getPath(); }
    std::string interface() const override { return message_.getInterfaceName(); }
    std::string member() const override { return message_.getMemberName(); }

    bool readBool() override {
        bool value = false;
        message_ >> value;
        return value;
    }
    const char* readText() override {
        char* text = nullptr;
        message_ >> text;
        if (!text) {
            throw BusError("org.freedesktop.DBus.Error.InvalidSignature", "a string was expected");
        }
        return text;
    }
    std::string readPath() override {
        sdbus::ObjectPath path;
        message_ >> path;
        return std::move(path);
    }
    std::vector<std::string> readStrings() override {
        std::vector<std::string> strings;
        message_ >> strings;
        return strings;
    }
    void readBytes(std::string& out) override { bluez::readBytes(message_, out); }
    uint16_t readUint16() override {
        uint16_t value = 0;
        message_ >> value;
        return value;
    }
    int readUnixFd() override {
        // The message keeps its own descriptor; the one read is a duplicate, handed over.
        sdbus::UnixFd fd;
        message_ >> fd;
        const int owned = fd.release();
        // The duplicate is not close-on-exec: a child the program starts must not keep bluetoothd's socket open.
        ::fcntl(owned, F_SETFD, FD_CLOEXEC);
        return owned;
    }
    sdbus::Variant readVariant() override {
        sdbus::Variant value;
        message_ >> value;
        return value;
    }
    InterfaceMap readInterfaces() override {
        InterfaceMap interfaces;
        message_ >> interfaces;
        return interfaces;
    }
    std::map<sdbus::ObjectPath, InterfaceMap> readObjects() override {
        std::map<sdbus::ObjectPath, InterfaceMap> objects;
        message_ >> objects;
        return objects;
    }
    DeviceUpdate readDeviceUpdate() override { return bluez::readDeviceUpdate(message_); }
    CharacteristicUpdate readCharacteristicUpdate() override { return bluez::readCharacteristicUpdate(message_); }
    void readProperties(PropMap& changed, std::vector<std::string>& invalidated) override {
        message_ >> changed >> invalidated;
    }

  private:
    sdbus::Message& message_;
};

void write(sdbus::MethodCall& m, const BusArg& arg) {
    if (const auto* text = std::get_if<std::string>(&arg)) {
        m << *text;
    } else if (const auto* array = std::get_if<ByteArray>(&arg)) {
        m.openContainer("y");
        for (const char byte : array->bytes) {
            m << static_cast<uint8_t>(byte);
        }
        m.closeContainer();
    } else if (const auto* dict = std::get_if<PropMap>(&arg)) {
        m << *dict;
    } else if (const auto* object = std::get_if<ObjectPathArg>(&arg)) {
        m << sdbus::ObjectPath(object->path);
    } else if (const auto* options = std::get_if<WriteOptions>(&arg)) {
        // Written in place: {"type": <type>} or {}.
        m.openContainer("{sv}");
        if (options->type) {
            m.openDictEntry("sv");
            m << "type";
            m.openVariant("s");
            m << options->type;
            m.closeVariant();
            m.closeDictEntry();
        }
        m.closeContainer();
    }
}

class SdbusIncoming final : public BusIncoming {
  public:
    explicit SdbusIncoming(sdbus::MethodCall call) : call_(std::move(call)) {}
    std::string member() const override { return call_.getMemberName(); }
    std::string sender() const override { return call_.getSender(); }
    std::string readPath() override {
        sdbus::ObjectPath path;
        call_ >> path;
        return path;
    }
    uint32_t readUint32() override {
        uint32_t value = 0;
        call_ >> value;
        return value;
    }
    uint16_t readUint16() override {
        uint16_t value = 0;
        call_ >> value;
        return value;
    }
    void reply() override { send(call_.createReply()); }
    void replyUint32(uint32_t value) override {
        auto reply = call_.createReply();
        reply << value;
        send(reply);
    }
    void replyError(const std::string& name, const std::string& message) override {
        send(call_.createErrorReply(sdbus::Error(name, message)));
    }

  private:
    void send(sdbus::MethodReply reply) {
        if (call_.doesntExpectReply()) {
            return;  // a call sent without wanting one (DisplayPasskey): the bus would refuse it
        }
        try {
            reply.send();
        } catch (const sdbus::Error&) {
            // The caller is gone.
        }
    }
    sdbus::MethodCall call_;
};

class SdbusBus final : public Bus {
  public:
    explicit SdbusBus(std::unique_ptr<sdbus::IConnection> connection) : connection_(std::move(connection)) {}

    // Matches and proxies go before the connection they use.
    ~SdbusBus() override {
        objects_.clear();
        matches_.clear();
        proxies_.clear();
        graveyard_.clear();
    }

    void call(const BusCall& call, std::chrono::microseconds timeout, ReplyHandler handler) override {
        try {
            auto& proxy = proxyFor(call.destination, call.path);
            auto message = proxy.createMethodCall(call.interface, call.method);
            for (const auto& arg : call.args) {
                write(message, arg);
            }
            proxy.callMethod(
                message,
                [this, handler = std::move(handler), generation = generation_](sdbus::MethodReply& reply,
                                                                               const sdbus::Error* error) {
                    if (generation != generation_) {
                        return;  // dropped
                    }
                    if (error) {
                        const BusError failure(error->getName(), error->getMessage());
                        handler(nullptr, &failure);
                    } else {
                        SdbusMessage read(reply);
                        handler(&read, nullptr);
                    }
                },
                timeout);
        } catch (const sdbus::Error& e) {
            throw BusError(e.getName(), e.getMessage());
        }
    }

    void addMatch(const std::string& rule, SignalHandler handler) override {
        try {
            matches_.push_back(connection_->addMatch(rule, [handler = std::move(handler)](sdbus::Message& m) {
                SdbusMessage read(m);
                handler(read);
            }));
        } catch (const sdbus::Error& e) {
            throw BusError(e.getName(), e.getMessage());
        }
    }

    // A proxy's pending calls go with it; it may be the one whose callback runs now, so it is destroyed only
    // once the dispatch is over. A reply it still hands over meanwhile is of an earlier generation.
    void dropCalls() override {
        ++generation_;
        for (auto& [key, proxy] : proxies_) {
            graveyard_.push_back(std::move(proxy));
        }
        proxies_.clear();
    }

    BusPollData pollData() override {
        const auto data = connection_->getEventLoopPollData();
        return BusPollData{data.fd, static_cast<short>(data.events), data.getPollTimeout()};
    }

    void serve(const std::string& path, const std::string& interface, const std::vector<ServedMethod>& methods,
               MethodHandler handler) override {
        try {
            auto object = sdbus::createObject(*connection_, path);
            for (const auto& method : methods) {
                object->registerMethod(
                    interface, method.name, method.in, method.out,
                    [handler](sdbus::MethodCall call) { handler(std::make_shared<SdbusIncoming>(std::move(call))); });
            }
            object->finishRegistration();
            objects_[path] = std::move(object);
        } catch (const sdbus::Error& e) {
            throw BusError(e.getName(), e.getMessage());
        }
    }

    void unserve(const std::string& path) override { objects_.erase(path); }

    bool processPending() override {
        graveyard_.clear();  // no callback runs now
        return connection_->processPendingRequest();
    }

  private:
    sdbus::IProxy& proxyFor(const std::string& destination, const std::string& path) {
        auto& proxy = proxies_[destination + path];
        if (!proxy) {
            proxy = sdbus::createProxy(*connection_, destination, path);
        }
        return *proxy;
    }

    std::unique_ptr<sdbus::IConnection> connection_;
    std::vector<sdbus::Slot> matches_;
    std::map<std::string, std::unique_ptr<sdbus::IObject>> objects_;
    std::map<std::string, std::unique_ptr<sdbus::IProxy>> proxies_;
    std::vector<std::unique_ptr<sdbus::IProxy>> graveyard_;
    uint64_t generation_ = 0;  // calls sent before the last dropCalls() are of an earlier one
};

}  // namespace

std::shared_ptr<Bus> connectSystemBus() {
    try {
        return std::make_shared<SdbusBus>(sdbus::createSystemBusConnection());
    } catch (const sdbus::Error& e) {
        throw BusError(e.getName(), e.getMessage());
    }
}

}  // namespace platform::bluez
