// The temporary folder and whole-file helpers for the support tests that still
// include them from here; they live in tests/common/scratch.h.
#pragma once
#include "tests/common/scratch.h"
