// The reboot of a running unit into its boot loader: the reset loop over port
// settings and addresses (200 tries a pass, 40 passes), the boot-loader version
// and release records, the boot-loader block and the programmer selection.
#pragma once
#include "flash/unit_info.h"
#include "link/link.h"

namespace corv {

// True once the boot loader answered, its records are read and printed and the
// programmers selected (softwareMode is then modeCorvantaBootLoader). False when
// 200 reset tries of one pass go unanswered or 40 passes end without an answer
// from the boot loader. With `preferCurrentRate` the first six passes look for
// the boot loader at the link's remembered rate.
bool RebootToBootLoader(Link& link, UnitInfo& info, bool preferCurrentRate);

}  // namespace corv
