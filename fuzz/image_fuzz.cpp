// Any bytes as an update image: listing, verification, both extraction modes, the compatibility
// check, the image tool's diagnosis and the signature block's reader must stay inside their
// buffers and write only their fixed outputs.
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

#include "fuzz_root.h"
#include "image/diagnose.h"
#include "image/signature.h"
#include "platform/root.h"
#include "upfw/env.h"
#include "upfw/image.h"
#include "upfw/policy.h"

// The extraction's outputs are removed before each extraction: replacing an existing file by a
// rename would have the file system write the new one out at once, for every input.
static void remove_outputs() {
    for (const char *out : out_upfw_name)
        if (out) ::unlink(upfw::platform::rooted(out).c_str());
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const std::string path = fuzz_root() + "/dev/shm/updateFM.bin";
    static const FuzzFile image(path);
    image.put(data, size, 0, true);
    static const bool loaded = env_init() == 0;
    (void)loaded;
    UPFW_list_intfo(path.c_str());
    UPFW_verify(path.c_str(), nullptr);
    upfw::image::diagnose_image(path, true);
    remove_outputs();
    UPFW_analysis_img(path.c_str(), 0);
    remove_outputs();
    UPFW_analysis_img(path.c_str(), 1);
    UPFW_version_check(path.c_str());
    // The signature block: found from the end of the file against its header, and the same
    // bytes read as a block on their own.
    upfw_header h;
    std::memset(&h, 0, sizeof h);
    std::memcpy(&h, data, size < sizeof h ? size : sizeof h);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        upfw::image::sig::locate(fd, size, h);
        ::close(fd);
    }
    upfw::image::sig::Block block;
    std::string why;
    upfw::image::sig::parse_block(data, size, h, &block, &why);
    return 0;
}
