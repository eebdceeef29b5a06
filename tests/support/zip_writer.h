// Writes ZIP archives byte by byte, with every field of the End of Central
// Directory record, of the ZIP64 end records and of each central file header
// under the test's control, so that any malformed archive is a few lines.
// `add` writes a central header alone, with `prefix` standing in for local
// headers and file data; `add_file` also writes a real local header and the
// entry's data, for tests that read members.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace zorv::test {

using Bytes = std::vector<unsigned char>;

Bytes to_bytes(const std::string& text);
void put_u16(Bytes& out, std::uint16_t v);
void put_u32(Bytes& out, std::uint32_t v);
void put_u64(Bytes& out, std::uint64_t v);

constexpr std::uint16_t ZIP64_EXTRA_ID = 0x0001;

// One block of an extra field: header ID, data size (unset: the length of
// `data`), data. A larger data size makes a block that runs past its data.
Bytes extra_block(std::uint16_t id, const Bytes& data,
                  std::optional<std::uint16_t> data_size = std::nullopt);

// The ZIP64 extended information block of a central header. It holds only
// the values given, in this fixed order; a reader takes one for each of the
// header's fields that reads 0xFFFFFFFF (0xFFFF for the disk), in order.
Bytes zip64_extra(std::optional<std::uint64_t> usize, std::optional<std::uint64_t> csize,
                  std::optional<std::uint64_t> offset,
                  std::optional<std::uint32_t> disk = std::nullopt);

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

// The local file header in front of an entry's data. Its name and extra
// field may differ from the central header's: a reader skips them by the
// lengths written here.
struct LocalHeader {
  std::uint32_t signature = 0x04034b50;
  std::uint8_t needed_version = 20;
  std::uint8_t needed_system = 0;
  std::uint16_t flags = 0;
  std::uint16_t method = 0;
  std::uint16_t mod_time = 0x6000;
  std::uint16_t mod_date = 0x5821;
  std::uint32_t crc32 = 0;
  std::uint32_t compressed_size = 0;
  std::uint32_t uncompressed_size = 0;
  std::optional<std::uint16_t> name_len;   // unset: the length of `name`
  std::optional<std::uint16_t> extra_len;  // unset: the length of `extra`
  std::string name;
  Bytes extra;

  Bytes encode() const;
};

// With ZIP64 records, unset counts, size and offset follow their `saturate`.
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

// The ZIP64 end of central directory record: 64-bit counts, directory size
// and offset, and an extensible data sector the test fills as it likes.
struct Zip64EndRecord {
  std::uint32_t signature = 0x06064b50;
  std::optional<std::uint64_t> record_size;  // unset: the bytes after this field
  std::uint16_t made_by = 45;
  std::uint16_t needed = 45;
  std::uint32_t disk_number = 0;
  std::uint32_t cd_disk = 0;
  std::optional<std::uint64_t> disk_entries;   // unset: the number of headers
  std::optional<std::uint64_t> total_entries;  // unset: the number of headers
  std::optional<std::uint64_t> cd_size;        // unset: the directory's real size
  std::optional<std::uint64_t> cd_offset;      // unset: where the directory starts
  Bytes extensible;                            // the extensible data sector
};

struct Zip64Locator {
  std::uint32_t signature = 0x07064b50;
  std::uint32_t end_disk = 0;
  std::optional<std::uint64_t> end_offset;  // unset: where the ZIP64 end record starts
  std::uint32_t total_disks = 1;
};

// The ZIP64 end record and its locator, written in that order between the
// central directory and the classic end record.
struct Zip64Records {
  Zip64EndRecord end;
  Zip64Locator locator;
  // False: the locator alone. Unless told otherwise it then points where the
  // record would have started, which is at the locator itself.
  bool write_end = true;
  // The classic record's unset counts read 0xFFFF, its size and offset
  // 0xFFFFFFFF. False: their true values wherever these fit, as Info-ZIP
  // writes an archive read from standard input.
  bool saturate = true;

  // For a directory of `entries` headers and `cd_size` bytes at `cd_offset`;
  // the record follows the directory.
  Bytes encode(std::uint64_t entries, std::uint64_t cd_size, std::uint64_t cd_offset) const;
};

struct ArchiveBytes {
  Bytes front;   // before everything and counted in no offset, as `cat stub a.zip` leaves it
  Bytes prefix;  // before the central directory; add_file appends to it
  std::vector<CentralHeader> headers;
  Bytes slack;                        // after the last header, counted in the directory size
  std::optional<Zip64Records> zip64;  // unset: a classic archive; zip64.emplace() adds them
  EndRecord end;
  Bytes trailer;  // after the end record and its comment

  CentralHeader& add(const std::string& name, std::uint32_t crc);

  // Appends a local header and the entry's data to `prefix`, and adds a
  // central header that matches them: the CRC-32 and size of `data`, the
  // size of the bytes written after the local header, and the local
  // header's offset (the size of `prefix` before the call). Those bytes are
  // `compressed` when given, else `data` itself for method 0; other methods
  // without them throw std::invalid_argument (see deflate.h for method 8).
  // `edit` sees the local header before it is written, to damage it; the
  // central header keeps the true values, and the test may change it through
  // the returned reference until the next header is added.
  CentralHeader& add_file(const std::string& name, const std::string& data,
                          std::uint16_t method = 0, std::optional<Bytes> compressed = std::nullopt,
                          const std::function<void(LocalHeader&)>& edit = nullptr);
  Bytes central() const;  // the headers and the slack
  Bytes head() const;     // the front and the prefix
  // Everything from the directory on, with its offsets counting `hole`
  // bytes between the prefix and the directory (see write_sparse).
  Bytes tail(std::uint64_t hole = 0) const;
  Bytes bytes() const;  // the whole file
};

// An archive whose headers carry these names and CRC-32s, in order.
ArchiveBytes archive_of(const std::vector<std::pair<std::string, std::uint32_t>>& entries);

// CRC-32 (ISO-HDLC, as ZIP uses), computed here independently of any writer.
std::uint32_t crc32_of(const std::string& data);

// `data` followed by four bytes chosen so that the whole has the CRC-32
// `target`: two different contents of one length can then share a CRC-32.
std::string forge_crc(const std::string& data, std::uint32_t target);

}  // namespace zorv::test
