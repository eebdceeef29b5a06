// Writes the fuzzers' seed archives with the tests' byte-level writer, one
// file per case: well-formed archives of a few sizes and each kind of damage
// or oddity the reader has a rule for.
//
//   make_seeds DIR           writes the seeds into DIR
//   make_seeds --check DIR   exits 1 unless every seed in DIR is what this
//                            program writes today
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/zip_writer.h"

namespace {

using zorv::test::ArchiveBytes;
using zorv::test::Bytes;
using zorv::test::CentralHeader;
using zorv::test::crc32_of;
using zorv::test::extra_block;
using zorv::test::put_u16;
using zorv::test::put_u32;
using zorv::test::put_u64;
using zorv::test::to_bytes;
using zorv::test::zip64_extra;
using zorv::test::Zip64Records;

constexpr std::size_t WINDOW = std::size_t{64} * 1024;  // the reader's tail read (ZIP_WINDOW)
constexpr std::uint32_t SATURATED = 0xffffffff;         // "look in the ZIP64 extra field"
constexpr std::uint64_t GIB = std::uint64_t{1} << 30;

struct Seed {
  std::string name;
  Bytes bytes;
};

// A stored file: its local header and data go in front of the directory, as
// a real writer puts them. The reader never looks there, but mutations of
// realistic bytes reach more of the format.
CentralHeader& add_file(ArchiveBytes& a, const std::string& name, const std::string& data) {
  std::uint32_t crc = data.empty() ? 0 : crc32_of(data);
  auto size = static_cast<std::uint32_t>(data.size());
  auto offset = static_cast<std::uint32_t>(a.prefix.size());
  Bytes& p = a.prefix;
  put_u32(p, 0x04034b50);
  put_u16(p, 20);
  put_u16(p, 0);  // flags
  put_u16(p, 0);  // stored
  put_u16(p, 0x6000);
  put_u16(p, 0x5821);
  put_u32(p, crc);
  put_u32(p, size);
  put_u32(p, size);
  put_u16(p, static_cast<std::uint16_t>(name.size()));
  put_u16(p, 0);
  p.insert(p.end(), name.begin(), name.end());
  p.insert(p.end(), data.begin(), data.end());
  CentralHeader& h = a.add(name, crc);
  h.compressed_size = size;
  h.uncompressed_size = size;
  h.local_header_offset = offset;
  return h;
}

ArchiveBytes three_files() {
  ArchiveBytes a;
  add_file(a, "docs/", "").external_attr = 0x41ed0010;
  add_file(a, "docs/a.txt", "same text\n");
  add_file(a, "docs/b.txt", "same text\n");
  return a;
}

ArchiveBytes many_files(int n, const std::string& stem) {
  ArchiveBytes a;
  for (int i = 0; i < n; ++i) {
    // Every seventh file repeats an earlier one's contents.
    std::string data = "contents " + std::to_string(i % 7 == 6 ? i - 6 : i) + "\n";
    CentralHeader& h = a.add(stem + std::to_string(i) + ".dat", crc32_of(data));
    h.compressed_size = h.uncompressed_size = static_cast<std::uint32_t>(data.size());
  }
  return a;
}

Bytes ecd_signature_then(std::size_t after) {
  Bytes b = to_bytes("note PK");
  b.push_back(5);
  b.push_back(6);
  b.resize(b.size() + after, 0);
  return b;
}

void well_formed(std::vector<Seed>& out) {
  ArchiveBytes one;
  add_file(one, "hello.txt", "hello, world\n");
  out.push_back({"seed-one-entry", one.bytes()});
  out.push_back({"seed-three-entries", three_files().bytes()});
  out.push_back({"seed-fifty-entries", many_files(50, "dir/file-").bytes()});

  ArchiveBytes odd_names;
  add_file(odd_names, std::string("nul\0inside", 10), "x");
  add_file(odd_names, "", "empty name");
  add_file(odd_names,
           "p\xc3\xa4th/\xc3\xbcnic\xc3\xb6"
           "de.txt",
           "utf-8")
      .flags = 0x0800;
  add_file(odd_names, std::string(1000, 'n'), "long name");
  odd_names.add("wrong-signature", 0x5eed5eed).signature = 0x08074b50;
  out.push_back({"seed-odd-names", odd_names.bytes()});

  ArchiveBytes extras;
  Bytes ut = {0x55, 0x54, 5, 0, 3, 0x10, 0x20, 0x30, 0x40};  // extended timestamp
  Bytes ux = {0x75, 0x78, 11, 0, 1, 4, 0xe8, 3, 0, 0, 4, 0xe8, 3, 0, 0};
  Bytes both = ut;
  both.insert(both.end(), ux.begin(), ux.end());
  add_file(extras, "with-extra.txt", "extra").set_extra(both);
  add_file(extras, "with-comment.txt", "comment").set_comment(to_bytes("an entry comment"));
  add_file(extras, "with-both.txt", "both").set_extra(ut).set_comment(to_bytes("c"));
  extras.end.comment = to_bytes("an archive comment");
  out.push_back({"seed-extra-fields-and-comments", extras.bytes()});

  ArchiveBytes dirs;
  add_file(dirs, "a/", "");
  add_file(dirs, "a/b/", "");
  add_file(dirs, "a/empty.txt", "");
  out.push_back({"seed-only-zero-crc", dirs.bytes()});
}

void damaged_directory(std::vector<Seed>& out) {
  ArchiveBytes name_past = three_files();
  name_past.headers[1].set_name_len(500);
  out.push_back({"seed-name-past-directory", name_past.bytes()});

  ArchiveBytes extra_past = three_files();
  extra_past.headers[2].set_extra_len(60000);
  out.push_back({"seed-extra-past-directory", extra_past.bytes()});

  ArchiveBytes comment_past = three_files();
  comment_past.headers[1].set_comment_len(1000);
  out.push_back({"seed-comment-past-directory", comment_past.bytes()});

  ArchiveBytes slack_short = three_files();
  slack_short.slack = Bytes(20, 0);
  out.push_back({"seed-slack-short", slack_short.bytes()});

  ArchiveBytes slack_header = three_files();
  slack_header.slack = Bytes(46, 0);  // reads as one more entry, name ""
  out.push_back({"seed-slack-header-size", slack_header.bytes()});

  ArchiveBytes too_short = three_files();
  too_short.end.cd_size = 30;
  out.push_back({"seed-directory-shorter-than-header", too_short.bytes()});
}

void damaged_end_record(std::vector<Seed>& out) {
  out.push_back({"seed-empty-file", Bytes{}});
  out.push_back({"seed-zero-entries", ArchiveBytes{}.bytes()});
  out.push_back({"seed-21-bytes", Bytes(ecd_signature_then(12))});

  ArchiveBytes disks = three_files();
  disks.end.disk_number = 1;
  out.push_back({"seed-disk-numbers-differ", disks.bytes()});

  ArchiveBytes same_disk = three_files();
  same_disk.end.disk_number = 3;
  same_disk.end.cd_disk = 3;
  out.push_back({"seed-same-nonzero-disk", same_disk.bytes()});

  ArchiveBytes zero = three_files();
  zero.end.disk_entries = 0;
  zero.end.total_entries = 0;
  out.push_back({"seed-count-zero", zero.bytes()});

  ArchiveBytes counts = three_files();
  counts.end.disk_entries = 2;
  out.push_back({"seed-entry-counts-differ", counts.bytes()});

  ArchiveBytes wrong_total = three_files();
  wrong_total.end.disk_entries = 9;
  wrong_total.end.total_entries = 9;
  out.push_back({"seed-count-unlike-directory", wrong_total.bytes()});

  ArchiveBytes size_zero = three_files();
  size_zero.end.cd_size = 0;
  out.push_back({"seed-directory-size-zero", size_zero.bytes()});

  ArchiveBytes offset_past = three_files();
  offset_past.end.cd_offset = 0x7fff0000;
  out.push_back({"seed-directory-offset-past-end", offset_past.bytes()});

  ArchiveBytes size_past = three_files();
  size_past.end.cd_size = 5000;
  out.push_back({"seed-directory-past-end", size_past.bytes()});

  ArchiveBytes zip64_marks = three_files();
  zip64_marks.end.disk_entries = 0xffff;
  zip64_marks.end.total_entries = 0xffff;
  zip64_marks.end.cd_size = 0xffffffff;
  zip64_marks.end.cd_offset = 0xffffffff;
  out.push_back({"seed-zip64-markers", zip64_marks.bytes()});
}

void around_the_end_record(std::vector<Seed>& out) {
  ArchiveBytes taken = three_files();
  taken.end.comment = ecd_signature_then(18);  // a whole record after it: taken
  out.push_back({"seed-comment-with-signature", taken.bytes()});

  ArchiveBytes passed = three_files();
  passed.end.comment = ecd_signature_then(17);  // one byte short: passed over
  out.push_back({"seed-comment-with-short-signature", passed.bytes()});

  // A whole record in the comment that names only the last entry.
  ArchiveBytes inner = three_files();
  Bytes cd = inner.central();
  std::size_t last = cd.size() - inner.headers[2].encode().size();
  Bytes fake;
  put_u32(fake, 0x06054b50);
  put_u32(fake, 0);
  put_u16(fake, 1);
  put_u16(fake, 1);
  put_u32(fake, static_cast<std::uint32_t>(cd.size() - last));
  put_u32(fake, static_cast<std::uint32_t>(inner.prefix.size() + last));
  put_u16(fake, 0);
  inner.end.comment = fake;
  out.push_back({"seed-comment-with-end-record", inner.bytes()});

  ArchiveBytes trailer = three_files();
  trailer.trailer = Bytes(300, 't');
  out.push_back({"seed-bytes-after-end-record", trailer.bytes()});

  // A self-extractor's stub in front, offsets not corrected for it.
  ArchiveBytes stub = three_files();
  stub.front = Bytes(1000, 0x90);
  out.push_back({"seed-bytes-prepended", stub.bytes()});

  // No central header where the shifted offset leads either: the recorded
  // offset is taken as it is, and reads the stub.
  ArchiveBytes no_header = three_files();
  no_header.front = Bytes(1000, 0x90);
  no_header.headers[0].signature = 0x02014b51;
  out.push_back({"seed-bytes-prepended-first-signature-damaged", no_header.bytes()});

  // The size recorded ends one header short of the end record, and the gap
  // lands on a central header; but one starts at the recorded offset too,
  // so nothing was prepended and the last header is simply not counted.
  ArchiveBytes short_size = three_files();
  Bytes whole = short_size.central();
  short_size.end.cd_size =
      static_cast<std::uint32_t>(whole.size() - short_size.headers[0].encode().size());
  out.push_back({"seed-directory-ends-short-of-end-record", short_size.bytes()});

  Bytes two = three_files().bytes();
  Bytes second = many_files(4, "second-").bytes();
  two.insert(two.end(), second.begin(), second.end());
  out.push_back({"seed-two-archives-concatenated", two});
}

// A ZIP64 archive as a writer makes one for big files: a ZIP64 end record
// and locator, the classic record's counts, size and offset saturated, and
// entries whose saturated sizes and offsets come from the extra field.
ArchiveBytes zip64_files() {
  ArchiveBytes a = three_files();
  a.zip64.emplace();
  CentralHeader& big = a.add("disk.img", 0x1badcafe);
  big.uncompressed_size = big.compressed_size = big.local_header_offset = SATURATED;
  big.set_extra(zip64_extra(6 * GIB, 5 * GIB, 4 * GIB + 7, 0));  // the disk value is not read
  // The ZIP64 block after another one, holding only the offset.
  CentralHeader& far = add_file(a, "far.txt", "far\n");
  far.local_header_offset = SATURATED;
  Bytes extra = {0x55, 0x54, 5, 0, 3, 0x10, 0x20, 0x30, 0x40};
  Bytes block = zip64_extra({}, {}, 9 * GIB + 3);
  extra.insert(extra.end(), block.begin(), block.end());
  far.set_extra(extra);
  // Two fields saturated, one value given: the second keeps 0xFFFFFFFF.
  CentralHeader& one = a.add("one-value-for-two.bin", 0x0e0e0e0e);
  one.uncompressed_size = one.compressed_size = SATURATED;
  one.set_extra(zip64_extra(GIB * 4 + 1, {}, {}));
  return a;
}

void zip64_end_records(std::vector<Seed>& out) {
  out.push_back({"seed-zip64", zip64_files().bytes()});

  ArchiveBytes extensible = zip64_files();
  extensible.zip64->end.extensible = to_bytes("extensible data sector, 37 bytes long");
  out.push_back({"seed-zip64-extensible-data", extensible.bytes()});

  // Offsets count from the archive's start, so the locator misses the
  // record; it is found right before the locator.
  ArchiveBytes stub = zip64_files();
  stub.front = to_bytes("#!/bin/sh\nexec unzip \"$0\"\n");
  stub.front.resize(700, '#');
  out.push_back({"seed-zip64-bytes-prepended", stub.bytes()});

  // The locator points far past the end of the file: the record is found
  // right before the locator.
  ArchiveBytes past = zip64_files();
  past.zip64->locator.end_offset = 0xffffffffffff0000;
  out.push_back({"seed-zip64-locator-past-end", past.bytes()});

  // The locator alone, the classic values real (as Info-ZIP writes from a
  // pipe): they stand.
  ArchiveBytes alone = three_files();
  Zip64Records& records = alone.zip64.emplace();
  records.write_end = false;
  records.saturate = false;
  out.push_back({"seed-zip64-locator-without-record", alone.bytes()});

  // The locator leads to an earlier record, in the prefix, that counts only
  // the first two headers: it wins over the one right before the locator.
  ArchiveBytes earlier = zip64_files();
  std::size_t first_two = earlier.headers[0].encode().size() + earlier.headers[1].encode().size();
  Zip64Records decoy;
  decoy.end.disk_entries = decoy.end.total_entries = 2;
  decoy.end.cd_size = first_two;
  std::uint64_t decoy_at = earlier.prefix.size();
  // The directory starts right after the decoy; only the record is kept,
  // not the locator encode() adds.
  Bytes decoy_bytes = decoy.encode(0, 0, decoy_at + 56);
  decoy_bytes.resize(56);
  earlier.prefix.insert(earlier.prefix.end(), decoy_bytes.begin(), decoy_bytes.end());
  earlier.zip64->locator.end_offset = decoy_at;
  out.push_back({"seed-zip64-locator-to-earlier-record", earlier.bytes()});
}

void zip64_damaged(std::vector<Seed>& out) {
  ArchiveBytes most = zip64_files();
  most.zip64->end.disk_entries = most.zip64->end.total_entries = UINT64_MAX;
  out.push_back({"seed-zip64-counts-max", most.bytes()});

  // A directory size beyond the file (and beyond 4 GiB): refused before
  // anything is allocated for it.
  ArchiveBytes past = zip64_files();
  past.zip64->end.cd_size = 4 * GIB + 100;
  out.push_back({"seed-zip64-directory-past-end", past.bytes()});

  // Classic counts saturated, the ZIP64 ones zero: refused like a classic
  // zero.
  ArchiveBytes none = zip64_files();
  none.zip64->end.disk_entries = none.zip64->end.total_entries = 0;
  out.push_back({"seed-zip64-count-zero", none.bytes()});

  ArchiveBytes disks = zip64_files();
  disks.zip64->end.disk_number = 1;
  out.push_back({"seed-zip64-disk-numbers-differ", disks.bytes()});

  // The ZIP64 record's disk numbers replace the classic record's.
  ArchiveBytes replaced = zip64_files();
  replaced.end.disk_number = 0xffff;
  out.push_back({"seed-zip64-replaces-classic-disks", replaced.bytes()});

  // A ZIP64 block whose size runs past the extra field: nothing is taken.
  ArchiveBytes bad_extra = three_files();
  CentralHeader& h = bad_extra.headers[1];
  h.uncompressed_size = h.compressed_size = SATURATED;
  Bytes value;
  put_u64(value, 5 * GIB);
  Bytes extra = extra_block(0x5455, Bytes{3, 0x10, 0x20, 0x30, 0x40});
  Bytes block = extra_block(0x0001, value, 40);
  extra.insert(extra.end(), block.begin(), block.end());
  h.set_extra(extra);
  out.push_back({"seed-zip64-extra-malformed", bad_extra.bytes()});

  // The last entry's ZIP64 block lies just past the size the end record
  // gives the directory: only what lies inside it is read, so no value.
  ArchiveBytes outside = three_files();
  CentralHeader& last = outside.headers[2];
  last.uncompressed_size = SATURATED;
  last.set_extra(zip64_extra(7 * GIB, {}, {}));
  outside.end.cd_size = static_cast<std::uint32_t>(outside.central().size() - last.extra.size());
  out.push_back({"seed-zip64-extra-past-directory", outside.bytes()});

  // A stored file of 4 GiB - 1 bytes: its sizes read 0xFFFFFFFF, and no
  // extra field says otherwise.
  ArchiveBytes exact = three_files();
  exact.headers[2].uncompressed_size = exact.headers[2].compressed_size = SATURATED;
  out.push_back({"seed-size-ffffffff-without-extra", exact.bytes()});
}

// The few large seeds: the reader's tail read and what lies beyond it.
void around_the_window(std::vector<Seed>& out) {
  ArchiveBytes big = many_files(800, "photos/2023/IMG_");
  for (CentralHeader& h : big.headers)
    h.name += std::string(16, '_');
  if (big.central().size() <= WINDOW) std::abort();
  out.push_back({"seed-directory-over-64k", big.bytes()});

  ArchiveBytes long_comment = three_files();
  long_comment.end.comment.resize(65535);
  for (std::size_t i = 0; i < long_comment.end.comment.size(); ++i)
    long_comment.end.comment[i] = static_cast<unsigned char>("comment "[i % 8]);
  out.push_back({"seed-comment-65535", long_comment.bytes()});

  // The record starts 11 bytes before the last 64 KiB: it straddles the
  // boundary of the first two reads.
  ArchiveBytes straddle = three_files();
  straddle.trailer = Bytes(WINDOW + 11 - 22, 0);
  out.push_back({"seed-end-record-across-64k", straddle.bytes()});

  // Over two windows of zeros after the archive: in a sparse file the
  // second read lies in a hole and is skipped, the third finds the record.
  ArchiveBytes zeros_after = three_files();
  zeros_after.trailer = Bytes(2 * WINDOW + 9000, 0);
  out.push_back({"seed-zeros-after-end-record", zeros_after.bytes()});
}

std::string text_of(const Bytes& b) {
  return std::string(b.begin(), b.end());
}

// Archives stored inside archives, for the nested walk: a stored inner
// archive two levels deep beside a sniffed one, and the hostile nestings
// (an entry on bytes read already, one on a local header inside them, one
// running to the end of the file).
void nested(std::vector<Seed>& out) {
  std::string deepest = text_of(three_files().bytes());
  ArchiveBytes middle;
  add_file(middle, "deep.zip", deepest);
  add_file(middle, "docs/a.txt", "same text\n");
  ArchiveBytes outer;
  add_file(outer, "lib/middle.zip", text_of(middle.bytes()));
  add_file(outer, "payload.bin", deepest);
  add_file(outer, "docs/b.txt", "same text\n");
  out.push_back({"seed-nested-two-levels", outer.bytes()});

  ArchiveBytes h;
  add_file(h, "good.zip", deepest);
  CentralHeader& again = h.add("again.zip", 0x0a0a0a0a);
  again.compressed_size = again.uncompressed_size = static_cast<std::uint32_t>(deepest.size());
  CentralHeader& within = h.add("within.zip", 0x0b0b0b0b);
  within.local_header_offset = 30 + 8;
  within.compressed_size = within.uncompressed_size = 64;
  std::size_t self_at = h.prefix.size();
  add_file(h, "self.zip", "");
  std::size_t total = h.bytes().size();
  h.headers.back().compressed_size = h.headers.back().uncompressed_size =
      static_cast<std::uint32_t>(total - self_at - 30 - 8);
  out.push_back({"seed-nested-hostile", h.bytes()});
}

std::vector<Seed> seeds() {
  std::vector<Seed> out;
  well_formed(out);
  damaged_directory(out);
  damaged_end_record(out);
  around_the_end_record(out);
  zip64_end_records(out);
  zip64_damaged(out);
  around_the_window(out);
  nested(out);
  return out;
}

Bytes read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

}  // namespace

int main(int argc, char** argv) {
  bool check = argc == 3 && std::string(argv[1]) == "--check";
  if (argc != 2 && !check) {
    std::fprintf(stderr, "usage: make_seeds [--check] DIR\n");
    return 2;
  }
  std::string dir = argv[argc - 1];
  int stale = 0;
  for (const Seed& s : seeds()) {
    std::string path = dir + "/" + s.name;
    if (check) {
      if (read_file(path) != s.bytes) {
        std::fprintf(stderr, "make_seeds: %s is missing or differs\n", path.c_str());
        ++stale;
      }
      continue;
    }
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(s.bytes.data()),
              static_cast<std::streamsize>(s.bytes.size()));
    if (!out) {
      std::fprintf(stderr, "make_seeds: cannot write %s\n", path.c_str());
      return 1;
    }
  }
  return stale == 0 ? 0 : 1;
}
