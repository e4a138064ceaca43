// Compatibility policy: the ordered rules that decide whether an image suits this device,
// and the hardware probes, marker files and model command that feed them.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/command.h"
#include "platform/fd.h"
#include "platform/probes.h"
#include "platform/root.h"
#include "policy/policy.h"
#include "ptb/ptb.h"
#include "upfw/image.h"
#include "upfw/policy.h"
#include "upfw/ptb.h"

namespace upfw::policy {

namespace {

using platform::RegisterWindow;

constexpr const char *kOemMarker = "/mnt/nand2/oem.db";
constexpr const char *kSpecialOemMarker = "/opt/app/bin/special_oem.cfg";
constexpr const char *kUpdbMarker = "/mnt/nand/updb.cfg";
constexpr const char *kMem = "/dev/mem";
constexpr const char *kI2c = "/dev/hi_i2c";
constexpr const char *kModelCommand = "vhchip_update";
constexpr const char *kNewModel = "VHN7308";
constexpr size_t kModelLineMax = 63;

// MDIO controller registers in the window at 0xF9841000.
constexpr uint32_t kMdioBase = 0xF9841000;
constexpr size_t kMdioWindow = 1024;
constexpr size_t kMdioCmd = 0x3C0, kMdioData = 0x3C4, kMdioStatus = 0x3D0;
constexpr uint32_t kMdioBusy = 1u << 20, kMdioReadCmd = 1u << 17;
constexpr int kReadyPolls = 999;
constexpr int kReadyRetries = 100;
constexpr unsigned kPollMicros = 10, kRetryMicros = 5000;
constexpr unsigned kPhyAddr = 4, kPhyIdReg = 2;
constexpr int kExpectedPhyId = 0x4D;

// PoE controller on I2C.
constexpr uint32_t kPoeBus = 2;
constexpr uint8_t kPoeDev = 0x40;
constexpr uint32_t kPoeReg = 0x43;

unsigned series(uint32_t v) { return (v >> 16) & 0xFF; }
unsigned minor_of(uint32_t v) { return (v >> 8) & 0xFF; }
unsigned build_of(uint32_t v) { return v & 0xFF; }
unsigned platform_code(uint32_t v) { return v >> 24; }

bool exists(const char *path) {
    struct stat st;
    return ::stat(platform::rooted(path).c_str(), &st) == 0;
}

int oem_marker_present() { return exists(kOemMarker) ? 1 : 0; }
int special_oem_marker_present() { return exists(kSpecialOemMarker) ? 1 : 0; }

int running_fs_record(const env_mtd_table &t) { return std::strstr(t.bootargs, "fs2") ? 7 : 6; }

bool mdio_wait_ready(RegisterWindow &w) {
    for (int i = 0; i < kReadyPolls; ++i) {
        if (!(w.read32(kMdioCmd) & kMdioBusy)) return true;
        platform::sleep_micros(kPollMicros);
    }
    return false;
}

void mdio_start_read(RegisterWindow &w, unsigned phy, unsigned reg) {
    w.write32(kMdioCmd, 0);
    w.write32(kMdioCmd, (reg & 0xFF) | (phy & 0xFF) << 8 | kMdioReadCmd | kMdioBusy);
}

int mdio_read(RegisterWindow &w, unsigned phy, unsigned reg) {
    if (!mdio_wait_ready(w)) return -1;
    mdio_start_read(w, phy, reg);
    bool ready = mdio_wait_ready(w);
    for (int i = 0; !ready && i < kReadyRetries; ++i) {
        platform::sleep_micros(kRetryMicros);
        ready = mdio_wait_ready(w);
    }
    if (!ready) return 0;
    if (w.read32(kMdioStatus) & 1) return 0;
    return static_cast<int>(w.read32(kMdioData) >> 16);
}

bool mdio_map(RegisterWindow &w) {
    switch (w.map(platform::rooted(kMem), kMdioBase, kMdioWindow)) {
    case RegisterWindow::Result::kOk: return true;
    case RegisterWindow::Result::kOpenFailed:
        std::fflush(stdout);
        std::fprintf(stderr, "Fail to open /dev/mem fd=%08x\n", static_cast<unsigned>(w.open_result()));
        return false;
    case RegisterWindow::Result::kMapFailed:
        std::fflush(stdout);
        std::fprintf(stderr, "mmap phyaddr %#x failed ! \n", kMdioBase);
        return false;
    }
    return false;
}

int model_command_matches() {
    std::string line = platform::read_first_line({kModelCommand}, kModelLineMax);
    return line.find(kNewModel) != std::string::npos ? 1 : 0;
}

int is_new_model() {
    if (!model_command_matches()) return 0;
    env_mtd_table t;
    get_env_mtd_table(&t);
    return minor_of(ptb::installed_version(t, 0)) == 1 ? 1 : 0;
}

// "touch": creates the marker or renews its time.
void touch(const char *path) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s", path);
    const std::string p = platform::rooted(buf);
    platform::UniqueFd fd(::open(p.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666));
    if (fd.valid()) ::futimens(fd.get(), nullptr);
}

int refuse(const char *message) {
    std::printf("%s\n", message);
    return -1;
}

}  // namespace

int read_phy_id() {
    RegisterWindow w;
    if (!mdio_map(w)) return -1;
    int id = mdio_read(w, kPhyAddr, kPhyIdReg);
    w.unmap();
    return id;
}

}  // namespace upfw::policy

using namespace upfw::policy;

extern "C" {

UPFW_API int get_poe_id(void) {
    uint8_t id = 0;
    if (!upfw::platform::i2c_read_byte(upfw::platform::rooted(kI2c), kPoeBus, kPoeDev, kPoeReg, &id)) {
        std::printf("open file fail");
        return 0;
    }
    return id;
}

UPFW_API int UPFW_version_check(const char *image_path) {
    if (!image_path) {
        std::fprintf(stderr, "Please input datafile\n");
        return -1;
    }
    upfw_header h;
    {
        upfw::platform::UniqueFd fd(::open(image_path, O_RDONLY | O_CLOEXEC));
        if (!fd.valid()) {
            std::perror("open output imager");
            return -1;
        }
        std::memset(&h, 0, sizeof h);
        ssize_t n = upfw::platform::read_full(fd.get(), &h, sizeof h);
        if (n != static_cast<ssize_t>(sizeof h)) {
            if (n >= 0) errno = ENODATA;  // shorter than a header
            std::perror("read output imager");
            return -1;
        }
    }
    env_mtd_table t;
    get_env_mtd_table(&t);
    const uint32_t fs = h.entries[2].version;
    const unsigned img = series(fs), minor = minor_of(fs), build = build_of(fs);
    const unsigned installed = series(upfw::ptb::installed_version(t, running_fs_record(t)));
    std::printf("version = %d.%d.%d\n", img, minor, build);

    // A boot loader whose write never finished still names the board by the version it had.
    const unsigned board = platform_code(upfw::ptb::installed_version(t, 0));
    if (platform_code(h.entries[0].version) != board && platform_code(h.entries[6].version) != board)
        return refuse("platform dismatch !");

    const int phy = read_phy_id();
    const int poe = get_poe_id();

    if (img <= 7 && installed <= 7 && oem_marker_present()) {
        if (minor == 0 && special_oem_marker_present()) return refuse("OEM special do not support update 7.0.x ");
        return 0;
    }
    if (img >= 8 && installed <= 7 && oem_marker_present())
        return special_oem_marker_present() ? 0 : refuse("OEM do not support update 7.x to 8.x ");
    if (img <= 7 && installed >= 8 && oem_marker_present()) return refuse("OEM do not support update 8.x to 7.x ");
    if (img >= 9 && installed <= 8 && oem_marker_present())
        return special_oem_marker_present() ? 0 : refuse("OEM do not support update 8.x to 9.x ");
    if (img <= 7 && build <= 8 && phy != kExpectedPhyId) return refuse("OEM do not support update < 7.x.9 ");
    if (img <= 8 && installed >= 9) return refuse("do not support back to < 9.0.1 form 9.0.x. ");
    if (img <= 7 && build <= 9 && (poe == 0x44 || poe == 0xE3)) {
        std::printf("do not support update < 8.x.10 0x%x\n", static_cast<unsigned>(poe));
        return -1;
    }
    if (is_new_model() && img == 9 && build <= 9) return refuse("new 7308 do not support update < 9.x.10 ");
    if (img >= 8 && installed <= 7) touch(kUpdbMarker);
    return 0;
}

}  // extern "C"
