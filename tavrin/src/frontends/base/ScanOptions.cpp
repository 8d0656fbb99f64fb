#include <tavrin/ScanOptions.h>

#include <stdexcept>
#include <string>

#include <platform/CBTypes.h>
#include <platform/Foundation.h>

namespace Tavrin {

void ScanOptions::validate() const {
    for (const std::string& uuid : service_uuids) {
        try {
            (void)platform::CBUUID::UUIDWithString(uuid);
        } catch (const platform::NSException&) {
            throw std::invalid_argument("ScanOptions.service_uuids: \"" + uuid + "\" is not a UUID");
        }
    }
    if (rssi_floor && (*rssi_floor < -127 || *rssi_floor > 0)) {
        throw std::invalid_argument("ScanOptions.rssi_floor must lie from -127 to 0 dBm, not " +
                                    std::to_string(*rssi_floor));
    }
    if (passive && !service_uuids.empty()) {
        throw std::invalid_argument("ScanOptions.passive cannot be combined with ScanOptions.service_uuids");
    }
}

}  // namespace Tavrin
