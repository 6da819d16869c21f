#include "mcu/mcu.h"

namespace ftmd {

// The start-up handshake lands together with the board's audio MCU: until
// then start-up goes straight on to the USB link.
void mcu_wakeup() {}

}  // namespace ftmd
