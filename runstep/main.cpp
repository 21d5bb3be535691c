// runstep: the steps of one job of the workflow, given as JSON.
#include <cstdio>
#include <string>

#include "common/failure.hpp"
#include "runstep/runstep.hpp"

namespace {

constexpr const char* kUsage =
    "usage: runstep JOB\n"
    "  JOB: a step or a list of steps, run in order, each\n"
    "       {\"folder\": F, \"step\": S, \"command\": [PROGRAM, ARG...], \"answers\": [LINE...] or null,\n"
    "        \"makes\": [FILE...], \"after\": [STATUS FILE...]}\n"
    "Runs PROGRAM in F/.S.part/ with the answers on standard input, then leaves\n"
    "F/S/ (its files), F/S.terminal (what it said) and F/status/S.json (written\n"
    "last: ok, failed or skipped; a step after one that did not succeed is\n"
    "skipped). Status 0 when every status file is written, whatever the\n"
    "programs did; 2 when the job is refused (not such a list, or a step\n"
    "run already) or a step could not be recorded.\n";

std::string job;

int body() {
    for (const runstep::Job& step : runstep::parseJobs(job)) runstep::runJob(step);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) {
        std::fputs(kUsage, stdout);
        return std::fflush(stdout) == 0 ? 0 : common::kExitFailure;
    }
    if (argc != 2) {
        std::fputs(kUsage, stderr);
        return common::kExitFailure;
    }
    job = argv[1];
    return common::runProgram("runstep", body);
}
