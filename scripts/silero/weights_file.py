"""Writes the converted model's weights in libvad's own file format (docs/silero-model.md), so the
packaged model loads without libtorch: every value the direct path reads, bit for bit as the
TorchScript module holds it, with a CRC-32 over the whole file.

    magic "QVADWTS1", u32 entry count, entries, u32 CRC-32 (zlib's) of everything before it
    entry: u16 name length, name (ASCII), u8 kind, then
      kind 1 (float32 tensor): u8 rank (1 or 2), rank × u32 sizes, the values row-major
      kind 2 (integer):        i64
All numbers little-endian.
"""
import os
import struct
import zlib

import torch

MAGIC = b"QVADWTS1"
TENSORS = ["stft_w", "conv0_w", "conv0_b", "conv1_w", "conv1_b", "conv2_wt", "conv2_b",
           "conv3_wt", "conv3_b", "lstm_wt", "lstm_b", "out_wt", "out_b"]
INTEGERS = ["hop", "pad", "window", "bins"]
# Each branch's frame and context (samples), as the module's callers use them.
FRAMING = {"branch16": (512, 64), "branch8": (256, 32)}


def entries(module):
    for branch, (frame, context) in FRAMING.items():
        b = getattr(module, branch)
        yield f"{branch}.frame", frame
        yield f"{branch}.context", context
        for name in INTEGERS:
            yield f"{branch}.{name}", int(getattr(b, name))
        for name in TENSORS:
            yield f"{branch}.{name}", getattr(b, name)


def write(module, path: str) -> None:
    out = bytearray(MAGIC)
    items = list(entries(module))
    out += struct.pack("<I", len(items))
    for name, value in items:
        key = name.encode("ascii")
        out += struct.pack("<H", len(key)) + key
        if isinstance(value, int):
            out += struct.pack("<Bq", 2, value)
            continue
        t = value.detach().to(torch.float32).contiguous()
        if t.dim() not in (1, 2):
            raise SystemExit(f"weights_file.py: {name} has rank {t.dim()}")
        out += struct.pack("<BB", 1, t.dim()) + struct.pack(f"<{t.dim()}I", *t.shape)
        out += t.numpy().astype("<f4").tobytes()
    out += struct.pack("<I", zlib.crc32(out) & 0xFFFFFFFF)
    tmp = path + ".tmp"
    with open(tmp, "wb") as f:
        f.write(out)
    os.replace(tmp, path)
