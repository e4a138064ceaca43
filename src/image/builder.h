// The image builder inside the library, shared by UPFW_creat_img and the image tool.
#pragma once

#include <cstdint>
#include <string>

#include "upfw/image.h"

namespace upfw::image {

struct BuildEntry {
    std::string file;   // input path as opened; "" = the entry gets a name and version, no data
    std::string shown;  // the same path as messages show it
    uint32_t version = 0;
    uint32_t flag = 0;
    uint32_t addr = 0;
};

// Writes an image of the eight entries (names from img_name) to out. With pad_in_place each
// input file is first filled up to a multiple of 2048 bytes with 0xFF, as the fixed build does;
// otherwise the inputs are left alone and the filling goes into the image only. An empty input
// file is refused before any output is made. 0, or -1 after its messages.
int build_image(const BuildEntry (&entries)[UPFW_ENTRY_COUNT], const std::string &out, const std::string &shown_out,
                bool pad_in_place);

}  // namespace upfw::image
