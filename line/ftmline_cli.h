#pragma once

#include <cstdio>
#include <span>

namespace ftmd::line {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;  // refused, empty pool, unknown unit, database not usable
inline constexpr int kExitUsage = 64;  // a bad command line

extern const char kFtmlineUsage[];

// ftmline: `argv` without the program name. Writes results to `out`,
// problems (one "ftmline: ..." line each) to `err`; gives the exit status.
int run_ftmline(std::span<const char* const> argv, std::FILE* out, std::FILE* err);

}  // namespace ftmd::line
