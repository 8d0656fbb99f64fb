// GATT I/O: ReadValue and WriteValue on characteristics and descriptors, their options, one request of each
// kind at a time per attribute, and writes without response queued for the radio's transmit queue.

#include <algorithm>
#include <cctype>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "SimulatorInternal.h"

namespace bluezsim {

using Impl = BluezSimulator::Impl;

namespace {

constexpr size_t kMaxAttributeValue = 512;

std::string lower(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

// The "offset" and "type" options of ReadValue and WriteValue as bluetoothd reads them: keys in any case,
// other keys ignored, a value of the wrong type refused.
bool parseOptions(const Options& options, uint16_t& offset, std::optional<std::string>* type) {
    for (const auto& [key, value] : options) {
        const std::string k = lower(key);
        if (k == "offset") {
            if (value.peekValueType() != "q") {
                return false;
            }
            offset = value.get<uint16_t>();
        } else if (type != nullptr && k == "type") {
            if (value.peekValueType() != "s") {
                return false;
            }
            *type = value.get<std::string>();
        }
    }
    return true;
}

}  // namespace

template <typename Attr>
void Impl::readValue(Device& d, Attr& a, sdbus::MethodCall& call, bool descriptor) {
    Options options;
    call >> options;
    uint16_t offset = 0;
    if (!parseOptions(options, offset, nullptr)) {
        return replyError(call, invalidArguments());
    }
    if (!d.linked()) {
        return replyError(call, notConnected());
    }
    if (a.read) {
        if (a.read->offset != offset) {
            return replyError(call, inProgress());
        }
        a.read->calls.push_back(call);  // one request answers both
        return;
    }
    const uint64_t id = ++next_id;
    a.read = ReadOp{id, offset, {call}};
    armAttTimeout(d, [this, handle = a.handle, id](Device& dev) {
        Device* owner = nullptr;
        Attr* attr = attributeOf<Attr>(dev.key, dev.epoch, handle, owner);
        return attr != nullptr && attr->read && attr->read->id == id;
    });
    auto done = [this, key = d.key, epoch = d.epoch, handle = a.handle, id](const NSError* error,
                                                                            const std::string& value) {
        loop.post([this, key, epoch, handle, id, error = copyError(error), value] {
            Device* dev = nullptr;
            Attr* attr = attributeOf<Attr>(key, epoch, handle, dev);
            if (attr != nullptr && attr->read && attr->read->id == id) {
                onRead(*attr, error, value);
            }
        });
    };
    if (descriptor) {
        central->readDescriptor(d.key, a.handle, std::move(done));
    } else {
        central->readCharacteristic(d.key, a.handle, std::move(done));
    }
}

template <typename Attr>
void Impl::onRead(Attr& a, const std::optional<NSError>& error, const std::string& value) {
    ReadOp op = std::move(*a.read);
    a.read.reset();
    if (error) {
        const sdbus::Error e = requestError(*error);
        for (const sdbus::MethodCall& call : op.calls) {
            replyError(call, e);
        }
        return;
    }
    if (op.offset > value.size()) {
        for (const sdbus::MethodCall& call : op.calls) {
            replyError(call, attError(0x07));
        }
        return;
    }
    const Bytes bytes(value.begin() + op.offset, value.end());
    const std::string& iface = std::is_same_v<Attr, Characteristic> ? kCharacteristic : kDescriptor;
    // The cache changes, and says so, before the reply.
    a.node->set(iface, "Value", bytes);
    for (const sdbus::MethodCall& call : op.calls) {
        replyValue(call, bytes);
    }
}

void Impl::writeCharacteristic(Device& d, Characteristic& c, sdbus::MethodCall& call) {
    Bytes value;
    Options options;
    call >> value >> options;
    uint16_t offset = 0;
    std::optional<std::string> type;
    if (!parseOptions(options, offset, &type)) {
        return replyError(call, invalidArguments());
    }
    if (!d.linked()) {
        return replyError(call, notConnected());
    }
    if (c.write) {
        return replyError(call, inProgress());
    }
    // An explicit type skips the checks against the characteristic's properties.
    bool request = false;
    if (type) {
        const std::string t = lower(*type);
        if (t == "request" || t == "reliable") {
            request = true;
        } else if (t != "command") {
            return replyError(call, notSupported());
        }
    } else if ((c.properties & platform::CBCharacteristicPropertyWrite) != 0) {
        request = true;
    } else if ((c.properties & platform::CBCharacteristicPropertyWriteWithoutResponse) == 0) {
        return replyError(call, notSupported());
    }
    if (!request) {
        if (offset != 0 || value.size() + 3 > central->mtu(d.key)) {
            return replyError(call, failed("Failed to initiate write"));
        }
        d.commands.emplace_back(c.handle, std::string(value.begin(), value.end()));
        sendCommands(d);
        return replyOk(call);
    }
    if (offset != 0) {
        // The devices here take whole values only, as a device without prepared writes answers.
        return replyError(call, attError(0x07));
    }
    if (value.size() > kMaxAttributeValue) {
        return replyError(call, attError(0x0D));
    }
    sendWrite(d, c, call, value, false);
}

void Impl::writeDescriptor(Device& d, Descriptor& desc, sdbus::MethodCall& call) {
    Bytes value;
    Options options;
    call >> value >> options;
    uint16_t offset = 0;
    if (!parseOptions(options, offset, nullptr)) {
        return replyError(call, invalidArguments());
    }
    if (desc.cccd) {
        return replyError(call, bluezError("NotPermitted", "Write not permitted"));
    }
    if (!d.linked()) {
        return replyError(call, notConnected());
    }
    if (desc.write) {
        return replyError(call, inProgress());
    }
    if (offset != 0) {
        return replyError(call, attError(0x07));
    }
    if (value.size() > kMaxAttributeValue) {
        return replyError(call, attError(0x0D));
    }
    sendWrite(d, desc, call, value, true);
}

template <typename Attr>
void Impl::sendWrite(Device& d, Attr& a, sdbus::MethodCall& call, const Bytes& value, bool descriptor) {
    const uint64_t id = ++next_id;
    a.write = WriteOp{id, call};
    armAttTimeout(d, [this, handle = a.handle, id](Device& dev) {
        Device* owner = nullptr;
        Attr* attr = attributeOf<Attr>(dev.key, dev.epoch, handle, owner);
        return attr != nullptr && attr->write && attr->write->id == id;
    });
    auto done = [this, key = d.key, epoch = d.epoch, handle = a.handle, id](const NSError* error) {
        loop.post([this, key, epoch, handle, id, error = copyError(error)] {
            Device* dev = nullptr;
            Attr* attr = attributeOf<Attr>(key, epoch, handle, dev);
            if (attr == nullptr || !attr->write || attr->write->id != id) {
                return;
            }
            WriteOp op = std::move(*attr->write);
            attr->write.reset();
            if (error) {
                replyError(op.call, requestError(*error));
            } else {
                replyOk(op.call);
            }
        });
    };
    const std::string data(value.begin(), value.end());
    if (descriptor) {
        central->writeDescriptor(d.key, a.handle, data, std::move(done));
    } else {
        central->writeCharacteristic(d.key, a.handle, data, std::move(done));
    }
}

// Writes without response queue without bound, as in bluetoothd; the radio's transmit queue takes as many
// as it holds and the rest follow as it drains.
void Impl::sendCommands(Device& d) {
    const unsigned depth = std::max(1u, central->transmitQueueDepth());
    while (d.commands_in_flight < depth && !d.commands.empty()) {
        auto [handle, data] = std::move(d.commands.front());
        d.commands.pop_front();
        ++d.commands_in_flight;
        central->writeWithoutResponse(
            d.key, handle, data, [this, key = d.key, epoch = d.epoch](const NSError* /*error*/) {
                loop.post([this, key, epoch] {
                    Device* dev = find(key);
                    if (dev != nullptr && dev->epoch == epoch && dev->commands_in_flight > 0) {
                        --dev->commands_in_flight;
                        sendCommands(*dev);
                    }
                });
            });
    }
}

// The tree's ReadValue methods take these.
template void Impl::readValue(Impl::Device&, Impl::Characteristic&, sdbus::MethodCall&, bool);
template void Impl::readValue(Impl::Device&, Impl::Descriptor&, sdbus::MethodCall&, bool);

}  // namespace bluezsim
