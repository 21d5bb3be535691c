// The whole run of planeview, for main and for other drivers.
#pragma once

namespace planeview {

// Asks for the five files, reads them and writes the report page; returns
// the exit status (0). A failed open or read is thrown as a run-time
// failure for common::runProgram to report.
int runPlaneview();

}  // namespace planeview
