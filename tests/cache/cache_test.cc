// The content cache on real SQLite files: which changes make a member read
// again, what it keeps, what it refuses to open, its bound and its pruning.
#include "cache/cache.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "support/files.h"

namespace zorv {
namespace {

using test::TempDir;

constexpr std::int64_t SECOND = 1000000000;

VerifyOutcome outcome(Verdict v, unsigned char fill) {
  VerifyOutcome o{v, 0, {}};
  std::memset(o.digest, fill, sizeof o.digest);
  return o;
}

class ContentCacheTest : public testing::Test {
 protected:
  // An archive file as a run finds it, its status read two seconds after
  // its last change: its members may be kept.
  CacheArchive archive(const std::string& rel) {
    names_.push_back(dir_.write(rel, test::Bytes(100, 'z')));
    CacheArchive a{names_.back().c_str(), names_.back().c_str(), 0, {}};
    EXPECT_TRUE(cache_stat(a.file_path, &a.file));
    a.file.taken_ns = a.file.ctime_ns + 2 * SECOND;
    return a;
  }

  ContentCache* open(std::int64_t bytes_max = CACHE_BYTES_MAX) {
    std::string why;
    ContentCache* c = cache_open(db_, false, &why, bytes_max);
    EXPECT_NE(c, nullptr) << why;
    return c;
  }

  void close(ContentCache* c) {
    bool wrote = false;
    EXPECT_EQ(cache_close(c, &wrote), "");
  }

  void store(const CacheArchive& a, const std::vector<VerifyItem>& items,
             const std::vector<VerifyOutcome>& outcomes) {
    ContentCache* c = open();
    cache_store(c, a, items.data(), outcomes.data(), items.size());
    cache_commit(c);
    close(c);
  }

  // Which of `items` a new run finds, and their outcomes.
  std::vector<bool> look_up(const CacheArchive& a, const std::vector<VerifyItem>& items,
                            std::vector<VerifyOutcome>* out = nullptr) {
    ContentCache* c = open();
    std::vector<VerifyOutcome> outcomes(items.size());
    bool found[64] = {};
    std::size_t hits = cache_look_up(c, a, items.data(), items.size(), outcomes.data(), found);
    close(c);
    if (out != nullptr) *out = outcomes;
    std::vector<bool> r(found, found + items.size());
    EXPECT_EQ(hits, static_cast<std::size_t>(std::count(r.begin(), r.end(), true)));
    return r;
  }

  // Keeps `bytes` as the directory image of archive `a` in a run of its own.
  void keep(const CacheArchive& a, const std::string& bytes) {
    ContentCache* c = open();
    std::vector<unsigned char> image(bytes.begin(), bytes.end());
    cache_keep_image(c, a.file_path, a.file, &image);
    close(c);
  }

  // The image a new run finds for archive `a`, or "none".
  std::string find(const CacheArchive& a) {
    ContentCache* c = open();
    std::vector<unsigned char> image;
    bool found = cache_find_image(c, a.file_path, a.file, &image);
    close(c);
    return found ? std::string(image.begin(), image.end()) : "none";
  }

  std::int64_t count(const std::string& query) {
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open(db_.c_str(), &db), SQLITE_OK);
    sqlite3_stmt* st = nullptr;
    std::int64_t n = -1;
    if (sqlite3_prepare_v2(db, query.c_str(), -1, &st, nullptr) == SQLITE_OK &&
        sqlite3_step(st) == SQLITE_ROW) {
      n = sqlite3_column_int64(st, 0);
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return n;
  }

  void sql(const std::string& text) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(db_.c_str(), &db), SQLITE_OK);
    char* err = nullptr;
    EXPECT_EQ(sqlite3_exec(db, text.c_str(), nullptr, nullptr, &err), SQLITE_OK) << err;
    sqlite3_free(err);
    sqlite3_close(db);
  }

  TempDir dir_;
  std::string db_ = dir_ / "cache.sqlite";
  std::deque<std::string> names_;  // where the archives' names point
};

const VerifyItem ITEM{4096, 700, 1000, 0xc0ffee, 8, 0};

TEST_F(ContentCacheTest, EachKeyFieldChangedAloneIsReadAgain) {
  CacheArchive a = archive("a.zip");
  VerifyOutcome ok = outcome(Verdict::Ok, 0x5a);
  store(a, {ITEM}, {ok});
  std::vector<VerifyOutcome> got;
  ASSERT_EQ(look_up(a, {ITEM}, &got), std::vector<bool>{true});
  EXPECT_EQ(std::memcmp(got[0].digest, ok.digest, 32), 0);

  std::string other = dir_ / "b.zip";
  std::vector<std::function<void(CacheArchive&)>> archive_changes = {
      [](CacheArchive& x) { ++x.file.dev; },
      [](CacheArchive& x) { ++x.file.ino; },
      [](CacheArchive& x) { ++x.file.size; },
      [](CacheArchive& x) { ++x.file.mtime_ns; },
      [](CacheArchive& x) { ++x.file.ctime_ns; },
      [](CacheArchive& x) { x.span_base = 1; },
      [&other](CacheArchive& x) { x.name = other.c_str(); },
  };
  for (std::size_t k = 0; k < archive_changes.size(); ++k) {
    CacheArchive changed = a;
    archive_changes[k](changed);
    EXPECT_EQ(look_up(changed, {ITEM}), std::vector<bool>{false}) << "archive change " << k;
  }
  std::vector<std::function<void(VerifyItem&)>> item_changes = {
      [](VerifyItem& x) { ++x.local_offset; }, [](VerifyItem& x) { ++x.compressed_size; },
      [](VerifyItem& x) { ++x.size; },         [](VerifyItem& x) { x.crc32 ^= 1; },
      [](VerifyItem& x) { x.method = 0; },     [](VerifyItem& x) { x.flags ^= 1; },
  };
  // One file, however a run names it.
  std::string dotted = dir_.path() + "/./" + std::string(".//") + "a.zip";
  CacheArchive same = a;
  same.name = same.file_path = dotted.c_str();
  EXPECT_EQ(look_up(same, {ITEM}), std::vector<bool>{true});
  for (std::size_t k = 0; k < item_changes.size(); ++k) {
    VerifyItem changed = ITEM;
    item_changes[k](changed);
    EXPECT_EQ(look_up(a, {changed}), std::vector<bool>{false}) << "member change " << k;
  }
  // A later state of the archive replaces what was kept for the earlier.
  CacheArchive later = a;
  ++later.file.mtime_ns;
  CacheArchive saved = a;
  EXPECT_EQ(utimensat(AT_FDCWD, a.file_path, nullptr, 0), 0);
  ASSERT_TRUE(cache_stat(a.file_path, &later.file));
  later.file.taken_ns = later.file.ctime_ns + 2 * SECOND;
  store(later, {ITEM}, {outcome(Verdict::Ok, 0x77)});
  EXPECT_EQ(look_up(later, {ITEM}, &got), std::vector<bool>{true});
  EXPECT_EQ(got[0].digest[0], 0x77);
  EXPECT_EQ(look_up(saved, {ITEM}), std::vector<bool>{false});
}

TEST_F(ContentCacheTest, KeepsOnlyWhatTheBytesAloneDecide) {
  CacheArchive a = archive("a.zip");
  std::vector<Verdict> verdicts = {Verdict::Ok,          Verdict::Damaged,   Verdict::LocalDiffers,
                                   Verdict::Unreadable,  Verdict::Encrypted, Verdict::Unsupported,
                                   Verdict::NeedsMemory, Verdict::Overlaps};
  std::vector<VerifyItem> items;
  std::vector<VerifyOutcome> outcomes;
  for (std::size_t k = 0; k < verdicts.size(); ++k) {
    VerifyItem it = ITEM;
    it.local_offset = 1000 * k;
    items.push_back(it);
    outcomes.push_back(outcome(verdicts[k], static_cast<unsigned char>(k)));
  }
  store(a, items, outcomes);
  std::vector<VerifyOutcome> got;
  EXPECT_EQ(look_up(a, items, &got),
            (std::vector<bool>{true, true, true, false, false, false, false, false}));
  for (std::size_t k = 0; k < 3; ++k)
    EXPECT_EQ(got[k].verdict, verdicts[k]);
}

TEST_F(ContentCacheTest, AFileChangedJustBeforeOrWhileItWasReadIsNotTakenBack) {
  CacheArchive a = archive("a.zip");
  CacheArchive just_now = a;
  just_now.file.taken_ns = a.file.ctime_ns + SECOND / 2;
  store(just_now, {ITEM}, {outcome(Verdict::Ok, 1)});
  EXPECT_EQ(look_up(a, {ITEM}), std::vector<bool>{false});
  // Written while its members were read, with its size and times put back:
  // its status-change time moves on, and the outcome read is not taken back.
  struct stat st;
  ASSERT_EQ(stat(a.file_path, &st), 0);
  usleep(20 * 1000);
  dir_.write("a.zip", test::Bytes(100, 'y'));
  struct timespec times[2] = {st.st_atim, st.st_mtim};
  ASSERT_EQ(utimensat(AT_FDCWD, a.file_path, times, 0), 0);
  store(a, {ITEM}, {outcome(Verdict::Ok, 1)});
  CacheArchive later = a;
  ASSERT_TRUE(cache_stat(a.file_path, &later.file));
  EXPECT_EQ(later.file.mtime_ns, a.file.mtime_ns);
  EXPECT_EQ(look_up(later, {ITEM}), std::vector<bool>{false});
  EXPECT_EQ(look_up(a, {ITEM}), std::vector<bool>{true});
}

TEST_F(ContentCacheTest, ADamagedRowIsReadAgainNotBelieved) {
  CacheArchive a = archive("a.zip");
  CacheArchive b = archive("b.zip");
  VerifyItem second = ITEM;
  second.local_offset = 9000;
  store(a, {ITEM, second}, {outcome(Verdict::Ok, 1), outcome(Verdict::Ok, 2)});
  store(b, {ITEM}, {outcome(Verdict::Ok, 1)});
  // One bit of a digest flipped, the blob's length and everything else kept.
  sql("UPDATE archive SET members = substr(members, 1, 40) || x'ff' || substr(members, 42)"
      " WHERE CAST(name AS TEXT) LIKE '%a.zip'");
  EXPECT_EQ(look_up(a, {ITEM, second}), (std::vector<bool>{false, false}));
  EXPECT_EQ(look_up(b, {ITEM}), std::vector<bool>{true});
  // Read again, kept again.
  store(a, {ITEM}, {outcome(Verdict::Ok, 1)});
  EXPECT_EQ(look_up(a, {ITEM, second}), (std::vector<bool>{true, false}));
}

TEST_F(ContentCacheTest, RefusesWhatIsNotItsOwnPrivateFile) {
  std::string why;
  std::string made = dir_ / "new/zorv/cache.sqlite";
  ContentCache* c = cache_open(made, true, &why);
  ASSERT_NE(c, nullptr) << why;
  close(c);
  struct stat st;
  ASSERT_EQ(stat(made.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  ASSERT_EQ(stat((dir_ / "new/zorv").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);

  // A linked directory on the way (a linked ~/.cache) is no refusal.
  dir_.mkdir("real");
  ASSERT_EQ(symlink((dir_ / "real").c_str(), (dir_ / "linked").c_str()), 0);
  c = cache_open(dir_ / "linked/zorv/cache.sqlite", true, &why);
  EXPECT_NE(c, nullptr) << why;
  if (c != nullptr) close(c);
  EXPECT_EQ(stat((dir_ / "real/zorv/cache.sqlite").c_str(), &st), 0);

  auto refused = [&why](const std::string& path) {
    why.clear();
    ContentCache* c = cache_open(path, false, &why);
    EXPECT_EQ(c, nullptr) << path;
    if (c != nullptr) {
      bool wrote = false;
      cache_close(c, &wrote);
    }
    return why;
  };
  ASSERT_EQ(symlink(made.c_str(), (dir_ / "link.sqlite").c_str()), 0);
  EXPECT_EQ(refused(dir_ / "link.sqlite"), "is a symbolic link");
  EXPECT_EQ(refused(dir_.mkdir("a-dir")), "not a regular file");
  ASSERT_EQ(symlink(made.c_str(), (dir_ / "j.sqlite-wal").c_str()), 0);
  EXPECT_EQ(refused(dir_ / "j.sqlite"), "its wal file is a symbolic link");
  dir_.write("junk.sqlite", test::Bytes(5000, 'j'));
  EXPECT_EQ(refused(dir_ / "junk.sqlite"), "file is not a database");
  sql("CREATE TABLE t(x)");  // db_: someone else's database
  EXPECT_EQ(refused(db_), "not a zorv cache");
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(made.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "PRAGMA user_version = 3", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  EXPECT_EQ(refused(made), "made by a newer zorv");
  if (geteuid() == 0) {
    std::string theirs = dir_ / "theirs.sqlite";
    dir_.write("theirs.sqlite", {});
    ASSERT_EQ(chown(theirs.c_str(), 4242, 4242), 0);
    EXPECT_EQ(refused(theirs), "owned by another user");
  }
}

// A directory image is found only while the file's status is the one it
// was kept with; a racy file's is not kept, a damaged one is not believed,
// a newer one replaces the old. A cache of the first version gains images
// and keeps its members.
TEST_F(ContentCacheTest, ImagesAreFoundOnlyForTheFileAsItWas) {
  CacheArchive a = archive("a.zip");
  ContentCache* c = open();
  EXPECT_FALSE(cache_has_images(c));
  std::vector<unsigned char> image{'i', 'm', 'g'};
  cache_keep_image(c, a.file_path, a.file, &image);
  EXPECT_TRUE(cache_has_images(c));  // before it is written
  close(c);
  EXPECT_EQ(find(a), "img");
  c = open();
  EXPECT_TRUE(cache_has_images(c));
  close(c);
  std::vector<std::function<void(CacheArchive&)>> changes = {
      [](CacheArchive& x) { ++x.file.dev; },      [](CacheArchive& x) { ++x.file.ino; },
      [](CacheArchive& x) { ++x.file.size; },     [](CacheArchive& x) { ++x.file.mtime_ns; },
      [](CacheArchive& x) { ++x.file.ctime_ns; },
  };
  for (std::size_t k = 0; k < changes.size(); ++k) {
    CacheArchive changed = a;
    changes[k](changed);
    EXPECT_EQ(find(changed), "none") << k;
  }
  CacheArchive newer = a;
  newer.file.ctime_ns += SECOND;
  newer.file.taken_ns += SECOND;
  keep(newer, "new");
  EXPECT_EQ(find(newer), "new");
  EXPECT_EQ(find(a), "none");

  CacheArchive racy = archive("racy.zip");
  racy.file.taken_ns = racy.file.ctime_ns + SECOND / 2;
  keep(racy, "racy");
  racy.file.taken_ns += SECOND;
  EXPECT_EQ(find(racy), "none");

  sql("UPDATE image SET bytes = CAST('nex' AS BLOB)");  // its check no longer matches
  EXPECT_EQ(find(newer), "none");

  store(a, {ITEM}, {outcome(Verdict::Ok, 1)});
  sql("DROP TABLE image; PRAGMA user_version = 1");
  EXPECT_EQ(look_up(a, {ITEM}), std::vector<bool>{true});
  keep(a, "again");
  EXPECT_EQ(find(a), "again");
  EXPECT_EQ(count("PRAGMA user_version"), 2);
}

TEST_F(ContentCacheTest, StaysWithinItsBoundDroppingTheOldestFirst) {
  constexpr std::int64_t BOUND = 96 << 10;
  std::vector<CacheArchive> archives;
  std::vector<VerifyItem> items(50, ITEM);
  for (std::size_t k = 0; k < items.size(); ++k)
    items[k].local_offset = k * 100;
  std::vector<VerifyOutcome> outcomes(50, outcome(Verdict::Ok, 3));
  for (int n = 0; n < 40; ++n) {
    archives.push_back(archive("a" + std::to_string(n) + ".zip"));
    ContentCache* c = open(BOUND);
    cache_store(c, archives.back(), items.data(), outcomes.data(), items.size());
    close(c);
  }
  struct stat st;
  ASSERT_EQ(stat(db_.c_str(), &st), 0);
  EXPECT_LE(st.st_size, BOUND);
  EXPECT_EQ(look_up(archives.back(), {items[7]}), std::vector<bool>{true});
  EXPECT_EQ(look_up(archives.front(), {items[7]}), std::vector<bool>{false});
}

// Over its bound the cache gives up directory images before any member's
// outcome: a directory is cheaper to read again.
TEST_F(ContentCacheTest, OverItsBoundImagesGoFirst) {
  constexpr std::int64_t BOUND = 256 << 10;
  CacheArchive a = archive("a.zip");
  store(a, {ITEM}, {outcome(Verdict::Ok, 4)});
  std::string why;
  ContentCache* c = cache_open(db_, false, &why, BOUND);
  ASSERT_NE(c, nullptr) << why;
  std::vector<CacheArchive> images;
  for (int n = 0; n < 12; ++n) {
    images.push_back(archive("i" + std::to_string(n) + ".zip"));
    std::vector<unsigned char> image(40 << 10, static_cast<unsigned char>(n));
    cache_keep_image(c, images.back().file_path, images.back().file, &image);
  }
  close(c);
  std::int64_t kept = count("SELECT count(*) FROM image");
  EXPECT_GT(kept, 0);
  EXPECT_LT(kept, 12);
  EXPECT_LE(count("SELECT (SELECT page_count FROM pragma_page_count) -"
                  " (SELECT freelist_count FROM pragma_freelist_count)") *
                count("PRAGMA page_size"),
            BOUND);
  EXPECT_EQ(look_up(a, {ITEM}), std::vector<bool>{true});
  EXPECT_EQ(find(images.back()), std::string(40 << 10, '\x0b'));
}

TEST_F(ContentCacheTest, PruneDropsTheLongUnseenAndTheGone) {
  CacheArchive seen = archive("seen.zip");
  CacheArchive unseen = archive("unseen.zip");
  CacheArchive gone = archive("gone.zip");
  for (const CacheArchive* a : {&seen, &unseen, &gone}) {
    store(*a, {ITEM}, {outcome(Verdict::Ok, 9)});
    keep(*a, "image");
  }
  for (const char* table : {"archive", "image"}) {
    sql(std::string("UPDATE ") + table +
        " SET seen = seen - 31 * 86400 WHERE CAST(name AS TEXT) LIKE '%unseen.zip'");
  }
  ASSERT_EQ(unlink(gone.file_path), 0);
  ContentCache* c = open();
  std::string why;
  EXPECT_TRUE(cache_prune(c, &why)) << why;
  close(c);
  EXPECT_EQ(look_up(seen, {ITEM}), std::vector<bool>{true});
  EXPECT_EQ(look_up(unseen, {ITEM}), std::vector<bool>{false});
  EXPECT_EQ(find(seen), "image");
  EXPECT_EQ(count("SELECT count(*) FROM image"), 1);
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(db_.c_str(), &db), SQLITE_OK);
  sqlite3_stmt* st = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db,
                               "SELECT (SELECT count(*) FROM archive),"
                               " (SELECT sum(entries) FROM archive)",
                               -1, &st, nullptr),
            SQLITE_OK);
  ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
  EXPECT_EQ(sqlite3_column_int(st, 0), 1);
  EXPECT_EQ(sqlite3_column_int(st, 1), 1);
  sqlite3_finalize(st);
  sqlite3_close(db);
}

}  // namespace
}  // namespace zorv
