#!/bin/sh
# The demo of the toolkit: first the merge on two small track files, then every module at work on
# a synthetic fibre bundle (volume I/O, the four tracking methods, the merge and a picture).
set -e
build=${1:-build}
dir=$build/examples
echo "== fibrejoin: merging two track files"
echo
"$dir/make_example_tracks" "$dir"
for f in "$dir/left.trk" "$dir/right.trk"; do "$dir/track_summary" "$f"; echo; done
echo "\$ fibrejoin $dir/left.trk $dir/right.trk $dir/merged.trk"
"$build/fibrejoin" "$dir/left.trk" "$dir/right.trk" "$dir/merged.trk"
echo
"$dir/track_summary" "$dir/merged.trk"
echo
echo "== The whole toolkit: volume files, tracking by four methods, the merge and a picture"
echo
mkdir -p "$dir/toolkit"
"$dir/toolkit_demo" "$dir/toolkit"
