#include "zip/zip64.h"

#include "zip/bytes.h"

namespace zorv {

namespace {

constexpr std::uint32_t LOCATOR_SIG = 0x07064b50;  // "PK\6\7"
constexpr std::uint32_t END64_SIG = 0x06064b50;    // "PK\6\6"
constexpr std::uint16_t ZIP64_EXTRA = 0x0001;

// ZIP64 end record offsets.
constexpr std::size_t END64_DISK = 16;
constexpr std::size_t END64_CD_DISK = 20;
constexpr std::size_t END64_DISK_ENTRIES = 24;
constexpr std::size_t END64_TOTAL_ENTRIES = 32;
constexpr std::size_t END64_CD_SIZE = 40;
constexpr std::size_t END64_CD_OFFSET = 48;

constexpr std::size_t LOCATOR_RECORD_OFFSET = 8;

// Takes the next 8-byte value for a saturated field, when there is one.
void take(std::uint64_t* field, const unsigned char*& at, const unsigned char* end) {
  if (*field != SATURATED_32 || end - at < 8) return;
  *field = le_u64(at);
  at += 8;
}

// One field of the merge: the wide value where the classic one is
// saturated; false when an unsaturated classic value disagrees with it.
template <typename T>
bool merge_field(T classic, T saturated, std::uint64_t wide, std::uint64_t* out) {
  if (classic == saturated) {
    *out = wide;
    return true;
  }
  *out = classic;
  return classic == wide;
}

}  // namespace

bool decode_zip64_locator(const unsigned char* p, std::uint64_t* record_offset) {
  if (le_u32(p) != LOCATOR_SIG) return false;
  *record_offset = le_u64(p + LOCATOR_RECORD_OFFSET);
  return true;
}

bool decode_zip64_end(const unsigned char* p, DirEnd* end) {
  if (le_u32(p) != END64_SIG) return false;
  end->disk_number = le_u32(p + END64_DISK);
  end->cd_disk = le_u32(p + END64_CD_DISK);
  end->disk_entries = le_u64(p + END64_DISK_ENTRIES);
  end->total_entries = le_u64(p + END64_TOTAL_ENTRIES);
  end->cd_size = le_u64(p + END64_CD_SIZE);
  end->cd_offset = le_u64(p + END64_CD_OFFSET);
  return true;
}

bool merge_zip64_end(const DirEnd& classic, const DirEnd& wide, DirEnd* out) {
  // The classic fields as they were stored, so saturation is seen at their width.
  const auto c16 = [](std::uint64_t v) { return static_cast<std::uint16_t>(v); };
  const auto c32 = [](std::uint64_t v) { return static_cast<std::uint32_t>(v); };
  std::uint64_t disk, cd_disk, disk_entries, total_entries, cd_size, cd_offset;
  bool agree = merge_field(c16(classic.disk_number), SATURATED_16, wide.disk_number, &disk);
  agree &= merge_field(c16(classic.cd_disk), SATURATED_16, wide.cd_disk, &cd_disk);
  agree &= merge_field(c16(classic.disk_entries), SATURATED_16, wide.disk_entries, &disk_entries);
  agree &= merge_field(c16(classic.total_entries), SATURATED_16, wide.total_entries, &total_entries);
  agree &= merge_field(c32(classic.cd_size), SATURATED_32, wide.cd_size, &cd_size);
  agree &= merge_field(c32(classic.cd_offset), SATURATED_32, wide.cd_offset, &cd_offset);
  if (!agree) return false;
  *out = DirEnd{static_cast<std::uint32_t>(disk), static_cast<std::uint32_t>(cd_disk),
                disk_entries, total_entries, cd_size, cd_offset};
  return true;
}

void apply_zip64_extra(const unsigned char* extra, std::size_t len, Zip64Values* v) {
  const unsigned char* end = extra + len;
  for (const unsigned char* at = extra; end - at >= 4;) {
    std::uint16_t id = le_u16(at);
    std::size_t size = le_u16(at + 2);
    at += 4;
    if (static_cast<std::size_t>(end - at) < size) return;  // malformed: nothing taken
    if (id == ZIP64_EXTRA) {
      const unsigned char* data_end = at + size;
      take(&v->uncompressed_size, at, data_end);
      take(&v->compressed_size, at, data_end);
      take(&v->local_header_offset, at, data_end);
      return;
    }
    at += size;
  }
}

}  // namespace zorv
