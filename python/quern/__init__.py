"""The quern speech-recognition engine layer for Python hosts.

quern.vad       VADConfig, VADDetector, SileroVADModel, process_audio_batch, FrameCarry,
                Segmenter
quern.dualis    Dualis, the two-pass controller, and provide() to plug in engines written in Python
quern.nightjar  the Moonshine engines and MOONSHINE_AVAILABLE
quern.log       the logger: set_level(), forward_to_logging(), to_stderr()
quern.Stream    one client stream's recognition: feed() chunks, poll() the silence timeout,
                finish(); each returns its events in order (quern.stream.Final, Partial)

The libraries' messages go to logging.getLogger("quern") with their exact texts, so the
application's logging configuration decides what is shown; quern.log.to_stderr() writes them as
raw "LEVEL message" lines instead.

Audio goes in as one-dimensional numpy arrays (float32, float64, int16 or int32) without a copy;
the engine layer keeps the array alive while it holds the samples, so do not change an array
after handing it in. Calls that compute release the GIL.
"""
import atexit as _atexit
import sys as _sys

from . import _quern
from ._quern import dualis, log, nightjar, stream, vad
from ._quern.stream import Stream

for _name in ("dualis", "log", "nightjar", "stream", "vad"):
    _sys.modules[__name__ + "." + _name] = getattr(_quern, _name)

log.forward_to_logging("quern")
# Once the interpreter begins to shut down, messages from threads still running in the libraries
# can no longer reach Python: they go to stderr from then on.
_atexit.register(log.to_stderr)

__all__ = ["Stream", "dualis", "log", "nightjar", "stream", "vad"]
