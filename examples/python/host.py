"""A Python host: one quern.Stream over a WAV file read with the standard library, its engines
written in Python and its utterances ended by the Silero VAD. Usage: python3 host.py FILE.wav
(16-bit mono)."""
import sys
import wave

import numpy as np
import quern
from quern import dualis, vad

with wave.open(sys.argv[1]) as w:
    rate = w.getframerate()
    audio = np.frombuffer(w.readframes(w.getnframes()), "<i2").astype(np.float32) / 32768


class Engine:
    """Streaming, offline and punctuation engine in one: it only counts samples."""

    def __init__(self, **options):  # the engine class's options: model, device, ...
        self.options = options

    def load(self):
        pass

    def reset(self):
        pass

    def stream_generate(self, audio, is_final=False, language="zh"):
        return [{"text": "", "samples": len(audio)}]

    def transcribe(self, audio, language="zh"):
        return [{"text": f"{len(audio) / rate:.2f} s of audio"}]

    def generate(self, text, language="zh"):
        return text + "."


for name in ("ParaformerStreamASR", "ParaformerOfflineASR", "PunctuationModel"):
    dualis.provide(name, Engine)

stream = quern.Stream(sample_rate=rate, model_type="paraformer_funasr",
                      vad=vad.VADConfig(frame_size=512 * rate // 16000, use_model=True))
step = rate // 10  # 100 ms chunks, as a client sends them
for start in range(0, len(audio), step):
    # A view: the libraries read it without a copy.
    for event in stream.feed(audio[start:start + step]):
        if isinstance(event, quern.stream.Final):
            print(f"{event.end:6.2f} s: {event.text}")
for event in stream.finish():
    if isinstance(event, quern.stream.Final):
        print(f"{event.end:6.2f} s: {event.text}")
