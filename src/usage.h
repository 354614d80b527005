// The agent's command-line help.
#pragma once

// Prints help or the version and returns true when argv asks for either; the agent then exits
// instead of serving an interface named "--help".
bool handleInfoOptions(int argc, char **argv);
