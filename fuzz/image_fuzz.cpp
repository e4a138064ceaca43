// Any bytes as an update image: listing, verification, both extraction modes, the compatibility
// check and the image tool's diagnosis must stay inside their buffers and write only their
// fixed outputs.
#include <fstream>

#include "fuzz_root.h"
#include "image/diagnose.h"
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
    return 0;
}
