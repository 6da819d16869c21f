#include "core/shell.h"

#include <cstdlib>

namespace ftmd {

ReadPipe::ReadPipe(const char* command) : fp_(::popen(command, "re")) {}

ReadPipe::~ReadPipe() { close(); }

bool ReadPipe::read_line(char* buf, int size) {
  return fp_ != nullptr && std::fgets(buf, size, fp_) != nullptr;
}

int ReadPipe::close() {
  if (fp_ == nullptr) return -1;
  int status = ::pclose(fp_);
  fp_ = nullptr;
  return status;
}

int run_shell(const char* command) { return std::system(command); }

}  // namespace ftmd
