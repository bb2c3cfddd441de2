"""Anchor: a straightforward NumPy version of the energy-mode detector (frames of 512, RMS,
10-value history, padding and silence counters) on 100 ms chunks. Prints
{"numpy_energy_chunk_us": <microseconds per 1600-sample chunk>}."""
import collections
import json
import time

import numpy as np


class EnergyVAD:
    def __init__(self, frame_size=512, threshold=0.01, silence_frames=31, padding_frames=9):
        self.frame_size = frame_size
        self.threshold = threshold
        self.silence_frames = silence_frames
        self.padding_frames = padding_frames
        self.history = collections.deque(maxlen=10)
        self.speech_detected = False
        self.silence_counter = 0
        self.padding_counter = 0

    def process_frame(self, frame):
        energy = float(np.sqrt(np.mean(frame ** 2)))
        self.history.append(energy)
        is_speech = float(np.mean(self.history)) > self.threshold
        ended = False
        if is_speech:
            self.speech_detected = True
            self.silence_counter = 0
            self.padding_counter = 0
        elif self.speech_detected:
            if self.padding_counter < self.padding_frames:
                self.padding_counter += 1
            else:
                self.silence_counter += 1
                ended = self.silence_counter >= self.silence_frames
        return is_speech, ended

    def process_audio(self, audio):
        has_speech = ended = False
        for i in range(len(audio) // self.frame_size):
            s, e = self.process_frame(audio[i * self.frame_size:(i + 1) * self.frame_size])
            has_speech = has_speech or s
            ended = ended or e
        return has_speech, ended


chunk = (0.2 * np.sin(0.07 * np.arange(1600))).astype(np.float32)
vad = EnergyVAD()
for _ in range(1000):
    vad.process_audio(chunk)
n = 20000
start = time.perf_counter()
for _ in range(n):
    vad.process_audio(chunk)
print(json.dumps({"numpy_energy_chunk_us": (time.perf_counter() - start) / n * 1e6}))
