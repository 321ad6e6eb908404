#!/usr/bin/env bash
# The soak alone, by hand: the show for 30 minutes (--soak-minutes N to change it) under Xvfb
# with a PulseAudio null sink; its resident size and the sound its sink played, against the
# time elapsed. Writes bench/SOAK.md.
exec "$(dirname "$0")/run.sh" --soak-only "$@"
