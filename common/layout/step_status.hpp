// A workflow step's status file, OUT/<set>/status/<step>.json, written last
// by runstep when the step has finished, one way or the other; read by
// runstep (the steps a step comes after) and by the workflow's index
// (workflow/scripts/index.py) and tests, as JSON:
//
//   {
//    "step": "ovofit",
//    "status": "ok",            "ok", "failed" or "skipped"
//    "message": null,           why it failed or was skipped, else null
//    "exit": 0,                 the program's status (a signal: minus its
//                               number), null for a step not run
//    "seconds": 0.081,          the program's wall time
//    "cpu_seconds": 0.079       its CPU time (user and system, with the
//   }                           programs it ran)
#pragma once

#include <optional>
#include <string>

namespace common::step_status {

struct Status {
    std::string step;
    std::string status;                  // kOk, kFailed or kSkipped
    std::optional<std::string> message;
    std::optional<int> exit;
    double seconds = 0;
    double cpuSeconds = 0;
};

inline constexpr const char* kOk = "ok";
inline constexpr const char* kFailed = "failed";
inline constexpr const char* kSkipped = "skipped";

// The file's text (ASCII: the message's other characters escaped).
std::string format(const Status& status);

// The status file at `path`; a file that cannot be read, or is not such an
// object, ends the run naming it.
Status read(const std::string& path);

}  // namespace common::step_status
