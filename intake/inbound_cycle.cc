#include "intake/inbound_cycle.h"

namespace norv {

void RunInboundTick(InboundCycle&) {
  // The inbound cycle arrives with the HL7 intake.
}

}  // namespace norv
