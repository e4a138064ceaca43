// Benchmark: the exported crc32 against zlib's crc32_z over the same 64 MiB, in one run. Each
// is timed several times and the best kept, so that another process on the machine does not
// decide the ratio. Also shows the library's table method, its choice on a CPU without the
// instructions the fast method uses.
// Usage: crc32_bench
#include <chrono>
#include <cstdio>
#include <vector>

#include "env/crc32.h"
#include "upfw/crc32.h"

// zlib's crc32_z, called from a file of its own: <zlib.h> declares a crc32 of other types.
extern "C" uint32_t zlib_crc32_z(const unsigned char *buf, size_t len);

namespace {

template <typename F>
double best_seconds(F f) {
    double best = 1e9;
    for (int i = 0; i < 9; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        f();
        best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    }
    return best;
}

}  // namespace

int main() {
    constexpr size_t kSize = 64u << 20;
    std::vector<unsigned char> buf(kSize + 1);
    uint32_t x = 1;
    for (auto &b : buf) b = static_cast<unsigned char>((x = x * 1103515245u + 12345u) >> 24);
    const unsigned char *p = buf.data() + 1;  // an odd address, as a component inside an image may be
    uint32_t ours = 0, theirs = 0, table = 0;
    const double ours_s = best_seconds([&] { ours = crc32(0, p, kSize); });
    const double zlib_s = best_seconds([&] { theirs = zlib_crc32_z(p, kSize); });
    const double table_s = best_seconds([&] { table = ~upfw::env::crc32_raw_table(~0u, p, kSize); });
    if (ours != theirs || table != theirs) {
        std::fprintf(stderr, "CRC-32 differs: ours %08x, table %08x, zlib %08x\n", ours, table, theirs);
        return 1;
    }
    const double mib = kSize / double(1 << 20);
    std::printf("crc32 over 64 MiB (%s): %.0f MiB/s; zlib crc32_z: %.0f MiB/s; ratio %.2f; table method %.0f MiB/s\n",
                upfw::env::crc32_method(), mib / ours_s, mib / zlib_s, zlib_s / ours_s, mib / table_s);
    return 0;
}
