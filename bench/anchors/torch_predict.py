"""Anchor: Python torch (Debian's python3-torch, one thread) running the converted TorchScript
model on one 512-sample frame, as libvad does. Prints {"python_predict_us": ...}."""
import json
import math
import sys
import time

import torch

torch.set_num_threads(1)
model = torch.jit.load(sys.argv[1])
frame = torch.tensor([0.2 * math.sin(0.07 * i) for i in range(512)], dtype=torch.float32)
with torch.inference_mode():
    for _ in range(300):
        model(frame, 16000)
    n = 3000
    start = time.perf_counter()
    for _ in range(n):
        model(frame, 16000).item()
    us = (time.perf_counter() - start) / n * 1e6
print(json.dumps({"python_predict_us": us}))
