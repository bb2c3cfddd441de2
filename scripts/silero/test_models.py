"""Tiny TorchScript models for the tests, written to the folder given as the only argument.

echo.jit       the probability is the frame's first sample, so tests script every judgement
               exactly; a negative first sample makes the model fail ("echo model: negative
               first sample").
recurrent.jit  the probability is the mean of this frame's and the previous frame's first
               samples: a model with internal state and no explicit-state method, like a
               user-supplied file may be.
other_basis.jit  the converted Silero model (second argument) with 0.05 added to the real part of
               bin 3 of each branch's STFT basis: no longer a windowed DFT, so the spectrum must
               come from the product with the basis, not from an FFT.
"""
import os
import sys

import torch
from torch import Tensor, nn


class Echo(nn.Module):
    def forward(self, x: Tensor, sr: int) -> Tensor:
        x = x.reshape(-1)
        if bool(x[0] < 0):
            raise ValueError("echo model: negative first sample")
        return x[0:1].reshape(1, 1)


class Recurrent(nn.Module):
    def __init__(self):
        super().__init__()
        self.prev = torch.zeros(1)

    def forward(self, x: Tensor, sr: int) -> Tensor:
        first = x.reshape(-1)[0:1].clone()
        out = (first + self.prev) / 2
        self.prev = first
        return out.reshape(1, 1)


def main() -> None:
    out = sys.argv[1]
    torch.jit.script(Echo()).save(os.path.join(out, "echo.jit"))
    torch.jit.script(Recurrent()).save(os.path.join(out, "recurrent.jit"))
    if len(sys.argv) > 2:
        model = torch.jit.load(sys.argv[2])
        for branch in (model.branch16, model.branch8):
            with torch.no_grad():
                branch.stft_w[:, 3] += 0.05
        model.save(os.path.join(out, "other_basis.jit"))


if __name__ == "__main__":
    main()
