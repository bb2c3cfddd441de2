"""Prints the benchmark table: every figure next to an anchor measured in the same run.

Usage: report.py RESULTS_DIR   (written by scripts/bench.sh: Google Benchmark JSON files and the
anchors' one-line JSON files)
"""
import glob
import json
import os
import sys

UNIT = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}


def load(results):
    bench, anchors = Results(), {}
    for path in glob.glob(os.path.join(results, "*.json")):
        with open(path) as f:
            data = json.load(f)
        if "benchmarks" in data:
            for b in data["benchmarks"]:
                if b.get("run_type") == "aggregate" and b.get("aggregate_name") != "median":
                    continue
                bench[b.get("run_name", b["name"])] = b
        else:
            anchors.update(data)
    return bench, anchors


class Results(dict):
    """Benchmarks by run name; a name also finds its variants ("BM_X" finds "BM_X/real_time")."""

    def __getitem__(self, name):
        if dict.__contains__(self, name):
            return dict.__getitem__(self, name)
        for key in self:
            if key.startswith(name + "/"):
                return dict.__getitem__(self, key)
        raise KeyError(name)

    def get(self, name, default=None):
        try:
            return self[name]
        except KeyError:
            return default


def ns(b, key="cpu_time"):
    return b[key] * UNIT[b.get("time_unit", "ns")]


def main():
    bench, anchors = load(sys.argv[1])
    rows = []

    def row(figure, ours, anchor, ratio, goal, met):
        rows.append((figure, ours, anchor, ratio, goal, "yes" if met else "NO"))

    # What a detector runs: predict on its own stream.
    p = ns(bench["BM_SileroPredict_OwnStream"]) / 1e3
    ort, py = anchors.get("ort_predict_us"), anchors.get("python_predict_us")
    if ort:
        row("Silero predict, 512-sample frame, 1 thread", f"{p:.1f} us", f"ONNX Runtime {ort:.1f} us",
            f"{p / ort:.2f}x", "<= 0.8x and <= 100 us", p / ort <= 0.8 and p <= 100)
    if py:
        row("  same, against Python", f"{p:.1f} us", f"Python torch {py:.1f} us",
            f"{py / p:.2f}x faster", ">= 2x faster", py / p >= 2)
    s = ns(bench["BM_SileroPredict_SharedState"]) / 1e3
    row("  on the instance's shared state", f"{s:.1f} us", f"own stream {p:.1f} us",
        f"{s / p:.2f}x", "-", True)

    e = ns(bench["BM_ProcessAudio_Energy100ms"])
    npy = anchors.get("numpy_energy_chunk_us")
    if npy:
        row("energy process_audio, 100 ms chunk", f"{e:.0f} ns ({e / 3:.0f} ns/frame)",
            f"NumPy {npy:.1f} us", f"{npy * 1e3 / e:.0f}x faster",
            ">= 50x; <= 0.3 us/frame", npy * 1e3 / e >= 50 and e / 3 <= 300)

    g = ns(bench["BM_Dualis_StreamGenerate"])
    a = ns(bench["BM_Anchor_MutexPushBack"])
    allocs = bench["BM_Dualis_StreamGenerate"].get("allocs_per_iter", float("nan"))
    row("Dualis stream_generate, no-op engine", f"{g:.0f} ns ({allocs:.1f} allocs)",
        f"mutex + push_back {a:.0f} ns", f"{g / a:.1f}x", "<= 1 us per chunk", g <= 1000)

    j = ns(bench["BM_Dualis_GetAudioBuffer30s"])
    m = ns(bench["BM_Anchor_Memcpy30s"])
    row("get_audio_buffer, 30 s in 300 chunks", f"{j / 1e3:.0f} us", f"memcpy {m / 1e3:.0f} us",
        f"{j / m:.2f}x", "<= 2x", j / m <= 2)

    d = bench["BM_DisabledDebugLine"]
    en = bench["BM_EnabledDebugLine"]
    row("disabled debug line", f"{ns(d):.1f} ns, {d['allocs_per_iter']:.0f} allocs",
        f"enabled {ns(en):.0f} ns, {en['allocs_per_iter']:.0f} allocs", "-",
        "no formatting, no allocation", d["allocs_per_iter"] == 0)

    t = bench["BM_ThousandSessions"]
    row("1,000 sessions, 100 ms chunks, 2 threads", f"{t['chunks_per_cpu_second']:.0f} chunks/s/core",
        "-", f"{100 * t['cpu_share_of_realtime']:.1f}% of a core for 1,000 live streams", "report", True)

    one = bench.get("BM_ProcessAudio_Model100ms/real_time/threads:1")
    two = bench.get("BM_ProcessAudio_Model100ms/real_time/threads:2")
    if one and two:
        r1, r2 = one["x_realtime"], two["x_realtime"]
        row("model-mode VAD, detectors sharing one model", f"{r1:.0f}x realtime on 1 thread",
            f"{r2:.0f}x on 2 threads", f"{r2 / r1:.2f}x", "approach 2x", r2 / r1 >= 1.5)

    # The same with torch's and OpenBLAS's default pools: a second thread per frame, and two
    # detectors' pools competing for the two cores.
    dflt, _ = load(os.path.join(sys.argv[1], "default_threads"))
    d1 = dflt.get("BM_ProcessAudio_Model100ms/real_time/threads:1")
    d2 = dflt.get("BM_ProcessAudio_Model100ms/real_time/threads:2")
    dp = dflt.get("BM_SileroPredict_OwnStream")
    if dp:
        w = ns(dp, "real_time") / 1e3
        w1 = ns(bench["BM_SileroPredict_OwnStream"], "real_time") / 1e3
        row("  Silero predict, default thread pools", f"{w:.1f} us",
            f"OMP_NUM_THREADS=1 {w1:.1f} us", f"{w / w1:.2f}x", "report", True)
    if one and two and d1 and d2:
        row("  model-mode VAD, default thread pools", f"{d1['x_realtime']:.0f}x on 1 thread",
            f"{d2['x_realtime']:.0f}x on 2 threads",
            f"{d2['x_realtime'] / r2:.2f}x of OMP_NUM_THREADS=1", "report", True)

    # Many streams through one model in batched calls, against this core's FMA peak.
    peak = bench.get("BM_FmaPeak")
    peak_macs = peak["macs_per_s"] if peak and "macs_per_s" in peak else None
    if peak_macs:
        row("this core's FMA peak (AVX2, 8 lanes)", f"{peak_macs / 1e9:.1f} G multiply-adds/s", "-",
            "-", "report", True)
    for threads in (1, 2):
        for batch in (1, 4, 16, 64, 256, 1024):
            b = bench.get(f"BM_PredictBatch/batch:{batch}/real_time/threads:{threads}")
            if not b:
                continue
            # Each thread runs its own batch on its own core; Google Benchmark divides the wall
            # time by the iterations of all threads together, so one thread's iteration took
            # `threads` times the reported time, and a core's cost per stream-frame is that over
            # the batch.
            us = ns(b, "real_time") / 1e3 * threads / batch
            share = MACS_PER_FRAME / (us * 1e-6) / peak_macs if peak_macs else float("nan")
            goal, met = "report", True
            if batch == 64 and threads == 1:
                goal, met = ">= 50% of peak", share >= 0.5
            row(f"predict_batch, {batch} streams, {threads} thread{'s' if threads > 1 else ''}",
                f"{us:.1f} us/stream-frame/core", f"{1e6 / (us * 31.25):.0f} real-time streams/core",
                f"{100 * share:.0f}% of peak", goal, met)
    # The same through the host's call: quern streams, detectors fed by process_audio_batch.
    single = anchors.get("quern_streams_1_1")
    for streams, threads in ((1, 1), (64, 1), (256, 1), (256, 2)):
        s = anchors.get(f"quern_streams_{streams}_{threads}")
        if s:
            row(f"quern streams, {streams} streams, {threads} thread{'s' if threads > 1 else ''}",
                f"{s['streams_per_core']:.0f} real-time streams/core",
                f"1 stream {single['streams_per_core']:.0f}" if single else "-",
                f"{s['x_realtime']:.0f}x real time", "report", True)
    q, o = anchors.get("quern_vad_10min_s"), anchors.get("ort_vad_10min_s")
    if q and o:
        row("quern vad --model, 10 min of speech, whole process", f"{q:.2f} s",
            f"ONNX Runtime (Node) {o:.2f} s", f"{q / o:.2f}x", "<= 0.4x", q / o <= 0.4)

    # The same calls from Python (bench/python/python_bench.py), beside the C++ runs above.
    pm, pe = anchors.get("py_model_100ms_ns"), anchors.get("py_energy_100ms_ns")
    if pm and one:
        c = ns(one, "real_time")
        row("Python: process_audio, model, 100 ms", f"{pm / 1e3:.0f} us", f"C++ {c / 1e3:.0f} us",
            f"{pm / c:.2f}x", "<= 1.1x", pm / c <= 1.1)
    if pe:
        c = ns(bench["BM_ProcessAudio_Energy100ms"], "real_time")
        row("Python: process_audio, energy, 100 ms", f"{pe:.0f} ns", f"C++ {c:.0f} ns",
            f"+{(pe - c) / 1e3:.2f} us", "<= 2 us overhead", pe - c <= 2000)
    p1, p2 = anchors.get("py_model_chunks_per_s_1thread"), anchors.get("py_model_chunks_per_s_2threads")
    if p1 and p2:
        anchor = f"C++ {r2 / r1:.2f}x" if one and two else "-"
        row("Python: model mode, 2 threads vs 1", f"{p2:.0f} vs {p1:.0f} chunks/s", anchor,
            f"{p2 / p1:.2f}x", ">= 1.8x", p2 / p1 >= 1.8)
    ps = anchors.get("py_stream_generate_ns")
    if ps:
        row("Python: Dualis.stream_generate, no-op engine", f"{ps:.0f} ns", f"C++ {g:.0f} ns",
            f"+{(ps - g) / 1e3:.2f} us", "report", True)

    # What torch's own settings change (to choose the ones libvad runs with). Wall time: a second
    # intra-op thread shows up as CPU time on both cores.
    for path in ("OwnStream", "SharedState"):
        t1 = bench.get(f"BM_IntraOpThreads/{path}/1")
        t2 = bench.get(f"BM_IntraOpThreads/{path}/2")
        if t1 and t2:
            w1, w2 = ns(t1, "real_time") / 1e3, ns(t2, "real_time") / 1e3
            row(f"torch intra-op threads, {path}", f"2 threads {w2:.1f} us",
                f"1 thread {w1:.1f} us", f"{w2 / w1:.2f}x", "report", True)
    base = bench.get("BM_GraphSetting/AsLoaded")
    for setting in ("Frozen", "ProfilingOff"):
        b = bench.get(f"BM_GraphSetting/{setting}")
        if base and b and not b.get("error_occurred"):
            row(f"TorchScript forward, {setting}", f"{ns(b) / 1e3:.1f} us",
                f"as loaded {ns(base) / 1e3:.1f} us", f"{ns(b) / ns(base):.2f}x", "report", True)
        elif b:
            row(f"TorchScript forward, {setting}", b.get("error_message", "failed"), "-", "-",
                "report", True)

    widths = [max(len(str(r[i])) for r in rows + [HEADER]) for i in range(len(HEADER))]
    for r in [HEADER, tuple("-" * w for w in widths)] + rows:
        print(" | ".join(str(c).ljust(w) for c, w in zip(r, widths)))


# The multiply-adds of the products one 16 kHz frame runs (bench/vad_bench.cpp).
MACS_PER_FRAME = 394752
HEADER = ("figure", "ours", "anchor (same run)", "ratio", "goal", "met")

if __name__ == "__main__":
    main()
