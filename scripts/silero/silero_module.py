"""The Silero VAD v6 network as a small TorchScript module.

The weights come from the ONNX release of the model (see convert.py); the structure is the
network's own: a short-time Fourier transform done as a 1-D convolution, its magnitude, four
convolutional encoder layers, one LSTM cell step and a 1x1 convolution with a sigmoid. Each
sample rate has its own weights (16 kHz and 8 kHz branches).

The module keeps the recurrent state and the audio context between calls the way the packaged
Silero TorchScript model does: `forward(x, sr)` on one frame (512 samples at 16 kHz, 256 at
8 kHz) returns the speech probability and remembers the LSTM state and the last 64 (32) samples,
which are prepended to the next frame; both start over when the sample rate or the batch size
changes, and on `reset_states()`. `forward_with_state(x, sr, state, context)` does the same with
the state passed in and returned, so one loaded model can serve many streams.
"""
from typing import List, Tuple

import torch
import torch.nn.functional as F
from torch import Tensor, nn


class Branch(nn.Module):
    """The network for one sample rate, for frames of its fixed length.

    Every layer is written as matrix products with the weights rearranged once at construction:
    the STFT convolution over hop-spaced windows of the padded frame, each k=3 convolution over
    its three-step windows, the LSTM over [input, h]. A frame (with its context) always yields 4
    STFT steps, so the encoder's time steps are always 4, 2, 1, 1: the third layer sees only two
    real taps of its kernel and the fourth only the centre one. At one frame per call most of the
    time goes to per-operator dispatch, so fewer, larger operators run faster than the
    equivalent conv1d layers; the arithmetic is the same.
    """

    def __init__(self, weights: dict, hop: int, pad: int):
        super().__init__()
        self.hop = hop
        self.pad = pad
        basis = weights["stft.forward_basis_buffer"]           # [2 * bins, 1, window]
        self.window = basis.shape[2]
        self.bins = basis.shape[0] // 2
        self.register_buffer("stft_w", basis[:, 0, :].t().contiguous())  # [window, 2 * bins]
        w = [weights[f"encoder.{i}.reparam_conv.weight"] for i in range(4)]  # [out, in, 3]
        # Layers 0 and 1 see three-step windows laid out [channel][tap] (as unfold gives them).
        self._affine("conv0", w[0].permute(1, 2, 0).reshape(-1, w[0].shape[0]),
                     weights["encoder.0.reparam_conv.bias"])
        self._affine("conv1", w[1].permute(1, 2, 0).reshape(-1, w[1].shape[0]),
                     weights["encoder.1.reparam_conv.bias"])
        # Layer 2: one output step over [padding, step 0, step 1]: taps 1 and 2 on [step 0, step 1].
        self._affine("conv2", w[2][:, :, 1:].permute(2, 1, 0).reshape(-1, w[2].shape[0]),
                     weights["encoder.2.reparam_conv.bias"])
        # Layer 3: one step between two paddings: the centre tap.
        self._affine("conv3", w[3][:, :, 1].t(), weights["encoder.3.reparam_conv.bias"])
        self._affine("lstm", torch.cat([weights["decoder.rnn.weight_ih"],
                                        weights["decoder.rnn.weight_hh"]], 1).t(),
                     weights["decoder.rnn.bias_ih"] + weights["decoder.rnn.bias_hh"])
        self._affine("out", weights["decoder.decoder.2.weight"][:, :, 0].t(),
                     weights["decoder.decoder.2.bias"])

    def _affine(self, name: str, w: Tensor, b: Tensor) -> None:
        # Both layouts: [in, out] for matrix products, [out, in] for matrix-vector products.
        self.register_buffer(name + "_w", w.contiguous())
        self.register_buffer(name + "_wt", w.t().contiguous())
        self.register_buffer(name + "_b", b.clone())

    @staticmethod
    def affine(x: Tensor, w: Tensor, wt: Tensor, b: Tensor) -> Tensor:
        # x: [rows, in]. One row (the usual single-stream call) takes the matrix-vector product,
        # several times faster than a one-row matrix product.
        if x.shape[0] == 1:
            return torch.addmv(b, wt, x[0]).unsqueeze(0)
        return torch.addmm(b, x, w)

    def forward(self, x: Tensor, h: Tensor, c: Tensor) -> Tuple[Tensor, Tensor, Tensor]:
        # x: [batch, context + frame]; h, c: [batch, 128].
        batch = x.shape[0]
        x = F.pad(x.unsqueeze(1), [0, self.pad], mode="reflect").squeeze(1)
        frames = x.unfold(1, self.window, self.hop)                     # [batch, 4, window]
        spec = torch.matmul(frames, self.stft_w)                        # [batch, 4, 2 * bins]
        y = torch.hypot(spec[:, :, : self.bins], spec[:, :, self.bins :])
        y = F.pad(y, [0, 0, 1, 1]).unfold(1, 3, 1).reshape(batch * 4, -1)
        y = F.relu(self.affine(y, self.conv0_w, self.conv0_wt, self.conv0_b))  # [batch * 4, 128]
        y = F.pad(y.reshape(batch, 4, -1), [0, 0, 1, 1]).unfold(1, 3, 2).reshape(batch * 2, -1)
        y = F.relu(self.affine(y, self.conv1_w, self.conv1_wt, self.conv1_b))  # [batch * 2, 64]
        y = F.relu(self.affine(y.reshape(batch, -1), self.conv2_w, self.conv2_wt, self.conv2_b))
        y = F.relu(self.affine(y, self.conv3_w, self.conv3_wt, self.conv3_b))  # [batch, 128]
        # One LSTM step, gate order i, f, g, o.
        gates = self.affine(torch.cat([y, h], 1), self.lstm_w, self.lstm_wt, self.lstm_b)
        sig = torch.sigmoid(gates)
        c = sig[:, 128:256] * c + sig[:, :128] * torch.tanh(gates[:, 256:384])
        h = sig[:, 384:] * torch.tanh(c)
        prob = torch.sigmoid(self.affine(F.relu(h), self.out_w, self.out_wt, self.out_b))
        return prob, h, c                                               # prob: [batch, 1]


class SileroVAD(nn.Module):
    def __init__(self, weights16: dict, weights8: dict):
        super().__init__()
        self.branch16 = Branch(weights16, hop=128, pad=64)
        self.branch8 = Branch(weights8, hop=64, pad=32)
        self._state = torch.zeros(2, 0, 128)
        self._context = torch.zeros(0, 0)
        self._last_sr = 0
        self._last_batch_size = 0

    def _validate(self, x: Tensor, sr: int) -> Tuple[Tensor, int]:
        if x.dim() == 1:
            x = x.unsqueeze(0)
        if x.dim() > 2:
            raise ValueError(f"Too many dimensions for input audio chunk {x.dim()}")
        if sr != 16000 and sr % 16000 == 0:
            step = sr // 16000
            x = x[:, ::step]
            sr = 16000
        if sr != 16000 and sr != 8000:
            raise ValueError("Supported sampling rates: [8000, 16000] (or multiply of 16000)")
        if sr / x.shape[1] > 31.25:
            raise ValueError("Input audio chunk is too short")
        num_samples = 512 if sr == 16000 else 256
        if x.shape[-1] != num_samples:
            raise ValueError(f"Provided number of samples is {x.shape[-1]} "
                             "(Supported values: 256 for 8000 sample rate, 512 for 16000)")
        return x, sr

    def _run(self, x: Tensor, sr: int, state: Tensor, context: Tensor
             ) -> Tuple[Tensor, Tensor, Tensor]:
        batch = x.shape[0]
        context_size = 64 if sr == 16000 else 32
        if (state.dim() != 3 or state.shape[1] != batch or context.dim() != 2
                or context.shape[0] != batch or context.shape[1] != context_size):
            state = torch.zeros(2, batch, 128)
            context = torch.zeros(batch, context_size)
        x = torch.cat([context, x], dim=1)
        if sr == 16000:
            prob, h, c = self.branch16(x, state[0], state[1])
        else:
            prob, h, c = self.branch8(x, state[0], state[1])
        return prob, torch.stack([h, c]), x[:, -context_size:]

    def forward(self, x: Tensor, sr: int) -> Tensor:
        x, sr = self._validate(x, sr)
        batch = x.shape[0]
        if self._last_batch_size == 0 or self._last_batch_size != batch or (
                self._last_sr != 0 and self._last_sr != sr):
            self.reset_states(batch)
        prob, self._state, self._context = self._run(x, sr, self._state, self._context)
        self._last_sr = sr
        self._last_batch_size = batch
        return prob

    @torch.jit.export
    def forward_with_state(self, x: Tensor, sr: int, state: Tensor, context: Tensor
                           ) -> Tuple[Tensor, Tensor, Tensor]:
        """One frame with explicit state: returns (probability, new state, new context).

        `state` is [2, batch, 128] (LSTM h and c), `context` [batch, 64 or 32]; tensors of any
        other shape (for example empty ones) start the stream from zeros."""
        x, sr = self._validate(x, sr)
        return self._run(x, sr, state, context)

    @torch.jit.export
    def reset_states(self, batch_size: int = 1):
        self._state = torch.zeros(2, batch_size, 128)
        self._context = torch.zeros(0, 0)
        self._last_sr = 0
        self._last_batch_size = 0
