// runstep: one step of the workflow over many data sets (workflow/Snakefile):
// runs one program in a folder of its own, answers its questions on standard
// input, and leaves, whatever happens, the step's files, its transcript and
// its status, so that a failed program is a finished step and the data set's
// later steps are skipped rather than the run stopped.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace runstep {

// One step of the workflow: a JSON object; the only argument is one step or
// a list of them, run in order (the Snakefile writes it).
struct Job {
    std::string folder;                               // the data set's output folder
    std::string step;                                 // the step's name
    std::vector<std::string> command;                 // the program and its arguments
    std::optional<std::vector<std::string>> answers;  // one a line; none: stdin empty
    std::vector<std::string> makes;                   // files the program must leave
    std::vector<std::string> after;                   // status files of the steps it reads from
};

// The steps of a job: one JSON object or a list of them; a text that is
// neither ends the run.
std::vector<Job> parseJobs(std::string text);

// Runs the step: the program in <folder>/.<step>.part/, then
//   <folder>/<step>/              its files, moved there whole when it succeeded
//                                 (empty when it failed or was skipped),
//   <folder>/<step>.terminal      what it said: standard output, then standard error,
//   <folder>/status/<step>.json   written last (common/layout/step_status.hpp).
// A step after one that did not succeed is skipped: nothing runs. A failure
// of the step itself (a file that cannot be written) ends the run without
// a status file, and so does a signal, passed on to the program first: the
// workflow runs such a step again. A status from an earlier run is removed
// first; a second runstep on a step that one is running refuses.
void runJob(const Job& job);

// How long a message may be: the start of a longer last line is kept.
inline constexpr size_t kLongestMessage = 2000;

}  // namespace runstep
