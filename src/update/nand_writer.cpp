// NAND partition writer: erase the partition, then write page by page, reading every page
// back; a block that does not read back as written is marked bad and its data go again into
// the next good block. The record is stored only after the whole component is verified.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "env/crc32.h"
#include "image/crypto.h"
#include "platform/command.h"
#include "platform/fd.h"
#include "platform/mtd.h"
#include "platform/root.h"
#include "update/progress.h"
#include "update/writer.h"
#include "upfw/env.h"

namespace upfw::update {

namespace {

using platform::MtdDevice;
using platform::UniqueFd;

constexpr uint32_t kMaxPage = 2048;
constexpr unsigned kBlockAlign = 1;
constexpr const char *kEraseUtility = "/usr/sbin/flash_eraseall";
constexpr const char *kStoreFailed = "set_env_partition faild!\n";

struct Geometry {
    uint32_t oob, page;
};
constexpr Geometry kAccepted[] = {{16, 512}, {8, 256}, {64, 2048}, {60, 2048}, {32, 2048}};

bool accepted(const platform::MtdInfo &info) {
    for (const Geometry &g : kAccepted)
        if (g.oob == info.oobsize && g.page == info.writesize) return info.erasesize % info.writesize == 0;
    return false;
}

void too_big(const update_part &req, const platform::MtdInfo &info) {
    std::fprintf(stderr, "Image %d bytes, NAND page %d bytes, OOB area %u bytes, device size %u bytes\n",
                 static_cast<int>(req.size), static_cast<int>(info.writesize), info.oobsize, info.size);
    errno = ENOSPC;
    std::perror("Input file does not fit into device");
}

// Writes the component; false on a failure (already reported). remaining tells what is left.
bool write_pages(MtdDevice &mtd, const platform::MtdInfo &info, int image, const update_part &req,
                 unsigned char *page, int64_t &remaining, uint32_t &crc, crypto::Sha256 *sha) {
    const uint64_t P = info.writesize, E = info.erasesize, end = info.size;
    unsigned char back[kMaxPage];
    uint64_t wpos = 0, ipos = req.offset;
    uint64_t block = UINT64_MAX;
    uint32_t crc_at_block = crc;  // the CRC before the current block's data, for a rewrite
    crypto::Sha256 sha_at_block;  // the same for the digest, when one is kept
    if (sha) sha_at_block = *sha;
    while (remaining != 0 && wpos < end) {
        while ((wpos & ~(E - 1)) != block) {
            block = wpos & ~(E - 1);
            crc_at_block = crc;
            if (sha) sha_at_block = *sha;
            int bad = mtd.block_is_bad(block);
            if (bad < 0) {
                std::perror("ioctl(MEMGETBADBLOCK)");
                return false;
            }
            if (bad) {
                std::fprintf(stderr, "Bad block at %x, %u block(s) from %x will be skipped\n",
                             static_cast<unsigned>(block), kBlockAlign, static_cast<unsigned>(block));
                wpos = block + E;
                if (wpos >= end) return true;  // no room left: a partial write
            }
        }
        size_t L = P;
        if (req.pad && remaining < static_cast<int64_t>(P)) {
            L = static_cast<size_t>(remaining);
            std::memset(page + L, 0xFF, P - L);
        }
        ssize_t n = platform::read_full(image, page, L, static_cast<int64_t>(ipos));
        if (n == 0) {
            std::fprintf(stderr, "read file return 0 size!\n");
            return false;
        }
        if (n != static_cast<ssize_t>(L)) {
            if (n > 0) errno = ENODATA;
            std::perror("File I/O error on input file");
            return false;
        }
        if (mtd.pwrite(page, P, wpos) != static_cast<ssize_t>(P)) {
            std::perror("pwrite");
            return false;
        }
        if (mtd.pread(back, P, wpos) != static_cast<ssize_t>(P)) {
            std::perror("pread");
            return false;
        }
        if (std::memcmp(page, back, L) == 0) {
            crc = env::crc32_raw(crc, page, L);
            if (sha) sha->update(page, L);
            remaining -= static_cast<int64_t>(L);
            wpos += P;
            ipos += P;
            progress(req, req.size - static_cast<uint64_t>(remaining), false);
            continue;
        }
        // Give the block up: mark it, and write its data again from the next good block.
        if (mtd.mark_bad(block) != 0) {
            std::perror("ioctl(MEMSETBADBLOCK)");
            return false;
        }
        const uint64_t done = wpos - block;
        ipos -= done;
        remaining += static_cast<int64_t>(done);
        crc = crc_at_block;
        if (sha) *sha = sha_at_block;
        wpos = block + E;
    }
    return true;
}

}  // namespace

}  // namespace upfw::update

extern "C" {

void *ptr_to_globals = nullptr;

UPFW_API void *xzalloc(size_t size) { return std::calloc(1, size ? size : 1); }

UPFW_API int nand_flash_write_file(const char *image_path, const update_part *req) {
    return upfw::update::nand_write(image_path, req, nullptr);
}

}  // extern "C"

int upfw::update::nand_write(const char *image_path, const update_part *req, const Expected *expected) {
    if (!req || !image_path) return -1;
    if (!ptr_to_globals) ptr_to_globals = xzalloc(kMaxPage);
    if (!ptr_to_globals) {
        std::fprintf(stderr, "Cannot allocate the page buffer\n");
        return -1;
    }
    auto *page = static_cast<unsigned char *>(ptr_to_globals);
    std::memset(page, 0, kMaxPage);

    const std::string dev = device_of(*req);
    const std::string node = upfw::platform::rooted(dev.c_str());
    MtdDevice mtd;
    if (!mtd.open(node, O_RDWR)) {
        std::perror("open flash");
        return -1;
    }
    upfw::platform::MtdInfo info;
    if (mtd.info(&info) != 0) {
        std::perror("MEMGETINFO");
        return -1;
    }
    if (!accepted(info)) {
        std::fprintf(stderr, "Unknown flash (not normal NAND)\n");
        return -1;
    }

    int64_t remaining = req->size;
    uint32_t crc = 0xFFFFFFFFu;
    Expected want;
    crypto::Sha256 sha;
    bool ok = false;
    UniqueFd image(::open(image_path, O_RDONLY | O_CLOEXEC));
    const uint64_t P = info.writesize, E = info.erasesize;
    if (!image.valid()) {
        std::perror("open input file");
    } else if (!expectation(image.get(), *req, expected, &want)) {
    } else if (!req->pad && req->size % P != 0) {
        std::fprintf(stderr, "Input file is not page aligned\n");
    } else {
        // The fit is judged before anything is erased: with a padded last page counted, and
        // against the good blocks only, so that a component that cannot fit never costs the
        // partition its contents.
        const uint64_t pages = req->pad ? (req->size + P - 1) / P : req->size / P;
        uint64_t good = 0;
        bool queried = true;
        for (uint64_t b = 0; b < info.size; b += E) {
            int bad = mtd.block_is_bad(b);
            if (bad < 0) {
                std::perror("ioctl(MEMGETBADBLOCK)");
                queried = false;
                break;
            }
            if (!bad) good += E;
        }
        if (!queried) {
        } else if (pages * P > info.size || pages * P > good) {
            too_big(*req, info);
        } else if (mark_before_erase(*req, kStoreFailed) != 0) {
        } else if (upfw::platform::run_command({kEraseUtility, node}) != 0) {
            std::fprintf(stderr, "Fail on erase mtd device!\n");
        } else {
            ok = write_pages(mtd, info, image.get(), *req, page, remaining, crc, want.has_sha256 ? &sha : nullptr);
            progress(*req, req->size - static_cast<uint64_t>(remaining > 0 ? remaining : 0), true);
        }
    }
    image.close();
    mtd.close();
    if (remaining > 0) std::fprintf(stderr, "Data was only partially written due to error\n");
    if (!ok || remaining > 0) return -1;

    std::printf("image_length = 0x%08x\n", req->size);
    std::printf("image_crc = 0x%08x\n", ~crc);
    // What was written and read back must be what the header describes, or the image file
    // changed since it was verified: the record stays marked incomplete.
    if (!written_matches(*req, ~crc, &sha, want)) return -1;
    return store_record(*req, kStoreFailed);
}
