#!/usr/bin/env python3
"""The production station's benchmark (not a test): eight simulated units on links
limited to 1 MB/s each, a 4 MiB image, a restart of 1 s after the trigger.

Reports the time from the last unit plugged in to the last record committed, beside
one unit's time alone, the units per hour, and the station's own cost per unit from
its JSON events: unit appeared -> identification begun, and the last step's end ->
the record committed (median and 99th percentile).

    scripts/bench-station.py [build/bin] [units]
    scripts/bench-station.py [build/bin] soak [insertions]

The soak plugs one simulated unit in and out (SIGUSR2, SIGUSR1) a thousand times and
prints the station's resident memory, its thread count and the database's size every
hundred insertions: they should stay flat, and grow linearly, respectively.
"""
import json, os, shutil, signal, statistics, subprocess, sys, tempfile, time
from datetime import datetime

root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
bindir = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(root, "build", "bin"))
soak = len(sys.argv) > 2 and sys.argv[2] == "soak"
count = int(sys.argv[3] if soak else sys.argv[2]) if len(sys.argv) > (3 if soak else 2) else (1000 if soak else 8)
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


def proc_status(pid):
    fields = {}
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            key, _, value = line.partition(":")
            fields[key] = value.strip()
    return int(fields["VmRSS"].split()[0]), int(fields["Threads"])


def run_soak(insertions):
    case = tempfile.mkdtemp(dir=work)
    with open(os.path.join(case, "image.bin"), "wb") as f:
        f.write(os.urandom(64 * 1024))
    with open(os.path.join(case, "recipe.json"), "w") as f:
        json.dump({"name": "soak", "image": "image.bin", "follow_restart": False}, f)
    env = dict(os.environ, NUBO_DEVICE_ROOT=os.path.join(case, "root"))
    out = open(os.path.join(case, "events.jsonl"), "w")
    station = subprocess.Popen([os.path.join(bindir, "nubo"), "station", "recipe.json", "--db", "st.db", "--json",
                                "--no-socket"], cwd=case, env=env, stdout=out, stderr=subprocess.DEVNULL)
    fs = os.path.join(case, "fs")
    shutil.copytree(os.path.join(root, "tools", "devsim", "sample-device"), fs)
    sim = subprocess.Popen([os.path.join(bindir, "nubo-devsim"), "--fs", fs, "--device-root",
                            os.path.join(case, "root"), "--usb-serial", "SOAK"], stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
    time.sleep(0.5)
    sim.send_signal(signal.SIGUSR1)  # out: the station's start holds a unit already there
    time.sleep(0.3)
    events = os.path.join(case, "events.jsonl")
    done = 0
    start = time.time()
    print("insertions  rss_kB  threads  db_bytes")
    for i in range(1, insertions + 1):
        sim.send_signal(signal.SIGUSR2)
        deadline = time.time() + 30
        while time.time() < deadline:
            with open(events) as f:
                now = sum(1 for line in f if '"unit_done"' in line)
            if now > done:
                done = now
                break
            time.sleep(0.02)
        sim.send_signal(signal.SIGUSR1)
        time.sleep(0.25)  # the station sees it go
        if i % 100 == 0:
            rss, threads = proc_status(station.pid)
            size = sum(os.path.getsize(os.path.join(case, n)) for n in os.listdir(case) if n.startswith("st.db"))
            print("%10d  %6d  %7d  %8d" % (i, rss, threads, size), flush=True)
    print("%d insertions, %d records, %.1f per minute" % (insertions, done, insertions * 60 / (time.time() - start)))
    station.send_signal(signal.SIGTERM)
    station.wait(60)
    sim.terminate()
    sim.wait(10)


try:
    if soak:
        run_soak(count)
        sys.exit(0)
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
