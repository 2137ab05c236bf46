#!/usr/bin/env bash
# The main job: a real recording on a private sound server (a virtual
# microphone hearing 700 Hz, speakers playing 440 Hz), with the default input
# switched in the middle, then merge and analyze of the result. Every event
# the program writes is shown (levels thinned out).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --program

out=$(mktemp -d /tmp/korvalin-demo.XXXXXX)
eval "$(scripts/pulse_server.sh start "$out/pulse")"
trap 'scripts/pulse_server.sh stop "$out/pulse" >/dev/null 2>&1 || true' EXIT
scripts/pulse_server.sh tone micsink 700 8 0.3 >/dev/null 2>&1 &
# Another program's sound: not a child of this script, which is the
# recorder's host and whose own sounds it leaves out.
setsid -f scripts/pulse_server.sh tone speakers 440 8 0.5 >/dev/null 2>&1
sleep 0.3

echo "== recording into $out (the default input changes after 2 s)"
{
  echo "{\"cmd\":\"start\",\"out\":\"$out/seg-000.m4a\"}"
  sleep 2
  pactl set-default-source second_mic
  sleep 2
  echo '{"cmd":"stop"}'
  echo "{\"cmd\":\"merge\",\"segments\":[\"$out/seg-000.m4a\",\"$out/seg-000~001.m4a\"],\"out\":\"$out/meeting.m4a\"}"
  echo '{"cmd":"quit"}'
} | build/korvalin-cap | awk '!/"ev":"levels"/ || n++ % 5 == 0'

echo "== analysis of the merged file"
build/korvalin-cap --analyze "$out/meeting.m4a"
echo
echo "== files"
ls -l "$out"
