// Plain driver for the fuzz targets when libFuzzer is not linked: runs every file of the
// given corpus directories (or files) through the target once.
#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

static int run_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    const std::string bytes = ss.str();
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
    return 1;
}

int main(int argc, char **argv) {
    int count = 0;
    for (int i = 1; i < argc; ++i) {
        struct stat st;
        if (::stat(argv[i], &st) != 0) {
            std::fprintf(stderr, "%s: not found\n", argv[i]);
            return 1;
        }
        if (!S_ISDIR(st.st_mode)) {
            count += run_file(argv[i]);
            continue;
        }
        DIR *d = ::opendir(argv[i]);
        while (dirent *e = ::readdir(d))
            if (e->d_name[0] != '.') count += run_file(std::string(argv[i]) + "/" + e->d_name);
        ::closedir(d);
    }
    std::fprintf(stderr, "ran %d inputs\n", count);
    return count > 0 ? 0 : 1;
}
