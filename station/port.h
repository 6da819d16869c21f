#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "pc/link.h"

namespace ftmd::station {

// How the operator names the device's port. Exactly one is set. On a line
// PC the device's gadget serial port is a CDC ACM device that udev also
// names by the USB serial number (/dev/serial/by-id/usb-<maker>_<product>_<serial>-if00)
// and by the USB location (/dev/serial/by-path/<bus path>-usb-0:<port>:1.0),
// which stay the same when the device re-enumerates after a reboot, unlike
// /dev/ttyACMn.
struct PortChoice {
  std::string path;              // a device path as given
  std::string usb_serial;        // the device's USB serial number
  std::string usb_location;      // the USB location: the by-path name or part of it
  std::string describe() const;  // for messages: "/dev/ttyACM0", "USB serial 1234", ...
};

// The device path a choice names now, or why there is none (no match, more
// than one match). A serial number matches the whole field before "-if" of a
// by-id name; a location matches a by-path name whole or a part of it that
// ends at a ':' ("usb-0:2" is port 2, not "usb-0:2.1"). Several names of one
// device count once; names of vanished devices (dangling links) none. For a
// USB choice the path is the device the name leads to. `dev_root` is "/dev"
// except in unit tests.
struct PortLookup {
  std::optional<std::string> path;
  std::string error;
};
PortLookup find_port(const PortChoice& choice, const std::string& dev_root = "/dev");

// The processes other than the caller that hold `path` open, for the
// message when the port is busy: "pid 4242 (minicom)", by pid, joined with
// ", "; empty when none is found (or none may be seen by this user).
std::string port_holders(const std::string& path, const std::string& proc_root = "/proc");

// Finds and opens the port (raw, locked). When another program holds it the
// error says so and names it (the lock's owner when the port is locked), and
// says how it holds it: "... (flock: EWOULDBLOCK)" or "... (TIOCEXCL: EBUSY)".
std::optional<pc::SerialLink> open_port(const PortChoice& choice, std::string* error);

// After the device was told to reboot: waits until its port has gone (at most
// `gone_within`; a port that never vanishes is taken as re-enumerated too fast
// to see) and is back and answers (at most `back_within`), then returns the
// open link (it answered "at+ftm,ftmver=?"). Nothing on time-out, with the
// reason in `error`. The caller closes its old link first.
std::optional<pc::SerialLink> reopen_after_reboot(const PortChoice& choice,
                                                  std::chrono::milliseconds gone_within,
                                                  std::chrono::milliseconds back_within, std::string* error);

}  // namespace ftmd::station
