// bapply's run, kept apart from main so that other drivers go through the
// very same code.
#pragma once

namespace bapply {

// The whole dialogue and the three files; returns the exit status (0, or 1
// when no reflection has both values to scale). A failure throws
// common::RunTimeFailure, and no MTZ file is left behind.
int runBapply();

}  // namespace bapply
