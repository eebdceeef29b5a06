// What a component said, collected as values: the Diag a test hands in
// keeps the lines, and the test compares them (leveldb's ReportCollector in
// its log tests is the pattern), instead of capturing a file descriptor.
#pragma once

#include <string>
#include <vector>

#include "util/diag.h"

namespace zorv::test {

class Said {
 public:
  Said() : diag_{&buf_} {}
  ~Said() { message_buf_free(&buf_); }
  Said(const Said&) = delete;
  Said& operator=(const Said&) = delete;

  Diag* diag() { return &diag_; }
  // Everything said so far, each line with its newline.
  std::string text() const { return std::string(buf_.text != nullptr ? buf_.text : "", buf_.len); }
  // The lines, without their newlines.
  std::vector<std::string> lines() const {
    std::vector<std::string> out;
    std::string all = text();
    for (std::size_t at = 0; at < all.size();) {
      std::size_t end = all.find('\n', at);
      out.push_back(all.substr(at, end - at));
      at = end + 1;
    }
    return out;
  }
  void clear() { buf_.len = 0; }

 private:
  MessageBuf buf_{};
  Diag diag_;
};

}  // namespace zorv::test
