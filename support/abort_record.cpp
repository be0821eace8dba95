// Storage of the abort record (constant-initialised, so a signal may read it at
// any moment of the process) and the tick the handler stamps its log line with.
#include "support/abort_record.h"

#include <ctime>

namespace corv {

namespace {
AbortRecord theRecord;
}

AbortRecord& TheAbortRecord() { return theRecord; }

uint32_t AbortTickMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint32_t>(static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u);
}

}  // namespace corv
