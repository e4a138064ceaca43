// Two copies of the boot-loader environment on /dev/mtd1: reading, choosing and saving them.
#include "env/store.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "env/crc32.h"
#include "env/env.h"
#include "platform/mtd.h"
#include "platform/root.h"
#include "upfw/env.h"

namespace upfw::env {

namespace {

using platform::MtdDevice;

struct EnvDevice {
    char dev_path[16];
    int32_t dev_offset;
    uint32_t copy_size;
    uint32_t erase_size;
    uint32_t block_count;
    uint8_t mtd_type;
};

struct CopyConfig {
    const char *path;
    int32_t offset;
    uint32_t size;
    uint32_t erase_size;
    uint32_t block_count;
};

constexpr CopyConfig kCopies[2] = {
    {"/dev/mtd1", 0x00000, kCopySize, 0x10000, 1},
    {"/dev/mtd1", 0x10000, kCopySize, 0x10000, 1},
};

// Placed at the start of the data area when neither copy has a good CRC.
constexpr char kDefaultText[] =
    "bootcmd=bootp; setenv bootargs root=/dev/nfs nfsroot=${serverip}:${rootpath} "
    "ip=${ipaddr}:${serverip}:${gatewayip}:${netmask}:${hostname}::off; bootm\0"
    "bootdelay=5\0"
    "baudrate=115200\0"
    "\0";
static_assert(sizeof(kDefaultText) == 180, "default environment is 180 bytes");

EnvDevice g_devices[2];
std::unique_ptr<unsigned char[]> g_image;  // one whole copy; null while the store is closed
int g_current = -1;

unsigned char *alloc_copy() {
    auto *p = new (std::nothrow) unsigned char[kCopySize];
    if (!p) std::fprintf(stderr, "Not enough memory for environment (%ld bytes)\n", static_cast<long>(kCopySize));
    return p;
}

uint32_t stored_crc(const unsigned char *copy) {
    return static_cast<uint32_t>(copy[0]) | static_cast<uint32_t>(copy[1]) << 8 |
           static_cast<uint32_t>(copy[2]) << 16 | static_cast<uint32_t>(copy[3]) << 24;
}

void put_crc(unsigned char *copy, uint32_t crc) {
    for (int i = 0; i < 4; ++i) copy[i] = static_cast<unsigned char>(crc >> (8 * i));
}

bool copy_is_good(const unsigned char *copy) {
    return crc32_update(0, copy + 4, kDataSize) == stored_crc(copy);
}

int env_configure() {
    for (int i = 0; i < 2; ++i) {
        EnvDevice &d = g_devices[i];
        std::snprintf(d.dev_path, sizeof d.dev_path, "%s", kCopies[i].path);
        d.dev_offset = kCopies[i].offset;
        d.copy_size = kCopies[i].size;
        d.erase_size = kCopies[i].erase_size;
        d.block_count = kCopies[i].block_count;
    }
    for (int i = 0; i < 2; ++i) {
        struct stat st;
        if (::stat(platform::rooted(g_devices[i].dev_path).c_str(), &st) != 0) {
            std::fprintf(stderr, "Cannot access MTD device %s: %s\n", g_devices[i].dev_path, std::strerror(errno));
            return -1;
        }
    }
    return 0;
}

// 0 good, 1 bad, negative when the query failed. NOR blocks are never bad.
int env_block_is_bad(MtdDevice &dev, uint8_t type, uint64_t block_start, bool quiet = false) {
    if (type != platform::kMtdNand) return 0;
    int r = dev.block_is_bad(block_start);
    if (r < 0) {
        if (!quiet) std::perror("Cannot read bad block mark");
        return -1;
    }
    return r;
}

// Reads count bytes of the copy's range from offset, skipping bad NAND blocks. count or -1;
// quiet: without the messages.
int64_t env_read_range(int copy, MtdDevice &dev, unsigned char *buf, uint32_t count, int32_t offset, uint8_t type,
                       bool quiet = false) {
    const EnvDevice &d = g_devices[copy];
    const uint64_t E = d.erase_size;
    const uint64_t off = static_cast<uint64_t>(static_cast<int64_t>(offset));
    uint64_t block_start = off & ~(E - 1);
    uint64_t in_block = off - block_start;
    uint64_t done = 0;
    uint64_t step, top, len;
    if (type == platform::kMtdNand) {
        step = E;
        top = (static_cast<uint64_t>(static_cast<int64_t>(d.dev_offset)) & ~(E - 1)) + d.block_count * E;
        len = count < E - in_block ? count : E - in_block;
    } else {
        step = 0;
        top = off + count;
        len = count;
    }
    while (done < count) {
        // The range is checked before the block is queried, so no block outside the copy's
        // range (past the end of the device, for the last copy) is ever asked about.
        if (block_start + in_block + len > top) {
            if (!quiet) std::fprintf(stderr, "Too few good blocks within range\n");
            return -1;
        }
        int bad = env_block_is_bad(dev, type, block_start, quiet);
        if (bad < 0) return -1;
        if (bad) {
            block_start += step;
            continue;
        }
        ssize_t n = -1;
        if (dev.seek(static_cast<int64_t>(block_start + in_block), SEEK_SET) >= 0) {
            n = 0;
            while (static_cast<uint64_t>(n) < len) {
                ssize_t r = dev.read(buf + done + n, static_cast<size_t>(len - n));
                if (r <= 0) break;
                n += r;
            }
        }
        if (n < 0 || static_cast<uint64_t>(n) != len) {
            // A read that comes back short has no error of its own: it is an I/O error.
            if (!quiet) std::fprintf(stderr, "Read error on %s: %s\n", d.dev_path, std::strerror(n < 0 ? errno : EIO));
            return -1;
        }
        done += len;
        len = count - done < step ? count - done : step;
        in_block = 0;
        block_start += step;
        if (step == 0 && done < count) break;  // NOR reads the whole range at once
    }
    return static_cast<int64_t>(done);
}

// Erases and writes whole erase blocks of the copy's range, skipping bad NAND blocks.
int64_t env_write_range(int copy, MtdDevice &dev, const unsigned char *buf, uint32_t count, int32_t offset,
                        uint8_t type) {
    const EnvDevice &d = g_devices[copy];
    const uint64_t E = d.erase_size;
    const uint64_t top = (static_cast<uint64_t>(static_cast<int64_t>(d.dev_offset)) & ~(E - 1)) + d.block_count * E;
    const uint64_t off = static_cast<uint64_t>(static_cast<int64_t>(offset));
    const uint64_t first = off & ~(E - 1);
    if (first > top) {
        std::fprintf(stderr, "End of range reached, aborting\n");
        return -1;
    }
    const uint64_t area = top - first;
    const uint64_t in_block = off - first;
    const uint64_t total = (in_block + count + E - 1) & ~(E - 1);
    uint64_t block_start = first;
    uint64_t done = 0;
    std::unique_ptr<unsigned char[]> patch;
    const unsigned char *src = buf;
    if (total > count) {
        if (total > area) {
            std::fprintf(stderr, "End of range reached, aborting\n");
            return -1;
        }
        patch.reset(new (std::nothrow) unsigned char[area]);
        if (!patch) {
            std::fprintf(stderr, "Cannot malloc %u bytes: %s\n", static_cast<unsigned>(area), std::strerror(ENOMEM));
            return -1;
        }
        if (env_read_range(copy, dev, patch.get(), static_cast<uint32_t>(total), static_cast<int32_t>(first), type) !=
            static_cast<int64_t>(total))
            return -1;
        std::memcpy(patch.get() + in_block, buf, count);
        src = patch.get();
    }
    const uint64_t erase_len = type == platform::kMtdNand ? E : area;
    while (done < total) {
        if (block_start + erase_len > top) {
            std::fprintf(stderr, "End of range reached, aborting\n");
            return -1;
        }
        int bad = env_block_is_bad(dev, type, block_start);
        if (bad < 0) return bad;
        if (bad) {
            block_start += E;
            continue;
        }
        dev.unlock(block_start, erase_len);
        if (dev.erase(block_start, erase_len) != 0) {
            std::fprintf(stderr, "MTD erase error on %s: %s\n", d.dev_path, std::strerror(errno));
            return -1;
        }
        if (dev.seek(static_cast<int64_t>(block_start), SEEK_SET) < 0) {
            std::fprintf(stderr, "Seek error on %s: %s\n", d.dev_path, std::strerror(errno));
            return -1;
        }
        // A NOR erase covers the whole area, of which only what remains of the data is written.
        uint64_t len = erase_len <= total - done ? erase_len : total - done;
        ssize_t n = dev.write(src + done, static_cast<size_t>(len));
        if (n < 0 || static_cast<uint64_t>(n) != len) {
            std::fprintf(stderr, "Write error on %s: %s\n", d.dev_path, std::strerror(n < 0 ? errno : EIO));
            return -1;
        }
        dev.lock(block_start, erase_len);
        done += erase_len;
        block_start += E;
    }
    return static_cast<int64_t>(total);
}

int env_read_copy(MtdDevice &dev) {
    platform::MtdInfo info;
    if (dev.info(&info) != 0) {
        std::perror("Cannot get MTD information");
        return -1;
    }
    if (info.type != platform::kMtdNor && info.type != platform::kMtdNand) {
        std::fprintf(stderr, "Unsupported flash type %u\n", static_cast<unsigned>(info.type));
        return -1;
    }
    EnvDevice &d = g_devices[g_current];
    d.mtd_type = info.type;
    return env_read_range(g_current, dev, g_image.get(), d.copy_size, d.dev_offset, info.type) ==
                   static_cast<int64_t>(d.copy_size)
               ? 0
               : -1;
}

int read_current_copy() {
    const EnvDevice &d = g_devices[g_current];
    MtdDevice dev;
    if (!dev.open(platform::rooted(d.dev_path), O_RDONLY)) {
        std::fprintf(stderr, "Can't open %s: %s\n", d.dev_path, std::strerror(errno));
        return -1;
    }
    int r = env_read_copy(dev);
    if (dev.close() != 0) {
        std::fprintf(stderr, "I/O error on %s: %s\n", d.dev_path, std::strerror(errno));
        return -1;
    }
    return r;
}

int env_write_copy(int target, MtdDevice &dev) {
    unsigned char *img = g_image.get();
    img[kCopySize - 1] = static_cast<unsigned char>(img[kCopySize - 1] + 1);
    update_crc();
    const EnvDevice &t = g_devices[target];
    int64_t r = env_write_range(target, dev, img, g_devices[g_current].copy_size, t.dev_offset, t.mtd_type);
    return r < 0 ? static_cast<int>(r) : 0;
}

// Which copy wins when both CRCs are good: the higher flag byte, a wrap to 0 beating 255.
int choose_by_flags(uint8_t g0, uint8_t g1) {
    if (g0 == 255 && g1 == 0) return 1;
    if (g1 == 255 && g0 == 0) return 0;
    return g1 > g0 ? 1 : 0;
}

// The other copy could not be rewritten and may still hold an older environment with a good
// CRC. The flag the current copy is about to get must win over that copy's flag, or a wrap
// of the counter would hand the next load (the boot loader's too) the stale copy: the flag is
// moved on past the stale one where it would not.
void outrun_stale_copy(int target, MtdDevice &dev) {
    const EnvDevice &d = g_devices[target];
    std::unique_ptr<unsigned char[]> stale(alloc_copy());
    if (!stale || env_read_range(target, dev, stale.get(), d.copy_size, d.dev_offset, d.mtd_type, true) !=
                      static_cast<int64_t>(d.copy_size))
        return;  // unreadable here, so not a copy a load would take either
    if (!copy_is_good(stale.get())) return;
    const uint8_t stale_flag = stale[kCopySize - 1];
    unsigned char &flag = g_image[kCopySize - 1];
    const uint8_t next = static_cast<uint8_t>(flag + 1);
    const bool wins = target == 0 ? choose_by_flags(stale_flag, next) == 1 : choose_by_flags(next, stale_flag) == 0;
    if (!wins) flag = stale_flag;  // the write adds one: a flag that beats the stale one
}

void close_store() {
    g_image.reset();
    g_current = -1;
}

}  // namespace

unsigned char *data() { return g_image ? g_image.get() + 4 : nullptr; }

bool loaded() { return g_image != nullptr; }

uint32_t data_size() { return g_image ? g_devices[g_current].copy_size - 4 : 0; }

int current() { return g_image ? g_current : -1; }

void update_crc() { put_crc(g_image.get(), crc32_update(0, g_image.get() + 4, kDataSize)); }

int save() {
    if (!g_image) return -1;
    const int c = g_current, t = 1 - g_current;
    MtdDevice cur, other;
    if (!cur.open(platform::rooted(g_devices[c].dev_path), O_RDWR)) {
        std::fprintf(stderr, "Can't open %s: %s\n", g_devices[c].dev_path, std::strerror(errno));
        return -1;
    }
    int result;
    if (!other.open(platform::rooted(g_devices[t].dev_path), O_RDWR)) {
        std::fprintf(stderr, "Can't open %s: %s\n", g_devices[t].dev_path, std::strerror(errno));
        result = -1;
    } else {
        // Its outcome does not enter the result, but a copy left behind must not win the next load.
        if (env_write_copy(t, other) != 0) outrun_stale_copy(t, other);
        result = env_write_copy(c, cur);
        if (other.close() != 0) {
            std::fprintf(stderr, "I/O error on %s: %s\n", g_devices[t].dev_path, std::strerror(errno));
            result = -1;
        }
    }
    if (cur.close() != 0) {
        std::fprintf(stderr, "I/O error on %s: %s\n", g_devices[c].dev_path, std::strerror(errno));
        return -1;
    }
    return result;
}

}  // namespace upfw::env

using namespace upfw::env;

extern "C" {

UPFW_API int env_init(void) {
    close_store();  // a re-read replaces whatever was open, and a failure leaves nothing usable
    if (env_configure() != 0) return -1;
    std::unique_ptr<unsigned char[]> a(alloc_copy());
    if (!a) return -1;
    g_image = std::move(a);
    g_current = 0;
    if (read_current_copy() != 0) {
        close_store();
        return -1;
    }
    a = std::move(g_image);
    const bool good0 = copy_is_good(a.get());
    const uint8_t g0 = a[kCopySize - 1];

    std::unique_ptr<unsigned char[]> b(alloc_copy());
    if (!b) {
        close_store();
        return -1;
    }
    g_image = std::move(b);
    g_current = 1;
    if (read_current_copy() != 0) {
        close_store();
        return -1;
    }
    b = std::move(g_image);
    if (g_devices[0].mtd_type != g_devices[1].mtd_type) {
        std::fprintf(stderr, "Incompatible flash types!\n");
        close_store();
        return -1;
    }
    const bool good1 = copy_is_good(b.get());
    const uint8_t g1 = b[kCopySize - 1];

    int chosen;
    if (good0 && !good1) chosen = 0;
    else if (!good0 && good1) chosen = 1;
    else if (!good0 && !good1) {
        std::fprintf(stderr, "Warning: Bad CRC, using default environment\n");
        std::memcpy(a.get() + 4, kDefaultText, sizeof kDefaultText);
        chosen = 0;
    } else {
        chosen = choose_by_flags(g0, g1);
    }
    g_image = chosen == 0 ? std::move(a) : std::move(b);
    g_current = chosen;
    return 0;
}

UPFW_API int env_deinit(void) {
    close_store();
    return 0;
}

}  // extern "C"
