#!/usr/bin/env bash
# The main job: a real recording on a private sound server (a virtual
# microphone hearing 700 Hz, speakers playing 440 Hz), with the default input
# switched in the middle, then merge and analyze of the result; then echo
# cancellation on a loopback rig. Every event the program writes is shown
# (levels thinned out).
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

# Echo cancellation: a loopback carries what the speakers play into the
# microphone's feed 20 dB down, as a laptop's speakers reach its microphone.
# Two recordings at once, echo_cancel off and on, while another program plays
# a Czech voice (the far side of a call) and the microphone hears nothing else.
sleep 4 # the tones end
pactl set-default-source virtual_mic
echo "== echo cancellation: the speakers reach the microphone 20 dB down; two recordings, echo_cancel off and on"
espeak-ng -v cs -s 150 -w "$out/far-side.wav" "Dobrý den, vítám vás na dnešní poradě. Nejdřív projdeme \
výsledky za minulý měsíc, potom plán na příští čtvrtletí a nakonec otázky. Prodej vzrostl o dvanáct procent, \
hlavně díky novým zákazníkům v Brně a v Ostravě. Náklady zůstaly stejné, ale musíme se podívat na dopravu."
scripts/pulse_server.sh echo-path 60 >/dev/null
setsid -f paplay --device=speakers "$out/far-side.wav" >/dev/null 2>&1
for cancel in false true; do
  {
    echo "{\"cmd\":\"start\",\"out\":\"$out/echo-$cancel.m4a\",\"echo_cancel\":$cancel}"
    sleep 20
    echo '{"cmd":"stop"}'
    echo '{"cmd":"quit"}'
  } | build/korvalin-cap 2>"$out/echo-$cancel.log" | grep '"ev":"started"' &
done
wait
grep -h "potlačení ozvěny" "$out"/echo-*.log || true
for cancel in false true; do
  level=$(ffmpeg -nostdin -hide_banner -ss 10 -i "$out/echo-$cancel.m4a" \
    -af "pan=mono|c0=c0,astats=measure_perchannel=none:measure_overall=RMS_level" -f null - 2>&1 |
    sed -n 's/.*RMS level dB: \(-*[0-9]*\.[0-9]\).*/\1/p')
  echo "echo_cancel $cancel: the microphone's channel from 10 s on at $level dBFS"
done
echo
echo "== files"
ls -l "$out"
