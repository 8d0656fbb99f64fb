#pragma once

#include <chrono>

namespace Tavrin {

/// How long the blocking operations wait, each limit counted from the start of its own step. The
/// defaults are the library's fixed limits of old, so a program that sets none behaves as before.
///
/// Set them on an `Adapter` (`set_time_limits`): its peripherals, found before or after, follow them
/// unless a peripheral has limits of its own (`Peripheral::set_time_limits`). A change applies to the
/// calls that start after it; a call already waiting keeps the limit it started with.
///
/// Every limit must be positive: the setters throw `std::invalid_argument` naming the first one that
/// is not, and keep the limits they had.
struct TimeLimits {
    /// `connect()`: the link coming up (a connection still pending then is cancelled), including the
    /// tries again after a transient failure.
    std::chrono::milliseconds connection{5000};
    /// `connect()`: the list of services.
    std::chrono::milliseconds service_discovery{5000};
    /// `connect()`: each service's characteristics.
    std::chrono::milliseconds characteristic_discovery{1000};
    /// `connect()`: each characteristic's descriptors.
    std::chrono::milliseconds descriptor_discovery{1000};
    /// Each GATT request: reads, writes, subscribing and unsubscribing, descriptor requests, and a
    /// write without response waiting for room in the transmit buffer.
    std::chrono::milliseconds request{1000};
    /// `disconnect()`: the link going down.
    std::chrono::milliseconds disconnection{5000};
    /// Pairing with the device, the program's agent answering included.
    std::chrono::milliseconds pairing{30000};

    /// Throws `std::invalid_argument` ("TimeLimits.<name> must be positive") for the first limit that
    /// is zero or negative.
    void validate() const;

    bool operator==(const TimeLimits& other) const;
    bool operator!=(const TimeLimits& other) const { return !(*this == other); }
};

}  // namespace Tavrin
