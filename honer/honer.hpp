// honer's run, kept apart from main so that other drivers (the fuzz
// targets) go through the very same code.
#pragma once

namespace honer {

// The whole dialogue and both files; returns the exit status (0, or 1 when
// the log has no eigenB table). A failed open or read throws
// common::RunTimeFailure.
int runHoner();

}  // namespace honer
