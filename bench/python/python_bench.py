"""The quern module's cost from Python, as a host service meets it: process_audio on a 100 ms
chunk (model and energy mode), model mode on two Python threads against one, and
Dualis.stream_generate over an engine that does nothing. Prints one JSON line; bench/report.py
sets each figure beside the C++ benchmark of the same run (bench/vad_bench.cpp,
bench/dualis_bench.cpp), which runs the same chunk.

Usage: PYTHONPATH=BUILD/python python3 bench/python/python_bench.py
"""
import json
import statistics
import threading
import time

import numpy as np

import quern
import quern_bench
from quern import dualis, vad


def tone(n, amplitude=0.2):
    # The C++ benchmarks' chunk: amplitude * sin(0.07 i), float32.
    return (amplitude * np.sin(0.07 * np.arange(n, dtype=np.float32))).astype(np.float32)


def per_call_ns(call, seconds=0.5, repetitions=3):
    """The median over repetitions of the mean wall time of one call, in ns."""
    n = 1
    while True:  # calibrate: enough calls for about `seconds`
        start = time.perf_counter_ns()
        for _ in range(n):
            call()
        elapsed = time.perf_counter_ns() - start
        if elapsed > seconds * 1e9 / 10:
            break
        n *= 4
    n = max(1, int(n * seconds * 1e9 / elapsed))
    runs = []
    for _ in range(repetitions):
        start = time.perf_counter_ns()
        for _ in range(n):
            call()
        runs.append((time.perf_counter_ns() - start) / n)
    return statistics.median(runs)


def two_thread_speedup(chunk, calls=3000):
    """Model-mode chunks per second on two threads (a detector each) over one thread's."""
    def run(detector):
        for _ in range(calls):
            detector.process_audio(chunk)

    def timed(threads):
        detectors = [vad.VADDetector(vad.VADConfig(use_model=True)) for _ in range(threads)]
        workers = [threading.Thread(target=run, args=(d,)) for d in detectors]
        start = time.perf_counter()
        for w in workers:
            w.start()
        for w in workers:
            w.join()
        return threads * calls / (time.perf_counter() - start)

    one = statistics.median(timed(1) for _ in range(3))
    two = statistics.median(timed(2) for _ in range(3))
    return one, two


def main():
    quern.log.set_level("warning")
    chunk = tone(1600)
    model = vad.VADDetector(vad.VADConfig(use_model=True))
    energy = vad.VADDetector()
    out = {
        "py_model_100ms_ns": per_call_ns(lambda: model.process_audio(chunk)),
        "py_energy_100ms_ns": per_call_ns(lambda: energy.process_audio(chunk)),
    }
    one, two = two_thread_speedup(chunk)
    out["py_model_chunks_per_s_1thread"] = one
    out["py_model_chunks_per_s_2threads"] = two

    quern_bench.provide_silent_engines()
    session = dualis.Dualis()
    session.load()
    calls = [0]

    def feed():
        session.stream_generate(chunk)
        calls[0] += 1
        if calls[0] % 200 == 0:
            session.clear_audio_buffer()  # stay below the sample limit, as the C++ bench does

    out["py_stream_generate_ns"] = per_call_ns(feed)
    print(json.dumps(out))


if __name__ == "__main__":
    main()
