#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <tavrin/Service.h>
#include <tavrin/Types.h>

#include "callback/safe_callback.h"

namespace Tavrin {

class PeripheralBaseMacOS;

/// The backend object behind every `Peripheral` handle: the latest advertisement's facts, the
/// caller's connection callbacks, and forwarding to the platform delegate.
/// Made only by `AdapterBase`, on a peripheral's first advertisement; always held by shared_ptr.
class PeripheralBase {
public:
    /// `peripheral` is the platform `CBPeripheral*`, `central_manager` the `CBCentralManager*`.
    PeripheralBase(void* peripheral, void* central_manager, advertising_data_t advertising_data);
    ~PeripheralBase();
    PeripheralBase(const PeripheralBase&) = delete;
    PeripheralBase& operator=(const PeripheralBase&) = delete;

    void* underlying() const;

    std::string identifier();
    std::string address();
    AddressType address_type();
    int16_t rssi();
    int16_t tx_power();
    uint16_t mtu();

    void connect();
    void disconnect();
    bool is_connected();
    bool is_connectable();
    bool is_paired();
    void unpair();

    std::vector<Service> services();
    std::vector<Service> advertised_services();
    std::map<uint16_t, std::string> manufacturer_data();

    std::string read(const std::string& service, const std::string& characteristic);
    void write_request(const std::string& service, const std::string& characteristic, const std::string& data);
    void write_command(const std::string& service, const std::string& characteristic, const std::string& data);
    void notify(const std::string& service, const std::string& characteristic,
                std::function<void(std::string payload)> callback);
    void indicate(const std::string& service, const std::string& characteristic,
                  std::function<void(std::string payload)> callback);
    void unsubscribe(const std::string& service, const std::string& characteristic);

    std::string read(const std::string& service, const std::string& characteristic, const std::string& descriptor);
    void write(const std::string& service, const std::string& characteristic, const std::string& descriptor,
               const std::string& data);

    void set_callback_on_connected(std::function<void()> on_connected);
    void set_callback_on_disconnected(std::function<void()> on_disconnected);

    // Called by AdapterBase on the event queue.
    void update_advertising_data(advertising_data_t advertising_data);
    void delegate_did_connect();
    void delegate_did_disconnect();

private:
    std::shared_ptr<PeripheralBaseMacOS> delegate_;  // set once in the constructor, then read-only

    std::mutex advertising_mutex_;  // guards rssi_, tx_power_, connectable_, manufacturer_data_, service_data_
    int16_t rssi_;
    int16_t tx_power_;
    bool connectable_;
    std::atomic<bool> user_disconnect_pending_;  // written by disconnect(), read on the event queue
    std::atomic<bool> disconnect_event_seen_;    // set on the event queue, awaited by disconnect()
    std::map<uint16_t, std::string> manufacturer_data_;
    std::map<std::string, std::string> service_data_;

    zem::safe_callback<void()> callback_on_connected_;
    zem::safe_callback<void()> callback_on_disconnected_;
};

}  // namespace Tavrin
