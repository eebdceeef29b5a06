// The walk into archives stored inside archives (--nested).
//
// An archive's walk hands every entry on; members named as archives (by
// the suffixes the run counts as archives, or, when the run reads any file
// its bytes call an archive, every stored member) are opened in place
// after the walk, as spans of the file (zip/inner.h), and indexed as
// archives of their own, named "<outer path>!/<member name>" (the form jar
// URLs use), then their inner archives in turn, NEST_DEPTH_MAX levels deep
// at most. A compressed inner archive is decoded to the run's NestStore
// when it has one (-c), else named as not read. What cannot be read is said
// once, by name, and nothing else is lost: an encrypted inner archive, one
// that does not decode, one whose bytes run past its outer archive's,
// one that overlaps an inner archive read before it in the same archive,
// and one whose end record is that of an archive it lies in (an archive
// that holds itself). Members sniffed for their bytes that are no archive
// pass silently. Indexing stays in directory order: an archive's inner
// archives follow it, before the next archive asked for.
#pragma once

#include "fs/scandir.h"
#include "index.h"
#include "util/diag.h"
#include "util/file_id.h"
#include "zip/zipdir.h"

namespace zorv {

// Where compressed inner archives are decoded to (with -c): one anonymous
// file in memory, "/proc/self/fd/N" to whoever opens it by path, that lives
// as long as the run reads archives. Each decoded archive is a span of it,
// read as a stored one is read in its outer file. It holds at most
// DECODED_MAX bytes: a compressed inner archive that would pass them is
// named and not read.
struct NestStore {
  int fd;
  char path[32];
  ArchiveName file;  // the record decoded archives name as their file
  std::int64_t used;
  std::int64_t most;  // DECODED_MAX (tests: ZORV_TEST_DECODED_MAX bytes)
};

constexpr std::int64_t DECODED_MAX = std::int64_t{256} << 20;

// Null when no such file can be made.
NestStore* nest_store_start();
void nest_store_stop(NestStore* store);

struct NestRun {
  Index* ix;
  Diag* diag;
  ArchiveExts exts;  // which members are archives (any: any stored member may be)
  ZipCache* cache;
  NestStore* store;  // null: compressed inner archives are not read
};

// Indexes the opened archive `zd` at `path` (the file `id`) as index_zip
// does, then its inner archives, level by level. False when recording
// failed (index_failure says why) or no memory was left for the walk
// (*no_memory set).
bool index_nested(const NestRun& run, const char* path, FileId id, ZipDir* zd, bool* no_memory);

}  // namespace zorv
