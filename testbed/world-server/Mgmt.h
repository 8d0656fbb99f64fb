#pragma once
// The kernel's Bluetooth management interface (mgmt), for what the world server asks of a controller that
// bluetoothd does not offer: a link taken down at once from the peripheral's side (Device1.Disconnect waits 2 s
// first). Blocking calls, each bounded by a short time limit; errors are thrown as std::runtime_error naming the
// command.

#include <cstdint>
#include <string>
#include <vector>

namespace worldserver {

class Mgmt {
  public:
    /// Opens the control channel. Throws std::runtime_error where there is no Bluetooth in the kernel.
    Mgmt();
    ~Mgmt();
    Mgmt(const Mgmt&) = delete;
    Mgmt& operator=(const Mgmt&) = delete;

    struct Info {
        std::string address;  // the public address "AA:BB:CC:DD:EE:FF"
        uint32_t settings = 0;
    };
    Info info(uint16_t index);

    struct Link {
        std::string address;
        uint8_t type = 0;  // 0 BR/EDR, 1 LE public, 2 LE random
    };
    std::vector<Link> connections(uint16_t index);
    void disconnect(uint16_t index, const Link& link);

  private:
    std::vector<uint8_t> command(uint16_t opcode, uint16_t index, const std::vector<uint8_t>& parameters,
                                 const char* what);
    int fd_ = -1;
};

}  // namespace worldserver
