#include "support/index_fixture.h"

#include <sys/stat.h>

#include "report_sink.h"

namespace zorv::test {

int IndexFixture::process(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0)
    return process_archive(ix_, path.c_str(), FileId{0, 0}, &cache_);
  return process_archive(ix_, path.c_str(), FileId{st.st_dev, st.st_ino}, &cache_);
}

std::pair<std::string, std::string> IndexFixture::report(ReportLimits limits, ReportSplit split) {
  CaptureFd err(2);
  CaptureFd out(1);
  {
    TextSink sink;
    Report* r = report_gather(ix_, ReportOptions{.limits = limits, .split = split}, &sink, &cache_);
    whole_ = report_print(r, &stats_);
  }
  std::string printed = out.text();
  return {printed, err.text()};
}

}  // namespace zorv::test
