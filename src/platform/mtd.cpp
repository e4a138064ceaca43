#include "platform/mtd.h"

#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <vector>

#include "platform/root.h"
#include "util/text.h"

namespace upfw::platform {

namespace {

using util::parse_number;
using util::trim;

// The kernel's internal ENOTSUPP, which mtdchar passes to user space for MEMLOCK on NAND.
constexpr int kErrNotSupp = 524;
constexpr uint32_t kCapNor = MTD_WRITEABLE | MTD_BIT_WRITEABLE;
constexpr uint32_t kCapNand = MTD_WRITEABLE;



template <typename Out>
bool parse_list(const std::string &s, Out add) {
    std::stringstream ss(s);
    std::string item;
    while (std::getline(ss, item, ',')) {
        item = trim(item);
        if (item.empty()) continue;
        uint64_t v;
        if (!parse_number(item, UINT64_MAX, &v)) return false;
        add(v);
    }
    return true;
}

std::string join(const std::set<uint32_t> &values) {
    std::string out;
    for (uint32_t v : values) {
        if (!out.empty()) out += ',';
        out += std::to_string(v);
    }
    return out;
}

bool is_pow2(uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

// Emulated flash is read and programmed in a window of its file held in memory: a page is
// programmed and read back there, with no system call, and the window goes back to the file in
// one write when the process moves past it, closes the device, starts a command, exits or loses
// its power. One window serves the whole process, so two devices open on one file see each
// other's writes, and the memory held does not grow with the partition. Another process sees a
// write once the window has gone back; the tool hands the flash to no other process (a command
// it starts included) before that. Not for use by several threads at once.
class FlashCache {
public:
    static constexpr uint64_t kSize = 1u << 20;

    ~FlashCache() { settle(); }

    // The cells at pos of the file open as fd (writable or not, identified by st, of file_size
    // bytes); *len is cut to what lies in the window (at least one). A write must call
    // changed() after. overwrite: the caller replaces all *len cells, so a window they cover
    // whole need not be read. Null with errno when the file cannot be read.
    unsigned char *at(int fd, bool writable, const struct stat &st, uint64_t file_size, uint64_t pos, size_t *len,
                      bool overwrite) {
        if (!holds(st, pos)) {
            if (settle() != 0) return nullptr;
            const uint64_t start = pos - pos % kSize;
            const size_t length = static_cast<size_t>(std::min<uint64_t>(kSize, file_size - start));
            buf_.resize(kSize);
            fd_ = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
            if (fd_ < 0) return nullptr;
            const bool covered = overwrite && pos == start && *len >= length;
            if (!covered &&
                read_full(fd_, buf_.data(), length, static_cast<int64_t>(start)) != static_cast<ssize_t>(length)) {
                const int e = errno;
                forget();
                errno = e ? e : EIO;
                return nullptr;
            }
            dev_ = st.st_dev;
            ino_ = st.st_ino;
            start_ = start;
            length_ = length;
            writable_ = writable;
            static const bool registered = std::atexit([] { cache().settle(); }) == 0;
            (void)registered;
        } else if (writable && !writable_) {
            // The window goes back through a descriptor that may write.
            const int w = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
            if (w < 0) return nullptr;
            ::close(fd_);
            fd_ = w;
            writable_ = true;
        }
        *len = static_cast<size_t>(std::min<uint64_t>(*len, start_ + length_ - pos));
        return buf_.data() + (pos - start_);
    }

    // The window's bytes [from, to) (file offsets) were changed.
    void changed(uint64_t from, uint64_t to) {
        dirty_from_ = std::min(dirty_from_, from);
        dirty_to_ = std::max(dirty_to_, to);
    }

    // Writes the changed bytes back and forgets the window. 0, or -1 with errno.
    int settle() {
        int r = 0;
        if (fd_ >= 0 && dirty_from_ < dirty_to_) {
            const size_t n = static_cast<size_t>(dirty_to_ - dirty_from_);
            if (write_full(fd_, buf_.data() + (dirty_from_ - start_), n, static_cast<int64_t>(dirty_from_)) !=
                static_cast<ssize_t>(n))
                r = -1;
        }
        const int e = errno;
        forget();
        errno = e;
        return r;
    }

    static FlashCache &cache() {
        static FlashCache c;
        return c;
    }

private:
    bool holds(const struct stat &st, uint64_t pos) const {
        return fd_ >= 0 && st.st_dev == dev_ && st.st_ino == ino_ && pos >= start_ && pos < start_ + length_;
    }

    void forget() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        dirty_from_ = UINT64_MAX;
        dirty_to_ = 0;
    }

    std::vector<unsigned char> buf_;
    int fd_ = -1;
    bool writable_ = false;
    dev_t dev_ = 0;
    ino_t ino_ = 0;
    uint64_t start_ = 0, length_ = 0;
    uint64_t dirty_from_ = UINT64_MAX, dirty_to_ = 0;
};

}  // namespace

int settle_emulated_flash() { return FlashCache::cache().settle(); }

// The power of the simulated device fails: the whole device stops, so the mark tells every
// other process of the run (see run_command) before this one is killed.
[[noreturn]] void power_fails() {
    settle_emulated_flash();  // what was done before the power failed stays done
    std::ofstream(root() + "/sim/poweroff") << "off\n";
    ::raise(SIGKILL);
    std::abort();
}

// Emulated flash: the description of one regular file standing in for an MTD device, and the
// simulated device's shared fault switches (power cut, operation log) under <root>/sim.
struct Emulation {
    MtdInfo geo;
    struct stat file {};  // which file: the process's window is told apart by it
    bool writable = false;
    std::set<uint32_t> bad, fail_erase, fail_write, weak;
    std::vector<uint64_t> read_flip;
    std::string desc_path;
    std::string shown_path;
    std::string sim_dir;
    bool log_ops = false;
    bool power_cut = false;
    bool tear = false;
    uint64_t cut_after = 0;

    bool load(const std::string &path);
    bool store_bad() const;
    int begin_op(const char *what, uint64_t offset, uint64_t length);
    bool nand() const { return geo.type == kMtdNand; }
    uint32_t block_of(uint64_t offset) const { return static_cast<uint32_t>(offset / geo.erasesize); }
};

// A description that cannot be read as written names the file (as the device sees it) and
// the key on stderr, so that a mistyped fault switch does not pass for a refusal of the tool.
bool Emulation::load(const std::string &path) {
    desc_path = path + ".mtd";
    std::string r = root();
    if (!r.empty()) {
        sim_dir = r + "/sim";
        std::string rr = rooted("/");
        shown_path = path.compare(0, rr.size(), rr) == 0 ? path.substr(rr.size() - 1) : path;
    } else {
        shown_path = path;
    }
    auto refuse = [&](const std::string &why) {
        std::fprintf(stderr, "upfw: %s.mtd: %s\n", shown_path.c_str(), why.c_str());
        errno = EINVAL;
        return false;
    };
    auto bad_value = [&](const std::string &key, const std::string &val) {
        return refuse("bad value \"" + val + "\" for key \"" + key + "\"");
    };
    geo.type = kMtdNor;
    geo.erasesize = 0x10000;
    geo.writesize = 1;
    geo.oobsize = 0;
    std::ifstream in(desc_path);
    if (!in) {
        // A bare dump without a description reads as NOR with 64 KiB sectors.
        if (errno != ENOENT) return false;
    }
    std::string line, erasesize_text = "0x10000", writesize_text = "1";
    while (std::getline(in, line)) {
        size_t hash = line.find('#');
        if (hash != std::string::npos) line.erase(hash);
        line = trim(line);
        if (line.empty()) continue;
        size_t eq = line.find('=');
        if (eq == std::string::npos) return refuse("line \"" + line + "\" is not key=value");
        std::string key = trim(line.substr(0, eq));
        std::string val = trim(line.substr(eq + 1));
        uint64_t v = 0;
        auto add_to = [](std::set<uint32_t> &set) {
            return [&set](uint64_t x) { set.insert(static_cast<uint32_t>(x)); };
        };
        bool ok = true;
        if (key == "type") {
            if (val == "nor") geo.type = kMtdNor;
            else if (val == "nand") geo.type = kMtdNand;
            else if (parse_number(val, UINT64_MAX, &v) && v <= 255) geo.type = static_cast<uint8_t>(v);
            else ok = false;
        } else if (key == "erasesize" || key == "writesize" || key == "oobsize") {
            ok = parse_number(val, UINT64_MAX, &v) && v <= UINT32_MAX;
            uint32_t &field = key == "erasesize" ? geo.erasesize
                              : key == "writesize" ? geo.writesize : geo.oobsize;
            field = static_cast<uint32_t>(v);
            if (key == "erasesize") erasesize_text = val;
            if (key == "writesize") writesize_text = val;
        } else if (key == "bad") {
            ok = parse_list(val, add_to(bad));
        } else if (key == "fail_erase") {
            ok = parse_list(val, add_to(fail_erase));
        } else if (key == "fail_write") {
            ok = parse_list(val, add_to(fail_write));
        } else if (key == "weak") {
            ok = parse_list(val, add_to(weak));
        } else if (key == "read_flip") {
            ok = parse_list(val, [this](uint64_t x) { read_flip.push_back(x); });
        } else {
            return refuse("unknown key \"" + key + "\"");
        }
        if (!ok) return bad_value(key, val);
    }
    if (!is_pow2(geo.erasesize)) return bad_value("erasesize", erasesize_text);
    if (geo.writesize == 0 || geo.erasesize % geo.writesize != 0) return bad_value("writesize", writesize_text);
    geo.flags = geo.type == kMtdNor ? kCapNor : kCapNand;

    if (!sim_dir.empty()) {
        struct stat st;
        log_ops = ::stat((sim_dir + "/flash.log").c_str(), &st) == 0;
        std::ifstream cut(sim_dir + "/powercut");
        if (cut) {
            power_cut = true;
            while (std::getline(cut, line)) {
                line = trim(line);
                if (line.rfind("after=", 0) == 0) parse_number(line.substr(6), UINT64_MAX, &cut_after);
                else if (line == "tear=1") tear = true;
            }
        }
    }
    return true;
}

bool Emulation::store_bad() const {
    std::vector<std::string> lines;
    {
        std::ifstream in(desc_path);
        std::string line;
        while (std::getline(in, line)) {
            size_t eq = line.find('=');
            if (eq == std::string::npos || trim(line.substr(0, eq)) != "bad") lines.push_back(line);
        }
    }
    lines.push_back("bad=" + join(bad));
    std::string tmp = desc_path + ".tmp";
    {
        std::ofstream out(tmp, std::ios::trunc);
        for (const auto &l : lines) out << l << '\n';
        if (!out.flush()) return false;
    }
    return ::rename(tmp.c_str(), desc_path.c_str()) == 0;
}

// Counts one flash operation (erase, write, bad-block mark) of the simulated device and logs
// it. Returns 0 to carry it out, 1 when the power fails during it (tear it, then cut), or
// kills the process at once when the power fails before it.
int Emulation::begin_op(const char *what, uint64_t offset, uint64_t length) {
    if (!log_ops && !power_cut) return 0;
    std::string counter = sim_dir + "/flashops";
    uint64_t n = 0;
    {
        std::ifstream in(counter);
        std::string s;
        if (in >> s) parse_number(s, UINT64_MAX, &n);
    }
    ++n;
    {
        std::ofstream out(counter, std::ios::trunc);
        out << n << '\n';
    }
    if (log_ops) {
        std::ofstream log(sim_dir + "/flash.log", std::ios::app);
        char buf[160];
        std::snprintf(buf, sizeof buf, "%" PRIu64 " %s %s 0x%" PRIx64 " 0x%" PRIx64 "\n", n, what,
                      shown_path.c_str(), offset, length);
        log << buf;
    }
    if (power_cut && n > cut_after) {
        // A device whose power is already off does nothing; say how to bring it back.
        struct stat st;
        if (::stat((sim_dir + "/poweroff").c_str(), &st) == 0)
            std::fprintf(stderr, "upfw: the simulated device is powered off (upfw-sim --root %s poweron)\n",
                         root().c_str());
        if (tear) return 1;
        power_fails();
    }
    return 0;
}

MtdDevice::MtdDevice() = default;
MtdDevice::~MtdDevice() { close(); }
MtdDevice::MtdDevice(MtdDevice &&) noexcept = default;
MtdDevice &MtdDevice::operator=(MtdDevice &&) noexcept = default;

bool MtdDevice::open(const std::string &path, int flags) {
    close();
    UniqueFd fd(::open(path.c_str(), flags | O_CLOEXEC));
    if (!fd.valid()) return false;
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) return false;
    if (S_ISREG(st.st_mode)) {
        // Synchronous writes mean nothing for a file standing in for flash, and cost a disk
        // flush per write.
        if (flags & O_SYNC) {
            fd = UniqueFd(::open(path.c_str(), (flags & ~O_SYNC) | O_CLOEXEC));
            if (!fd.valid()) return false;
        }
        auto emu = std::make_unique<Emulation>();
        if (!emu->load(path)) return false;
        if (static_cast<uint64_t>(st.st_size) > UINT32_MAX) {
            errno = EFBIG;
            return false;
        }
        emu->geo.size = static_cast<uint32_t>(st.st_size);
        emu->file = st;
        emu->writable = (flags & O_ACCMODE) == O_RDWR;
        emu_ = std::move(emu);
    } else if (!S_ISCHR(st.st_mode)) {
        errno = ENODEV;
        return false;
    }
    fd_ = std::move(fd);
    return true;
}

int MtdDevice::close() {
    int r = 0;
    if (emu_) {
        r = settle_emulated_flash();
        emu_.reset();
    }
    const int e = errno;
    if (fd_.close() != 0) return -1;
    errno = e;
    return r;
}

int MtdDevice::info(MtdInfo *out) const {
    if (!emu_) {
        mtd_info_user mi;
        std::memset(&mi, 0, sizeof mi);
        if (::ioctl(fd_.get(), MEMGETINFO, &mi) != 0) return -1;
        out->type = mi.type;
        out->flags = mi.flags;
        out->size = mi.size;
        out->erasesize = mi.erasesize;
        out->writesize = mi.writesize;
        out->oobsize = mi.oobsize;
        return 0;
    }
    *out = emu_->geo;  // its size was taken at open: a partition does not change size
    return 0;
}

namespace {
// MEMERASE, MEMLOCK and MEMUNLOCK take a 32-bit start and length.
int range_ioctl(int fd, unsigned long request, uint64_t start, uint64_t length) {
    if (start > UINT32_MAX || length > UINT32_MAX) {
        errno = EINVAL;
        return -1;
    }
    erase_info_user ei{static_cast<uint32_t>(start), static_cast<uint32_t>(length)};
    return ::ioctl(fd, request, &ei);
}
}  // namespace

int MtdDevice::erase(uint64_t start, uint64_t length) {
    if (!emu_) return range_ioctl(fd_.get(), MEMERASE, start, length);
    MtdInfo geo;
    if (info(&geo) != 0) return -1;
    if (length == 0) return 0;
    const uint64_t es = geo.erasesize;
    if (start % es != 0 || length % es != 0 || start + length > geo.size || start + length < start) {
        errno = EINVAL;
        return -1;
    }
    if (!emu_->writable) {
        errno = EBADF;
        return -1;
    }
    const bool torn = emu_->begin_op("erase", start, length) == 1;
    const uint64_t end = torn ? start + length / 2 : start + length;
    for (uint64_t b = start; b < end; b += es) {
        uint32_t blk = emu_->block_of(b);
        if ((emu_->nand() && emu_->bad.count(blk)) || emu_->fail_erase.count(blk)) {
            errno = EIO;
            return -1;
        }
        const uint64_t block_end = std::min<uint64_t>(b + es, end);
        for (uint64_t at = b; at < block_end;) {
            size_t n = static_cast<size_t>(block_end - at);
            unsigned char *cells = emu_cells(at, &n, true);
            if (!cells) return -1;
            std::memset(cells, 0xFF, n);
            FlashCache::cache().changed(at, at + n);
            at += n;
        }
    }
    if (torn) power_fails();
    return 0;
}

int MtdDevice::lock(uint64_t start, uint64_t length) {
    if (!emu_) return range_ioctl(fd_.get(), MEMLOCK, start, length);
    MtdInfo geo;
    if (info(&geo) != 0) return -1;
    if (emu_->nand()) {
        errno = kErrNotSupp;
        return -1;
    }
    if (start + length > geo.size || start + length < start) {
        errno = EINVAL;
        return -1;
    }
    return 0;
}

int MtdDevice::unlock(uint64_t start, uint64_t length) {
    if (!emu_) return range_ioctl(fd_.get(), MEMUNLOCK, start, length);
    return lock(start, length);
}

int MtdDevice::block_is_bad(uint64_t offset) {
    if (!emu_) {
        loff_t off = static_cast<loff_t>(offset);
        int r = ::ioctl(fd_.get(), MEMGETBADBLOCK, &off);
        return r < 0 ? -1 : (r > 0 ? 1 : 0);
    }
    MtdInfo geo;
    if (info(&geo) != 0) return -1;
    if (offset >= geo.size) {
        errno = EINVAL;
        return -1;
    }
    return emu_->nand() && emu_->bad.count(emu_->block_of(offset)) ? 1 : 0;
}

int MtdDevice::mark_bad(uint64_t offset) {
    if (!emu_) {
        loff_t off = static_cast<loff_t>(offset);
        return ::ioctl(fd_.get(), MEMSETBADBLOCK, &off) < 0 ? -1 : 0;
    }
    MtdInfo geo;
    if (info(&geo) != 0) return -1;
    if (!emu_->nand()) {
        errno = EOPNOTSUPP;
        return -1;
    }
    if (offset >= geo.size) {
        errno = EINVAL;
        return -1;
    }
    bool torn = emu_->begin_op("markbad", offset, geo.erasesize) == 1;
    if (torn) power_fails();
    emu_->bad.insert(emu_->block_of(offset));
    if (!emu_->store_bad()) {
        errno = EIO;
        return -1;
    }
    return 0;
}

ssize_t MtdDevice::pread(void *buf, size_t count, uint64_t offset) {
    if (!emu_) {
        for (;;) {
            ssize_t n = ::pread(fd_.get(), buf, count, static_cast<off_t>(offset));
            if (n >= 0 || errno != EINTR) return n;
        }
    }
    return emu_read(buf, count, offset);
}

ssize_t MtdDevice::pwrite(const void *buf, size_t count, uint64_t offset) {
    if (!emu_) {
        for (;;) {
            ssize_t n = ::pwrite(fd_.get(), buf, count, static_cast<off_t>(offset));
            if (n >= 0 || errno != EINTR) return n;
        }
    }
    return emu_write(buf, count, offset);
}

int64_t MtdDevice::seek(int64_t offset, int whence) {
    if (emu_) {
        // As the kernel's MTD character device: a position outside [0, size] is refused.
        int64_t base = 0;
        if (whence == SEEK_CUR) base = ::lseek(fd_.get(), 0, SEEK_CUR);
        else if (whence == SEEK_END) base = emu_->geo.size;
        else if (whence != SEEK_SET) base = -1;
        if (base < 0 || offset < -base || offset > static_cast<int64_t>(emu_->geo.size) - base) {
            errno = EINVAL;
            return -1;
        }
        offset += base;
        whence = SEEK_SET;
    }
    return ::lseek(fd_.get(), static_cast<off_t>(offset), whence);
}

ssize_t MtdDevice::read(void *buf, size_t count) {
    if (!emu_) {
        for (;;) {
            ssize_t n = ::read(fd_.get(), buf, count);
            if (n >= 0 || errno != EINTR) return n;
        }
    }
    int64_t pos = seek(0, SEEK_CUR);
    if (pos < 0) return -1;
    ssize_t n = emu_read(buf, count, static_cast<uint64_t>(pos));
    if (n > 0) seek(pos + n, SEEK_SET);
    return n;
}

ssize_t MtdDevice::write(const void *buf, size_t count) {
    if (!emu_) {
        for (;;) {
            ssize_t n = ::write(fd_.get(), buf, count);
            if (n >= 0 || errno != EINTR) return n;
        }
    }
    int64_t pos = seek(0, SEEK_CUR);
    if (pos < 0) return -1;
    ssize_t n = emu_write(buf, count, static_cast<uint64_t>(pos));
    if (n > 0) seek(pos + n, SEEK_SET);
    return n;
}

unsigned char *MtdDevice::emu_cells(uint64_t pos, size_t *len, bool overwrite) {
    return FlashCache::cache().at(fd_.get(), emu_->writable, emu_->file, emu_->geo.size, pos, len, overwrite);
}

namespace {
// Programming only clears bits: the cells become cells AND data. A word at a time.
void program(unsigned char *cells, const unsigned char *data, size_t n) {
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t c, d;
        std::memcpy(&c, cells + i, 8);
        std::memcpy(&d, data + i, 8);
        c &= d;
        std::memcpy(cells + i, &c, 8);
    }
    for (; i < n; ++i) cells[i] &= data[i];
}
}  // namespace

ssize_t MtdDevice::emu_read(void *buf, size_t count, uint64_t pos) {
    MtdInfo geo;
    if (info(&geo) != 0) return -1;
    if (pos >= geo.size) return 0;
    count = static_cast<size_t>(std::min<uint64_t>(count, geo.size - pos));
    for (size_t done = 0; done < count;) {
        size_t n = count - done;
        const unsigned char *cells = emu_cells(pos + done, &n, false);
        if (!cells) return -1;
        std::memcpy(static_cast<unsigned char *>(buf) + done, cells, n);
        done += n;
    }
    const ssize_t n = static_cast<ssize_t>(count);
    for (uint64_t off : emu_->read_flip)
        if (off >= pos && off < pos + static_cast<uint64_t>(n))
            static_cast<unsigned char *>(buf)[off - pos] ^= 0x01;
    return n;
}

ssize_t MtdDevice::emu_write(const void *buf, size_t count, uint64_t pos) {
    MtdInfo geo;
    if (info(&geo) != 0) return -1;
    if (pos >= geo.size) {
        errno = ENOSPC;
        return -1;
    }
    count = static_cast<size_t>(std::min<uint64_t>(count, geo.size - pos));
    if (count == 0) return 0;
    const uint64_t ws = geo.writesize;
    if (emu_->nand() && (pos % ws != 0 || count % ws != 0)) {
        errno = EINVAL;
        return -1;
    }
    // Writing into a bad block is a writer's bug; the kernel would take it, we refuse it.
    for (uint64_t b = pos - pos % geo.erasesize; b < pos + count; b += geo.erasesize) {
        uint32_t blk = emu_->block_of(b);
        if ((emu_->nand() && emu_->bad.count(blk)) || emu_->fail_write.count(blk)) {
            errno = EIO;
            return -1;
        }
    }
    if (!emu_->writable) {
        errno = EBADF;
        return -1;
    }
    const bool torn = emu_->begin_op("write", pos, count) == 1;
    size_t len = count;
    if (torn) len = static_cast<size_t>((count / 2) - (count / 2) % ws);
    const auto *src = static_cast<const unsigned char *>(buf);
    for (size_t done = 0; done < len;) {
        size_t n = len - done;
        unsigned char *cells = emu_cells(pos + done, &n, false);
        if (!cells) return -1;
        program(cells, src + done, n);
        FlashCache::cache().changed(pos + done, pos + done + n);
        done += n;
    }
    if (!emu_->weak.empty()) {
        for (size_t i = 0; i < len; i += static_cast<size_t>(ws)) {
            if (!emu_->weak.count(emu_->block_of(pos + i))) continue;
            size_t n = 1;
            unsigned char *cell = emu_cells(pos + i, &n, false);
            if (!cell) return -1;
            *cell ^= 0x01;
            FlashCache::cache().changed(pos + i, pos + i + 1);
        }
    }
    if (torn) power_fails();
    return static_cast<ssize_t>(count);
}

}  // namespace upfw::platform
