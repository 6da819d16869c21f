#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "port.h"

namespace ftmd::station {

// One test slot: a name for the operator and the port its units are on.
struct SlotChoice {
  std::string name;  // letters, digits, "_" and "-", at most 32
  PortChoice port;
};

// What a station file (YAML) says; a key not given stays empty. The
// command line's options override it.
//
//   station: line3-st1           # the station's name in records
//   slots:                       # one map per slot: name and one of
//     - {name: a, port: /dev/serial/by-path/pci-0000:00:14.0-usb-0:1:1.0}
//     - {name: b, usb_serial: "0042"}        #   port, usb_serial, usb_location
//   database: sqlite:line.db     # the line database (--db)
//   records: /srv/ftm/records    # the records directory (--records)
//   web: 0.0.0.0:8080            # the station view (--web)
//   operator_hook: /usr/local/bin/lamp
//   on_record: /usr/local/bin/mes-push   # run with each stored record's path
//   operator: ann
//   plan: /etc/ftmstation/plan.yaml
struct StationFile {
  std::string station;
  std::vector<SlotChoice> slots;
  std::string database;
  std::string records;
  std::string web;
  std::string operator_hook;
  std::string on_record;
  std::string operator_name;
  std::string plan;
};

// Parses a station file; nothing and "FILE:LINE: reason" in `error` when it
// is not one (unknown or repeated keys, a bad slot, two slots on one port).
std::optional<StationFile> parse_station_file(std::string_view text, const std::string& file,
                                              std::string* error);
std::optional<StationFile> load_station_file(const std::string& path, std::string* error);

// What is wrong with a slot's name, or "".
std::string slot_name_problem(const std::string& name);
// A slot from the command line's "NAME=PORT": PORT is a device path, or
// "usb-serial:SN" or "usb-location:LOC". Nothing and why in `error`.
std::optional<SlotChoice> parse_slot_arg(const std::string& arg, std::string* error);
// What is wrong with a station's slots as a whole (names or ports twice), or "".
std::string slots_problem(const std::vector<SlotChoice>& slots);

}  // namespace ftmd::station
