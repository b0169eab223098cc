#!/usr/bin/env python3
"""A minimal collector in Python, for comparison with collectCrashReports: the
same decode checks (4-byte big-endian size of 1 to the limit, one zlib stream
that inflates to exactly that size and ends with the datagram) and the same
atomic store (temporary file, fsync, rename), with the same socket buffer.
Usage: collector.py PORT COUNT DIRECTORY. Prints "listening", then exits after
COUNT reports are stored or on SIGTERM."""
import os
import signal
import socket
import struct
import sys
import zlib

MAX_REPORT_SIZE = 8 << 20


def decode(datagram):
    """The report in `datagram`, or None if the frame is not valid."""
    if len(datagram) < 4:
        return None
    (declared,) = struct.unpack(">I", datagram[:4])
    if not 1 <= declared <= MAX_REPORT_SIZE:
        return None
    inflater = zlib.decompressobj()
    try:
        report = inflater.decompress(datagram[4:], declared)
        # The declared size is full: the stream may hold nothing but its end.
        if not inflater.eof and len(report) == declared and inflater.decompress(inflater.unconsumed_tail, 1):
            return None
    except zlib.error:
        return None
    if not inflater.eof or inflater.unused_data or len(report) != declared:
        return None
    return report


def store(directory, name, report):
    temporary = os.path.join(directory, ".incoming-" + name + ".tmp")
    with open(temporary, "wb") as out:
        out.write(report)
        out.flush()
        os.fsync(out.fileno())
    os.rename(temporary, os.path.join(directory, name))


def main():
    port, count, directory = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
    os.makedirs(directory, exist_ok=True)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        sock.setsockopt(socket.SOL_SOCKET, 33, 16 * 1024 * 1024)  # SO_RCVBUFFORCE
    except OSError:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 16 * 1024 * 1024)
    sock.bind(("127.0.0.1", port))
    print("listening", flush=True)
    stored = 0
    while stored < count:
        datagram, (address, sender_port) = sock.recvfrom(65536)
        report = decode(datagram)
        if report is not None:
            stored += 1
            store(directory, f"{address}_{sender_port}_{stored:06d}.report", report)


if __name__ == "__main__":
    main()
