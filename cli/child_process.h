// A child process whose standard output and error come back through one
// pipe the parent's event loop watches: what --all and --station run per
// controller. One file per system (child_process_posix.cpp, _windows.cpp).
#pragma once

#include <memory>
#include <string>
#include <vector>

struct ChildProcess;

// Starts this program again with `args` (args[0] is its name), its standard
// input empty. `ownProcessGroup`: a terminal's Ctrl-C reaches the parent
// alone, which decides what the child hears (on Windows every child is a
// group of its own and hears only InterruptChild). Null when it could not
// start.
std::shared_ptr<ChildProcess> StartChildProcess(const std::vector<std::string>& args, bool ownProcessGroup);

// The value the event loop watches for the child's output.
int ChildOutputWatched(const ChildProcess& child);

// Appends what the child wrote since the last call; false once it closed
// its output (it has ended, or is about to).
bool DrainChildOutput(ChildProcess& child, std::string& into);

// Waits for the child to end: its exit status, 128 + the signal's number
// where a signal ended it.
int CollectChildStatus(ChildProcess& child);

// Asks the child to stop as a Ctrl-C would: it stops its transfer and says so.
void InterruptChild(ChildProcess& child);
