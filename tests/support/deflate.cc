#include "support/deflate.h"

// next_in as a pointer to const: the input is never written.
#define ZLIB_CONST
#include <zlib.h>

#include <stdexcept>

namespace zorv::test {

Bytes deflate_raw(const std::string& data, int level) {
  z_stream z{};
  // windowBits -15: no zlib header or trailer, as ZIP method 8 stores it.
  if (deflateInit2(&z, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    throw std::runtime_error("deflateInit2 failed");
  // The bound holds the whole stream, so one call with Z_FINISH ends it.
  Bytes out(deflateBound(&z, static_cast<uLong>(data.size())));
  z.next_in = reinterpret_cast<const Bytef*>(data.data());
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  int status = deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  if (status != Z_STREAM_END) throw std::runtime_error("deflate did not finish");
  return out;
}

}  // namespace zorv::test
