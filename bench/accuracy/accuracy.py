"""Speech-segment accuracy of `quern vad` on a labelled set this script makes.

The set: scenes of six espeak-ng sentences in several voices and languages, 1.5 to 3 s apart, each
sentence's span taken from its clean signal (first to last 10 ms frame within 40 dB of its loudest
one); mixed with noise of four kinds (white, pink and brown from sox, babble from sixteen
overlaid talkers reading other sentences) at 20, 10, 5 and 0 dB SNR (speech power over its spans
against the noise's), and also clean; all at 16 kHz and, resampled by sox, at 8 kHz.

For each file and mode (model, energy) it runs `QUERN vad` with the defaults and scores the
segments on a 10 ms grid: frame precision, recall and F1 over all files of a condition, and for
each true span the detected segment overlapping it most: the median and 95th percentile of
|onset error| and |offset error| (spans with no segment count as misses, not as errors).

  /usr/bin/python3 bench/accuracy/accuracy.py QUERN OUT_DIR [--second-set] [EXTRA_FLAGS...]
--second-set makes the set from other voices, sentences and speaking rates (see SECOND_VOICES).
Prints two tables (by rate and SNR; by noise kind at 10 dB) and writes OUT_DIR/accuracy.json.
"""
import json
import os
import subprocess
import sys
import wave

import numpy as np

RATE = 16000
STEP = 0.01  # scoring grid, seconds
SNRS = (20, 10, 5, 0)
NOISES = ("white", "pink", "brown", "babble")

FIRST_VOICES = ["en-us", "en-gb+f3", "de+m3", "fr-fr+f2", "es+m1", "it+f4", "nl+m2", "pl+f1",
          "en-us+m4", "pt-br+f5", "sv+m5", "en-gb-scotland+f2"]
FIRST_SENTENCES = {
    "en": ["The quick brown fox jumps over the lazy dog.",
           "Please call me back when you have a moment to spare.",
           "Our meeting has been moved to Thursday afternoon.",
           "It was raining all day, so we stayed inside and read."],
    "de": ["Der Zug nach Berlin fährt um acht Uhr ab.",
           "Heute ist das Wetter schön und warm."],
    "fr": ["Nous allons au marché tous les samedis matin.",
           "Le petit chat dort sur le canapé du salon."],
    "es": ["Mañana vamos a visitar a nuestros abuelos.",
           "El libro que me prestaste es muy interesante."],
    "it": ["La cena è pronta, venite a tavola.", "Domani andiamo al mare con gli amici."],
    "nl": ["De fiets staat achter het huis bij de schuur.", "Wij drinken koffie in de ochtend."],
    "pl": ["Dzisiaj jest bardzo ładna pogoda.", "Proszę zamknąć drzwi za sobą."],
    "pt": ["Vamos jantar juntos no sábado à noite.", "O ônibus chegou atrasado hoje."],
    "sv": ["Vi ses i morgon efter jobbet.", "Det är kallt ute i dag."],
}
# The second set (--second-set): the same recipe with other voices, sentences and scene seeds,
# and speaking rates drawn from 130 to 190 words per minute; for checking that what was tuned on
# the first set holds on speech it was not tuned on.
SECOND_VOICES = ["en-gb+m2", "en-us+f4", "de+f2", "fr-fr+m4", "es+f3", "it+m3", "nl+f5",
                 "en-us+m7", "pt-br+m2", "sv+f1", "pl+m4", "en-gb+f1"]
SECOND_SENTENCES = {
    "en": ["Could you send the report before lunch tomorrow?",
           "The children played in the park until it got dark.",
           "I think the train leaves at a quarter past nine.",
           "Turn left at the second light and park behind the bank."],
    "de": ["Kannst du mir bitte das Salz geben?", "Wir treffen uns morgen vor dem Kino."],
    "fr": ["Il fait très froid ce matin dans la vallée.",
           "Je voudrais un café et un croissant, s'il vous plaît."],
    "es": ["La tienda abre a las nueve de la mañana.",
           "Mi hermano vive en una casa cerca del río."],
    "it": ["Ho perso le chiavi della macchina ieri sera.", "Il museo è chiuso il lunedì."],
    "nl": ["Het regent al de hele week in de stad.", "Zij fietst elke dag naar haar werk."],
    "pl": ["Czy możesz mi pomóc z tym zadaniem?", "Wczoraj byliśmy w kinie z przyjaciółmi."],
    "pt": ["A praia estava cheia no domingo passado.", "Preciso comprar pão e leite hoje."],
    "sv": ["Jag har glömt mitt paraply hemma.", "Bussen går var tionde minut."],
}
CORPORA = {
    "first": {"voices": FIRST_VOICES, "sentences": FIRST_SENTENCES, "seed": 0, "speeds": None},
    "second": {"voices": SECOND_VOICES, "sentences": SECOND_SENTENCES, "seed": 10,
               "speeds": (130, 190)},
}
BABBLE_TALKERS = 16  # enough that no single talker stands out, as in a crowded room
BABBLE = ["One two three four five six seven eight nine ten.",
          "She sells sea shells by the sea shore every summer.",
          "A journey of a thousand miles begins with a single step.",
          "Peter Piper picked a peck of pickled peppers.",
          "How much wood would a woodchuck chuck if a woodchuck could chuck wood.",
          "All that glitters is not gold, and not all who wander are lost."]


def language(voice):
    base = voice.split("+")[0]
    return {"en-us": "en", "en-gb": "en", "en-gb-scotland": "en", "fr-fr": "fr",
            "pt-br": "pt"}.get(base, base)


def espeak(text, voice, path, speed=160):
    subprocess.run(["espeak-ng", "-v", voice, "-s", str(speed), "-w", path, text], check=True)
    return read(path, resample=True)


def read(path, resample=False):
    with wave.open(path) as w:
        rate, data = w.getframerate(), w.readframes(w.getnframes())
    x = np.frombuffer(data, "<i2").astype(np.float64) / 32768
    if resample and rate != RATE:
        out = path + ".16k.wav"
        subprocess.run(["sox", "-R", "-G", path, "-r", str(RATE), out], check=True)
        return read(out)
    return x


def write(path, x, rate=RATE):
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes((np.clip(x, -1, 1) * 32767).astype("<i2").tobytes())


def trimmed(x):
    """The sentence from its first to its last 10 ms frame within 40 dB of its loudest frame."""
    n = int(STEP * RATE)
    frames = x[: len(x) // n * n].reshape(-1, n)
    rms = np.sqrt((frames ** 2).mean(axis=1))
    active = np.nonzero(rms > rms.max() * 10 ** (-40 / 20))[0]
    return x[active[0] * n:(active[-1] + 1) * n]


def make_scene(index, corpus, tmp):
    rng = np.random.default_rng(index + corpus["seed"])
    voices, speeds = corpus["voices"], corpus["speeds"]
    pieces, spans, t = [np.zeros(RATE)], [], 1.0
    for k in range(6):
        voice = voices[(index * 6 + k) % len(voices)]
        texts = corpus["sentences"][language(voice)]
        speed = int(rng.integers(*speeds)) if speeds else 160
        s = trimmed(espeak(texts[(index + k) % len(texts)], voice, f"{tmp}/s.wav", speed))
        s = s / np.sqrt((s ** 2).mean()) * 10 ** ((-22 + rng.uniform(-6, 6)) / 20)
        spans.append((t, t + len(s) / RATE))
        gap = rng.uniform(1.5, 3.0)
        pieces += [s, np.zeros(int(gap * RATE))]
        t += len(s) / RATE + int(gap * RATE) / RATE
    return np.concatenate(pieces), spans


def noise(kind, length, index, voices, tmp):
    if kind == "babble":
        rng = np.random.default_rng(1000 + index)
        total = np.zeros(length)
        for v in range(BABBLE_TALKERS):
            voice = voices[(index + v * 5) % len(voices)]
            talk = np.concatenate([trimmed(espeak(BABBLE[(v + j) % len(BABBLE)], voice,
                                                  f"{tmp}/b.wav")) for j in range(6)])
            talk = talk / np.sqrt((talk ** 2).mean())
            start = int(rng.integers(0, len(talk)))
            total += np.resize(np.roll(talk, -start), length)
        return total
    path = f"{tmp}/{kind}.wav"
    subprocess.run(["sox", "-R", "-n", "-r", str(RATE), "-c", "1", "-b", "16", path, "synth",
                    str(length / RATE + 1), f"{kind}noise"], check=True)
    return np.resize(read(path), length)


def make_set(out, corpus):
    tmp = os.path.join(out, "tmp")
    os.makedirs(tmp, exist_ok=True)
    files = []
    for index in range(4):
        clean, spans = make_scene(index, corpus, tmp)
        mask = np.zeros(len(clean), bool)
        for a, b in spans:
            mask[int(a * RATE):int(b * RATE)] = True
        p_speech = (clean[mask] ** 2).mean()
        mixes = [("clean", None, clean)]
        for kind in NOISES:
            n = noise(kind, len(clean), index, corpus["voices"], tmp)
            n = n / np.sqrt((n ** 2).mean())
            for snr in SNRS:
                mixes.append((kind, snr, clean + n * np.sqrt(p_speech / 10 ** (snr / 10))))
        for kind, snr, x in mixes:
            peak = np.abs(x).max()
            x = x * (0.9 / peak) if peak > 0.9 else x
            name = f"scene{index}_{kind}" + ("" if snr is None else f"_{snr}dB")
            path16 = os.path.join(out, name + "_16k.wav")
            write(path16, x)
            path8 = os.path.join(out, name + "_8k.wav")
            subprocess.run(["sox", "-R", "-G", path16, "-r", "8000", path8], check=True)
            for rate, path in ((16000, path16), (8000, path8)):
                files.append({"path": path, "rate": rate, "noise": kind, "snr": snr,
                              "spans": spans, "length": len(x) / RATE})
    return files


def run_quern(quern, path, mode, extra):
    out = subprocess.run([quern, "vad", f"--{mode}", *extra, path], check=True,
                         capture_output=True, text=True).stdout
    return [(d["start"], d["end"]) for d in map(json.loads, out.splitlines()) if "start" in d]


def grid(spans, length):
    g = np.zeros(int(round(length / STEP)) + 1, bool)
    for a, b in spans:
        g[int(round(a / STEP)):int(round(b / STEP))] = True
    return g


class Score:
    def __init__(self):
        self.tp = self.fp = self.fn = 0
        self.onsets, self.offsets, self.missed, self.spans = [], [], 0, 0

    def add(self, truth, found, length):
        t, f = grid(truth, length), grid(found, length)
        self.tp += int((t & f).sum())
        self.fp += int((~t & f).sum())
        self.fn += int((t & ~f).sum())
        for a, b in truth:
            self.spans += 1
            overlaps = [(min(b, d) - max(a, c), c, d) for c, d in found]
            best = max(overlaps, default=(0, 0, 0))
            if best[0] <= 0:
                self.missed += 1
                continue
            self.onsets.append(abs(best[1] - a))
            self.offsets.append(abs(best[2] - b))

    def row(self):
        p = self.tp / max(self.tp + self.fp, 1)
        r = self.tp / max(self.tp + self.fn, 1)
        f1 = 2 * p * r / max(p + r, 1e-12)
        q = lambda v, x: 1000 * float(np.percentile(v, x)) if v else float("nan")
        return {"precision": p, "recall": r, "f1": f1,
                "onset_median_ms": q(self.onsets, 50), "onset_p95_ms": q(self.onsets, 95),
                "offset_median_ms": q(self.offsets, 50), "offset_p95_ms": q(self.offsets, 95),
                "missed": self.missed, "spans": self.spans}


def table(title, keys, scores):
    print(f"\n{title}\n")
    cols = ("F1", "P", "R", "onset med/p95 ms", "offset med/p95 ms", "missed")
    head = ["condition"] + [f"{m}: {c}" for m in ("model", "energy") for c in cols]
    print("| " + " | ".join(head) + " |")
    print("|" + "---|" * len(head))
    for key in keys:
        cells = [key]
        for mode in ("model", "energy"):
            r = scores[mode][key]
            cells += [f"{r['f1']:.3f}", f"{r['precision']:.3f}", f"{r['recall']:.3f}",
                      f"{r['onset_median_ms']:.0f} / {r['onset_p95_ms']:.0f}",
                      f"{r['offset_median_ms']:.0f} / {r['offset_p95_ms']:.0f}",
                      f"{r['missed']}/{r['spans']}"]
        print("| " + " | ".join(cells) + " |")


def main():
    quern, out, extra = sys.argv[1], sys.argv[2], sys.argv[3:]
    corpus = CORPORA["second" if "--second-set" in extra else "first"]
    extra = [x for x in extra if x != "--second-set"]
    os.makedirs(out, exist_ok=True)
    files = make_set(out, corpus)
    by_snr = {m: {} for m in ("model", "energy")}
    by_noise = {m: {} for m in ("model", "energy")}
    for f in files:
        snr = "clean" if f["snr"] is None else f"{f['snr']} dB"
        for mode in ("model", "energy"):
            found = run_quern(quern, f["path"], mode, extra)
            by_snr[mode].setdefault(f"{f['rate'] // 1000} kHz, {snr}", Score()).add(
                f["spans"], found, f["length"])
            if f["snr"] == 10:
                by_noise[mode].setdefault(f"{f['rate'] // 1000} kHz, {f['noise']} 10 dB",
                                          Score()).add(f["spans"], found, f["length"])
    rows_snr = {m: {k: s.row() for k, s in v.items()} for m, v in by_snr.items()}
    rows_noise = {m: {k: s.row() for k, s in v.items()} for m, v in by_noise.items()}
    order = [f"{r} kHz, {s}" for r in (16, 8) for s in ["clean"] + [f"{x} dB" for x in SNRS]]
    table("By rate and SNR (every noise kind together)", order, rows_snr)
    table("By noise kind at 10 dB SNR", list(rows_noise["model"]), rows_noise)
    with open(os.path.join(out, "accuracy.json"), "w") as f:
        json.dump({"by_snr": rows_snr, "by_noise": rows_noise}, f, indent=1)


if __name__ == "__main__":
    main()
