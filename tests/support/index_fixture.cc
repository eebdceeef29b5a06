#include "support/index_fixture.h"

#include <sys/stat.h>

#include "report/sink.h"

namespace zorv::test {

int IndexFixture::process(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0)
    return process_archive(ix_, path.c_str(), FileId{}, &cache_);
  return process_archive(ix_, path.c_str(), file_id_of(st), &cache_);
}

std::pair<std::string, std::string> IndexFixture::report(ReportLimits limits, ReportSplit split) {
  said_.clear();
  CaptureFd out(1);
  {
    TextSink sink(false, false, said_.diag());
    Revisit* rv = revisit_start(nullptr, &cache_, said_.diag());
    Report* r = report_gather(ix_, ReportOptions{.limits = limits, .split = split}, &sink, rv);
    whole_ = report_print(r, &stats_);
    revisit_stop(rv);
  }
  std::string printed = out.text();
  return {printed, said_.text()};
}

}  // namespace zorv::test
