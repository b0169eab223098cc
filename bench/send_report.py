#!/usr/bin/env python3
"""The sender's job as a Python one-off, for comparison: read the file,
compress it with zlib, put the 4-byte big-endian size in front and send it as
one UDP datagram. Usage: send_report.py HOST PORT FILE"""
import socket
import struct
import sys
import zlib


def main():
    host, port, path = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    with open(path, "rb") as report:
        data = report.read()
    frame = struct.pack(">I", len(data)) + zlib.compress(data)
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
        sock.bind(("0.0.0.0", 0))
        sock.sendto(frame, (socket.gethostbyname(host), port))


if __name__ == "__main__":
    main()
