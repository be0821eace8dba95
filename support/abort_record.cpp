// Storage of the abort record (constant-initialised, so a signal may read it at
// any moment of the process).
#include "support/abort_record.h"

namespace corv {

namespace {
AbortRecord theRecord;
}

AbortRecord& TheAbortRecord() { return theRecord; }

}  // namespace corv
