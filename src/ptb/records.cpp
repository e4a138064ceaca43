// Partition records and boot-variable copies in the environment; the MTD device map.
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "env/env.h"
#include "platform/root.h"
#include "ptb/ptb.h"
#include "upfw/env.h"
#include "upfw/ptb.h"

namespace upfw::ptb {

namespace {

constexpr const char *kRecordFormat = "name:%s\tver:0x%08x\tsize:%u\tdate:0x%08x ";
constexpr const char *kProcMtd = "/proc/mtd";
constexpr const char *kProcCmdline = "/proc/cmdline";
constexpr const char *kUbiMtd = "ubi.mtd=fs";
// What follows the date field of a record whose partition is being written: its fields then
// state nothing (all zero), and the word after the marker is the version held before.
constexpr const char *kIncomplete = "incomplete:0x";
constexpr uint32_t kPlatformCode = 72;

bool is_space(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

void skip_space(const char *&p) {
    while (*p && is_space(*p)) ++p;
}

bool literal(const char *&p, const char *lit) {
    size_t n = std::strlen(lit);
    if (std::strncmp(p, lit, n) != 0) return false;
    p += n;
    return true;
}

bool hex_field(const char *&p, uint32_t *out) {
    skip_space(p);
    uint32_t v = 0;
    int digits = 0;
    while (digits < 8 && std::isxdigit(static_cast<unsigned char>(*p))) {
        char c = *p++;
        v = v << 4 | static_cast<uint32_t>(std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                                                                                     : (std::tolower(c) - 'a' + 10));
        ++digits;
    }
    if (digits == 0) return false;
    *out = v;
    return true;
}

bool dec_field(const char *&p, uint32_t *out) {
    skip_space(p);
    uint64_t v = 0;
    int digits = 0;
    while (std::isdigit(static_cast<unsigned char>(*p))) {
        v = v * 10 + static_cast<uint64_t>(*p++ - '0');
        if (v > UINT32_MAX) v = UINT32_MAX + 1ull;  // saturate; the value is refused below
        ++digits;
    }
    if (digits == 0 || v > UINT32_MAX) return false;
    *out = static_cast<uint32_t>(v);
    return true;
}

// Reads a record text field by field in text order, stopping at the first mismatch; each
// white-space place of the format takes any run of white space, or none. Returns where the
// text goes on after a complete date field, or nullptr when the scan stopped before it.
const char *parse_record(const char *text, env_partition *rec) {
    const char *p = text;
    if (!literal(p, "name:")) return nullptr;
    skip_space(p);
    size_t n = 0;
    while (p[n] && !is_space(p[n])) ++n;
    if (n == 0) return nullptr;
    // A name longer than the field is cut to 31 characters, and what follows it then no
    // longer matches, so the record keeps only its name.
    size_t keep = n < sizeof rec->name - 1 ? n : sizeof rec->name - 1;
    std::memcpy(rec->name, p, keep);
    rec->name[keep] = '\0';
    p += keep;
    skip_space(p);
    if (!literal(p, "ver:0x") || !hex_field(p, &rec->ver)) return nullptr;
    skip_space(p);
    if (!literal(p, "size:") || !dec_field(p, &rec->size)) return nullptr;
    skip_space(p);
    if (!literal(p, "date:0x") || !hex_field(p, &rec->date)) return nullptr;
    return p;
}

std::string record_text(const char *name, uint32_t ver, uint32_t size, uint32_t date) {
    char text[128];
    std::snprintf(text, sizeof text, kRecordFormat, name, ver, size, date);
    return text;
}

void copy_boot_var(const char *name, char *out) {
    const char *v = hs_getenv(name);
    if (!v) return;
    // Cut here only; storing a cut copy back is refused by set_env_cmdline.
    size_t n = strnlen(v, kMaxBootVar);
    std::memcpy(out, v, n);
    out[n] = '\0';
}

// A boot variable copy may be stored unless the variable on flash is longer than a copy holds:
// the copy is then a cut of it, and storing it would shorten the boot arguments. A copy
// without its terminator is refused too.
bool storable(const char *name, const char *copy) {
    if (!std::memchr(copy, '\0', kMaxBootVar + 1)) {
        std::fprintf(stderr, "Error: the %s copy is not terminated, not stored\n", name);
        errno = EINVAL;
        return false;
    }
    const char *current = hs_getenv(name);
    if (copy[0] && current && std::strlen(current) > kMaxBootVar) {
        std::fprintf(stderr, "Error: %s is longer than %u characters, not stored\n", name, kMaxBootVar);
        return false;
    }
    return true;
}

// The boot-variable copies of table that set_env_cmdline stores: the non-empty ones.
void boot_vars(const env_mtd_table &table, std::vector<std::pair<const char *, const char *>> &vars) {
    if (table.bootargs[0]) vars.emplace_back("bootargs", table.bootargs);
    if (table.bootcmd[0]) vars.emplace_back("bootcmd", table.bootcmd);
}

}  // namespace

uint32_t parse_uboot_version(const char *text, bool *ok) {
    uint32_t parts[4] = {0, 0, 0, 0};
    const char *p = text;
    int got = 0;
    for (; got < 4; ++got) {
        if (got > 0 && !literal(p, ".")) break;
        skip_space(p);
        int digits = 0;
        uint32_t v = 0;
        while (digits < 2 && std::isdigit(static_cast<unsigned char>(*p))) {
            v = v * 10 + static_cast<uint32_t>(*p++ - '0');
            ++digits;
        }
        if (digits == 0) break;
        parts[got] = v;
    }
    if (got < 4) {
        std::printf("uboot version format invalid, eg: xx.xx.xx.xx\n");
        if (ok) *ok = false;
        return 0;
    }
    if (ok) *ok = true;
    return parts[0] << 24 | parts[1] << 16 | parts[2] << 8 | parts[3];
}

int invalid_argument() {
    errno = EINVAL;
    return -1;
}

char booted_slot() {
    std::FILE *f = std::fopen(upfw::platform::rooted(kProcCmdline).c_str(), "re");
    if (!f) return 0;
    char line[4096];
    const size_t n = std::fread(line, 1, sizeof line - 1, f);
    std::fclose(f);
    line[n] = '\0';
    // The root filesystem is the UBI device the kernel attaches: ubi.mtd=fsN. Any other
    // "=fs" on the line (an initrd=fs2, say) names nothing that runs.
    const char *at = std::strstr(line, kUbiMtd);
    if (!at) return 0;
    const char digit = at[std::strlen(kUbiMtd)];
    return digit == '1' || digit == '2' ? digit : 0;
}

bool record_incomplete(int index, uint32_t *before) {
    if (index < 0 || index >= UPFW_PART_COUNT) return false;
    const char *text = hs_getenv(g_part_str[index]);
    if (!text) return false;
    env_partition rec;
    std::memset(&rec, 0, sizeof rec);
    const char *p = parse_record(text, &rec);
    if (!p) return false;
    skip_space(p);
    if (!literal(p, kIncomplete)) return false;
    uint32_t v = 0;
    hex_field(p, &v);
    if (before) *before = v;
    return true;
}

uint32_t installed_version(const env_mtd_table &table, int index, bool *incomplete) {
    uint32_t before = 0;
    const bool marked = record_incomplete(index, &before);
    if (incomplete) *incomplete = marked;
    return marked ? before : table.records[index].ver;
}

int mark_incomplete(const std::vector<std::pair<int, uint32_t>> &parts, const env_mtd_table *boot) {
    if (boot && !boot_copies_storable(*boot)) return -1;
    std::vector<std::pair<std::string, std::string>> records;
    for (const auto &part : parts) {
        if (part.first < 0 || part.first >= UPFW_PART_COUNT) continue;
        char tail[32];
        std::snprintf(tail, sizeof tail, "%s%08x ", kIncomplete, part.second);
        records.emplace_back(g_part_str[part.first], record_text(g_part_str[part.first], 0, 0, 0) + tail);
    }
    std::vector<std::pair<const char *, const char *>> vars;
    for (const auto &r : records) vars.emplace_back(r.first.c_str(), r.second.c_str());
    if (boot) boot_vars(*boot, vars);
    if (vars.empty()) return 0;
    return upfw::env::set_together(vars) == 0 ? 0 : -1;
}

bool boot_copies_storable(const env_mtd_table &table) {
    const bool args = storable("bootargs", table.bootargs);
    const bool cmd = storable("bootcmd", table.bootcmd);
    return args && cmd;
}

}  // namespace upfw::ptb

using namespace upfw::ptb;

extern "C" {

const char *const g_part_str[UPFW_PART_COUNT + 1] = {
    "uboot", "env", "baseparam", "logo", "ker1", "ker2", "fs1", "fs2", "cfg", "oem", "rsd", "all",
};

UPFW_API int get_env_mtd_table(env_mtd_table *table) {
    if (!table) return invalid_argument();
    std::memset(table, 0, sizeof *table);
    for (int i = 0; i < UPFW_PART_COUNT; ++i) {
        const char *text = hs_getenv(g_part_str[i]);
        if (text) parse_record(text, &table->records[i]);
    }
    copy_boot_var("bootargs", table->bootargs);
    copy_boot_var("bootcmd", table->bootcmd);

    env_partition &uboot = table->records[0];
    // A record marked incomplete says nothing about the boot loader on flash; the loader's own
    // version text must not turn it into a record that looks complete.
    if (((uboot.ver >> 8) & 0xFF) == 0 && !record_incomplete(0)) {
        const char *ver = hs_getenv("ver");
        char code[8];
        std::snprintf(code, sizeof code, "%u.", kPlatformCode);
        const char *at = ver ? std::strstr(ver, code) : nullptr;
        if (at) {
            // A version text that cannot be read is not stored: writing 0 on every reading
            // would only wear the flash and wipe the record's version.
            bool ok = false;
            uboot.ver = parse_uboot_version(at, &ok);
            // A board without a uboot record yet gets one under the partition's own name.
            if (uboot.name[0] == '\0') std::snprintf(uboot.name, sizeof uboot.name, "%s", g_part_str[0]);
            if (ok) set_env_partition(&uboot);
        }
    }
    return 0;
}

UPFW_API int set_env_partition(const env_partition *record) {
    if (!record) return invalid_argument();
    size_t n = strnlen(record->name, sizeof record->name);
    if (n == 0 || n == sizeof record->name) {
        std::fprintf(stderr, "Error: partition record without a valid name, not stored\n");
        return -1;
    }
    char name[sizeof record->name];
    std::memcpy(name, record->name, n);
    name[n] = '\0';
    return hs_setenv(name, record_text(name, record->ver, record->size, record->date).c_str());
}

UPFW_API int set_env_mtd_table(const env_mtd_table *table) {
    if (!table) return invalid_argument();
    int result = 0;
    for (int i = 0; i < UPFW_PART_COUNT; ++i) {
        const env_partition &rec = table->records[i];
        if (strnlen(rec.name, sizeof rec.name) == sizeof rec.name || std::strcmp(rec.name, g_part_str[i]) != 0)
            continue;
        // A table read back unchanged must not store an incomplete record as a complete one
        // (all zero, which would lift the mark that keeps the slot from being booted).
        if (rec.ver == 0 && rec.size == 0 && rec.date == 0 && record_incomplete(i)) continue;
        result |= set_env_partition(&rec);
    }
    return result;
}

UPFW_API int set_env_cmdline(const env_mtd_table *table) {
    if (!table) return invalid_argument();
    // Both variables or neither: the kernel and the root filesystem slot are switched together,
    // and in one save, so that no refusal and no power cut leaves one switched without the other.
    if (!boot_copies_storable(*table)) return -1;
    std::vector<std::pair<const char *, const char *>> vars;
    boot_vars(*table, vars);
    if (!vars.empty() && upfw::env::set_together(vars) != 0) return -1;
    return 0;
}

UPFW_API int get_mtd_info(mtd_part_info info[UPFW_PART_COUNT]) {
    if (!info) return invalid_argument();
    std::memset(info, 0, sizeof(mtd_part_info) * UPFW_PART_COUNT);
    // Lines as a 1024-byte line reader sees them: longer lines come in pieces.
    std::vector<std::string> lines;
    std::FILE *f = std::fopen(upfw::platform::rooted(kProcMtd).c_str(), "re");
    if (!f) {
        std::fprintf(stderr, "cat: %s: %s\n", kProcMtd, std::strerror(errno));
    } else {
        char buf[1024];
        while (std::fgets(buf, sizeof buf, f)) lines.emplace_back(buf);
        std::fclose(f);
    }
    for (int i = 0; i < UPFW_PART_COUNT; ++i) {
        mtd_part_info &e = info[i];
        std::snprintf(e.name, sizeof e.name, "%s", g_part_str[i]);
        std::string device;
        for (const auto &line : lines) {
            if (line.find(g_part_str[i]) == std::string::npos) continue;
            device = line.substr(0, line.find_first_of(":\n"));
            break;
        }
        // A device name that does not fit is refused rather than cut into another node's name.
        if (device.size() + 5 >= sizeof e.dev) device.clear();
        std::snprintf(e.dev, sizeof e.dev, "/dev/%s", device.c_str());
    }
    return 0;
}

UPFW_API int get_part_name(int index, char *name) {
    if (index < 0 || index >= UPFW_PART_COUNT || !name) return -1;
    std::strcpy(name, g_part_str[index]);
    return 0;
}

}  // extern "C"
