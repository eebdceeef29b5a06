// A test fixture holding one Index of its own, with helpers to write
// archives, index them and run the report over them.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "index.h"
#include "index_internal.h"
#include "report/report.h"
#include "support/files.h"
#include "support/said.h"
#include "support/zip_writer.h"
#include "zip/zipdir.h"

namespace zorv::test {

class IndexFixture : public testing::Test {
 protected:
  void SetUp() override { ix_ = create_indexes(said_.diag(), &fail_); }
  void TearDown() override {
    release_indexes(ix_);
    zip_cache_release(&cache_);
  }
  // Starts again with an empty index.
  void reset() {
    release_indexes(ix_);
    ix_ = create_indexes(said_.diag(), &fail_);
  }
  std::string write(const std::string& rel, const ArchiveBytes& a) const {
    return dir_.write(rel, a.bytes());
  }
  // Indexes the archive at `path`, its file identity read from the file.
  int process(const std::string& path);
  void index(const std::vector<std::string>& paths) {
    for (const std::string& p : paths)
      process(p);
  }
  // The report as the text sink prints it, and what was said meanwhile
  // (only that: said_ is emptied first); what it did goes to stats_,
  // whether it printed every member to whole_.
  std::pair<std::string, std::string> report(ReportLimits limits = REPORT_LIMITS,
                                             ReportSplit split = ReportSplit::None);

  Said said_;  // what the index and the reader say
  IndexFail fail_ = IndexFail::None;
  Index* ix_ = nullptr;
  ZipCache cache_{};
  ReportStats stats_{};
  bool whole_ = false;
  TempDir dir_;
};

}  // namespace zorv::test
