// Variables of the environment: lookup, print, set and delete over the in-memory text.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "env/env.h"
#include "env/store.h"
#include "upfw/env.h"

namespace upfw::env {

namespace {

constexpr const char *kProtected = "serial#";

// Value inside entry when name matches it, else nullptr. Both strings are NUL-terminated.
const char *env_find(const char *name, const char *entry) {
    while (*name == *entry) {
        if (*name == '\0') return nullptr;
        if (*name == '=') return entry + 1;
        ++name;
        ++entry;
    }
    if (*name == '\0' && *entry == '=') return entry + 1;
    return nullptr;
}

enum class Scan { kEnd, kStopped, kUnterminated };

// Walks the entries of the data area, calling visit(offset, length) for each until it returns
// true. Never reads outside the data area.
template <typename Visit>
Scan scan(const unsigned char *text, uint32_t size, Visit visit) {
    uint32_t pos = 0;
    while (pos < size) {
        if (text[pos] == '\0') return Scan::kEnd;
        const void *nul = std::memchr(text + pos, '\0', size - pos);
        if (!nul) {
            std::fprintf(stderr, "## Error: environment not terminated\n");
            return Scan::kUnterminated;
        }
        uint32_t len = static_cast<uint32_t>(static_cast<const unsigned char *>(nul) - (text + pos));
        if (visit(pos, len)) return Scan::kStopped;
        pos += len + 1;
    }
    return Scan::kEnd;
}

struct Found {
    bool found = false;
    uint32_t offset = 0;
    uint32_t length = 0;
    const char *value = nullptr;
};

// Looks name up; false when the text is unterminated before it is found.
bool search(const unsigned char *text, uint32_t size, const char *name, Found *out) {
    Scan s = scan(text, size, [&](uint32_t off, uint32_t len) {
        const char *v = env_find(name, reinterpret_cast<const char *>(text + off));
        if (!v) return false;
        *out = {true, off, len, v};
        return true;
    });
    return s != Scan::kUnterminated;
}

bool store_open() {
    if (data()) return true;
    std::fprintf(stderr, "## Error: environment not loaded\n");
    return false;
}

// Removes the entry at [off, off+len] and closes the list behind the entries moved down.
void delete_entry(unsigned char *text, uint32_t size, uint32_t off, uint32_t len) {
    uint32_t src = off + len + 1, dst = off;
    if (src >= size || text[src] == '\0') {
        text[off] = '\0';
        if (off + 1 < size) text[off + 1] = '\0';
        return;
    }
    while (src < size && text[src] != '\0') {
        while (src < size) {
            unsigned char c = text[src++];
            text[dst++] = c;
            if (c == '\0') break;
        }
    }
    if (dst < size) text[dst] = '\0';
}

// Where a new entry goes: after the last entry's NUL, or 0 in an empty text; -1 when full.
int64_t append_position(const unsigned char *text, uint32_t size) {
    for (uint32_t i = 0; i + 1 < size; ++i)
        if (text[i] == '\0' && text[i + 1] == '\0') return i == 0 ? 0 : i + 1;
    return -1;
}

// The text area ends before the flag byte.
uint32_t text_area(uint32_t size) { return size - 1; }

void overflow_message(const char *name) {
    std::fprintf(stderr, "Error: environment overflow, \"%s\" deleted\n", name);
}

// Puts the edited text in place and writes it to flash.
int commit(const std::vector<unsigned char> &edited) {
    std::memcpy(data(), edited.data(), edited.size());
    update_crc();
    if (save() != 0) {
        std::fprintf(stderr, "Error: can't write environment to flash\n");
        return -1;
    }
    return 0;
}

// Sets name to the value words joined by blanks (or deletes it with no words) in text, a
// scratch copy of the data area, so that a set that does not fit leaves the old definition.
int edit(std::vector<unsigned char> &text, const char *name, const char *const *words, int nwords, bool protect) {
    const uint32_t size = static_cast<uint32_t>(text.size());
    Found f;
    if (!search(text.data(), size, name, &f)) {
        errno = EINVAL;
        return -1;
    }
    if (f.found && protect && std::strcmp(name, kProtected) == 0) {
        std::fprintf(stderr, "Can't overwrite \"%s\"\n", name);
        errno = EROFS;
        return -1;
    }
    if (f.found) delete_entry(text.data(), size, f.offset, f.length);
    if (nwords == 0) return 0;
    uint64_t need = std::strlen(name) + 2;
    for (int i = 0; i < nwords; ++i) need += std::strlen(words[i]) + 1;
    int64_t pos = append_position(text.data(), size);
    if (pos < 0 || need > text_area(size) - static_cast<uint64_t>(pos)) {
        overflow_message(name);
        return -1;
    }
    unsigned char *p = text.data() + pos;
    size_t n = std::strlen(name);
    std::memcpy(p, name, n);
    p += n;
    for (int i = 0; i < nwords; ++i) {
        *p++ = i == 0 ? '=' : ' ';
        n = std::strlen(words[i]);
        std::memcpy(p, words[i], n);
        p += n;
    }
    *p++ = '\0';
    *p = '\0';
    return 0;
}

int set_words(const char *name, const char *const *words, int nwords, bool protect) {
    if (!store_open()) {
        errno = EINVAL;
        return -1;
    }
    std::vector<unsigned char> text(data(), data() + data_size());
    if (edit(text, name, words, nwords, protect) != 0) return -1;
    return commit(text);
}

// False, with errno EINVAL, when argv does not hold argc strings.
bool strings(int argc, char *const argv[]) {
    if (argc > 1 && !argv) {
        errno = EINVAL;
        return false;
    }
    for (int i = 1; i < argc; ++i) {
        if (!argv[i]) {
            errno = EINVAL;
            return false;
        }
    }
    return true;
}

}  // namespace

int set_together(const std::vector<std::pair<const char *, const char *>> &vars) {
    if (!store_open()) {
        errno = EINVAL;
        return -1;
    }
    std::vector<unsigned char> text(data(), data() + data_size());
    for (const auto &v : vars) {
        const char *words[1] = {v.second};
        if (edit(text, v.first, words, 1, false) != 0) return -1;
    }
    return commit(text);
}

}  // namespace upfw::env

using namespace upfw::env;

extern "C" {

UPFW_API char *hs_getenv(const char *name) {
    unsigned char *text = data();
    if (!text || !name) return nullptr;
    Found f;
    if (!search(text, data_size(), name, &f) || !f.found) return nullptr;
    return const_cast<char *>(f.value);
}

UPFW_API int hs_setenv(const char *name, const char *value) {
    if (!name || !value) {
        errno = EINVAL;
        return -1;
    }
    // hs_setenv always stores an entry, an empty value included ("name=").
    const char *words[1] = {value};
    return set_words(name, words, 1, false) == 0 ? 0 : -1;
}

UPFW_API int hs_printenv(void) {
    if (!store_open()) return -1;
    const unsigned char *text = data();
    Scan s = scan(text, data_size(), [&](uint32_t off, uint32_t len) {
        std::fwrite(text + off, 1, len, stdout);
        std::fputc('\n', stdout);
        return false;
    });
    return s == Scan::kUnterminated ? -1 : 0;
}

UPFW_API char *fw_getenv(const char *name) {
    if (env_init() != 0) return nullptr;
    return hs_getenv(name);
}

UPFW_API int fw_printenv(int argc, char *argv[]) {
    if (!strings(argc, argv)) return -1;
    if (env_init() != 0) return -1;
    if (argc <= 1) return hs_printenv();
    bool value_only = false;
    if (std::strcmp(argv[1], "-n") == 0) {
        value_only = true;
        ++argv;
        --argc;
        if (argc != 2) {
            std::fprintf(stderr, "## Error: `-n' option requires exactly one argument\n");
            return -1;
        }
    }
    int result = 0;
    for (int i = 1; i < argc; ++i) {
        Found f;
        if (!search(data(), data_size(), argv[i], &f)) return -1;
        if (!f.found) {
            std::fprintf(stderr, "## Error: \"%s\" not defined\n", argv[i]);
            result = -1;
            continue;
        }
        if (value_only) std::printf("%s\n", f.value);
        else std::printf("%s=%s\n", argv[i], f.value);
    }
    return result;
}

UPFW_API int fw_setenv(int argc, char *argv[]) {
    if (argc < 2) {
        errno = EINVAL;
        return -1;
    }
    if (!strings(argc, argv)) return -1;
    if (env_init() != 0) return -1;
    return set_words(argv[1], argv + 2, argc - 2, true);
}

UPFW_API int vh_env_init(void) { return env_init(); }

UPFW_API int vh_env_deinit(void) { return env_deinit(); }

UPFW_API char *vh_getenv(const char *name) { return hs_getenv(name); }

UPFW_API int vh_setenv(const char *name, const char *value) { return hs_setenv(name, value) == 0 ? 0 : -1; }

}  // extern "C"
