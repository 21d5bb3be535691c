// finjoin's run, kept apart from main so that tests and other drivers go
// through the very same code.
#pragma once

namespace finjoin {

// The dialogue, the four stages and the fin file; returns the exit status
// (0). A failure throws common::RunTimeFailure.
int runFinjoin();

}  // namespace finjoin
