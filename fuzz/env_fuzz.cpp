// Any bytes as the environment copy on flash: loading, scanning, the record and version
// parsers, a set (a variable, the boot slot or the kernel's memory, by the input's length) and
// the listings must stay inside their buffers.
#include <vector>

#include "fuzz_root.h"
#include "ptb/ptb.h"
#include "upfw/crc32.h"
#include "upfw/env.h"
#include "upfw/ptb.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const FuzzFile dev(fuzz_root() + "/dev/mtd1");
    std::vector<unsigned char> copy(0x10000, 0);
    for (size_t i = 0; i < size && i + 4 < copy.size(); ++i) copy[4 + i] = data[i];
    const uint32_t crc = crc32(0, copy.data() + 4, 0x10000 - 4);  // a valid copy, so it is used
    for (int i = 0; i < 4; ++i) copy[i] = static_cast<unsigned char>(crc >> (8 * i));
    dev.put(copy.data(), 0x10000, 0, false);
    dev.put(copy.data(), 0x10000, 0x10000, true);
    if (env_init() != 0) return 0;
    hs_printenv();
    env_mtd_table table;
    get_env_mtd_table(&table);
    upfw::ptb::display_version();
    // One save an input, the most of its cost: the input's length picks the edit.
    switch (size % 3) {
    case 0: hs_setenv("sn", "fuzz"); break;
    case 1: set_env_boot(0); break;
    default: set_cmdline_memory(256); break;
    }
    env_deinit();
    return 0;
}
