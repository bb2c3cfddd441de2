// The browser page end to end: quern serve with the real recognisers, Debian's Chromium with a
// fake microphone playing a recording, the page's Start and Stop buttons. Passes when the page
// shows a final per spoken sentence and their words are the recording's.
//   node page_test.mjs QUERN_BINARY RECORDING.wav EXPECTED.txt
import { spawn } from "node:child_process";
import { readFileSync } from "node:fs";
import { createInterface } from "node:readline";
import puppeteer from "puppeteer-core";

const [quern, recording, expectedFile] = process.argv.slice(2);
const fail = (message) => {
  console.error("browser test: " + message);
  process.exitCode = 1;
};

// The recording's length, from its WAV header (16-bit PCM).
function seconds(path) {
  const wav = readFileSync(path);
  const rate = wav.readUInt32LE(24), channels = wav.readUInt16LE(22);
  let at = 12;
  while (wav.toString("ascii", at, at + 4) !== "data") at += 8 + wav.readUInt32LE(at + 4);
  return wav.readUInt32LE(at + 4) / (2 * channels * rate);
}

const words = (text) => text.toLowerCase().match(/[a-z']+/g) ?? [];

const server = spawn(quern, ["serve", "--port", "0", "--engines", "pocketsphinx"], {
  stdio: ["ignore", "pipe", "inherit"],
});
const listening = await new Promise((resolve, reject) => {
  createInterface({ input: server.stdout }).once("line", (line) => resolve(JSON.parse(line)));
  server.once("exit", (code) => reject(new Error("quern serve exited with " + code)));
});

const browser = await puppeteer.launch({
  executablePath: process.env.CHROMIUM ?? "/usr/bin/chromium",
  headless: true,
  args: [
    "--no-sandbox",
    "--use-fake-ui-for-media-stream",
    "--use-fake-device-for-media-stream",
    `--use-file-for-fake-audio-capture=${recording}%noloop`,
    "--autoplay-policy=no-user-gesture-required",
  ],
});
try {
  const page = await browser.newPage();
  page.on("pageerror", (e) => fail("page error: " + e.message));
  await page.goto(listening.url);
  await page.click("#start");
  await page.waitForFunction(() => document.querySelector("#status").textContent === "listening", {
    timeout: 10000,
  });
  // The fake microphone plays the recording in real time from the start of capture.
  await new Promise((r) => setTimeout(r, (seconds(recording) + 1.5) * 1000));
  await page.click("#stop");
  await page.waitForFunction(() => document.body.dataset.closed !== undefined, { timeout: 20000 });
  const closed = await page.evaluate(() => document.body.dataset.closed);
  const finals = await page.$$eval("#finals .final", (lines) => lines.map((l) => l.textContent));
  console.log(JSON.stringify({ closed, finals }));

  const expected = readFileSync(expectedFile, "utf8").trim().split("\n");
  if (closed !== "1000") fail("the session closed with " + closed);
  const spoken = finals.filter((f) => f.trim() !== "");
  // The silence after the last sentence is no utterance: no empty final for it.
  if (spoken.length !== finals.length) fail(`${finals.length - spoken.length} empty finals`);
  if (spoken.length < expected.length) {
    fail(`${spoken.length} finals with text, expected one per sentence (${expected.length})`);
  }
  // The recognisers make mistakes; most of the words must be there.
  const heard = new Set(words(finals.join(" ")));
  const want = words(expected.join(" "));
  const found = want.filter((w) => heard.has(w)).length;
  if (found < 0.6 * want.length) fail(`only ${found} of ${want.length} words recognised`);
} finally {
  await browser.close();
  server.kill("SIGTERM");
}
