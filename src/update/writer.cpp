#include "update/writer.h"

#include "update/progress.h"

#include <cstdio>
#include <cstring>

#include "image/authenticity.h"
#include "platform/fd.h"
#include "platform/root.h"
#include "ptb/ptb.h"
#include "upfw/image.h"
#include "upfw/ptb.h"

namespace upfw::update {

namespace {

Progress g_progress = nullptr;

// The index of the request's partition name, or -1 when it names none.
int partition_of(const update_part &req) {
    const std::string name(req.name, strnlen(req.name, sizeof req.name));
    for (int i = 0; i < UPFW_PART_COUNT; ++i)
        if (name == g_part_str[i]) return i;
    return -1;
}

}  // namespace

void set_progress(Progress reporter) { g_progress = reporter; }

void progress(const update_part &req, uint64_t written, bool done) {
    if (!g_progress) return;
    char name[sizeof req.name + 1];
    std::snprintf(name, sizeof name, "%.*s", static_cast<int>(sizeof req.name), req.name);
    g_progress(name, written, req.size, done);
}

std::string device_of(const update_part &req) {
    return std::string(req.dev, strnlen(req.dev, sizeof req.dev));
}

bool expectation(int image, const update_part &req, const Expected *given, Expected *out) {
    if (given) {
        *out = *given;
        return true;
    }
    upfw_header h;
    const bool read = platform::read_full(image, &h, sizeof h, 0) == static_cast<ssize_t>(sizeof h);
    if (!read) std::memset(&h, 0, sizeof h);  // no entry; and no signature can be checked against it
    int index = -1;
    for (int i = 0; req.size != 0 && i < UPFW_ENTRY_COUNT; ++i)
        if (h.entries[i].offset == req.offset && h.entries[i].size == req.size) index = i;
    if (req.size != 0 && index < 0) {
        std::fflush(stdout);
        std::fprintf(stderr, "Error: no entry of the image header holds 0x%08x bytes at 0x%08x\n", req.size,
                     req.offset);
        return false;
    }
    image::SignedDigests digests;
    if (!image::authenticate(image, h, &digests)) return false;
    // Nothing to write: the CRC of no data is 0.
    *out = index < 0 ? Expected() : expected_of(h.entries[index].crc32, digests, index);
    return true;
}

Expected expected_of(uint32_t crc32, const image::SignedDigests &digests, int index) {
    Expected e;
    e.crc32 = crc32;
    if (digests.checked && digests.has[index]) {
        e.has_sha256 = true;
        std::memcpy(e.sha256, digests.sha256[index], sizeof e.sha256);
    }
    return e;
}

bool written_matches(const update_part &req, uint32_t crc, crypto::Sha256 *sha, const Expected &want) {
    if (crc != want.crc32) {
        std::fflush(stdout);
        std::fprintf(stderr, "Error: the data written to %s have CRC-32 0x%08x, the image header gives 0x%08x\n",
                     device_of(req).c_str(), crc, want.crc32);
        return false;
    }
    if (!want.has_sha256) return true;
    unsigned char got[sizeof want.sha256];
    if (!sha || !sha->final(got) || std::memcmp(got, want.sha256, sizeof got) != 0) {
        std::fflush(stdout);
        std::fprintf(stderr, "Error: the data written to %s differ from the signed image: their SHA-256 is not the signed one\n",
                     device_of(req).c_str());
        return false;
    }
    return true;
}

int mark_before_erase(const update_part &req, const char *fail_text) {
    const int index = partition_of(req);
    if (index < 0 || ptb::record_incomplete(index)) return 0;
    env_mtd_table table;
    get_env_mtd_table(&table);
    if (ptb::mark_incomplete({{index, ptb::installed_version(table, index)}}, nullptr) != 0) {
        std::fprintf(stderr, "%s", fail_text);
        return -1;
    }
    return 0;
}

int store_record(const update_part &req, const char *fail_text) {
    const int index = partition_of(req);
    if (index < 0) {
        std::fprintf(stderr, "Not valid image, exit without update ptb!\n");
        return -1;
    }
    env_mtd_table table;
    get_env_mtd_table(&table);
    env_partition rec = table.records[index];
    // The record goes under the partition written, whatever name its old text carried.
    std::snprintf(rec.name, sizeof rec.name, "%s", g_part_str[index]);
    rec.size = req.size;
    rec.ver = req.version;
    rec.date = req.date;
    if (set_env_partition(&rec) < 0) {
        std::fprintf(stderr, "%s", fail_text);
        return -1;
    }
    platform::sync_all();
    return 0;
}

}  // namespace upfw::update
