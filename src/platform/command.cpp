#include "platform/command.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <csignal>
#include <cstdlib>

#include "platform/mtd.h"
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

namespace {
int spawn(const std::string &path, const std::vector<std::string> &argv, const posix_spawn_file_actions_t *fa,
          pid_t *pid) {
    std::vector<char *> args;
    for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    std::fflush(nullptr);
    settle_emulated_flash();  // the command sees the flash as this process left it
    return posix_spawn(pid, path.c_str(), fa, nullptr, args.data(), environ);
}

int wait_for(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return status;
}
}  // namespace

std::string read_first_line(const std::vector<std::string> &argv, size_t max) {
    if (argv.empty()) return "";
    std::string path = find_command(argv[0]);
    if (path.empty()) return "";
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return "";
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
    pid_t pid;
    int r = spawn(path, argv, &fa, &pid);
    posix_spawn_file_actions_destroy(&fa);
    ::close(fds[1]);
    std::string line;
    if (r == 0) {
        char c;
        while (line.size() < max) {
            ssize_t n = ::read(fds[0], &c, 1);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0 || c == '\n') break;
            line += c;
        }
    }
    ::close(fds[0]);  // the program sees a closed pipe if it prints more
    if (r == 0) wait_for(pid);
    return line;
}

int run_command(const std::vector<std::string> &argv) {
    if (argv.empty()) return -1;
    std::string path = find_command(argv[0]);
    if (path.empty()) {
        std::fprintf(stderr, "sh: 1: %s: not found\n", argv[0].c_str());
        return 127 << 8;
    }
    pid_t pid;
    if (spawn(path, argv, nullptr, &pid) != 0) return -1;
    int status = wait_for(pid);
    // The simulated device lost its power while the command ran: this process stops too.
    struct stat st;
    if (!root().empty() && ::stat((root() + "/sim/poweroff").c_str(), &st) == 0) ::raise(SIGKILL);
    return status;
}

}  // namespace upfw::platform
