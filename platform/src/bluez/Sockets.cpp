// The sockets bluetoothd hands over: a characteristic's write socket (AcquireWrite), on which each datagram is one
// write without response, and its notify socket (AcquireNotify), on which each datagram is one notification. Both
// skip the bus: no method call and reply per write, no signal per value.
//
// What bluetoothd does meanwhile: while a write socket is held it refuses every WriteValue of the characteristic
// (ours too), and while a notify socket is held every StartNotify. It shuts a device's sockets down when the link
// goes, before it signals Connected false; only a socket lost on a live link is a fault, and that is asked of it.

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "Core.h"

namespace platform::bluez {

namespace {

// The longest datagram bluetoothd's write-socket reader takes whole.
constexpr std::size_t kSocketWriteLimit = 512;

// Values read off a notify socket in one look, so that a flood does not hold back the rest of the pass.
constexpr int kSocketBatch = 64;
// A notification's value is at most 512 bytes; a larger datagram would be cut, never merged with the next.
constexpr std::size_t kDatagramLimit = 1024;

bool isCommand(const char* type) {
    return type != nullptr && std::strcmp(type, "command") == 0;
}

// A refusal that StartNotify does not share: another holder of the socket (NotPermitted), another session of any
// client (InProgress), or indications only (NotSupported).
bool notifySocketRefused(const NSError& error) {
    return error.domain == "org.bluez.Error.InProgress" || error.domain == "org.bluez.Error.NotPermitted" ||
           error.domain == "org.bluez.Error.NotSupported";
}

// The peer's end is closed (or the socket failed). A zero-length read is an empty datagram on a live socket and
// the end on a closed one; this is what tells them apart.
bool hungUp(int fd) {
    pollfd p{fd, POLLRDHUP, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0;
}

// An AcquireWrite or AcquireNotify answer: the socket (the caller's to close) and its MTU, or why there is none.
struct SocketAnswer {
    int fd = -1;
    unsigned mtu = kDefaultMtu;
    const NSError* error = nullptr;  // bluetoothd's, valid for the answer's handler
    std::optional<NSError> failure;  // a reply of the wrong shape
    const NSError* why() const { return error ? error : failure ? &*failure : nullptr; }
};

SocketAnswer readSocketAnswer(BusMessage* reply, const NSError* error) {
    SocketAnswer answer;
    answer.error = error;
    if (error) {
        return answer;
    }
    try {
        answer.fd = reply->readUnixFd();
        try {
            answer.mtu = reply->readUint16();
        } catch (...) {
            ::close(answer.fd);
            answer.fd = -1;
            throw;
        }
    } catch (const std::exception& e) {
        answer.failure = badReplyError(e.what());
    }
    return answer;
}

std::string characteristicName(const AttributeObject* a, AttributeHandle handle) {
    return (a && a->uuid ? *a->uuid + " " : std::string()) + "(handle " + std::to_string(handle) + ")";
}

}  // namespace

void Core::HeldSocket::reset() {
    if (loop_) {
        loop_->unwatch(watch_);
    }
    if (fd_ >= 0) {
        ::close(fd_);
    }
    loop_ = nullptr;
    fd_ = -1;
    watch_ = 0;
}

void Core::checkLink(const std::string& address, std::function<void(Core&, bool)> then) {
    const auto rt = runtime_.find(address);
    const auto path = byAddress_.find(address);
    if (rt == runtime_.end() || path == byAddress_.end()) {
        return;  // the device is gone: its end is under way
    }
    const uint64_t epoch = rt->second.linkEpoch;
    const uint64_t generation = generation_;
    // bluetoothd sends the property changes it has queued before any reply: a Connected false that explains the
    // socket's end comes before this answer, and ends the link (and this check) first.
    callBluez(
        path->second, kProperties, "Get", {std::string(kDeviceInterface), std::string("Connected")}, kRequestTimeout,
        [address, epoch, generation, then = std::move(then)](Core& core, BusMessage* reply, const NSError* error)
            REQUIRES(core.mutex_) {
                const auto now = core.runtime_.find(address);
                if (generation != core.generation_ || now == core.runtime_.end() || now->second.linkEpoch != epoch) {
                    return;
                }
                // No answer says nothing about the link: it is taken as up (a link that went ends everything anyway).
                bool connected = true;
                if (!error) {
                    try {
                        const sdbus::Variant value = reply->readVariant();
                        connected = value.containsValueOfType<bool>() && value.get<bool>();
                    } catch (const std::exception&) {
                    }
                }
                const DeviceObject* device = core.deviceByAddress(address);
                then(core, connected && device && device->connected);
            });
}

// ---- Writes without response ----

bool Core::writeBySocket(const std::string& address, AttributeHandle handle, const QueuedWrite& write,
                         bool& keepWaiting) {
    const AttributeObject* attribute = attributeByHandle(address, handle, AttributeKind::Characteristic);
    if (!attribute || !attribute->writeAcquired) {
        return false;  // bluetoothd offers no socket for it
    }
    WriteSocket& socket = runtime_[address].writeSockets[handle];
    // bluetoothd stops reading a write socket at its first empty datagram, and reads at most 512 bytes of one
    // (cutting a longer one short): those go by WriteValue, as any write that is not a command does.
    const bool bySocket = isCommand(write.type) && !write.value.empty() && write.value.size() <= kSocketWriteLimit;
    switch (socket.state) {
        case WriteSocketState::Refused:
            return false;
        case WriteSocketState::None:
            if (!bySocket) {
                return false;
            }
            acquireWrite(address, handle, write.path);
            keepWaiting = true;
            return true;
        case WriteSocketState::Acquiring:  // a write that is no command releases it once it has come
        case WriteSocketState::Releasing:
        case WriteSocketState::Checking:
            keepWaiting = true;
            return true;
        case WriteSocketState::Open:
            break;
    }
    if (!bySocket) {
        releaseWrite(address, handle, write.call);
        keepWaiting = true;
        return true;
    }
    if (write.value.size() + 3 > socket.mtu) {
        // bluetoothd would drop it unsent; WriteValue refuses it so.
        answer(write.call, errorFromDBus("org.bluez.Error.Failed", "Failed to initiate write"));
        return true;
    }
    ssize_t sent = 0;
    do {
        sent = ::send(socket.socket.fd(), write.value.data(), write.value.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (sent < 0 && errno == EINTR);
    if (sent >= 0) {
        answerDone(write.call);
        return true;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS) {
        // No room: the write waits in the queue for the socket to have some, and is answered then.
        socket.socket.setEvents(POLLOUT);
    } else {
        writeSocketBroke(address, handle, socket);
    }
    keepWaiting = true;
    return true;
}

void Core::acquireWrite(const std::string& address, AttributeHandle handle, const std::string& path) {
    WriteSocket& acquiring = runtime_[address].writeSockets[handle];
    acquiring.state = WriteSocketState::Acquiring;
    const uint64_t serial = acquiring.serial = ++nextCall_;
    const uint64_t generation = generation_;
    callBluez(
        path, kCharacteristicInterface, "AcquireWrite", {PropMap{}}, kRequestTimeout,
        [address, handle, serial, generation](Core& core, BusMessage* reply,
                                              const NSError* error) REQUIRES(core.mutex_) {
            const SocketAnswer answer = readSocketAnswer(reply, error);
            const int fd = answer.fd;
            const unsigned mtu = answer.mtu;
            const NSError* why = answer.why();
            WriteSocket* current = nullptr;
            if (const auto rt = core.runtime_.find(address);
                generation == core.generation_ && rt != core.runtime_.end()) {
                const auto it = rt->second.writeSockets.find(handle);
                if (it != rt->second.writeSockets.end() && it->second.state == WriteSocketState::Acquiring &&
                    it->second.serial == serial) {
                    current = &it->second;
                }
            }
            if (!current) {
                if (fd >= 0) {
                    ::close(fd);  // the link it was for has ended
                }
                return;
            }
            WriteSocket& socket = *current;
            if (why) {
                socket.state = WriteSocketState::Refused;
                NSLog(
                    "BlueZ radio: %@: bluetoothd gave no write socket for characteristic %@ (%@): its writes "
                    "without response go by WriteValue until the link ends",
                    address,
                    characteristicName(core.attributeByHandle(address, handle, AttributeKind::Characteristic), handle),
                    why->description);
            } else {
                socket.mtu = std::clamp(mtu, kDefaultMtu, 517u);
                socket.socket =
                    HeldSocket(core.loop_, fd, 0, [address, handle, serial](Core& c, short revents) REQUIRES(c.mutex_) {
                        return c.writeSocketReady(address, handle, serial, revents);
                    });
                socket.state = WriteSocketState::Open;
            }
            core.pumpWrites(address, WriteKey{handle, false});
        });
}

// Another kind of write is first in the queue: bluetoothd takes it only once the socket is given back and it has
// let go of its end, which WriteAcquired false says. That wait is bounded by the write's own limit.
void Core::releaseWrite(const std::string& address, AttributeHandle handle, uint64_t call) {
    WriteSocket& socket = runtime_[address].writeSockets[handle];
    socket.socket.reset();
    socket.state = WriteSocketState::Releasing;
    const uint64_t serial = socket.serial = ++nextCall_;
    const auto request = requests_.find(call);
    const auto limit =
        request == requests_.end() ? kRequestTimeout : limitsFor(request->second.central, address).request;
    loop_.cancel(socket.timer);
    socket.timer = loop_.after(limit, [address, handle, serial](Core& core) REQUIRES(core.mutex_) {
        const auto rt = core.runtime_.find(address);
        if (rt == core.runtime_.end()) {
            return;
        }
        const auto it = rt->second.writeSockets.find(handle);
        if (it != rt->second.writeSockets.end() && it->second.state == WriteSocketState::Releasing &&
            it->second.serial == serial) {
            it->second.timer = 0;
            it->second.state = WriteSocketState::None;
            core.pumpWrites(address, WriteKey{handle, false});
        }
    });
}

void Core::writeAcquiredChanged(const AttributeObject& characteristic, bool held) {
    if (held) {
        return;
    }
    const auto device = devices_.find(characteristic.device);
    if (device == devices_.end()) {
        return;
    }
    const std::string address = device->second.address;
    const auto rt = runtime_.find(address);
    if (rt == runtime_.end()) {
        return;
    }
    const auto it = rt->second.writeSockets.find(characteristic.handle);
    if (it == rt->second.writeSockets.end() || it->second.state != WriteSocketState::Releasing) {
        return;
    }
    loop_.cancel(it->second.timer);
    it->second.timer = 0;
    it->second.state = WriteSocketState::None;
    pumpWrites(address, WriteKey{characteristic.handle, false});
}

int Core::writeSocketReady(const std::string& address, AttributeHandle handle, uint64_t serial, short revents) {
    const auto rt = runtime_.find(address);
    if (rt == runtime_.end()) {
        return 0;
    }
    const auto it = rt->second.writeSockets.find(handle);
    if (it == rt->second.writeSockets.end() || it->second.serial != serial || !it->second.socket.held()) {
        return 0;
    }
    if (revents & (POLLHUP | POLLERR | POLLNVAL)) {
        writeSocketBroke(address, handle, it->second);
    } else if (revents & POLLOUT) {
        it->second.socket.setEvents(0);
        pumpWrites(address, WriteKey{handle, false});
    }
    return 1;
}

// The socket ended or failed. On a link going down that is the link's end, which follows; on a live link,
// bluetoothd dropped it: WriteValue for the rest of the link, said once.
void Core::writeSocketBroke(const std::string& address, AttributeHandle handle, WriteSocket& socket) {
    socket.socket.reset();
    socket.state = WriteSocketState::Checking;
    const uint64_t serial = socket.serial = ++nextCall_;
    checkLink(address, [address, handle, serial](Core& core, bool connected) REQUIRES(core.mutex_) {
        auto& sockets = core.runtime_[address].writeSockets;
        const auto it = sockets.find(handle);
        if (it == sockets.end() || it->second.state != WriteSocketState::Checking || it->second.serial != serial) {
            return;
        }
        if (!connected) {
            it->second.state = WriteSocketState::None;
            core.pumpWrites(address, WriteKey{handle, false});  // the link's end fails them, if it has not yet
            return;
        }
        it->second.state = WriteSocketState::Refused;
        NSLog(
            "BlueZ radio: %@: the write socket of characteristic %@ ended while the link is up: its writes without "
            "response go by WriteValue until the link ends",
            address,
            characteristicName(core.attributeByHandle(address, handle, AttributeKind::Characteristic), handle));
        core.pumpWrites(address, WriteKey{handle, false});
    });
}

void Core::closeWriteSockets(const std::string& address) {
    const auto rt = runtime_.find(address);
    if (rt == runtime_.end()) {
        return;
    }
    for (auto& [handle, socket] : rt->second.writeSockets) {
        loop_.cancel(socket.timer);
    }
    rt->second.writeSockets.clear();
}

// ---- Notifications ----

void Core::startNotify(const std::string& address, AttributeHandle handle, const std::string& path) {
    const uint64_t generation = generation_;
    callBluez(path, kCharacteristicInterface, "StartNotify", {}, kAttTimeout,
              [address, handle, generation](Core& core, BusMessage*, const NSError* error)
                  REQUIRES(core.mutex_) { core.notifyStarted(generation, address, handle, error); });
}

// bluetoothd answers once the device has taken the client configuration write. Values the device sends before
// that answer are dropped by bluetoothd (there is no socket yet), where StartNotify would have delivered them; a
// configuration write the device refuses is never answered (the call times out).
void Core::acquireNotify(const std::string& address, AttributeHandle handle, const std::string& path) {
    NotifyEntry& acquiring = runtime_[address].notify[handle];
    acquiring.exclusive = true;
    const uint64_t serial = acquiring.serial = ++nextCall_;
    const uint64_t generation = generation_;
    callBluez(
        path, kCharacteristicInterface, "AcquireNotify", {PropMap{}}, kAttTimeout,
        [address, handle, path, serial, generation](Core& core, BusMessage* reply,
                                                    const NSError* error) REQUIRES(core.mutex_) {
            const SocketAnswer answer = readSocketAnswer(reply, error);
            const int fd = answer.fd;
            const NSError* why = answer.why();
            const auto rt = core.runtime_.find(address);
            NotifyEntry* entry = nullptr;
            if (generation == core.generation_ && rt != core.runtime_.end()) {
                const auto it = rt->second.notify.find(handle);
                if (it != rt->second.notify.end() && it->second.exclusive && it->second.serial == serial) {
                    entry = &it->second;
                }
            }
            if (!entry) {
                if (fd >= 0) {
                    ::close(fd);
                }
                return;
            }
            if (why && !isTimeout(*why) && notifySocketRefused(*why)) {
                NSLog(
                    "BlueZ radio: %@: bluetoothd gave no notify socket for characteristic %@ (%@): its values "
                    "come by StartNotify",
                    address,
                    characteristicName(core.attributeByHandle(address, handle, AttributeKind::Characteristic), handle),
                    why->description);
                entry->exclusive = false;
                core.startNotify(address, handle, path);
                return;
            }
            if (why) {
                entry->exclusive = false;
            } else {
                entry->socket = HeldSocket(core.loop_, fd, POLLIN,
                                           [address, handle, serial](Core& c, short revents) REQUIRES(c.mutex_) {
                                               return c.notifySocketReady(address, handle, serial, revents);
                                           });
            }
            core.notifyStarted(generation, address, handle, why);
        });
}

// Each datagram is one value, delivered as a Value change's would be. A zero-length read on a socket whose peer
// is still there is an empty value; once the peer has hung up it is the end. What stays ambiguous: empty values
// bluetoothd sent just before it hung up read the same as the end, and are taken for it.
int Core::notifySocketReady(const std::string& address, AttributeHandle handle, uint64_t serial, short /*revents*/) {
    const auto rt = runtime_.find(address);
    if (rt == runtime_.end()) {
        return 0;
    }
    const auto it = rt->second.notify.find(handle);
    if (it == rt->second.notify.end() || it->second.serial != serial || !it->second.socket.held()) {
        return 0;
    }
    NotifyEntry& entry = it->second;
    char buffer[kDatagramLimit];
    int taken = 0;
    for (int i = 0; i < kSocketBatch; ++i) {
        const ssize_t got = ::recv(entry.socket.fd(), buffer, sizeof buffer, MSG_DONTWAIT);
        if (got > 0 || (got == 0 && !hungUp(entry.socket.fd()))) {
            deliverNotification(address, handle, std::string(buffer, static_cast<std::size_t>(got)));
            ++taken;
            continue;
        }
        if (got == 0) {
            // Hung up: the end, or an empty value with more behind it (then the reads go on).
            const ssize_t next = ::recv(entry.socket.fd(), buffer, sizeof buffer, MSG_DONTWAIT | MSG_PEEK);
            if (next > 0) {
                deliverNotification(address, handle, std::string());
                ++taken;
                continue;
            }
        }
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return taken;
        }
        notifySocketEnded(address, handle, entry);
        return taken + 1;
    }
    return taken;
}

// The socket ended. On a link going down that is the link's end, which follows and ends the subscriptions; on a
// live link bluetoothd dropped the session: the subscription goes on through StartNotify, said once.
void Core::notifySocketEnded(const std::string& address, AttributeHandle handle, NotifyEntry& ended) {
    ended.socket.reset();
    const uint64_t serial = ended.serial = ++nextCall_;
    checkLink(address, [address, handle, serial](Core& core, bool connected) REQUIRES(core.mutex_) {
        auto& notify = core.runtime_[address].notify;
        const auto it = notify.find(handle);
        if (it == notify.end() || !it->second.exclusive || it->second.serial != serial || it->second.socket.held()) {
            return;
        }
        NotifyEntry& entry = it->second;
        if (!connected) {
            return;  // the link's end follows
        }
        entry.exclusive = false;
        const AttributeObject* a = core.attributeByHandle(address, handle, AttributeKind::Characteristic);
        if (entry.active.empty() || entry.startInFlight || !a) {
            return;
        }
        NSLog(
            "BlueZ radio: %@: the notify socket of characteristic %@ ended while the link is up: its values come "
            "by StartNotify now",
            address, characteristicName(a, handle));
        entry.startInFlight = true;
        const uint64_t generation = core.generation_;
        core.callBluez(a->path, kCharacteristicInterface, "StartNotify", {}, kAttTimeout,
                       [address, handle, generation](Core& c, BusMessage*, const NSError* error) REQUIRES(c.mutex_) {
                           c.notifyStarted(generation, address, handle, error);
                           if (error && !isTimeout(*error)) {
                               NSLog(
                                   "BlueZ radio: %@: StartNotify of characteristic (handle %@) failed (%@): its "
                                   "notifications have stopped",
                                   address, std::to_string(handle), error->description);
                           }
                       });
    });
}

}  // namespace platform::bluez
