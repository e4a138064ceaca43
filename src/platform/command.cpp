#include "platform/command.h"

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "platform/root.h"

extern char **environ;

namespace upfw::platform {

namespace {
bool executable(const std::string &path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}
}  // namespace

std::string find_command(const std::string &name) {
    if (name.empty()) return "";
    if (name.find('/') != std::string::npos) {
        std::string p = rooted(name.c_str());
        return executable(p) ? p : "";
    }
    std::vector<std::string> dirs;
    std::string r = root();
    if (!r.empty()) {
        for (const char *d : {"/sbin", "/usr/sbin", "/bin", "/usr/bin"}) dirs.push_back(rooted(d));
    } else {
        const char *path = std::getenv("PATH");
        std::string p = path ? path : "/usr/sbin:/usr/bin:/sbin:/bin";
        size_t start = 0;
        while (start <= p.size()) {
            size_t colon = p.find(':', start);
            if (colon == std::string::npos) colon = p.size();
            dirs.push_back(colon > start ? p.substr(start, colon - start) : ".");
            start = colon + 1;
        }
    }
    for (const auto &d : dirs) {
        std::string candidate = d + "/" + name;
        if (executable(candidate)) return candidate;
    }
    return "";
}

int run_command(const std::vector<std::string> &argv) {
    if (argv.empty()) return -1;
    std::string path = find_command(argv[0]);
    if (path.empty()) {
        std::fprintf(stderr, "sh: 1: %s: not found\n", argv[0].c_str());
        return 127 << 8;
    }
    std::vector<char *> args;
    for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    std::fflush(nullptr);
    pid_t pid;
    if (posix_spawn(&pid, path.c_str(), nullptr, nullptr, args.data(), environ) != 0) return -1;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return status;
}

}  // namespace upfw::platform
