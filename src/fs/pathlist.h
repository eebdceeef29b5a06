// The list of paths --files-from names: read from a file or standard input,
// one path at a time, so that a list of millions of archives is never held
// whole. Paths end at a newline (or, for lists made by `find -print0`, at a
// NUL); empty ones are skipped, and every other byte, a carriage return
// included, is part of a path. Failure is a value with its reason; nothing
// here writes a message or ends the process.
#pragma once

#include <cstdio>
#include <string>

namespace zorv {

// Opens the list in `file` ("-": standard input); null, with *why (the
// system's reason), when it cannot be opened. Opened before anything else
// is read, so that a list named wrong fails at once.
std::FILE* open_path_list(const char* file, std::string* why);

// Closes what open_path_list opened (standard input stays open).
void close_path_list(std::FILE* list);

// Calls `each(path, ctx)` for every path of `list`, in order, each ending
// at `end` ('\n' or '\0'). The path is the caller's to change until `each`
// returns, and is gone after. False, with *why (the system's reason, or
// that a newline-ended path holds a NUL), when the list could not be read
// to its end; the paths before the failure have been handed over.
bool each_listed_path(std::FILE* list, char end, void (*each)(char* path, void* ctx), void* ctx,
                      std::string* why);

}  // namespace zorv
