// The name rule on its own: exact UTF-8 for each way an entry's name can
// be stored, and the cheap test that decides whether to decode at all.
#include "zip/zip_name.h"

#include <gtest/gtest.h>

#include <string>

#include "support/zip_writer.h"

namespace zorv {
namespace {

using test::Bytes;
using test::crc32_of;
using test::extra_block;

// Bytes 0x80..0xFF through Python 3.11's cp437 codec, encoded in UTF-8:
// written once by `bytes(range(0x80, 0x100)).decode("cp437")`, not by
// this program.
const char PYTHON_CP437_HIGH[] =
    "\xc3\x87\xc3\xbc\xc3\xa9\xc3\xa2\xc3\xa4\xc3\xa0\xc3\xa5\xc3\xa7"      // 0x80
    "\xc3\xaa\xc3\xab\xc3\xa8\xc3\xaf\xc3\xae\xc3\xac\xc3\x84\xc3\x85"      // 0x88
    "\xc3\x89\xc3\xa6\xc3\x86\xc3\xb4\xc3\xb6\xc3\xb2\xc3\xbb\xc3\xb9"      // 0x90
    "\xc3\xbf\xc3\x96\xc3\x9c\xc2\xa2\xc2\xa3\xc2\xa5\xe2\x82\xa7\xc6\x92"  // 0x98
    "\xc3\xa1\xc3\xad\xc3\xb3\xc3\xba\xc3\xb1\xc3\x91\xc2\xaa\xc2\xba"      // 0xa0
    "\xc2\xbf\xe2\x8c\x90\xc2\xac\xc2\xbd\xc2\xbc\xc2\xa1\xc2\xab\xc2\xbb"  // 0xa8
    "\xe2\x96\x91\xe2\x96\x92\xe2\x96\x93\xe2\x94\x82\xe2\x94\xa4\xe2\x95\xa1\xe2\x95\xa2\xe2\x95"
    "\x96"  // 0xb0
    "\xe2\x95\x95\xe2\x95\xa3\xe2\x95\x91\xe2\x95\x97\xe2\x95\x9d\xe2\x95\x9c\xe2\x95\x9b\xe2\x94"
    "\x90"  // 0xb8
    "\xe2\x94\x94\xe2\x94\xb4\xe2\x94\xac\xe2\x94\x9c\xe2\x94\x80\xe2\x94\xbc\xe2\x95\x9e\xe2\x95"
    "\x9f"  // 0xc0
    "\xe2\x95\x9a\xe2\x95\x94\xe2\x95\xa9\xe2\x95\xa6\xe2\x95\xa0\xe2\x95\x90\xe2\x95\xac\xe2\x95"
    "\xa7"  // 0xc8
    "\xe2\x95\xa8\xe2\x95\xa4\xe2\x95\xa5\xe2\x95\x99\xe2\x95\x98\xe2\x95\x92\xe2\x95\x93\xe2\x95"
    "\xab"  // 0xd0
    "\xe2\x95\xaa\xe2\x94\x98\xe2\x94\x8c\xe2\x96\x88\xe2\x96\x84\xe2\x96\x8c\xe2\x96\x90\xe2\x96"
    "\x80"                                                                      // 0xd8
    "\xce\xb1\xc3\x9f\xce\x93\xcf\x80\xce\xa3\xcf\x83\xc2\xb5\xcf\x84"          // 0xe0
    "\xce\xa6\xce\x98\xce\xa9\xce\xb4\xe2\x88\x9e\xcf\x86\xce\xb5\xe2\x88\xa9"  // 0xe8
    "\xe2\x89\xa1\xc2\xb1\xe2\x89\xa5\xe2\x89\xa4\xe2\x8c\xa0\xe2\x8c\xa1\xc3\xb7\xe2\x89\x88"  // 0xf0
    "\xc2\xb0\xe2\x88\x99\xc2\xb7\xe2\x88\x9a\xe2\x81\xbf\xc2\xb2\xe2\x96\xa0\xc2\xa0"  // 0xf8
    ;

std::string as_text(const std::string& name, std::uint16_t flags, const Bytes& extra = {}) {
  StoredName n{name.data(), name.size(), flags, extra.data(), extra.size()};
  std::string out(zip_name_max(n), '\0');
  out.resize(static_cast<std::size_t>(zip_name_utf8(out.data(), n) - out.data()));
  return out;
}

bool may_differ(const std::string& name, std::uint16_t flags, const Bytes& extra = {}) {
  return zip_name_may_differ(
      StoredName{name.data(), name.size(), flags, extra.data(), extra.size()});
}

// A Unicode Path block: version, CRC-32, the UTF-8 name.
Bytes unicode_path(std::uint8_t version, std::uint32_t crc, const std::string& utf8) {
  Bytes data{version};
  test::put_u32(data, crc);
  data.insert(data.end(), utf8.begin(), utf8.end());
  return extra_block(EXTRA_UNICODE_PATH, data);
}

const std::string STORED = "caf\x82.txt";  // CP437 0x82 is e-acute
const std::string AS_CP437 = "caf\xc3\xa9.txt";
const std::string UNICODE = "\xe6\x97\xa5\xe6\x9c\xac.txt";  // two CJK ideographs

TEST(ZipName, EveryHighCp437ByteDecodesAsPythonsCodec) {
  std::string high;
  for (int b = 0x80; b <= 0xff; ++b)
    high += static_cast<char>(b);
  EXPECT_EQ(as_text(high, 0), PYTHON_CP437_HIGH);
  // One at a time too, so a table shifted by one entry is told apart.
  std::string one(1, static_cast<char>(0xff));
  EXPECT_EQ(as_text(one, 0), "\xc2\xa0");  // no-break space
  EXPECT_EQ(as_text("\x80", 0), "\xc3\x87");
  EXPECT_EQ(as_text("\xe1", 0), "\xc3\x9f");  // sharp s
  EXPECT_EQ(as_text("\xc9", 0), "\xe2\x95\x94");
}

TEST(ZipName, AsciiAndNulPassUnchangedUnderCp437) {
  std::string low;
  for (int b = 0; b < 0x80; ++b)
    low += static_cast<char>(b);
  EXPECT_EQ(as_text(low, 0), low);
  EXPECT_FALSE(may_differ(low, 0));
  EXPECT_EQ(as_text(std::string("a\0\x82", 3), 0), std::string("a\0\xc3\xa9", 4));
}

TEST(ZipName, Bit11NamesAreTheStoredBytesValidOrNot) {
  const std::string valid = "\xc3\xa9t\xc3\xa9";
  const std::string invalid = "\xc0\xaf\xff";
  EXPECT_EQ(as_text(valid, FLAG_UTF8_NAME), valid);
  EXPECT_EQ(as_text(invalid, FLAG_UTF8_NAME), invalid);
  EXPECT_FALSE(may_differ(valid, FLAG_UTF8_NAME));
  EXPECT_FALSE(may_differ(invalid, FLAG_UTF8_NAME | 0x0008));
  // Without bit 11 the same bytes are CP437.
  EXPECT_EQ(as_text(valid, 0), "\xe2\x94\x9c\xe2\x8c\x90t\xe2\x94\x9c\xe2\x8c\x90");  // "├⌐t├⌐"
  EXPECT_TRUE(may_differ(valid, 0));
}

TEST(ZipName, MatchingUnicodePathGivesItsName) {
  Bytes extra = unicode_path(1, crc32_of(STORED), UNICODE);
  EXPECT_TRUE(may_differ(STORED, 0, extra));
  EXPECT_EQ(as_text(STORED, 0, extra), UNICODE);
  // An ASCII stored name is renamed too: the block is all that says so.
  Bytes for_ascii = unicode_path(1, crc32_of("x.txt"), UNICODE);
  EXPECT_TRUE(may_differ("x.txt", 0, for_ascii));
  EXPECT_EQ(as_text("x.txt", 0, for_ascii), UNICODE);
  // After another block, the block is still found.
  Bytes both = extra_block(0xcafe, {1, 2, 3});
  both.insert(both.end(), extra.begin(), extra.end());
  EXPECT_EQ(as_text(STORED, 0, both), UNICODE);
}

TEST(ZipName, Bit11WinsOverUnicodePath) {
  Bytes extra = unicode_path(1, crc32_of(STORED), UNICODE);
  EXPECT_FALSE(may_differ(STORED, FLAG_UTF8_NAME, extra));
  EXPECT_EQ(as_text(STORED, FLAG_UTF8_NAME, extra), STORED);
}

TEST(ZipName, UnicodePathThatDoesNotApplyLeavesCp437) {
  std::uint32_t crc = crc32_of(STORED);
  EXPECT_EQ(as_text(STORED, 0, unicode_path(1, crc ^ 1, UNICODE)), AS_CP437);  // stale CRC
  EXPECT_EQ(as_text(STORED, 0, unicode_path(2, crc, UNICODE)), AS_CP437);      // version
  EXPECT_EQ(as_text(STORED, 0, unicode_path(0, crc, UNICODE)), AS_CP437);
  EXPECT_EQ(as_text(STORED, 0, unicode_path(1, crc, "")), AS_CP437);          // empty name
  EXPECT_EQ(as_text(STORED, 0, unicode_path(1, crc, "\xc3\x28")), AS_CP437);  // not UTF-8
  // The CRC-32 covers every stored byte, not the name up to a NUL.
  std::string with_nul("caf\x82\0x", 6);
  EXPECT_EQ(as_text(with_nul, 0, unicode_path(1, crc, UNICODE)), std::string("caf\xc3\xa9\0x", 7));
  EXPECT_EQ(as_text(with_nul, 0, unicode_path(1, crc32_of(with_nul), UNICODE)), UNICODE);
}

TEST(ZipName, TruncatedUnicodePathBlocksAreIgnored) {
  std::uint32_t crc = crc32_of(STORED);
  Bytes whole = unicode_path(1, crc, UNICODE);
  // The block's size runs past the extra field by one byte.
  Bytes cut(whole.begin(), whole.end() - 1);
  EXPECT_EQ(as_text(STORED, 0, cut), AS_CP437);
  // Too short to hold the version and the CRC-32.
  Bytes data{1};
  test::put_u32(data, crc);
  for (std::size_t keep = 0; keep < 5; ++keep) {
    Bytes short_block = extra_block(EXTRA_UNICODE_PATH, Bytes(data.begin(), data.begin() + keep));
    EXPECT_EQ(as_text(STORED, 0, short_block), AS_CP437) << keep;
  }
  // Only a header's first bytes.
  Bytes header(whole.begin(), whole.begin() + 3);
  EXPECT_EQ(as_text(STORED, 0, header), AS_CP437);
  EXPECT_FALSE(may_differ("plain", 0, header));
  EXPECT_FALSE(may_differ("plain", 0, cut));
}

TEST(ZipName, FirstUnicodePathBlockDecides) {
  std::uint32_t crc = crc32_of(STORED);
  Bytes extra = unicode_path(1, crc ^ 1, "stale");
  Bytes second = unicode_path(1, crc, UNICODE);
  extra.insert(extra.end(), second.begin(), second.end());
  EXPECT_EQ(as_text(STORED, 0, extra), AS_CP437);
}

}  // namespace
}  // namespace zorv
