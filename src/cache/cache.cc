#include "cache/cache.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <iterator>
#include <mutex>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

namespace zorv {

namespace {

// "zorv" in the file's header: tells the cache from another program's
// database that a mistyped --cache names.
constexpr int CACHE_APPLICATION_ID = 0x7a6f7276;
constexpr int CACHE_VERSION = 2;  // 1: no directory images

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

// One row per archive: the file's status it was read in, and the outcomes
// of its members packed in one blob (PACKED bytes each, by local header
// offset). A warm run asks one question per archive, not one per member.
const char* const SCHEMA =
    "CREATE TABLE archive("
    "  id INTEGER PRIMARY KEY,"
    "  name BLOB NOT NULL,"
    "  span_base INTEGER NOT NULL,"
    "  file BLOB,"  // the file's path, where it is not the name (an inner archive)
    "  dev INTEGER NOT NULL, ino INTEGER NOT NULL, size INTEGER NOT NULL,"
    "  mtime_ns INTEGER NOT NULL, ctime_ns INTEGER NOT NULL,"
    "  seen INTEGER NOT NULL,"
    "  entries INTEGER NOT NULL,"  // members in the blob
    "  members BLOB NOT NULL,"
    "  members_check INTEGER NOT NULL,"  // the blob's CRC-32: a damaged page is a miss
    "  UNIQUE(name, span_base));"
    "CREATE INDEX archive_seen ON archive(seen);";

// One row per file whose directory image is kept: its status then, and
// the image (checked by its CRC-32 like the members).
const char* const IMAGE_SCHEMA =
    "CREATE TABLE image("
    "  id INTEGER PRIMARY KEY,"
    "  name BLOB NOT NULL UNIQUE,"
    "  dev INTEGER NOT NULL, ino INTEGER NOT NULL, size INTEGER NOT NULL,"
    "  mtime_ns INTEGER NOT NULL, ctime_ns INTEGER NOT NULL,"
    "  seen INTEGER NOT NULL,"
    "  bytes BLOB NOT NULL,"
    "  bytes_check INTEGER NOT NULL);"
    "CREATE INDEX image_seen ON image(seen);";

// Images waiting are written once they take this much.
constexpr std::size_t IMAGES_WAITING_MAX = std::size_t{8} << 20;

// The images' statements last: a first version's file read-only has none.
enum Stmt {
  FIND_ARCHIVE,
  INSERT_ARCHIVE,
  UPDATE_ARCHIVE,
  MARK_SEEN,
  FIND_IMAGE,
  PUT_IMAGE,
  MARK_IMAGE_SEEN,
  STMT_COUNT
};

const char* const STMT_TEXT[STMT_COUNT] = {
    "SELECT id, dev, ino, size, mtime_ns, ctime_ns, seen, members, members_check FROM archive"
    " WHERE name = ?1 AND span_base = ?2",
    "INSERT INTO archive(name, span_base, file, dev, ino, size, mtime_ns, ctime_ns, seen,"
    " entries, members, members_check) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12)",
    "UPDATE archive SET file = ?3, dev = ?4, ino = ?5, size = ?6, mtime_ns = ?7, ctime_ns = ?8,"
    " seen = ?9, entries = ?10, members = ?11, members_check = ?12 WHERE id = ?1",
    "UPDATE archive SET seen = ?2 WHERE id = ?1",
    "SELECT id, dev, ino, size, mtime_ns, ctime_ns, seen, bytes, bytes_check FROM image"
    " WHERE name = ?1",
    "INSERT OR REPLACE INTO image(name, dev, ino, size, mtime_ns, ctime_ns, seen, bytes,"
    " bytes_check) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)",
    "UPDATE image SET seen = ?2 WHERE id = ?1",
};

// A member's outcome as the blob holds it, little-endian: local header
// offset, compressed size, size (8 bytes each), CRC-32, detail (4 each),
// method (2), verdict (1: the Verdict's value, so reordering Verdict needs
// a new CACHE_VERSION), digest (32), general purpose flags (2).
constexpr std::size_t PACKED = 8 + 8 + 8 + 4 + 4 + 2 + 1 + 32 + 2;

struct Kept {
  VerifyItem item;
  VerifyOutcome outcome;
};

// A directory image handed over and not written yet.
struct Waiting {
  std::string name;
  CacheFile file;
  std::vector<unsigned char> bytes;
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

// Whether the file's status changed so shortly before it was read that a
// change within the clock's step could hide.
bool racy(const CacheFile& f) {
  return f.ctime_ns > f.taken_ns - RACY_NS;
}

// The file's status a row holds: dev, ino, size, mtime_ns, ctime_ns in the
// columns after its id.
CacheFile held_file(sqlite3_stmt* st) {
  return CacheFile{static_cast<std::uint64_t>(sqlite3_column_int64(st, 1)),
                   static_cast<std::uint64_t>(sqlite3_column_int64(st, 2)),
                   sqlite3_column_int64(st, 3),
                   sqlite3_column_int64(st, 4),
                   sqlite3_column_int64(st, 5),
                   0};
}

// Binds the file's status as held_file reads it back, from parameter `at` on.
void bind_file(sqlite3_stmt* st, int at, const CacheFile& f) {
  sqlite3_bind_int64(st, at, as_i64(f.dev));
  sqlite3_bind_int64(st, at + 1, as_i64(f.ino));
  sqlite3_bind_int64(st, at + 2, f.size);
  sqlite3_bind_int64(st, at + 3, f.mtime_ns);
  sqlite3_bind_int64(st, at + 4, f.ctime_ns);
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
  // Archives looked up whose mark of being seen is old: marked at commit.
  std::vector<std::int64_t> seen;
  std::vector<std::int64_t> images_seen;  // the same for images
  bool has_images;
  bool no_images;  // a first version's file, read-only: it has no table for them
  std::vector<Waiting> waiting;  // images kept and not written yet
  std::size_t waiting_bytes;
  std::mutex lock;  // the threads' opens find and keep images
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
bool take_file(const std::string& path, std::string* why, bool* created) {
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
    if (fd < 0) return take_file(path, why, created);  // made by another run meanwhile
    *created = true;
  }
  return true;
}

// What the file's header and catalogue say: whose it is, which version,
// how many tables and indexes. False (c->why) when they cannot be read.
bool read_header(ContentCache* c, int* app, int* version, int* objects) {
  sqlite3_stmt* st = nullptr;
  int rc = sqlite3_prepare_v2(c->db,
                              "SELECT (SELECT application_id FROM pragma_application_id),"
                              " (SELECT user_version FROM pragma_user_version),"
                              " (SELECT count(*) FROM sqlite_master)",
                              -1, &st, nullptr);
  if (rc == SQLITE_OK) rc = sqlite3_step(st);
  if (rc == SQLITE_ROW) {
    *app = sqlite3_column_int(st, 0);
    *version = sqlite3_column_int(st, 1);
    *objects = sqlite3_column_int(st, 2);
  }
  sqlite3_finalize(st);
  if (rc != SQLITE_ROW) fail(c, rc, false);
  return rc == SQLITE_ROW;
}

// Runs `sqls` in one transaction: all of them or none.
bool exec_whole(ContentCache* c, std::initializer_list<const char*> sqls) {
  if (!exec(c, "BEGIN IMMEDIATE", true)) return false;
  for (const char* sql : sqls) {
    if (!exec(c, sql, true)) {
      sqlite3_exec(c->db, "ROLLBACK", nullptr, nullptr, nullptr);
      return false;
    }
  }
  if (exec(c, "COMMIT", true)) return true;
  sqlite3_exec(c->db, "ROLLBACK", nullptr, nullptr, nullptr);
  return false;
}

// Writes the schema into an empty file.
bool make_schema(ContentCache* c) {
  char header[96];
  std::snprintf(header, sizeof header, "PRAGMA application_id = %d; PRAGMA user_version = %d;",
                CACHE_APPLICATION_ID, CACHE_VERSION);
  // Both before the first table: the file then gives freed pages back,
  // and readers never wait for the writer.
  return exec(c, "PRAGMA auto_vacuum = INCREMENTAL", true) &&
         exec(c, "PRAGMA journal_mode = WAL", true) &&
         exec_whole(c, {SCHEMA, IMAGE_SCHEMA, header});
}

// Holds an exclusive flock(2) on the file while alive: runs that find it
// empty make its schema one at a time (SQLite's own locks do not cover
// the change of journal mode), the others then find it made. SQLite locks
// with fcntl(2), which flock(2) does not touch.
struct MakerLock {
  int fd;
  explicit MakerLock(const std::string& path)
      : fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC)) {
    if (fd >= 0) flock(fd, LOCK_EX);
  }
  ~MakerLock() {
    if (fd >= 0) close(fd);
  }
  MakerLock(const MakerLock&) = delete;
  MakerLock& operator=(const MakerLock&) = delete;
};

// A first version's file gains the table of images; what it holds stays.
bool add_images(ContentCache* c) {
  char header[48];
  std::snprintf(header, sizeof header, "PRAGMA user_version = %d;", CACHE_VERSION);
  return exec_whole(c, {IMAGE_SCHEMA, header});
}

// A new file gets the schema, a first version's file its images; one that
// has the schema is checked for whose and which version it is.
bool take_schema(ContentCache* c, const std::string& path, bool read_only) {
  int app = 0;
  int version = 0;
  int objects = 0;
  if (!read_header(c, &app, &version, &objects)) return false;
  bool first = app == CACHE_APPLICATION_ID && version == 1 && !read_only;
  if ((app == 0 && version == 0 && objects == 0) || first) {
    MakerLock lock(path);
    if (!read_header(c, &app, &version, &objects)) return false;  // another run may have made it
    if (app == 0 && version == 0 && objects == 0) return make_schema(c);
    if (app == CACHE_APPLICATION_ID && version == 1) {
      if (!add_images(c)) return false;
      version = CACHE_VERSION;
    }
  }
  // A first version's file that cannot be changed still answers look-ups:
  // it has every table but the images'.
  if (app == CACHE_APPLICATION_ID && version == 1 && read_only) {
    c->no_images = true;
    version = CACHE_VERSION;
  }
  if (app != CACHE_APPLICATION_ID) c->why = "not a zorv cache";
  if (app == CACHE_APPLICATION_ID && version > CACHE_VERSION) c->why = "made by a newer zorv";
  if (app == CACHE_APPLICATION_ID && version < CACHE_VERSION) c->why = "made by an older zorv";
  return c->why.empty();
}

bool prepare_all(ContentCache* c) {
  for (int s = 0; s < (c->no_images ? FIND_IMAGE : STMT_COUNT); ++s) {
    int rc = sqlite3_prepare_v3(c->db, STMT_TEXT[s], -1, SQLITE_PREPARE_PERSISTENT, &c->stmt[s],
                                nullptr);
    if (rc != SQLITE_OK) {
      fail(c, rc, false);
      return false;
    }
  }
  return true;
}

// The one value `sql` gives, or -1.
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

// Whether the file holds any image yet.
bool count_images(ContentCache* c) {
  if (c->no_images) return true;
  std::int64_t v = pragma_value(c, "SELECT EXISTS(SELECT 1 FROM image)");
  if (v < 0) c->why = sqlite3_errmsg(c->db);
  c->has_images = v > 0;
  return v >= 0;
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
  return take_schema(c, path, read_only) && prepare_all(c) && count_images(c);
}

}  // namespace

std::string cache_default_path() {
  const char* xdg = std::getenv("XDG_CACHE_HOME");
  if (xdg != nullptr && xdg[0] == '/') return std::string(xdg) + "/zorv/cache.sqlite";
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return std::string(home) + "/.cache/zorv/cache.sqlite";
  return std::string();
}

namespace {

// Opens the file at its resolved path (see cache_open).
ContentCache* open_resolved(const std::string& path, std::int64_t bytes_max, std::string* why) {
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

}  // namespace

ContentCache* cache_open(const std::string& path, bool make_dir, std::string* why,
                         std::int64_t bytes_max) {
  std::size_t slash = path.rfind('/');
  if (make_dir && slash != std::string::npos && slash > 0 && !make_dirs(path.substr(0, slash), why))
    return nullptr;
  // The directory as it really is: SQLite refuses a link anywhere on the
  // path, and a linked ~/.cache is common. The file itself is never a link.
  std::string resolved = path;
  std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  if (char* real = realpath(dir.c_str(), nullptr)) {
    resolved = std::string(real) + "/" + path.substr(slash == std::string::npos ? 0 : slash + 1);
    std::free(real);
  }
  bool created = false;
  if (!take_file(resolved, why, &created)) return nullptr;
  ContentCache* c = open_resolved(resolved, bytes_max, why);
  if (c == nullptr && created) unlink(resolved.c_str());  // leave nothing of a cache never used
  return c;
}

bool cache_same_file(const CacheFile& a, const CacheFile& b) {
  return a.dev == b.dev && a.ino == b.ino && a.size == b.size && a.mtime_ns == b.mtime_ns &&
         a.ctime_ns == b.ctime_ns;
}

CacheFile cache_file_of(const struct stat& st, std::int64_t taken_ns) {
  return CacheFile{st.st_dev,
                   st.st_ino,
                   st.st_size,
                   std::int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec,
                   std::int64_t{st.st_ctim.tv_sec} * 1000000000 + st.st_ctim.tv_nsec,
                   taken_ns};
}

bool cache_stat(const char* path, CacheFile* f) {
  std::int64_t taken = clock_ns();
  struct stat st;
  if (stat(path, &st) != 0) return false;
  *f = cache_file_of(st, taken);
  return true;
}

void cache_stat_all(const char* const* paths, CacheFile* files, bool* ok, std::size_t n,
                    unsigned threads) {
  std::atomic<std::size_t> next{0};
  auto work = [&] {
    for (std::size_t i; (i = next.fetch_add(1)) < n;)
      ok[i] = cache_stat(paths[i], &files[i]);
  };
  // A thread for every 16 files at most: on a local disk a status is
  // cheaper than a thread.
  std::size_t helpers = std::min<std::size_t>(threads > 0 ? threads - 1 : 0, n / 16);
  std::vector<std::thread> pool;
  for (std::size_t t = 0; t < helpers; ++t) {
    try {
      pool.emplace_back(work);
    } catch (const std::system_error&) {
      break;  // the calling thread does the rest
    }
  }
  work();
  for (std::thread& t : pool)
    t.join();
}

namespace {

// The path a run from any directory would name the file by: absolute,
// without "." components or repeated slashes.
std::string absolute(const ContentCache* c, const char* path) {
  std::string whole = path[0] == '/' ? std::string(path) : c->cwd + path;
  std::string out;
  out.reserve(whole.size());
  for (std::size_t i = 0; i < whole.size();) {
    std::size_t end = whole.find('/', i);
    if (end == std::string::npos) end = whole.size();
    std::string_view part(whole.data() + i, end - i);
    if (!part.empty() && part != ".") {
      out += '/';
      out += part;
    }
    i = end + 1;
  }
  return out.empty() ? "/" : out;
}

void put_le(unsigned char* p, std::uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i)
    p[i] = static_cast<unsigned char>(v >> (8 * i));
}

std::uint64_t get_le(const unsigned char* p, int bytes) {
  std::uint64_t v = 0;
  for (int i = bytes; i-- > 0;)
    v = v << 8 | p[i];
  return v;
}

void pack(const Kept& k, unsigned char* p) {
  put_le(p, k.item.local_offset, 8);
  put_le(p + 8, k.item.compressed_size, 8);
  put_le(p + 16, k.item.size, 8);
  put_le(p + 24, k.item.crc32, 4);
  put_le(p + 28, k.outcome.detail, 4);
  put_le(p + 32, k.item.method, 2);
  p[34] = static_cast<unsigned char>(k.outcome.verdict);
  std::memcpy(p + 35, k.outcome.digest, 32);
  put_le(p + 67, k.item.flags, 2);
}

Kept unpack(const unsigned char* p) {
  Kept k{};
  k.item.local_offset = get_le(p, 8);
  k.item.compressed_size = get_le(p + 8, 8);
  k.item.size = get_le(p + 16, 8);
  k.item.crc32 = static_cast<std::uint32_t>(get_le(p + 24, 4));
  k.outcome.detail = static_cast<std::uint32_t>(get_le(p + 28, 4));
  k.item.method = static_cast<std::uint16_t>(get_le(p + 32, 2));
  k.outcome.verdict = static_cast<Verdict>(p[34]);
  std::memcpy(k.outcome.digest, p + 35, 32);
  k.item.flags = static_cast<std::uint16_t>(get_le(p + 67, 2));
  return k;
}

// The outcomes kept are those the member's bytes alone decide. The rest
// depend on the build (a method it cannot decode, its memory bound), on
// the moment (an unreadable file) or on the other members checked with it.
bool worth_keeping(Verdict v) {
  return v == Verdict::Ok || v == Verdict::Damaged || v == Verdict::LocalDiffers;
}

std::int64_t blob_check(const unsigned char* p, std::size_t len) {
  return static_cast<std::int64_t>(crc32(0, p, static_cast<uInt>(len)));
}

// An archive's row as found: its id, whether it describes the file as it
// is now, when it was last seen and its members (sorted by offset).
struct Row {
  std::int64_t id;
  bool current;
  std::int64_t seen;
  std::vector<Kept> members;
};

// The archive's row; false when there is none (or the cache failed). A
// blob that is damaged holds no members.
bool find_archive(ContentCache* c, const CacheArchive& a, Row* row, bool writing) {
  sqlite3_stmt* st = c->stmt[FIND_ARCHIVE];
  std::string name = absolute(c, a.name);
  sqlite3_bind_blob(st, 1, name.data(), static_cast<int>(name.size()), SQLITE_STATIC);
  sqlite3_bind_int64(st, 2, a.span_base);
  bool found = false;
  if (!step(c, FIND_ARCHIVE, writing, &found) || !found) {
    done(c, FIND_ARCHIVE);
    return false;
  }
  row->id = sqlite3_column_int64(st, 0);
  CacheFile held = held_file(st);
  row->seen = sqlite3_column_int64(st, 6);
  row->current = cache_same_file(held, a.file);
  auto* blob = static_cast<const unsigned char*>(sqlite3_column_blob(st, 7));
  auto len = static_cast<std::size_t>(sqlite3_column_bytes(st, 7));
  row->members.clear();
  if (row->current && len % PACKED == 0 &&
      (len == 0 || (blob != nullptr && blob_check(blob, len) == sqlite3_column_int64(st, 8)))) {
    for (std::size_t at = 0; at < len; at += PACKED)
      row->members.push_back(unpack(blob + at));
  }
  done(c, FIND_ARCHIVE);
  return true;
}

bool by_offset(const Kept& a, const Kept& b) {
  return a.item.local_offset < b.item.local_offset;
}

// The kept outcome for `item`: its offset found, and every other key equal.
const Kept* kept_for(const std::vector<Kept>& members, const VerifyItem& item) {
  Kept probe{};
  probe.item.local_offset = item.local_offset;
  auto it = std::lower_bound(members.begin(), members.end(), probe, by_offset);
  if (it == members.end() || it->item.local_offset != item.local_offset) return nullptr;
  const VerifyItem& k = it->item;
  bool same = k.compressed_size == item.compressed_size && k.size == item.size &&
              k.crc32 == item.crc32 && k.method == item.method && k.flags == item.flags;
  return same && worth_keeping(it->outcome.verdict) ? &*it : nullptr;
}

}  // namespace

std::size_t cache_look_up(ContentCache* c, const CacheArchive& a, const VerifyItem* items,
                          std::size_t n, VerifyOutcome* out, bool* found) {
  if (c == nullptr) return 0;
  std::lock_guard<std::mutex> hold(c->lock);
  if (c->broken) return 0;
  Row row;
  if (!find_archive(c, a, &row, false) || !row.current) return 0;
  if (row.seen + SEEN_STEP_S <= c->now_s) c->seen.push_back(row.id);
  std::size_t hits = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const Kept* k = kept_for(row.members, items[i]);
    if (k == nullptr) continue;
    out[i] = k->outcome;
    found[i] = true;
    ++hits;
  }
  return hits;
}

namespace {

bool begin_batch(ContentCache* c) {
  if (c->in_batch) return true;
  if (!exec(c, "BEGIN IMMEDIATE", true)) return false;
  c->in_batch = true;
  return true;
}

// Writes the archive's row anew: its file's status and `members`.
bool write_row(ContentCache* c, const CacheArchive& a, const Row* row,
               const std::vector<Kept>& members) {
  std::vector<unsigned char> blob(members.size() * PACKED);
  for (std::size_t i = 0; i < members.size(); ++i)
    pack(members[i], blob.data() + i * PACKED);
  Stmt s = row != nullptr ? UPDATE_ARCHIVE : INSERT_ARCHIVE;
  sqlite3_stmt* st = c->stmt[s];
  std::string name = absolute(c, a.name);
  if (row != nullptr) {
    sqlite3_bind_int64(st, 1, row->id);
  } else {
    sqlite3_bind_blob(st, 1, name.data(), static_cast<int>(name.size()), SQLITE_STATIC);
    sqlite3_bind_int64(st, 2, a.span_base);
  }
  std::string file = absolute(c, a.file_path);
  if (std::strcmp(a.name, a.file_path) != 0)
    sqlite3_bind_blob(st, 3, file.data(), static_cast<int>(file.size()), SQLITE_STATIC);
  bind_file(st, 4, a.file);
  sqlite3_bind_int64(st, 9, c->now_s);
  sqlite3_bind_int64(st, 10, static_cast<std::int64_t>(members.size()));
  sqlite3_bind_blob(st, 11, blob.data(), static_cast<int>(blob.size()), SQLITE_STATIC);
  sqlite3_bind_int64(st, 12, blob_check(blob.data(), blob.size()));
  bool ok = step(c, s, true);
  done(c, s);
  return ok;
}

}  // namespace

void cache_store(ContentCache* c, const CacheArchive& a, const VerifyItem* items,
                 const VerifyOutcome* outcomes, std::size_t n) {
  if (c == nullptr) return;
  std::lock_guard<std::mutex> hold(c->lock);
  if (c->write_broken || n == 0 || racy(a.file)) return;
  if (!begin_batch(c)) return;
  // Another run may have written the row since the look-up: read it again.
  Row row;
  bool exists = find_archive(c, a, &row, true);
  if (c->write_broken) return;
  std::vector<Kept> fresh;
  for (std::size_t i = 0; i < n; ++i)
    if (worth_keeping(outcomes[i].verdict)) fresh.push_back(Kept{items[i], outcomes[i]});
  // The new outcomes replace the old at the same offsets.
  std::stable_sort(fresh.begin(), fresh.end(), by_offset);
  std::vector<Kept> merged;
  std::merge(fresh.begin(), fresh.end(), row.members.begin(), row.members.end(),
             std::back_inserter(merged), by_offset);
  std::vector<Kept> members;
  for (const Kept& k : merged)
    if (members.empty() || members.back().item.local_offset != k.item.local_offset)
      members.push_back(k);
  write_row(c, a, exists ? &row : nullptr, members);
}

namespace {

// Marks the rows `ids` as seen by this run.
bool mark_seen(ContentCache* c, Stmt s, std::vector<std::int64_t>* ids) {
  if (ids->empty()) return true;
  if (!begin_batch(c)) return false;
  for (std::int64_t id : *ids) {
    sqlite3_bind_int64(c->stmt[s], 1, id);
    sqlite3_bind_int64(c->stmt[s], 2, c->now_s);
    bool ok = step(c, s, true);
    done(c, s);
    if (!ok) return false;
  }
  ids->clear();
  return true;
}

void drop_waiting(ContentCache* c) {
  c->waiting.clear();
  c->waiting_bytes = 0;
}

// Writes the images waiting; after a failure they are dropped, never to be
// written.
bool write_images(ContentCache* c) {
  if (c->waiting.empty()) return true;
  if (!begin_batch(c)) return false;
  sqlite3_stmt* st = c->stmt[PUT_IMAGE];
  for (const Waiting& w : c->waiting) {
    sqlite3_bind_blob(st, 1, w.name.data(), static_cast<int>(w.name.size()), SQLITE_STATIC);
    bind_file(st, 2, w.file);
    sqlite3_bind_int64(st, 7, c->now_s);
    sqlite3_bind_blob(st, 8, w.bytes.data(), static_cast<int>(w.bytes.size()), SQLITE_STATIC);
    sqlite3_bind_int64(st, 9, blob_check(w.bytes.data(), w.bytes.size()));
    bool ok = step(c, PUT_IMAGE, true);
    done(c, PUT_IMAGE);
    if (!ok) break;
  }
  drop_waiting(c);
  return !c->write_broken;
}

void commit(ContentCache* c) {
  if (c->write_broken) {
    drop_waiting(c);
    return;
  }
  if (!mark_seen(c, MARK_SEEN, &c->seen) || !mark_seen(c, MARK_IMAGE_SEEN, &c->images_seen) ||
      !write_images(c)) {
    return;
  }
  if (c->in_batch && exec(c, "COMMIT", true)) c->in_batch = false;
}

}  // namespace

void cache_commit(ContentCache* c) {
  if (c == nullptr) return;
  std::lock_guard<std::mutex> hold(c->lock);
  commit(c);
}

bool cache_has_images(ContentCache* c) {
  if (c == nullptr) return false;
  std::lock_guard<std::mutex> hold(c->lock);
  return !c->broken && c->has_images;
}

bool cache_find_image(ContentCache* c, const char* path, const CacheFile& f,
                      std::vector<unsigned char>* image) {
  if (c == nullptr) return false;
  std::lock_guard<std::mutex> hold(c->lock);
  if (c->broken || c->no_images) return false;
  sqlite3_stmt* st = c->stmt[FIND_IMAGE];
  std::string name = absolute(c, path);
  sqlite3_bind_blob(st, 1, name.data(), static_cast<int>(name.size()), SQLITE_STATIC);
  bool found = false;
  if (!step(c, FIND_IMAGE, false, &found) || !found) {
    done(c, FIND_IMAGE);
    return false;
  }
  CacheFile held = held_file(st);
  auto* blob = static_cast<const unsigned char*>(sqlite3_column_blob(st, 7));
  auto len = static_cast<std::size_t>(sqlite3_column_bytes(st, 7));
  bool usable = cache_same_file(held, f) && blob != nullptr &&
                blob_check(blob, len) == sqlite3_column_int64(st, 8);
  if (usable) {
    try {
      image->assign(blob, blob + len);
      if (sqlite3_column_int64(st, 6) + SEEN_STEP_S <= c->now_s)
        c->images_seen.push_back(sqlite3_column_int64(st, 0));
    } catch (const std::bad_alloc&) {
      usable = false;  // the file is opened instead
    }
  }
  done(c, FIND_IMAGE);
  return usable;
}

bool cache_would_keep_image(ContentCache* c, const CacheFile& f) {
  if (c == nullptr) return false;
  std::lock_guard<std::mutex> hold(c->lock);
  return !c->write_broken && !racy(f);
}

void cache_keep_image(ContentCache* c, const char* path, const CacheFile& f,
                      std::vector<unsigned char>* image) {
  if (c == nullptr) return;
  std::lock_guard<std::mutex> hold(c->lock);
  if (c->write_broken || racy(f) || image->size() > INT32_MAX) return;
  try {
    c->waiting.push_back(Waiting{absolute(c, path), f, std::move(*image)});
  } catch (const std::bad_alloc&) {
    return;  // not kept: the next run opens it
  }
  c->has_images = true;
  c->waiting_bytes += c->waiting.back().bytes.size();
  if (c->waiting_bytes < IMAGES_WAITING_MAX) return;
  // Written now, in the batch under way or in one of their own.
  bool own = !c->in_batch;
  if (write_images(c) && own && exec(c, "COMMIT", true)) c->in_batch = false;
}

namespace {

// The bytes of the pages that hold something.
std::int64_t used_bytes(ContentCache* c) {
  std::int64_t pages = pragma_value(c, "PRAGMA page_count");
  std::int64_t free_pages = pragma_value(c, "PRAGMA freelist_count");
  std::int64_t page = pragma_value(c, "PRAGMA page_size");
  return pages < 0 || free_pages < 0 || page < 0 ? -1 : (pages - free_pages) * page;
}

// Drops the oldest-seen half of the images, or once none is left of the
// archives, while the file is over its bound: a directory is cheaper to
// read again than a member's data.
void hold_bound(ContentCache* c) {
  for (int round = 0; round < 64 && !c->write_broken && used_bytes(c) > c->bytes_max; ++round) {
    if (!begin_batch(c)) return;
    const char* table =
        pragma_value(c, "SELECT EXISTS(SELECT 1 FROM image)") > 0 ? "image" : "archive";
    char sql[256];
    std::snprintf(sql, sizeof sql,
                  "DELETE FROM %s WHERE id IN (SELECT id FROM %s ORDER BY seen, id"
                  " LIMIT (SELECT (count(*) + 1) / 2 FROM %s));",
                  table, table, table);
    if (!exec(c, sql, true)) return;
    commit(c);
  }
  exec(c, "PRAGMA incremental_vacuum", true);
}

// Drops the rows of `table` no run has seen for CACHE_PRUNE_AGE_S and
// those whose file (the column `file`) is gone.
bool prune_table(ContentCache* c, const char* table, const char* file) {
  char sql[512];
  std::snprintf(sql, sizeof sql,
                "CREATE TEMP TABLE IF NOT EXISTS dropped(id INTEGER PRIMARY KEY);"
                "DELETE FROM dropped;"
                "INSERT INTO dropped SELECT id FROM %s WHERE seen < %lld;",
                table, static_cast<long long>(c->now_s - CACHE_PRUNE_AGE_S));
  if (!exec(c, sql, true)) return false;
  std::snprintf(sql, sizeof sql, "SELECT id, %s FROM %s", file, table);
  sqlite3_stmt* st = nullptr;
  if (sqlite3_prepare_v2(c->db, sql, -1, &st, nullptr) == SQLITE_OK) {
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
      if (!exec(c, sql, true)) return false;
    }
  }
  std::snprintf(sql, sizeof sql, "DELETE FROM %s WHERE id IN dropped;", table);
  return exec(c, sql, true);
}

}  // namespace

std::string cache_close(ContentCache* c, bool* wrote) {
  if (c == nullptr) return std::string();
  std::string why;
  {
    std::lock_guard<std::mutex> hold(c->lock);
    commit(c);
    if (!c->write_broken) hold_bound(c);
    why = c->why;
    *wrote = !c->broken;
  }
  release(c);
  return why;
}

bool cache_prune(ContentCache* c, std::string* why) {
  std::lock_guard<std::mutex> hold(c->lock);
  bool ok = !c->write_broken && begin_batch(c) &&
            prune_table(c, "archive", "coalesce(file, name)") && prune_table(c, "image", "name");
  if (ok) commit(c);
  ok = ok && !c->write_broken && exec(c, "PRAGMA incremental_vacuum", true);
  if (!ok) *why = c->why;
  return ok;
}

}  // namespace zorv
