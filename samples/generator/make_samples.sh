#!/usr/bin/env bash
# Rebuilds every sample document, the malformed files and the demo's package
# data. Needs the Debian packages listed in samples/README.md.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
samples="$(dirname "$here")"
repo="$(dirname "$samples")"
render=("/usr/bin/python3" "$here/render.py")
out="$samples/social_class7"

"${render[@]}" "$here/content/social_class7_paper.json" "$out" --only digital,scan150,scan300,truth
for sheet in meera arjun sana tanvi dev; do
  "${render[@]}" "$here/content/social_class7_sheet_$sheet.json" "$out" --only digital,scan150,truth &
done
# the one-page weak sheet is also the degraded 300 dpi handwriting sample
"${render[@]}" "$here/content/social_class7_sheet_kabir.json" "$out" --only digital,scan150,scan300,truth &
wait
/usr/bin/python3 "$here/hostile.py" "$out/social_class7_paper.digital.pdf" "$samples/hostile"
/usr/bin/python3 "$here/package.py" "$samples" "$repo/python/tovrane_core/_data/sample_class"
