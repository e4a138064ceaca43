// The register window (/dev/mem) and the I2C driver node, real or emulated.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "platform/fd.h"

namespace upfw::platform {

// A window of 32-bit device registers. The real backend maps /dev/mem and exists only in
// builds for the device (ARM): elsewhere mapping a device node fails, so a run on a PC never
// pokes physical memory. A regular file stands for an MDIO controller: lines "phyP.regR=V"
// give what each PHY register reads, "mdio=stuck" keeps the controller busy from the start,
// "mdio=hang" takes a read command and never finishes it, "mdio=fail" answers every read with
// the read-status failure bit; an absent register reads 0xffff, as an empty bus does.
class RegisterWindow {
public:
    enum class Result { kOk, kOpenFailed, kMapFailed };
    RegisterWindow();
    ~RegisterWindow();
    RegisterWindow(const RegisterWindow &) = delete;
    RegisterWindow &operator=(const RegisterWindow &) = delete;

    // Opens path (O_RDWR | O_SYNC) and maps length bytes at physical address phys.
    Result map(const std::string &path, uint32_t phys, size_t length);
    // The descriptor the open returned (-1 after a failed open), for messages.
    int open_result() const { return open_result_; }
    uint32_t read32(size_t offset);
    void write32(size_t offset, uint32_t value);
    // Unmaps and closes; nothing is kept.
    void unmap();

private:
    int open_result_ = -1;
    UniqueFd fd_;
    volatile uint32_t *regs_ = nullptr;
    size_t length_ = 0;
    // Emulated controller.
    std::map<std::pair<unsigned, unsigned>, uint32_t> phy_;
    std::string mode_;
    uint32_t cmd_ = 0, data_ = 0, status_ = 0;
};

// Reads one byte from register reg (one address byte) of device dev on I2C bus through the
// driver node. false when the node cannot be opened; *out stays 0 when the driver gave nothing.
// A regular file stands for the bus: lines "busB.devD.regR=V".
bool i2c_read_byte(const std::string &node, uint32_t bus, uint8_t dev, uint32_t reg, uint8_t *out);

// Pauses for the given microseconds on the device; under a root nothing waits.
void sleep_micros(unsigned micros);

}  // namespace upfw::platform
