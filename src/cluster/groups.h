// Groups back to a report (--print-groups): the last step of a cluster run.
// The client gathers the members that hosts resolved, forms and orders the
// groups, and hands them here as a groups file; this reads it and says
// every group, member and member that could not be checked to a report
// sink, so that a cluster's report is the text, JSON Lines, -l lines and
// totals of zorv's own sinks, byte for byte in their formats. Names arrive
// as stored (with their flags and extra field) and are shown as a report
// shows them. Nothing is read again here: the file is all there is.
#pragma once

#include <cstdio>
#include <string>

#include "report/sink.h"

namespace zorv {

struct GroupsOptions {
  bool list;        // -l: the per-archive lines after the groups
  bool full_names;  // names as stored, NULs and what follows included (JSON)
  bool text_names;  // and with their text where that is not the stored bytes
};

enum class GroupsEnd {
  Done,
  BadInput,   // *why: what is wrong with the file
  Unmatched,  // *why: an archive that no longer holds a member (nothing printed)
  NoMemory,
};

// Reads the groups file `in` and tells `sink`; *totals: what was said.
GroupsEnd print_groups(std::FILE* in, ReportSink* sink, const GroupsOptions& options,
                       ReportTotals* totals, std::string* why);

}  // namespace zorv
