// Any text as an emulated device's description: parsing it and driving the device must
// neither crash nor reach outside the device file.
#include <fcntl.h>

#include <string>

#include "fuzz_root.h"
#include "platform/mtd.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const std::string dev = fuzz_root() + "/dev/mtd20";
    static const FuzzFile flash(dev);
    static const std::string erased(0x8000, '\xff');
    flash.put(erased.data(), erased.size(), 0, true);
    FuzzFile::put_by_name(dev + ".mtd", data, size);  // marking a block bad replaces the file
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
