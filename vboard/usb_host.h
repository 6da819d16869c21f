#pragma once

#include <atomic>
#include <memory>
#include <mutex>
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
  // HostClient must not read the board's port (the relay does). Cable and
  // names are thread-safe; the plugging controls above are not (one thread).
  std::string attach_cable(const std::string& link_host_path);
  void detach_cable();
  // Where the cable's link is ("" while no cable is attached).
  std::string cable_path() const;
  // Whether the device takes what the PC writes on the cable. A gadget
  // serial port whose tty nobody has opened yet (the board still booting)
  // drops it: nothing reaches /dev/ttyGS0, nothing is echoed back.
  void set_accepting(bool accepting) { accepting_ = accepting; }

  // The names udev gives the PC-side port of a CDC ACM device on a line PC:
  // `dir`/by-id/usb-Acme_FTM-Audio_<serial>-if00 and `dir`/by-path/<location>
  // are links to the cable's link while the cable is attached; they go before
  // the port goes and come back after it is back, as udev's do when the
  // device re-enumerates. An empty serial or location: no such name. Takes
  // effect at once when the cable is attached.
  void set_usb_names(const std::string& dir, const std::string& serial, const std::string& location);
  static constexpr char kByIdPrefix[] = "usb-Acme_FTM-Audio_";
  static constexpr char kByIdSuffix[] = "-if00";
  // Port 2 of the first root hub of a usual PC's xHCI controller.
  static constexpr char kDefaultLocation[] = "pci-0000:00:14.0-usb-0:2:1.0";

 private:
  void link_names_locked() const;
  void unlink_names_locked() const;

  PtyPort port_;
  mutable std::mutex mutex_;
  std::unique_ptr<PtyPort> cable_;  // guarded by mutex_
  std::string names_dir_;           // guarded by mutex_
  std::string serial_;              // guarded by mutex_
  std::string location_;            // guarded by mutex_
  std::atomic<bool> accepting_{true};
};

}  // namespace vboard
