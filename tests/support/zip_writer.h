// Writes ZIP archives byte by byte, with every field of the End of Central
// Directory record and of each central file header under the test's control,
// so that any malformed archive is a few lines. Only what the reader reads is
// written: `prefix` stands in for local headers and file data.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace zorv::test {

using Bytes = std::vector<unsigned char>;

Bytes to_bytes(const std::string& text);
void put_u16(Bytes& out, std::uint16_t v);
void put_u32(Bytes& out, std::uint32_t v);

struct CentralHeader {
  std::uint32_t signature = 0x02014b50;
  std::uint8_t made_by_version = 20;
  std::uint8_t made_by_system = 3;
  std::uint8_t needed_version = 20;
  std::uint8_t needed_system = 0;
  std::uint16_t flags = 0;
  std::uint16_t method = 0;
  std::uint16_t mod_time = 0x6000;
  std::uint16_t mod_date = 0x5821;
  std::uint32_t crc32 = 0;
  std::uint32_t compressed_size = 0;
  std::uint32_t uncompressed_size = 0;
  std::optional<std::uint16_t> name_len;  // unset: the length of `name`
  std::optional<std::uint16_t> extra_len;
  std::optional<std::uint16_t> comment_len;
  std::uint16_t disk_start = 0;
  std::uint16_t internal_attr = 0;
  std::uint32_t external_attr = 0;
  std::uint32_t local_header_offset = 0;
  std::string name;
  Bytes extra;
  Bytes comment;

  CentralHeader& set_name_len(std::uint16_t v) {
    name_len = v;
    return *this;
  }
  CentralHeader& set_extra_len(std::uint16_t v) {
    extra_len = v;
    return *this;
  }
  CentralHeader& set_comment_len(std::uint16_t v) {
    comment_len = v;
    return *this;
  }
  CentralHeader& set_extra(Bytes v) {
    extra = std::move(v);
    return *this;
  }
  CentralHeader& set_comment(Bytes v) {
    comment = std::move(v);
    return *this;
  }

  Bytes encode() const;
};

struct EndRecord {
  std::uint32_t signature = 0x06054b50;
  std::uint16_t disk_number = 0;
  std::uint16_t cd_disk = 0;
  std::optional<std::uint16_t> disk_entries;   // unset: the number of headers
  std::optional<std::uint16_t> total_entries;  // unset: the number of headers
  std::optional<std::uint32_t> cd_size;        // unset: the directory's real size
  std::optional<std::uint32_t> cd_offset;      // unset: where the directory starts
  std::optional<std::uint16_t> comment_len;    // unset: the length of `comment`
  Bytes comment;
};

struct ArchiveBytes {
  Bytes prefix;  // before the central directory
  std::vector<CentralHeader> headers;
  Bytes slack;  // after the last header, counted in the directory size
  EndRecord end;
  Bytes trailer;  // after the end record and its comment

  CentralHeader& add(const std::string& name, std::uint32_t crc);
  Bytes central() const;  // the headers and the slack
  Bytes bytes() const;    // the whole file
};

// An archive whose headers carry these names and CRC-32s, in order.
ArchiveBytes archive_of(const std::vector<std::pair<std::string, std::uint32_t>>& entries);

// CRC-32 (ISO-HDLC, as ZIP uses), computed here independently of any writer.
std::uint32_t crc32_of(const std::string& data);

}  // namespace zorv::test
