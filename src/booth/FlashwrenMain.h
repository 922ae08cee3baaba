#pragma once
// The application's run, shared by main() and the programs the tests launch.
#include <functional>

// Runs the booth and returns the process's exit status: 0 after an orderly
// quit or when another booth of this user is already running (it is brought
// forward instead). `prepare` runs once the application object exists and
// before anything starts.
int flashwrenMain(int argc, char** argv, const std::function<void()>& prepare = {});
