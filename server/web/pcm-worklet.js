// Microphone samples to 16-bit PCM: the worklet gathers 100 ms of the first channel, converts it
// to little-endian int16 and posts the bytes to the page, which sends them as one message.
class PcmWorklet extends AudioWorkletProcessor {
  constructor() {
    super();
    this.chunk = new Int16Array(Math.round(sampleRate / 10));
    this.filled = 0;
  }

  process(inputs) {
    const channel = inputs[0] && inputs[0][0];
    if (!channel) return true;
    for (let i = 0; i < channel.length; i++) {
      const v = Math.max(-1, Math.min(1, channel[i] || 0));
      this.chunk[this.filled++] = v < 0 ? v * 32768 : v * 32767;
      if (this.filled === this.chunk.length) {
        this.port.postMessage(this.chunk.buffer.slice(0));
        this.filled = 0;
      }
    }
    return true;
  }
}

registerProcessor("pcm-worklet", PcmWorklet);
