// Benchmark: a whole update (64 MiB root filesystem, 8 MiB kernel) on a simulated device,
// against the floor of copying the same bytes into the same emulated flash files and reading
// them back with plain reads and writes. Prints both times, their ratio and the update's peak
// memory, for two image sizes, to show memory does not grow with the image. Each figure is the
// best of three runs.
// Usage: update_bench [BUILD_DIR]   (BUILD_DIR holds the update binary; default: beside this one)
#include <fcntl.h>
#include <ftw.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "image/builder.h"
#include "platform/fd.h"
#include "sim/device.h"

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;

std::string dir_of(const char *path) {
    std::string p = path;
    size_t slash = p.rfind('/');
    return slash == std::string::npos ? "." : p.substr(0, slash);
}

void write_component(const std::string &path, size_t size, unsigned seed) {
    std::vector<unsigned char> buf(1 << 20);
    upfw::platform::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
    uint32_t x = seed;
    for (size_t done = 0; done < size;) {
        const size_t n = std::min(buf.size(), size - done);
        for (size_t i = 0; i < n; ++i) buf[i] = static_cast<unsigned char>((x = x * 1103515245u + 12345u) >> 24);
        upfw::platform::write_full(fd.get(), buf.data(), n);
        done += n;
    }
}

// The update runs from a launcher forked before the benchmark touched any memory: a child's
// peak resident size counts the memory of the process it was started from.
struct Launcher {
    int to = -1, from = -1;
    void start() {
        int a[2], b[2];
        if (::pipe(a) != 0 || ::pipe(b) != 0) std::abort();
        if (::fork() == 0) {
            ::close(a[1]);
            ::close(b[0]);
            char path[4096];
            ssize_t n;
            while ((n = ::read(a[0], path, sizeof path - 1)) > 0) {
                path[n] = '\0';
                char *nl = std::strchr(path, '\n');  // "ROOT\nUPDATE"
                if (!nl) break;
                *nl = '\0';
                ::setenv("UPFW_ROOT", path, 1);
                std::memmove(path, nl + 1, std::strlen(nl + 1) + 1);
                char *argv[] = {path, const_cast<char *>("-u"), nullptr};
                posix_spawn_file_actions_t fa;
                posix_spawn_file_actions_init(&fa);
                posix_spawn_file_actions_addopen(&fa, 1, "/tmp/upfw-bench-update.out", O_WRONLY | O_CREAT | O_TRUNC, 0644);
                posix_spawn_file_actions_adddup2(&fa, 1, 2);
                long result[2] = {-1, 0};
                pid_t pid;
                if (posix_spawn(&pid, path, &fa, nullptr, argv, environ) == 0) {
                    int status = 0;
                    struct rusage ru;
                    ::wait4(pid, &status, 0, &ru);
                    result[0] = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                    result[1] = ru.ru_maxrss;
                }
                posix_spawn_file_actions_destroy(&fa);
                if (::write(b[1], result, sizeof result) != sizeof result) break;
            }
            ::_exit(0);
        }
        ::close(a[0]);
        ::close(b[1]);
        to = a[1];
        from = b[0];
    }
    // Runs update -u on the device at root; wall seconds, or -1.
    double run(const std::string &root, const std::string &update, long *peak_kib) {
        const auto t0 = Clock::now();
        long result[2];
        const std::string msg = root + "\n" + update;
        if (::write(to, msg.c_str(), msg.size()) != static_cast<ssize_t>(msg.size()) ||
            upfw::platform::read_full(from, result, sizeof result) != sizeof result)
            return -1;
        const double secs = std::chrono::duration<double>(Clock::now() - t0).count();
        *peak_kib = result[1];
        if (result[0] != 0) {
            std::fprintf(stderr, "update failed (status %ld); see /tmp/upfw-bench-update.out\n", result[0]);
            return -1;
        }
        return secs;
    }
};

Launcher launcher;

// Copies size bytes of src from offset into the flash file dst and reads them back, in 64 KiB
// plain reads and writes, comparing.
void floor_copy(const std::string &src, uint32_t offset, size_t size, const std::string &dst) {
    upfw::platform::UniqueFd in(::open(src.c_str(), O_RDONLY)), out(::open(dst.c_str(), O_RDWR));
    std::vector<unsigned char> a(64 * 1024), b(64 * 1024);
    for (size_t done = 0; done < size;) {
        const size_t n = std::min(a.size(), size - done);
        upfw::platform::read_full(in.get(), a.data(), n, offset + static_cast<int64_t>(done));
        upfw::platform::write_full(out.get(), a.data(), n, static_cast<int64_t>(done));
        upfw::platform::read_full(out.get(), b.data(), n, static_cast<int64_t>(done));
        if (std::memcmp(a.data(), b.data(), n) != 0) std::abort();
        done += n;
    }
}

struct Times {
    double update_s, floor_s;
    long peak_kib;
};

// One update on a fresh simulated device and its floor; false when the update failed.
bool measure(const std::string &update, size_t fs_mib, size_t ker_mib, Times *t) {
    char tmpl[] = "/tmp/upfw-bench-XXXXXX";
    const std::string root = ::mkdtemp(tmpl);
    ::setenv("UPFW_ROOT", root.c_str(), 1);
    upfw::sim::Options opt;
    const uint32_t fs_part = static_cast<uint32_t>((fs_mib + 8) << 20), ker_part = static_cast<uint32_t>((ker_mib + 2) << 20);
    opt.sizes = {{"fs1", fs_part}, {"fs2", fs_part}, {"ker1", ker_part}, {"ker2", ker_part}};
    opt.tool = dir_of(update.c_str()) + "/upfw-sim";
    std::string err = upfw::sim::create(root, opt);
    if (!err.empty()) {
        std::fprintf(stderr, "%s\n", err.c_str());
        return false;
    }
    write_component(root + "/uImage", ker_mib << 20, 1);
    write_component(root + "/ubifs", fs_mib << 20, 2);
    upfw::image::BuildEntry entries[UPFW_ENTRY_COUNT];
    for (int i = 0; i < UPFW_ENTRY_COUNT; ++i) entries[i].version = ver_hex[i];
    entries[1].file = entries[1].shown = root + "/uImage";
    entries[2].file = entries[2].shown = root + "/ubifs";
    entries[2].version = 0x4809010A;
    const std::string image = root + "/dev/shm/updateFM.bin";
    if (upfw::image::build_image(entries, image, image, false) != 0) return false;

    t->update_s = launcher.run(root, update, &t->peak_kib);
    if (t->update_s < 0) return false;
    const auto t0 = Clock::now();
    floor_copy(image, 2048, ker_mib << 20, root + "/dev/mtd5");
    floor_copy(image, 2048 + static_cast<uint32_t>(ker_mib << 20), fs_mib << 20, root + "/dev/mtd7");
    t->floor_s = std::chrono::duration<double>(Clock::now() - t0).count();
    ::nftw(root.c_str(), [](const char *p, const struct stat *, int, struct FTW *) { return ::remove(p); }, 16,
           FTW_DEPTH | FTW_PHYS);
    return true;
}

// The best of three runs of each, so that another process on the machine does not decide the
// ratio; the peak memory is the largest of the three.
bool bench(const std::string &update, size_t fs_mib, size_t ker_mib) {
    Times best{1e9, 1e9, 0};
    for (int i = 0; i < 3; ++i) {
        Times t;
        if (!measure(update, fs_mib, ker_mib, &t)) return false;
        best = {std::min(best.update_s, t.update_s), std::min(best.floor_s, t.floor_s),
                std::max(best.peak_kib, t.peak_kib)};
    }
    std::printf("update of %zu MiB fs + %zu MiB kernel: %.3f s; plain copy and read-back: %.3f s; ratio %.2f; "
                "update peak memory %ld KiB\n",
                fs_mib, ker_mib, best.update_s, best.floor_s, best.update_s / best.floor_s, best.peak_kib);
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    const std::string dir = argc > 1 ? argv[1] : dir_of(argv[0]) + "/..";
    const std::string update = dir + "/update";
    launcher.start();
    if (!bench(update, 64, 8)) return 1;
    if (!bench(update, 16, 8)) return 1;
    return 0;
}
