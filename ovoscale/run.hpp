#pragma once

namespace ovoscale {

// The whole run: the dialogue, the reflection file (XDS_ASCII merged or not,
// or an MTZ), French and Wilson's amplitudes, the anisotropic scaling, then
// the MTZ and the log, both or neither. Returns 0 with both written, 1 with
// no result (the reason on standard error, no file written); a failed open,
// read or write throws common::RunTimeFailure.
int runOvoscale();

}  // namespace ovoscale
