// A whole look at a file as an update image, for the image tool: the reader, the listing and the
// verification pass over whatever they do not use, this tells what is wrong.
#pragma once

#include <string>

namespace upfw::image {

struct Diagnosis {
    bool header_read = false;  // the file holds a 2048-byte header that could be read
    std::string problem;       // "" for a sound image; otherwise what is wrong, in a few words
};

// Reads the image at path, printing nothing. The first problem found is told, in the order the
// reader and the verification would meet it: the file cannot be opened or read, it is shorter
// than a header, a named entry holds no component name or another entry's, no entry is named,
// a component runs past the end of the file and, with crcs, a component's data do not match its
// CRC-32 (entries in index order).
Diagnosis diagnose_image(const std::string &path, bool crcs);

}  // namespace upfw::image
