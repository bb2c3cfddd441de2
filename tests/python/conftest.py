"""Shared helpers of the quern module's tests: audio read with the standard library, the quern
binary and the recordings (CTest passes their locations in the environment)."""
import os
import wave

import numpy as np
import pytest

FIXTURES = os.environ.get("QUERN_TEST_FIXTURES", "data/generated/fixtures")
SHARED = os.environ.get("QUERN_TEST_SHARED_DATA", "../shared/testdata")
QUERN = os.environ.get("QUERN_BINARY", "build/tools/quern")


def read_wav(path):
    """The samples of a 16-bit mono WAV file as float32 in [-1, 1) (as libsndfile reads them)."""
    with wave.open(path) as w:
        assert w.getsampwidth() == 2 and w.getnchannels() == 1
        pcm = np.frombuffer(w.readframes(w.getnframes()), dtype="<i2")
        return pcm.astype(np.float32) / 32768.0, w.getframerate()


def recording(name):
    """A shared recording, or a skip where this clone has none."""
    path = os.path.join(SHARED, name)
    if not os.path.exists(path):
        pytest.skip(f"{path} is absent in this clone")
    return path


def fixture(name):
    return os.path.join(FIXTURES, name)
