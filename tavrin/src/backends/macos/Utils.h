#pragma once

#include <string>

#include "platform/CoreBluetooth.h"

namespace Tavrin {

/// The library's text for a platform UUID: lower case, with a 16-bit UUID widened onto the
/// Bluetooth Base UUID; 32-bit and 128-bit forms are only lowered.
std::string uuidToTavrin(const platform::CBUUID& uuid);

}  // namespace Tavrin
