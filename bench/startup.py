"""Whole-process start-up figures, best of three each, the anchors in the same run:
`quern vad` on a 0.1 s file (the packaged model, energy mode, the same model as a TorchScript file
through the plugin), `import quern` beside `import numpy`, and `quern vad --model` over 10 minutes
of speech beside ONNX Runtime via Node (bench/anchors/whole_file.sh). Prints one JSON object.

    /usr/bin/python3 bench/startup.py BUILD_DIR   (a Release build; QUERN_NODE_MODULES set as
                                                  scripts/bench.sh sets it)
"""
import json
import os
import subprocess
import sys
import tempfile
import time

build = sys.argv[1]
quern = os.path.join(build, "tools", "quern")
fixture = "data/generated/fixtures/speech_16k.wav"


def best(cmd, env=None):
    """(fastest wall seconds, largest max RSS in MB) over three runs of cmd."""
    walls, rss = [], 0
    for _ in range(3):
        start = time.perf_counter()
        proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, env=env)
        _, status, usage = os.wait4(proc.pid, 0)
        walls.append(time.perf_counter() - start)
        if status != 0:
            raise SystemExit(f"startup.py: {cmd} failed")
        rss = max(rss, usage.ru_maxrss / 1024)
    return round(min(walls), 4), round(rss, 1)


with tempfile.TemporaryDirectory() as tmp:
    short = os.path.join(tmp, "short.wav")
    subprocess.run(["sox", fixture, short, "trim", "0", "0.1"], check=True)
    py_env = dict(os.environ, PYTHONPATH=os.path.join(build, "python"))
    out = {}
    for name, cmd, env in [
        ("quern_vad_model_0.1s", [quern, "vad", "--model", short], None),
        ("quern_vad_energy_0.1s", [quern, "vad", "--energy", short], None),
        ("quern_vad_torchscript_0.1s",
         [quern, "vad", "--model-path", "data/generated/silero_vad.jit", short], None),
        ("import_quern", ["/usr/bin/python3", "-c", "import quern"], py_env),
        ("import_numpy", ["/usr/bin/python3", "-c", "import numpy"], py_env),
    ]:
        wall, rss = best(cmd, env)
        out[name] = {"wall_s": wall, "max_rss_mb": rss}
    whole = subprocess.run(["bench/anchors/whole_file.sh", build], check=True,
                           capture_output=True, text=True).stdout
    out.update(json.loads(whole))
    out["quern_vs_ort_10min"] = round(out["quern_vad_10min_s"] / out["ort_vad_10min_s"], 3)
print(json.dumps(out, indent=1))
