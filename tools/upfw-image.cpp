// upfw-image: makes, lists and verifies update images on the build host.
//
// Commands live in one table: each has its operands, its own options (beyond --help and
// --version, which every command takes), its help and the function that runs it. A new command
// or option is a new row; parsing, help and usage errors come from the table.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "image/builder.h"
#include "image/diagnose.h"
#include "platform/fd.h"
#include "upfw/image.h"
#include "util/version.h"

namespace {

constexpr const char *kTool = "upfw-image";

// Exit statuses.
constexpr int kOk = 0;
constexpr int kFailed = 1;  // a file is not a sound image or cannot be used, or the build failed
constexpr int kUsage = 2;   // the command line is wrong; no file was looked at

// An option of one command, beyond --help and --version.
struct Option {
    const char *name;   // "--name"
    const char *value;  // the name of its value ("FILE"), or nullptr for a flag
    const char *help;
};

struct Args {
    std::vector<std::string> operands;
    std::map<std::string, std::string> options;  // the command options given: name -> value ("" for a flag)
};

struct Command {
    const char *name;
    const char *operands;  // as the synopsis shows them
    const char *summary;   // one line of the tool's help
    const char *help;      // the command's help, after its usage line
    std::vector<Option> options;
    size_t min_operands;
    size_t max_operands;
    int (*run)(const Command &, const Args &);
};

constexpr size_t kAnyNumber = SIZE_MAX;

constexpr const char *kExitStatus =
    "Exit status: 0 done; 1 a file is not a sound update image or cannot be used, or the\n"
    "build failed; 2 the command line is wrong.\n";

int usage_error(const Command *c, const std::string &what) {
    std::fflush(stdout);
    if (c) {
        std::fprintf(stderr, "%s: %s: %s\n", kTool, c->name, what.c_str());
        std::fprintf(stderr, "Try '%s %s --help' for more information.\n", kTool, c->name);
    } else {
        std::fprintf(stderr, "%s: %s\n", kTool, what.c_str());
        std::fprintf(stderr, "Try '%s --help' for more information.\n", kTool);
    }
    return kUsage;
}

// What is wrong with a file, on standard error.
void tell(const std::string &file, const std::string &what) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s: %s: %s\n", kTool, file.c_str(), what.c_str());
}

int version() {
    std::printf("%s (upfw) %s\n", kTool, UPFW_VERSION);
    return kOk;
}

int command_help(const Command &c) {
    std::printf("Usage: %s %s [OPTION]... [--] %s\n%s\nOptions:\n", kTool, c.name, c.operands, c.help);
    for (const Option &o : c.options) {
        const std::string left = std::string(o.name) + (o.value ? std::string(" ") + o.value : "");
        std::printf("  %-14s %s\n", left.c_str(), o.help);
    }
    std::printf("  -h, --help     print this help and exit\n"
                "      --version  print the version and exit\n"
                "  --             end the options: every later argument is a file name or an\n"
                "                 entry, even one that starts with '-'\n\n%s",
                kExitStatus);
    return kOk;
}

// Splits a command's arguments into options and operands: options may stand anywhere before
// "--", every argument after it is an operand, and so is a lone "-". Returns -1 when the
// command is to run, otherwise the exit status to end with (help or version printed, or a
// usage error told).
int parse(const Command &c, int argc, char **argv, Args *args) {
    bool options_end = false;
    for (int i = 0; i < argc; ++i) {
        const std::string a = argv[i];
        if (options_end || a.size() < 2 || a[0] != '-') {
            args->operands.push_back(a);
            continue;
        }
        if (a == "--") {
            options_end = true;
            continue;
        }
        if (a == "--help" || a == "-h") return command_help(c);
        if (a == "--version") return version();
        const size_t eq = a.find('=');
        const std::string name = a.substr(0, eq);
        const Option *opt = nullptr;
        for (const Option &o : c.options)
            if (name == o.name) opt = &o;
        if (!opt) return usage_error(&c, "unknown option '" + a + "'");
        if (!opt->value) {
            if (eq != std::string::npos) return usage_error(&c, "option '" + name + "' takes no value");
            args->options[name] = "";
        } else if (eq != std::string::npos) {
            args->options[name] = a.substr(eq + 1);
        } else if (i + 1 < argc) {
            args->options[name] = argv[++i];
        } else {
            return usage_error(&c, "option '" + name + "' needs " + opt->value);
        }
    }
    if (args->operands.size() < c.min_operands)
        return usage_error(&c, "missing " + std::string(c.operands).substr(0, std::string(c.operands).find(' ')));
    if (args->operands.size() > c.max_operands)
        return usage_error(&c, "unexpected argument '" + args->operands[c.max_operands] + "'");
    return -1;
}

struct FileId {
    bool known = false;
    dev_t dev = 0;
    ino_t ino = 0;
};

FileId id_of(const struct stat &st) { return {true, st.st_dev, st.st_ino}; }

bool same(const FileId &a, const FileId &b) { return a.known && b.known && a.dev == b.dev && a.ino == b.ino; }

// NAME=FILE[@VERSION] into entries[]; "" when it was taken, otherwise what is wrong with it.
std::string take_entry(const std::string &arg, upfw::image::BuildEntry (&entries)[UPFW_ENTRY_COUNT],
                       std::string (&given)[UPFW_ENTRY_COUNT]) {
    const size_t eq = arg.find('=');
    int index = -1;
    for (int i = 0; eq != std::string::npos && i < UPFW_ENTRY_COUNT; ++i)
        if (arg.compare(0, eq, img_name[i]) == 0 && std::strlen(img_name[i]) == eq) index = i;
    if (index < 0) return arg + ": expected NAME=FILE[@VERSION], NAME one of bld ker fs cmd param jpg bld2 tool";
    if (!given[index].empty()) return arg + ": entry " + img_name[index] + " given twice (first " + given[index] + ")";
    std::string file = arg.substr(eq + 1);
    const size_t at = file.rfind('@');
    if (at != std::string::npos) {
        if (!upfw::util::parse_version(file.substr(at + 1), &entries[index].version))
            return arg + ": bad version '" + file.substr(at + 1) + "' (a.b.c.d or a 0x word)";
        file.erase(at);
    }
    given[index] = arg;
    entries[index].file = entries[index].shown = file;
    return "";
}

// Refuses, before anything is written, inputs that cannot be read or are no regular files, an
// output that is a directory or no regular file, and an output that is one of the inputs
// (through any link). true when the build may go on.
bool check_files(const std::string &out, const upfw::image::BuildEntry (&entries)[UPFW_ENTRY_COUNT]) {
    struct stat st;
    // The name that will be replaced, and the file it reaches when it is a link.
    const FileId out_name = ::lstat(out.c_str(), &st) == 0 ? id_of(st) : FileId();
    FileId out_file;
    if (::stat(out.c_str(), &st) == 0) {
        out_file = id_of(st);
        if (!S_ISREG(st.st_mode)) {
            tell(out, S_ISDIR(st.st_mode) ? "is a directory; nothing written" : "is not a regular file; nothing written");
            return false;
        }
    }
    for (int i = 0; i < UPFW_ENTRY_COUNT; ++i) {
        const std::string &in = entries[i].file;
        if (in.empty()) continue;
        upfw::platform::UniqueFd fd(::open(in.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
        if (!fd.valid() || ::fstat(fd.get(), &st) != 0) {
            tell(in, std::string("cannot open: ") + std::strerror(errno));
            return false;
        }
        if (!S_ISREG(st.st_mode)) {
            tell(in, S_ISDIR(st.st_mode) ? "is a directory" : "is not a regular file");
            return false;
        }
        const FileId in_file = id_of(st);
        const FileId in_name = ::lstat(in.c_str(), &st) == 0 ? id_of(st) : FileId();
        for (const FileId &o : {out_name, out_file})
            for (const FileId &n : {in_name, in_file})
                if (same(o, n)) {
                    tell(out, std::string("the output is the same file as the ") + img_name[i] + " input " + in +
                                  "; nothing written");
                    return false;
                }
    }
    return true;
}

int create(const Command &c, const Args &args) {
    const std::string &out = args.operands[0];
    if (out.empty()) return usage_error(&c, "the output file name is empty");
    upfw::image::BuildEntry entries[UPFW_ENTRY_COUNT];
    for (int i = 0; i < UPFW_ENTRY_COUNT; ++i) {
        entries[i].version = ver_hex[i];
        entries[i].flag = load_flag[i];
        entries[i].addr = load_addr[i];
    }
    std::string given[UPFW_ENTRY_COUNT];
    for (size_t a = 1; a < args.operands.size(); ++a) {
        const std::string wrong = take_entry(args.operands[a], entries, given);
        if (!wrong.empty()) return usage_error(&c, wrong);
    }
    if (!check_files(out, entries)) return kFailed;
    upfw::image::BuildOptions options;
    options.replace = true;
    options.note = tell;
    if (upfw::image::build_image(entries, out, out, options) != 0) return kFailed;
    std::printf("%s: image written\n", out.c_str());
    return kOk;
}

// The listing as the library prints it; a file it cannot read is told before the listing's own
// failure text, a file it lists that is not a sound image after the listing.
int list(const Command &, const Args &args) {
    const std::string &img = args.operands[0];
    const upfw::image::Diagnosis look = upfw::image::diagnose_image(img, false);
    if (!look.header_read) tell(img, look.problem);
    if (UPFW_list_intfo(img.c_str()) != 0) return kFailed;
    if (look.problem.empty()) return kOk;
    if (look.header_read) tell(img, look.problem);
    return kFailed;
}

// The verification as the library prints it, after the tool's own reason for a failure.
int verify(const Command &, const Args &args) {
    const std::string &img = args.operands[0];
    const upfw::image::Diagnosis look = upfw::image::diagnose_image(img, true);
    if (!look.problem.empty()) tell(img, look.problem);
    const int result = UPFW_verify(img.c_str(), nullptr);
    if (!look.problem.empty()) return kFailed;
    if (result != 0) {  // only when the file changed between the two reads
        tell(img, "changed while it was verified");
        return kFailed;
    }
    std::printf("%s: every component matches its CRC-32\n", img.c_str());
    return kOk;
}

const Command kCommands[] = {
    {"create", "OUT [NAME=FILE[@VERSION]]...", "build the update image OUT from component files",
     "Build the update image OUT. Each NAME=FILE[@VERSION] fills one entry with the component\n"
     "file FILE; NAME is bld, ker, fs, cmd, param, jpg, bld2 or tool, each given at most once;\n"
     "VERSION (a.b.c.d or a 0x word) replaces the entry's built-in version, and NAME=@VERSION\n"
     "sets only the version. Entries not given, or given without FILE, keep their built-in\n"
     "version and carry no data. Components are filled up to a multiple of 2048 bytes with 0xFF\n"
     "inside the image; the input files are not changed. The image is written to a new file\n"
     "beside OUT and renamed over OUT when it is complete, so a failed build leaves OUT as it\n"
     "was; an OUT that is one of the input files is refused.\n",
     {},
     1,
     kAnyNumber,
     create},
    {"list", "IMG", "list the header of IMG",
     "List the header of the update image IMG: every named entry with its offset, size, load\n"
     "address, flag, date, CRC-32 and version. A file that is not an update image, or whose\n"
     "components run past its end, is said to be so and fails.\n",
     {},
     1,
     1,
     list},
    {"verify", "IMG", "check the CRC-32 of every component of IMG",
     "Check the update image IMG: print each component that carries data and compare the\n"
     "CRC-32 of its data with its header's. A file that is not an update image, is truncated\n"
     "or holds a damaged component fails.\n",
     {},
     1,
     1,
     verify},
};

int tool_help() {
    std::printf("Usage: %s COMMAND [OPTION]... [--] [ARGUMENT]...\n"
                "       %s\n"
                "Make, list and verify update images on the build host.\n\nCommands:\n",
                kTool, kTool);
    for (const Command &c : kCommands) {
        const std::string left = std::string(c.name) + " " + c.operands;
        std::printf("  %-38s %s\n", left.c_str(), c.summary);
    }
    std::printf("\nWith no arguments: the fixed build, update_IMG from the component files at the\n"
                "build tree's fixed paths (under UPFW_ROOT when it is set), filled up in place.\n\n"
                "Options:\n"
                "  -h, --help     print this help and exit ('%s COMMAND --help': that command's)\n"
                "      --version  print the version and exit\n\n"
                "A file name that starts with '-' follows '--' or is written as ./NAME.\n%s",
                kTool, kExitStatus);
    return kOk;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc == 1) return UPFW_creat_img() == 0 ? kOk : kFailed;
    const std::string first = argv[1];
    if (first == "--help" || first == "-h") return tool_help();
    if (first == "--version") return version();
    if (first.size() > 1 && first[0] == '-') return usage_error(nullptr, "unknown option '" + first + "'");
    for (const Command &c : kCommands) {
        if (first != c.name) continue;
        Args args;
        const int end = parse(c, argc - 2, argv + 2, &args);
        return end >= 0 ? end : c.run(c, args);
    }
    return usage_error(nullptr, "unknown command '" + first + "'");
}
