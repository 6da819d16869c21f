#include <cstdio>
#include <span>

#include "line/ftmline_cli.h"

int main(int argc, char** argv) {
  return ftmd::line::run_ftmline(std::span<const char* const>(argv + 1, static_cast<std::size_t>(argc - 1)),
                                 stdout, stderr);
}
