#!/usr/bin/env bash
# Sets everything up, generates the demo pictures and music, and runs the show on them.
# Stop it with q or Escape.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh
build/tools/make-demo build/demo
cd build/demo

# Whether the music has somewhere to play, said before the show rather than in the libraries'
# complaints after it: a sound server, else a sound card whose default device opens. With no
# card at all, the show plays on a PulseAudio null sink of its own, heard by nobody.
if pactl info >/dev/null 2>&1; then
  exec ../app/showreel
fi
if grep -q '^ *[0-9]' /proc/asound/cards 2>/dev/null; then
  if ! err=$(aplay -q -t raw -f S16_LE -c 2 -r 44100 -s 4410 /dev/zero 2>&1); then
    echo "demo: the sound card does not open (${err##*$'\n'}): start the desktop's sound" \
      "server (systemctl --user start pipewire-pulse, or pulseaudio --start), or free the card" >&2
    exit 1
  fi
  exec ../app/showreel
fi
runtime=$(mktemp -d)
trap 'kill "$server" 2>/dev/null; wait "$server" 2>/dev/null; rm -rf "$runtime"' EXIT
HOME=$runtime XDG_RUNTIME_DIR=$runtime XDG_CONFIG_HOME=$runtime pulseaudio -n --daemonize=no \
  --exit-idle-time=-1 --use-pid-file=no -L "module-null-sink sink_name=demo" \
  -L "module-native-protocol-unix auth-anonymous=1 socket=$runtime/native" 2>/dev/null &
server=$!
for _ in $(seq 100); do [[ -S $runtime/native ]] && break; sleep 0.1; done
echo "demo: no sound card here: the music plays on a silent PulseAudio null sink (on a machine" \
  "with a card, or with PulseAudio or PipeWire running, it is heard)" >&2
PULSE_SERVER=unix:$runtime/native ../app/showreel
