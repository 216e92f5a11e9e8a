#!/usr/bin/python3
"""Idle proxies: what a session host pays for one velk_proxy per user while
nobody connects.  Starts N proxies (one configuration, a home each) on a
private system-like bus with the stand-in manager, waits until each follows
the manager, then over a quiet window reads from /proc the threads of each,
the wake-ups (context switches of all its threads) per second, the CPU time
and the proportional set size (PSS).  An idle haproxy is read the same way
in the same run, as the baseline of a daemon that sleeps until something
happens.  With
WATCHDOG_USEC set as the unit sets it (WatchdogSec=30), the proxies' keep-alive
pings count among their wake-ups.

    bench/idle_proxies.py --build-dir build-bench [--proxies 200] [--seconds 60]
"""
import argparse
import json
import os
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

from bench_process import stop, wait_for

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WATCHDOG_USEC = 30 * 1000 * 1000


def tasks(pid):
    return os.listdir("/proc/%d/task" % pid)


def switches(pid):
    total = 0
    for task in tasks(pid):
        try:
            with open("/proc/%d/task/%s/status" % (pid, task)) as status:
                for line in status:
                    if line.startswith(("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")):
                        total += int(line.split()[1])
        except FileNotFoundError:
            pass
    return total


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def pss_kib(pid):
    with open("/proc/%d/smaps_rollup" % pid) as rollup:
        for line in rollup:
            if line.startswith("Pss:"):
                return int(line.split()[1])
    return 0


def sample(pids):
    return {pid: (switches(pid), cpu_seconds(pid)) for pid in pids}


def measure(name, pids, seconds):
    before = sample(pids)
    time.sleep(seconds)
    after = sample(pids)
    wakeups = [(after[pid][0] - before[pid][0]) / seconds for pid in pids]
    cpu = sum(after[pid][1] - before[pid][1] for pid in pids)
    return {
        "name": name,
        "processes": len(pids),
        "threads per process, max": max(len(tasks(pid)) for pid in pids),
        "wake-ups per s per process, mean": statistics.mean(wakeups),
        "wake-ups per s per process, max": max(wakeups),
        "CPU s over the window, all": cpu,
        "PSS per process, KiB": statistics.mean(pss_kib(pid) for pid in pids),
    }


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def start_bus(work):
    address = "unix:path=%s/bus" % work
    bus = subprocess.Popen(["dbus-daemon", "--config-file=%s/bench/idle-bus.conf" % ROOT, "--nofork",
                            "--address=" + address], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wait_for(lambda: os.path.exists("%s/bus" % work), 10, "the private bus")
    return bus, address


def start_proxies(build, work, env, count):
    config = os.path.join(work, "velk_proxy.json")
    with open(config, "w") as out:
        json.dump({"debug:level": "none", "listen:addr": "127.0.0.1", "listen:port": free_port()}, out)
    notices = os.path.join(work, "notices")
    proxies = []
    for index in range(count):
        home = os.path.join(work, "home%d" % index)
        os.mkdir(home)
        proxy_env = dict(env, HOME=home, WATCHDOG_USEC=str(WATCHDOG_USEC))
        proxies.append(subprocess.Popen([os.path.join(build, "bin", "velk_proxy"), "--config", config],
                                        env=proxy_env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
    wait_for(lambda: open(notices).read().count("velkTest") >= count, 120, "every proxy's service check")
    return proxies


def baselines(work):
    started = []
    port = free_port()
    if os.path.exists("/usr/sbin/haproxy"):
        with open(os.path.join(work, "haproxy.cfg"), "w") as cfg:
            cfg.write("global\n  maxconn 64\n  nbthread 1\ndefaults\n  mode tcp\n  timeout connect 5s\n"
                      "  timeout client 1h\n  timeout server 1h\nlisten relay\n  bind 127.0.0.1:%d\n"
                      "  server transport 127.0.0.1:9\n" % port)
        started.append(("haproxy", subprocess.Popen(["/usr/sbin/haproxy", "-db", "-f", cfg.name],
                                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)))
    return started


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", default=os.path.join(ROOT, "build-bench"))
    parser.add_argument("--proxies", type=int, default=200)
    parser.add_argument("--seconds", type=float, default=60)
    args = parser.parse_args()
    build = os.path.abspath(args.build_dir)

    with tempfile.TemporaryDirectory(prefix="velk-idle-") as work:
        os.chmod(work, 0o755)
        bus, address = start_bus(work)
        env = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=address)
        manager = subprocess.Popen([os.path.join(build, "bin", "velk_standin_manager"),
                                    "--notices", os.path.join(work, "notices")], env=env,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        proxies, others = [], []
        try:
            wait_for(lambda: os.path.exists(os.path.join(work, "notices")), 10, "the stand-in manager")
            bus_alone = pss_kib(bus.pid)
            proxies = start_proxies(build, work, env, args.proxies)
            others = baselines(work)
            time.sleep(2)
            rows = [measure("velk_proxy", [p.pid for p in proxies], args.seconds)]
            rows[0]["bus daemon's PSS growth per proxy, KiB"] = (pss_kib(bus.pid) - bus_alone) / args.proxies
            for name, process in others:
                rows.append(measure(name, [process.pid], args.seconds))
        finally:
            for process in proxies + [p for _, p in others] + [manager, bus]:
                stop(process)
        report(rows, args.seconds)


def cell(value):
    if value is None:
        return "%24s" % "-"
    return "%24.3f" % value if isinstance(value, float) else "%24d" % value


def report(rows, seconds):
    print("idle proxies, %.0f s window" % seconds)
    keys = [key for key in rows[0] if key != "name"]
    print("%-42s" % "" + "".join("%24s" % row["name"] for row in rows))
    for key in keys:
        print("%-42s" % key + "".join(cell(row.get(key)) for row in rows))
    sys.stdout.flush()


if __name__ == "__main__":
    main()
