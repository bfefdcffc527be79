// The run sequence: one board, once, from the command line to the console relay.
#pragma once

// Returns the exit value: 0 after the usage text, the version or ESC; -1 on any failure.
int larkspur_run(int argc, char** argv);
