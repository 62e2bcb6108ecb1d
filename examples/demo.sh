#!/bin/sh
# Merges the two example track files with fibrejoin and prints a summary of each file.
set -e
build=${1:-build}
dir=$build/examples
"$dir/make_example_tracks" "$dir"
for f in "$dir/left.trk" "$dir/right.trk"; do "$dir/track_summary" "$f"; echo; done
echo "\$ fibrejoin $dir/left.trk $dir/right.trk $dir/merged.trk"
"$build/fibrejoin" "$dir/left.trk" "$dir/right.trk" "$dir/merged.trk"
echo
"$dir/track_summary" "$dir/merged.trk"
