#pragma once

#include <chrono>
#include <cstdio>
#include <optional>
#include <span>
#include <string>

#include "port.h"

namespace ftmd::station {

// Exit statuses of ftmstation.
inline constexpr int kExitAllPassed = 0;
inline constexpr int kExitSomeFailed = 1;
inline constexpr int kExitPort = 2;    // the port could not be used or failed during a unit
inline constexpr int kExitUsage = 64;  // command line, plan, units or records directory

// How long the station waits for the device's port to appear (each unit).
inline constexpr std::chrono::milliseconds kDefaultPortWait{10'000};
// How long a rebooting device may take to leave the bus.
inline constexpr std::chrono::milliseconds kRebootGoneWithin{10'000};
inline constexpr char kDefaultRecordsDir[] = "station-records";

struct StationOptions {
  std::string plan;  // "" = the default plan
  PortChoice port;   // exactly one set (path by default)
  std::string units_csv;
  std::string sn, csn, mac;  // one unit from the command line
  std::string records = kDefaultRecordsDir;
  std::string web;  // "ADDR:PORT" or ""
  std::string operator_hook;
  bool yes = false;
  std::string station;        // "" = host name
  std::string operator_name;  // "" = the login name
  // The line database ("" = none: units from --units or --sn/--csn/--mac).
  // Taken from FTMLINE_DB when neither --db nor a unit is given.
  std::string db;
  bool retest = false;  // with the database: a unit that passed may be tested again
  int count = 0;        // with the database: units to take (0 = until the operator stops)
  bool check = false;
  std::chrono::milliseconds port_wait = kDefaultPortWait;
  bool help = false;
};

struct ParsedStationArgs {
  std::optional<StationOptions> options;
  std::string error;
};
// Parses the arguments after argv[0]; "--opt=value" works too.
ParsedStationArgs parse_station_args(std::span<const char* const> args);

extern const char kStationUsage[];

// The whole station run; returns the exit status. `in_fd` is where the
// operator confirms with Enter.
int run_station(const StationOptions& options, std::FILE* out, std::FILE* err, int in_fd);

// main(): parse, run, exit status.
int station_main(int argc, char** argv);

}  // namespace ftmd::station
