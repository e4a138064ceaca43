// Any bytes as the environment copy on flash: loading, scanning, the record and version
// parsers, a set and the listings must stay inside their buffers.
#include <fstream>
#include <vector>

#include "fuzz_root.h"
#include "ptb/ptb.h"
#include "upfw/crc32.h"
#include "upfw/env.h"
#include "upfw/ptb.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string &root = fuzz_root();
    std::vector<unsigned char> copy(0x10000, 0);
    for (size_t i = 0; i < size && i + 4 < copy.size(); ++i) copy[4 + i] = data[i];
    const uint32_t crc = crc32(0, copy.data() + 4, 0x10000 - 4);  // a valid copy, so it is used
    for (int i = 0; i < 4; ++i) copy[i] = static_cast<unsigned char>(crc >> (8 * i));
    {
        std::ofstream dev(root + "/dev/mtd1", std::ios::binary | std::ios::trunc);
        dev.write(reinterpret_cast<const char *>(copy.data()), 0x10000);
        dev.write(reinterpret_cast<const char *>(copy.data()), 0x10000);
    }
    if (env_init() != 0) return 0;
    hs_printenv();
    env_mtd_table table;
    get_env_mtd_table(&table);
    upfw::ptb::display_version();
    hs_setenv("sn", "fuzz");
    set_env_boot(0);
    set_cmdline_memory(256);
    env_deinit();
    return 0;
}
