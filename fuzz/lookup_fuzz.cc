// Fuzz target for the report's name lookup: the input is one archive file.
// Every (crc32, cd_pos) pair a walk yields must lead lookup_entry_name back
// to that entry's name as the report prints it (up to its first NUL); a
// pair no entry has is not found. An archive that does not open says so
// for any pair.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "report/revisit.h"
#include "support/walk.h"
#include "zip/zipdir.h"

namespace {

// Each lookup reopens and walks the archive, so a directory of thousands of
// entries would cost millions of header reads per input. Beyond this many,
// an even spread is looked up, the first and the last entry always.
constexpr std::size_t MAX_LOOKUPS = 128;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using zorv::NameLookup;
  const char* path = zorv::fuzz::input_path(data, size, zorv::fuzz::Layout::Sparse);
  int free_fd = zorv::fuzz::lowest_free_fd();
  zorv::test::Walk w = zorv::test::walk_archive(path);
  zorv::NameBuf buf{nullptr, 0};  // reused from lookup to lookup, as the report does
  zorv::ZipCache cache{};         // and so is the directory buffer
  std::uint32_t probe_crc = size > 0 ? data[0] : 0;
  auto probe_pos = static_cast<std::uint32_t>(size);
  if (!w.opened) {
    FUZZ_CHECK(zorv::lookup_entry_name(path, probe_crc, probe_pos, &buf, &cache, nullptr) ==
               NameLookup::OpenFailed);
  }
  const auto& entries = w.entries;
  std::size_t n = entries.size();
  std::size_t lookups = n < MAX_LOOKUPS ? n : MAX_LOOKUPS;
  for (std::size_t k = 0; k < lookups; ++k) {
    std::size_t i = lookups == n ? k : k * (n - 1) / (lookups - 1);
    const zorv::test::WalkedEntry& e = entries[i];
    std::string printed(e.name.c_str());  // up to the first NUL
    FUZZ_CHECK(zorv::lookup_entry_name(path, e.crc32, e.cd_pos, &buf, &cache, nullptr) ==
               NameLookup::Found);
    FUZZ_CHECK(buf.text != nullptr);
    FUZZ_CHECK(std::strlen(buf.text) == printed.size());
    FUZZ_CHECK(std::memcmp(buf.text, printed.data(), printed.size()) == 0);
    FUZZ_CHECK(buf.cap > printed.size());
  }
  // Position 0 names no entry (every entry ends past its 46-byte header).
  if (w.opened) {
    FUZZ_CHECK(zorv::lookup_entry_name(path, probe_crc, 0, &buf, &cache, nullptr) ==
               NameLookup::NoMatch);
  }
  std::free(buf.text);
  zorv::zip_cache_release(&cache);
  FUZZ_CHECK(zorv::fuzz::lowest_free_fd() == free_fd);
  return 0;
}
