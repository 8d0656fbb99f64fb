// Acquired sockets: AcquireWrite and AcquireNotify hand a client one end of a socket pair of datagrams, our end
// watched on the loop. A write socket's datagrams become writes without response, read only while the link's
// transmit queue takes them, so that a client writing faster than the link finds its socket full. The socket
// ends when the client closes its end, and is shut down when the link goes.

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

#include "SimulatorInternal.h"

namespace bluezsim {

using Impl = BluezSimulator::Impl;

namespace {

// bluetoothd reads each datagram into a buffer of this size; the rest of a longer one is lost.
constexpr size_t kDatagramBuffer = 512;

}  // namespace

Impl::AcquiredSocket::~AcquiredSocket() {
    if (watch != 0) {
        loop.unwatch(watch);
    }
    ::close(fd);
}

void Impl::acquireWrite(Device& d, Characteristic& c, sdbus::MethodCall& call) {
    if (!d.linked()) {
        return replyError(call, notConnected());
    }
    if (c.write_acquired) {
        return replyError(call, bluezError("NotPermitted", "Write acquired"));
    }
    if ((c.properties & platform::CBCharacteristicPropertyWriteWithoutResponse) == 0) {
        return replyError(call, notSupported());
    }
    c.write_acquired.emplace();
    c.write_acquired->id = ++next_id;
    c.write_acquired->call = call;
    if (!d.services_resolved) {
        // Held from now on, though signalled only with the socket.
        c.node->setQuietly(kCharacteristic, "WriteAcquired", true);
        return;
    }
    makeSocket(d, c, true);
}

// The reply waits for the subscription; notifications before it are lost, as there is no socket yet to carry them.
void Impl::acquireNotify(Device& d, Characteristic& c, sdbus::MethodCall& call) {
    if (!d.linked()) {
        return replyError(call, notConnected());
    }
    if (c.notify_acquired) {
        return replyError(call, bluezError("NotPermitted", "Notify acquired"));
    }
    // Any client's notify session, even one waiting for a link.
    if (!c.sessions.empty()) {
        return replyError(call, inProgress());
    }
    if ((c.properties & platform::CBCharacteristicPropertyNotify) == 0) {
        return replyError(call, notSupported());
    }
    c.notify_acquired.emplace();
    Acquired& held = *c.notify_acquired;
    held.id = ++next_id;
    held.call = call;
    held.owner = call.getSender();
    held.registered = true;
    c.node->setQuietly(kCharacteristic, "NotifyAcquired", true);
    if (c.subscribed) {
        held.confirmed = true;
        if (d.services_resolved) {
            makeSocket(d, c, false);
        }
    } else if (!c.subscribing) {
        subscribe(d, c);
    }
}

void Impl::makeSocket(Device& d, Characteristic& c, bool write) {
    std::optional<Acquired>& held = write ? c.write_acquired : c.notify_acquired;
    sdbus::MethodCall call = std::move(*held->call);
    held->call.reset();
    int fds[2];
    if (::socketpair(AF_LOCAL, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) < 0) {
        const sdbus::Error error = failed(std::strerror(errno));
        held.reset();
        return replyError(call, error);
    }
    held->socket = std::make_unique<AcquiredSocket>(loop, fds[0]);
    held->socket->watch = loop.watch(fds[0], write ? POLLIN : 0,
                                     [this, key = d.key, handle = c.handle, write, id = held->id](short revents) {
                                         onSocket(key, handle, write, id, revents);
                                     });
    const sdbus::UnixFd theirs(fds[1], sdbus::adopt_fd);
    const auto mtu = static_cast<uint16_t>(central->mtu(d.key));
    // The property changes, and says so, before the reply.
    c.node->set(kCharacteristic, write ? "WriteAcquired" : "NotifyAcquired", true);
    tree.flush();
    try {
        auto reply = call.createReply();
        reply << theirs << mtu;
        reply.send();
    } catch (const sdbus::Error&) {
    }
}

void Impl::acquiredReady(Device& d) {
    for (auto& [handle, c] : d.characteristics) {
        if (c->write_acquired && c->write_acquired->call) {
            makeSocket(d, *c, true);
        }
        if (c->notify_acquired && c->notify_acquired->call && c->notify_acquired->confirmed &&
            c->notify_acquired->registered) {
            makeSocket(d, *c, false);
        }
    }
}

void Impl::onSocket(const std::string& key, AttributeHandle handle, bool write, uint64_t id, short revents) {
    Device* d = find(key);
    if (d == nullptr) {
        return;
    }
    auto it = d->characteristics.find(handle);
    if (it == d->characteristics.end()) {
        return;
    }
    Characteristic& c = *it->second;
    std::optional<Acquired>& held = write ? c.write_acquired : c.notify_acquired;
    if (!held || held->id != id || !held->socket) {
        return;
    }
    if ((revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
        held->socket->hung_up = true;
    }
    if (write) {
        pumpWrite(*d, c);
    } else if (held->socket->hung_up) {
        releaseNotify(*d, c);
    }
}

void Impl::pumpWrites(Device& d) {
    for (auto& [handle, c] : d.characteristics) {
        if (c->write_acquired && c->write_acquired->socket) {
            pumpWrite(d, *c);
        }
    }
}

// One datagram is one write without response. bluetoothd's reader ends at a zero-length datagram as at the end
// of the socket; the socket then lasts until the client closes it. Datagrams the client sent before it closed
// its end still go out, as bluetoothd reads them before it sees the hang-up.
void Impl::pumpWrite(Device& d, Characteristic& c) {
    Acquired& held = *c.write_acquired;
    AcquiredSocket& socket = *held.socket;
    const unsigned depth = std::max(1u, central->transmitQueueDepth());
    const auto room = [&] { return d.commands.empty() && d.commands_in_flight < depth; };
    bool drained = false;
    while (held.reading) {
        if (!d.linked()) {
            held.reading = false;
            break;
        }
        if (!room()) {
            break;
        }
        uint8_t buffer[kDatagramBuffer];
        const ssize_t n = ::recv(socket.fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                drained = true;
            } else {
                held.reading = false;
            }
            break;
        }
        if (n == 0) {
            held.reading = false;
            break;
        }
        // Longer than a write without response carries: the link's ATT layer refuses it, and nothing is sent.
        if (static_cast<size_t>(n) + 3 > central->mtu(d.key)) {
            continue;
        }
        d.commands.emplace_back(c.handle, std::string(buffer, buffer + n));
        sendCommands(d);
    }
    if (socket.hung_up) {
        if (!held.reading || drained) {
            return releaseWrite(c);
        }
        // A hang-up stays reported: the rest is read as the transmit queue drains (pumpWrites).
        if (socket.watch != 0) {
            loop.unwatch(socket.watch);
            socket.watch = 0;
        }
        return;
    }
    loop.setEvents(socket.watch, held.reading && room() ? POLLIN : 0);
}

void Impl::releaseWrite(Characteristic& c) {
    c.write_acquired.reset();
    c.node->set(kCharacteristic, "WriteAcquired", false);
}

// The registration ends with the socket; the device is unsubscribed when it was the last.
void Impl::releaseNotify(Device& d, Characteristic& c) {
    const bool registered = c.notify_acquired->registered;
    c.notify_acquired.reset();
    c.node->set(kCharacteristic, "NotifyAcquired", false);
    if (registered && c.registered() == 0 && (c.subscribed || c.subscribing)) {
        unsubscribe(d, c);
    }
}

// One datagram per notification, an empty value an empty datagram; one the client has no room for is lost.
void Impl::sendNotification(Characteristic& c, const std::string& value) {
    if (!c.notify_acquired || !c.notify_acquired->registered || !c.notify_acquired->socket) {
        return;
    }
    [[maybe_unused]] const ssize_t n =
        ::send(c.notify_acquired->socket->fd, value.data(), value.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

void Impl::shutDownSockets(Device& d) {
    for (auto& [handle, c] : d.characteristics) {
        for (std::optional<Acquired>* held : {&c->write_acquired, &c->notify_acquired}) {
            if (*held && (*held)->socket) {
                // The watch sees the hang-up of our end and releases the socket at its next round.
                ::shutdown((*held)->socket->fd, SHUT_RDWR);
            }
        }
        if (c->notify_acquired) {
            c->notify_acquired->registered = false;
        }
    }
}

}  // namespace bluezsim
