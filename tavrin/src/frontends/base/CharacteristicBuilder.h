#pragma once

#include <memory>
#include <string>
#include <vector>

#include <tavrin/Characteristic.h>

#include "frontends/base/CharacteristicBase.h"

namespace Tavrin {

/// Makes a `Characteristic` handle bound to a new `CharacteristicBase`; copy it out as a plain `Characteristic`.
class CharacteristicBuilder : public Characteristic {
  public:
    CharacteristicBuilder(const std::string& uuid, std::vector<Descriptor> descriptors, bool can_read,
                          bool can_write_request, bool can_write_command, bool can_notify, bool can_indicate) {
        internal_ = std::make_shared<CharacteristicBase>(uuid, descriptors, can_read, can_write_request,
                                                         can_write_command, can_notify, can_indicate);
    }
    ~CharacteristicBuilder() override = default;
};

}  // namespace Tavrin
