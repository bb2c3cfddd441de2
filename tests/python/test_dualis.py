"""The two-pass controller from Python over engines written in Python: a whole session, audio
shared without copies, engine exceptions reaching the caller, the log sink."""
import gc
import logging
import os
import subprocess
import sys
import threading
import weakref

import numpy as np
import pytest

import quern
from conftest import fixture
from quern import dualis

FAMILY = ("ParaformerStreamASR", "ParaformerOfflineASR", "PunctuationModel")


class Engine:
    """Records every call; partials name the chunk's length, the offline text its total."""

    made = []

    def __init__(self, **options):
        self.options, self.calls, self.chunks = options, [], []
        Engine.made.append(self)

    def load(self):
        self.calls.append("load")

    def reset(self):
        self.calls.append("reset")

    def stream_generate(self, audio, is_final=False, language="zh"):
        self.calls.append("stream_generate")
        self.chunks.append(audio)
        return [{"text": f"chunk of {len(audio)}", "is_final": is_final}]

    def transcribe(self, audio, language="zh"):
        self.calls.append(f"transcribe {len(audio)} {audio.dtype} {language}")
        return [{"text": "hello world", "hotwords": list(self.hotwords)}]


class HotwordEngine(Engine):
    hotwords = []


class Punctuation(Engine):
    def generate(self, text, language="zh"):
        self.calls.append(f"generate {text}")
        return text + "."


@pytest.fixture
def engines():
    Engine.made = []
    dualis.provide("ParaformerStreamASR", Engine)
    dualis.provide("ParaformerOfflineASR", HotwordEngine)
    dualis.provide("PunctuationModel", Punctuation)
    yield Engine.made
    for name in FAMILY:
        dualis.provide(name, None)


def by_type(made, cls):
    return next(e for e in made if type(e) is cls)


def test_a_whole_session_over_python_engines(engines):
    s = dualis.Dualis(model_type="paraformer_funasr", max_audio_samples=3200, hotwords="alpha beta")
    s.load()
    stream, offline, punc = (by_type(engines, c) for c in (Engine, HotwordEngine, Punctuation))
    assert offline.options == {"model": s.offline_model_name, "model_path": "",
                               "revision": s.offline_revision, "device": "cpu"}
    assert stream.options["chunk_size"] == [0, 10, 5]

    chunk = np.full(1600, 0.25, dtype=np.float32)
    assert s.stream_generate(chunk) == ([{"text": "chunk of 1600", "is_final": False}], False)
    assert offline.hotwords == ["alpha", "beta"] and not hasattr(stream, "hotwords")
    partials, needed = s.stream_generate(chunk, is_final=True)
    assert partials == [{"text": "chunk of 1600", "is_final": True}] and needed
    assert s.check_finalization_needed() == (True, "max_samples_reached(3200>=3200)")
    buffer = s.get_audio_buffer()
    assert buffer.dtype == np.float32 and len(buffer) == 3200 and not buffer.flags.writeable

    s.set_hotwords(["gamma"])
    assert s.finalize() == "hello world."
    assert s.finalize() == ""
    assert offline.calls[-1] == "transcribe 3200 float32 zh"
    assert offline.hotwords == ["gamma"] and s.hotwords == ["gamma"]
    assert punc.calls == ["load", "generate hello world"]

    s.reset()
    assert s.get_audio_buffer_length() == 0 and not s._is_finalized
    assert [e.calls.count("reset") for e in (stream, offline, punc)] == [1, 1, 1]


def test_audio_is_shared_without_copies(engines):
    s = dualis.Dualis(model_type="paraformer_funasr")
    chunk = np.linspace(-1, 1, 1600, dtype=np.float32)
    s.stream_generate(chunk)
    seen = by_type(engines, Engine).chunks.pop()
    assert seen.__array_interface__["data"][0] == chunk.__array_interface__["data"][0]
    assert seen.dtype == np.float32 and not seen.flags.writeable

    # The buffered chunk keeps the array alive after the caller lets go of it.
    for dtype in (np.float64, np.int16, np.int32):
        s.append_audio(np.zeros(160, dtype=dtype))
    alive = weakref.ref(chunk)
    del chunk, seen
    gc.collect()
    assert alive() is not None
    assert s.get_audio_buffer().dtype == np.float64
    s.clear_audio_buffer()
    gc.collect()
    assert alive() is None


def test_bad_audio_is_a_clear_error_not_a_conversion(engines):
    s = dualis.Dualis(model_type="paraformer_funasr")
    cases = [
        ([0.0, 0.1], TypeError, "numpy array, not list"),
        (np.zeros(4, dtype=np.float16), TypeError, "float32, float64, int16 or int32"),
        (np.zeros(4, dtype=">f4"), TypeError, "native byte order"),
        (np.zeros(4, dtype=np.uint8), TypeError, "not uint8"),
        (np.zeros((2, 4), dtype=np.float32), ValueError, "one-dimensional"),
        (np.zeros(8, dtype=np.float32)[::2], ValueError, "contiguous"),
    ]
    for audio, error, message in cases:
        with pytest.raises(error, match=message):
            s.append_audio(audio)
    assert s.get_audio_buffer_length() == 0


def test_engine_errors_reach_the_caller_unchanged(engines):
    class Broken(Exception):
        pass

    error = Broken("offline engine down")

    class FailingOffline(HotwordEngine):
        def transcribe(self, audio, language="zh"):
            raise error

    dualis.provide("ParaformerOfflineASR", FailingOffline)
    s = dualis.Dualis(model_type="paraformer_funasr")
    s.stream_generate(np.zeros(1600, dtype=np.float32))
    with pytest.raises(Broken) as caught:
        s.finalize()
    assert caught.value is error
    assert s._is_finalized and s.get_audio_buffer_length() == 1600

    class OddStream(Engine):
        def stream_generate(self, audio, is_final=False, language="zh"):
            return ["text"]

    dualis.provide("ParaformerStreamASR", OddStream)
    with pytest.raises(TypeError, match="list of dicts"):
        dualis.Dualis(model_type="paraformer_funasr").stream_generate(np.zeros(16, np.float32))

    dualis.provide("PunctuationModel", None)
    with pytest.raises(LookupError, match="PunctuationModel is not provided"):
        dualis.Dualis(model_type="paraformer_funasr").load()
    with pytest.raises(ValueError, match="unknown engine class 'Paraformer'"):
        dualis.provide("Paraformer", Engine)
    with pytest.raises(TypeError, match="unexpected keyword argument 'max_samples'"):
        dualis.Dualis(max_samples=10)

    dualis.set_sensevoice_available(False)
    try:
        with pytest.raises(ImportError, match="^sherpa-onnx not installed. Install with"):
            dualis.Dualis(model_type="sensevoice").load()
    finally:
        dualis.set_sensevoice_available(True)


def test_reset_waits_for_finalize_without_holding_the_gil(engines):
    # The offline engine blocks until the main thread lets it go; reset() on a third thread must
    # wait for it in C++ without the GIL, or the engine could never return.
    started, release = threading.Event(), threading.Event()

    class SlowOffline(HotwordEngine):
        def transcribe(self, audio, language="zh"):
            started.set()
            release.wait(10)
            return [{"text": "late"}]

    dualis.provide("ParaformerOfflineASR", SlowOffline)
    s = dualis.Dualis(model_type="paraformer_funasr")
    s.stream_generate(np.zeros(1600, dtype=np.float32))
    texts = []
    finaliser = threading.Thread(target=lambda: texts.append(s.finalize()))
    finaliser.start()
    assert started.wait(10)
    resetter = threading.Thread(target=s.reset)
    resetter.start()
    resetter.join(0.2)
    assert resetter.is_alive() and s.get_audio_buffer_length() == 1600
    release.set()
    finaliser.join(10)
    resetter.join(10)
    assert texts == ["late."] and s.get_audio_buffer_length() == 0


def test_log_messages_reach_python_logging_with_their_texts(engines, caplog):
    quern.log.forward_to_logging("quern.test")
    try:
        quern.log.set_level("debug")
        with caplog.at_level(logging.DEBUG, logger="quern.test"):
            s = dualis.Dualis(model_type="paraformer_funasr")
            s.load()
            s.append_audio(np.zeros(10, dtype=np.int16))
            s.offline_refine()
        records = [(r.levelname, r.getMessage()) for r in caplog.records]
        assert records[:4] == [
            ("INFO", "Loading streaming ASR model for 2-pass"),
            ("INFO", "Loading offline ASR model for 2-pass"),
            ("INFO", "Loading punctuation model for 2-pass"),
            ("DEBUG", "Audio buffer size: 1, total samples: 10"),
        ]
        assert ("WARNING", "offline_refine: Audio dtype is int16, normalizing...") in records
        with pytest.raises(ValueError, match="level must be"):
            quern.log.set_level("verbose")
    finally:
        quern.log.set_level("warning")
        quern.log.forward_to_logging()


POCKETSPHINX_HOST = """
import sys
import numpy as np
from conftest import read_wav
from quern import dualis
if not hasattr(dualis, "use_pocketsphinx"):
    print("absent")
    sys.exit(0)
try:
    dualis.use_pocketsphinx(sample_rate=8000)
    raise SystemExit("8 kHz was accepted")
except ValueError as e:
    assert "16000" in str(e), e
dualis.use_pocketsphinx()
samples, rate = read_wav(sys.argv[1])
s = dualis.Dualis()
s.load()
for i in range(0, int(3.8 * rate), 1600):
    s.stream_generate(samples[i:i + 1600])
print(s.finalize())
"""


def test_one_call_plugs_in_the_pocketsphinx_recognisers():
    # In a process of its own: the engines it provides are process-wide.
    run = subprocess.run([sys.executable, "-c", POCKETSPHINX_HOST, fixture("sample.wav")],
                         capture_output=True, text=True, cwd=os.path.dirname(__file__))
    assert run.returncode == 0, run.stderr
    if run.stdout == "absent\n":
        pytest.skip("built without pocketsphinx")
    assert "welcome" in run.stdout and run.stdout.rstrip().endswith("."), run.stdout


def test_a_stream_yields_its_finals_and_partials_in_order(engines):
    rate = 16000
    tone = (0.5 * np.sin(np.arange(rate) * 2 * np.pi * 440 / rate)).astype(np.float32)
    silence = np.zeros(rate, dtype=np.float32)
    audio = np.concatenate([silence[:4800], tone, silence, tone, silence])
    s = quern.Stream(language="en", hotwords="alpha beta",
                     vad=quern.vad.VADConfig(silence_duration=0.3, speech_padding=0.1))
    events = []
    for start in range(0, len(audio), 1600):
        events += s.feed(audio[start:start + 1600])
    events += s.finish()
    finals = [e for e in events if isinstance(e, quern.stream.Final)]
    assert [f.reason for f in finals] == ["speech_ended", "speech_ended"]
    assert [f.segment for f in finals] == [0, 1] and finals[1].start == finals[0].end
    assert finals[0].text == "hello world." and finals[0].words == []
    # The hotwords and the language reached the offline pass of both utterances.
    offline = by_type(engines, HotwordEngine)
    assert [c for c in offline.calls if c.startswith("transcribe")][-1].endswith(" en")
    assert offline.hotwords == ["alpha", "beta"]
    assert all(isinstance(e, quern.stream.Partial) for e in events[:3])
    assert s.finished and s.finish() == []
    # The same audio in one float64 chunk ends the utterances at the same samples.
    again = quern.Stream(vad=quern.vad.VADConfig(silence_duration=0.3, speech_padding=0.1))
    whole = [e for e in again.feed(audio.astype(np.float64)) + again.finish()
             if isinstance(e, quern.stream.Final)]
    assert [(f.start, f.end) for f in whole] == [(f.start, f.end) for f in finals]
    with pytest.raises(TypeError, match="float32 or float64"):
        again.feed(np.zeros(10, dtype=np.int16))
