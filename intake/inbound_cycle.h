// The inbound processing cycle: one tick takes at most one inbound file from
// end to end (choose, read, parse, dispatch, dispose). Runs on the message
// loop's thread inside the processing timer's tick.
#ifndef NORV_INTAKE_INBOUND_CYCLE_H_
#define NORV_INTAKE_INBOUND_CYCLE_H_

#include <cstdint>
#include <string>

namespace norv {

// State the form keeps between ticks.
struct InboundCycle {
  // Directory used by the current or last tick; empty before the first.
  std::string CurrentInboundDir;
  // Index into ExportPathList when InboundPath is "TCPRECEIVE".
  std::int32_t InboundDirIndex = 0;
};

// One processing tick, steps 2 to 11 (the caller switches the timer off
// before and on after). Never throws.
void RunInboundTick(InboundCycle& cycle);

}  // namespace norv

#endif  // NORV_INTAKE_INBOUND_CYCLE_H_
