#include "Utils.h"

#include <iomanip>
#include <iostream>
#include <vector>

namespace Utils {

std::optional<Tavrin::Adapter> getAdapter() {
    std::vector<Tavrin::Adapter> adapters = Tavrin::Adapter::get_adapters();
    // Several adapters: the first that is powered, asking nobody.
    if (adapters.size() > 1) {
        for (Tavrin::Adapter& adapter : adapters) {
            if (adapter.is_enabled()) {
                std::cout << "Using adapter: " << adapter.identifier() << " [" << adapter.address() << "]" << std::endl;
                return adapter;
            }
        }
        std::cout << "Bluetooth is not enabled!" << std::endl;
        return std::nullopt;
    }

    if (!Tavrin::Adapter::bluetooth_enabled()) {
        std::cout << "Bluetooth is not enabled!" << std::endl;
        return std::nullopt;
    }
    if (adapters.empty()) {
        std::cerr << "No adapter was found." << std::endl;
        return std::nullopt;
    }
    Tavrin::Adapter adapter = adapters.front();
    std::cout << "Using adapter: " << adapter.identifier() << " [" << adapter.address() << "]" << std::endl;
    return adapter;
}

std::optional<uint64_t> getUserInputInt(const std::string& line, uint64_t max) {
    return getUserInputInt(line, max, std::cin, std::cout);
}

std::optional<uint64_t> getUserInputInt(const std::string& line, uint64_t max, std::istream& in, std::ostream& out) {
    while (!in.eof()) {
        // No line end: the answer is typed on the prompt's line; std::cin's tie flushes std::cout.
        out << line << " (0-" << max << "): ";

        uint64_t value = 0;
        in >> value;
        if (in.fail()) {
            return std::nullopt;
        }
        if (value <= max) {
            return value;
        }
    }
    return std::nullopt;
}

void print_byte_array(const std::string& bytes) {
    print_byte_array(bytes, std::cout);
}

void print_byte_array(const std::string& bytes, std::ostream& out) {
    // Base and fill stay set on the stream afterwards; the width lasts for one number only.
    out << std::hex << std::setfill('0');
    for (const char byte : bytes) {
        out << std::setw(2) << static_cast<unsigned>(static_cast<unsigned char>(byte)) << " ";
    }
    out << std::endl;
}

}  // namespace Utils
