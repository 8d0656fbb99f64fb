#pragma once
// One device of the world served from one controller: its advertisement and GATT table on the real stack (a
// BlueZ peripheral session), and behind them the device itself in the simulated world (a central session of the
// world's radio), which answers every request with its latency, values, faults and model. The world's link to
// the device is up while a central's link to the controller is; a link the world loses is taken down on the air.
//
// Threads: the peripheral's events come on its loop thread, the world's on its scheduler's; both take `mutex_`.
// Requests to the world and to the peripheral never answer inside the call, so they are made holding it.

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "WorldTree.h"
#include "platform/Radio.h"
#include "platform/RadioPeripheral.h"
#include "platform/sim/WorldConfig.h"

namespace worldserver {

class DeviceServer final : public platform::radio::RadioPeripheralEvents,
                           public platform::radio::RadioCentralEvents,
                           public std::enable_shared_from_this<DeviceServer> {
  public:
    struct Setup {
        platform::sim::PeripheralConfig device;
        DeviceTree tree;
        std::string adapter;  // "hci1"
        uint16_t index = 0;   // its management index
        /// Takes every link of the controller down at once (from any thread; it may block).
        std::function<void()> dropLinks;
        /// Names the adapter as the device (its GAP name) again, after bluetoothd came back.
        std::function<void()> nameAdapter;
        /// Has the device ask the central to pair (a security request), from any thread; it may block.
        std::function<void(const platform::radio::CentralKey& central)> askToPair;
    };
    explicit DeviceServer(Setup setup);

    /// Opens both sessions and hands the services and advertisements to bluetoothd; `done` answers once all are
    /// served, or with the first refusal's text.
    void start(std::function<void(const std::string* error)> done);
    /// Unregisters everything and closes both sessions.
    void stop();

    // The real stack.
    void peripheralStateChanged(platform::CBManagerState state) override;
    void peripheralRead(const platform::radio::ReadRequest& request, platform::radio::ReadReply reply) override;
    void peripheralWrite(const platform::radio::WriteRequest& request, platform::radio::WriteReply reply) override;
    void peripheralSubscribed(platform::radio::LocalAttributeId characteristic) override;
    void peripheralUnsubscribed(platform::radio::LocalAttributeId characteristic) override;
    void peripheralCentralConnected(const platform::radio::CentralKey& central) override;
    void peripheralCentralDisconnected(const platform::radio::CentralKey& central) override;

    // The world.
    void radioStateChanged(platform::CBManagerState) override {}
    void radioDiscovered(const std::vector<platform::radio::Sighting>&) override {}
    void radioConnected(const platform::radio::DeviceKey& device) override;
    void radioConnectFailed(const platform::radio::DeviceKey& device, const platform::NSError& error) override;
    void radioDisconnected(const platform::radio::DeviceKey& device, const platform::NSError* error) override;
    void radioNotified(const platform::radio::DeviceKey& device, platform::radio::AttributeHandle characteristic,
                       const std::string& value) override;

  private:
    // The world's link to the device, which follows the centrals' links to the controller.
    enum class Link {
        Down,
        Connecting,
        Up,
        Closing,  // asked down; the world has yet to confirm
    };
    void connectLocked();
    void releaseLocked();
    void pauseAdvertisingLocked();
    void resumeAdvertisingLocked();
    void dropLinks();
    void whenUpLocked(std::function<void()> request);
    void forwardRead(const platform::radio::ReadRequest& request, platform::radio::ReadReply reply);
    void forwardWrite(const platform::radio::WriteRequest& request, platform::radio::WriteReply reply);

    const Setup setup_;
    const std::string key_;   // the world's name for the device
    const bool connectable_;  // a device nobody may connect to has its links refused

    using Clock = std::chrono::steady_clock;

    std::mutex mutex_;  // guards every field below
    std::shared_ptr<platform::radio::RadioPeripheral> peripheral_;
    std::shared_ptr<platform::radio::RadioCentral> world_;
    bool wasOn_ = false;
    Clock::time_point linkSince_;  // when the latest central's link came up
    Link link_ = Link::Down;
    std::set<platform::radio::CentralKey> centrals_;
    platform::radio::LocalAdvertisement advertisement_;
    bool advertising_ = false;                    // off while a central is connected
    std::vector<std::function<void()>> waiting_;  // requests until the world's link is up
    std::set<platform::radio::LocalAttributeId> subscribed_;
    std::map<platform::radio::LocalAttributeId, std::string> longWrites_;  // values written in parts so far
};

}  // namespace worldserver
