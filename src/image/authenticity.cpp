// Authenticated images: trusted keys on the device, the check of a signature block against
// them, and signing on the build host.
#include "image/authenticity.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "image/image.h"
#include "platform/fd.h"
#include "platform/root.h"

namespace upfw::image {

namespace {

bool ends_with(const std::string &s, const char *tail) {
    const size_t n = std::strlen(tail);
    return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

// The SHA-256 of a component, read as the verification reads it (its CRC-32 comes along unused).
bool sha256_of_range(int fd, uint32_t offset, uint32_t size, unsigned char (&out)[sig::kDigestSize]) {
    crypto::Sha256 sha;
    uint32_t crc = 0;
    return crc_of_range(fd, offset, size, &crc, &sha) && sha.final(out);
}

bool sha256_of(const void *bytes, size_t n, unsigned char (&out)[sig::kDigestSize]) {
    crypto::Sha256 sha;
    sha.update(bytes, n);
    return sha.final(out);
}

}  // namespace

namespace {

// Whether a directory on the way to the trusted keys is a link whose target does not exist.
bool dangling_link_on_the_way() {
    std::string path = platform::rooted(kTrustedKeys);
    const std::string root = platform::root();
    while (path.size() > root.size() + 1) {
        struct stat st;
        if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode) && ::stat(path.c_str(), &st) != 0) return true;
        path.erase(path.rfind('/'));
    }
    return false;
}

}  // namespace

Trust load_trust() {
    Trust t;
    const std::string dir = platform::rooted(kTrustedKeys);
    struct CloseDir {
        void operator()(DIR *p) const { ::closedir(p); }
    };
    std::unique_ptr<DIR, CloseDir> d(::opendir(dir.c_str()));
    if (!d) {
        // No key installed, unless a link on the way leads nowhere (a key store on a file
        // system that did not mount): that trusts nothing.
        if (errno == ENOENT && !dangling_link_on_the_way()) return t;
        t.state = Trust::kNothing;
        t.why = std::string("cannot read the trusted keys in ") + kTrustedKeys + ": " + std::strerror(errno);
        return t;
    }
    std::vector<std::string> names;
    errno = 0;
    while (const dirent *e = ::readdir(d.get())) {
        const std::string name = e->d_name;
        if (name[0] != '.' && ends_with(name, ".pem")) {
            names.push_back(name);
        } else if (name[0] != '.') {
            std::fflush(stdout);
            std::fprintf(stderr, "Warning: %s/%s is not a *.pem file; not read\n", kTrustedKeys, name.c_str());
        }
        errno = 0;
    }
    if (errno != 0) {
        t.state = Trust::kNothing;
        t.why = std::string("cannot read the trusted keys in ") + kTrustedKeys + ": " + std::strerror(errno);
        return t;
    }
    if (names.empty()) return t;
    std::sort(names.begin(), names.end());
    t.state = Trust::kNothing;
    if (!crypto::available()) {
        t.why = std::string(crypto::kUnavailable) + ", and " + kTrustedKeys + " holds trusted keys";
        return t;
    }
    for (const std::string &name : names) {
        std::string why;
        const std::string shown = std::string(kTrustedKeys) + "/" + name;
        crypto::Key k = crypto::Key::load(dir + "/" + name, crypto::Key::kPublic, &why, &shown);
        if (!k.valid()) {
            std::fflush(stdout);
            std::fprintf(stderr, "Warning: %s: %s; not trusted\n", shown.c_str(), why.c_str());
            continue;
        }
        t.keys.push_back(k);
    }
    if (t.keys.empty()) {
        t.why = std::string("none of the keys in ") + kTrustedKeys + " is usable";
        return t;
    }
    t.state = Trust::kSigned;
    return t;
}

bool check_signature(int fd, uint64_t file_size, const upfw_header &h, const std::vector<crypto::Key> &keys,
                     SignedDigests *digests, std::string *why, const crypto::Key **signer) {
    const sig::Location at = sig::locate(fd, file_size, h);
    if (at.found == sig::Found::not_signed) {
        *why = "the image carries no signature";
        return false;
    }
    if (at.found == sig::Found::damaged) {
        *why = "the image's signature block is damaged: " + at.why;
        return false;
    }
    const sig::Block &b = at.block;
    const crypto::Key *key = nullptr;
    for (const crypto::Key &k : keys)
        if (std::memcmp(k.fingerprint(), b.fingerprint, sig::kDigestSize) == 0) key = &k;
    if (!key) {
        *why = "the image is signed by an unknown key, fingerprint sha256:" + sig::hex(b.fingerprint, sig::kDigestSize);
        return false;
    }
    const std::vector<unsigned char> statement = sig::statement(b);
    if (!key->verify(statement.data(), statement.size(), b.signature)) {
        *why = "the image's signature is bad: it does not verify with the key " + key->file();
        return false;
    }
    unsigned char header[sig::kDigestSize];
    if (!sha256_of(&h, sizeof h, header)) {
        *why = "the image header cannot be hashed";
        return false;
    }
    if (std::memcmp(header, b.header_sha256, sizeof header) != 0) {
        *why = "the image header's digest differs from the signed one";
        return false;
    }
    *digests = SignedDigests();
    for (const sig::ComponentDigest &c : b.components) {
        digests->has[c.index] = true;
        std::memcpy(digests->sha256[c.index], c.sha256, sig::kDigestSize);
    }
    digests->checked = true;
    if (signer) *signer = key;
    return true;
}

bool authenticate(int fd, const upfw_header &h, SignedDigests *digests) {
    *digests = SignedDigests();
    const Trust trust = load_trust();
    if (trust.state == Trust::kAnyImage) return true;
    std::string why = trust.why;
    struct stat st;
    bool ok = false;
    if (trust.state == Trust::kSigned) {
        if (::fstat(fd, &st) != 0)
            why = std::string("cannot stat the image: ") + std::strerror(errno);
        else
            ok = check_signature(fd, static_cast<uint64_t>(st.st_size), h, trust.keys, digests, &why);
    }
    if (!ok) {
        std::fflush(stdout);
        std::fprintf(stderr, "Error: %s\n", why.c_str());
    }
    return ok;
}

bool components_match(int fd, const upfw_header &h, const SignedDigests &digests, std::string *why) {
    for (uint32_t i : sig::signed_entries(h)) {
        unsigned char digest[sig::kDigestSize];
        if (!sha256_of_range(fd, h.entries[i].offset, h.entries[i].size, digest)) {
            *why = "component " + std::to_string(i) + " (" + entry_name(h.entries[i]) + ") cannot be read";
            return false;
        }
        if (std::memcmp(digest, digests.sha256[i], sizeof digest) != 0) {
            *why = component_differs(static_cast<int>(i), h);
            return false;
        }
    }
    return true;
}

std::string component_differs(int index, const upfw_header &h) {
    char buf[128];
    const std::string name = entry_name(h.entries[index]);
    std::snprintf(buf, sizeof buf, "component %d (%s) differs from the signed image: its digest does not match", index,
                  name.empty() ? "no name" : name.c_str());
    return buf;
}

bool append_signature(int fd, const crypto::Key &key, const SignFunction &sign, std::string *why) {
    upfw_header h;
    struct stat st;
    if (platform::read_full(fd, &h, sizeof h, 0) != static_cast<ssize_t>(sizeof h) || ::fstat(fd, &st) != 0) {
        *why = "cannot read the image header";
        return false;
    }
    // The block goes right after the last component, in place of whatever follows it there: a
    // block signed before (whole or damaged) or bytes that no reader looks at.
    const uint64_t start = sig::image_end(h);
    if (static_cast<uint64_t>(st.st_size) < start) {
        *why = "its components run past its end";
        return false;
    }
    sig::Block b;
    std::memcpy(b.fingerprint, key.fingerprint(), sig::kDigestSize);
    if (!sha256_of(&h, sizeof h, b.header_sha256)) {
        *why = "cannot hash the header";
        return false;
    }
    for (uint32_t i : sig::signed_entries(h)) {
        sig::ComponentDigest c;
        c.index = i;
        if (!sha256_of_range(fd, h.entries[i].offset, h.entries[i].size, c.sha256)) {
            *why = "cannot read component " + std::to_string(i) + " (" + entry_name(h.entries[i]) + ")";
            return false;
        }
        b.components.push_back(c);
    }
    const std::vector<unsigned char> statement = sig::statement(b);
    if (!sign(statement, b.signature, why)) return false;
    if (!key.verify(statement.data(), statement.size(), b.signature)) {
        *why = "the signature made does not verify with the key " + key.file();
        return false;
    }
    const std::vector<unsigned char> block = sig::block_with_footer(b);
    if (platform::write_full(fd, block.data(), block.size(), static_cast<int64_t>(start)) !=
            static_cast<ssize_t>(block.size()) ||
        ::ftruncate(fd, static_cast<off_t>(start + block.size())) != 0) {
        *why = std::string("cannot write the signature block: ") + std::strerror(errno);
        return false;
    }
    return true;
}

namespace {

// The bytes to sign in an unnamed temporary file, read from its start: a signer can learn
// their length from its standard input (openssl pkeyutl -rawin -in /dev/stdin needs it).
platform::UniqueFd statement_file(const std::vector<unsigned char> &statement, std::string *why) {
    const char *dir = std::getenv("TMPDIR");
    std::string name = std::string(dir && *dir ? dir : "/tmp") + "/upfw-sign-XXXXXX";
    platform::UniqueFd fd(::mkostemp(&name[0], O_CLOEXEC));
    if (!fd.valid()) {
        *why = std::string("cannot make a file for the signer: ") + std::strerror(errno);
        return fd;
    }
    ::unlink(name.c_str());
    if (platform::write_full(fd.get(), statement.data(), statement.size(), 0) !=
        static_cast<ssize_t>(statement.size())) {
        *why = std::string("cannot write the bytes to sign: ") + std::strerror(errno);
        return platform::UniqueFd();
    }
    return fd;
}

}  // namespace

SignFunction external_signer(const std::string &command) {
    return [command](const std::vector<unsigned char> &statement, unsigned char (&signature)[sig::kSignatureSize],
                     std::string *why) {
        platform::UniqueFd in = statement_file(statement, why);
        if (!in.valid()) return false;
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0) {
            *why = std::string("cannot start the signer: ") + std::strerror(errno);
            return false;
        }
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::dup2(in.get(), STDIN_FILENO);
            ::dup2(out[1], STDOUT_FILENO);
            ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char *>(nullptr));
            ::_exit(127);
        }
        ::close(out[1]);
        platform::UniqueFd from(out[0]);
        in.close();
        if (pid < 0) {
            *why = std::string("cannot start the signer: ") + std::strerror(errno);
            return false;
        }
        // All it writes is read (up to a limit), so that a signer writing too much is told so
        // rather than ended by a broken pipe.
        constexpr size_t kLimit = 1 << 20;
        unsigned char got[sig::kSignatureSize];
        std::vector<unsigned char> rest(64 * 1024);
        size_t n = 0;
        for (;;) {
            const ssize_t r = n < sizeof got ? platform::read_full(from.get(), got + n, sizeof got - n)
                                             : platform::read_full(from.get(), rest.data(), rest.size());
            if (r <= 0) break;
            n += static_cast<size_t>(r);
            if (n > kLimit) break;
        }
        from.close();
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        const bool failed = !WIFEXITED(status) || WEXITSTATUS(status) != 0;
        if (n > kLimit || (!failed && n != sig::kSignatureSize)) {
            *why = "the signer '" + command + "' wrote " +
                   (n > kLimit ? std::string("more than 1 MiB") : std::to_string(n) + " bytes") +
                   ", not a 64-byte signature";
            return false;
        }
        if (failed) {
            *why = "the signer '" + command + "' failed (" +
                   (WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status))
                                      : std::string("killed by a signal")) +
                   ")";
            return false;
        }
        std::memcpy(signature, got, sig::kSignatureSize);
        return true;
    };
}

}  // namespace upfw::image
