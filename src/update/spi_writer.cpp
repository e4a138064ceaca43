// SPI flash partition writer: erase the blocks the component needs, write it in chunks from
// the start of the partition, read the whole range back and compare, then store the record.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "env/crc32.h"
#include "image/crypto.h"
#include "platform/fd.h"
#include "platform/mtd.h"
#include "platform/root.h"
#include "update/progress.h"
#include "update/writer.h"
#include "upfw/env.h"

namespace {
constexpr uint32_t kChunk = 10240;
constexpr const char *kStoreFailed = "flprog_set_part_table faild!\n";
}  // namespace

extern "C" UPFW_API int spi_flash_write_file(const char *image_path, const update_part *req) {
    return upfw::update::spi_write(image_path, req, nullptr);
}

int upfw::update::spi_write(const char *image_path, const update_part *req, const Expected *expected) {
    using upfw::platform::MtdDevice;
    if (!req || !image_path) return -1;
    const std::string dev = device_of(*req);
    MtdDevice mtd;
    upfw::platform::MtdInfo info;
    if (!mtd.open(upfw::platform::rooted(dev.c_str()), O_RDWR | O_SYNC) || mtd.info(&info) != 0) {
        std::fprintf(stderr, "This doesn't seem to be a valid MTD flash device! \n");
        return -1;
    }
    upfw::platform::UniqueFd image(::open(image_path, O_RDONLY | O_CLOEXEC));
    if (!image.valid()) {
        std::fprintf(stderr, "Open image failed ! \n");
        return -1;
    }
    ::lseek(image.get(), static_cast<off_t>(req->offset), SEEK_SET);
    if (req->size > info.size) {
        std::printf("The image length > mtd size ! \n");
        return -1;
    }
    Expected want;
    if (!expectation(image.get(), *req, expected, &want)) return -1;
    crypto::Sha256 sha;
    if (mark_before_erase(*req, kStoreFailed) != 0) return -1;
    const uint64_t E = info.erasesize;
    const uint64_t length = (E + req->size - 1) / E * E;
    if (mtd.erase(0, length) != 0) {
        std::printf("Fail erasing blocks from 0x%.8x-0x%.8x on %s \n", 0u, static_cast<unsigned>(length), dev.c_str());
        return -1;
    }
    std::vector<unsigned char> data(kChunk), back(kChunk);
    uint32_t remaining = req->size;
    uint32_t crc = 0;  // of the bytes read back from the flash
    while (remaining != 0) {
        const uint32_t len = remaining < kChunk ? remaining : kChunk;
        ssize_t n = upfw::platform::read_full(image.get(), data.data(), len);
        if (n != static_cast<ssize_t>(len)) {
            std::printf("Read image count error, result = [0x%x] ! \n", static_cast<unsigned>(n));
            break;
        }
        n = mtd.write(data.data(), len);
        if (n != static_cast<ssize_t>(len)) {
            std::printf("Write image count error, reault = [0x%x] ! \n", static_cast<unsigned>(n));
            break;
        }
        remaining -= len;
    }
    if (remaining == 0) {
        ::lseek(image.get(), static_cast<off_t>(req->offset), SEEK_SET);
        mtd.seek(0, SEEK_SET);
        remaining = req->size;
        while (remaining != 0) {
            const uint32_t len = remaining < kChunk ? remaining : kChunk;
            ssize_t n = upfw::platform::read_full(image.get(), data.data(), len);
            if (n != static_cast<ssize_t>(len)) {
                std::printf(" Verify that flash, read image count error, result = [0x%x] ! \n", static_cast<unsigned>(n));
                break;
            }
            n = mtd.read(back.data(), len);
            if (n != static_cast<ssize_t>(len)) {
                std::printf(" Verify that flash, write image count error, result = [0x%x] ! \n",
                            static_cast<unsigned>(n));
                break;
            }
            if (!std::equal(data.begin(), data.begin() + len, back.begin())) {
                std::printf("File does not seem to match flash data. \n");
                break;
            }
            crc = upfw::env::crc32_update(crc, back.data(), len);
            if (want.has_sha256) sha.update(back.data(), len);
            remaining -= len;
            progress(*req, req->size - remaining, false);
        }
        progress(*req, req->size - remaining, true);
    }
    mtd.close();
    image.close();
    if (remaining != 0) {
        std::fflush(stdout);
        std::fprintf(stderr, "Data was only partially written due to error\n");
        return -1;
    }
    // The flash must hold what the header describes, not merely what the file holds now.
    if (!written_matches(*req, crc, &sha, want)) return -1;
    return store_record(*req, kStoreFailed);
}
