// ovoreport: one run's files in one report a person reads (report.html) and
// the same numbers for pipelines (report.json).
//
// Run: fourteen answers on standard input (the last may be left out), one line each, in the order of
// Answers (run_files.hpp); every input may be blank when the run does not
// have that file, and the report then says what is missing. The outputs are
// created first (an existing one is never overwritten) and are written all
// or nothing: a failure leaves neither. Exit 0 with the report written, 2 on
// a failed open, read or write.
#include "ovoreport/ovoreport.hpp"

#include <cstdio>
#include <memory>
#include <string>

#include "common/failure.hpp"
#include "common/file_names.hpp"
#include "common/output_file.hpp"
#include "common/terminal.hpp"
#include "ovoreport/report.hpp"
#include "ovoreport/run_files.hpp"

namespace ovoreport {

namespace {

std::string input(std::string_view prompt, std::string_view what) { return common::askFileName(prompt, what); }

Answers askAnswers() {
    Answers a;
    a.appliedScript = input("Please type the ovoclip input script applied (blank for none)", "name of the ovoclip input script");
    a.planeviewScript = input("Please type the planeview script (blank for none)", "name of the planeview script");
    a.scalingLog = input("Please type the log of ovoscale or Phaser (blank for none)", "name of the scaling log");
    a.cadScript = input("Please type the cad input file (blank for none)", "name of the cad input file");
    a.ovofitScript = input("Please type the input script ovofit wrote (blank for none)", "name of ovofit's input script");
    a.ovofitTranscript = input("Please type the transcript of ovofit (blank for none)", "name of ovofit's transcript");
    a.ovofitPlot = input("Please type the plot of ovofit (blank for none)", "name of ovofit's plot");
    a.ovofitCif = input("Please type the mmCIF fragment of ovofit (blank for none)", "name of ovofit's mmCIF fragment");
    a.pagePicture = input("Please type the picture of the report page, PNG (blank for none)", "name of the page picture");
    a.startingLog = input("Please type the starting XSCALE.LP or CORRECT.LP (blank for none)", "name of the starting log");
    a.finalLog = input("Please type the final XSCALE.LP or CORRECT.LP (blank for none)", "name of the final log");
    a.report = input("Please type the name of the report to create", "name of the report");
    a.json = input("Please type the name of the JSON file to create (blank for none)", "name of the JSON file");
    a.mergingTable = common::fileNameFrom(
        common::askOrBlank("Please type the table of ovostats (blank for none)", "name of ovostats's table"));
    if (const std::string fault = common::faultOfFileName(a.mergingTable); !a.mergingTable.empty() && !fault.empty()) {
        common::fail("the name of ovostats's table names no file: " + fault);
    }
    if (a.report.empty()) common::fail("no name was given for the report");
    if (!a.json.empty() && common::sameFile(a.report, a.json)) {
        common::fail("the report and the JSON file are one file: " + common::quoted(a.report) + " and " +
                     common::quoted(a.json));
    }
    return a;
}

}  // namespace

int runOvoreport() {
    const Answers answers = askAnswers();
    // Both outputs exist under hidden names until both are complete.
    common::RunOutputs outputs;
    common::AllOrNothingFile html(outputs, answers.report);
    std::unique_ptr<common::AllOrNothingFile> json;
    if (!answers.json.empty()) json = std::make_unique<common::AllOrNothingFile>(outputs, answers.json);

    const Run run = readRun(answers);
    for (const std::string& missing : run.missing) common::say("missing: " + missing);
    writeHtml(html, run);
    if (json) writeJson(*json, run);
    if (json) json->flush();
    html.flush();
    // Said before the files take their names, so that a transcript that
    // cannot be written leaves no report either.
    common::say("report written to " + answers.report + (json ? " and " + answers.json : std::string()));
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) common::fail("cannot write to standard output");
    if (json) json->close();
    html.close();
    outputs.keep();
    return 0;
}

}  // namespace ovoreport
