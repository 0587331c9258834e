#!/usr/bin/env python3
"""The demo's summary, and with --timeline its picture.

Reads lumivox-server's statistics (JSON lines, each with "time" in ms since
the server started), the WAV files the demo wrote and the tools' logs, and
prints what happened: the wire formats, the round-trip times, the frames
sent and played, the files. Exits 1 when no audio was played or recorded,
or when a tool failed, so that the demo (and its test) fails with it.

--timeline PNG draws the round-trip time and the playback wire format over
time with gnuplot. Only the standard library is used here.
"""
import argparse
import array
import json
import math
import os
import re
import statistics
import subprocess
import sys
import tempfile

WIRE_COMPANDED, WIRE_LINEAR16, WIRE_GSM = 1, 2, 3
# Audio quieter than this peak is taken for silence, dBFS.
SILENCE_DBFS = -40.0


def format_name(kind, rate, stereo):
    channels = "stereo" if stereo else "mono"
    if kind == WIRE_GSM:
        return "GSM 06.10 8000 Hz mono"
    if kind == WIRE_COMPANDED:
        return f"8-bit companded {rate} Hz {channels}"
    return f"16-bit linear {rate} Hz {channels}"


def read_stats(path):
    events = []
    if not os.path.exists(path):
        return events
    with open(path) as lines:
        for line in lines:
            line = line.strip()
            if not line:
                continue
            try:
                events.append(json.loads(line))
            except json.JSONDecodeError:
                pass  # a line cut short by a stopped server: left out
    return events


def read_wav(path):
    """(rate, channels, frames, peak dBFS, samples) of a 16-bit PCM WAV file,
    or None."""
    if not os.path.exists(path):
        return None
    with open(path, "rb") as f:
        data = f.read()
    if len(data) < 12 or data[0:4] != b"RIFF" or data[8:12] != b"WAVE":
        return None
    at, rate, channels, bits, samples = 12, 0, 0, 0, b""
    while at + 8 <= len(data):
        chunk, size = data[at:at + 4], int.from_bytes(data[at + 4:at + 8], "little")
        body = data[at + 8:at + 8 + size]
        if chunk == b"fmt " and len(body) >= 16:
            channels = int.from_bytes(body[2:4], "little")
            rate = int.from_bytes(body[4:8], "little")
            bits = int.from_bytes(body[14:16], "little")
        elif chunk == b"data":
            samples = body
        at += 8 + size + (size & 1)
    if bits != 16 or channels == 0:
        return None
    values = array.array("h")
    values.frombytes(samples[:len(samples) // 2 * 2])
    if sys.byteorder == "big":
        values.byteswap()
    peak = max((abs(v) for v in values), default=0)
    peak_dbfs = 20 * math.log10(peak / 32768) if peak else -math.inf
    return rate, channels, len(values) // channels, peak_dbfs, values


def describe_wav(name, info):
    if info is None:
        return f"{name} (missing or unreadable)"
    rate, channels, frames, peak, _ = info
    return f"{name} ({frames / rate:.2f} s, {rate} Hz, {channels} ch, peak {peak:.1f} dBFS)"


def identical_audio(sample, played):
    """Whether played holds the sample's samples exactly (once or more)."""
    if not sample or not played or sample[:2] != played[:2] or not sample[4]:
        return False
    want, got = sample[4], played[4]
    if len(got) % len(want):
        return False
    return all(got[i:i + len(want)] == want for i in range(0, len(got), len(want)))


def audible_span(info):
    """Seconds from the first to the last 10 ms block above SILENCE_DBFS."""
    rate, channels, frames, _, values = info
    block = rate // 100 * channels
    threshold = 32768 * 10 ** (SILENCE_DBFS / 20)
    loud = [i for i in range(0, len(values) - block + 1, block)
            if max(abs(v) for v in values[i:i + block]) > threshold]
    if not loud:
        return 0.0
    return (loud[-1] + block - loud[0]) / channels / rate


def sink_line(info, origin):
    """What the sink played, from its monitor."""
    if info is None:
        return "nothing recorded from the sink's monitor"
    rate, channels, frames, peak, values = info
    rms = math.sqrt(sum(v * v for v in values) / len(values)) if values else 0
    level = 20 * math.log10(rms / 32768) if rms else -math.inf
    return (f"{audible_span(info):.2f} s of audio, peak {peak:.1f} dBFS, "
            f"RMS {level:.1f} dBFS ({origin}, from its monitor)")


def volume_lines(logs):
    path = os.path.join(logs, "volume.log")
    if not os.path.exists(path):
        return []
    with open(path) as f:
        return [l.strip() for l in f if re.match(r"(output|input) volume:", l.strip())]


# The rows of the driver's wire format table, slowest first: (kind, rate,
# stereo). The timeline draws the format as its row, one adaptation step
# per row.
WIRE_ROWS = [
    (WIRE_GSM, 8000, 0), (WIRE_COMPANDED, 8000, 0), (WIRE_COMPANDED, 11025, 0),
    (WIRE_COMPANDED, 16000, 0), (WIRE_LINEAR16, 11025, 0), (WIRE_COMPANDED, 22050, 0),
    (WIRE_LINEAR16, 16000, 0), (WIRE_COMPANDED, 32000, 0), (WIRE_LINEAR16, 11025, 1),
    (WIRE_LINEAR16, 22050, 0), (WIRE_LINEAR16, 16000, 1), (WIRE_LINEAR16, 32000, 0),
    (WIRE_LINEAR16, 44100, 0), (WIRE_LINEAR16, 22050, 1), (WIRE_LINEAR16, 48000, 0),
    (WIRE_LINEAR16, 32000, 1), (WIRE_LINEAR16, 44100, 1), (WIRE_LINEAR16, 48000, 1),
]


def relay_lines(logs):
    """What each relay carried, from the counts it prints when it stops."""
    lines = []
    for name, what in (("relay-play.log", "playback"), ("relay-record.log", "recording")):
        path = os.path.join(logs, name)
        if not os.path.exists(path):
            continue
        with open(path) as f:
            text = f.read()
        counts = dict(re.findall(r"(forward|backward): received (\d+)", text))
        delays = re.findall(r"delay (\d+) ms", text)
        lines.append(f"{what}: {counts.get('forward', '?')} datagrams on, "
                     f"{counts.get('backward', '?')} back; one-way delay "
                     f"{' > '.join(delays) if delays else '?'} ms")
    return lines


def timeline(events, png, schedule):
    """Draws, over the server's time in seconds, the round trips (ms) above
    and the playback wire format (its row of the table) below."""
    rtts = [(e["time"] / 1000, e["ms"]) for e in events if e.get("event") == "rtt"]
    formats = [e for e in events if e.get("event") == "format"]
    ends = [e["time"] / 1000 for e in events
            if e.get("event") == "end" and e.get("direction") == "playback"]
    with tempfile.TemporaryDirectory() as work:
        rtt_file = os.path.join(work, "rtt.dat")
        format_file = os.path.join(work, "format.dat")
        schedule_file = os.path.join(work, "schedule.dat")
        with open(rtt_file, "w") as f:
            for t, ms in rtts:
                f.write(f"{t:.3f} {ms:.3f}\n")
        used = {}
        row = None
        with open(format_file, "w") as f:
            for e in formats:
                key = (e["kind"], e["rate"], e["stereo"])
                if key not in WIRE_ROWS:
                    continue
                row = WIRE_ROWS.index(key)
                used[row] = format_name(*key)
                f.write(f"{e['time'] / 1000:.3f} {row}\n")
            if row is not None and ends:
                f.write(f"{max(ends):.3f} {row}\n")
        with open(schedule_file, "w") as f:
            for t, ms in schedule:
                f.write(f"{max(t, 0):.3f} {ms:.3f}\n")
        tics = ", ".join(f'"{name}" {row}' for row, name in sorted(used.items()))
        rtt_plots = [f"'{rtt_file}' using 1:2 with points pt 7 ps 0.4 lc rgb '#1f77b4' "
                     "title 'measured by the server (recording stream)'"]
        if schedule:
            rtt_plots.append(f"'{schedule_file}' using 1:2 with steps dt 2 lw 1.5 "
                             "lc rgb '#7f7f7f' title 'set at the relays'")
        format_plot = (f"'{format_file}' using 1:2 with steps lw 2.5 lc rgb '#d62728' "
                       "title 'playback wire format'" if used else "NaN notitle")
        script = f"""
set terminal pngcairo size 1100,750 font 'Sans,10'
set output '{png}'
set multiplot layout 2,1 title 'Lumivox through the impairment relay: round trip and wire format over time'
set lmargin 30
set rmargin 4
set xrange [0:*]
set grid xtics ytics
set key top left box opaque
set ylabel 'round trip (ms)'
set yrange [0:*]
set format x ''
set bmargin 1
plot {", ".join(rtt_plots)}
set tmargin 1
set bmargin 4
set format x '%g'
set xlabel 'time since the server started (s)'
set ylabel 'wire format (faster rows up)'
set yrange [-1:18]
set ytics ({tics}) font ',9'
set key bottom right
plot {format_plot}
unset multiplot
"""
        subprocess.run(["gnuplot"], input=script, text=True, check=True)


def parse_schedule(text):
    """lumivox-relay's 'MS@T,...' (one-way ms from T ms on) as (s, ms) points."""
    points = []
    for part in filter(None, (text or "").split(",")):
        ms, t = part.split("@")
        points.append((float(t) / 1000, float(ms)))
    return points


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--stats", required=True)
    parser.add_argument("--sample", required=True)
    parser.add_argument("--played", required=True)
    parser.add_argument("--sink", help="what the sink played, from its monitor")
    parser.add_argument("--sound", default="", help="which sound server played it")
    parser.add_argument("--recorded", required=True)
    parser.add_argument("--record-seconds", type=float, required=True)
    parser.add_argument("--logs", required=True)
    parser.add_argument("--display", type=int, default=0)
    parser.add_argument("--timeline")
    parser.add_argument("--schedule", help="the relays' one-way delay, MS@T,... (ms, ms)")
    parser.add_argument("--schedule-offset", type=float, default=0.0,
                        help="seconds from the relays' start to the server's")
    parser.add_argument("--failed", action="append", default=[])
    args = parser.parse_args()

    events = read_stats(args.stats)
    sample, played, recorded = (read_wav(p) for p in (args.sample, args.played, args.recorded))
    sink = read_wav(args.sink) if args.sound else None
    latencies = [e["ms"] for e in events if e.get("event") == "latency"]
    formats = [e for e in events if e.get("event") == "format"]
    rtts = [e["ms"] for e in events if e.get("event") == "rtt"]
    play_ends = [e for e in events if e.get("event") == "end" and e.get("direction") == "playback"]
    record_ends = [e for e in events
                   if e.get("event") == "end" and e.get("direction") == "recording"]

    out = []
    out.append("Lumivox demo: summary")
    out.append(f"  session       1, terminal 127.0.0.1 display {args.display} "
               f"(control port {9000 + args.display})")
    if formats:
        names = []
        for e in formats:
            name = format_name(e["kind"], e["rate"], e["stereo"])
            if not names or names[-1] != name:
                names.append(name)
        changes = sum(e.get("formatChanges", 0) for e in play_ends)
        out.append(f"  wire format   {names[0]}" +
                   (f"; {changes} changes, the last to {names[-1]}" if changes else ""))
        if changes:
            seen = sorted({n for n in names}, key=names.index)
            out.append(f"                formats used: {'; '.join(seen)}")
    else:
        out.append("  wire format   none: no playback packet reached the server")
    if rtts:
        out.append(f"  round trip    {statistics.median(rtts):.2f} ms median, "
                   f"{min(rtts):.2f} to {max(rtts):.2f} ms ({len(rtts)} round trips "
                   "of the recording stream, measured by the server)")
    else:
        out.append("  round trip    none measured")
    for e in play_ends:
        out.append(f"  playback      {e['receivedEnd']} frames sent, {e['consumed']} played; "
                   f"{e['packets']} packets, {e['acks']} acknowledgements, {e['lost']} lost, "
                   f"{e['late']} late, {e['reordered']} reordered")
        underruns = e.get("underruns", 0)
        out.append(f"  sound system  {underruns} underrun{'' if underruns == 1 else 's'} "
                   f"({e.get('underrunMs', 0):.1f} ms of silence inside the stream)"
                   + (f", {e['playedToNothing']} frames played to nothing"
                      if e.get("playedToNothing") else ""))
    if not play_ends:
        out.append("  playback      no stream")
    if args.sound:
        out.append(f"  sink          {sink_line(sink, args.sound)}")
        if latencies:
            out.append(f"  latency       {statistics.median(latencies):.1f} ms median from a "
                       f"packet's arrival to its first frame played, {min(latencies):.1f} to "
                       f"{max(latencies):.1f} ms over {len(latencies)} s (the device's "
                       "position, measured by the server)")
        else:
            out.append("  latency       not measured: no playback reached the sink")
    for e in record_ends:
        out.append(f"  recording     {e['sent']} frames sent by the server in {e['packets']} "
                   f"packets, {e['credit']} credited by the driver")
    if not record_ends:
        out.append("  recording     no stream")
    # Each volume is set, then read again: the set prints the value read
    # back, the get the value the server kept.
    volumes = list(dict.fromkeys(volume_lines(args.logs)))
    if volumes:
        out.append(f"  volume        {'; '.join(volumes)} (set, then read back)")
    for line in relay_lines(args.logs):
        out.append(f"  relay         {line}")
    if args.sound:
        played_text = describe_wav("sink.wav", sink) + ": what the sink played"
    else:
        played_text = describe_wav("played.wav", played)
        if identical_audio(sample, played):
            played_text += ", identical to sample.wav"
    files = [describe_wav("sample.wav", sample), played_text,
             describe_wav("recorded.wav", recorded),
             "input.wav (the sample repeated: what the server records from)", "stats.jsonl"]
    if args.timeline:
        schedule = [(t - args.schedule_offset, 2 * ms) for t, ms in parse_schedule(args.schedule)]
        timeline(events, args.timeline, schedule)
        files.append(os.path.basename(args.timeline))
    where = os.path.dirname(os.path.abspath(args.stats))
    if not os.path.relpath(where).startswith(".."):
        where = os.path.relpath(where)
    out.append(f"  files         {where}/")
    for f in files:
        out.append(f"                {f}")

    problems = list(args.failed)
    heard = sink if args.sound else played
    if not heard or heard[2] == 0 or heard[3] < SILENCE_DBFS:
        problems.append("nothing audible was played")
    if not any(e["consumed"] for e in play_ends):
        problems.append("the server played no frame")
    want = int(args.record_seconds * 44100)
    if not recorded or recorded[2] < want or recorded[3] < SILENCE_DBFS:
        problems.append(f"no {args.record_seconds:g} s of audible recording")
    if not record_ends:
        problems.append("no recording stream reached the server")
    if problems:
        out.append("  result        FAILED: " + "; ".join(problems))
    else:
        out.append("  result        OK: audio played and recorded through the driver")
    print("\n".join(out))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
