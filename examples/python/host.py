"""A Python host: the Silero VAD over a WAV file read with the standard library, and a two-pass
session whose engines are written in Python. Usage: python3 host.py FILE.wav (16-bit mono)."""
import sys
import wave

import numpy as np
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

frame = 512 * rate // 16000
detector = vad.VADDetector(vad.VADConfig(sample_rate=rate, frame_size=frame, use_model=True))
session = dualis.Dualis(model_type="paraformer_funasr", sample_rate=rate)
session.load()
was_ended = False
step = 3 * frame  # whole frames per chunk: about 100 ms
for start in range(0, len(audio), step):
    chunk = audio[start:start + step]  # a view: the libraries read it without a copy
    session.stream_generate(chunk)
    has_speech, speech_ended = detector.process_audio(chunk)
    if speech_ended and not was_ended:
        print(f"{(start + len(chunk)) / rate:6.2f} s: {session.finalize()}")
        session.reset()
    was_ended = speech_ended
