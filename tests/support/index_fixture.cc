#include "support/index_fixture.h"

#include "report_sink.h"

namespace zorv::test {

std::pair<std::string, std::string> IndexFixture::report(ReportLimits limits) {
  CaptureFd err(2);
  CaptureFd out(1);
  {
    TextSink sink;
    Report* r = report_gather(ix_, limits, &sink, &cache_);
    whole_ = report_print(r, &stats_);
  }
  std::string printed = out.text();
  return {printed, err.text()};
}

}  // namespace zorv::test
