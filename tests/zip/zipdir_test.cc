#include "zip/zipdir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/files.h"
#include "support/said.h"
#include "support/walk.h"
#include "support/zip_writer.h"

namespace zorv {
namespace {

using test::ArchiveBytes;
using test::Bytes;
using test::ScopedFile;
using test::to_bytes;

struct Walked {
  std::string name;
  std::uint32_t crc32;
  std::uint32_t cd_pos;
  bool operator==(const Walked&) const = default;
};

// Opens and walks the archive at `path`; what it yields, what the reader
// said, and whether the open succeeded.
struct WalkResult {
  bool opened = false;
  std::vector<Walked> entries;
  std::string err;
  std::int64_t ecd_pos = -1;
  ZipRead stop = ZipRead::End;
};

WalkResult walk(const std::string& path) {
  WalkResult r;
  test::Said said;
  test::Walk w = test::walk_archive(path.c_str(), said.diag());
  r.opened = w.opened;
  r.ecd_pos = w.ecd_pos;
  for (const test::WalkedEntry& e : w.entries)
    r.entries.push_back({e.name, e.crc32, e.cd_pos});
  r.stop = w.stop;
  r.err = said.text();
  return r;
}

WalkResult walk(const ArchiveBytes& a) {
  ScopedFile f(a.bytes());
  WalkResult r = walk(f.path());
  // Messages name the temporary path; tests compare what follows it.
  for (std::size_t at; (at = r.err.find(f.path())) != std::string::npos;) {
    r.err.replace(at, std::strlen(f.path()), "ARCHIVE");
  }
  return r;
}

ArchiveBytes three_entries() {
  ArchiveBytes a;
  a.prefix = Bytes(100, 'd');
  a.add("first.txt", 0x11111111);
  a.add("second.txt", 0x22222222).set_extra(Bytes(9, 'x'));
  a.add("third.txt", 0x33333333).set_comment(to_bytes("a comment"));
  return a;
}

TEST(LittleEndian, DecodesAtAnyAlignment) {
  const unsigned char bytes[] = {0xff, 0x01, 0x02, 0x03, 0x04, 0x05};
  EXPECT_EQ(le_u16(bytes + 1), 0x0201);
  EXPECT_EQ(le_u32(bytes + 1), 0x04030201u);
  EXPECT_EQ(le_u32(bytes + 2), 0x05040302u);
  EXPECT_EQ(le_u16(bytes), 0x01ff);
}

TEST(ReadZip, WalkYieldsEntriesWithCursorPastEachRecord) {
  WalkResult r = walk(three_entries());
  ASSERT_TRUE(r.opened) << r.err;
  EXPECT_EQ(r.err, "");
  std::uint32_t first = 46 + 9;
  std::uint32_t second = first + 46 + 10 + 9;
  std::uint32_t third = second + 46 + 9 + 9;
  EXPECT_EQ(r.entries, (std::vector<Walked>{{"first.txt", 0x11111111, first},
                                            {"second.txt", 0x22222222, second},
                                            {"third.txt", 0x33333333, third}}));
  // No slack: the last cursor is the directory's size.
  EXPECT_EQ(third, three_entries().central().size());
}

TEST(ReadZip, SecondWalkGivesSameEntriesAndPositions) {
  ScopedFile f(three_entries().bytes());
  EXPECT_EQ(walk(f.path()).entries, walk(f.path()).entries);
}

TEST(ReadZip, AllFieldsDecoded) {
  ArchiveBytes a;
  test::CentralHeader& h = a.add("n", 0xdeadbeef);
  h.made_by_version = 63;
  h.made_by_system = 3;
  h.needed_version = 45;
  h.needed_system = 1;
  h.flags = 0x0808;
  h.method = 8;
  h.mod_time = 0x1234;
  h.mod_date = 0x5678;
  h.compressed_size = 0x01020304;
  h.uncompressed_size = 0x0a0b0c0d;
  h.disk_start = 7;
  h.internal_attr = 1;
  h.external_attr = 0x81a40000;
  h.local_header_offset = 0x00abcdef;
  ScopedFile f(a.bytes());
  ZipDir* zd = openzip(f.path(), nullptr);
  ASSERT_NE(zd, nullptr);
  const ZipEntry* e = nullptr;
  ASSERT_EQ(readzip(zd, &e, nullptr), ZipRead::Entry);
  EXPECT_EQ(e->signature, 0x02014b50u);
  EXPECT_EQ(e->made_by_version, 63);
  EXPECT_EQ(e->made_by_system, 3);
  EXPECT_EQ(e->needed_version, 45);
  EXPECT_EQ(e->needed_system, 1);
  EXPECT_EQ(e->flags, 0x0808);
  EXPECT_EQ(e->method, 8);
  EXPECT_EQ(e->mod_time, 0x1234);
  EXPECT_EQ(e->mod_date, 0x5678);
  EXPECT_EQ(e->crc32, 0xdeadbeefu);
  EXPECT_EQ(e->compressed_size, 0x01020304u);
  EXPECT_EQ(e->uncompressed_size, 0x0a0b0c0du);
  EXPECT_EQ(e->name_len, 1);
  EXPECT_EQ(e->disk_start, 7);
  EXPECT_EQ(e->internal_attr, 1);
  EXPECT_EQ(e->external_attr, 0x81a40000u);
  EXPECT_EQ(e->local_header_offset, 0x00abcdefu);
  EXPECT_EQ(zip_total_entries(zd), 1u);
  EXPECT_EQ(zip_layout(zd).ecd.cd_offset, 0u);
  closezip(zd);
}

TEST(ReadZip, EmptyNameAndNameWithNul) {
  ArchiveBytes a;
  a.add("", 0x1);
  a.add(std::string("ab\0cd", 5), 0x2);
  WalkResult r = walk(a);
  ASSERT_EQ(r.entries.size(), 2u);
  EXPECT_EQ(r.entries[0].name, "");
  EXPECT_EQ(r.entries[1].name, std::string("ab\0cd", 5));  // copied whole
}

TEST(ReadZip, SlackAfterLastEntryReportsEveryCall) {
  for (std::size_t slack : {1u, 45u}) {
    ArchiveBytes a;
    a.add("one", 0x1);
    a.add("two", 0x2);
    a.slack = Bytes(slack, 0);
    ScopedFile f(a.bytes());
    test::Said said;
    ZipDir* zd = openzip(f.path(), said.diag());
    ASSERT_NE(zd, nullptr);
    const ZipEntry* e = nullptr;
    EXPECT_EQ(readzip(zd, &e, said.diag()), ZipRead::Entry);
    EXPECT_EQ(readzip(zd, &e, said.diag()), ZipRead::Entry);
    std::uint32_t at = zip_entry_pos(zd);
    EXPECT_EQ(readzip(zd, &e, said.diag()), ZipRead::Bad);
    EXPECT_EQ(readzip(zd, &e, said.diag()), ZipRead::Bad);
    EXPECT_EQ(zip_entry_pos(zd), at);  // not advanced
    closezip(zd);
    // Too short to be a header, or long enough but with no signature.
    std::string line = std::string(slack < 4 ? "zorv: error, invalid filename length in directory: "
                                             : "zorv: error, invalid header signature in directory: ") +
                       f.path() + "\n";
    EXPECT_EQ(said.text(), line + line) << slack;
  }
}

TEST(ReadZip, NameRunningPastDirectoryEndsWalkWithMessage) {
  ArchiveBytes a;
  a.add("ok.txt", 0x1234abcd);
  a.add("cut.txt", 0x0badf00d).set_name_len(500);
  WalkResult r = walk(a);
  ASSERT_EQ(r.entries.size(), 1u);
  EXPECT_EQ(r.stop, ZipRead::Bad);  // not the directory's end: what follows is unknown
  EXPECT_EQ(r.err, "zorv: error, invalid filename length in directory: ARCHIVE\n");
}

TEST(ReadZip, ExtraOrCommentRunningPastDirectoryStillReturnsEntry) {
  for (bool extra : {true, false}) {
    ArchiveBytes a;
    a.add("a", 0x1);
    test::CentralHeader& h = a.add("b", 0x2);
    if (extra) {
      h.set_extra_len(60000);
    } else {
      h.set_comment_len(60000);
    }
    WalkResult r = walk(a);
    ASSERT_EQ(r.entries.size(), 2u);
    EXPECT_EQ(r.entries[1].name, "b");
    EXPECT_EQ(r.entries[1].cd_pos, r.entries[0].cd_pos + 46 + 1 + 60000u);
    EXPECT_EQ(r.stop, ZipRead::End);
    EXPECT_EQ(r.err, "");
  }
}

TEST(ReadZip, EntryCountDoesNotBoundTheWalk) {
  ArchiveBytes a = three_entries();
  a.end.disk_entries = 1;
  a.end.total_entries = 1;
  EXPECT_EQ(walk(a).entries.size(), 3u);
  a.end.disk_entries = 9;
  a.end.total_entries = 9;
  EXPECT_EQ(walk(a).entries.size(), 3u);
}

TEST(ReadZip, OffsetIntoOtherDataIsDecodedAsHeaders) {
  // Bytes in front of an archive are not corrected for: the offset counts
  // from the first byte of the file, whatever lies there.
  ArchiveBytes decoy;
  decoy.add("decoy", 0x0d0d0d0d);
  Bytes decoy_header = decoy.central();
  ArchiveBytes a;
  a.prefix = decoy_header;
  a.prefix.resize(200, 'z');
  a.add("real", 0x12345678);
  a.end.cd_offset = 0;
  a.end.cd_size = static_cast<std::uint32_t>(decoy_header.size());
  WalkResult r = walk(a);
  ASSERT_EQ(r.entries.size(), 1u);
  EXPECT_EQ(r.entries[0].name, "decoy");
}

TEST(OpenZip, RefusalsAndTheirMessages) {
  struct Case {
    const char* what;
    Bytes bytes;
    const char* message;
  };
  ArchiveBytes spanned_disk = three_entries();
  spanned_disk.end.disk_number = 1;
  ArchiveBytes counts = three_entries();
  counts.end.disk_entries = 2;
  ArchiveBytes no_entries_elsewhere;
  no_entries_elsewhere.end.disk_number = 1;
  ArchiveBytes counted_none = three_entries();
  counted_none.end.disk_entries = counted_none.end.total_entries = 0;
  ArchiveBytes zero_size = three_entries();
  zero_size.end.cd_size = 0;
  ArchiveBytes past_end = three_entries();
  past_end.end.cd_offset = 0x7fff0000;
  ArchiveBytes long_cd = three_entries();
  long_cd.end.cd_size = 0xfffffff0;  // a tiny file must not reserve 4 GiB
  std::vector<Case> cases = {
      {"empty", {}, "error, file is empty: "},
      {"one byte", Bytes(1, 'P'), "error reading ECD (End of Central Directory): "},
      {"21 bytes", Bytes(21, 0), "error reading ECD (End of Central Directory): "},
      {"no signature", Bytes(3000, 'x'), "error reading ECD (End of Central Directory): "},
      {"no entries, on another disk", no_entries_elsewhere.bytes(),
       "error, spanned disks are not supported: "},
      {"no entries but a directory", counted_none.bytes(),
       "error, spanned disks are not supported: "},
      {"disk numbers differ", spanned_disk.bytes(), "error, spanned disks are not supported: "},
      {"entry counts differ", counts.bytes(), "error, spanned disks are not supported: "},
      {"directory size 0", zero_size.bytes(), "error reading central directory: "},
      {"directory past the end", past_end.bytes(), "error reading central directory: "},
      {"directory longer than file", long_cd.bytes(), "error reading central directory: "},
  };
  for (const Case& c : cases) {
    ScopedFile f(c.bytes);
    WalkResult r = walk(f.path());
    EXPECT_FALSE(r.opened) << c.what;
    EXPECT_EQ(r.err, std::string("zorv: ") + c.message + f.path() + "\n") << c.what;
  }
}

// An end record alone is an archive with no entries, as zip and Python
// write one; so is one that bytes in front of it have moved.
TEST(OpenZip, AnEndRecordAloneIsAnEmptyArchive) {
  ArchiveBytes none;
  ASSERT_EQ(none.bytes().size(), 22u);
  ArchiveBytes moved;
  moved.front = Bytes(5000, 's');
  for (const Bytes& file : {none.bytes(), moved.bytes()}) {
    ScopedFile f(file);
    WalkResult r = walk(f.path());
    EXPECT_TRUE(r.opened) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(r.entries.empty());
  }
}

// PKWARE's central directory encryption: an archive extra data record
// ("PK\6\8") where the directory starts, the end record's counts masked.
// The reason given is the encryption, not the masked counts (which read as
// another disk's), with the bytes in front or without.
TEST(OpenZip, AnEncryptedDirectoryIsSaidToBeEncrypted) {
  for (std::size_t front : {0u, 300u}) {
    ArchiveBytes a;
    a.front = Bytes(front, 's');
    a.prefix = test::to_bytes("PK\3\4 masked local header and data");
    std::uint32_t at = static_cast<std::uint32_t>(a.prefix.size());
    Bytes sealed = test::to_bytes("PK\6\x08");
    sealed.resize(200, 0xa5);  // the record's fields and the encrypted headers
    a.slack = sealed;
    a.end.total_entries = a.end.disk_entries = 0;
    a.end.cd_offset = at;
    ScopedFile f(a.bytes());
    WalkResult r = walk(f.path());
    EXPECT_FALSE(r.opened);
    EXPECT_EQ(r.err, std::string("zorv: error, central directory is encrypted: ") + f.path() + "\n");
  }
}

// Behind a stub the recorded offset lands in member data, which may hold
// anything, "PK\6\8" too: only where the directory is read counts.
TEST(OpenZip, AnArchiveExtraSignatureInMemberDataIsNoEncryption) {
  ArchiveBytes a;
  a.front = Bytes(64, 's');
  a.add_file("f.txt", "hello");
  std::string data = std::string(100, 'A') + "PK\6\x08" + std::string(60, 'B');
  a.add_file("g.bin", data);
  // The recorded directory offset, read without the stub's 64 bytes, is
  // 64 bytes before the directory: inside g.bin's data, at its "PK\6\8".
  std::size_t at = a.prefix.size() - 64;
  ASSERT_EQ(std::string(a.prefix.begin() + static_cast<std::ptrdiff_t>(at),
                        a.prefix.begin() + static_cast<std::ptrdiff_t>(at) + 4),
            "PK\6\x08");
  ScopedFile f(a.bytes());
  WalkResult r = walk(f.path());
  EXPECT_TRUE(r.opened) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.entries.size(), 2u);
}

TEST(OpenZip, MissingFileAndNonRegularFilesCannotBeOpened) {
  test::TempDir dir;
  std::string fifo = dir / "pipe.zip";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::string subdir = dir.mkdir("folder.zip");
  for (const std::string& path : {dir / "missing.zip", fifo, subdir, std::string("/dev/null")}) {
    auto start = std::chrono::steady_clock::now();
    WalkResult r = walk(path);  // a blocking open of the FIFO would hang here
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_FALSE(r.opened) << path;
    EXPECT_EQ(r.err, "zorv: unable to open file: " + path + "\n");
  }
}

TEST(FindEcd, NearestSignatureWithRoomForTheRecordWins) {
  // A signature in the comment with 22 bytes after it is taken as the end
  // record (here: one naming another disk).
  ArchiveBytes a = three_entries();
  a.end.comment = to_bytes("note PK");
  a.end.comment.insert(a.end.comment.end(), {5, 6, 1});
  a.end.comment.resize(a.end.comment.size() + 17, 0);
  WalkResult taken = walk(a);
  EXPECT_FALSE(taken.opened);
  EXPECT_EQ(taken.err, "zorv: error, spanned disks are not supported: ARCHIVE\n");

  // With fewer than 22 bytes after it, it is passed over.
  a.end.comment.resize(a.end.comment.size() - 1);
  WalkResult passed = walk(a);
  EXPECT_TRUE(passed.opened) << passed.err;
  EXPECT_EQ(passed.entries.size(), 3u);
}

TEST(FindEcd, BytesAfterTheRecordAreAccepted) {
  ArchiveBytes a = three_entries();
  a.trailer = Bytes(5000, 't');
  WalkResult r = walk(a);
  EXPECT_TRUE(r.opened);
  EXPECT_EQ(r.entries.size(), 3u);
  EXPECT_EQ(r.ecd_pos, static_cast<std::int64_t>(100 + a.central().size()));
}

// The search reads the file backwards in windows; a record anywhere, also
// across the boundary of two windows, must be found.
TEST(FindEcd, FoundAcrossWindowBoundaries) {
  ArchiveBytes base = three_entries();
  std::size_t record_start = 100 + base.central().size();
  for (std::size_t offset_from_end :
       {std::size_t{22}, std::size_t{2000 + 22}, std::size_t{ZIP_WINDOW},
        std::size_t{ZIP_WINDOW + 1}, std::size_t{ZIP_WINDOW + 2}, std::size_t{ZIP_WINDOW + 21},
        std::size_t{ZIP_WINDOW + 22}, std::size_t{2 * ZIP_WINDOW - 21 + 3},
        std::size_t{3 * ZIP_WINDOW + 7}}) {
    ArchiveBytes a = base;
    a.trailer = Bytes(offset_from_end - 22, 0);
    WalkResult r = walk(a);
    EXPECT_TRUE(r.opened) << offset_from_end << ": " << r.err;
    EXPECT_EQ(r.ecd_pos, static_cast<std::int64_t>(record_start)) << offset_from_end;
    EXPECT_EQ(r.entries.size(), 3u) << offset_from_end;
  }
}

TEST(FindEcd, ScanIsExact) {
  Bytes buf(300, 'P');
  std::size_t pos = 0;
  EXPECT_EQ(find_ecd(buf.data(), buf.size(), &pos), 0);
  const unsigned char sig[] = {'P', 'K', 5, 6};
  std::copy(sig, sig + 4, buf.begin() + 278);  // exactly 22 bytes to the end
  EXPECT_EQ(find_ecd(buf.data(), buf.size(), &pos), 1);
  EXPECT_EQ(pos, 278u);
  EXPECT_EQ(find_ecd(buf.data(), buf.size() - 1, &pos), 0);
  std::copy(sig, sig + 4, buf.begin());
  EXPECT_EQ(find_ecd(buf.data(), buf.size() - 1, &pos), 1);
  EXPECT_EQ(pos, 0u);
  EXPECT_EQ(find_ecd(buf.data(), 21, &pos), 0);
  EXPECT_EQ(find_ecd(buf.data(), 22, &pos), 1);
}

// A directory bigger than the tail read is read on its own; results agree.
TEST(ReadZip, LargeDirectoryOutsideTheTailRead) {
  ArchiveBytes a;
  for (int i = 0; i < 3000; ++i)
    a.add("entry-" + std::to_string(i) + std::string(20, 'n'), i + 1);
  ASSERT_GT(a.central().size(), ZIP_WINDOW);
  WalkResult r = walk(a);
  ASSERT_EQ(r.entries.size(), 3000u);
  EXPECT_EQ(r.entries[2999].name, "entry-2999" + std::string(20, 'n'));
  EXPECT_EQ(r.entries[2999].cd_pos, a.central().size());
}

// Every fact a walk of `zd` gives, field by field, with what the reader
// said (the path named as ARCHIVE).
std::string walk_facts(ZipDir* zd, const char* path) {
  std::ostringstream out;
  ZipLayout l = zip_layout(zd);
  out << zip_data_shift(zd) << ' ' << zip_end_offset(zd) << ' ' << zip_total_entries(zd) << ' '
      << l.file_size << ' ' << l.ecd_pos << ' ' << l.ecd.comment_len << ' ' << l.end64_pos << ' '
      << l.end.cd_size << ' ' << l.end.cd_offset << ' ' << l.end.disk_entries << '\n';
  test::Said said;
  const ZipEntry* e = nullptr;
  ZipRead r;
  while ((r = readzip(zd, &e, said.diag())) == ZipRead::Entry) {
    out << std::string(e->name, e->name_len) << ' ' << e->crc32 << ' ' << e->method << ' '
        << e->flags << ' ' << e->mod_time << ' ' << e->mod_date << ' ' << e->compressed_size64
        << ' ' << e->uncompressed_size64 << ' ' << e->local_header_offset64 << ' '
        << e->external_attr << ' ' << int{e->made_by_system} << ' '
        << std::string(reinterpret_cast<const char*>(e->extra), e->extra_seen) << ' '
        << zip_entry_pos(zd) << '\n';
  }
  std::string said_text = said.text();
  for (std::size_t at; (at = said_text.find(path)) != std::string::npos;)
    said_text.replace(at, std::strlen(path), "ARCHIVE");
  out << static_cast<int>(r) << ' ' << said_text;
  return out.str();
}

// A directory image walks as the open it was taken from: the shift of bytes
// in front, ZIP64 values, an archive with no entries, a directory past the
// tail read, a damaged header ending the walk. What is not an image is
// refused, never walked.
TEST(ZipImage, WalksAsTheOpenItWasTakenFrom) {
  std::vector<ArchiveBytes> archives(6, three_entries());
  archives[1].front = Bytes(7000, 's');
  archives[2].zip64.emplace();
  archives[2].add("big", 0x44444444).set_extra(Bytes{1, 0, 8, 0, 1, 2, 3, 4, 5, 6, 7, 8});
  archives[3] = ArchiveBytes{};
  for (int i = 0; i < 3000; ++i)
    archives[4].add("entry-" + std::to_string(i) + std::string(20, 'n'), i + 1);
  archives[5].slack = Bytes(10, 'z');
  for (std::size_t i = 0; i < archives.size(); ++i) {
    SCOPED_TRACE(i);
    ScopedFile f(archives[i].bytes());
    ZipDir* read = openzip(f.path(), nullptr);
    ASSERT_NE(read, nullptr);
    std::vector<unsigned char> image(zip_image_size(read));
    ASSERT_TRUE(zip_image(read, image.data()));
    std::string from_file = walk_facts(read, f.path());
    closezip(read);
    ZipCache cache;
    ZipDir* made = openzip_image(image.data(), image.size(), f.path(), ZipOpen{nullptr, &cache, nullptr, nullptr});
    ASSERT_NE(made, nullptr);
    EXPECT_EQ(walk_facts(made, f.path()), from_file);
    closezip(made);
    zip_cache_release(&cache);

    ZipOpen how{nullptr, nullptr, nullptr, nullptr};
    EXPECT_EQ(openzip_image(image.data(), image.size() - 1, f.path(), how), nullptr);
    image.push_back(0);
    EXPECT_EQ(openzip_image(image.data(), image.size(), f.path(), how), nullptr);
    image.pop_back();
    image[0] ^= 1;
    EXPECT_EQ(openzip_image(image.data(), image.size(), f.path(), how), nullptr);
  }
  // An archive inside another file's bytes has no image of its own.
  ScopedFile f(archives[0].bytes());
  ZipOpen inside{nullptr, nullptr, nullptr, nullptr};
  inside.span = ZipSpan{0, static_cast<std::int64_t>(archives[0].bytes().size())};
  ZipDir* zd = openzip_named(f.path(), "outer!/inner", inside);
  ASSERT_NE(zd, nullptr);
  std::vector<unsigned char> image(zip_image_size(zd));
  EXPECT_FALSE(zip_image(zd, image.data()));
  closezip(zd);
}

// Sums of a cursor near 4 GiB with the header's lengths are 64-bit: they
// neither pass the bounds test wrongly nor wrap the cursor back to the start.
TEST(CdhFit, CursorArithmeticNearTheFourGibLimit) {
  ArchiveBytes a;
  a.add("", 0x1).set_name_len(0x100);
  Bytes header = a.central();
  header.resize(46 + 0x100);
  std::uint64_t next = 0;
  std::uint32_t size = 0xffffffff;
  // 0xffffff00 + 46 + 0x100 wraps to 0x2e in 32 bits.
  EXPECT_EQ(cdh_fit(size, 0xffffff00u, header.data(), &next), CdhFit::Bad);
  EXPECT_EQ(cdh_fit(size, 0xfffffe00u, header.data(), &next), CdhFit::Ok);
  EXPECT_EQ(next, 0xfffffe00u + 46 + 0x100u);

  ArchiveBytes b;
  b.add("", 0x2).set_extra_len(0xffff).set_comment_len(0xffff);
  Bytes far = b.central();
  EXPECT_EQ(cdh_fit(size, 0xfffff000u, far.data(), &next), CdhFit::Ok);
  EXPECT_EQ(next, 0xfffff000ull + 46 + 0xffff + 0xffff);
  EXPECT_GT(next, std::uint64_t{UINT32_MAX});  // would wrap to a small cursor in 32 bits
  EXPECT_EQ(cdh_fit(size, 0xffffffd2u, far.data(), &next), CdhFit::Bad);  // 45 bytes left
  EXPECT_EQ(cdh_fit(size, 0xffffffd1u, far.data(), &next), CdhFit::Ok);   // 46 bytes left
  EXPECT_EQ(cdh_fit(size, size, nullptr, &next), CdhFit::End);            // header not read
}

// A sparse file beyond 2 GiB and beyond 4 GiB: 64-bit positions find the
// record at its real place (a 32-bit size would wrap or go negative).
TEST(OpenZip, ArchivesBeyondTwoAndFourGib) {
  for (std::uint64_t size : {(std::uint64_t{5} << 29), (std::uint64_t{9} << 29)}) {
    ArchiveBytes a;
    a.add("far.txt", 0xfeedf00d);
    Bytes cd = a.central();
    Bytes bytes = a.bytes();
    Bytes record(bytes.end() - 22, bytes.end());
    test::TempDir dir;
    std::string path = dir / "big.zip";
    int fd = open(path.c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, cd.data(), cd.size(), 0), static_cast<ssize_t>(cd.size()));
    off_t at = static_cast<off_t>(size - record.size());
    ASSERT_EQ(pwrite(fd, record.data(), record.size(), at), 22);
    close(fd);
    WalkResult r = walk(path);
    ASSERT_TRUE(r.opened) << size << ": " << r.err;
    EXPECT_EQ(r.ecd_pos, static_cast<std::int64_t>(at));
    ASSERT_EQ(r.entries.size(), 1u);
    EXPECT_EQ(r.entries[0].name, "far.txt");
  }
}

// Holes of a sparse file read as zeros and are skipped unread; data around
// them is still searched whole, also a signature whose record runs into a hole.
TEST(FindEcd, SparseFilesAreSearchedExactly) {
  ArchiveBytes a = three_entries();
  Bytes bytes = a.bytes();
  test::TempDir dir;
  std::string early = dir / "early.zip";  // the record near the start, then 12 MiB of hole
  int fd = open(early.c_str(), O_CREAT | O_WRONLY, 0600);
  ASSERT_EQ(pwrite(fd, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
  ASSERT_EQ(ftruncate(fd, 12 << 20), 0);
  close(fd);
  WalkResult r = walk(early);
  ASSERT_TRUE(r.opened) << r.err;
  EXPECT_EQ(r.ecd_pos, static_cast<std::int64_t>(bytes.size() - 22));
  EXPECT_EQ(r.entries.size(), 3u);

  // An island of data in the hole ends with a signature: the 18 bytes after
  // it are hole, zeros, so it is the record nearest the end (one counting no
  // entries).
  std::string island = dir / "island.zip";
  fd = open(island.c_str(), O_CREAT | O_WRONLY, 0600);
  ASSERT_EQ(pwrite(fd, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
  const unsigned char sig[] = {'j', 'u', 'n', 'k', 'P', 'K', 5, 6, 1};  // disk 1
  off_t at = (5 << 20) + 12345;
  ASSERT_EQ(pwrite(fd, sig, sizeof sig, at), static_cast<ssize_t>(sizeof sig));
  ASSERT_EQ(ftruncate(fd, 12 << 20), 0);
  close(fd);
  WalkResult taken = walk(island);
  EXPECT_FALSE(taken.opened);
  EXPECT_EQ(taken.err, "zorv: error, spanned disks are not supported: " + island + "\n");
}

// The end record is looked for in the last 16 MiB + 22 bytes only: one
// 100,000 bytes from the end (past a comment's reach: junk after it) is
// found, one 17 MiB from the end is not, and the file is not read whole.
TEST(FindEcd, SearchIsBoundedToTheLastSixteenMib) {
  ArchiveBytes a = three_entries();
  test::TempDir dir;
  for (std::int64_t trailing : {std::int64_t{100000}, ECD_SEARCH_MAX - 22, ECD_SEARCH_MAX - 21,
                                std::int64_t{17} << 20}) {
    a.trailer = Bytes(static_cast<std::size_t>(trailing), 'j');
    std::string path = dir.write("t.zip", a.bytes());
    WalkResult r = walk(path);
    if (trailing + 22 <= ECD_SEARCH_MAX) {
      EXPECT_TRUE(r.opened) << trailing << ": " << r.err;
      EXPECT_EQ(r.entries.size(), 3u) << trailing;
    } else {
      EXPECT_FALSE(r.opened) << trailing;
      EXPECT_EQ(r.err, "zorv: error reading ECD (End of Central Directory): " + path + "\n");
    }
  }
}

// Archives written by other programs read back exactly as Python's zipfile
// reads them: classic ones, and (the second list) ZIP64 archives and
// archives with a stub in front.
class IndependentWriters : public testing::TestWithParam<const char*> {};

TEST_P(IndependentWriters, ReaderAgreesWithZipfile) {
  std::ifstream manifest(std::string(ZORV_FIXTURE_DIR) + "/" + GetParam());
  ASSERT_TRUE(manifest) << "fixtures missing";
  std::map<std::string, std::vector<std::pair<std::uint32_t, std::string>>> expected;
  std::vector<std::string> order;
  std::string line;
  while (std::getline(manifest, line)) {
    std::istringstream words(line);
    std::string kind, a, b;
    words >> kind >> a >> b;
    if (kind == "archive") {
      order.push_back(a);
      continue;
    }
    std::string name;
    for (std::size_t i = 0; i + 1 < b.size(); i += 2) {
      name.push_back(static_cast<char>(std::stoi(b.substr(i, 2), nullptr, 16)));
    }
    expected[order.back()].emplace_back(std::stoul(a, nullptr, 16), name);
  }
  ASSERT_GE(order.size(), 3u);
  for (const std::string& archive : order) {
    WalkResult r = walk(std::string(ZORV_FIXTURE_DIR) + "/" + archive);
    ASSERT_TRUE(r.opened) << archive << ": " << r.err;
    EXPECT_EQ(r.err, "");
    const auto& want = expected[archive];
    ASSERT_EQ(r.entries.size(), want.size()) << archive;
    for (std::size_t i = 0; i < want.size(); ++i) {
      EXPECT_EQ(r.entries[i].crc32, want[i].first) << archive << " #" << i;
      EXPECT_EQ(r.entries[i].name, want[i].second) << archive << " #" << i;
      if (i > 0) {
        EXPECT_GE(r.entries[i].cd_pos, r.entries[i - 1].cd_pos + 46) << archive;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Manifests, IndependentWriters,
                         testing::Values("manifest.txt", "manifest-zip64.txt"),
                         [](const auto& info) {
                           return std::string(info.index == 0 ? "Classic" : "Zip64AndPrefixed");
                         });

}  // namespace
}  // namespace zorv
