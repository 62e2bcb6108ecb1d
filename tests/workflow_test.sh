#!/bin/sh
# The example Snakemake workflow on the demo field: three shards as independent jobs on two cores,
# merged with fibrejoin, figures by fibreinfo --json; the merge must equal one unsharded run.
# Usage: workflow_test.sh SOURCE_DIR BUILD_DIR WORK_DIR. Exit 77 (skipped) without snakemake.
set -eu
source=$1 build=$2 work=$3
if ! command -v snakemake >/dev/null 2>&1; then
  echo "SKIPPED: snakemake is not installed (Debian: snakemake); the workflow is not run"
  exit 77
fi
rm -rf "$work"
mkdir -p "$work"
PATH=$build:$build/commands:$PATH
export PATH
"$build/examples/make_tensor_field" "$work"
snakemake -s "$source/examples/workflow/Snakefile" --cores 2 --directory "$work" --quiet \
  --config tensor="$work/tensors.nii.gz" mask="$work/mask.nii.gz" shards=3 out=tracks
fibretrack --mask "$work/mask.nii.gz" --quiet "$work/tensors.nii.gz" "$work/whole.trk"
"$build/examples/same_tracks" "$work/tracks/merged.trk" "$work/whole.trk"
# The figures name the three shards and agree with the whole run's count.
whole=$(fibreinfo --json "$work/whole.trk" | sed 's/.*"tracks":\([0-9]*\),.*/\1/')
json=$(cat "$work/tracks/merged.json")
for expected in "\"tracks\":$whole," '"complete":true' '{"id":0,' '{"id":1,' '{"id":2,'; do
  case $json in
    *"$expected"*) ;;
    *) echo "merged.json lacks $expected: $json"; exit 1 ;;
  esac
done
echo "workflow: 3 shards merged equal the whole run ($whole tracks)"
