// Compressed data for entries written with ArchiveBytes::add_file. Apart
// from zip_writer so that the writer itself needs no compression library.
#pragma once

#include <string>

#include "support/zip_writer.h"

namespace zorv::test {

// `data` compressed by zlib as a raw deflate stream (no zlib header or
// trailer), as ZIP method 8 holds it; `level` 0 (stored blocks) to 9.
// Throws std::runtime_error if zlib fails.
Bytes deflate_raw(const std::string& data, int level);

}  // namespace zorv::test
