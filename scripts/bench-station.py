#!/usr/bin/env python3
"""The production station's benchmark (not a test): eight simulated units on links
limited to 1 MB/s each, a 4 MiB image, a restart of 1 s after the trigger.

Reports the time from the last unit plugged in to the last record committed, beside
one unit's time alone, the units per hour, and the station's own cost per unit from
its JSON events: unit appeared -> identification begun, and the last step's end ->
the record committed (median and 99th percentile).

    scripts/bench-station.py [build/bin] [units]
"""
import json, os, shutil, signal, statistics, subprocess, sys, tempfile, time
from datetime import datetime

root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
bindir = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(root, "build", "bin"))
count = int(sys.argv[2]) if len(sys.argv) > 2 else 8
work = tempfile.mkdtemp(prefix="nubo-bench-station-")


def stamp(text):
    return datetime.strptime(text, "%Y-%m-%dT%H:%M:%S.%fZ").timestamp()


def run(units, stagger):
    """Runs a station over `units` units plugged in `stagger` seconds apart; returns
    (seconds from the last plug to the last record, the station's events)."""
    case = tempfile.mkdtemp(dir=work)
    with open(os.path.join(case, "image.bin"), "wb") as f:
        f.write(os.urandom(4 * 1024 * 1024))
    with open(os.path.join(case, "recipe.json"), "w") as f:
        json.dump({"name": "bench", "image": "image.bin", "restart_timeout_s": 30}, f)
    env = dict(os.environ, NUBO_DEVICE_ROOT=os.path.join(case, "root"))
    out = open(os.path.join(case, "events.jsonl"), "w")
    station = subprocess.Popen([os.path.join(bindir, "nubo"), "station", "recipe.json", "--db", "st.db", "--json",
                                "--no-socket"], cwd=case, env=env, stdout=out, stderr=subprocess.DEVNULL)
    time.sleep(0.5)
    sims = []
    for n in range(units):
        fs = os.path.join(case, "fs%d" % n)
        shutil.copytree(os.path.join(root, "tools", "devsim", "sample-device"), fs)
        with open(os.path.join(fs, "mnt/nandfs/macAddress.txt"), "w") as f:
            f.write("02:00:00:00:01:%02x\n" % n)
        sims.append(subprocess.Popen([os.path.join(bindir, "nubo-devsim"), "--fs", fs, "--device-root",
                                      os.path.join(case, "root"), "--usb-port", str(n + 2), "--tty",
                                      "ttyACM%d" % n, "--usb-serial", "B%d" % n, "--rate", "1000000",
                                      "--restart-ms", "1000"], stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL))
        time.sleep(stagger)
    last_plug = time.time()
    deadline = time.time() + 600
    events = []
    while time.time() < deadline:
        with open(os.path.join(case, "events.jsonl")) as f:
            events = [json.loads(line) for line in f if line.strip()]
        if sum(1 for e in events if e["event"] == "unit_done") >= units:
            break
        time.sleep(0.2)
    done = [stamp(e["time"]) for e in events if e["event"] == "unit_done"]
    station.send_signal(signal.SIGTERM)
    station.wait(60)
    for s in sims:
        s.terminate()
        s.wait(10)
    results = [e["record"]["result"] + ("" if e["record"]["result"] == "passed" else " (%s: %s)" % (e["record"]["failure_class"], e["record"]["failure_reason"])) for e in events if e["event"] == "unit_done"]
    return max(done) - last_plug, events, results


def costs(events):
    appeared, begun, last_end, committed = {}, {}, {}, []
    overhead = []
    for e in events:
        if "slot" not in e:
            continue
        slot, t = e["slot"]["slot"], stamp(e["time"])
        if e["event"] == "unit_appeared":
            appeared[slot] = t
        elif e["event"] == "step_begun" and e["step"] == "identify" and slot not in begun:
            begun[slot] = t
            overhead.append(t - appeared.get(slot, t))
        elif e["event"] == "step_ended" and e["step"] not in ("record", "mac file"):
            last_end[slot] = t
        elif e["event"] == "unit_done":
            overhead.append(t - last_end.get(slot, t))
    return sorted(overhead)


try:
    alone, _, r1 = run(1, 0)
    many, events, rn = run(count, 0.3)
    c = costs(events)
    p99 = c[min(len(c) - 1, int(len(c) * 0.99))]
    print("one unit alone:            %.2f s (%s)" % (alone, ",".join(r1)))
    print("%d units, last plug to last record: %.2f s = %.2f x one alone (target <= 1.1) (%s)"
          % (count, many, many / alone, ",".join(rn)))
    print("units per hour:            %.0f" % (count * 3600 / many))
    print("station's cost per unit:   median %.1f ms, 99th percentile %.1f ms (targets 50 / 200)"
          % (statistics.median(c) * 1000, p99 * 1000))
finally:
    shutil.rmtree(work, ignore_errors=True)
