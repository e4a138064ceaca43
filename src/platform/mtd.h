// One open MTD device: the kernel's character device, or emulated flash in a regular file.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>

#include "platform/fd.h"

namespace upfw::platform {

enum : uint8_t { kMtdNor = 3, kMtdNand = 4 };

struct MtdInfo {
    uint8_t type = 0;
    uint32_t flags = 0;
    uint32_t size = 0;
    uint32_t erasesize = 0;
    uint32_t writesize = 0;
    uint32_t oobsize = 0;
};

struct Emulation;

// Writes what this process programmed into emulated flash back to the files and forgets it, so
// that another process sees it and may change the files: before a command runs, and whenever the
// flash is handed over. 0, or -1 with errno. The kernel's devices need nothing of the kind.
int settle_emulated_flash();

class MtdDevice {
public:
    MtdDevice();
    ~MtdDevice();
    MtdDevice(MtdDevice &&) noexcept;
    MtdDevice &operator=(MtdDevice &&) noexcept;

    // Opens the node at path as given (fixed paths are re-rooted by the caller). A character
    // device is driven with the MTD ioctls; a regular file is emulated flash described by
    // "<path>.mtd". Returns false with errno set; a malformed description gives EINVAL and
    // names the file and the key on stderr.
    bool open(const std::string &path, int flags);
    // Closes now: 0, or -1 with errno. The destructor closes too.
    int close();
    bool is_open() const { return fd_.valid(); }
    bool emulated() const { return emu_ != nullptr; }

    // MEMGETINFO. 0, or -1 with errno. Changes nothing.
    int info(MtdInfo *out) const;
    // MEMERASE of [start, start+length): erase-block aligned and inside the device, else EINVAL;
    // a bad NAND block fails with EIO (blocks before it are erased). Length 0 does nothing.
    int erase(uint64_t start, uint64_t length);
    // MEMLOCK / MEMUNLOCK. NOR: 0; NAND answers errno 524 as the kernel does.
    int lock(uint64_t start, uint64_t length);
    int unlock(uint64_t start, uint64_t length);
    // MEMGETBADBLOCK for the block holding offset: 1 bad, 0 good, -1 with errno (EINVAL past
    // the end). NOR blocks are always good.
    int block_is_bad(uint64_t offset);
    // MEMSETBADBLOCK: marks the block bad (persisted in the description). NOR: EOPNOTSUPP.
    int mark_bad(uint64_t offset);

    // Reads and writes at the current position, which they advance. Reads take any alignment
    // and stop at the end; NAND writes need whole pages at page starts (else EINVAL); writing
    // can only clear bits. Byte count, or -1 with errno.
    ssize_t read(void *buf, size_t count);
    ssize_t write(const void *buf, size_t count);
    // The same at a given offset, leaving the position alone.
    ssize_t pread(void *buf, size_t count, uint64_t offset);
    ssize_t pwrite(const void *buf, size_t count, uint64_t offset);
    // lseek semantics, and as on the kernel's device a position outside [0, size] is EINVAL;
    // the new position or -1 with errno.
    int64_t seek(int64_t offset, int whence);

private:
    // The emulated flash's cells at pos, *len cut to what lies together there (overwrite: the
    // caller replaces them all); null with errno.
    unsigned char *emu_cells(uint64_t pos, size_t *len, bool overwrite);
    ssize_t emu_read(void *buf, size_t count, uint64_t pos);
    ssize_t emu_write(const void *buf, size_t count, uint64_t pos);

    UniqueFd fd_;
    std::unique_ptr<Emulation> emu_;
};

}  // namespace upfw::platform
