// Places back to members (--resolve): a cluster run's second pass on a
// host. Given the places of the members whose keys another host matched
// (archive path, directory position, CRC-32, size; or, as --reduce gives
// them, archive numbers of the keys run's archive list), it reads those archives
// again through the revisit module, a chunk of archives at a time, and
// writes for each place what stands there: the stored name and extra
// field, sizes, method and flags, and with -c the content's SHA-256 or why
// there is none, checked as a report checks them (members of one archive
// whose data overlap are refused, zip/verify.h reads the rest; with a
// cache, what it holds for an unchanged file is taken). An entry
// whose CRC-32 or size is not the place's is not the member: the archive
// changed since its keys were taken. The reader's lines go to the revisit's
// Diag.
#pragma once

#include <cstdio>
#include <string>

#include "report/revisit.h"

namespace zorv {

struct ContentCache;  // cache/cache.h

struct ResolveOptions {
  bool content;            // -c: digests
  unsigned check_threads;  // -c's readers (at least 1)
  // -c --cache: outcomes taken from it while an archive's file is as it
  // was, and this run's kept there (null: every member is read).
  ContentCache* cache = nullptr;
};

enum class ResolveEnd {
  Done,
  BadInput,  // *why says what is wrong with the places
  Write,     // writing the output failed: errno
  NoMemory,
};

// Reads places from `in` to its end, writes members to `out`.
ResolveEnd resolve_places(std::FILE* in, std::FILE* out, const ResolveOptions& options,
                          Revisit* rv, std::string* why);

}  // namespace zorv
