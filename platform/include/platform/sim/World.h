#pragma once
// The process-wide simulated world: the radio, the virtual devices and the test controls.

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Radio.h"
#include "platform/sim/WorldConfig.h"

namespace platform::sim {

/// One write a device received, in the order received.
struct ReceivedWrite {
    std::string service_uuid;         // as the world file names it
    std::string characteristic_uuid;  // as the world file names it
    std::string data;
    bool with_response = true;
};

/// Which object of a device a fault is set on: all empty for the peripheral itself, a service UUID for a
/// service, a service and characteristic UUID for a characteristic, all three for a descriptor.
struct FaultTarget {
    std::string service_uuid;
    std::string characteristic_uuid;
    std::string descriptor_uuid;
};

/// The simulated world. On first use of `get()` it loads the file named by TAVRIN_SIM_WORLD, or the
/// embedded default world when that says `default` or is unset. (Whether the world is the process's radio is
/// decided apart from it: see platform::radio::processRadio().) A file that cannot be loaded gives one line on standard
/// error and a radio that reports the state unsupported. Every member is thread-safe.
class World {
  public:
    static World& get();

    /// The world as a radio: each central opens its own session over the world's devices.
    radio::Radio& radio();

    /// Replaces the whole world (tests). Existing managers see their peripherals vanish: links to them are
    /// lost. Throws std::invalid_argument (and changes nothing) for a config it cannot build.
    void reset(WorldConfig config);

    // The radio.
    void setAdapterState(CBManagerState state);  // switching off stops scans and drops links silently
    CBManagerState adapterState() const;
    void setAuthorization(CBManagerAuthorization authorization);
    CBManagerAuthorization authorization() const;

    // Devices. Identifiers are compared without regard to case; the members that name a device or an
    // attribute throw std::out_of_range when the world has no such thing.
    /// Adds a device (replacing one with the same identifier); managers that scan see it from now on.
    void addPeripheral(PeripheralConfig config);
    /// Removes a device: its links are lost and it advertises no more. Unknown identifiers are ignored.
    void removePeripheral(const std::string& identifier);
    /// Sets a characteristic's value on the device without notifying.
    void setValue(const std::string& identifier, const std::string& service_uuid,
                  const std::string& characteristic_uuid, const std::string& value);
    /// Sets the value and notifies every subscribed manager.
    void notify(const std::string& identifier, const std::string& service_uuid, const std::string& characteristic_uuid,
                const std::string& value);
    /// The device's current value of a characteristic.
    std::optional<std::string> value(const std::string& identifier, const std::string& service_uuid,
                                     const std::string& characteristic_uuid) const;
    /// Loses every link to the device (did-disconnect with an error).
    void dropLink(const std::string& identifier);
    /// Every write the device received, with and without response, in order.
    std::vector<ReceivedWrite> receivedWrites(const std::string& identifier) const;
    void clearReceivedWrites(const std::string& identifier);
    /// Sets the fault that one kind of request to `target` meets from now on (std::nullopt: none). The
    /// request kinds are those of Faults. Throws std::out_of_range for an unknown device or attribute.
    void setFault(const std::string& identifier, const FaultTarget& target, const std::string& request,
                  std::optional<Fault> fault);

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
