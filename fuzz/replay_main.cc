// Runs a fuzz target once over saved inputs, without libFuzzer: every file
// named, and every file in every directory named (dot files skipped), in
// path order. CI replays the corpus and the regressions this way with the
// project's own compiler. An empty replay fails: a missing or emptied corpus
// must not pass unnoticed.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace fs = std::filesystem;

namespace {

bool collect(const fs::path& arg, std::vector<fs::path>* out) {
  std::error_code ec;
  if (fs::is_regular_file(arg, ec)) {
    out->push_back(arg);
    return true;
  }
  if (!fs::is_directory(arg, ec)) return false;
  for (const fs::directory_entry& e : fs::directory_iterator(arg, ec)) {
    if (e.is_regular_file() && e.path().filename().string()[0] != '.') out->push_back(e.path());
  }
  return !ec;
}

// An exactly sized heap copy: a read past the input's end is caught by the
// sanitizers, as under libFuzzer.
bool run_one(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return false;
  std::unique_ptr<std::uint8_t[]> data(new std::uint8_t[bytes.size() + (bytes.empty() ? 1 : 0)]);
  std::copy(bytes.begin(), bytes.end(), data.get());
  LLVMFuzzerTestOneInput(data.get(), bytes.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<fs::path> inputs;
  for (int i = 1; i < argc; ++i) {
    if (!collect(argv[i], &inputs)) {
      std::fprintf(stderr, "replay: cannot read %s\n", argv[i]);
      return 1;
    }
  }
  if (inputs.empty()) {
    std::fprintf(stderr, "replay: no inputs\n");
    return 1;
  }
  std::sort(inputs.begin(), inputs.end());
  for (const fs::path& file : inputs) {
    // Named before it runs, so a crash shows which input caused it.
    std::printf("replay: %s\n", file.c_str());
    std::fflush(stdout);
    if (!run_one(file)) {
      std::fprintf(stderr, "replay: cannot read %s\n", file.c_str());
      return 1;
    }
  }
  std::printf("replay: %zu inputs passed\n", inputs.size());
  return 0;
}
