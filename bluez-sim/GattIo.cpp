// GATT I/O: ReadValue and WriteValue on characteristics and descriptors, their options, one request of each
// kind at a time per attribute (checked, as bluetoothd checks it, before the options are read), requests sent
// through the link's ATT queue, and writes without response queued for the radio's transmit queue.

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
    if (!d.linked()) {
        return replyError(call, notConnected());
    }
    Options options;
    call >> options;
    uint16_t offset = 0;
    if (!parseOptions(options, offset, nullptr)) {
        return replyError(call, invalidArguments());
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
    attEnqueue(d, [this, key = d.key, epoch = d.epoch, handle = a.handle, id, descriptor](uint64_t token) {
        Device* dev = nullptr;
        Attr* attr = attributeOf<Attr>(key, epoch, handle, dev);
        if (attr == nullptr || !attr->read || attr->read->id != id) {
            return false;
        }
        auto done = [this, key, epoch, handle, id, token](const NSError* error, const std::string& value) {
            loop.post([this, key, epoch, handle, id, token, error = copyError(error), value] {
                onAttAnswer(key, epoch, token, [&](Device&) {
                    Device* owner = nullptr;
                    Attr* target = attributeOf<Attr>(key, epoch, handle, owner);
                    if (target != nullptr && target->read && target->read->id == id) {
                        onRead(*target, error, value);
                    }
                });
            });
        };
        if (descriptor) {
            central->readDescriptor(key, handle, std::move(done));
        } else {
            central->readCharacteristic(key, handle, std::move(done));
        }
        return true;
    });
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
    if (!d.linked()) {
        return replyError(call, notConnected());
    }
    // The acquired socket is the only way to write, for its holder too.
    if (c.write_acquired) {
        return replyError(call, bluezError("NotPermitted", "Write acquired"));
    }
    // Whatever the new write is, even one bluetoothd would refuse for its options.
    if (c.write) {
        return replyError(call, inProgress());
    }
    Bytes value;
    Options options;
    call >> value >> options;
    uint16_t offset = 0;
    std::optional<std::string> type;
    if (!parseOptions(options, offset, &type)) {
        return replyError(call, invalidArguments());
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
    if (!d.linked()) {
        return replyError(call, notConnected());
    }
    if (desc.write) {
        return replyError(call, inProgress());
    }
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
    if (offset != 0) {
        return replyError(call, attError(0x07));
    }
    if (value.size() > kMaxAttributeValue) {
        return replyError(call, attError(0x0D));
    }
    sendWrite(d, desc, call, value, true);
}

// A write with response: one request, or, longer than one request carries, prepared writes that the device takes
// as one value; either way one turn of the link's queue.
template <typename Attr>
void Impl::sendWrite(Device& d, Attr& a, sdbus::MethodCall& call, const Bytes& value, bool descriptor) {
    const uint64_t id = ++next_id;
    a.write = WriteOp{id, call};
    attEnqueue(d, [this, key = d.key, epoch = d.epoch, handle = a.handle, id, descriptor,
                   data = std::string(value.begin(), value.end())](uint64_t token) {
        Device* dev = nullptr;
        Attr* attr = attributeOf<Attr>(key, epoch, handle, dev);
        if (attr == nullptr || !attr->write || attr->write->id != id) {
            return false;
        }
        auto done = [this, key, epoch, handle, id, token](const NSError* error) {
            loop.post([this, key, epoch, handle, id, token, error = copyError(error)] {
                onAttAnswer(key, epoch, token, [&](Device&) {
                    Device* owner = nullptr;
                    Attr* target = attributeOf<Attr>(key, epoch, handle, owner);
                    if (target == nullptr || !target->write || target->write->id != id) {
                        return;
                    }
                    WriteOp op = std::move(*target->write);
                    target->write.reset();
                    if (error) {
                        replyError(op.call, requestError(*error));
                    } else {
                        replyOk(op.call);
                    }
                });
            });
        };
        if (descriptor) {
            central->writeDescriptor(key, handle, data, std::move(done));
        } else {
            central->writeCharacteristic(key, handle, data, std::move(done));
        }
        return true;
    });
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
                        pumpWrites(*dev);
                    }
                });
            });
    }
}

// The tree's ReadValue methods take these.
template void Impl::readValue(Impl::Device&, Impl::Characteristic&, sdbus::MethodCall&, bool);
template void Impl::readValue(Impl::Device&, Impl::Descriptor&, sdbus::MethodCall&, bool);

}  // namespace bluezsim
