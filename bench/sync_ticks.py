#!/usr/bin/env python3
"""Figures from jack_midi_dump -a logs of MIDI clock (frame stamps), for sync_bench.sh.

  sync_ticks.py master FILE            how the master's intervals err (first 1500): displaced stamps
                                       (lag-1 correlation of intervals near -0.5) or a phase
                                       that walks (near 0, spans' spread growing as sqrt)
  sync_ticks.py offset PROBELOG A B    our beat against the master's, beats A to B s in
  sync_ticks.py output FILE BPM RATE   our output while at BPM: deviation of each interval
                                       from the nominal one, and from the interval before it
"""
import math
import sys


def ticks(path, limit=None):
    frames = []
    for line in open(path, errors="replace"):
        head, _, body = line.partition(":")
        if body.strip().lower() == "f8" and head.strip().isdigit():
            frames.append(int(head))
    return frames


def pct(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, max(0, math.ceil(p * len(values)) - 1))] if values else float("nan")


def master(path):
    t = ticks(path)
    # The first 30 s of it (before the bench steps the tempo).
    d = [b - a for a, b in zip(t, t[1:])][:1500]
    if len(d) < 100:
        print("master: too few ticks")
        return
    med = pct(d, 0.5)
    # Leave out what is not one interval of the steady clock (start, the step, xruns' gaps).
    runs, run = [], []
    for x in d:
        if abs(x - med) < 0.25 * med:
            run.append(x)
        else:
            if len(run) > 50:
                runs.append(run)
            run = []
    if len(run) > 50:
        runs.append(run)
    run = max(runs, key=len)
    m = sum(run) / len(run)
    e = [x - m for x in run]
    var = sum(x * x for x in e) / len(e)
    r1 = sum(a * b for a, b in zip(e, e[1:])) / len(e) / var if var > 0 else float("nan")
    # Spread of the phase after L ticks: a walk grows as sqrt(L), displaced stamps stay put.
    spans, spread = [], {}
    for L in (1, 4, 24, 96):
        s = [sum(e[i:i + L]) for i in range(0, len(e) - L, max(1, L // 4))]
        spread[L] = math.sqrt(sum(x * x for x in s) / len(s))
        spans.append("%d:%.1f" % (L, spread[L]))
    kind = "walk" if spread[96] > 3 * spread[1] else "grid"
    print("master: %d intervals, mean %.3f frames, sd %.2f, lag-1 correlation %.3f (%s), "
          "phase spread after L ticks (frames) %s" % (len(run), m, math.sqrt(var), r1, kind,
                                                       " ".join(spans)))


def output(path, bpm, rate):
    nominal = rate * 60.0 / (24 * bpm)
    t = ticks(path)
    d = [b - a for a, b in zip(t, t[1:])]
    # The stretch at this tempo: intervals within 3 % of the nominal one.
    d = [x for x in d if abs(x - nominal) < 0.03 * nominal]
    if len(d) < 10:
        print("output: too few ticks at %.2f BPM" % bpm)
        return
    dev = [abs(x - nominal) for x in d]
    step = [abs(b - a) for a, b in zip(d, d[1:])]
    print("output at %.2f BPM: %d intervals; off the nominal %.2f frames p50 %.1f p99 %.1f max "
          "%.1f; change from the interval before p50 %.1f p99 %.1f max %.1f frames"
          % (bpm, len(d), nominal, pct(dev, .5), pct(dev, .99), max(dev), pct(step, .5),
             pct(step, .99), max(step)))


def offset(path, start, end):
    # beat_at lines of tempovane-linkprobe --reference: seconds into its run, offset in us.
    o = []
    for line in open(path, errors="replace"):
        f = line.split()
        if len(f) >= 4 and f[0] == "beat_at" and start < float(f[1]) < end:
            o.append(float(f[3]))
    if len(o) < 10:
        print("offset: too few beats")
        return
    m = pct(o, 0.5)
    print("our beat against the master from %g to %g s (128 BPM): %d beats, median %.0f us, "
          "spread p99 %.0f us" % (start, end, len(o), m, pct([abs(x - m) for x in o], 0.99)))


if __name__ == "__main__":
    if sys.argv[1] == "offset":
        offset(sys.argv[2], float(sys.argv[3]), float(sys.argv[4]))
    elif sys.argv[1] == "master":
        master(sys.argv[2])
    else:
        output(sys.argv[2], float(sys.argv[3]), float(sys.argv[4]))
