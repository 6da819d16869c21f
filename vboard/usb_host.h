#pragma once

#include <memory>
#include <string>

#include "vboard/pty_port.h"

namespace vboard {

// The test PC on the USB gadget serial port: /dev/ttyGS0 is the slave of a
// pty whose master stands for the PC's end of the cable. Plug and unplug it
// the gentle way (hang-up: the daemon's read returns 0) or the hard way (the
// master closes: the daemon's read fails with EIO), and plug it back in.
// HostClient (host_client.h) talks frames over the master.
class UsbHost {
 public:
  // `device_host_path`: where the board's /dev/ttyGS0 lies, seen from the host.
  explicit UsbHost(std::string device_host_path);
  ~UsbHost();

  // Plugs the cable in: a fresh pty behind /dev/ttyGS0.
  void connect();
  // Gentle disconnect: hangs the port up; the daemon reopens the same path.
  void hang_up();
  // Hard disconnect: closes the PC's end; /dev/ttyGS0 dangles until
  // connect(). Call connect() within the daemon's one-second pause, or the
  // daemon finds no port and exits with 255.
  void unplug();
  // Removes /dev/ttyGS0 altogether (no gadget port on the board).
  void remove_port();

  PtyPort& port() { return port_; }

  // Gives the PC end a serial port of its own, as the station's USB serial
  // adapter: a second (raw) pty at `link_host_path` whose slave a client
  // such as ftmctl opens; a relay copies bytes both ways between its master
  // and the board's port. Returns the path. While the cable is attached,
  // HostClient must not read the board's port (the relay does).
  std::string attach_cable(const std::string& link_host_path);
  void detach_cable();

 private:
  PtyPort port_;
  std::unique_ptr<PtyPort> cable_;
};

}  // namespace vboard
