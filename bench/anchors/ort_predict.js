// Anchor: ONNX Runtime (npm onnxruntime-node, one thread) running the Silero VAD v6 ONNX file on
// one 512-sample frame with 64 samples of context, carrying the state, as libvad's wrapper does.
// Prints {"ort_predict_us": <microseconds per frame>}.
'use strict';
const path = require('path');
const ort = require(path.join(process.env.QUERN_NODE_MODULES, 'onnxruntime-node'));

(async () => {
  const session = await ort.InferenceSession.create(process.argv[2], {
    intraOpNumThreads: 1, interOpNumThreads: 1,
  });
  const sr = new ort.Tensor('int64', BigInt64Array.from([16000n]), []);
  let state = new ort.Tensor('float32', new Float32Array(256), [2, 1, 128]);
  const frame = new Float32Array(512);
  for (let i = 0; i < 512; i++) frame[i] = 0.2 * Math.sin(0.07 * i);
  let context = new Float32Array(64);
  const step = async () => {
    const x = new Float32Array(576);
    x.set(context, 0);
    x.set(frame, 64);
    const r = await session.run({ input: new ort.Tensor('float32', x, [1, 576]), state, sr });
    state = r.stateN;
    context = x.slice(512);
  };
  for (let i = 0; i < 300; i++) await step();
  const n = 3000;
  const start = process.hrtime.bigint();
  for (let i = 0; i < n; i++) await step();
  const us = Number(process.hrtime.bigint() - start) / n / 1000;
  console.log(JSON.stringify({ ort_predict_us: us }));
})().catch((e) => { console.error(e.message); process.exit(1); });
