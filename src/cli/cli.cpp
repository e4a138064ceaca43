#include "cli/cli.h"

#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "platform/root.h"
#include "ptb/ptb.h"
#include "update/progress.h"
#include "upfw/env.h"
#include "upfw/image.h"
#include "upfw/policy.h"
#include "upfw/ptb.h"
#include "upfw/update.h"

namespace upfw::cli {

namespace {

constexpr const char *kDefaultImage = "/dev/shm/updateFM.bin";
constexpr size_t kImagePathSize = 128;
constexpr size_t kSnSize = 32;
constexpr size_t kCmdlineSize = 512;
constexpr size_t kFileSize = 32;
constexpr size_t kMessageSize = 256;
constexpr int kMismatch = -14;

// Values of the options without a short letter.
enum : int {
    kHelp = 0, kVersion = 1, kShow = 2, kAutoDl = 3, kAutoBoot = 4, kPriAddr = 5, kPriFile = 6,
    kServerIp = 20, kEthIp = 22, kEthMask = 23, kEthGw = 24, kUbootVer = 25,
    kWifiIp = 27, kWifiMask = 28, kWifiGw = 29,
};

constexpr int kOptionCount = 26;

const struct option option_table[kOptionCount + 1] = {
    {"help", 0, nullptr, kHelp},
    {"version", 0, nullptr, kVersion},
    {"show", 0, nullptr, kShow},
    {"upfw", 0, nullptr, 'u'},
    {"analysis", 0, nullptr, 'a'},
    {"oem", 0, nullptr, 'e'},
    {"list", 0, nullptr, 'l'},
    {"bootState", 1, nullptr, 'B'},
    {"system", 1, nullptr, 'S'},
    {"sn", 1, nullptr, 'N'},
    {"cmdline", 1, nullptr, 'C'},
    {"delay", 1, nullptr, 'D'},
    {"auto_boot", 1, nullptr, kAutoBoot},
    {"auto_dl", 1, nullptr, kAutoDl},
    {"pri_addr", 1, nullptr, kPriAddr},
    {"pri_file", 1, nullptr, kPriFile},
    {"serverip", 1, nullptr, kServerIp},
    {"eth0_mac", 1, nullptr, 'E'},
    {"eth0_ip", 1, nullptr, kEthIp},
    {"eth0_mask", 1, nullptr, kEthMask},
    {"eth0_gw", 1, nullptr, kEthGw},
    {"uboot_ver", 1, nullptr, kUbootVer},
    {"wifi0_mac", 1, nullptr, 'W'},
    {"wifi0_ip", 1, nullptr, kWifiIp},
    {"wifi0_mask", 1, nullptr, kWifiMask},
    {"wifi0_gw", 1, nullptr, kWifiGw},
    {nullptr, 0, nullptr, 0},
};

struct OptionHelp {
    const char *arg;
    const char *help;
};

const OptionHelp option_help[kOptionCount] = {
    {"", "display this help and exit"},
    {"", "output version information and exit"},
    {"", "Show Varnholt ZARORE information "},
    {"", "Update Varnholt upgrade images"},
    {"", "Analysis Varnholt upgrade images"},
    {"", "Analysis Varnholt upgrade OEM images"},
    {"", "List upgrade image information"},
    {"state", "set boot state"},
    {"id", "Switch Varnholt System"},
    {"sn", "Update Varnholt ZARORE SN "},
    {"str", "Update Varnholt ZARORE cmdline "},
    {"digit", "Update Varnholt ZARORE bootdelay "},
    {"digit", "Update Varnholt ZARORE load linux from nandflash or no "},
    {"digit", "Update Varnholt ZARORE load linux from network or no "},
    {"hex", "Update Varnholt ZARORE pri_addr "},
    {"str", "Update Varnholt updated file name(32bytes) "},
    {"ip", "Update Varnholt ZARORE tftpd server ip "},
    {"MAC", "Update Varnholt ZARORE eth0 MAC "},
    {"ip", "Update Varnholt ZARORE eth0 lan ip "},
    {"ip", "Update Varnholt ZARORE eth0 lan mask "},
    {"ip", "Update Varnholt ZARORE eth0 lan gw "},
    {"ver", "set uboot version , eg: xx.xx.xx.xx"},
    {"MAC", "Update Varnholt ZARORE wifi0 MAC "},
    {"ip", "Update Varnholt ZARORE wifi0 ip "},
    {"ip", "Update Varnholt ZARORE wifi0 mask"},
    {"ip", "Update Varnholt ZARORE wifi0 gw "},
};

constexpr const char *kShortOptions = "?uaelB:S:N:C:D:E:W:";

struct RunState {
    char image_path[kImagePathSize];
    // What the jobs open: the path as given, or the default image under the root.
    std::string image_file;
    bool upfw = false, analysis = false, oem = false, list = false;
    char sn[kSnSize];
    char cmdline[kCmdlineSize];
    char pri_file[kFileSize];
    bool error = false;
};

// A number argument: decimal, 0x hexadecimal or 0 octal, the whole text, no sign, at most max.
// Text that is not such a number is refused: "-S x" must not switch the slot and reboot.
bool parse_number(const char *text, uint32_t max, uint32_t *out) {
    if (text[0] < '0' || text[0] > '9') return false;
    errno = 0;
    char *end = nullptr;
    unsigned long long v = std::strtoull(text, &end, 0);
    if (errno != 0 || *end != '\0' || v > max) return false;
    *out = static_cast<uint32_t>(v);
    return true;
}

// A number read as it always was for settings that store nothing: automatic base, and 0 for
// text that is no number.
uint32_t lenient(const char *text) { return static_cast<uint32_t>(std::strtoull(text, nullptr, 0)); }

// Copies an argument into its fixed buffer; false when it does not fit with its terminator.
bool copy_arg(char *buf, size_t size, const char *arg) {
    size_t n = std::strlen(arg);
    if (n >= size) return false;
    std::memcpy(buf, arg, n + 1);
    return true;
}

// Says why an argument is refused, on the line before the option's fixed failure text.
bool refuse(const char *reason) {
    std::fflush(stdout);
    std::fprintf(stderr, "Error: %s\n", reason);
    return false;
}

// A number argument within max, or a refusal that says what is accepted.
bool number(const char *arg, uint32_t max, uint32_t *n, const char *accepted) {
    return parse_number(arg, max, n) || refuse(accepted);
}

// A text argument that fits its buffer, or a refusal that says how long it may be.
bool text(char *buf, size_t size, const char *arg, const char *accepted) {
    return copy_arg(buf, size, arg) || refuse(accepted);
}

// Runs one setting option; returns false when it failed.
bool apply_setting(RunState &st, int opt, const char *arg) {
    uint32_t n = 0;
    switch (opt) {
    case 'B':
        return number(arg, UINT32_MAX, &n, "-B takes a whole number: 0 for None, any other for Done") &&
               set_boot_state(static_cast<int>(n)) == 0;
    case 'S':
        if (!number(arg, UINT32_MAX, &n, "-S takes 0, 1 or 2")) return false;
        if (n > 2) refuse("-S takes 0, 1 or 2");  // the switch then gives its own refusal
        return set_switch_filesys(n) == 0;
    case 'N': return text(st.sn, sizeof st.sn, arg, "-N takes at most 31 characters") && set_ptb_sn(st.sn) == 0;
    case 'C':
        return text(st.cmdline, sizeof st.cmdline, arg, "-C takes at most 511 characters") &&
               set_ptb_cmdline(st.cmdline) == 0;
    case 'D':
        return number(arg, UINT8_MAX, &n, "-D takes a whole number from 0 to 255") &&
               set_ptb_bootdelay(static_cast<uint8_t>(n)) == 0;
    // These settings store nothing, so whatever they are given is taken, as it always was:
    // refusing it would protect nothing and break scripts.
    case kAutoBoot: return set_ptb_autoboot(static_cast<uint8_t>(lenient(arg))) == 0;
    case kAutoDl: return set_ptb_autodownload(static_cast<uint8_t>(lenient(arg))) == 0;
    case kPriAddr: return set_ptb_pri_addr(lenient(arg)) == 0;
    case kPriFile:
        return text(st.pri_file, sizeof st.pri_file, arg, "--pri_file takes at most 31 characters") &&
               set_ptb_pri_file(st.pri_file) == 0;
    case kServerIp: return set_ptb_tftpd_ip(arg) == 0;
    case 'E': return set_ptb_eth_mac(0, arg) == 0;
    case kEthIp: return set_ptb_eth_ip(0, arg) == 0;
    case kEthMask: return set_ptb_eth_netmask(0, arg) == 0;
    case kEthGw: return set_ptb_eth_gateway(0, arg) == 0;
    case kUbootVer: return set_ptb_uboot_version(arg) == 0;
    case 'W': return set_ptb_wifi_mac(0, arg) == 0;
    case kWifiIp: return set_ptb_wifi_ip(0, arg) == 0;
    case kWifiMask: return set_ptb_wifi_netmask(0, arg) == 0;
    case kWifiGw: return set_ptb_wifi_gateway(0, arg) == 0;
    default: return false;
    }
}

const char *failure_text(int opt) {
    switch (opt) {
    case 'B': return "set boot state faild.\n";
    case 'S': return "switch system faild.\n";
    case 'N': return "update sn faild.\n";
    case 'C': return "update cmdline faild.\n";
    case 'D': return "update bootdelay faild.\n";
    case kAutoBoot: return "update auto_boot faild.\n";
    case kAutoDl: return "update auto_dl faild.\n";
    case kPriAddr: return "update pri_addr faild.\n";
    case kPriFile: return "update pri_file faild.\n";
    case kServerIp: return "update tftpd ip address faild.\n";
    case 'E': return "update eth0 mac faild.\n";
    case kEthIp: return "update eth0 ip address faild.\n";
    case kEthMask: return "update eth0 netmask faild.\n";
    case kEthGw: return "update eth0 gateway faild.\n";
    case kUbootVer: return "update uboot version faild.\n";
    case 'W': return "update wifi0 mac faild.\n";
    case kWifiIp: return "update wifi0 ip address faild.\n";
    case kWifiMask: return "update wifi0 netmask faild.\n";
    case kWifiGw: return "update wifi0 gateway faild.\n";
    default: return "";
    }
}

// The text of an update result code.
const char *result_text(int code) {
    static const char *const kTexts[] = {
        "update success!",
        "update faild!",
        "verify update firmware faild!",
        "analysis update firmware faild!",
        "update ptb partition faild!",
        "update bld partition faild!",
        "update hal partition faild!",
        "update dsp partition faild!",
        "update kernel partition faild!",
        "update filesys partition faild!",
        "update cmdline faild!",
        "kernel 1 version mismatch!",
        "kernel 2 version mismatch!",
    };
    if (code <= 0 && code >= -12) return kTexts[-code];
    if (code == kMismatch) return "firmware mismatch!";
    return "unknow error!";
}

void parse_command_line(RunState &st, int argc, char **argv) {
    optind = 0;  // full re-initialisation of the parser
    int opt;
    while ((opt = getopt_long(argc, argv, kShortOptions, option_table, nullptr)) != -1) {
        switch (opt) {
        case kHelp: print_usage(); continue;
        case kVersion: ptb::display_version(); continue;
        case kShow: display_info(); continue;
        case 'u': st.upfw = true; continue;
        case 'a': st.analysis = true; continue;
        case 'e': st.oem = true; continue;
        case 'l': st.list = true; continue;
        case '?':
        default:
            if (opt != '?' && failure_text(opt)[0] != '\0') break;
            std::fflush(stdout);
            std::fprintf(stderr, "Error: Unknow option\n");
            st.error = true;
            return;
        }
        if (!apply_setting(st, opt, optarg)) {
            std::fflush(stdout);
            std::fputs(failure_text(opt), stderr);
            st.error = true;
        }
    }
    if (argc - optind == 1) {
        if (std::strlen(argv[optind]) >= kImagePathSize) {
            std::fprintf(stderr, "Error: image path longer than %zu characters\n", kImagePathSize - 1);
            st.error = true;
            return;
        }
        std::memset(st.image_path, 0, sizeof st.image_path);
        std::memcpy(st.image_path, argv[optind], std::strlen(argv[optind]));
        st.image_file = st.image_path;
    }
}

double seconds_now() {
    struct timespec ts;
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// One line on the terminal, drawn over itself at most ten times a second and cleared when the
// partition is done, before the writer prints its result lines.
void draw_progress(const char *partition, uint64_t written, uint64_t total, bool done) {
    static bool shown = false;
    static double start = 0, last = 0;
    const double now = seconds_now();
    if (done) {
        if (shown) std::fputs("\r\033[K", stderr);
        std::fflush(stderr);
        shown = false;
        start = 0;
        return;
    }
    if (start == 0) start = now;
    if (shown && now - last < 0.1) return;
    last = now;
    const double elapsed = now - start > 1e-3 ? now - start : 1e-3;
    std::fflush(stdout);
    std::fprintf(stderr, "\r%s: %llu of %llu KiB written and verified, %.1f MiB/s\033[K", partition,
                 static_cast<unsigned long long>(written / 1024), static_cast<unsigned long long>(total / 1024),
                 static_cast<double>(written) / elapsed / (1024.0 * 1024.0));
    std::fflush(stderr);
    shown = true;
}

}  // namespace

void print_usage() {
    std::printf("Usage:\n  update [OPTION] upfw_file \n  Writes to the specified MTD device.\n\n");
    for (int i = 0; i < kOptionCount; ++i) {
        int v = option_table[i].val;
        if ((v >= 'A' && v <= 'Z') || (v >= 'a' && v <= 'z')) std::printf("-%c ", v);
        else std::printf("   ");
        std::printf("--%s", option_table[i].name);
        if (option_help[i].arg[0] != '\0') std::printf(" [%s]", option_help[i].arg);
        std::printf("\t%s\n", option_help[i].help);
    }
    std::printf("\n");
}

int run(int argc, char **argv) {
    static RunState st;
    st = RunState();
    std::snprintf(st.image_path, sizeof st.image_path, "%s", kDefaultImage);
    st.image_file = platform::rooted(kDefaultImage);

    env_init();
    parse_command_line(st, argc, argv);
    if (st.error) {
        print_usage();
        return -1;
    }
    // The jobs, in a fixed order whatever the order of the options.
    if (!st.oem && (st.analysis || st.upfw) && UPFW_version_check(st.image_file.c_str()) != 0) {
        UPFW_log(kMismatch, "firmware mismatch!\n");
        return kMismatch;
    }
    if (st.list) {
        std::printf("List upfw %s infomation.\n", st.image_path);
        int r = UPFW_list_intfo(st.image_file.c_str());
        if (r != 0) {
            std::fflush(stdout);
            std::fprintf(stderr, "List upfw %s infomation failed!\n", st.image_path);
            return r;
        }
    }
    if (st.analysis || st.oem) {
        std::printf("Analysis image %s \n", st.image_path);
        int r = UPFW_analysis_img(st.image_file.c_str(), 0);
        if (r != 0) {
            char msg[kMessageSize];
            std::snprintf(msg, sizeof msg, "Analysis %s faild!\n", st.image_path);
            std::fflush(stdout);
            UPFW_log(r, msg);
            return r;
        }
    }
    if (!st.upfw) {
        env_deinit();
        return 0;
    }
    // On a terminal the writes show their progress; output read by a program stays as it was.
    if (::isatty(STDERR_FILENO)) update::set_progress(draw_progress);
    std::printf("Begin update %s \n", st.image_path);
    const int r = UPFW_run_update(st.image_file.c_str());
    char msg[kMessageSize];
    std::snprintf(msg, sizeof msg, "%s\n", result_text(r));
    std::fflush(stdout);
    UPFW_log(r, msg);
    return r;
}

}  // namespace upfw::cli
