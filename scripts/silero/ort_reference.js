// Reference speech probabilities from ONNX Runtime, for checking the converted model.
//
// Usage: node ort_reference.js MODEL.onnx AUDIO.wav > PROBS.txt
//
// Runs the ONNX model frame by frame over a mono 16-bit PCM WAV file (16 kHz: 512-sample frames
// with 64 samples of context; 8 kHz: 256 with 32), carrying the LSTM state and the context from
// frame to frame, starting from zeros. Prints one probability per frame, one per line.
'use strict';
const fs = require('fs');
const path = require('path');
const ort = require(path.join(process.env.QUERN_NODE_MODULES || '', 'onnxruntime-node'));

function readWav(file) {
  const buf = fs.readFileSync(file);
  if (buf.toString('ascii', 0, 4) !== 'RIFF' || buf.toString('ascii', 8, 12) !== 'WAVE') {
    throw new Error(`${file}: not a WAV file`);
  }
  let offset = 12, format = null, samples = null;
  while (offset + 8 <= buf.length) {
    const id = buf.toString('ascii', offset, offset + 4);
    const size = buf.readUInt32LE(offset + 4);
    const body = offset + 8;
    if (id === 'fmt ') {
      format = {
        channels: buf.readUInt16LE(body + 2),
        rate: buf.readUInt32LE(body + 4),
        bits: buf.readUInt16LE(body + 14),
      };
    } else if (id === 'data') {
      if (!format || format.channels !== 1 || format.bits !== 16) {
        throw new Error(`${file}: expected mono 16-bit PCM`);
      }
      const n = Math.floor(Math.min(size, buf.length - body) / 2);
      samples = new Float32Array(n);
      for (let i = 0; i < n; i++) samples[i] = buf.readInt16LE(body + 2 * i) / 32768;
    }
    offset = body + size + (size & 1);
  }
  if (!samples) throw new Error(`${file}: no data chunk`);
  return { rate: format.rate, samples };
}

async function main() {
  const [modelPath, wavPath] = process.argv.slice(2);
  const { rate, samples } = readWav(wavPath);
  if (rate !== 16000 && rate !== 8000) throw new Error(`${wavPath}: rate ${rate} not supported`);
  const frame = rate === 16000 ? 512 : 256;
  const contextSize = rate === 16000 ? 64 : 32;
  const session = await ort.InferenceSession.create(modelPath, {
    intraOpNumThreads: 1, interOpNumThreads: 1,
  });
  const sr = new ort.Tensor('int64', BigInt64Array.from([BigInt(rate)]), []);
  let state = new ort.Tensor('float32', new Float32Array(2 * 128), [2, 1, 128]);
  let context = new Float32Array(contextSize);
  const out = [];
  for (let start = 0; start + frame <= samples.length; start += frame) {
    const x = new Float32Array(contextSize + frame);
    x.set(context, 0);
    x.set(samples.subarray(start, start + frame), contextSize);
    const r = await session.run({ input: new ort.Tensor('float32', x, [1, x.length]), state, sr });
    out.push(r.output.data[0].toPrecision(9));
    state = r.stateN;
    context = x.slice(x.length - contextSize);
  }
  process.stdout.write(out.join('\n') + '\n');
}

main().catch((e) => { console.error(`ort_reference: ${e.message}`); process.exit(1); });
