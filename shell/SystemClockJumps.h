#pragma once

#include "core/ClockJumps.h"

#include <memory>

// The system's report of a resume from suspend and of the wall clock being set. On Linux a
// timer on the wall clock that the kernel cancels whenever that clock jumps (a resume counts
// as one): it never fires otherwise, so it costs no wake-up. Elsewhere, a once-a-minute look
// at whether the wall clock and the event loop's clock still agree.
std::unique_ptr<ClockJumps> MakeSystemClockJumps();
