"""What bench/collector and bench/storm_ab share: building, starting and
stopping a collector, the reports they send and how they are framed."""
import os
import signal
import socket
import struct
import subprocess
import sys
import threading
import time
import zlib
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def build(build_dir):
    if build_dir:
        return Path(build_dir)
    subprocess.run(["cmake", "--preset", "release"], cwd=ROOT, check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", "--preset", "release"], cwd=ROOT, check=True, stdout=subprocess.DEVNULL)
    return ROOT / "build" / "release"


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def start(command, ready_stream, env=None, stored_lines=False):
    """Starts a collector and waits until it says it listens."""
    # The tool's "stored" lines go to /dev/null, so that reading them costs
    # this script nothing, unless they are timed.
    stdout = subprocess.DEVNULL if ready_stream == "stderr" and not stored_lines else subprocess.PIPE
    process = subprocess.Popen(command, stdout=stdout, stderr=subprocess.PIPE, text=True,
                               env={**os.environ, **(env or {})})
    stream = process.stderr if ready_stream == "stderr" else process.stdout
    while True:
        line = stream.readline()
        if line.startswith("listening"):
            if ready_stream == "stderr":
                # Read on from here: a collector whose lines nobody reads
                # waits for its reader at the end, to write its summary.
                process.err_lines = []
                process.err_reader = threading.Thread(target=lambda: process.err_lines.extend(process.stderr),
                                                      daemon=True)
                process.err_reader.start()
            return process
        if not line.startswith("warning"):
            process.kill()
            sys.exit(f"bench: {command[0]} did not start: {line}{process.stderr.read()}")


def tool_command(build_dir, port, directory, *options):
    return [str(build_dir / "collector" / "collectCrashReports"), "--bind", "127.0.0.1", "--port", str(port),
            *options, str(directory)]


def python_command(port, count, directory):
    return [sys.executable, str(ROOT / "bench" / "collector.py"), str(port), str(count), str(directory)]


def reports_in(directory):
    return [name for name in os.listdir(directory) if name.endswith(".report")]


def wait_until_stored(process, directory, expected, idle=3.0):
    """Waits until `expected` reports are stored or none has come for `idle`
    seconds; the count and the time the last one was seen."""
    last_count, last_change = -1, time.perf_counter()
    while True:
        count = len(reports_in(directory)) if directory.exists() else 0
        now = time.perf_counter()
        if count != last_count:
            last_count, last_change = count, now
        if count >= expected or now - last_change > idle or process.poll() is not None:
            return count, last_change
        time.sleep(0.002)


def peak_kib(process):
    status = Path(f"/proc/{process.pid}/status").read_text()
    return int(next(line.split()[1] for line in status.splitlines() if line.startswith("VmHWM:")))


def stop(process):
    process.send_signal(signal.SIGTERM)
    if hasattr(process, "err_reader"):
        process.wait(timeout=60)
        process.err_reader.join(timeout=60)
        err = "".join(process.err_lines)
    else:
        _, err = process.communicate(timeout=60)
    summaries = [line for line in (err or "").splitlines() if line.startswith("summary:")]
    return summaries[-1] if summaries else ""


def crash_logs(build_dir, count, smallest, largest):
    """`count` distinct crash logs of `smallest` to `largest` bytes."""
    output = subprocess.run([str(build_dir / "bench" / "make_crash_log"), "--many", str(count), str(smallest),
                             str(largest)], capture_output=True, check=True).stdout
    logs, offset = [], 0
    while offset < len(output):
        (size,) = struct.unpack_from(">I", output, offset)
        logs.append(output[offset + 4:offset + 4 + size])
        offset += 4 + size
    return logs


def frame(report):
    return struct.pack(">I", len(report)) + zlib.compress(report)
