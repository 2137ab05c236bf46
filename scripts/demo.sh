#!/usr/bin/env bash
# The main job: a recording on the simulated audio system with a device
# change in the middle, then merge and analyze of the result. Every event the
# program writes is shown.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

out=$(mktemp -d /tmp/korvalin-demo.XXXXXX)
cat > "$out/scenario.json" <<'JSON'
{"devices": [{"uid": "sim-mic", "name": "Simulovaný mikrofon", "input": [1], "rate": 48000, "tone": [1000, 0.25]},
             {"uid": "usb-mic", "name": "USB mikrofon", "input": [1], "rate": 48000, "tone": [700, 0.3]}],
 "timeline": [{"at": 2.0, "default_input": "usb-mic"}]}
JSON

echo "== recording into $out (the input device changes after 2 s)"
{
  echo "{\"cmd\":\"start\",\"out\":\"$out/seg-000.m4a\"}"
  sleep 4
  echo '{"cmd":"stop"}'
  echo "{\"cmd\":\"merge\",\"segments\":[\"$out/seg-000.m4a\",\"$out/seg-000~001.m4a\"],\"out\":\"$out/meeting.m4a\"}"
  echo '{"cmd":"quit"}'
} | KORVALIN_SIM_SCENARIO="$out/scenario.json" build/korvalin-cap-sim | grep -v '"ev":"levels"'

echo "== analysis of the merged file"
build/korvalin-cap --analyze "$out/meeting.m4a"
echo "== files"
ls -l "$out"
