#pragma once

#include <chrono>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "port.h"
#include "station_file.h"

namespace ftmd::station {

// Exit statuses of ftmstation.
inline constexpr int kExitAllPassed = 0;
inline constexpr int kExitSomeFailed =
    1;                                 // a unit failed, was refused or aborted, or a record is not written
inline constexpr int kExitPort = 2;    // a port could not be used, was held by another station, or failed
inline constexpr int kExitUsage = 64;  // command line, station file, plan, units or records directory

// How long the station waits for the device's port to appear (each unit).
inline constexpr std::chrono::milliseconds kDefaultPortWait{10'000};
// How long a rebooting device may take to leave the bus.
inline constexpr std::chrono::milliseconds kRebootGoneWithin{10'000};
inline constexpr char kDefaultRecordsDir[] = "station-records";
// The name of the one slot of a station given a single port.
inline constexpr char kSingleSlotName[] = "1";

struct StationOptions {
  std::string plan;  // "" = the default plan
  // The slots; after parsing at least one (a single --port, --usb-serial or
  // --usb-location, or /dev/ttyACM0, is the slot kSingleSlotName).
  std::vector<SlotChoice> slots;
  std::string units_csv;
  std::string sn, csn, mac;  // one unit from the command line
  std::string records = kDefaultRecordsDir;
  std::string web;  // "ADDR:PORT" or ""
  std::string operator_hook;
  std::string on_record;  // run with each stored record's path ("" none)
  bool yes = false;
  std::string station;        // "" = host name
  std::string operator_name;  // "" = the login name
  // The line database ("" = none: units from --units or --sn/--csn/--mac).
  // Taken from FTMLINE_DB when neither --db nor a unit is given.
  std::string db;
  bool retest = false;  // with the database: a unit that passed may be tested again
  int count = 0;        // with the database: units to take, all slots together (0 = until stopped)
  bool check = false;
  std::chrono::milliseconds port_wait = kDefaultPortWait;
  std::string station_file;  // where the options not given came from ("" none)
  bool help = false;
};

struct ParsedStationArgs {
  std::optional<StationOptions> options;
  std::string error;
  bool in_file = false;  // the error is in the station file ("FILE:LINE: reason")
};
// Parses the arguments after argv[0] ("--opt=value" works too), and the
// station file they name, whose settings the command line overrides.
ParsedStationArgs parse_station_args(std::span<const char* const> args);

extern const char kStationUsage[];

// The whole station run; returns the exit status. `in_fd` is where the
// operator answers at the terminal (-1: nowhere).
int run_station(const StationOptions& options, std::FILE* out, std::FILE* err, int in_fd);

// "ADDR:PORT" ("[::1]:8080" too) into its parts; false when it is not one.
bool split_address(const std::string& text, std::string& address, int& port);

// main(): parse, run, exit status.
int station_main(int argc, char** argv);

}  // namespace ftmd::station
