"""Voice activity detection from Python: the configuration's keyword defaults, model-mode
probabilities and segments equal to the C++ quern run on real speech, detectors on two threads,
a batch equal to one detector after another."""
import json
import subprocess
import sys
import threading

import numpy as np
import pytest

from conftest import QUERN, fixture, read_wav, recording
from quern import vad


def test_config_keywords_defaults_and_errors():
    c = vad.VADConfig()
    assert (c.sample_rate, c.frame_size, c.energy_threshold, c.silence_duration,
            c.speech_padding, c.use_model, c.model_name, c.model_path, c.model_threshold,
            c.device) == (16000, 512, 0.01, 1.0, 0.3, False, "silero-vad", None, 0.5, "cpu")
    assert (c.silence_frames, c.padding_frames) == (31, 9)
    c = vad.VADConfig(sample_rate=8000, frame_size=256, silence_duration=0.5)
    assert (c.silence_frames, c.padding_frames) == (15, 9)
    with pytest.raises(TypeError):
        vad.VADConfig(16000)
    c.frame_size = 0
    with pytest.raises(ValueError, match="frame_size"):
        c.silence_frames
    d = vad.VADDetector(c)
    with pytest.raises(ValueError, match="frame_size"):
        d.process_audio(np.zeros(512, dtype=np.float32))

    d = vad.VADDetector()
    assert d.process_audio(np.zeros(0, dtype=np.float32)) == (False, False)
    assert d.process_audio(np.full(1600, 1000, dtype=np.int16)) == (True, False)
    assert list(d.get_state().items()) == [
        ("speech_detected", True), ("silence_counter", 0), ("padding_counter", 0),
        ("silence_threshold", 31), ("padding_threshold", 9)]
    with pytest.raises(TypeError, match="float32, float64, int16 or int32"):
        d.process_frame(np.zeros(512, dtype=np.complex64))
    d.reset()
    assert d.get_state()["speech_detected"] is False


# quern's end gap is the detector's padding and silence: 40 frames of 32 ms by default.
RULES = {"end_threshold": 0.8, "end_gap": 1.28, "min_speech": 0.5, "max_speech": 2.0, "pad": 0.1}


def quern_run(path):
    flags = ["--end-threshold", "0.8", "--min-speech", "0.5", "--max-speech", "2", "--pad", "0.1"]
    out = subprocess.run([QUERN, "vad", path, "--model", "--probabilities", *flags], check=True,
                         capture_output=True, text=True).stdout
    lines = [json.loads(line) for line in out.splitlines()]
    return ([line["probability"] for line in lines if "probability" in line],
            [(line["start"], line["end"]) for line in lines if "start" in line])


def python_run(samples, rate):
    config = vad.VADConfig(sample_rate=rate, frame_size=512 * rate // 16000, use_model=True)
    d = vad.VADDetector(config)
    f = d.config.frame_size
    segmenter = vad.Segmenter(f / rate, **RULES)
    probabilities, segments = [], []
    for i in range(len(samples) // f):
        speech, ended = d.process_frame(samples[i * f:(i + 1) * f])
        probabilities.append(d.last_speech_prob)
        segments += segmenter.push(speech, ended, d.last_speech_prob)
    segments += segmenter.finish()
    return probabilities, [(round(a, 3), round(b, 3)) for a, b in segments]


@pytest.mark.parametrize("name", ["speech_16k.wav", "speech_8k.wav", None])
def test_model_probabilities_and_segments_equal_the_cpp_run(name):
    path = recording(name) if name else fixture("sample.wav")
    samples, rate = read_wav(path)
    ours, segments = python_run(samples, rate)
    theirs, their_segments = quern_run(path)
    assert ours == theirs
    assert 0.2 < np.mean(np.array(ours) > 0.5) < 0.9  # speech and pauses both
    assert segments == their_segments and len(segments) >= 3


def test_detectors_on_two_threads_equal_one_at_a_time():
    samples, rate = read_wav(fixture("sample.wav"))
    chunks = [samples[i:i + 1600] for i in range(0, len(samples), 1600)]

    def run(results, offset):
        d = vad.VADDetector(vad.VADConfig(use_model=True))
        for c in chunks[offset:] + chunks[:offset]:
            results.append((d.process_audio(c), d.last_speech_prob))

    alone = [[], []]
    for i in range(2):
        run(alone[i], 40 * i)
    together = [[], []]
    threads = [threading.Thread(target=run, args=(together[i], 40 * i)) for i in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert together == alone


def test_a_batch_equals_one_detector_after_another():
    speech, rate = read_wav(fixture("sample.wav"))
    configs = [vad.VADConfig(use_model=True), vad.VADConfig(), vad.VADConfig(use_model=True)]
    one = [vad.VADDetector(c) for c in configs]
    batched = [vad.VADDetector(c) for c in configs]
    for start in range(0, 160000, 1600):
        chunks = [speech[start + 8000 * i:start + 8000 * i + 1600] for i in range(3)]
        assert vad.process_audio_batch(batched, chunks) == [
            d.process_audio(c) for d, c in zip(one, chunks)]
        assert [d.last_speech_prob for d in batched] == [d.last_speech_prob for d in one]
    with pytest.raises(ValueError, match="named twice"):
        vad.process_audio_batch([one[0], one[0]], chunks[:2])


LOGGING_HOST = """
import logging, sys
import numpy as np
import quern
from quern import vad

kept = []
class Keep(logging.Handler):
    def emit(self, record):
        kept.append((record.levelname, record.getMessage()))
log = logging.getLogger("quern")
log.addHandler(Keep())
log.setLevel(logging.INFO)
d = vad.VADDetector(vad.VADConfig(use_model=True))
assert ("INFO", "Silero VAD model loaded successfully") in kept, kept

def refuse(record):
    raise RuntimeError("a filter that raises")
log.addFilter(refuse)
nan = np.full(512, np.nan, dtype=np.float32)
for _ in range(3):
    assert d.process_audio(nan) == (False, False)
log.removeFilter(refuse)
assert d.process_audio(np.zeros(512, dtype=np.float32)) == (False, False)
print("ok")
"""


def test_log_goes_to_python_logging_and_a_raising_filter_reaches_no_library_call():
    # By default the messages go to logging.getLogger("quern"); a filter that raises on the error
    # lines of NaN frames costs those lines (reported once on stderr), not the frames' answers.
    run = subprocess.run([sys.executable, "-c", LOGGING_HOST], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    assert run.stdout == "ok\n"
    failures = [line for line in run.stderr.splitlines() if "the log sink failed" in line]
    assert len(failures) == 1 and "a filter that raises" in failures[0], run.stderr
    assert "INFO" not in run.stderr  # nothing printed outside logging


def test_frame_carry_hands_on_every_sample_once_in_whole_frames():
    carry = vad.FrameCarry(512)
    audio = np.arange(5000, dtype=np.float32)
    out = [carry.take(audio[a:b]) for a, b in ((0, 100), (100, 1700), (1700, 1700), (1700, 5000))]
    assert all(len(x) % 512 == 0 for x in out)
    joined = np.concatenate(out)
    assert np.array_equal(joined, audio[:len(joined)]) and len(joined) + carry.carried == 5000
    with pytest.raises(ValueError):
        carry.take(np.zeros(10, dtype=np.int16))
