// Compatibility policy inside the library: the hardware probes.
#pragma once

namespace upfw::policy {

// The PHY identifier 1 register of the PHY at address 4: the register value; 0 when the read
// timed out or failed; -1 when the registers could not be mapped or the controller stayed busy.
int read_phy_id();

}  // namespace upfw::policy
