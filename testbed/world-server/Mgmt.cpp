// The management channel: one command at a time, its answer told apart from the events every client of the
// channel hears (bluetoothd's own commands' answers go to bluetoothd alone).

#include "Mgmt.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace worldserver {

namespace {

constexpr int kAfBluetooth = 31;
constexpr int kBtprotoHci = 1;
constexpr uint16_t kNoDevice = 0xFFFF;
constexpr uint16_t kChannelControl = 3;

constexpr uint16_t kEventComplete = 0x0001;
constexpr uint16_t kEventStatus = 0x0002;
constexpr uint16_t kReadInfo = 0x0004;
constexpr uint16_t kDisconnect = 0x0014;
constexpr uint16_t kGetConnections = 0x0015;

// Taking a link down takes a few controller round trips; a busy guest is slow.
constexpr auto kLimit = std::chrono::seconds(5);

struct SockaddrHci {
    sa_family_t family;
    uint16_t device;
    uint16_t channel;
};

uint16_t le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

// Addresses go over the channel little end first.
std::vector<uint8_t> addressBytes(const std::string& text) {
    unsigned b[6];
    if (std::sscanf(text.c_str(), "%2x:%2x:%2x:%2x:%2x:%2x", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5]) != 6) {
        throw std::runtime_error("not a Bluetooth address: " + text);
    }
    std::vector<uint8_t> out;
    for (int i = 5; i >= 0; --i) {
        out.push_back(static_cast<uint8_t>(b[i]));
    }
    return out;
}

std::string addressText(const uint8_t* p) {
    char text[18];
    std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", p[5], p[4], p[3], p[2], p[1], p[0]);
    return text;
}

}  // namespace

Mgmt::Mgmt() {
    fd_ = ::socket(kAfBluetooth, SOCK_RAW | SOCK_CLOEXEC, kBtprotoHci);
    if (fd_ < 0) {
        throw std::runtime_error(std::string("cannot open the Bluetooth management channel: ") + std::strerror(errno));
    }
    SockaddrHci address{static_cast<sa_family_t>(kAfBluetooth), kNoDevice, kChannelControl};
    if (::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0) {
        const int error = errno;
        ::close(fd_);
        throw std::runtime_error(std::string("cannot bind the Bluetooth management channel: ") + std::strerror(error));
    }
}

Mgmt::~Mgmt() {
    ::close(fd_);
}

std::vector<uint8_t> Mgmt::command(uint16_t opcode, uint16_t index, const std::vector<uint8_t>& parameters,
                                   const char* what) {
    std::vector<uint8_t> packet{static_cast<uint8_t>(opcode),
                                static_cast<uint8_t>(opcode >> 8),
                                static_cast<uint8_t>(index),
                                static_cast<uint8_t>(index >> 8),
                                static_cast<uint8_t>(parameters.size()),
                                static_cast<uint8_t>(parameters.size() >> 8)};
    packet.insert(packet.end(), parameters.begin(), parameters.end());
    if (::write(fd_, packet.data(), packet.size()) != static_cast<ssize_t>(packet.size())) {
        throw std::runtime_error(std::string(what) + ": " + std::strerror(errno));
    }
    const auto deadline = std::chrono::steady_clock::now() + kLimit;
    uint8_t buffer[1024];
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            throw std::runtime_error(std::string(what) + ": the kernel did not answer");
        }
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            continue;
        }
        const ssize_t n = ::read(fd_, buffer, sizeof buffer);
        if (n < 9) {
            continue;
        }
        const uint16_t event = le16(buffer);
        const uint16_t from = le16(buffer + 2);
        if ((event != kEventComplete && event != kEventStatus) || from != index || le16(buffer + 6) != opcode) {
            continue;  // an event for everyone, or another command's answer
        }
        const uint8_t status = buffer[8];
        if (status != 0) {
            char text[64];
            std::snprintf(text, sizeof text, ": refused with status 0x%02x", status);
            throw std::runtime_error(std::string(what) + text);
        }
        if (event == kEventStatus) {
            return {};
        }
        return std::vector<uint8_t>(buffer + 9, buffer + n);
    }
}

Mgmt::Info Mgmt::info(uint16_t index) {
    const auto r = command(kReadInfo, index, {}, "reading the controller's information");
    if (r.size() < 17) {
        throw std::runtime_error("reading the controller's information: a short answer");
    }
    Info info;
    info.address = addressText(r.data());
    info.settings = static_cast<uint32_t>(r[13] | (r[14] << 8) | (r[15] << 16) | (static_cast<uint32_t>(r[16]) << 24));
    return info;
}

std::vector<Mgmt::Link> Mgmt::connections(uint16_t index) {
    const auto r = command(kGetConnections, index, {}, "listing the links");
    std::vector<Link> links;
    if (r.size() < 2) {
        return links;
    }
    const uint16_t count = le16(r.data());
    for (size_t i = 0; i < count && 2 + (i + 1) * 7 <= r.size(); ++i) {
        const uint8_t* entry = r.data() + 2 + i * 7;
        links.push_back(Link{addressText(entry), entry[6]});
    }
    return links;
}

void Mgmt::disconnect(uint16_t index, const Link& link) {
    auto parameters = addressBytes(link.address);
    parameters.push_back(link.type);
    command(kDisconnect, index, parameters, "taking a link down");
}

}  // namespace worldserver
