#pragma once
// The application's run, shared by main() and the programs the tests launch.
#include <functional>

// Runs the booth and returns the process's exit status: 0 after an orderly
// quit or when another booth of this user is already running (it is brought
// forward instead). `prepare` runs once the application object exists and
// before anything starts.
int flashwrenMain(int argc, char** argv, const std::function<void()>& prepare = {});

// Image-sized blocks (live-view frames, photos, prints) get a mapping of
// their own, which goes back to the system as soon as they are freed. Left
// to itself the C library keeps such blocks in the heap of the thread that
// freed them once it has seen a few, and over an event's sessions the
// booth's worker threads would hold hundreds of megabytes they no longer
// use. Called at start, before any thread.
void returnLargeBlocksWhenFreed();
