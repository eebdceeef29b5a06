// Fuzz target for the report's name lookup: the input is one archive file.
// Every (crc32, cd_pos) pair a walk yields must lead lookup_entry_name back
// to that entry's name as the report prints it (up to its first NUL). Pairs
// the walk did not yield are never looked up: that ends the process by
// design.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "report.h"
#include "zip/zipdir.h"

namespace {

struct Walked {
  std::uint32_t crc32;
  std::uint32_t cd_pos;
  std::string printed;  // the name up to its first NUL
};

std::vector<Walked> walk(const char* path) {
  std::vector<Walked> out;
  zorv::ZipDir* zd = zorv::openzip(path);
  if (zd == nullptr) return out;
  while (const zorv::ZipEntry* e = zorv::readzip(zd)) {
    out.push_back({e->crc32, zd->cd_pos, std::string(e->name, strnlen(e->name, e->name_len))});
  }
  zorv::closezip(zd);
  return out;
}

// Each lookup reopens and walks the archive, so a directory of thousands of
// entries would cost millions of header reads per input. Beyond this many,
// an even spread is looked up, the first and the last entry always.
constexpr std::size_t MAX_LOOKUPS = 128;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const char* path = zorv::fuzz::input_path(data, size, zorv::fuzz::Layout::Sparse);
  int free_fd = zorv::fuzz::lowest_free_fd();
  std::vector<Walked> entries = walk(path);
  std::size_t n = entries.size();
  std::size_t lookups = n < MAX_LOOKUPS ? n : MAX_LOOKUPS;
  zorv::NameBuf buf{nullptr, 0};  // reused from lookup to lookup, as the report does
  for (std::size_t k = 0; k < lookups; ++k) {
    std::size_t i = lookups == n ? k : k * (n - 1) / (lookups - 1);
    const Walked& w = entries[i];
    zorv::lookup_entry_name(path, w.crc32, w.cd_pos, &buf);
    FUZZ_CHECK(buf.text != nullptr);
    FUZZ_CHECK(std::strlen(buf.text) == w.printed.size());
    FUZZ_CHECK(std::memcmp(buf.text, w.printed.data(), w.printed.size()) == 0);
    FUZZ_CHECK(buf.cap > w.printed.size());
  }
  std::free(buf.text);
  FUZZ_CHECK(zorv::fuzz::lowest_free_fd() == free_fd);
  return 0;
}
