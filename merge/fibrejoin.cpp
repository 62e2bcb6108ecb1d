// fibrejoin INPUT_TRACK_FILE_1 INPUT_TRACK_FILE_2 ... OUTPUT_FILE
//
// Merges track files into one and tags every track with the input it came from; the command
// itself lives in the library (merge/MergeCommand.h).
#include "merge/MergeCommand.h"

int main(int argc, char** argv) {
    return RunMergeCommand(argc, argv);
}
