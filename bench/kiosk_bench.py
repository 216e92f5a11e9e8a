#!/usr/bin/python3
"""Kiosk benchmark: the real velk_kiosk on Xvfb 1920x1080 against no window
manager and matchbox-window-manager (-use_titlebar no), in one run with the
repetitions interleaved.  Three suites:

map: windows mapped one after another.  Prints the medians of map-to-visible
(MapNotify), map-to-full-screen and map-to-final (viewable and at its final
size, whichever comes last; p50, p99), the windows first shown at another
size, and the X requests the window manager sent per window, counted by a
proxy display.  The last column sets velk_kiosk without title bar against
matchbox, which draws none either.

idle: one idle client for --idle-seconds; the window manager's wake-ups per
second (the context switches of all its threads, from /proc/PID/task/*/status).

flood: --flood windows of one client mapped at once, and meanwhile one window
of another client; the window manager's CPU time until it is quiet again, the
time until every window is mapped, and the other client's wait for its window.

    bench/kiosk_bench.py --build-dir build-bench [--suite map|idle|flood] [--reps 5] [--windows 50]
                         [--idle-seconds 10] [--flood 3000,9000] [--baseline-build DIR]

--baseline-build runs the velk_kiosk of another build beside this one's, as
"(baseline)" columns: before and after a change, in one run.
"""
import argparse
import json
import os
import signal
import statistics
import subprocess
import sys
import tempfile
import time

from bench_process import stop, wait_for

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def start_xvfb():
    read_end, write_end = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1920x1080x24",
                             "-nolisten", "tcp", "-noreset", "+extension", "RANDR"],
                            pass_fds=[write_end], stderr=subprocess.DEVNULL)
    os.close(write_end)
    with os.fdopen(read_end) as pipe:
        number = int(pipe.readline())
    return xvfb, number


def free_display(start):
    number = start
    while os.path.exists("/tmp/.X11-unix/X%d" % number) or os.path.exists("/tmp/.X%d-lock" % number):
        number += 1
    return number


def children(pid):
    try:
        with open("/proc/%d/task/%d/children" % (pid, pid)) as f:
            return [int(p) for p in f.read().split()]
    except OSError:
        return []


class VelkKiosk:
    def __init__(self, build, name, rule):
        self.build = build
        # None: no rule at all, every window placed as an ordinary one.
        self.rules = [] if rule is None else [dict(rule, **{"wm:class": "benchwin", "fullscreen": True})]
        self.name = name

    def start(self, display, work):
        rules = os.path.join(work, "rules")
        os.makedirs(rules)
        with open(os.path.join(rules, "velk_kiosk.json"), "w") as f:
            json.dump(self.rules, f)
        for d in ("upper", "work"):
            os.makedirs(os.path.join(work, d))
        script = ('set -e; mount --make-rprivate /; '
                  'if [ ! -d /etc/velk ]; then mount -t overlay overlay '
                  '-o "lowerdir=/etc,upperdir=$1/upper,workdir=$1/work" /etc; mkdir /etc/velk; fi; '
                  'mount --bind "$1/rules" /etc/velk; exec "$2" /bin/sleep 3600')
        self.process = subprocess.Popen(
            ["unshare", "-m", "bash", "-c", script, "kiosk", work, os.path.join(self.build, "bin", "velk_kiosk")],
            env=dict(os.environ, DISPLAY=":%d" % display), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def stop(self):
        # The kiosk ends once its program has ended.
        for pid in children(self.process.pid):
            os.kill(pid, signal.SIGTERM)
        stop(self.process)


class Matchbox:
    name = "matchbox"

    def start(self, display, work):
        self.process = subprocess.Popen(["matchbox-window-manager", "-use_titlebar", "no"],
                                        env=dict(os.environ, DISPLAY=":%d" % display),
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def stop(self):
        stop(self.process)


class NoWindowManager:
    name = "no window manager"
    process = None

    def start(self, display, work):
        pass

    def stop(self):
        pass


def run_client(build, display, windows, wait_wm, full_screen):
    out = subprocess.run([os.path.join(build, "bin", "kiosk_bench_client"), "map", ":%d" % display, str(windows),
                          "1" if wait_wm else "0", "1" if full_screen else "0"],
                         capture_output=True, text=True, timeout=600)
    if out.returncode != 0:
        raise RuntimeError("kiosk_bench_client on :%d: %s" % (display, out.stderr.strip()))
    return json.loads(out.stdout)


def counted_requests(counter, report):
    if os.path.exists(report):
        os.unlink(report)
    counter.send_signal(signal.SIGUSR1)
    wait_for(lambda: os.path.exists(report) and open(report).read().endswith("\n"), 5, "the request count")
    return int(open(report).read())


def percentile(values, p):
    values = sorted(v for v in values if v >= 0)
    if not values:
        return float("nan")
    return values[int(p * (len(values) - 1))]


def run_once(build, target, windows):
    xvfb, display = start_xvfb()
    with tempfile.TemporaryDirectory() as work:
        proxy_display = free_display(display + 100)
        report = os.path.join(work, "requests")
        counter = subprocess.Popen([os.path.join(build, "bin", "x_request_counter"), str(proxy_display),
                                    str(display), report])
        try:
            wait_for(lambda: os.path.exists("/tmp/.X11-unix/X%d" % proxy_display), 5, "the counting display")
            target.start(proxy_display, work)
            managed = target.process is not None
            if managed:
                run_client(build, display, 0, True, False)
            before = counted_requests(counter, report)
            times = run_client(build, display, windows, managed, managed)
            after = counted_requests(counter, report)
        finally:
            target.stop()
            stop(counter)
            stop(xvfb)
    return {
        "visible p50": percentile(times["visible"], 0.5) / 1000,
        "visible p99": percentile(times["visible"], 0.99) / 1000,
        "full screen p50": percentile(times["fullscreen"], 0.5) / 1000,
        "full screen p99": percentile(times["fullscreen"], 0.99) / 1000,
        "final p50": percentile(times["final"], 0.5) / 1000,
        "final p99": percentile(times["final"], 0.99) / 1000,
        "flashed windows": times["flashed"],
        "requests per window": (after - before) / windows,
    }


def thread_switches(pid):
    """Context switches of all the threads of a process so far."""
    total = 0
    for task in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/status" % (pid, task)) as f:
                for line in f:
                    if line.startswith(("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")):
                        total += int(line.split()[1])
        except OSError:
            pass
    return total


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def quiet_cpu(pid, step=0.3):
    """The process's CPU time once it has stopped using any for a while."""
    last = cpu_seconds(pid)
    while True:
        time.sleep(step)
        now = cpu_seconds(pid)
        if now == last:
            return now
        last = now


class BenchClient:
    """kiosk_bench_client in its flood or one mode, driven line by line."""

    def __init__(self, build, *args):
        self.process = subprocess.Popen([os.path.join(build, "bin", "kiosk_bench_client")] + list(args),
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)

    def expect(self, word):
        line = self.process.stdout.readline().split()
        if not line or line[0] != word:
            raise RuntimeError("kiosk_bench_client said %r, not %s" % (line, word))
        return line[1:]

    def go(self):
        self.process.stdin.write("go\n")
        self.process.stdin.flush()

    def end(self):
        self.process.stdin.close()
        self.process.wait(60)


def run_idle(build, target, seconds):
    xvfb, display = start_xvfb()
    try:
        with tempfile.TemporaryDirectory() as work:
            target.start(display, work)
            try:
                client = BenchClient(build, "one", ":%d" % display)
                client.expect("ready")
                client.go()
                client.expect("mapped")
                pid = target.process.pid
                quiet_cpu(pid)
                before = thread_switches(pid)
                time.sleep(seconds)
                after = thread_switches(pid)
                client.end()
            finally:
                target.stop()
    finally:
        stop(xvfb)
    return {"wake-ups per second": (after - before) / seconds}


def run_flood(build, target, windows):
    xvfb, display = start_xvfb()
    try:
        with tempfile.TemporaryDirectory() as work:
            target.start(display, work)
            try:
                run_client(build, display, 0, True, False)
                flood = BenchClient(build, "flood", ":%d" % display, str(windows))
                other = BenchClient(build, "one", ":%d" % display)
                flood.expect("ready")
                other.expect("ready")
                pid = target.process.pid
                before = quiet_cpu(pid)
                flood.go()
                flood.expect("sent")
                other.go()
                waited = float(other.expect("mapped")[0])
                all_mapped = float(flood.expect("mapped")[0])
                after = quiet_cpu(pid)
                flood.end()
                other.end()
            finally:
                target.stop()
    finally:
        stop(xvfb)
    return {"CPU s": after - before, "all mapped s": all_mapped / 1000, "other client's wait s": waited / 1000}


def print_table(title, targets, results, metrics, worst=(), fmt="%30.2f"):
    """Medians of the repetitions; for the metrics in `worst` also the largest."""
    print(title)
    print("%-30s" % "" + "".join("%30s" % t.name for t in targets))
    for metric in metrics:
        medians = [statistics.median(r[metric] for r in results[t.name]) for t in targets]
        print("%-30s" % metric + "".join(fmt % m for m in medians))
        if metric in worst:
            print("%-30s" % (metric + ", worst") +
                  "".join(fmt % max(r[metric] for r in results[t.name]) for t in targets))


def velk_targets(build, baseline, variants):
    """The velk_kiosk targets of this build, then the same of the baseline build."""
    targets = [VelkKiosk(build, name, rule) for name, rule in variants]
    if baseline:
        targets += [VelkKiosk(baseline, name + " (baseline)", rule) for name, rule in variants]
    return targets


def main_idle(build, args):
    targets = [Matchbox()] + velk_targets(build, args.baseline_build, [("velk framed", {})])
    results = {t.name: [] for t in targets}
    for rep in range(args.reps):
        for target in targets:
            print("repetition %d/%d: idle %s" % (rep + 1, args.reps, target.name), file=sys.stderr)
            results[target.name].append(run_idle(build, target, args.idle_seconds))
    print_table("kiosk idle: one idle client for %g s; medians of %d repetitions" % (args.idle_seconds, args.reps),
                targets, results, ["wake-ups per second"])


def main_flood(build, args):
    targets = [Matchbox()] + velk_targets(build, args.baseline_build,
                                          [("velk framed", {}), ("velk no rules", None)])
    for count in [int(n) for n in args.flood.split(",")]:
        results = {t.name: [] for t in targets}
        for rep in range(args.reps):
            for target in targets:
                print("repetition %d/%d: flood of %d, %s" % (rep + 1, args.reps, count, target.name),
                      file=sys.stderr)
                results[target.name].append(run_flood(build, target, count))
        print_table("kiosk flood: %d windows mapped at once and one of another client; medians of %d repetitions"
                    % (count, args.reps), targets, results, ["CPU s", "all mapped s", "other client's wait s"],
                    worst=["other client's wait s"])


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build-dir", default=os.path.join(ROOT, "build-bench"))
    parser.add_argument("--reps", type=int, default=5)
    parser.add_argument("--windows", type=int, default=50)
    parser.add_argument("--suite", choices=["map", "idle", "flood"], default="map")
    parser.add_argument("--idle-seconds", type=float, default=10)
    parser.add_argument("--flood", default="3000,9000")
    parser.add_argument("--baseline-build", help="another build whose velk_kiosk runs beside, for before and after")
    args = parser.parse_args()
    build = os.path.abspath(args.build_dir)
    if args.baseline_build:
        args.baseline_build = os.path.abspath(args.baseline_build)
    if args.suite == "idle":
        main_idle(build, args)
        return
    if args.suite == "flood":
        main_flood(build, args)
        return

    targets = [NoWindowManager(), Matchbox()] + velk_targets(
        build, args.baseline_build,
        [("velk framed", {}), ("velk no frame", {"frame": False}), ("velk no title bar", {"titlebar": False})])
    results = {t.name: [] for t in targets}
    for rep in range(args.reps):
        for target in targets:
            print("repetition %d/%d: %s" % (rep + 1, args.reps, target.name), file=sys.stderr)
            results[target.name].append(run_once(build, target, args.windows))

    metrics = ["visible p50", "visible p99", "full screen p50", "full screen p99", "final p50", "final p99",
               "flashed windows", "requests per window"]
    print("kiosk benchmark: %d repetitions of %d windows on 1920x1080; times in ms, medians of repetitions"
          % (args.reps, args.windows))
    print("%-22s" % "" + "".join("%30s" % t.name for t in targets) + "%22s" % "no title bar/matchbox")
    for metric in metrics:
        medians = [statistics.median(r[metric] for r in results[t.name]) for t in targets]
        ratio = medians[4] / medians[1] if medians[1] else float("nan")
        print("%-22s" % metric + "".join("%30.2f" % m for m in medians) + "%22.2f" % ratio)


if __name__ == "__main__":
    main()
