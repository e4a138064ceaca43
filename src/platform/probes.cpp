#include "platform/probes.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>

#include "platform/root.h"
#include "util/text.h"

namespace upfw::platform {

namespace {

constexpr size_t kCmd = 0x3C0, kData = 0x3C4, kStatus = 0x3D0;
constexpr uint32_t kBusy = 1u << 20, kRead = 1u << 17;
constexpr unsigned long kI2cRead = 0x40045301;

using util::parse_u32;
using util::trim;



// "phy4.reg2" -> (4, 2); "bus2.dev0x40.reg0x43" -> (2, 0x40, 0x43): the numbers of a dotted key.
bool key_numbers(const std::string &key, const char *const *parts, int n, uint32_t *out) {
    size_t pos = 0;
    for (int i = 0; i < n; ++i) {
        size_t len = std::char_traits<char>::length(parts[i]);
        if (key.compare(pos, len, parts[i]) != 0) return false;
        pos += len;
        size_t dot = key.find('.', pos);
        std::string num = key.substr(pos, dot == std::string::npos ? std::string::npos : dot - pos);
        if (!parse_u32(num, &out[i])) return false;
        if (i + 1 < n && dot == std::string::npos) return false;
        pos = dot == std::string::npos ? key.size() : dot + 1;
    }
    return pos == key.size();
}

// Lines "key=value" of an emulated node, comments after '#'.
template <typename Fn>
void each_line(const std::string &path, Fn fn) {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        size_t hash = line.find('#');
        if (hash != std::string::npos) line.erase(hash);
        size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        fn(trim(line.substr(0, eq)), trim(line.substr(eq + 1)));
    }
}

bool is_regular(const std::string &path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

RegisterWindow::RegisterWindow() = default;
RegisterWindow::~RegisterWindow() { unmap(); }

RegisterWindow::Result RegisterWindow::map(const std::string &path, uint32_t phys, size_t length) {
    unmap();
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        open_result_ = -1;
        return Result::kOpenFailed;
    }
    if (S_ISREG(st.st_mode)) {
        fd_ = UniqueFd(::open(path.c_str(), O_RDWR | O_SYNC | O_CLOEXEC));
        open_result_ = fd_.get();
        if (!fd_.valid()) return Result::kOpenFailed;
        each_line(path, [this](const std::string &k, const std::string &v) {
            static const char *const parts[] = {"phy", "reg"};
            uint32_t nums[2], value;
            if (k == "mdio") mode_ = v;
            else if (key_numbers(k, parts, 2, nums) && parse_u32(v, &value)) phy_[{nums[0], nums[1]}] = value & 0xFFFF;
        });
        cmd_ = mode_ == "stuck" ? kBusy : 0;
        length_ = length;
        return Result::kOk;
    }
#if defined(__arm__) || defined(__aarch64__)
    fd_ = UniqueFd(::open(path.c_str(), O_RDWR | O_SYNC | O_CLOEXEC));
    open_result_ = fd_.get();
    if (!fd_.valid()) return Result::kOpenFailed;
    void *p = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd_.get(), static_cast<off_t>(phys));
    if (p == MAP_FAILED) {
        fd_.close();
        return Result::kMapFailed;
    }
    regs_ = static_cast<volatile uint32_t *>(p);
    length_ = length;
    return Result::kOk;
#else
    (void)phys;
    open_result_ = -1;
    return Result::kMapFailed;
#endif
}

uint32_t RegisterWindow::read32(size_t offset) {
    if (offset + 4 > length_) return 0;
    if (regs_) return regs_[offset / 4];
    if (offset == kCmd) return cmd_;
    if (offset == kData) return data_;
    if (offset == kStatus) return status_;
    return 0;
}

void RegisterWindow::write32(size_t offset, uint32_t value) {
    if (offset + 4 > length_) return;
    if (regs_) {
        regs_[offset / 4] = value;
        return;
    }
    if (offset != kCmd) return;
    if (mode_ == "stuck") return;
    cmd_ = value;
    if (!(value & kBusy) || !(value & kRead)) return;
    if (mode_ == "hang") return;  // busy stays set
    cmd_ = value & ~kBusy;
    if (mode_ == "fail") {
        status_ = 1;
        return;
    }
    auto it = phy_.find({(value >> 8) & 0xFF, value & 0xFF});
    status_ = 0;
    data_ = (it == phy_.end() ? 0xFFFFu : it->second) << 16;
}

void RegisterWindow::unmap() {
    if (regs_) ::munmap(const_cast<uint32_t *>(regs_), length_);
    regs_ = nullptr;
    fd_.close();
    phy_.clear();
    mode_.clear();
    length_ = 0;
}

bool i2c_read_byte(const std::string &node, uint32_t bus, uint8_t dev, uint32_t reg, uint8_t *out) {
    UniqueFd fd(::open(node.c_str(), O_RDWR | O_CLOEXEC));
    if (!fd.valid()) return false;
    *out = 0;
    if (is_regular(node)) {
        each_line(node, [&](const std::string &k, const std::string &v) {
            static const char *const parts[] = {"bus", "dev", "reg"};
            uint32_t nums[3], value;
            if (key_numbers(k, parts, 3, nums) && parse_u32(v, &value) && nums[0] == bus && nums[1] == dev &&
                nums[2] == reg)
                *out = static_cast<uint8_t>(value);
        });
        return true;
    }
    // The driver's read request; 24 bytes on the device's 32-bit ABI.
    struct Request {
        uint32_t bus;
        uint8_t dev;
        uint32_t reg;
        uint32_t reg_len;
        uint8_t *data;
        uint32_t len;
    } req{bus, dev, reg, 1, out, 1};
#if defined(__arm__)
    static_assert(sizeof(Request) == 24, "I2C read request layout");
#endif
    ::ioctl(fd.get(), kI2cRead, &req);  // a failed read leaves the byte 0
    return true;
}

void sleep_micros(unsigned micros) {
    if (!root().empty()) return;
    ::usleep(micros);
}

}  // namespace upfw::platform
