// Fuzz target for the report's name lookup: the input is one archive file.
// Every (crc32, cd_pos) pair a walk yields must lead lookup_entry_name back
// to that entry's name as the report prints it (up to its first NUL). Pairs
// the walk did not yield are never looked up: that ends the process by
// design. An archive that does not open gives the open-failure text for
// any pair.
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

// False when the archive does not open.
bool walk(const char* path, std::vector<Walked>* out) {
  zorv::ZipDir* zd = zorv::openzip(path);
  if (zd == nullptr) return false;
  while (const zorv::ZipEntry* e = zorv::readzip(zd)) {
    out->push_back({e->crc32, zd->cd_pos, std::string(e->name, strnlen(e->name, e->name_len))});
  }
  zorv::closezip(zd);
  return true;
}

// Each lookup reopens and walks the archive, so a directory of thousands of
// entries would cost millions of header reads per input. Beyond this many,
// an even spread is looked up, the first and the last entry always.
constexpr std::size_t MAX_LOOKUPS = 128;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const char* path = zorv::fuzz::input_path(data, size, zorv::fuzz::Layout::Sparse);
  int free_fd = zorv::fuzz::lowest_free_fd();
  std::vector<Walked> entries;
  bool opened = walk(path, &entries);
  zorv::NameBuf buf{nullptr, 0};  // reused from lookup to lookup, as the report does
  if (!opened) {
    zorv::lookup_entry_name(path, size > 0 ? data[0] : 0, static_cast<std::uint32_t>(size), &buf);
    FUZZ_CHECK(buf.text != nullptr);
    FUZZ_CHECK(std::string(buf.text) == std::string("openzip failed on: ") + path);
    FUZZ_CHECK(buf.cap > std::strlen(buf.text));
  }
  std::size_t n = entries.size();
  std::size_t lookups = n < MAX_LOOKUPS ? n : MAX_LOOKUPS;
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
