#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "vboard/board.h"

namespace ftmd::test {

// The test PC's side of a board for a station run: the PC's end of the USB
// cable, a working directory with a records folder, and an operator hook
// that appends each action to `<dir>/actions` and waits (up to 30 s) until
// the test has done it on the board and created `<dir>/ack.<n>`.
struct StationRig {
  std::string port, dir, hook;
};

inline StationRig make_station_rig(vboard::Board& board) {
  StationRig rig;
  rig.port = board.usb_host().attach_cable(board.state_dir() + "/ttyPC0");
  rig.dir = board.state_dir() + "/station";
  std::filesystem::create_directories(rig.dir + "/records");
  rig.hook = rig.dir + "/hook";
  std::ofstream(rig.hook) << "#!/bin/sh\n"
                             "echo \"$1\" >> '" +
                                 rig.dir +
                                 "/actions'\n"
                                 "n=$(wc -l < '" +
                                 rig.dir +
                                 "/actions')\n"
                                 "i=0\n"
                                 "while [ ! -e '" +
                                 rig.dir +
                                 "/ack.'$n ]; do\n"
                                 "  sleep 0.02; i=$((i+1)); [ $i -gt 1500 ] && exit 1\n"
                                 "done\n"
                                 "exit 0\n";
  ::chmod(rig.hook.c_str(), 0755);
  return rig;
}

}  // namespace ftmd::test
