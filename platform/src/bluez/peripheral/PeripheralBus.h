#pragma once
// Small pieces every part of the BlueZ peripheral uses on the bus: UUIDs in bluetoothd's form, and answers to calls
// that may not want one.

#include <sdbus-c++/sdbus-c++.h>

#include <functional>
#include <string>

#include "platform/CBTypes.h"

namespace platform::bluez::peripheral {

/// bluetoothd's form of a UUID: 128 bits, lower case, with hyphens.
inline std::string uuidText(const CBUUID& uuid) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    const auto& b = uuid.data();
    for (size_t i = 0; i < b.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            out += '-';
        }
        out += digits[b[i] >> 4];
        out += digits[b[i] & 0x0F];
    }
    return out;
}

/// Answers a call, unless its caller asked for no answer (bluetoothd sends some so) or is gone.
inline void answer(const sdbus::MethodCall& call, const std::function<void(sdbus::MethodReply&)>& fill = nullptr) {
    if (call.doesntExpectReply()) {
        return;
    }
    try {
        auto reply = call.createReply();
        if (fill) {
            fill(reply);
        }
        reply.send();
    } catch (const sdbus::Error&) {
        // The caller is gone.
    }
}

inline void answerError(const sdbus::MethodCall& call, const sdbus::Error& error) {
    if (call.doesntExpectReply()) {
        return;
    }
    try {
        call.createErrorReply(error).send();
    } catch (const sdbus::Error&) {
    }
}

}  // namespace platform::bluez::peripheral
