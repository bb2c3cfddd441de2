"""Word error rates of the two passes on a labelled long-form set made here.

The set: the 110 sentences of sentences.txt spoken by four flite voices (slt, rms, awb, kal16),
level -22 dBFS +- 4 dB, joined by pauses of 0.4-2 s into three files of about two minutes;
clean, and mixed with white and pink noise (sox) and babble (twelve flite talkers saying the same
sentences in another order) at 20, 10 and 5 dB SNR (speech power over the spoken spans against
the noise's). For every file, quern session runs as a host would (Silero VAD, pocketsphinx
engines), and per condition the report gives:
  streaming   WER of each utterance's last partial result (what a one-pass system shows)
  two-pass    WER of the finals (case and punctuation removed)
  true spans  WER of the offline engine on each sentence's own span (perfect segmentation)
  the real-time factor of each pass per core, finalize_ms p50 / p95.
WER is counted over each file's words as one sequence, so segmentation cannot hide words.
Then the memory of 100 idle sessions over one decoder pool against one session.

Usage: wer.py QUERN OUT_DIR [--files N]   (N of the three files, each a third of the sentences)
"""
import json
import os
import re
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "accuracy"))
import accuracy  # noqa: E402
from accuracy import RATE, read, trimmed, write  # noqa: E402

VOICES = ("slt", "rms", "awb", "kal16")
FILES = 3
SNRS = (20, 10, 5)
NOISES = ("white", "pink", "babble")
BABBLE_TALKERS = 12


def sentences():
    with open(os.path.join(os.path.dirname(__file__), "sentences.txt")) as f:
        return [line.strip() for line in f if line.strip()]


def words(text):
    return re.findall(r"[a-z']+", text.lower())


def edits(ref, hyp):
    row = list(range(len(hyp) + 1))
    for i in range(1, len(ref) + 1):
        diagonal, row[0] = row[0], i
        for j in range(1, len(hyp) + 1):
            up = row[j]
            row[j] = min(row[j] + 1, row[j - 1] + 1, diagonal + (ref[i - 1] != hyp[j - 1]))
            diagonal = up
    return row[-1]


def flite(text, voice, tmp):
    path = f"{tmp}/{voice}.wav"
    subprocess.run(["flite", "-voice", voice, "-t", text, "-o", path], check=True)
    return trimmed(read(path, resample=True))


def make_file(index, texts, tmp):
    rng = np.random.default_rng(index)
    pieces, spans, t = [np.zeros(RATE // 2)], [], 0.5
    for k, text in enumerate(texts):
        s = flite(text, VOICES[(index + k) % len(VOICES)], tmp)
        s = s / np.sqrt((s ** 2).mean()) * 10 ** ((-22 + rng.uniform(-4, 4)) / 20)
        spans.append((t, t + len(s) / RATE, text))
        gap = int(rng.uniform(0.4, 2.0) * RATE)
        pieces += [s, np.zeros(gap)]
        t += (len(s) + gap) / RATE
    return np.concatenate(pieces), spans


def noise(kind, length, index, all_texts, tmp):
    if kind != "babble":  # sox's white or pink noise, as the VAD's accuracy set makes it
        return accuracy.noise(kind, length, index, None, tmp)
    rng = np.random.default_rng(100 + index)
    total = np.zeros(length)
    for v in range(BABBLE_TALKERS):
        order = rng.permutation(len(all_texts))[:12]
        talk = np.concatenate([flite(all_texts[i], VOICES[v % len(VOICES)], tmp) for i in order])
        talk = talk / np.sqrt((talk ** 2).mean())
        total += np.resize(np.roll(talk, -int(rng.integers(0, len(talk)))), length)
    return total


def make_set(out, count):
    tmp = os.path.join(out, "tmp")
    os.makedirs(tmp, exist_ok=True)
    all_texts = sentences()
    files = []
    for index in range(count):
        clean, spans = make_file(index, all_texts[index::FILES], tmp)
        mask = np.zeros(len(clean), bool)
        for a, b, _ in spans:
            mask[int(a * RATE):int(b * RATE)] = True
        p_speech = (clean[mask] ** 2).mean()
        mixes = [("clean", None, clean)]
        for kind in NOISES:
            n = noise(kind, len(clean), index, all_texts, tmp)
            n = n / np.sqrt((n ** 2).mean())
            mixes += [(kind, snr, clean + n * np.sqrt(p_speech / 10 ** (snr / 10))) for snr in SNRS]
        for kind, snr, x in mixes:
            peak = np.abs(x).max()
            x = x * (0.9 / peak) if peak > 0.9 else x
            name = f"file{index}_{kind}" + ("" if snr is None else f"_{snr}dB")
            write(os.path.join(out, name + ".wav"), x)
            files.append({"path": os.path.join(out, name + ".wav"), "noise": kind, "snr": snr,
                          "spans": spans, "seconds": len(x) / RATE})
    return files


def run_session(quern, f):
    """quern session over the file: the finals, each with the last partial before it, and CPU."""
    proc = subprocess.Popen([quern, "session", f["path"]], stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, text=True)
    lines = [json.loads(line) for line in proc.stdout]
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = status
    assert status == 0, f["path"]
    finals, partial = [], ""
    for line in lines:
        if line["type"] == "partial" and line["results"]:
            partial = line["results"][0]["text"]
        elif line["type"] == "final":
            finals.append({"text": line["text"], "partial": partial, "ms": line["finalize_ms"]})
            partial = ""
    return finals, usage.ru_utime + usage.ru_stime


def true_spans(f, dualis):
    """The offline pass alone on each sentence's own span (0.2 s either side)."""
    x = read(f["path"]).astype(np.float32)
    session = dualis.Dualis()
    session.load()
    texts, busy = [], 0.0
    for a, b, _ in f["spans"]:
        span = x[max(0, int((a - 0.2) * RATE)):int((b + 0.2) * RATE)].copy()
        session.append_audio(span)
        t = time.thread_time()  # this thread's CPU: the decoding runs on it, without the GIL
        texts.append(session.finalize())
        busy += time.thread_time() - t
        session.reset()
    return texts, busy


def rss_mb():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2 ** 20


def idle_sessions_memory(dualis, path):
    """RSS of 100 idle sessions (each has decoded an utterance) above one such session."""
    x = read(path).astype(np.float32)[: 3 * RATE].copy()

    def session():
        s = dualis.Dualis()
        s.load()
        for i in range(0, len(x), 1600):
            s.stream_generate(x[i:i + 1600])
        s.finalize()
        s.reset()
        return s

    keep = [session()]
    one = rss_mb()
    keep += [session() for _ in range(99)]
    return rss_mb() - one


def main():
    quern, out = sys.argv[1], sys.argv[2]
    count = int(sys.argv[sys.argv.index("--files") + 1]) if "--files" in sys.argv else FILES
    os.makedirs(out, exist_ok=True)
    files = make_set(out, count)
    from quern import dualis
    dualis.use_pocketsphinx()
    # Two at a time (the machine's two cores): the sessions, then the offline pass on true spans.
    with ThreadPoolExecutor(2) as pool:
        sessions = list(pool.map(lambda f: run_session(quern, f), files))
        offline = list(pool.map(lambda f: true_spans(f, dualis), files))
    rows = {}
    for f, (finals, cpu), (spans, offline_cpu) in zip(files, sessions, offline):
        ref = [w for _, _, t in f["spans"] for w in words(t)]
        key = "clean" if f["snr"] is None else f"{f['noise']}, {f['snr']} dB"
        r = rows.setdefault(key, {"words": 0, "streaming": 0, "two_pass": 0, "spans": 0,
                                  "seconds": 0.0, "session_cpu": 0.0, "finalize_s": 0.0,
                                  "spans_cpu": 0.0, "finalize_ms": []})
        r["words"] += len(ref)
        r["streaming"] += edits(ref, [w for x in finals for w in words(x["partial"])])
        r["two_pass"] += edits(ref, [w for x in finals for w in words(x["text"])])
        r["spans"] += edits(ref, [w for t in spans for w in words(t)])
        r["seconds"] += f["seconds"]
        r["session_cpu"] += cpu
        r["finalize_s"] += sum(x["ms"] for x in finals) / 1000
        r["spans_cpu"] += offline_cpu
        r["finalize_ms"] += [x["ms"] for x in finals]
    memory = idle_sessions_memory(dualis, files[0]["path"])

    print("| condition | streaming WER | two-pass WER | two-pass / streaming | true spans WER | "
          "two-pass / true spans | RTF streaming + VAD | RTF offline | finalize_ms p50 / p95 |")
    print("|---|---|---|---|---|---|---|---|---|")
    report = {}
    for key, r in rows.items():
        s, t, p = (r[k] / r["words"] for k in ("streaming", "two_pass", "spans"))
        ms = np.array(r["finalize_ms"])
        # The session's CPU less the offline pass's (its finalize time, on one thread) is the
        # streaming pass with the VAD and the host's own work.
        stream_rtf = (r["session_cpu"] - r["finalize_s"]) / r["seconds"]
        offline_rtf = r["finalize_s"] / r["seconds"]
        print(f"| {key} | {100 * s:.1f} % | {100 * t:.1f} % | {t / s:.2f} | {100 * p:.1f} % | "
              f"{t / p:.2f} | {stream_rtf:.3f} | {offline_rtf:.3f} | "
              f"{np.percentile(ms, 50):.0f} / {np.percentile(ms, 95):.0f} |")
        report[key] = {"words": r["words"], "streaming_wer": s, "two_pass_wer": t,
                       "true_spans_wer": p, "rtf_streaming": stream_rtf,
                       "rtf_offline": offline_rtf, "finalize_ms_p50": np.percentile(ms, 50),
                       "finalize_ms_p95": np.percentile(ms, 95)}
    print(f"\n100 idle sessions over one pool: {memory:.1f} MB above one session "
          f"({sum(f['seconds'] for f in files if f['snr'] is None):.0f} s of audio per condition, "
          f"{sum(len(f['spans']) for f in files if f['snr'] is None)} sentences)")
    report["idle_sessions_mb"] = memory
    with open(os.path.join(out, "report.json"), "w") as f:
        json.dump(report, f, indent=1)


if __name__ == "__main__":
    main()
