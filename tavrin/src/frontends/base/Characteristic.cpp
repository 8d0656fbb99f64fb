#include <tavrin/Characteristic.h>

#include <tavrin/Exceptions.h>

#include "frontends/base/CharacteristicBase.h"

namespace Tavrin {

namespace {

// A default-constructed handle is bound to nothing; refuse rather than dereference null.
const CharacteristicBase& bound(const std::shared_ptr<CharacteristicBase>& internal) {
    if (!internal) {
        throw Exception::NotInitialized();
    }
    return *internal;
}

}  // namespace

Characteristic::Characteristic() = default;
Characteristic::~Characteristic() = default;

std::string Characteristic::uuid() {
    return bound(internal_).uuid();
}

std::vector<Descriptor> Characteristic::descriptors() {
    return bound(internal_).descriptors();
}

bool Characteristic::can_read() {
    return bound(internal_).can_read();
}

bool Characteristic::can_write_request() {
    return bound(internal_).can_write_request();
}

bool Characteristic::can_write_command() {
    return bound(internal_).can_write_command();
}

bool Characteristic::can_notify() {
    return bound(internal_).can_notify();
}

bool Characteristic::can_indicate() {
    return bound(internal_).can_indicate();
}

std::vector<std::string> Characteristic::capabilities() {
    std::vector<std::string> names;
    if (can_read()) {
        names.emplace_back("read");
    }
    if (can_write_request()) {
        names.emplace_back("write_request");
    }
    if (can_write_command()) {
        names.emplace_back("write_command");
    }
    if (can_notify()) {
        names.emplace_back("notify");
    }
    if (can_indicate()) {
        names.emplace_back("indicate");
    }
    return names;
}

}  // namespace Tavrin
