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
    """The network for one sample rate."""

    def __init__(self, weights: dict, hop: int, pad: int):
        super().__init__()
        self.hop = hop
        self.pad = pad
        self.bins = weights["stft.forward_basis_buffer"].shape[0] // 2
        for name, tensor in weights.items():
            self.register_buffer(name.replace(".", "_"), tensor.clone())

    def forward(self, x: Tensor, h: Tensor, c: Tensor) -> Tuple[Tensor, Tensor, Tensor]:
        # x: [batch, context + frame]; h, c: [batch, 128].
        x = F.pad(x.unsqueeze(1), [0, self.pad], mode="reflect")
        spec = F.conv1d(x, self.stft_forward_basis_buffer, stride=self.hop)
        real = spec[:, : self.bins, :]
        imag = spec[:, self.bins :, :]
        mag = torch.sqrt(real * real + imag * imag)
        y = F.relu(F.conv1d(mag, self.encoder_0_reparam_conv_weight,
                            self.encoder_0_reparam_conv_bias, stride=1, padding=1))
        y = F.relu(F.conv1d(y, self.encoder_1_reparam_conv_weight,
                            self.encoder_1_reparam_conv_bias, stride=2, padding=1))
        y = F.relu(F.conv1d(y, self.encoder_2_reparam_conv_weight,
                            self.encoder_2_reparam_conv_bias, stride=2, padding=1))
        y = F.relu(F.conv1d(y, self.encoder_3_reparam_conv_weight,
                            self.encoder_3_reparam_conv_bias, stride=1, padding=1))
        # One LSTM step (gate order i, f, g, o) on the single remaining time step.
        gates = (F.linear(y[:, :, 0], self.decoder_rnn_weight_ih, self.decoder_rnn_bias_ih)
                 + F.linear(h, self.decoder_rnn_weight_hh, self.decoder_rnn_bias_hh))
        i, f, g, o = gates.chunk(4, 1)
        c = torch.sigmoid(f) * c + torch.sigmoid(i) * torch.tanh(g)
        h = torch.sigmoid(o) * torch.tanh(c)
        out = F.conv1d(F.relu(h).unsqueeze(2), self.decoder_decoder_2_weight,
                       self.decoder_decoder_2_bias)
        prob = torch.sigmoid(out).mean(dim=2)  # [batch, 1]
        return prob, h, c


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
