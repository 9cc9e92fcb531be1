// The front end of the tool, apart from the process's entry point, so that the
// whole command line can also be run in process (by the fuzz harness).
#pragma once

// Runs the tool over `argv` as main() receives it: prints the usage without
// an image argument, otherwise queries the image argv[1] or relabels it with
// argv[2]. Returns the exit status: 0 on success, 1 on failure.
int run_command_line(int argc, char** argv);
