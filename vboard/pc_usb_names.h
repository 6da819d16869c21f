#pragma once

#include <string>

#include "common/status.h"

namespace vboard {

// For a program run as the test PC (a forked child, before exec): gives it a
// mount namespace of its own whose /dev/serial is `names_dir` (a directory
// with by-id/ and by-path/, kept by UsbHost::set_usb_names), so it finds the
// board's port by USB serial number or location as on a line PC. The host's
// /dev is unchanged; when it has no /dev/serial, the child's /dev is a
// tmpfs holding every entry of the host's /dev (bound in) plus serial/.
// Needs root (CAP_SYS_ADMIN).
ftmd::Status enter_pc_usb_names(const std::string& names_dir);

}  // namespace vboard
