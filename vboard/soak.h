#pragma once

#include <functional>
#include <string>

#include "vboard/board.h"

namespace vboard {

// What is left of a board after it was torn down: a process in its pid
// namespace or its directory, said in one line; empty when nothing is.
std::string board_leftovers(const Board::Namespaces& namespaces, const std::string& state_dir);

// Boots, serves (one command) and tears down `rounds` boards made with
// `options`, one after the other, checking each for leftovers. `on_board`
// is told of each board while it is up and of nullptr once it is gone (for
// a signal handler that must take it down). Prints the set-up and serving
// times on stdout; returns 0, or 1 after saying on stderr what went wrong.
int soak(const BoardOptions& options, int rounds, const std::function<void(Board*)>& on_board);

}  // namespace vboard
