// The converter's entry: the command line, the order of the steps, the
// user's messages and the recovery from a failed rewrite.
#pragma once

// Runs one conversion; returns the process's exit code.
int NbConvertMain(int argc, char** argv);
