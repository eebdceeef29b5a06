#include "support/zip_writer.h"

#include <array>
#include <limits>
#include <stdexcept>

namespace zorv::test {

Bytes to_bytes(const std::string& text) {
  return Bytes(text.begin(), text.end());
}

void put_u16(Bytes& out, std::uint16_t v) {
  out.push_back(static_cast<unsigned char>(v));
  out.push_back(static_cast<unsigned char>(v >> 8));
}

void put_u32(Bytes& out, std::uint32_t v) {
  put_u16(out, static_cast<std::uint16_t>(v));
  put_u16(out, static_cast<std::uint16_t>(v >> 16));
}

void put_u64(Bytes& out, std::uint64_t v) {
  put_u32(out, static_cast<std::uint32_t>(v));
  put_u32(out, static_cast<std::uint32_t>(v >> 32));
}

namespace {
void append(Bytes& out, const Bytes& more) {
  out.insert(out.end(), more.begin(), more.end());
}

// What a classic end record field holds unless set, v being its true value.
// Without ZIP64 records: the low bits, as a writer unaware of ZIP64 keeps
// them. With them: all ones, which sends a reader to the ZIP64 record; or,
// for writers that keep true values, v where it fits below all ones (all
// ones itself would read as that mark).
template <typename T>
T classic(std::uint64_t v, const std::optional<Zip64Records>& zip64) {
  constexpr T mark = std::numeric_limits<T>::max();
  if (!zip64) return static_cast<T>(v);
  return zip64->saturate || v >= mark ? mark : static_cast<T>(v);
}
}  // namespace

Bytes extra_block(std::uint16_t id, const Bytes& data, std::optional<std::uint16_t> data_size) {
  Bytes out;
  put_u16(out, id);
  put_u16(out, data_size.value_or(static_cast<std::uint16_t>(data.size())));
  append(out, data);
  return out;
}

Bytes zip64_extra(std::optional<std::uint64_t> usize, std::optional<std::uint64_t> csize,
                  std::optional<std::uint64_t> offset, std::optional<std::uint32_t> disk) {
  Bytes data;
  for (const auto& v : {usize, csize, offset})
    if (v) put_u64(data, *v);
  if (disk) put_u32(data, *disk);
  return extra_block(ZIP64_EXTRA_ID, data);
}

Bytes CentralHeader::encode() const {
  Bytes out;
  put_u32(out, signature);
  out.push_back(made_by_version);
  out.push_back(made_by_system);
  out.push_back(needed_version);
  out.push_back(needed_system);
  put_u16(out, flags);
  put_u16(out, method);
  put_u16(out, mod_time);
  put_u16(out, mod_date);
  put_u32(out, crc32);
  put_u32(out, compressed_size);
  put_u32(out, uncompressed_size);
  put_u16(out, name_len.value_or(static_cast<std::uint16_t>(name.size())));
  put_u16(out, extra_len.value_or(static_cast<std::uint16_t>(extra.size())));
  put_u16(out, comment_len.value_or(static_cast<std::uint16_t>(comment.size())));
  put_u16(out, disk_start);
  put_u16(out, internal_attr);
  put_u32(out, external_attr);
  put_u32(out, local_header_offset);
  append(out, to_bytes(name));
  append(out, extra);
  append(out, comment);
  return out;
}

Bytes LocalHeader::encode() const {
  Bytes out;
  put_u32(out, signature);
  out.push_back(needed_version);
  out.push_back(needed_system);
  put_u16(out, flags);
  put_u16(out, method);
  put_u16(out, mod_time);
  put_u16(out, mod_date);
  put_u32(out, crc32);
  put_u32(out, compressed_size);
  put_u32(out, uncompressed_size);
  put_u16(out, name_len.value_or(static_cast<std::uint16_t>(name.size())));
  put_u16(out, extra_len.value_or(static_cast<std::uint16_t>(extra.size())));
  append(out, to_bytes(name));
  append(out, extra);
  return out;
}

Bytes Zip64Records::encode(std::uint64_t entries, std::uint64_t cd_size,
                           std::uint64_t cd_offset) const {
  constexpr std::uint64_t FIXED_AFTER_SIZE = 44;  // the record's bytes after its size field
  Bytes out;
  if (write_end) {
    put_u32(out, end.signature);
    put_u64(out, end.record_size.value_or(FIXED_AFTER_SIZE + end.extensible.size()));
    put_u16(out, end.made_by);
    put_u16(out, end.needed);
    put_u32(out, end.disk_number);
    put_u32(out, end.cd_disk);
    put_u64(out, end.disk_entries.value_or(entries));
    put_u64(out, end.total_entries.value_or(entries));
    put_u64(out, end.cd_size.value_or(cd_size));
    put_u64(out, end.cd_offset.value_or(cd_offset));
    append(out, end.extensible);
  }
  put_u32(out, locator.signature);
  put_u32(out, locator.end_disk);
  put_u64(out, locator.end_offset.value_or(cd_offset + cd_size));
  put_u32(out, locator.total_disks);
  return out;
}

CentralHeader& ArchiveBytes::add(const std::string& name, std::uint32_t crc) {
  CentralHeader h;
  h.name = name;
  h.crc32 = crc;
  headers.push_back(h);
  return headers.back();
}

namespace {
// What follows the local header when the test gives no compressed bytes.
// No compressor here: the fuzz seeds build this file without zlib.
Bytes payload_of(const std::string& data, std::uint16_t method) {
  if (method == 0) return to_bytes(data);
  throw std::invalid_argument("add_file: method " + std::to_string(method) +
                              " needs its compressed bytes");
}

// The local header a writer puts in front of the entry `h` describes.
LocalHeader local_header_of(const CentralHeader& h) {
  LocalHeader l;
  l.needed_version = h.needed_version;
  l.needed_system = h.needed_system;
  l.flags = h.flags;
  l.method = h.method;
  l.mod_time = h.mod_time;
  l.mod_date = h.mod_date;
  l.crc32 = h.crc32;
  l.compressed_size = h.compressed_size;
  l.uncompressed_size = h.uncompressed_size;
  l.name = h.name;
  return l;
}
}  // namespace

CentralHeader& ArchiveBytes::add_file(const std::string& name, const std::string& data,
                                      std::uint16_t method, std::optional<Bytes> compressed,
                                      const std::function<void(LocalHeader&)>& edit) {
  Bytes payload = compressed ? std::move(*compressed) : payload_of(data, method);
  CentralHeader& h = add(name, crc32_of(data));
  h.method = method;
  h.compressed_size = static_cast<std::uint32_t>(payload.size());
  h.uncompressed_size = static_cast<std::uint32_t>(data.size());
  h.local_header_offset = static_cast<std::uint32_t>(prefix.size());
  LocalHeader l = local_header_of(h);
  if (edit) edit(l);
  append(prefix, l.encode());
  append(prefix, payload);
  return h;
}

Bytes ArchiveBytes::central() const {
  Bytes out;
  for (const CentralHeader& h : headers)
    append(out, h.encode());
  append(out, slack);
  return out;
}

Bytes ArchiveBytes::head() const {
  Bytes out = front;
  append(out, prefix);
  return out;
}

Bytes ArchiveBytes::tail(std::uint64_t hole) const {
  Bytes out = central();
  std::uint64_t count = headers.size();
  std::uint64_t cd_size = out.size();
  std::uint64_t cd_offset = prefix.size() + hole;
  if (zip64) append(out, zip64->encode(count, cd_size, cd_offset));
  put_u32(out, end.signature);
  put_u16(out, end.disk_number);
  put_u16(out, end.cd_disk);
  put_u16(out, end.disk_entries.value_or(classic<std::uint16_t>(count, zip64)));
  put_u16(out, end.total_entries.value_or(classic<std::uint16_t>(count, zip64)));
  put_u32(out, end.cd_size.value_or(classic<std::uint32_t>(cd_size, zip64)));
  put_u32(out, end.cd_offset.value_or(classic<std::uint32_t>(cd_offset, zip64)));
  put_u16(out, end.comment_len.value_or(static_cast<std::uint16_t>(end.comment.size())));
  append(out, end.comment);
  append(out, trailer);
  return out;
}

Bytes ArchiveBytes::bytes() const {
  Bytes out = head();
  append(out, tail());
  return out;
}

ArchiveBytes archive_of(const std::vector<std::pair<std::string, std::uint32_t>>& entries) {
  ArchiveBytes a;
  for (const auto& [name, crc] : entries)
    a.add(name, crc);
  return a;
}

namespace {
const std::array<std::uint32_t, 256>& crc_table() {
  static const std::array<std::uint32_t, 256> table = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t c = i;
      for (int k = 0; k < 8; ++k)
        c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  return table;
}

// The register after a zero byte is table[low byte] ^ (register >> 8), and
// the table's top bytes are all different: the top byte of the result names
// the entry, which gives back the register. Undoes four zero bytes.
std::uint32_t unwind_four_zeros(std::uint32_t reg) {
  const auto& table = crc_table();
  std::array<std::uint8_t, 256> by_top{};
  for (std::uint32_t i = 0; i < 256; ++i)
    by_top[table[i] >> 24] = static_cast<std::uint8_t>(i);
  for (int k = 0; k < 4; ++k) {
    std::uint8_t i = by_top[reg >> 24];
    reg = (reg ^ table[i]) << 8 | i;
  }
  return reg;
}
}  // namespace

std::uint32_t crc32_of(const std::string& data) {
  const auto& table = crc_table();
  std::uint32_t c = 0xFFFFFFFFu;
  for (unsigned char b : data)
    c = table[(c ^ b) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

// Four bytes w (little-endian) fed from the register r end where four zero
// bytes from r ^ w end. So w is the final register unwound over four zeros,
// XOR the register after `data`.
std::string forge_crc(const std::string& data, std::uint32_t target) {
  std::uint32_t after_data = crc32_of(data) ^ 0xFFFFFFFFu;
  std::uint32_t patch = unwind_four_zeros(target ^ 0xFFFFFFFFu) ^ after_data;
  std::string out = data;
  for (int k = 0; k < 4; ++k)
    out.push_back(static_cast<char>(patch >> (8 * k)));
  return out;
}

}  // namespace zorv::test
