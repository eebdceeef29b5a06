#include "report/revisit.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/files.h"
#include "support/said.h"
#include "support/zip_writer.h"
#include "zip/zipdir.h"

namespace zorv {
namespace {

using test::ArchiveBytes;

struct Batch {
  std::vector<std::string> found;  // "member:name", in the order handed back
  std::vector<RevisitWalk> walks;
  std::vector<std::uint32_t> crc;  // per member: the CRC-32 wanted
  std::size_t room = 1000;         // entries taken before Full
};

RevisitTake take(void* ctx, std::uint32_t member, const RevisitEntry& e) {
  auto* b = static_cast<Batch*>(ctx);
  if (b->crc[member] != e.crc32) return RevisitTake::NotIt;
  if (b->found.size() == b->room) return RevisitTake::Full;
  b->found.push_back(std::to_string(member) + ":" + std::string(e.name, e.name_len));
  return RevisitTake::Taken;
}

void walked(void* ctx, std::size_t, const RevisitWalk& w) {
  static_cast<Batch*>(ctx)->walks.push_back(w);
}

// cd_pos of the k-th entry (0-based) of an archive of one-byte names.
std::uint32_t pos(std::uint32_t k) {
  return (k + 1) * (46 + 1);
}

// One walk per archive, in the order given: members found by position and
// CRC-32, and per archive whether it opened, how far its walk read and
// whether it reached the end. The walk stops after its last place.
TEST(Revisit, BatchHandsBackMembersAndEachArchivesWalk) {
  test::TempDir dir;
  ArchiveBytes x;
  for (const char* name : {"a", "b", "c", "d"})
    x.add(name, 0x10 + static_cast<std::uint32_t>(name[0]));
  ArchiveBytes cut = x;
  cut.headers.back().set_name_len(900);  // "d" runs past the directory
  std::string sound = dir.write("sound.zip", x.bytes());
  std::string damaged = dir.write("damaged.zip", cut.bytes());
  std::string gone = dir / "gone.zip";
  Batch b;
  b.crc = {0x10 + 'b', 0x10 + 'c', 0x99, 0x10 + 'a', 0x10 + 'd', 0x10 + 'a'};
  Place in_sound[] = {place_of(pos(1), 0), place_of(pos(2), 1)};
  Place in_damaged[] = {place_of(pos(0), 2), place_of(pos(0), 3), place_of(pos(3), 4)};
  Place in_gone[] = {place_of(pos(0), 5)};
  RevisitArchive archives[] = {
      {sound.c_str(), in_sound, 2}, {damaged.c_str(), in_damaged, 3}, {gone.c_str(), in_gone, 1}};
  ZipCache cache{};
  test::Said said;
  Revisit* rv = revisit_start(nullptr, &cache, said.diag());
  ASSERT_NE(rv, nullptr);
  EXPECT_EQ(revisit_batch(rv, archives, 3, RevisitCalls{take, walked, nullptr, &b}),
            RevisitEnd::Done);
  EXPECT_EQ(b.found, (std::vector<std::string>{"0:b", "1:c", "3:a"}));  // 2: another CRC-32
  ASSERT_EQ(b.walks.size(), 3u);
  EXPECT_TRUE(b.walks[0].opened);
  EXPECT_EQ(b.walks[0].entries, 3u);  // stopped after "c": not complete
  EXPECT_FALSE(b.walks[0].complete);
  EXPECT_TRUE(b.walks[1].opened);
  EXPECT_EQ(b.walks[1].entries, 3u);  // "d" is damaged
  EXPECT_FALSE(b.walks[1].complete);
  EXPECT_FALSE(b.walks[2].opened);
  EXPECT_EQ(said.lines(), (std::vector<std::string>{
                              "zorv: error, invalid filename length in directory: " + damaged,
                              "zorv: unable to open file: " + gone}));
  EXPECT_EQ(revisit_walks(rv), 3u);

  // No room: the batch stops there, and the archives after it are let go.
  Batch full;
  full.crc = b.crc;
  full.room = 1;
  said.clear();
  EXPECT_EQ(revisit_batch(rv, archives, 3, RevisitCalls{take, walked, nullptr, &full}),
            RevisitEnd::Full);
  EXPECT_EQ(full.found, std::vector<std::string>{"0:b"});
  EXPECT_TRUE(full.walks.empty());
  EXPECT_EQ(said.text(), "");

  RevisitEntry e;
  EXPECT_EQ(revisit_lookup(rv, sound.c_str(), 0x10 + 'c', pos(2), &e), NameLookup::Found);
  EXPECT_EQ(std::string(e.name, e.name_len), "c");
  EXPECT_EQ(revisit_lookup(rv, sound.c_str(), 0x10 + 'c', pos(1), &e), NameLookup::NoMatch);
  EXPECT_EQ(revisit_lookups(rv), 2u);
  revisit_stop(rv);
  zip_cache_release(&cache);
}

}  // namespace
}  // namespace zorv
