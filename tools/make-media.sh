#!/usr/bin/env bash
# Builds the game's eight sound files in Media/ from nothing but synthesis:
# tools/media_synth.py for the cluck, shot, kill and music, Festival for the
# spoken prompts, sox for resampling and reverb, LAME for the music's MP3.
# Deterministic: a second run writes byte-identical files.
#
#   tools/make-media.sh [OUTPUT_DIR]     (default: Media/ in the repository)
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
out="${1:-$here/../Media}"
mkdir -p "$out"
out="$(cd "$out" && pwd)"

# The spoken prompts, file name -> text. The only place their wording lives.
declare -A PROMPTS=(
  [PlayAgain.wav]="Play again? Press Y for yes or N for no."
  [SendScore.wav]="Send your score to the online score table? Press Y for yes or N for no."
  [Name.wav]="Type your name, then press Enter."
  [scoreless.wav]="Your score is below zero. There is nothing to send."
)
VOICE="voice_cmu_us_slt_arctic_hts"

for tool in python3 sox lame text2wave; do
  command -v "$tool" >/dev/null || { echo "make-media: $tool missing; run tools/setup-media-tools.sh" >&2; exit 1; }
done

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
synth=(python3 "$here/media_synth.py")

echo "make-media: effects" >&2
"${synth[@]}" cluck "$out/Chicken.wav"
"${synth[@]}" shot "$out/Shot.wav"
"${synth[@]}" kill "$out/KillChicken.wav"

echo "make-media: prompts" >&2
for file in "${!PROMPTS[@]}"; do
  printf '%s\n' "${PROMPTS[$file]}" > "$work/text"
  text2wave -eval "($VOICE)" -o "$work/raw.wav" "$work/text"
  # Rumble and DC out before levelling; -R keeps sox's dither repeatable.
  sox -R "$work/raw.wav" -b 32 "$work/speech.wav" highpass 70 rate -v 48000
  "${synth[@]}" finish-prompt "$work/speech.wav" "$out/$file"
done

echo "make-media: music (takes a while)" >&2
frames=$(python3 -B -c "import sys; sys.path.insert(0, '$here'); import media_synth as m; print(m.LOOP_FRAMES)")
"${synth[@]}" music-dry "$work/dry.wav"
# Three periods go in and the middle one comes out, so the reverb tail and
# the filter's memory at the loop's start are those of its own end.
# The low-pass keeps the music under the cluck's band.
sox -R "$work/dry.wav" -b 32 "$work/wet.wav" \
  sinc -t 150 -480 reverb 45 60 80 100 15 -2 trim "${frames}s" "${frames}s"
"${synth[@]}" finish-music "$work/wet.wav" "$work/music.wav"
# LAME's Info tag records encoder delay and padding, so a gapless decoder
# returns exactly the loop's frames and the loop seams cleanly.
lame --quiet --noreplaygain -q 0 -V 0 "$work/music.wav" "$out/Background.mp3"

echo "make-media: wrote $out" >&2
