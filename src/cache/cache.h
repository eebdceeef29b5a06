// The content cache (--cache): what -c found in each member it read, kept
// in an SQLite file between runs, so that a run over an unchanged
// collection reads no member data at all. An outcome is taken back only
// while nothing about its member can have changed: its archive's device,
// inode, size, modification and status-change times (nanoseconds) and
// path, and the member's local header offset, method, sizes and CRC-32 are
// all as they were when it was read. It owns the file: its schema (versioned
// by user_version, marked with an application id of its own), its privacy
// (created 0600 in a 0700 directory, the file itself never a symbolic link
// or taken from another user), its bound and its pruning. Every failure is a
// value: the cache gives the reason once and stops being used (a file it
// cannot write still answers look-ups), and the caller's results are the
// same as without it. Nothing here writes a message.
//
// It also keeps the directory images (zip_image) of archives that were slow
// to open, by the same file status, so that a later run on slow storage
// walks their directories without opening them. Every function may be
// called from several threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "zip/verify.h"

namespace zorv {

struct ContentCache;

// At the end of a run, a cache whose pages take more than its bound (this,
// unless cache_open is given another) drops the archives seen least
// recently, half of them at a time, until it takes less: about three
// million members.
constexpr std::int64_t CACHE_BYTES_MAX = std::int64_t{256} << 20;

// --cache-prune drops the archives no run has looked up for this long.
constexpr std::int64_t CACHE_PRUNE_AGE_S = std::int64_t{30} * 24 * 3600;

// $XDG_CACHE_HOME/zorv/cache.sqlite, or ~/.cache/zorv/cache.sqlite; empty
// when neither variable gives an absolute directory.
std::string cache_default_path();

// Opens the cache at `path`, creating it (0600) when it is missing, and
// its directory too (0700) when `make_dir`. Null when it cannot be used;
// *why then says why, to be followed by the path ("is a symbolic link",
// "not a zorv cache", "made by a newer zorv", SQLite's or the system's
// reason).
ContentCache* cache_open(const std::string& path, bool make_dir, std::string* why,
                         std::int64_t bytes_max = CACHE_BYTES_MAX);

// Ends the batch under way, holds the file to its bound and closes
// it. The reason the cache stopped being used during the run, or empty;
// `wrote`: the failure was in writing (the look-ups went on).
std::string cache_close(ContentCache* c, bool* wrote);

// What says a file is still the one it was: taken by cache_stat, with the
// moment it was taken.
struct CacheFile {
  std::uint64_t dev;
  std::uint64_t ino;
  std::int64_t size;
  std::int64_t mtime_ns;
  std::int64_t ctime_ns;
  std::int64_t taken_ns;  // the clock when the status was read
};

// False when the file's status cannot be read.
bool cache_stat(const char* path, CacheFile* f);

// Whether two statuses are of one file, unchanged (the moments aside).
bool cache_same_file(const CacheFile& a, const CacheFile& b);

// The status `st`, read at `taken_ns` (the wall clock, ns).
CacheFile cache_file_of(const struct stat& st, std::int64_t taken_ns);

// cache_stat of paths[0, n) into files, ok[i] saying whether it worked, on
// up to `threads` threads: on slow storage each status is a round trip.
void cache_stat_all(const char* const* paths, CacheFile* files, bool* ok, std::size_t n,
                    unsigned threads);

// An archive as the cache knows it: its name in the report (an inner
// archive's "<outer>!/<member>"), the file its bytes are in, where they
// start there, and that file's status before its members were read.
struct CacheArchive {
  const char* name;
  const char* file_path;
  std::int64_t span_base;
  CacheFile file;
};

// Sets out[i] and found[i] for every item whose outcome the cache holds
// for this very archive and member; returns how many. The archive counts
// as seen by this run.
std::size_t cache_look_up(ContentCache* c, const CacheArchive& a, const VerifyItem* items,
                          std::size_t n, VerifyOutcome* out, bool* found);

// Keeps the outcomes of items [0, n) of archive `a` (those worth keeping:
// a digest, damaged data, a local header that differs), replacing what
// the cache held for an earlier state of the archive. Nothing is kept when
// the file changed so shortly before a.file was read that a change within
// the clock's step could hide (it is then read again next time). A change
// after a.file was read needs no check here: it moves the file's
// status-change time past a.file's, so what is kept under a.file is never
// asked for again. Written with the others of the batch, in one
// transaction, at cache_commit.
void cache_store(ContentCache* c, const CacheArchive& a, const VerifyItem* items,
                 const VerifyOutcome* outcomes, std::size_t n);

// Writes the batch's stores in one transaction.
void cache_commit(ContentCache* c);

// Whether the cache holds a directory image, or was handed one by this
// run: a run that finds none asks for none, and pays nothing for them.
bool cache_has_images(ContentCache* c);

// Sets *image to the directory image kept for the file at `path` while its
// status is `f`; false when none is kept for the file as it is now.
bool cache_find_image(ContentCache* c, const char* path, const CacheFile& f,
                      std::vector<unsigned char>* image);

// Whether cache_keep_image would keep an image of the file as `f` says it
// is: asked before an image is made.
bool cache_would_keep_image(ContentCache* c, const CacheFile& f);

// Keeps the directory image *image (moved from when kept) of the file at
// `path`, as `f` says it was, unless the file changed too shortly before
// (see cache_store). Written at cache_commit, or sooner when the images
// waiting take a few MiB.
void cache_keep_image(ContentCache* c, const char* path, const CacheFile& f,
                      std::vector<unsigned char>* image);

// Drops the archives not looked up for CACHE_PRUNE_AGE_S and those whose
// file is gone, and gives the space back to the file system. False (and
// *why) when that failed.
bool cache_prune(ContentCache* c, std::string* why);

}  // namespace zorv
