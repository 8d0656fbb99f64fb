// Builds against the installed headers and library only, and uses the public interface end to end.
#include <tavrin/Tavrin.h>

#include <iostream>

int main() {
    try {
        throw Tavrin::Exception::ServiceNotFound("180d");
    } catch (const Tavrin::Exception::BaseException& e) {
        std::cout << e.what() << '\n';
    }
    auto adapters = Tavrin::Adapter::get_adapters();
    if (adapters.size() != 1) {
        std::cerr << "expected one adapter\n";
        return 1;
    }
    std::cout << adapters[0].identifier() << '\n';
    Tavrin::Peripheral unbound;
    return unbound.initialized() ? 1 : 0;
}
