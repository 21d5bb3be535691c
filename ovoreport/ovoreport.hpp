// ovoreport's run, kept apart from main so that the tests and other drivers
// go through the very same code.
#pragma once

namespace ovoreport {

// The whole dialogue, the files read and the report written; returns the
// exit status. A failed open, read or write throws common::RunTimeFailure.
int runOvoreport();

}  // namespace ovoreport
