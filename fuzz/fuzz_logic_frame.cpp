// The logic MCU's receive path for arbitrary bytes from the UART: the frame
// check, the decoder that turns a reply frame into the text a command waits
// for, and the three report texts on any data.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>

#include "fuzz_input.h"
#include "logicmcu/logic_frame.h"
#include "logicmcu/logic_link.h"

using namespace ftmd;
using ftmd::fuzz::require;

namespace {

bool terminated(const LogicText& text) { return std::find(text.begin(), text.end(), '\0') != text.end(); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // One read of the receiver: at most one buffer, the rest zero.
  LogicFrame frame{};
  const std::size_t count = std::min(size, kLogicFrameBufferSize);
  std::memcpy(frame.bytes().data(), data, count);

  static LogicMcuLink link;  // no receiver thread, no port
  {
    std::lock_guard lock(link.mutex);
    link.reply.clear();
  }
  const bool accepted = logic_frame_accepted(frame);
  if (accepted) {
    require(logic_frame_fits(frame));
    logicmcu_handle_frame(link, frame, count);
  }
  {
    std::lock_guard lock(link.mutex);
    require(terminated(link.reply.text));
    // Only a well-formed reply of codes 1 to 4 hands text over.
    if (link.reply.ready)
      require(accepted && frame.cmd >= kLogicCmdGetMode && frame.cmd <= kLogicCmdSetValue &&
              count > kLogicHeaderSize);
  }

  // The report texts on data of any length the buffer can hold.
  std::span<const std::uint8_t> any(data, std::min<std::size_t>(size, kLogicMaxDataLen));
  require(terminated(logic_mode_text(any)));
  require(terminated(logic_value_text(any)));
  LogicText result = logic_set_result_text(any);
  require(terminated(result));
  const std::string_view r(result.data());
  require(r.empty() || r == "OK" || r == "ERROR");
  return 0;
}
