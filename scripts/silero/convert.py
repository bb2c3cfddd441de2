"""Converts the Silero VAD v6 ONNX release into the project's TorchScript model.

Usage: /usr/bin/python3 convert.py MODEL.onnx OUT.jit OUT.qvw

Reads the weights of both branches (16 kHz and 8 kHz) from the ONNX graph's constants, loads them
into the readable module of silero_module.py, checks that both branches run, and saves it as
TorchScript, and its weights in libvad's own format (weights_file.py) for loading without libtorch.
"""
import os
import sys

import onnx
import torch
from onnx import numpy_helper

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from silero_module import SileroVAD  # noqa: E402
import weights_file  # noqa: E402

WEIGHTS = [
    "stft.forward_basis_buffer",
    "encoder.0.reparam_conv.weight", "encoder.0.reparam_conv.bias",
    "encoder.1.reparam_conv.weight", "encoder.1.reparam_conv.bias",
    "encoder.2.reparam_conv.weight", "encoder.2.reparam_conv.bias",
    "encoder.3.reparam_conv.weight", "encoder.3.reparam_conv.bias",
    "decoder.rnn.weight_ih", "decoder.rnn.weight_hh",
    "decoder.rnn.bias_ih", "decoder.rnn.bias_hh",
    "decoder.decoder.2.weight", "decoder.decoder.2.bias",
]


def branch_weights(graph) -> dict:
    found = {}
    for node in graph.node:
        if node.op_type != "Constant":
            continue
        name = node.output[0].split("__")[-1]
        if name in WEIGHTS:
            found[name] = torch.from_numpy(numpy_helper.to_array(node.attribute[0].t).copy())
    missing = [w for w in WEIGHTS if w not in found]
    if missing:
        raise SystemExit(f"convert.py: weights missing from the ONNX branch: {missing}")
    return found


def main() -> None:
    if len(sys.argv) != 4:
        raise SystemExit("usage: convert.py MODEL.onnx OUT.jit OUT.qvw")
    model = onnx.load(sys.argv[1])
    top_if = next(n for n in model.graph.node if n.op_type == "If")
    branches = {a.name: a.g for a in top_if.attribute}
    # The top-level If tests sr == 16000: its then-branch is the 16 kHz network.
    w16 = branch_weights(branches["then_branch"])
    w8 = branch_weights(branches["else_branch"])
    assert w16["stft.forward_basis_buffer"].shape == (258, 1, 256)
    assert w8["stft.forward_basis_buffer"].shape == (130, 1, 128)

    module = torch.jit.script(SileroVAD(w16, w8).eval())
    with torch.no_grad():
        for sr, n in ((16000, 512), (8000, 256)):
            p = module(torch.zeros(n), sr)
            assert p.shape == (1, 1), p.shape
        module.reset_states()
    tmp = sys.argv[2] + ".tmp"
    module.save(tmp)
    os.replace(tmp, sys.argv[2])
    weights_file.write(module, sys.argv[3])


if __name__ == "__main__":
    main()
