// The sockets bluetoothd hands over (AcquireWrite, AcquireNotify), played through the scripted bus: the test holds
// the other end of each socket, as bluetoothd would.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "BluezRadioUnit.h"
#include "support/Watch.h"

namespace {

using namespace bluez_unit;
using platform::radio::NotifyDelivery;

// One socketpair as bluetoothd makes it: `theirs` goes to the radio with the reply, `ours` stays with the test.
struct Socket {
    int ours = -1;
    int theirs = -1;
    Socket() {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) == 0) {
            ours = fds[0];
            theirs = fds[1];
        }
    }
    ~Socket() {
        hangUp();
        if (theirs >= 0) {
            ::close(theirs);
        }
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    void hangUp() {
        if (ours >= 0) {
            ::close(ours);
            ours = -1;
        }
    }
    // The next datagram the radio sent, within `limit`.
    std::optional<std::string> receive(std::chrono::milliseconds limit = 3s) const {
        pollfd p{ours, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(limit.count())) <= 0 || !(p.revents & POLLIN)) {
            return std::nullopt;
        }
        char buffer[600];
        const ssize_t got = ::recv(ours, buffer, sizeof buffer, MSG_DONTWAIT);
        return got < 0 ? std::nullopt : std::optional<std::string>(std::string(buffer, static_cast<size_t>(got)));
    }
    bool closedByRadio(std::chrono::milliseconds limit = 3s) const {
        pollfd p{ours, POLLRDHUP, 0};
        return ::poll(&p, 1, static_cast<int>(limit.count())) > 0 && (p.revents & (POLLHUP | POLLRDHUP));
    }
    void send(const std::string& value) const {
        ASSERT_EQ(::send(ours, value.data(), value.size(), 0), ssize_t(value.size()));
    }
};

class BluezSocketsUnit : public BluezRadioUnit {
  protected:
    void SetUp() override {
        BluezRadioUnit::SetUp();
        auto& props = objects_.objects[sdbus::ObjectPath(charPath_)][kCharIface];
        props["Flags"] = Variant(std::vector<std::string>{"read", "write", "write-without-response", "notify"});
        props["WriteAcquired"] = Variant(false);
        props["NotifyAcquired"] = Variant(false);
    }

    void handOver(const std::optional<FakeBus::Call>& call, Socket& socket, uint16_t mtu = 185) {
        ASSERT_TRUE(call) << "no socket asked for";
        bus_->reply(call->id, {Variant(int32_t(socket.theirs)), Variant(mtu)});
        socket.theirs = -1;
    }

    // Answered within the bound, without an error.
    static bool succeeded(std::future<Outcome>& outcome) {
        return outcome.wait_for(3s) == std::future_status::ready && !outcome.get().error;
    }

    std::future<Outcome> write(Central& central, bool command, const std::string& value) {
        auto promise = std::make_shared<std::promise<Outcome>>();
        auto answer = promise->get_future();
        auto done = [promise](const NSError* error) {
            promise->set_value(Outcome{true, error ? std::optional<NSError>(*error) : std::nullopt, {}});
        };
        if (command) {
            central.radio->writeWithoutResponse(kDevice, kChar, value, done);
        } else {
            central.radio->writeCharacteristic(kDevice, kChar, value, done);
        }
        return answer;
    }

    std::future<Outcome> subscribe(Central& central, NotifyDelivery delivery, bool on = true) {
        auto promise = std::make_shared<std::promise<Outcome>>();
        auto answer = promise->get_future();
        central.radio->setNotify(kDevice, kChar, on, delivery, [promise](const NSError* error) {
            promise->set_value(Outcome{true, error ? std::optional<NSError>(*error) : std::nullopt, {}});
        });
        return answer;
    }

    // The radio asks whether the device is still connected once a socket ends; bluetoothd answers.
    void answerConnected(bool connected) {
        const auto get = bus_->take("Get");
        ASSERT_TRUE(get);
        bus_->reply(get->id, {Variant(connected)});
    }

    static std::string bytesOf(const FakeBus::Call& call) {
        return std::get<platform::bluez::ByteArray>(call.args.at(0)).bytes;
    }
    static const char* typeOf(const FakeBus::Call& call) {
        return std::get<platform::bluez::WriteOptions>(call.args.at(1)).type;
    }
};

// Writes without response go on the one write socket, each one datagram, in order, `sent` only once the socket
// took it (a full socket holds them back); the reply's MTU bounds them; a socket that ends on a live link leaves
// WriteValue for the rest of the link, said once.
TEST_F(BluezSocketsUnit, WriteCommandsGoOnTheWriteSocket) {
    boot();
    Central& central = open();
    connect(central);
    test_support::ConsoleCapture console;

    constexpr int kWrites = 1000;
    std::atomic<int> sent{0}, failed{0};
    for (int i = 0; i < kWrites; ++i) {
        char value[8];
        std::snprintf(value, sizeof value, "%04d", i);
        central.radio->writeWithoutResponse(kDevice, kChar, value,
                                            [&](const NSError* error) { ++(error ? failed : sent); });
    }
    const auto acquire = bus_->take("AcquireWrite");
    ASSERT_TRUE(acquire);
    Socket socket;
    handOver(acquire, socket, 23);
    // Nobody reads yet: the socket fills, and the writes it has no room for are not answered.
    std::this_thread::sleep_for(200ms);
    EXPECT_LT(sent.load(), kWrites);
    int received = 0;
    bool inOrder = true;
    while (received < kWrites) {
        const auto value = socket.receive();
        if (!value) {
            break;
        }
        char expected[8];
        std::snprintf(expected, sizeof expected, "%04d", received++);
        inOrder = inOrder && *value == expected;
    }
    EXPECT_EQ(received, kWrites);
    EXPECT_TRUE(inOrder);
    EXPECT_TRUE(test_support::eventually([&] { return sent.load() == kWrites; }));
    EXPECT_EQ(failed.load(), 0);
    EXPECT_EQ(bus_->count("AcquireWrite"), 1u);

    auto fits = write(central, true, std::string(20, 'x'));
    auto tooLong = write(central, true, std::string(21, 'x'));
    ASSERT_EQ(socket.receive(), std::string(20, 'x'));
    ASSERT_EQ(tooLong.wait_for(3s), std::future_status::ready);
    EXPECT_TRUE(tooLong.get().error) << "longer than the reply's MTU allows";
    EXPECT_TRUE(succeeded(fits));
    EXPECT_EQ(bus_->count("WriteValue"), 0u);

    socket.hangUp();  // bluetoothd dropped it; the link stays
    answerConnected(true);
    auto after = write(central, true, "y");
    const auto byBus = bus_->take("WriteValue");
    ASSERT_TRUE(byBus);
    EXPECT_EQ(bytesOf(*byBus), "y");
    EXPECT_STREQ(typeOf(*byBus), "command");
    bus_->reply(byBus->id);
    EXPECT_TRUE(succeeded(after));
    auto again = write(central, true, "z");
    const auto second = bus_->take("WriteValue");
    ASSERT_TRUE(second);
    bus_->reply(second->id);
    EXPECT_TRUE(succeeded(again));
    EXPECT_EQ(bus_->count("AcquireWrite"), 1u) << "WriteValue for the rest of the link";
    EXPECT_EQ(console.count("write socket"), 1u);
}

// bluetoothd refuses WriteValue while the write socket is held, ours too: a write request gives the socket back
// and waits for WriteAcquired false; a command after it waits for its answer, then acquires a socket again.
TEST_F(BluezSocketsUnit, WriteRequestBetweenCommandsReleasesTheSocket) {
    boot();
    Central& central = open();
    connect(central);
    auto a = write(central, true, "a");
    Socket first;
    handOver(bus_->take("AcquireWrite"), first);
    EXPECT_EQ(first.receive(), "a");
    EXPECT_TRUE(succeeded(a));

    auto b = write(central, false, "b");
    auto c = write(central, true, "c");
    EXPECT_TRUE(first.closedByRadio());
    EXPECT_FALSE(bus_->take("WriteValue", 100ms)) << "before bluetoothd let go of the socket";
    bus_->propertiesChanged(charPath_, kCharIface, {{"WriteAcquired", Variant(false)}});
    const auto request = bus_->take("WriteValue");
    ASSERT_TRUE(request);
    EXPECT_EQ(bytesOf(*request), "b");
    EXPECT_STREQ(typeOf(*request), "request");
    EXPECT_FALSE(bus_->take("AcquireWrite", 100ms)) << "the command waits for the request's answer";
    bus_->reply(request->id);
    EXPECT_TRUE(succeeded(b));
    Socket second;
    handOver(bus_->take("AcquireWrite"), second, 517);
    EXPECT_EQ(second.receive(), "c");
    EXPECT_TRUE(succeeded(c));

    // Longer than bluetoothd's socket reader takes whole (512 bytes): by WriteValue, the socket given back first.
    auto d = write(central, true, std::string(513, 'x'));
    EXPECT_TRUE(second.closedByRadio());
    bus_->propertiesChanged(charPath_, kCharIface, {{"WriteAcquired", Variant(false)}});
    const auto whole = bus_->take("WriteValue");
    ASSERT_TRUE(whole);
    EXPECT_EQ(bytesOf(*whole).size(), 513u);
    bus_->reply(whole->id);
    EXPECT_TRUE(succeeded(d));
}

// An Exclusive subscription reads its own notify socket: every datagram a value, in order, an empty one too; a
// second central asking Shared joins it; the socket ending on a live link leaves StartNotify, said once; leaving
// ends it.
TEST_F(BluezSocketsUnit, ExclusiveSubscriptionReadsTheNotifySocket) {
    boot();
    Central& a = open();
    Central& b = open();
    connect(a);
    connect(b);
    test_support::ConsoleCapture console;
    auto on = subscribe(a, NotifyDelivery::Exclusive);
    Socket socket;
    handOver(bus_->take("AcquireNotify"), socket);
    ASSERT_EQ(on.wait_for(3s), std::future_status::ready);
    EXPECT_TRUE(succeeded(on));
    auto joined = subscribe(b, NotifyDelivery::Shared);
    ASSERT_EQ(joined.wait_for(3s), std::future_status::ready);
    EXPECT_EQ(bus_->count("StartNotify"), 0u);

    socket.send("\x01");
    socket.send("");
    socket.send("\x02\x03");
    ASSERT_TRUE(waitValues(*a.events, 3));
    ASSERT_TRUE(waitValues(*b.events, 3));
    EXPECT_EQ(values(*a.events), (std::vector<std::string>{"\x01", "", "\x02\x03"}));
    notified({9});  // a Value change is no notification while the socket brings them
    socket.send("\x04");
    ASSERT_TRUE(waitValues(*a.events, 4));
    EXPECT_EQ(values(*a.events).back(), "\x04");

    socket.hangUp();
    answerConnected(true);
    const auto start = bus_->take("StartNotify");
    ASSERT_TRUE(start);
    bus_->reply(start->id);
    notified({5});
    ASSERT_TRUE(waitValues(*b.events, 5));
    EXPECT_EQ(values(*a.events), (std::vector<std::string>{"\x01", "", "\x02\x03", "\x04", "\x05"}));
    EXPECT_EQ(console.count("notify socket"), 1u);

    subscribe(a, NotifyDelivery::Shared, false).wait_for(3s);
    auto off = subscribe(b, NotifyDelivery::Shared, false);
    const auto stop = bus_->take("StopNotify");
    ASSERT_TRUE(stop);
    bus_->reply(stop->id);
    EXPECT_TRUE(succeeded(off));
}

// The notify socket ends as the link goes (before Connected false): nothing but the link's end, no StartNotify and
// no console line. On the next link a refused AcquireNotify (a session bluetoothd kept) falls back to StartNotify,
// and each value comes once.
TEST_F(BluezSocketsUnit, NotifySocketEndingWithTheLinkAndReconnection) {
    boot();
    Central& central = open();
    connect(central);
    test_support::ConsoleCapture console;
    auto on = subscribe(central, NotifyDelivery::Exclusive);
    {
        Socket socket;
        handOver(bus_->take("AcquireNotify"), socket);
        ASSERT_EQ(on.wait_for(3s), std::future_status::ready);
        socket.send("\x01");
        ASSERT_TRUE(waitValues(*central.events, 1));
    }
    const auto get = bus_->take("Get");
    ASSERT_TRUE(get);
    bus_->propertiesChanged(devicePath_, kDeviceIface, {{"Connected", Variant(false)}});
    bus_->reply(get->id, {Variant(false)});
    ASSERT_TRUE(central.events->waitFor([&] {
        return std::any_of(central.events->links.begin(), central.events->links.end(),
                           [](const std::string& line) { return line.rfind("disconnected " + kDevice, 0) == 0; });
    }));
    EXPECT_FALSE(bus_->take("StartNotify", 100ms));
    EXPECT_EQ(console.count("BlueZ radio"), 0u);

    connect(central);
    auto again = subscribe(central, NotifyDelivery::Exclusive);
    const auto refused = bus_->take("AcquireNotify");
    ASSERT_TRUE(refused);
    bus_->fail(refused->id, "org.bluez.Error.InProgress", "In Progress");
    const auto start = bus_->take("StartNotify");
    ASSERT_TRUE(start);
    bus_->reply(start->id);
    ASSERT_EQ(again.wait_for(3s), std::future_status::ready);
    EXPECT_TRUE(succeeded(again));
    EXPECT_EQ(console.count("notify socket"), 1u);
    notified({2});
    notified({3});
    ASSERT_TRUE(waitValues(*central.events, 3));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(values(*central.events), (std::vector<std::string>{"\x01", "\x02", "\x03"}));
}

}  // namespace
