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

#include "image/authenticity.h"
#include "image/builder.h"
#include "image/image.h"
#include "image/signature.h"
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
    // The command options given: name -> values in command-line order ("" for a flag).
    std::map<std::string, std::vector<std::string>> options;
    bool has(const char *name) const { return options.count(name) != 0; }
    const std::string &last(const char *name) const { return options.at(name).back(); }
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
            args->options[name].push_back("");
        } else if (eq != std::string::npos) {
            args->options[name].push_back(a.substr(eq + 1));
        } else if (i + 1 < argc) {
            args->options[name].push_back(argv[++i]);
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

// The key and the way to sign for sign and create: the private key in key_file, or, with a
// signer command, the public key (or a private key, for its public half) in key_file and the
// command that makes the signature. false after telling what is wrong.
bool signing_with(const std::string &key_file, const std::string *signer, upfw::crypto::Key *key,
                  upfw::image::SignFunction *sign) {
    using upfw::crypto::Key;
    std::string why;
    *key = Key::load(key_file, signer ? Key::kEither : Key::kPrivate, &why);
    if (!key->valid()) {
        tell(key_file, why);
        return false;
    }
    if (signer) {
        *sign = upfw::image::external_signer(*signer);
    } else {
        const Key k = *key;
        *sign = [k](const std::vector<unsigned char> &statement, unsigned char (&signature)[64], std::string *w) {
            return k.sign(statement.data(), statement.size(), signature, w);
        };
    }
    return true;
}

std::string fingerprint_text(const unsigned char *fp) {
    return "sha256:" + upfw::image::sig::hex(fp, upfw::image::sig::kDigestSize);
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
    upfw::crypto::Key key;
    upfw::image::SignFunction sign;
    if (args.has("--key")) {
        if (!signing_with(args.last("--key"), nullptr, &key, &sign)) return kFailed;
        options.finish = [&](int fd) {
            std::string why;
            if (upfw::image::append_signature(fd, key, sign, &why)) return true;
            tell(out, why + "; nothing written");
            return false;
        };
    }
    if (upfw::image::build_image(entries, out, out, options) != 0) return kFailed;
    if (key.valid())
        std::printf("%s: image written, signed with key %s\n", out.c_str(), fingerprint_text(key.fingerprint()).c_str());
    else
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
    if (!look.problem.empty()) {
        if (look.header_read) tell(img, look.problem);
        return kFailed;
    }
    // The signature block, after the fixed listing.
    upfw_header h;
    upfw::platform::UniqueFd fd = upfw::image::open_image(img.c_str(), &h);
    struct stat st;
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0) return kFailed;
    const upfw::image::sig::Location at = upfw::image::sig::locate(fd.get(), static_cast<uint64_t>(st.st_size), h);
    if (at.found == upfw::image::sig::Found::damaged) {
        tell(img, "signature block: " + at.why);
        return kFailed;
    }
    if (at.found == upfw::image::sig::Found::found) {
        std::printf("signature: \nformat  = %u\nalgo    = Ed25519, SHA-256 of the header and %zu components\nkey     = %s\n",
                    at.block.format, at.block.components.size(), fingerprint_text(at.block.fingerprint).c_str());
    }
    return kOk;
}

// The signature of the image checked against the public keys given: true, saying which key
// signed, when the block verifies with one of them and every component is the signed one.
bool check_signed(const std::string &img, const std::vector<std::string> &key_files) {
    using upfw::crypto::Key;
    std::vector<Key> keys;
    for (const std::string &file : key_files) {
        std::string why;
        Key k = Key::load(file, Key::kEither, &why);
        if (!k.valid()) {
            tell(file, why);
            return false;
        }
        keys.push_back(k);
    }
    upfw_header h;
    upfw::platform::UniqueFd fd = upfw::image::open_image(img.c_str(), &h);
    struct stat st;
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0) return false;
    upfw::image::SignedDigests digests;
    std::string why;
    const Key *signer = nullptr;
    if (!upfw::image::check_signature(fd.get(), static_cast<uint64_t>(st.st_size), h, keys, &digests, &why, &signer)) {
        tell(img, why);
        return false;
    }
    if (!upfw::image::components_match(fd.get(), h, digests, &why)) {
        tell(img, why);
        return false;
    }
    std::printf("%s: signed by key %s (%s)\n", img.c_str(), fingerprint_text(signer->fingerprint()).c_str(),
                signer->file().c_str());
    return true;
}

// The verification as the library prints it, after the tool's own reason for a failure.
int verify(const Command &, const Args &args) {
    const std::string &img = args.operands[0];
    const upfw::image::Diagnosis look = upfw::image::diagnose_image(img, true);
    if (!look.problem.empty()) tell(img, look.problem);
    const int result = upfw::image::verify_image(img.c_str(), nullptr, nullptr, false);
    if (!look.problem.empty()) return kFailed;
    if (result != 0) {  // only when the file changed between the two reads
        tell(img, "changed while it was verified");
        return kFailed;
    }
    std::printf("%s: every component matches its CRC-32\n", img.c_str());
    if (args.has("--key")) return check_signed(img, args.options.at("--key")) ? kOk : kFailed;
    return kOk;
}

// Adds a signature block to the image, or replaces the one it has, through a copy renamed
// into place: a failure leaves the image as it was.
int sign(const Command &, const Args &args) {
    const std::string &img = args.operands[0];
    const std::string &key_file = args.operands[1];
    const std::string *signer = args.has("--signer") ? &args.last("--signer") : nullptr;
    upfw::crypto::Key key;
    upfw::image::SignFunction make;
    if (!signing_with(key_file, signer, &key, &make)) return kFailed;
    // Only a sound image is signed: a signature over a damaged component would vouch for it.
    const upfw::image::Diagnosis look = upfw::image::diagnose_image(img, true);
    if (!look.problem.empty()) {
        tell(img, look.problem + "; not signed");
        return kFailed;
    }
    const bool done = upfw::image::rewrite_file(img, [&](int fd) {
        std::string why;
        if (upfw::image::append_signature(fd, key, make, &why)) return true;
        tell(img, why + "; not signed");
        return false;
    });
    if (!done) return kFailed;
    std::printf("%s: signed with key %s\n", img.c_str(), fingerprint_text(key.fingerprint()).c_str());
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
     "was; an OUT that is one of the input files is refused. With --key the image is signed\n"
     "as it is built (see sign).\n",
     {{"--key", "KEY", "sign the image with the Ed25519 private key in the PEM file KEY"}},
     1,
     kAnyNumber,
     create},
    {"list", "IMG", "list the header of IMG",
     "List the header of the update image IMG: every named entry with its offset, size, load\n"
     "address, flag, date, CRC-32 and version, then its signature block, if it has one: the\n"
     "block's format, the algorithm and the signing key's fingerprint. A file that is not an\n"
     "update image, whose components run past its end or whose signature block is damaged,\n"
     "is said to be so and fails.\n",
     {},
     1,
     1,
     list},
    {"verify", "IMG", "check the CRC-32s of IMG, and its signature with --key",
     "Check the update image IMG: print each component that carries data and compare the\n"
     "CRC-32 of its data with its header's. A file that is not an update image, is truncated\n"
     "or holds a damaged component fails. With --key, the image must also carry a signature\n"
     "block made by one of the public keys given, whose digests match the header and every\n"
     "component; the key that signed is named.\n",
     {{"--key", "PUB", "an Ed25519 public key (PEM) to accept; may be given more than once"}},
     1,
     1,
     verify},
    {"sign", "IMG KEY", "add a signature block to IMG, or replace its block",
     "Sign the update image IMG with the Ed25519 private key in the PEM file KEY (as\n"
     "'openssl genpkey -algorithm ed25519' writes it): a block with the SHA-256 of the header\n"
     "and of every component and an Ed25519 signature over them is written right after the last\n"
     "component, in place of whatever followed it (an old block, whole or damaged). Readers that do not know the block see\n"
     "the same image. Only an image whose CRC-32s hold is signed. IMG is replaced through a\n"
     "new file beside it, so a failure leaves it as it was.\n"
     "With --signer CMD, KEY is the public key and CMD makes the signature: it runs through\n"
     "/bin/sh, reads the bytes to sign on its standard input and writes the 64-byte raw\n"
     "signature on its standard output, for a private key kept in a hardware module, e.g.\n"
     "  --signer 'openssl pkeyutl -sign -inkey priv.pem -rawin -in /dev/stdin'\n"
     "The signature is checked with KEY before it is written.\n",
     {{"--signer", "CMD", "have the command CMD make the signature (KEY is then public)"}},
     2,
     2,
     sign},
};

int tool_help() {
    std::printf("Usage: %s COMMAND [OPTION]... [--] [ARGUMENT]...\n"
                "       %s\n"
                "Make, list, sign and verify update images on the build host.\n\nCommands:\n",
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
