#!/usr/bin/env bash
# Renders the artwork sources into the images the program embeds. Run it after editing
# an SVG here; the rendered files are committed so the build needs no renderer.
# Needs rsvg-convert (Debian package librsvg2-bin) and python3.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
out="$here/.."
icons="$out/Icons"
mkdir -p "$icons"

rsvg-convert -w 128 -h 128 "$here/start.svg" -o "$icons/StartIcon_Circleb.png"
rsvg-convert -w 128 -h 128 "$here/pause.svg" -o "$icons/PauseIcon_Circle.png"
rsvg-convert -w 128 -h 128 "$here/stop.svg" -o "$icons/StopIcon_Circle.png"
rsvg-convert -w 128 -h 128 "$here/restart.svg" -o "$icons/Restart_Circle.png"
rsvg-convert -w 128 -h 128 "$here/save.svg" -o "$icons/SaveIcon_Circle.png"
rsvg-convert -w 128 -h 128 "$here/logo_small.svg" -o "$icons/Logo_small.png"
rsvg-convert -w 334 -h 256 "$here/logo.svg" -o "$icons/Logo.png"
# The desktop icon an installation puts into the hicolor theme (the SVG itself is the
# scalable one).
rsvg-convert -w 256 -h 256 "$here/favicon.svg" -o "$icons/AppIcon_256.png"

# The window icon: an ICO holding PNG images of 16, 32, 48 and 64 pixels.
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
for s in 16 32 48 64; do
    rsvg-convert -w "$s" -h "$s" "$here/favicon.svg" -o "$tmp/$s.png"
done
python3 - "$out/favicon1.ico" "$tmp"/16.png "$tmp"/32.png "$tmp"/48.png "$tmp"/64.png <<'PY'
import struct, sys
target, pngs = sys.argv[1], sys.argv[2:]
blobs = [open(p, "rb").read() for p in pngs]
sizes = [struct.unpack(">II", b[16:24]) for b in blobs]
header = struct.pack("<HHH", 0, 1, len(blobs))
offset = 6 + 16 * len(blobs)
entries = b""
for (w, h), b in zip(sizes, blobs):
    entries += struct.pack("<BBBBHHII", w % 256, h % 256, 0, 0, 1, 32, len(b), offset)
    offset += len(b)
with open(target, "wb") as f:
    f.write(header + entries + b"".join(blobs))
PY
echo "Rendered into $out"
