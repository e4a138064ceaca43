// What the two flash writers share, and their forms for the update, which hands them the
// CRC-32 of the header it verified.
#pragma once

#include <cstdint>
#include <string>

#include "upfw/update.h"

namespace upfw::update {

// The writers. expected_crc: the CRC-32 that the written bytes must have; nullptr to take it
// from the image's own header (the entry at the request's offset and size). 0 or -1.
int nand_write(const char *image_path, const update_part *req, const uint32_t *expected_crc);
int spi_write(const char *image_path, const update_part *req, const uint32_t *expected_crc);

// The request's device node as it is opened (under the root) and as messages show it.
std::string device_of(const update_part &req);

// The CRC-32 the component must have: expected when given, else the one of the entry of the
// image header (read from the open image) with the request's offset and size. An empty
// component needs no entry: the CRC of no data is 0. False, after a message, when no entry
// describes the component.
bool component_crc(int image, const update_part &req, const uint32_t *expected, uint32_t *crc);

// False, after a message, when the written bytes' CRC-32 is not the one expected.
bool crc_matches(const update_part &req, uint32_t written, uint32_t expected);

// Marks the request's partition record incomplete before its partition is erased (one save,
// unless it is marked already). A request naming no partition has no record to mark.
// fail_text is the writer's message for a failed store. 0 or -1.
int mark_before_erase(const update_part &req, const char *fail_text);

// Stores the written partition's record (size, version, date of the request) once the
// partition is written and verified, always under the partition's own name. fail_text is
// the writer's message for a failed store. 0 or -1.
int store_record(const update_part &req, const char *fail_text);

}  // namespace upfw::update
