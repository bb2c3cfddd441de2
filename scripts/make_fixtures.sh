#!/usr/bin/env bash
# Test and demo audio, made on this machine (nothing binary is committed), and ONNX Runtime's
# probabilities for it:
#   speech_16k.wav, speech_8k.wav  three spoken sentences with pauses (espeak-ng), 16-bit mono;
#                                  speech_*.segments lists each sentence's "start end" in seconds
#   sample.wav                     the demo sample: three sentences with pauses in a natural voice
#                                  (flite's slt), 16 kHz; sample.txt holds the sentences' words
#   *.ort.txt                      per-frame probabilities from scripts/silero/ort_reference.js,
#                                  also for ../shared/testdata/*.wav when that folder exists
#   echo.jit, recurrent.jit        tiny TorchScript models (scripts/silero/test_models.py), and
#   other_basis.jit                the converted model with an STFT basis that is not a DFT
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
out="$here/data/generated/fixtures"
onnx="$here/data/generated/silero_vad_v6.onnx"
mkdir -p "$out"
export QUERN_NODE_MODULES="$here/third_party/npm/node_modules"

sentences=(
  "The quick brown fox jumps over the lazy dog."
  "Speech recognition works best with short pauses between sentences."
  "Thank you, that is all for today."
)

make_speech() {  # make_speech espeak|flite RATE OUT.wav OUT.segments [sentence...]
  local voice=$1 rate=$2 wav=$3 seg=$4; shift 4
  local tmp; tmp=$(mktemp -d)
  local parts=() t=0.5 i=0
  sox -n -r "$rate" -c 1 -b 16 "$tmp/lead.wav" trim 0 0.5
  parts+=("$tmp/lead.wav")
  : > "$seg.tmp"
  for s in "$@"; do
    if [ "$voice" = flite ]; then
      flite -voice slt -t "$s" -o "$tmp/raw$i.wav"
    else
      espeak-ng -s 150 -w "$tmp/raw$i.wav" "$s"
    fi
    sox "$tmp/raw$i.wav" -r "$rate" -c 1 -b 16 "$tmp/s$i.wav"
    local d; d=$(soxi -D "$tmp/s$i.wav")
    echo "$t $(echo "$t + $d" | bc -l)" >> "$seg.tmp"
    sox -n -r "$rate" -c 1 -b 16 "$tmp/gap$i.wav" trim 0 2.0
    parts+=("$tmp/s$i.wav" "$tmp/gap$i.wav")
    t=$(echo "$t + $d + 2.0" | bc -l)
    i=$((i + 1))
  done
  sox "${parts[@]}" "$wav.tmp.wav"
  mv "$wav.tmp.wav" "$wav"
  mv "$seg.tmp" "$seg"
  rm -rf "$tmp"
}

sample=(
  "Hello, and welcome to the quern engine layer."
  "This sample has three sentences, with pauses between them."
  "Each one should end as its own utterance."
)
if [ ! -s "$out/speech_16k.wav" ] || [ "$out/speech_16k.wav" -ot "$0" ]; then
  echo "setup: making speech fixtures with espeak-ng and flite"
  make_speech espeak 16000 "$out/speech_16k.wav" "$out/speech_16k.segments" "${sentences[@]}"
  make_speech espeak 8000 "$out/speech_8k.wav" "$out/speech_8k.segments" "${sentences[@]}"
  make_speech flite 16000 "$out/sample.wav" "$out/sample.segments" "${sample[@]}"
  printf '%s\n' "${sample[@]}" > "$out/sample.txt"
fi

if ! [ "$out/other_basis.jit" -nt "$here/scripts/silero/test_models.py" ] ||
   ! [ "$out/other_basis.jit" -nt "$here/data/generated/silero_vad.jit" ]; then
  /usr/bin/python3 "$here/scripts/silero/test_models.py" "$out" "$here/data/generated/silero_vad.jit"
fi

reference() {  # reference IN.wav OUT.txt
  if [ ! -s "$2" ] || [ "$2" -ot "$1" ] || [ "$2" -ot "$onnx" ]; then
    node "$here/scripts/silero/ort_reference.js" "$onnx" "$1" > "$2.tmp"
    mv "$2.tmp" "$2"
  fi
}
for f in speech_16k speech_8k sample; do reference "$out/$f.wav" "$out/$f.ort.txt"; done
shared="$here/../shared/testdata"
if [ -d "$shared" ]; then
  for f in "$shared"/speech_16k.wav "$shared"/speech_8k.wav; do
    [ -f "$f" ] && reference "$f" "$out/shared_$(basename "$f" .wav).ort.txt"
  done
fi
exit 0
