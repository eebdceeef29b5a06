// End-to-end: archives stored inside archives (--nested), read in place
// through the file they lie in, and the nestings a hostile file can build.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "support/cli.h"
#include "support/deflate.h"
#include "support/files.h"
#include "support/zip_writer.h"

namespace zorv {
namespace {

using test::block;
using test::crc32_of;
using test::expect_run;
using test::RunResult;

using Files = std::vector<std::pair<std::string, std::string>>;

std::string text_of(const test::Bytes& b) {
  return std::string(b.begin(), b.end());
}

// An archive of real members: stored, or deflated (method 8).
test::ArchiveBytes zip_of(const Files& files, std::uint16_t method = 0) {
  test::ArchiveBytes a;
  for (const auto& [name, data] : files) {
    if (method == 8) {
      a.add_file(name, data, 8, test::deflate_raw(data, 6));
    } else {
      a.add_file(name, data);
    }
  }
  return a;
}

std::string zip_text(const Files& files, std::uint16_t method = 0) {
  return text_of(zip_of(files, method).bytes());
}

const std::string kA = std::string(300, 'a') + "class A";
const std::string kB = std::string(300, 'b') + "class B";
const std::string kC = std::string(300, 'c') + "class C";

class Nested : public test::CliRun {};

// A web archive with a stored jar and a deflated one: the stored jar's
// entries are members, named through the war; the deflated jar is named
// once as not read (reading it means decoding it), and read with -c; the
// war and the jars stay members as before. Without --nested nothing of this changes the run.
TEST_F(Nested, StoredInnerArchivesAreReadInPlace) {
  std::string lib = zip_text({{"A.class", kA}, {"B.class", kB}});
  std::string zipped = zip_text({{"C.class", kC}}, 8);
  test::ArchiveBytes war;
  war.add_file("WEB-INF/lib/lib.jar", lib);
  war.add_file("WEB-INF/lib/zipped.jar", zipped, 8, test::deflate_raw(zipped, 6));
  war.add_file("index.html", "<html>");
  put("app.war", war);
  put("other.zip", zip_of({{"A.class", kA}, {"C.class", kC}}, 8));

  expect_run(run({"--ext=war,jar", "app.war", "other.zip"}), 0, "", "");
  const std::string skipped =
      "zorv: warning, compressed inner archive not read: app.war!/WEB-INF/lib/zipped.jar\n";
  std::string group = block(crc32_of(kA), {"app.war!/WEB-INF/lib/lib.jar, A.class", "other.zip, A.class"});
  expect_run(run({"--ext=war,jar", "--nested", "app.war", "other.zip"}), 0, group, skipped);
  // -c reads the inner members through the war (a wrong offset would leave
  // them unverified), and decodes the deflated jar to read it too.
  RunResult c = run({"--ext=war,jar", "--nested", "-c", "app.war", "other.zip"});
  EXPECT_EQ(c.status, 0);
  EXPECT_EQ(c.err, "");
  std::vector<test::Group> got = test::parse_report(c.out);
  std::sort(got.begin(), got.end());
  std::vector<test::Group> want{
      {crc32_of(kA), {"app.war!/WEB-INF/lib/lib.jar, A.class", "other.zip, A.class"}},
      {crc32_of(kC), {"app.war!/WEB-INF/lib/zipped.jar, C.class", "other.zip, C.class"}}};
  std::sort(want.begin(), want.end());
  EXPECT_EQ(got, want);
  RunResult cj = run({"--ext=war,jar", "--nested", "-c", "--format=jsonl", "app.war", "other.zip"});
  EXPECT_NE(cj.out.find("{\"archive\":\"app.war!/WEB-INF/lib/zipped.jar\",\"archive_path\":"
                        "[\"app.war\",\"WEB-INF/lib/zipped.jar\"],\"name\":\"C.class\""),
            std::string::npos)
      << cj.out;
  expect_run(run({"--ext=war,jar", "--nested", "-l", "app.war", "other.zip"}), 0,
             group +
                 "FileListName: app.war (Tot 5, Found 1) \n"
                 "FileListName: app.war!/WEB-INF/lib/lib.jar (Tot 2, Found 1) \n"
                 "FileListName: other.zip (Tot 2, Found 1) \n",
             skipped);
  RunResult j = run({"--ext=war,jar", "--nested", "--format=jsonl", "app.war", "other.zip"});
  EXPECT_EQ(j.status, 0);
  EXPECT_EQ(j.err, skipped);
  char crc[9];
  std::snprintf(crc, sizeof crc, "%08x", crc32_of(kA));
  EXPECT_EQ(j.out, std::string("{\"type\":\"group\",\"crc32\":\"") + crc +
                       "\",\"members\":[{\"archive\":\"app.war!/WEB-INF/lib/lib.jar\","
                       "\"archive_path\":[\"app.war\",\"WEB-INF/lib/lib.jar\"],\"name\":\"A.class\","
                       "\"size\":307,\"csize\":307,\"method\":0},{\"archive\":\"other.zip\","
                       "\"name\":\"A.class\",\"size\":307,\"csize\":" +
                       std::to_string(test::deflate_raw(kA, 6).size()) +
                       ",\"method\":8}]}\n{\"type\":\"summary\",\"groups\":1,\"members\":2,"
                       "\"redundant_copies\":1,\"redundant_bytes\":307}\n");
}

// Inner members of one CRC-32 but other contents: -c tells them apart by
// reading each through its own inner archive's offsets.
TEST_F(Nested, ContentChecksReadInnerMembersWhereTheyLie) {
  std::string forged = test::forge_crc(std::string(kA.size() - 4, 'x'), crc32_of(kA));
  ASSERT_EQ(crc32_of(forged), crc32_of(kA));
  ASSERT_EQ(forged.size(), kA.size());
  test::ArchiveBytes outer;
  outer.add_file("one.zip", zip_text({{"same", kA}}));
  outer.add_file("two.zip", zip_text({{"forged", forged}, {"again", kA}}));
  put("o.zip", outer);
  std::string plain = block(crc32_of(kA), {"o.zip!/one.zip, same", "o.zip!/two.zip, forged",
                                           "o.zip!/two.zip, again"});
  expect_run(run({"--nested", "o.zip"}), 0, plain, "");
  expect_run(run({"--nested", "-c", "o.zip"}), 0,
             block(crc32_of(kA), {"o.zip!/one.zip, same", "o.zip!/two.zip, again"}), "");
}

// With -c a compressed inner archive is decoded and read like a stored
// one, at every level, and its members are checked where they were decoded
// to; one that does not decode (its CRC-32 is not the directory's) is named
// and nothing else is lost; past the bound on decoded bytes, one is named
// as not read.
TEST_F(Nested, ContentChecksDecodeCompressedInnerArchives) {
  std::string forged = test::forge_crc(std::string(kA.size() - 4, 'x'), crc32_of(kA));
  std::string deep = zip_text({{"deep/A", kA}, {"deep/forged", forged}}, 8);
  test::ArchiveBytes mid;
  mid.add_file("deep.zip", deep, 8, test::deflate_raw(deep, 6));
  mid.add_file("mid/A", kA, 8, test::deflate_raw(kA, 6));
  std::string mid_text = text_of(mid.bytes());
  test::ArchiveBytes top;
  top.add_file("mid.zip", mid_text, 8, test::deflate_raw(mid_text, 6));
  std::string broken = zip_text({{"broken/A", kA}});
  top.add_file("broken.zip", broken, 8, test::deflate_raw(broken, 6)).crc32 ^= 1;
  put("top.zip", top);
  put("other.zip", zip_of({{"A", kA}}));

  std::string broken_line = "zorv: error, inner archive does not decode: top.zip!/broken.zip\n";
  expect_run(run({"--nested", "-c", "top.zip", "other.zip"}), 0,
             block(crc32_of(kA), {"top.zip!/mid.zip, mid/A", "top.zip!/mid.zip!/deep.zip, deep/A",
                                  "other.zip, A"}),
             broken_line);
  // Without -c: the compressed inner archives are named, their members
  // not read, and the plain group stays.
  expect_run(run({"--nested", "top.zip", "other.zip"}), 0, "",
             "zorv: warning, compressed inner archive not read: top.zip!/mid.zip\n"
             "zorv: warning, compressed inner archive not read: top.zip!/broken.zip\n");
  RunResult bounded = test::run_program(
      {ZORV_BIN, "--nested", "-c", "top.zip", "other.zip"}, dir_.path(), 60,
      {{"ZORV_TEST_DECODED_MAX", std::to_string(mid_text.size() + 10)}});
  EXPECT_EQ(bounded.status, 0);
  EXPECT_EQ(bounded.out, block(crc32_of(kA), {"top.zip!/mid.zip, mid/A", "other.zip, A"}));
  EXPECT_EQ(bounded.err,
            "zorv: warning, compressed inner archive not read, over 256 MiB decoded: "
            "top.zip!/mid.zip!/deep.zip\n"
            "zorv: warning, compressed inner archive not read, over 256 MiB decoded: "
            "top.zip!/broken.zip\n");
}

// "***": every entry of the archive, its inner archives' included, has a
// copy outside it. A copy inside the same outer archive covers an inner
// archive's entry, never the outer's.
TEST_F(Nested, ListCoversAnOuterArchiveOnlyByCopiesOutsideIt) {
  std::string old = zip_text({{"X", kA}, {"Y", kB}});
  test::ArchiveBytes backup;
  backup.add_file("old.zip", old);
  put("backup.zip", backup);
  test::ArchiveBytes copy;
  copy.add_file("old.zip", old, 8, test::deflate_raw(old, 6));
  copy.add_file("X", kA);
  copy.add_file("Y", kB);
  put("copy.zip", copy);
  RunResult r = run({"--nested", "-l", "backup.zip", "copy.zip"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "zorv: warning, compressed inner archive not read: copy.zip!/old.zip\n");
  std::string rest;
  EXPECT_EQ(test::parse_report(r.out, &rest).size(), 3u) << r.out;
  EXPECT_EQ(rest,
            "FileListName: backup.zip (Tot 3, Found 3) ***\n"
            "FileListName: backup.zip!/old.zip (Tot 2, Found 2) ***\n"
            "FileListName: copy.zip (Tot 3, Found 3) ***\n");

  std::string inner = zip_text({{"X", kA}});
  test::ArchiveBytes inside;
  inside.add_file("inner.zip", inner);
  inside.add_file("inner2.zip", inner);
  inside.add_file("X", kA);
  put("inside.zip", inside);
  r = run({"--nested", "-l", "inside.zip"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(test::parse_report(r.out, &rest).size(), 2u) << r.out;
  EXPECT_EQ(rest,
            "FileListName: inside.zip (Tot 5, Found 5) \n"
            "FileListName: inside.zip!/inner.zip (Tot 1, Found 1) ***\n"
            "FileListName: inside.zip!/inner2.zip (Tot 1, Found 1) ***\n");
}

// A Spring Boot jar keeps its dependencies stored in BOOT-INF/lib: two
// applications built on one library share the library's entries.
TEST_F(Nested, SpringBootJarsShareTheirLibraries) {
  std::string dep = zip_text({{"org/lib/Util.class", kC}, {"META-INF/MANIFEST.MF", "v1"}}, 8);
  for (const char* app : {"one.jar", "two.jar"}) {
    test::ArchiveBytes jar;
    jar.add_file("BOOT-INF/classes/App.class", std::string(app) + " main");
    jar.add_file("BOOT-INF/lib/dep.jar", dep);
    put(app, jar);
  }
  RunResult r = run({"--known-exts", "--nested", "-s", "one.jar", "two.jar"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  std::vector<test::Group> got = test::parse_report(r.out);
  std::sort(got.begin(), got.end());
  std::vector<test::Group> want{
      {crc32_of(dep), {"one.jar, BOOT-INF/lib/dep.jar", "two.jar, BOOT-INF/lib/dep.jar"}},
      {crc32_of(kC),
       {"one.jar!/BOOT-INF/lib/dep.jar, org/lib/Util.class",
        "two.jar!/BOOT-INF/lib/dep.jar, org/lib/Util.class"}},
      {crc32_of("v1"),
       {"one.jar!/BOOT-INF/lib/dep.jar, META-INF/MANIFEST.MF",
        "two.jar!/BOOT-INF/lib/dep.jar, META-INF/MANIFEST.MF"}}};
  std::sort(want.begin(), want.end());
  EXPECT_EQ(got, want);
}

// What a hostile nesting can try ends with one line each, and everything
// else is read: a member whose bytes reach the outer archive's own end
// record (the archive would hold itself), a second entry on the bytes of
// an inner archive already read and one on a local header inside them, a
// member running past its archive, one with no local header, a member named
// as an archive that is none.
TEST_F(Nested, HostileNestingsEndWithAMessage) {
  std::string inner = zip_text({{"X", kA}});
  test::ArchiveBytes h;
  h.add_file("good.zip", inner);
  std::uint32_t good_at = 0;
  std::uint32_t inner_header_at = 30 + 8;  // good.zip's data: inner's first local header
  h.add("again.zip", 11).local_header_offset = good_at;
  h.headers.back().compressed_size = h.headers.back().uncompressed_size =
      static_cast<std::uint32_t>(inner.size());
  h.add("within.zip", 12).local_header_offset = inner_header_at;
  h.headers.back().compressed_size = h.headers.back().uncompressed_size =
      static_cast<std::uint32_t>(kA.size());
  h.add("far.zip", 13).local_header_offset = good_at;
  h.headers.back().compressed_size = h.headers.back().uncompressed_size = 1u << 30;
  h.add("nowhere.zip", 14).local_header_offset = 3;
  h.headers.back().compressed_size = h.headers.back().uncompressed_size = 100;
  h.add_file("plain.zip", "no archive at all");
  h.add_file("X", kA);
  // Last: a member from its local header to the end of the file, which
  // holds the outer archive's own end record.
  std::size_t self_at = h.prefix.size();
  h.add_file("self.zip", "");
  std::size_t data_at = self_at + 30 + 8;
  std::size_t total = h.bytes().size();
  h.headers.back().compressed_size = h.headers.back().uncompressed_size =
      static_cast<std::uint32_t>(total - data_at);
  ASSERT_EQ(h.bytes().size(), total);
  put("h.zip", h);

  expect_run(run({"--nested", "h.zip"}), 0,
             block(crc32_of(kA), {"h.zip, X", "h.zip!/good.zip, X"}),
             "zorv: error, inner archive overlaps another: h.zip!/again.zip\n"
             "zorv: error, inner archive runs past the end of its archive: h.zip!/far.zip\n"
             "zorv: error, no local header for inner archive: h.zip!/nowhere.zip\n"
             "zorv: error, inner archive overlaps another: h.zip!/within.zip\n"
             "zorv: error reading ECD (End of Central Directory): h.zip!/plain.zip\n"
             "zorv: error, archive contains itself: h.zip!/self.zip\n");
}

// Central entries by the hundred on one compressed stream that is no
// archive: with -c it is decoded (and searched) once, and the rest are
// overlaps, refused before anything is read.
TEST_F(Nested, EntriesOnOneStreamAreTriedOnce) {
  std::string zeros(1 << 20, '\0');
  test::ArchiveBytes b;
  b.add_file("z.zip", zeros, 8, test::deflate_raw(zeros, 9));
  for (int i = 0; i < 2; ++i)
    b.headers.push_back(b.headers.front());
  put("b.zip", b);
  expect_run(run({"--nested", "-c", "b.zip"}), 0, "",
             "zorv: error reading ECD (End of Central Directory): b.zip!/z.zip\n"
             "zorv: error, inner archive overlaps another: b.zip!/z.zip\n"
             "zorv: error, inner archive overlaps another: b.zip!/z.zip\n"
             "zorv: warning, cannot verify b.zip, z.zip: data overlaps another member\n"
             "zorv: warning, cannot verify b.zip, z.zip: data overlaps another member\n"
             "zorv: warning, cannot verify b.zip, z.zip: data overlaps another member\n");
}

// A name that is not UTF-8 comes in archive_path as text and, exactly, in
// archive_path_b64.
TEST_F(Nested, ArchivePathKeepsEveryByte) {
  test::ArchiveBytes o;
  o.add_file("\xff!/\xfe.zip", zip_text({{"X", kA}}));
  o.add_file("X", kA);
  put("o.zip", o);
  RunResult r = run({"--nested", "--format=jsonl", "o.zip"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_NE(r.out.find("\"archive_path\":[\"o.zip\",\"\xef\xbf\xbd!/\xef\xbf\xbd.zip\"],"
                       "\"archive_path_b64\":[\"by56aXA=\",\"/yEv/i56aXA=\"]"),
            std::string::npos)
      << r.out;
}

// One record per archive name: a second member of one name, or a file
// whose path reads as an inner archive's, is refused, not read into the
// first one's record (the report would look for one's entries in the
// other's bytes).
TEST_F(Nested, AnInnerArchiveNameIsReadOnce) {
  test::ArchiveBytes o;
  o.add_file("a.zip", zip_text({{"X", kA}}));
  o.add_file("a.zip", zip_text({{"Y", kB}, {"X", kA}}));
  o.add_file("X", kA);
  put("o.zip", o);
  put("o.zip!/a.zip", zip_of({{"X", kA}}));
  std::string group = block(crc32_of(kA), {"o.zip, X", "o.zip!/a.zip, X"});
  const std::string again = "zorv: error, inner archive name seen before: o.zip!/a.zip\n";
  expect_run(run({"--nested", "o.zip"}), 0, group, again);
  expect_run(run({"--nested", "o.zip", "o.zip!/a.zip"}), 0, group,
             again + "zorv: warning, duplicate file name: o.zip!/a.zip\n\n" + again);
  expect_run(run({"--nested", "o.zip!/a.zip", "o.zip"}), 0,
             block(crc32_of(kA), {"o.zip!/a.zip, X", "o.zip, X"}), again + again);
}

// A thousand levels, each holding the one below and a file every level
// shares: the walk reads NEST_DEPTH_MAX levels below the file, says once
// where it stopped, and reports what it read.
TEST_F(Nested, DepthIsBounded) {
  const std::string shared = "the same at every level";
  std::string level = zip_text({{"same.txt", shared}});
  for (int i = 1; i < 1000; ++i)
    level = zip_text({{"l" + std::to_string(i) + ".zip", level}, {"same.txt", shared}});
  dir_.write("top.zip", test::to_bytes(level));
  std::string deepest = "top.zip";
  std::vector<std::string> members{"top.zip, same.txt"};
  for (int i = 999; i > 999 - 16; --i) {
    deepest += "!/l" + std::to_string(i) + ".zip";
    members.push_back(deepest + ", same.txt");
  }
  expect_run(run({"--nested", "top.zip"}), 0, block(crc32_of(shared), members),
             "zorv: warning, archives nested more than 16 deep not read in: " + deepest + "\n");
}

// With --any-name a stored member of any name is an inner archive when its
// bytes say so; one that is not passes without a word. Members named as
// archives keep their messages.
TEST_F(Nested, AnyNameSniffsStoredMembers) {
  test::ArchiveBytes o;
  o.add_file("payload.bin", zip_text({{"X", kA}}));
  o.add_file("data.bin", std::string(100, 'd') + "PK\5\6");
  o.add_file("named.zip", "not an archive");
  o.add_file("X", kA);
  put("o.zip", o);
  expect_run(run({"--any-name", "--nested", "o.zip"}), 0,
             block(crc32_of(kA), {"o.zip, X", "o.zip!/payload.bin, X"}),
             "zorv: error reading ECD (End of Central Directory): o.zip!/named.zip\n");
  expect_run(run({"--nested", "o.zip"}), 0, "",
             "zorv: error reading ECD (End of Central Directory): o.zip!/named.zip\n");
}

}  // namespace
}  // namespace zorv
