#!/usr/bin/env python3
"""For hydrogen_follow.sh: a JACK MIDI recorder, and the figures from what it recorded.

  hydrogen_follow.py record NAME PORT...   a client NAME with one input per PORT name; prints
                                           "FRAME PORT HEXBYTES" per event until SIGTERM/SIGINT
  hydrogen_follow.py figures LOG RATE BPM  Hydrogen's note-ons (port "notes") against our clock
                                           (port "clock") in one run at BPM; exit 1 when
                                           Hydrogen's tempo is off ours by more than 0.01 BPM or
                                           it played too little to tell

The recorder stamps every event with JACK's own frame count (the cycle's first frame plus the
event's offset), so both ports share one time line. jack_midi_dump cannot be used: it stops on
an assertion at Hydrogen's note events (they are not three bytes long).
"""
import ctypes
import ctypes.util
import signal
import sys
import time


class MidiEvent(ctypes.Structure):
    _fields_ = [("time", ctypes.c_uint32), ("size", ctypes.c_size_t),
                ("buffer", ctypes.POINTER(ctypes.c_ubyte))]


def record(name, ports):
    jack = ctypes.CDLL("libjack.so.0")
    jack.jack_client_open.restype = ctypes.c_void_p
    jack.jack_client_open.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.c_void_p]
    jack.jack_port_register.restype = ctypes.c_void_p
    jack.jack_port_register.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_char_p,
                                        ctypes.c_ulong, ctypes.c_ulong]
    jack.jack_port_get_buffer.restype = ctypes.c_void_p
    jack.jack_port_get_buffer.argtypes = [ctypes.c_void_p, ctypes.c_uint32]
    jack.jack_midi_get_event_count.restype = ctypes.c_uint32
    jack.jack_midi_get_event_count.argtypes = [ctypes.c_void_p]
    jack.jack_midi_event_get.argtypes = [ctypes.POINTER(MidiEvent), ctypes.c_void_p, ctypes.c_uint32]
    jack.jack_last_frame_time.restype = ctypes.c_uint32
    jack.jack_last_frame_time.argtypes = [ctypes.c_void_p]
    jack.jack_activate.argtypes = [ctypes.c_void_p]
    jack.jack_deactivate.argtypes = [ctypes.c_void_p]
    jack.jack_client_close.argtypes = [ctypes.c_void_p]
    callback_type = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_uint32, ctypes.c_void_p)
    jack.jack_set_process_callback.argtypes = [ctypes.c_void_p, callback_type, ctypes.c_void_p]

    client = jack.jack_client_open(name.encode(), 1, None)  # JackNoStartServer
    if not client:
        print("record: no JACK server", file=sys.stderr)
        return 1
    handles = [jack.jack_port_register(client, p.encode(), b"8 bit raw midi", 1, 0) for p in ports]
    events = []
    event = MidiEvent()

    def process(nframes, _arg):
        first = jack.jack_last_frame_time(client)
        for port, handle in zip(ports, handles):
            buf = jack.jack_port_get_buffer(handle, nframes)
            for i in range(jack.jack_midi_get_event_count(buf)):
                if jack.jack_midi_event_get(ctypes.byref(event), buf, i) == 0:
                    data = bytes(event.buffer[:event.size])
                    events.append((first + event.time, port, data.hex()))
        return 0

    callback = callback_type(process)
    jack.jack_set_process_callback(client, callback, None)
    if jack.jack_activate(client) != 0:
        print("record: cannot activate", file=sys.stderr)
        return 1
    done = []
    signal.signal(signal.SIGTERM, lambda *_: done.append(1))
    signal.signal(signal.SIGINT, lambda *_: done.append(1))
    while not done:
        time.sleep(0.1)
        while events:
            frame, port, data = events.pop(0)
            print(frame, port, data, flush=True)
    jack.jack_deactivate(client)
    jack.jack_client_close(client)
    for frame, port, data in events:
        print(frame, port, data)
    return 0


def fit(xs, ys):
    n = len(xs)
    mx, my = sum(xs) / n, sum(ys) / n
    sxx = sum((x - mx) ** 2 for x in xs)
    slope = sum((x - mx) * (y - my) for x, y in zip(xs, ys)) / sxx
    return slope, my - slope * mx


def pct(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, max(0, int(round(p * (len(values) - 1)))))]


def figures(path, rate, bpm):
    notes, ticks = [], []
    for line in open(path):
        parts = line.split()
        if len(parts) != 3:
            continue
        frame, port, data = int(parts[0]), parts[1], bytes.fromhex(parts[2])
        if port == "clock":
            if data[:1] == b"\xfa":
                ticks = []  # our run begins here: its first tick is beat 0
            elif data[:1] == b"\xf8":
                ticks.append(frame)
        else:
            # An event may hold several messages (Hydrogen sends a note-off before each note-on).
            i = 0
            while i + 2 < len(data):
                if data[i] & 0xF0 == 0x90 and data[i + 2] > 0:
                    notes.append(frame)
                    break
                i += 3
    label = "%s BPM" % bpm
    if len(ticks) < 24 * 8 or len(notes) < 8:
        print("%s: Hydrogen played %d notes, our clock %d ticks: too few to tell" % (label, len(notes), len(ticks)))
        return 1
    beats = ticks[::24]
    ours_period, _ = fit(list(range(len(beats))), beats)
    # Hydrogen 1.2 sends a note's note-on from every cycle in which the note is due but its
    # sample has not begun (the sampler sends it while the sample's position is still 0), so a
    # note comes as a burst of note-ons in consecutive cycles; the last one is in the cycle
    # where its sound begins. Its JACK MIDI output stamps every event at the cycle's start.
    played, bursts, burst = [], [], 0
    for f in notes:
        if played and f - played[-1] < ours_period / 4:
            played[-1] = f
            burst += 1
        else:
            if played:
                bursts.append(burst)
            played.append(f)
            burst = 1
    bursts.append(burst)
    # Notes while our clock ran, the first two beats left out (Hydrogen starts on the roll).
    inside = [f for f in played if beats[2] <= f <= beats[-1]]
    if len(inside) < 8:
        print("%s: Hydrogen played %d notes while our clock ran: too few to tell" % (label, len(inside)))
        return 1
    # Each note on its nearest beat of ours (a note per beat).
    index = [round((f - beats[0]) / ours_period) for f in inside]
    if len(set(index)) != len(index) or index[-1] - index[0] + 1 != len(index):
        print("%s: FAIL: Hydrogen did not play one note per beat (%d notes on %d beats)"
              % (label, len(index), index[-1] - index[0] + 1))
        return 1
    period, _ = fit(index, inside)
    theirs = 60.0 * rate / period
    ours = 60.0 * rate / ours_period
    offsets = []
    for f, k in zip(inside, index):
        if 0 <= k < len(beats):
            offsets.append(f - beats[k])
    gaps = [b - a for a, b in zip(inside, inside[1:])]
    print("%s: %d notes over %.1f s; Hydrogen %.4f BPM, ours %.4f BPM (%+.4f); "
          "note after our beat: median %d, p1 %d, p99 %d, min %d, max %d frames; "
          "note-to-note %d..%d frames (ours %.1f); note-ons per note %d..%d"
          % (label, len(inside), (inside[-1] - inside[0]) / rate, theirs, ours, theirs - ours,
             pct(offsets, 0.5), pct(offsets, 0.01), pct(offsets, 0.99), min(offsets), max(offsets),
             min(gaps), max(gaps), ours_period, min(bursts), max(bursts)))
    if abs(theirs - ours) > 0.01 or abs(ours - bpm) > 0.01:
        print("%s: FAIL: Hydrogen's tempo is not ours" % label)
        return 1
    return 0


if __name__ == "__main__":
    if len(sys.argv) >= 4 and sys.argv[1] == "record":
        sys.exit(record(sys.argv[2], sys.argv[3:]))
    if len(sys.argv) == 5 and sys.argv[1] == "figures":
        sys.exit(figures(sys.argv[2], int(sys.argv[3]), float(sys.argv[4])))
    print(__doc__, file=sys.stderr)
    sys.exit(2)
