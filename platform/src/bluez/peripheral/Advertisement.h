#pragma once
// One advertisement as bluetoothd's LEAdvertisingManager1 takes it from a program: an org.bluez.LEAdvertisement1
// object whose properties bluetoothd reads once when it is registered, and whose Release method bluetoothd calls
// when it gives the advertisement back. Only bluetoothd may call it. Runs on the session's loop thread.

#include <sdbus-c++/sdbus-c++.h>

#include <functional>
#include <memory>
#include <string>

#include "platform/RadioPeripheral.h"

namespace platform::bluez::peripheral {

class Advertisement {
  public:
    /// Exports the object at `path`; `released` runs when bluetoothd gives it back. Throws sdbus::Error.
    Advertisement(sdbus::IConnection& connection, std::string path, const radio::LocalAdvertisement& data,
                  std::function<bool(const sdbus::MethodCall&)> fromDaemon, std::function<void()> released);
    const std::string& path() const { return path_; }

  private:
    const std::string path_;
    std::unique_ptr<sdbus::IObject> object_;
};

}  // namespace platform::bluez::peripheral
