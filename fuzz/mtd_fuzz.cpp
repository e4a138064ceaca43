// Any text as an emulated device's description: parsing it and driving the device must
// neither crash nor reach outside the device file.
#include <fcntl.h>

#include <fstream>
#include <string>

#include "fuzz_root.h"
#include "platform/mtd.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string dev = fuzz_root() + "/dev/mtd20";
    {
        std::ofstream f(dev, std::ios::binary | std::ios::trunc);
        f << std::string(0x8000, '\xff');
        std::ofstream d(dev + ".mtd", std::ios::binary | std::ios::trunc);
        d.write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(size));
    }
    upfw::platform::MtdDevice m;
    if (!m.open(dev, O_RDWR)) return 0;
    upfw::platform::MtdInfo info;
    if (m.info(&info) != 0) return 0;
    std::string page(info.writesize > 0x8000 ? 0x8000 : info.writesize, '\0');
    m.erase(0, info.erasesize);
    m.seek(0, SEEK_SET);
    m.write(page.data(), page.size());
    char buf[64];
    m.seek(0, SEEK_SET);
    m.read(buf, sizeof buf);
    m.block_is_bad(info.erasesize);
    m.mark_bad(0);
    m.lock(0, info.erasesize);
    return 0;
}
