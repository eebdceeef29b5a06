#include "fs/scandir.h"

#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "util/file_id.h"
#include "util/fsa.h"
#include "util/rbtree.h"

namespace zorv {

namespace {

// The same directory reached through links or under other names has one
// FileId. A directory still being walked is open, so its inode cannot go
// to another; one walked and deleted can, and the directory that gets it
// then has another modification time and is walked too.
std::int32_t dirid_compare(const void* key, const void* stored) {
  return file_id_compare(*static_cast<const FileId*>(key), *static_cast<const FileId*>(stored));
}

struct Scan {
  ArchiveExts exts;
  ScanCallback callback;
  void* ctx;
  int flags;
  Diag* diag;
  ScanLetGo let_go;
  bool stopped;     // the set of entered directories found no memory: the walk ends
  RbTree* entered;  // FileIds of the directories entered so far (recursion only)
  FsaPool* ids;
};

bool was_entered(const Scan& scan, const struct stat& st) {
  FileId key = file_id_of(st);
  return rbtree_find(scan.entered, &key) != nullptr;
}

// Records a directory as entered; false when it already was.
bool enter(Scan& scan, const struct stat& st) {
  auto* id = static_cast<FileId*>(fsa_alloc(scan.ids));
  if (id == nullptr) return true;  // no memory to remember it: still scan it
  *id = file_id_of(st);
  bool no_memory = false;
  if (rbtree_insert(scan.entered, id, &no_memory) == nullptr && !no_memory) return true;
  fsa_free(scan.ids, id);
  scan.stopped = no_memory;
  return false;
}

bool is_dot_or_dotdot(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// Makes buf hold at least `need` bytes; reallocates only for names longer
// than the usual limit.
bool reserve(char** buf, std::size_t* cap, std::size_t need) {
  if (need <= *cap) return true;
  char* bigger = static_cast<char*>(std::realloc(*buf, need));
  if (bigger == nullptr) return false;
  *buf = bigger;
  *cap = need;
  return true;
}

void visit(Scan& scan, const char* path, const dirent* ent);

int scan_dir(Scan& scan, const char* dir) {
  DIR* stream = opendir(dir);
  if (stream == nullptr && (errno == EMFILE || errno == ENFILE) && scan.let_go != nullptr) {
    // The caller's work ahead may hold the descriptors: once it has let
    // them go, the walk holds no more than it would on its own.
    scan.let_go(scan.ctx);
    stream = opendir(dir);
  }
  if (stream == nullptr) {
    say_bare(scan.diag, "warning, %s: \"%s\"", errno_text(), dir);
    return SCAN_OPEN_FAILED;
  }
  struct stat st;
  if (scan.entered != nullptr && fstat(dirfd(stream), &st) == 0 && !enter(scan, st)) {
    closedir(stream);
    return SCAN_OK;
  }
  std::size_t dir_len = std::strlen(dir);
  std::size_t cap = dir_len + 259;  // names up to 257 bytes without a realloc
  char* path = static_cast<char*>(std::malloc(cap));
  if (path == nullptr) {
    say_bare(scan.diag, "scandir: unable to allocate memory for filename");
    closedir(stream);
    return SCAN_NO_MEMORY;
  }
  // Only '/' separates on this system: "c:" and "s\" are plain names.
  std::size_t sep_len = dir_len > 0 && dir[dir_len - 1] == '/' ? 0 : 1;
  std::memcpy(path, dir, dir_len + 1);  // the NUL too; the separator replaces it
  path[dir_len] = '/';
  while (!scan.stopped) {
    const dirent* ent = readdir(stream);
    if (ent == nullptr) break;
    std::size_t name_len = std::strlen(ent->d_name);
    if (!reserve(&path, &cap, dir_len + sep_len + name_len + 1)) continue;
    std::memcpy(path + dir_len + sep_len, ent->d_name, name_len + 1);
    visit(scan, path, ent);
  }
  closedir(stream);
  std::free(path);
  return SCAN_OK;
}

void visit(Scan& scan, const char* path, const dirent* ent) {
  const char* name = ent->d_name;
  if (is_dot_or_dotdot(name)) return;  // never entered, never an archive
  bool recurse = (scan.flags & SCAN_RECURSE) != 0;
  bool named = scan.exts.any || has_any_ext(name, scan.exts);
  // The entry's type, when the listing gives it, spares a status call for
  // what would be skipped anyway.
  if (ent->d_type == DT_REG) {
    if (named) scan.callback(path, nullptr, scan.ctx);
    return;
  }
  if (ent->d_type == DT_DIR && !recurse) return;
  struct stat st;
  if (stat(path, &st) != 0) {
    int err = errno;
    if (named || recurse) scan_status_warning(path, err, scan.diag);
    return;
  }
  if (S_ISDIR(st.st_mode)) {
    if (recurse && !was_entered(scan, st)) scan_dir(scan, path);
    return;
  }
  // Opening a FIFO or a device could block or have side effects.
  if (!S_ISREG(st.st_mode)) return;
  if (named) scan.callback(path, &st, scan.ctx);
}

}  // namespace

bool has_ext(const char* path, const char* ext) {
  return has_any_ext(path, ArchiveExts{&ext, 1});
}

bool has_any_ext(const char* path, const ArchiveExts& exts) {
  const char* dot = std::strrchr(path, '.');
  if (dot == nullptr) return false;
  for (std::size_t i = 0; i < exts.count; ++i) {
    if (strcasecmp(dot, exts.exts[i]) == 0) return true;
  }
  return false;
}

int scandir(const char* dir, const char* ext, ScanCallback callback, void* ctx, int flags,
            Diag* diag, ScanLetGo let_go) {
  return scandir(dir, ArchiveExts{&ext, 1}, callback, ctx, flags, diag, let_go);
}

int scandir(const char* dir, const ArchiveExts& exts, ScanCallback callback, void* ctx, int flags,
            Diag* diag, ScanLetGo let_go) {
  Scan scan{exts, callback, ctx, flags, diag, let_go, false, nullptr, nullptr};
  if ((flags & SCAN_RECURSE) != 0) {
    FsaFailure tree_failure{};
    FsaFailure ids_failure{};
    scan.entered = rbtree_alloc(dirid_compare, &tree_failure);
    // The pool links free items through their first 8 bytes.
    static_assert(sizeof(FileId) % 8 == 0 && sizeof(FileId) >= sizeof(void*));
    scan.ids = fsa_init(sizeof(FileId), 64, &ids_failure);
    if (scan.entered == nullptr || scan.ids == nullptr) {
      // The pools' own lines come first, as the pools said them when they
      // failed: before anything the caller holds back.
      Diag pool_diag{diag != nullptr ? diag->keep : nullptr};
      Diag* pools = diag != nullptr ? &pool_diag : nullptr;
      char text[96];
      if (scan.entered == nullptr && tree_failure.fault != FsaFault::None)
        say_bare(pools, "%s", fsa_failure_text(tree_failure, text, sizeof text));
      if (scan.ids == nullptr)
        say_bare(pools, "%s", fsa_failure_text(ids_failure, text, sizeof text));
      say_bare(diag, "scandir: unable to allocate memory for the directory set");
      if (scan.entered != nullptr) rbtree_free(scan.entered);
      fsa_exit(scan.ids);
      return SCAN_NO_MEMORY;
    }
  }
  int result = scan_dir(scan, dir);
  if (scan.stopped) result = SCAN_STOPPED;
  if (scan.entered != nullptr) rbtree_free(scan.entered);
  fsa_exit(scan.ids);
  return result;
}

// An entry that leads nowhere (a dangling link, a link loop, or gone since
// the listing) holds nothing. Any other failure (no search permission, a
// path too long) may hide an archive or a directory of them, which the
// report would otherwise miss without a word.
void scan_status_warning(const char* path, int err, Diag* diag) {
  if (err == ENOENT || err == ELOOP) return;
  errno = err;
  say_bare(diag, "warning, %s: \"%s\"", errno_text(), path);
}

const char* errno_text() {
  int err = errno;
  errno = 0;
  const char* text = strerrordesc_np(err);
  return text != nullptr ? text : "errno out of range";
}

}  // namespace zorv
