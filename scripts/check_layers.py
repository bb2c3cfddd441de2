#!/usr/bin/env python3
"""Every #include points down the layers: a file may include headers of its own folder and of the
layers below it, never of a layer above. Exits 1 naming each include that points up.

Layers, lowest first (a folder not listed sits at the top: tests, bench, fuzz, examples):
"""
import os
import re
import subprocess
import sys

LAYERS = [
    "utils",            # header-only types: AudioSamples, export macros, annotated mutexes
    "platform",         # libquern_host: logger, clock, model types, packaged model location
    "utils/vad",        # libvad
    "models",           # libquern_engines: the engine contract and the host seam
    "models/nightjar",  # libnightjar
    "models/dualis",    # libdualis (binds the Moonshine engines)
    "engines",          # real host engines
    "stream",           # libquern_stream: one object per client stream
    "testing",          # test doubles (libquern_stand_ins)
    "protocol",         # the streaming protocol's shared terms (header-only)
    "server",           # quern serve
    "client",           # the protocol's client library and load generator
    "tools",            # quern
    "python",           # the Python module
]
__doc__ += "\n".join("  " + name for name in LAYERS)


def layer(path):
    """The index of the deepest layer folder holding `path`, or None at the top."""
    best = None
    for i, name in enumerate(LAYERS):
        inside = os.path.dirname(path) == name if name in ("utils", "models") else \
            path.startswith(name + "/")
        if inside and (best is None or len(name) > len(LAYERS[best])):
            best = i
    return best


def main():
    files = subprocess.run(["git", "ls-files", "*.h", "*.cpp"], capture_output=True, text=True,
                           check=True).stdout.split()
    wrong = []
    for f in files:
        here = layer(f)
        if here is None:
            continue
        with open(f, errors="replace") as text:
            for n, line in enumerate(text, 1):
                m = re.match(r'\s*#\s*include\s+"([^"]+)"', line)
                if not m or not os.path.exists(m.group(1)):
                    continue
                there = layer(m.group(1))
                if there is None or there > here:
                    wrong.append(f"{f}:{n}: includes {m.group(1)}, a higher layer")
    for w in wrong:
        print(w, file=sys.stderr)
    if wrong:
        return 1
    print(f"layers: every include of {len(files)} files points down")
    return 0


if __name__ == "__main__":
    sys.exit(main())
