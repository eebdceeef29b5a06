// Opens archives ahead of whoever reads them, on a few I/O threads, and
// hands them over strictly in the order they were asked for.
//
// On slow storage (a network share, a cold disk, a bucket mount) each open
// and read waits, and the waits, not the work, make the run long: the
// threads here keep several archives' opens, end-record searches and
// directory reads in flight while the caller walks the directories it has
// already been given. Everything the reader would have said while opening
// an archive is kept with it and handed over with it, so the caller says
// it where a serial run would have. The threads share nothing with the rest
// of the program but the directory buffer cache; with one job there are no
// threads and every archive is opened by the caller when it takes it.
//
// Bounded: at most `window` archives are asked for and not yet released,
// each holding no descriptor once read, and directories beyond the tail
// read are admitted while the bytes held ahead stay within `bytes` (the
// archive the caller needs next is always admitted).
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "util/diag.h"
#include "util/file_id.h"
#include "zip/zipdir.h"

namespace zorv {

struct Readahead;

struct AheadLimits {
  unsigned jobs;       // requests in flight; 1: none ahead, no threads
  std::size_t window;  // archives asked for and not yet released
  std::size_t bytes;   // directory bytes held ahead
  // Storage that opens a file faster than this (a local disk, a warm
  // cache) gains nothing from the threads, which would only add their
  // hand-overs: the caller then opens each archive itself when it takes it,
  // and the threads are not even started. Slower opens (a network share, a
  // cold disk) wake them. Judged from the last few opens, so a run adapts
  // both ways; 0: the threads always run.
  std::int64_t slow_ns;
};

// The limits for `jobs` (at least 1, and lowered to what the open-file
// limit leaves): a window of 2 archives per job, 64 MiB of directories, and
// threads woken by opens that take 0.1 ms or more.
AheadLimits ahead_limits(unsigned jobs);

// One archive handed over. `zd` is the caller's to close. When it is null,
// either `skip` is set (a listing named a regular file that is gone or no
// longer one: passed over silently, as a status call would have found it),
// or `status_errno` holds why the status of such a file could not be read
// after its open failed, or `messages` say why it could not be opened: the
// reader's lines, kept for the taker to hand on (hand_on) where a serial
// run would have said them.
// `has_id` tells that `id` says which file it is (the status the caller
// gave, the open, or that status read after a failed open).
struct Ahead {
  const char* path;
  ZipDir* zd;
  bool skip;
  int status_errno;
  bool has_id;
  FileId id;
  MessageBuf messages;
};

// Null when the threads cannot be started (nothing is left running; the
// caller may try again with one job). `cache` lends directory buffers.
Readahead* readahead_start(const AheadLimits& limits, ZipCache* cache);

// Joins the threads and releases everything, archives not taken included.
void readahead_stop(Readahead* ra);

// Whether the window is full: the oldest must be taken and released first.
bool readahead_full(const Readahead* ra);

// Archives asked for and not yet released.
std::size_t readahead_pending(const Readahead* ra);

// Asks for the archive at `path` (copied). `st`: its status as the caller
// read it, or null. `listed`: no status was read because a listing said it
// is a regular file (an open that fails then reads the status, see Ahead).
// `span` and `name` (when not null): an archive stored inside another, the
// span's bytes of the file at `path`, which its messages and Ahead.path
// call `name`. False, with nothing asked, when the window is full or there
// is no memory.
bool readahead_submit(Readahead* ra, const char* path, const struct stat* st, bool listed,
                      bool sniffed = false, const ZipSpan& span = {}, const char* name = nullptr);

// Waits for the oldest archive asked for (opening it here when no thread
// has started it) and hands it over; valid until readahead_release. Null
// when nothing is pending.
Ahead* readahead_take(Readahead* ra);

// Releases the archive taken last (closing its ZipDir if the caller left it).
void readahead_release(Readahead* ra);

// Lets go of every archive asked for and not taken yet.
void readahead_drop(Readahead* ra);

// Whether opening an archive has taken long lately (the threads run, or
// would): storage where waiting, not work, is the cost.
bool readahead_slow(Readahead* ra);

// Directory images (zip_image) kept between runs, by the status of the
// file they were taken from. `find` (null: none are asked for) fills
// *image when the store holds one for the file at `path` as `st` says it
// is: the archive is then made from it, and the file is not opened.
// `keep` (null: none are kept) is handed an archive whose open was slow
// (the storage's waits, not a local disk's) and whose directory takes at
// most IMAGE_CD_MAX bytes, with the file's status from that open and the
// wall clock read before it (CLOCK_REALTIME, ns), to take its image
// (zip_image) if it will. Both are called from any of the threads, never
// at once for one archive; they must be safe to call at the same time, and
// must not throw. Archives in another file's bytes and those read for
// their bytes only (sniffed) have no image.
struct DirImages {
  bool (*find)(void* ctx, const char* path, const struct stat& st,
               std::vector<unsigned char>* image);
  void (*keep)(void* ctx, const char* path, const struct stat& st, std::int64_t taken_ns,
               const ZipDir* zd);
  void* ctx;
};

// Bigger directories have no image: reading them, not the open, is most of
// their cost, and a copy of each, held while it is kept or found, would
// take memory that the limits above do not count.
constexpr std::uint32_t IMAGE_CD_MAX = 1u << 20;

// Uses `images` (copied; null: none) for the archives opened from now on.
// Given null, returns once no thread still uses the images set before, so
// their store may then be closed.
void readahead_images(Readahead* ra, const DirImages* images);

// --- for tests ---
// The most directory bytes admitted at once so far.
std::size_t readahead_peak_bytes(const Readahead* ra);

}  // namespace zorv
