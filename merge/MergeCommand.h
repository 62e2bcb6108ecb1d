// The merge command as a library function, so that the executable, the tests and the fuzzer run
// the same code.
//
// fibrejoin INPUT_TRACK_FILE_1 INPUT_TRACK_FILE_2 ... OUTPUT_FILE merges track files that share
// one volume grid into one file, in argument order, and tags every track with a "DataSetID"
// property holding the zero-based position of the input it came from. The inputs are streamed
// one track at a time. Messages go to standard output and standard error; nothing is printed on
// success. The function owns every file it opens and closes it before returning.
#ifndef FIBREJOIN_MERGE_MERGECOMMAND_H
#define FIBREJOIN_MERGE_MERGECOMMAND_H

#include <cstdio>

// Runs the command on an argument list as main receives it (argv[0] is the program name).
// Returns the exit status: 0 after a merge, 1 after any reported failure.
int RunMergeCommand(int argc, char** argv);

// The same, with the messages meant for standard output going to `out` and those meant for
// standard error going to `err` (the two may be one stream), for callers that report them their
// own way. The streams stay open.
int RunMergeCommand(int argc, char** argv, FILE* out, FILE* err);

#endif  // FIBREJOIN_MERGE_MERGECOMMAND_H
