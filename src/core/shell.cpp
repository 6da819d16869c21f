#include "core/shell.h"

#include <cstdlib>
#include <vector>

namespace ftmd {

ReadPipe::ReadPipe(const char* command) : fp_(::popen(command, "re")) {}

ReadPipe::~ReadPipe() { close(); }

int ReadPipe::close() {
  if (fp_ == nullptr) return -1;
  int status = ::pclose(fp_);
  fp_ = nullptr;
  return status;
}

int run_shell(const char* command) { return std::system(command); }

OutputLine first_output_line(const char* command, std::size_t max_chars) {
  OutputLine out;
  ReadPipe pipe(command);
  out.started = pipe.started();
  if (!out.started) return out;
  std::vector<char> buf(max_chars + 1, '\0');
  if (std::fgets(buf.data(), static_cast<int>(buf.size()), pipe.get()) != nullptr) out.line = buf.data();
  pipe.close();
  return out;
}

}  // namespace ftmd
