#include <tavrin/Service.h>

#include <tavrin/Exceptions.h>

#include "frontends/base/ServiceBase.h"

namespace Tavrin {

namespace {

// A default-constructed handle is bound to nothing; refuse rather than dereference null.
const ServiceBase& bound(const std::shared_ptr<ServiceBase>& internal) {
    if (!internal) {
        throw Exception::NotInitialized();
    }
    return *internal;
}

}  // namespace

Service::Service() = default;
Service::~Service() = default;

std::string Service::uuid() {
    return bound(internal_).uuid();
}

std::string Service::data() {
    return bound(internal_).data();
}

std::vector<Characteristic> Service::characteristics() {
    return bound(internal_).characteristics();
}

}  // namespace Tavrin
