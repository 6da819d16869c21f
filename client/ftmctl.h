#pragma once

#include <cstdio>

namespace ftmd::client {

// The whole ftmctl program on the given streams; returns its exit status.
// Commands come from argv or, when there are none, from `in`, one per line.
int ftmctl_main(int argc, char** argv, std::FILE* in, std::FILE* out, std::FILE* err);

}  // namespace ftmd::client
