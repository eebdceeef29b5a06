#include "support/zip_writer.h"

#include <array>

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

namespace {
void append(Bytes& out, const Bytes& more) {
  out.insert(out.end(), more.begin(), more.end());
}
}  // namespace

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

CentralHeader& ArchiveBytes::add(const std::string& name, std::uint32_t crc) {
  CentralHeader h;
  h.name = name;
  h.crc32 = crc;
  headers.push_back(h);
  return headers.back();
}

Bytes ArchiveBytes::central() const {
  Bytes out;
  for (const CentralHeader& h : headers)
    append(out, h.encode());
  append(out, slack);
  return out;
}

Bytes ArchiveBytes::bytes() const {
  Bytes cd = central();
  auto count = static_cast<std::uint16_t>(headers.size());
  Bytes out = prefix;
  append(out, cd);
  put_u32(out, end.signature);
  put_u16(out, end.disk_number);
  put_u16(out, end.cd_disk);
  put_u16(out, end.disk_entries.value_or(count));
  put_u16(out, end.total_entries.value_or(count));
  put_u32(out, end.cd_size.value_or(static_cast<std::uint32_t>(cd.size())));
  put_u32(out, end.cd_offset.value_or(static_cast<std::uint32_t>(prefix.size())));
  put_u16(out, end.comment_len.value_or(static_cast<std::uint16_t>(end.comment.size())));
  append(out, end.comment);
  append(out, trailer);
  return out;
}

ArchiveBytes archive_of(const std::vector<std::pair<std::string, std::uint32_t>>& entries) {
  ArchiveBytes a;
  for (const auto& [name, crc] : entries)
    a.add(name, crc);
  return a;
}

std::uint32_t crc32_of(const std::string& data) {
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
  std::uint32_t c = 0xFFFFFFFFu;
  for (unsigned char b : data)
    c = table[(c ^ b) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

}  // namespace zorv::test
