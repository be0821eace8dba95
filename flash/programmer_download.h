// Loading the flash programmer into the unit's RAM and starting it: block by
// block with a reply each, or overlapped (several blocks in flight under CTS
// flow control), the optional read-back, and the start of the programmer.
#pragma once
#include "flash/unit_info.h"
#include "link/link.h"
#include "payloads/image_stream.h"

namespace corv {

// Downloads the image (a programmer's image stream), verifies it with -v
// (except on a boot loader of version 1), runs it and leaves softwareMode at
// modeFlashProgrammer. False when a write, an acknowledgement wait or the
// read-back gives up; a failed rate step-up stops the run with
// "Unable to change baud rate".
bool DownloadProgrammer(Link& link, UnitInfo& info, ImageStream image);
bool DownloadProgrammer(Link& link, UnitInfo& info, ImageName programmer);

}  // namespace corv
