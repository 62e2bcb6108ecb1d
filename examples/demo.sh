#!/bin/sh
# The demo of the toolkit: the commands a user runs on a tensor image (fibretrack whole and in
# shards, fibrejoin to merge the shards, fibreinfo with its picture), then every library module at
# work on the same synthetic bundle.
set -e
build=${1:-build}
dir=$build/examples
out=$dir/demo
mkdir -p "$out"
run() { echo "\$ $*" | sed "s|^\$ $build/commands/|$ |; s|^\$ $build/|$ |"; "$@"; }

echo "== A synthetic fibre bundle written as NIfTI images"
"$dir/make_tensor_field" "$out"
echo
echo "== fibretrack: the whole field in one run, then in three shards (as three cluster jobs would)"
run "$build/commands/fibretrack" --mask "$out/mask.nii.gz" --force "$out/tensors.nii.gz" "$out/whole.trk"
for k in 0 1 2; do
  run "$build/commands/fibretrack" --mask "$out/mask.nii.gz" --shard "$k/3" --quiet --force \
    "$out/tensors.nii.gz" "$out/shard_$k.trk"
done
echo
echo "== fibrejoin: the shards merged in order equal the whole run (plus DataSetID, the shard)"
rm -f "$out/merged.trk"
run "$build/fibrejoin" "$out/shard_0.trk" "$out/shard_1.trk" "$out/shard_2.trk" "$out/merged.trk"
"$dir/same_tracks" "$out/merged.trk" "$out/whole.trk"
echo
echo "== fibreinfo: what the merged file holds, and its pictures"
run "$build/commands/fibreinfo" "$out/merged.trk"
run "$build/commands/fibreinfo" --picture "$out/merged.svg" --colour-by source --force "$out/merged.trk" >/dev/null
run "$build/commands/fibreinfo" --picture "$out/whole.svg" --force "$out/whole.trk" >/dev/null
echo
echo "== The library: volume files, tracking by four methods, the merge and a picture"
mkdir -p "$dir/toolkit"
"$dir/toolkit_demo" "$dir/toolkit" >"$dir/toolkit/log.txt"
tail -n 7 "$dir/toolkit/log.txt"
echo
echo "== Where the outputs are"
echo "  images:   $out/tensors.nii.gz, $out/mask.nii.gz"
echo "  tracks:   $out/whole.trk, $out/shard_0.trk .. shard_2.trk, merged: $out/merged.trk"
echo "  pictures: $out/whole.svg (by direction), $out/merged.svg (by shard), open in a browser"
echo "  library:  $dir/toolkit/ (all_methods.trk, all_methods.svg; log.txt)"
