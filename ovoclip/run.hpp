// ovoclip's run, kept apart from main so that other drivers (the fuzz
// targets) go through the very same code.
#pragma once

namespace ovoclip {

// The whole dialogue and every file; returns the exit status (0, or 1 when
// the XDS file ends inside its header). A failed open or read throws
// common::RunTimeFailure.
int runOvoclip();

}  // namespace ovoclip
