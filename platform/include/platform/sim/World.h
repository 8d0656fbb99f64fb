#pragma once
// The process-wide simulated world: the radio, the virtual devices and the test controls.

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/sim/WorldSpec.h"

namespace platform::sim {

/// One write a device received, in the order received.
struct ReceivedWrite {
    std::string service_uuid;         // as the world spec names it
    std::string characteristic_uuid;  // as the world spec names it
    std::string data;
    bool with_response = true;
};

/// The simulated world. On first use of `get()` it loads the file named by TAVRIN_SIM_WORLD, or the
/// embedded default world when that is unset. A file that cannot be loaded gives one line on standard
/// error and a radio that reports the state unsupported. Every member is thread-safe.
class World {
public:
    static World& get();

    /// Replaces the whole world (tests). Existing managers see their peripherals vanish.
    void reset(WorldSpec spec);

    // The radio.
    void setAdapterState(CBManagerState state);  // switching off stops scans and drops links silently
    CBManagerState adapterState() const;
    void setAuthorization(CBManagerAuthorization authorization);
    CBManagerAuthorization authorization() const;

    // Devices. Identifiers are compared without regard to case.
    void addPeripheral(PeripheralSpec spec);
    void removePeripheral(const std::string& identifier);
    /// Sets a characteristic's value on the device without notifying.
    void setValue(const std::string& identifier, const std::string& service_uuid,
                  const std::string& characteristic_uuid, const std::string& value);
    /// Sets the value and notifies every subscribed manager.
    void notify(const std::string& identifier, const std::string& service_uuid,
                const std::string& characteristic_uuid, const std::string& value);
    /// The device's current value of a characteristic.
    std::optional<std::string> value(const std::string& identifier, const std::string& service_uuid,
                                     const std::string& characteristic_uuid) const;
    /// Loses every link to the device (did-disconnect with an error).
    void dropLink(const std::string& identifier);
    /// Every write the device received, with and without response, in order.
    std::vector<ReceivedWrite> receivedWrites(const std::string& identifier) const;
    void clearReceivedWrites(const std::string& identifier);

    World(const World&) = delete;
    World& operator=(const World&) = delete;

    struct Impl;
    Impl& impl() const noexcept { return *impl_; }

private:
    World();
    ~World();
    std::unique_ptr<Impl> impl_;
};

}  // namespace platform::sim
