"""What the Python benchmarks do with the processes they start: wait for a
condition with a time-out, and stop a process by its pid (SIGTERM, then
SIGKILL when it does not end)."""
import signal
import subprocess
import time


def wait_for(predicate, seconds, what):
    deadline = time.monotonic() + seconds
    while not predicate():
        if time.monotonic() > deadline:
            raise RuntimeError("timed out waiting for " + what)
        time.sleep(0.01)


def stop(process, seconds=20):
    if process.poll() is None:
        process.send_signal(signal.SIGTERM)
        try:
            process.wait(seconds)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
