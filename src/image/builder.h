// The image builder inside the library, shared by UPFW_creat_img and the image tool.
#pragma once

#include <cstdint>
#include <functional>
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

// How build_image writes its output and reports.
struct BuildOptions {
    // Fill each input file up in place to a multiple of 2048 bytes with 0xFF, as the fixed build
    // does; otherwise the inputs are left alone and the filling goes into the image only.
    bool pad_in_place = false;
    // Write a new file beside out and rename it over out once it is complete and on disk: a
    // failed build leaves out as it was (a link at out is replaced, never followed). Otherwise
    // out is truncated and written in place, and a failure leaves what was written.
    bool replace = false;
    // Called, when set, just before each failure message that does not name its file itself,
    // with the file concerned (as messages show it) and what is wrong with it; errno is kept.
    std::function<void(const std::string &file, const std::string &what)> note;
    // Called, when set, with the complete image open for reading and writing, before it is
    // made durable (and renamed): signing appends its block here. false fails the build,
    // after the function's own message.
    std::function<bool(int fd)> finish;
};

// Writes an image of the eight entries (names from img_name) to out as the options say; the
// first form sets only pad_in_place. An empty input file is refused before any output is made.
// 0, or -1 after its messages.
int build_image(const BuildEntry (&entries)[UPFW_ENTRY_COUNT], const std::string &out, const std::string &shown_out,
                bool pad_in_place);
int build_image(const BuildEntry (&entries)[UPFW_ENTRY_COUNT], const std::string &out, const std::string &shown_out,
                const BuildOptions &options);

// Changes the file at path (a link is followed to its file) through a copy: the copy is made
// beside the file, change runs on it (open for reading and writing), and the copy, made
// durable, is renamed over the file with the file's permission bits. A failure leaves the file
// as it was. false after a message (change reports its own failures).
bool rewrite_file(const std::string &path, const std::function<bool(int fd)> &change);

}  // namespace upfw::image
