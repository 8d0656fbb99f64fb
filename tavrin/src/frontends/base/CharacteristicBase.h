#pragma once

#include <string>
#include <vector>

#include <tavrin/Descriptor.h>

namespace Tavrin {

/// The values behind a `Characteristic` handle: set once at construction, never changed, shared by every copy.
class CharacteristicBase {
  public:
    CharacteristicBase(const std::string& uuid, const std::vector<Descriptor>& descriptors, bool can_read,
                       bool can_write_request, bool can_write_command, bool can_notify, bool can_indicate);
    virtual ~CharacteristicBase() = default;

    std::string uuid() const;
    std::vector<Descriptor> descriptors() const;
    bool can_read() const;
    bool can_write_request() const;
    bool can_write_command() const;
    bool can_notify() const;
    bool can_indicate() const;

  private:
    std::string uuid_;
    std::vector<Descriptor> descriptors_;
    bool can_read_;
    bool can_write_request_;
    bool can_write_command_;
    bool can_notify_;
    bool can_indicate_;
};

}  // namespace Tavrin
