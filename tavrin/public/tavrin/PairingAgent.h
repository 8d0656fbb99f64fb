#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace Tavrin {

/// What the program's side of pairing can show and take in. It decides how a device pairs: a device
/// that shows a passkey needs a keyboard here, one that compares numbers needs a display and yes/no.
enum class IoCapability : int32_t {
    DisplayOnly = 0,
    DisplayYesNo = 1,
    KeyboardOnly = 2,
    NoInputNoOutput = 3,
    KeyboardDisplay = 4,
};

/// The program's answers to the questions pairing asks, installed on the adapter with
/// `Adapter::set_pairing_agent`. Each callback gets the peripheral's address, as
/// `Peripheral::address()` gives it.
///
/// Threads and locks: each question runs on a thread of its own, with no lock of the library held, so a
/// callback may block (prompt a user) and may call the library. Its answer counts only while the
/// pairing that asked is under way: a pairing ends at its limit (see `Peripheral::pair`) whether or
/// not the callback has returned. A callback that throws, or one left empty, refuses (and an empty
/// `display_passkey` or `cancel` does nothing).
struct PairingAgent {
    IoCapability capability = IoCapability::KeyboardDisplay;
    /// The device shows a passkey: return it (0-999999).
    std::function<uint32_t(const std::string& address)> request_passkey;
    /// Show `passkey` to be typed on the device.
    std::function<void(const std::string& address, uint32_t passkey)> display_passkey;
    /// Both sides show `passkey`: return whether they match.
    std::function<bool(const std::string& address, uint32_t passkey)> confirm;
    /// May the device pair (or use a service) without a passkey?
    std::function<bool(const std::string& address)> authorize;
    /// The question asked last about the device is not wanted any more (pairing canceled or failed).
    std::function<void(const std::string& address)> cancel;
};

}  // namespace Tavrin
