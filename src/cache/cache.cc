#include "cache/cache.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

namespace zorv {

namespace {

// "zorv" in the file's header: tells the cache from another program's
// database that a mistyped --cache names.
constexpr int CACHE_APPLICATION_ID = 0x7a6f7276;
constexpr int CACHE_VERSION = 1;

// Waits this long for another run's transaction before giving up writing.
constexpr int BUSY_TIMEOUT_MS = 30000;

// A file whose status changed less than this before its status was read
// may change again within the clock's step (a file system's times are
// taken from a coarse clock) without its times showing it: its members are
// not kept.
constexpr std::int64_t RACY_NS = 1000000000;

// A member looked up counts its archive as seen; the mark is written again
// only when it is older than this, so a warm run writes almost nothing.
constexpr std::int64_t SEEN_STEP_S = 24 * 3600;

// The verdicts kept, by numbers of the file's own: they describe the bytes
// alone. The rest depend on the build (a method it cannot decode, its
// memory bound), on the moment (an unreadable file) or on the other
// members checked with it.
constexpr int KEPT_OK = 1;
constexpr int KEPT_DAMAGED = 2;
constexpr int KEPT_LOCAL_DIFFERS = 3;

const char* const SCHEMA =
    "CREATE TABLE archive("
    "  id INTEGER PRIMARY KEY,"
    "  name BLOB NOT NULL,"
    "  span_base INTEGER NOT NULL,"
    "  file BLOB,"  // the file's path, where it is not the name (an inner archive)
    "  dev INTEGER NOT NULL, ino INTEGER NOT NULL, size INTEGER NOT NULL,"
    "  mtime_ns INTEGER NOT NULL, ctime_ns INTEGER NOT NULL,"
    "  seen INTEGER NOT NULL,"
    "  UNIQUE(name, span_base));"
    "CREATE INDEX archive_seen ON archive(seen);"
    "CREATE TABLE member("
    "  archive INTEGER NOT NULL,"
    "  local_offset INTEGER NOT NULL,"
    "  method INTEGER NOT NULL, compressed_size INTEGER NOT NULL, size INTEGER NOT NULL,"
    "  crc32 INTEGER NOT NULL,"
    "  verdict INTEGER NOT NULL, detail INTEGER NOT NULL, digest BLOB NOT NULL,"
    "  row_check INTEGER NOT NULL,"  // a CRC-32 of the row: a damaged page is a miss
    "  PRIMARY KEY(archive, local_offset)) WITHOUT ROWID;";

enum Stmt {
  FIND_ARCHIVE,
  FIND_MEMBER,
  INSERT_ARCHIVE,
  RESET_ARCHIVE,
  DROP_MEMBERS,
  INSERT_MEMBER,
  MARK_SEEN,
  STMT_COUNT
};

const char* const STMT_TEXT[STMT_COUNT] = {
    "SELECT id, dev, ino, size, mtime_ns, ctime_ns, seen FROM archive"
    " WHERE name = ?1 AND span_base = ?2",
    "SELECT method, compressed_size, size, crc32, verdict, detail, digest, row_check"
    " FROM member WHERE archive = ?1 AND local_offset = ?2",
    "INSERT INTO archive(name, span_base, file, dev, ino, size, mtime_ns, ctime_ns, seen)"
    " VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)",
    "UPDATE archive SET file = ?3, dev = ?4, ino = ?5, size = ?6, mtime_ns = ?7, ctime_ns = ?8,"
    " seen = ?9 WHERE id = ?1",
    "DELETE FROM member WHERE archive = ?1",
    "INSERT OR REPLACE INTO member VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)",
    "UPDATE archive SET seen = ?2 WHERE id = ?1",
};

std::int64_t clock_ns() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return std::int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

std::int64_t as_i64(std::uint64_t v) {
  std::int64_t s;
  std::memcpy(&s, &v, sizeof s);
  return s;
}

bool same_file(const CacheFile& a, const CacheFile& b) {
  return a.dev == b.dev && a.ino == b.ino && a.size == b.size && a.mtime_ns == b.mtime_ns &&
         a.ctime_ns == b.ctime_ns;
}

}  // namespace

struct ContentCache {
  sqlite3* db;
  sqlite3_stmt* stmt[STMT_COUNT];
  std::int64_t now_s;
  std::int64_t bytes_max;
  bool broken;        // nothing more is asked of the file
  bool write_broken;  // nothing more is written to it
  bool in_batch;
  std::string why;
  std::string cwd;  // with a slash: relative paths are kept as absolute ones
  CacheCounts counts;
  // Archives looked up whose mark of being seen is old: marked at commit.
  std::vector<std::int64_t> seen;
};

namespace {

// Stops using the cache (`writing`: stops writing to it) for the reason
// SQLite gives for `rc`; the first reason is the one kept.
void fail(ContentCache* c, int rc, bool writing) {
  if (c->why.empty()) {
    const char* msg = c->db != nullptr ? sqlite3_errmsg(c->db) : nullptr;
    c->why = msg != nullptr && std::strcmp(msg, "not an error") != 0 ? msg : sqlite3_errstr(rc);
    // "disk I/O error" alone does not tell a full disk from a bad one.
    int err = c->db != nullptr ? sqlite3_system_errno(c->db) : 0;
    if (err != 0) c->why += std::string(" (") + std::strerror(err) + ")";
  }
  bool damaged = rc == SQLITE_CORRUPT || rc == SQLITE_NOTADB;
  if (writing && !damaged) {
    c->write_broken = true;
  } else {
    c->broken = c->write_broken = true;
  }
  if (c->in_batch) {
    sqlite3_exec(c->db, "ROLLBACK", nullptr, nullptr, nullptr);
    c->in_batch = false;
  }
}

bool exec(ContentCache* c, const char* sql, bool writing) {
  int rc = sqlite3_exec(c->db, sql, nullptr, nullptr, nullptr);
  if (rc == SQLITE_OK) return true;
  fail(c, rc, writing);
  return false;
}

// Runs a statement whose bindings are set; true when it ran to its end (or
// gave a row, when `row`).
bool step(ContentCache* c, Stmt s, bool writing, bool* row = nullptr) {
  sqlite3_stmt* st = c->stmt[s];
  int rc = sqlite3_step(st);
  if (row != nullptr) *row = rc == SQLITE_ROW;
  if (rc == SQLITE_ROW && row != nullptr) return true;
  sqlite3_reset(st);
  if (rc == SQLITE_DONE) return true;
  fail(c, rc, writing);
  return false;
}

void done(ContentCache* c, Stmt s) {
  sqlite3_reset(c->stmt[s]);
  sqlite3_clear_bindings(c->stmt[s]);
}

// Why `path` (or its journal beside it) must not be opened, or null.
const char* refusal(const struct stat& st) {
  if (S_ISLNK(st.st_mode)) return "is a symbolic link";
  if (!S_ISREG(st.st_mode)) return "not a regular file";
  if (st.st_uid != geteuid()) return "owned by another user";
  return nullptr;
}

// Makes every missing directory of `dir`, each private.
bool make_dirs(const std::string& dir, std::string* why) {
  for (std::size_t at = 1; at <= dir.size(); ++at) {
    if (at < dir.size() && dir[at] != '/') continue;
    std::string part = dir.substr(0, at);
    if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
      *why = std::strerror(errno);
      return false;
    }
  }
  return true;
}

// Creates the file when missing, private from the start; refuses a path
// that is a link, not a file, or another user's, and the same for the
// journals SQLite keeps beside it.
bool take_file(const std::string& path, std::string* why) {
  for (const char* suffix : {"", "-wal", "-shm"}) {
    std::string p = path + suffix;
    struct stat st;
    if (lstat(p.c_str(), &st) == 0) {
      if (const char* no = refusal(st)) {
        *why = *suffix != '\0' ? std::string("its ") + (suffix + 1) + " file " + no : no;
        return false;
      }
      continue;
    }
    if (errno != ENOENT) {
      *why = std::strerror(errno);
      return false;
    }
    if (*suffix != '\0') continue;
    int fd = open(p.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0 && errno != EEXIST) {
      *why = std::strerror(errno);
      return false;
    }
    if (fd >= 0) close(fd);
    if (fd < 0) return take_file(path, why);  // made by another run meanwhile
  }
  return true;
}

// A new file gets the schema; one that has it is checked for whose and
// which version it is. Another run may be making it at the same moment:
// the schema is written under the write lock, after looking again.
bool take_schema(ContentCache* c) {
  for (int pass = 0; pass < 2; ++pass) {
    sqlite3_stmt* st = nullptr;
    int rc = sqlite3_prepare_v2(c->db,
                                "SELECT (SELECT application_id FROM pragma_application_id),"
                                " (SELECT user_version FROM pragma_user_version),"
                                " (SELECT count(*) FROM sqlite_master)",
                                -1, &st, nullptr);
    if (rc == SQLITE_OK) rc = sqlite3_step(st);
    if (rc != SQLITE_ROW) {
      sqlite3_finalize(st);
      fail(c, rc, false);
      if (pass == 1) exec(c, "ROLLBACK", true);
      return false;
    }
    int app = sqlite3_column_int(st, 0);
    int version = sqlite3_column_int(st, 1);
    int objects = sqlite3_column_int(st, 2);
    sqlite3_finalize(st);
    bool fresh = app == 0 && version == 0 && objects == 0;
    if (!fresh) {
      if (pass == 1) exec(c, "COMMIT", true);
      if (app != CACHE_APPLICATION_ID) c->why = "not a zorv cache";
      if (app == CACHE_APPLICATION_ID && version > CACHE_VERSION) c->why = "made by a newer zorv";
      if (app == CACHE_APPLICATION_ID && version < CACHE_VERSION) c->why = "made by an older zorv";
      return c->why.empty();
    }
    if (pass == 1) break;
    // Both before the first table: the file then gives freed pages back,
    // and readers never wait for the writer.
    if (!exec(c, "PRAGMA auto_vacuum = INCREMENTAL", true) ||
        !exec(c, "PRAGMA journal_mode = WAL", true) || !exec(c, "BEGIN IMMEDIATE", true))
      return false;
  }
  char header[96];
  std::snprintf(header, sizeof header, "PRAGMA application_id = %d; PRAGMA user_version = %d;",
                CACHE_APPLICATION_ID, CACHE_VERSION);
  if (!exec(c, SCHEMA, true) || !exec(c, header, true) || !exec(c, "COMMIT", true)) {
    sqlite3_exec(c->db, "ROLLBACK", nullptr, nullptr, nullptr);
    return false;
  }
  return true;
}

bool prepare_all(ContentCache* c) {
  for (int s = 0; s < STMT_COUNT; ++s) {
    int rc = sqlite3_prepare_v3(c->db, STMT_TEXT[s], -1, SQLITE_PREPARE_PERSISTENT, &c->stmt[s],
                                nullptr);
    if (rc != SQLITE_OK) {
      fail(c, rc, false);
      return false;
    }
  }
  return true;
}

void release(ContentCache* c) {
  for (sqlite3_stmt* st : c->stmt)
    sqlite3_finalize(st);
  sqlite3_close(c->db);
  delete c;
}

}  // namespace

namespace {

// Opens the file and takes its schema; false (c->why says why) when it is
// not a cache to use.
bool connect(ContentCache* c, const std::string& path, bool read_only) {
  int flags = SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_NOMUTEX;
  std::string name = path;
  if (read_only) {
    // Nothing can change a file on a read-only file system: SQLite then
    // needs no shared memory beside it.
    name = "file:";
    for (char ch : path) {
      if (ch == '%' || ch == '?' || ch == '#') {
        char esc[4];
        std::snprintf(esc, sizeof esc, "%%%02X", static_cast<unsigned char>(ch));
        name += esc;
      } else {
        name += ch;
      }
    }
    name += "?immutable=1";
    flags |= SQLITE_OPEN_READONLY | SQLITE_OPEN_URI;
  } else {
    flags |= SQLITE_OPEN_READWRITE;
  }
  int rc = sqlite3_open_v2(name.c_str(), &c->db, flags, nullptr);
  if (rc != SQLITE_OK) {
    fail(c, rc, false);
    return false;
  }
  sqlite3_busy_timeout(c->db, BUSY_TIMEOUT_MS);
  // In WAL mode a crash loses at most the last transaction, never the
  // file's consistency.
  if (!read_only) exec(c, "PRAGMA synchronous = NORMAL", false);
  return take_schema(c) && prepare_all(c);
}

}  // namespace

std::string cache_default_path() {
  const char* xdg = std::getenv("XDG_CACHE_HOME");
  if (xdg != nullptr && xdg[0] == '/') return std::string(xdg) + "/zorv/cache.sqlite";
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return std::string(home) + "/.cache/zorv/cache.sqlite";
  return std::string();
}

ContentCache* cache_open(const std::string& path, bool make_dir, std::string* why,
                         std::int64_t bytes_max) {
  std::size_t slash = path.rfind('/');
  if (make_dir && slash != std::string::npos && slash > 0 && !make_dirs(path.substr(0, slash), why))
    return nullptr;
  if (!take_file(path, why)) return nullptr;
  auto* c = new ContentCache{};
  c->now_s = clock_ns() / 1000000000;
  c->bytes_max = bytes_max;
  if (char* cwd = getcwd(nullptr, 0)) {
    c->cwd = std::string(cwd) + "/";
    std::free(cwd);
  }
  if (!connect(c, path, false) && access(path.c_str(), W_OK) != 0 && errno == EROFS) {
    // On a read-only file system SQLite cannot make the shared memory a
    // writer needs; read-only, it answers look-ups without it.
    sqlite3_close(c->db);
    c->db = nullptr;
    c->why.clear();
    c->broken = c->write_broken = false;
    if (connect(c, path, true)) {
      c->why = "file system is read-only";
      c->write_broken = true;
      return c;
    }
  }
  if (!c->why.empty()) {
    *why = c->why;
    release(c);
    return nullptr;
  }
  return c;
}

bool cache_stat(const char* path, CacheFile* f) {
  f->taken_ns = clock_ns();
  struct stat st;
  if (stat(path, &st) != 0) return false;
  f->dev = st.st_dev;
  f->ino = st.st_ino;
  f->size = st.st_size;
  f->mtime_ns = std::int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec;
  f->ctime_ns = std::int64_t{st.st_ctim.tv_sec} * 1000000000 + st.st_ctim.tv_nsec;
  return true;
}

namespace {

// The path a run from any directory would name the file by.
std::string absolute(const ContentCache* c, const char* path) {
  return path[0] == '/' ? std::string(path) : c->cwd + path;
}

// The archive's row: its id, and whether it describes the file as it is
// now (*current); false when there is none (or the cache failed).
bool find_archive(ContentCache* c, const CacheArchive& a, std::int64_t* id, bool* current,
                  std::int64_t* seen, bool writing) {
  sqlite3_stmt* st = c->stmt[FIND_ARCHIVE];
  std::string name = absolute(c, a.name);
  sqlite3_bind_blob(st, 1, name.data(), static_cast<int>(name.size()), SQLITE_STATIC);
  sqlite3_bind_int64(st, 2, a.span_base);
  bool row = false;
  if (!step(c, FIND_ARCHIVE, writing, &row) || !row) {
    done(c, FIND_ARCHIVE);
    return false;
  }
  *id = sqlite3_column_int64(st, 0);
  CacheFile held{static_cast<std::uint64_t>(sqlite3_column_int64(st, 1)),
                 static_cast<std::uint64_t>(sqlite3_column_int64(st, 2)),
                 sqlite3_column_int64(st, 3),
                 sqlite3_column_int64(st, 4),
                 sqlite3_column_int64(st, 5),
                 0};
  *seen = sqlite3_column_int64(st, 6);
  *current = same_file(held, a.file);
  done(c, FIND_ARCHIVE);
  return true;
}

// The CRC-32 of a member's row, key and outcome, as it is written.
std::int64_t row_check(const VerifyItem& item, int verdict, std::uint32_t detail,
                       const unsigned char* digest) {
  std::uint64_t fields[6] = {item.local_offset,  item.method, item.compressed_size, item.size,
                             item.crc32, (std::uint64_t{detail} << 8) | static_cast<unsigned>(verdict)};
  uLong crc = crc32(0, reinterpret_cast<const Bytef*>(fields), sizeof fields);
  return static_cast<std::int64_t>(crc32(crc, digest, 32));
}

int kept_verdict(Verdict v) {
  switch (v) {
    case Verdict::Ok:
      return KEPT_OK;
    case Verdict::Damaged:
      return KEPT_DAMAGED;
    case Verdict::LocalDiffers:
      return KEPT_LOCAL_DIFFERS;
    default:
      return 0;
  }
}

// The outcome of a member's row, when the row is the one for `item` and
// whole.
bool take_member(sqlite3_stmt* st, const VerifyItem& item, VerifyOutcome* out) {
  const void* digest = sqlite3_column_blob(st, 6);
  if (digest == nullptr || sqlite3_column_bytes(st, 6) != 32) return false;
  if (sqlite3_column_int64(st, 0) != item.method ||
      sqlite3_column_int64(st, 1) != as_i64(item.compressed_size) ||
      sqlite3_column_int64(st, 2) != as_i64(item.size) || sqlite3_column_int64(st, 3) != item.crc32)
    return false;
  int verdict = sqlite3_column_int(st, 4);
  auto detail = static_cast<std::uint32_t>(sqlite3_column_int64(st, 5));
  if (sqlite3_column_int64(st, 7) !=
      row_check(item, verdict, detail, static_cast<const unsigned char*>(digest)))
    return false;
  switch (verdict) {
    case KEPT_OK:
      out->verdict = Verdict::Ok;
      break;
    case KEPT_DAMAGED:
      out->verdict = Verdict::Damaged;
      break;
    case KEPT_LOCAL_DIFFERS:
      out->verdict = Verdict::LocalDiffers;
      break;
    default:
      return false;
  }
  out->detail = detail;
  std::memcpy(out->digest, digest, 32);
  return true;
}

}  // namespace

std::size_t cache_look_up(ContentCache* c, const CacheArchive& a, const VerifyItem* items,
                          std::size_t n, VerifyOutcome* out, bool* found) {
  if (c == nullptr || c->broken) return 0;
  std::int64_t id = 0;
  std::int64_t seen = 0;
  bool current = false;
  if (!find_archive(c, a, &id, &current, &seen, false) || !current) return 0;
  if (seen + SEEN_STEP_S <= c->now_s) c->seen.push_back(id);
  std::size_t hits = 0;
  sqlite3_stmt* st = c->stmt[FIND_MEMBER];
  for (std::size_t i = 0; i < n && !c->broken; ++i) {
    sqlite3_bind_int64(st, 1, id);
    sqlite3_bind_int64(st, 2, as_i64(items[i].local_offset));
    bool row = false;
    if (!step(c, FIND_MEMBER, false, &row)) break;
    if (row && take_member(st, items[i], &out[i])) {
      found[i] = true;
      ++hits;
    }
    done(c, FIND_MEMBER);
  }
  c->counts.hits += hits;
  return hits;
}

namespace {

bool begin_batch(ContentCache* c) {
  if (c->in_batch) return true;
  if (!exec(c, "BEGIN IMMEDIATE", true)) return false;
  c->in_batch = true;
  return true;
}

void bind_file(ContentCache* c, sqlite3_stmt* st, const CacheArchive& a) {
  if (std::strcmp(a.name, a.file_path) != 0) {
    std::string file = absolute(c, a.file_path);
    sqlite3_bind_blob(st, 3, file.data(), static_cast<int>(file.size()), SQLITE_TRANSIENT);
  }
  sqlite3_bind_int64(st, 4, as_i64(a.file.dev));
  sqlite3_bind_int64(st, 5, as_i64(a.file.ino));
  sqlite3_bind_int64(st, 6, a.file.size);
  sqlite3_bind_int64(st, 7, a.file.mtime_ns);
  sqlite3_bind_int64(st, 8, a.file.ctime_ns);
  sqlite3_bind_int64(st, 9, c->now_s);
}

// The id of the archive's row for the file as it is now: the row made
// anew, or emptied of an earlier state's members.
bool archive_row(ContentCache* c, const CacheArchive& a, std::int64_t* id) {
  bool current = false;
  std::int64_t seen = 0;
  if (find_archive(c, a, id, &current, &seen, true)) {
    if (current) return true;
    sqlite3_bind_int64(c->stmt[DROP_MEMBERS], 1, *id);
    bool ok = step(c, DROP_MEMBERS, true);
    done(c, DROP_MEMBERS);
    if (!ok) return false;
    sqlite3_stmt* st = c->stmt[RESET_ARCHIVE];
    sqlite3_bind_int64(st, 1, *id);
    bind_file(c, st, a);
    ok = step(c, RESET_ARCHIVE, true);
    done(c, RESET_ARCHIVE);
    return ok;
  }
  if (c->write_broken) return false;
  sqlite3_stmt* st = c->stmt[INSERT_ARCHIVE];
  std::string name = absolute(c, a.name);
  sqlite3_bind_blob(st, 1, name.data(), static_cast<int>(name.size()), SQLITE_STATIC);
  sqlite3_bind_int64(st, 2, a.span_base);
  bind_file(c, st, a);
  bool ok = step(c, INSERT_ARCHIVE, true);
  done(c, INSERT_ARCHIVE);
  *id = sqlite3_last_insert_rowid(c->db);
  return ok;
}

bool store_member(ContentCache* c, std::int64_t id, const VerifyItem& item,
                  const VerifyOutcome& o) {
  int verdict = kept_verdict(o.verdict);
  if (verdict == 0) return true;
  sqlite3_stmt* st = c->stmt[INSERT_MEMBER];
  sqlite3_bind_int64(st, 1, id);
  sqlite3_bind_int64(st, 2, as_i64(item.local_offset));
  sqlite3_bind_int64(st, 3, item.method);
  sqlite3_bind_int64(st, 4, as_i64(item.compressed_size));
  sqlite3_bind_int64(st, 5, as_i64(item.size));
  sqlite3_bind_int64(st, 6, item.crc32);
  sqlite3_bind_int64(st, 7, verdict);
  sqlite3_bind_int64(st, 8, o.detail);
  sqlite3_bind_blob(st, 9, o.digest, 32, SQLITE_STATIC);
  sqlite3_bind_int64(st, 10, row_check(item, verdict, o.detail, o.digest));
  bool ok = step(c, INSERT_MEMBER, true);
  done(c, INSERT_MEMBER);
  if (ok) ++c->counts.stored;
  return ok;
}

}  // namespace

void cache_store(ContentCache* c, const CacheArchive& a, const VerifyItem* items,
                 const VerifyOutcome* outcomes, std::size_t n) {
  if (c == nullptr || c->write_broken || n == 0) return;
  CacheFile now;
  if (!cache_stat(a.file_path, &now) || !same_file(now, a.file) ||
      a.file.ctime_ns > a.file.taken_ns - RACY_NS) {
    return;
  }
  std::int64_t id = 0;
  if (!begin_batch(c) || !archive_row(c, a, &id)) return;
  for (std::size_t i = 0; i < n; ++i)
    if (!store_member(c, id, items[i], outcomes[i])) return;
}

void cache_commit(ContentCache* c) {
  if (c == nullptr || c->write_broken) return;
  if (!c->seen.empty()) {
    if (!begin_batch(c)) return;
    for (std::int64_t id : c->seen) {
      sqlite3_bind_int64(c->stmt[MARK_SEEN], 1, id);
      sqlite3_bind_int64(c->stmt[MARK_SEEN], 2, c->now_s);
      bool ok = step(c, MARK_SEEN, true);
      done(c, MARK_SEEN);
      if (!ok) return;
    }
    c->seen.clear();
  }
  if (c->in_batch && exec(c, "COMMIT", true)) c->in_batch = false;
}

namespace {

std::int64_t pragma_value(ContentCache* c, const char* sql) {
  sqlite3_stmt* st = nullptr;
  std::int64_t v = -1;
  if (sqlite3_prepare_v2(c->db, sql, -1, &st, nullptr) == SQLITE_OK &&
      sqlite3_step(st) == SQLITE_ROW) {
    v = sqlite3_column_int64(st, 0);
  }
  sqlite3_finalize(st);
  return v;
}

// The bytes of the pages that hold something.
std::int64_t used_bytes(ContentCache* c) {
  std::int64_t pages = pragma_value(c, "PRAGMA page_count");
  std::int64_t free_pages = pragma_value(c, "PRAGMA freelist_count");
  std::int64_t page = pragma_value(c, "PRAGMA page_size");
  return pages < 0 || free_pages < 0 || page < 0 ? -1 : (pages - free_pages) * page;
}

// Drops the oldest-seen half of the archives while the file is over its
// bound.
void hold_bound(ContentCache* c) {
  for (int round = 0; round < 64 && !c->write_broken && used_bytes(c) > c->bytes_max;
       ++round) {
    if (!begin_batch(c) || !exec(c,
                                 "CREATE TEMP TABLE IF NOT EXISTS dropped(id INTEGER PRIMARY KEY);"
                                 "DELETE FROM dropped;"
                                 "INSERT INTO dropped SELECT id FROM archive ORDER BY seen, id"
                                 "  LIMIT (SELECT (count(*) + 1) / 2 FROM archive);"
                                 "DELETE FROM member WHERE archive IN dropped;"
                                 "DELETE FROM archive WHERE id IN dropped;",
                                 true)) {
      return;
    }
    cache_commit(c);
  }
  exec(c, "PRAGMA incremental_vacuum", true);
}

}  // namespace

std::string cache_close(ContentCache* c, bool* wrote) {
  if (c == nullptr) return std::string();
  cache_commit(c);
  if (!c->write_broken) hold_bound(c);
  std::string why = c->why;
  *wrote = !c->broken;
  release(c);
  return why;
}

bool cache_prune(ContentCache* c, std::string* why) {
  char sql[512];
  std::snprintf(sql, sizeof sql,
                "CREATE TEMP TABLE IF NOT EXISTS dropped(id INTEGER PRIMARY KEY);"
                "DELETE FROM dropped;"
                "INSERT INTO dropped SELECT id FROM archive WHERE seen < %lld;",
                static_cast<long long>(c->now_s - CACHE_PRUNE_AGE_S));
  bool ok = !c->write_broken && begin_batch(c) && exec(c, sql, true);
  // Archives whose file is gone.
  sqlite3_stmt* st = nullptr;
  if (ok && sqlite3_prepare_v2(c->db, "SELECT id, coalesce(file, name) FROM archive", -1, &st,
                               nullptr) == SQLITE_OK) {
    std::vector<std::int64_t> gone;
    while (sqlite3_step(st) == SQLITE_ROW) {
      std::string path(static_cast<const char*>(sqlite3_column_blob(st, 1)),
                       static_cast<std::size_t>(sqlite3_column_bytes(st, 1)));
      struct stat s;
      if (stat(path.c_str(), &s) != 0 && (errno == ENOENT || errno == ENOTDIR))
        gone.push_back(sqlite3_column_int64(st, 0));
    }
    sqlite3_finalize(st);
    for (std::int64_t id : gone) {
      std::snprintf(sql, sizeof sql, "INSERT OR IGNORE INTO dropped VALUES(%lld)",
                    static_cast<long long>(id));
      if (!(ok = exec(c, sql, true))) break;
    }
  }
  ok = ok && exec(c,
                  "DELETE FROM member WHERE archive IN dropped;"
                  "DELETE FROM archive WHERE id IN dropped;",
                  true);
  if (ok) cache_commit(c);
  ok = ok && !c->write_broken && exec(c, "PRAGMA incremental_vacuum", true);
  if (!ok) *why = c->why;
  return ok;
}

CacheCounts cache_counts(const ContentCache* c) {
  return c != nullptr ? c->counts : CacheCounts{};
}

}  // namespace zorv
