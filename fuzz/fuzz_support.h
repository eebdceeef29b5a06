// What both fuzz targets share: the input as a file the reader can open
// without touching the disk, a descriptor-leak probe, and a check that stays
// on in every build (release builds define NDEBUG).
#pragma once

#include <cstddef>
#include <cstdint>

namespace zorv::fuzz {

enum class Layout { Dense, Sparse };

// Replaces the contents of the process's one memory file with `data` and
// returns a path that opens it ("/proc/self/fd/N"). The file is a regular
// file to fstat, as openzip requires. Sparse leaves every page of zeros
// unwritten, a hole (the reader skips holes without reading them); the
// number of such pages goes to *holes when given.
const char* input_path(const std::uint8_t* data, std::size_t size, Layout layout = Layout::Dense,
                       std::size_t* holes = nullptr);

// The descriptor the next open would get. Equal before and after a call
// that must release every descriptor it opened (the process is single-
// threaded while a target runs).
int lowest_free_fd();

// Reports a failed check and traps, so libFuzzer saves the input.
[[noreturn]] void check_failed(const char* text, const char* file, int line);

}  // namespace zorv::fuzz

#define FUZZ_CHECK(cond) \
  ((cond) ? static_cast<void>(0) : ::zorv::fuzz::check_failed(#cond, __FILE__, __LINE__))
