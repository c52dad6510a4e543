#!/usr/bin/python3
"""A Modbus TCP peer on 127.0.0.1 that misbehaves on purpose, chosen by the
holding register asked for (function 3). Every other request is answered
properly with the register number as the value (bit 0 of it for coils and
discrete inputs). Several clients at once, one thread each.

Magic holding registers:
    2  exception 2 (illegal data address)
    3  wrong transaction identifier
    4  wrong function code (answers as function 4)
    5  the answer in two segments with a pause of 300 ms
    6  the answer one byte at a time, 30 ms apart
    7  the answer after 3 seconds (after the client's deadline)
    8  half an answer, then the connection is closed
    9  garbage (protocol identifier 0x5A5A)
   10  a length field of 1024 (larger than any frame)
   11  no answer at all; the connection stays open
   12  a proper answer followed by 5 extra bytes
   13  a byte count of 4 for one register
   14  the connection is closed at once
   15  the answer, then the same answer again 200 ms later
   16  the answer from another unit identifier (the request's + 1)

Every other answer echoes the unit identifier of the request.

A read of more than one object (a block) is answered with each object's own
value, except a block of holding registers that covers a magic register:
that one is refused with exception 2, as a device refuses a block that
reaches an address it does not have.

The tests name these registers in tests/support/ModbusPeerScenarios.h;
change both together.

With --sawtooth MS input register 1 (300001) rises and falls: it reads
1000 + k in the first half of the k-th period of MS milliseconds (counted
from the peer's start) and 0 in the second half, so each rise is numbered.
Input register 2 (300002) does the same half a period later, so two nodes
fire in turn. Input register 3 (300003) goes through a deadband in thirds of
the period: 20000 + k, then 19500, then k. Input register 4 (300004) is a
word of alarm bits: bits 0 and 1 are set together in the first half of each
period, bit 2 chatters (it flips at every read of the word) and bit 3
stays 0.

With --idle-close SECONDS the peer closes every connection that has been
idle that long, as gateways with an idle time-out do; --idle-reset SECONDS
does the same with a reset (RST) instead of an orderly close.

    misbehaving_peer.py --port PORT [--lifetime SECONDS] [--idle-close S | --idle-reset S] [--sawtooth MS]
"""
import argparse
import itertools
import os
import socket
import struct
import threading
import time

# The unit identifier the answers of this thread carry.
UNIT = threading.local()


def recv_exact(conn, size):
    data = b""
    while len(data) < size:
        chunk = conn.recv(size - len(data))
        if not chunk:
            return None
        data += chunk
    return data


def frame(tid, pdu, protocol=0, length=None):
    if length is None:
        length = len(pdu) + 1
    return struct.pack(">HHHB", tid, protocol, length, getattr(UNIT, "value", 0)) + pdu


def proper(tid, function, address):
    if function in (1, 2):
        return frame(tid, bytes([function, 1, address & 1]))
    return frame(tid, struct.pack(">BBH", function, 2, address))


START = time.monotonic()
SAWTOOTH_MS = None


def sawtooth_value(lag_ms=0.0):
    elapsed_ms = (time.monotonic() - START) * 1000.0 - lag_ms
    if elapsed_ms < 0:
        return 0
    period, into = divmod(elapsed_ms, SAWTOOTH_MS)
    return 1000 + int(period) if into < SAWTOOTH_MS / 2 else 0


def deadband_value():
    elapsed_ms = (time.monotonic() - START) * 1000.0
    period, into = divmod(elapsed_ms, SAWTOOTH_MS)
    if into < SAWTOOTH_MS / 3:
        return 20000 + int(period)
    return 19500 if into < 2 * SAWTOOTH_MS / 3 else int(period)


WORD_READS = itertools.count()


def alarm_word():
    into = ((time.monotonic() - START) * 1000.0) % SAWTOOTH_MS
    word = 0b011 if into < SAWTOOTH_MS / 2 else 0
    return word | (0b100 if next(WORD_READS) % 2 else 0)


def value_at(function, address):
    """The value a single read of the object answers with."""
    if SAWTOOTH_MS and function == 4 and address == 3:
        return deadband_value()
    if SAWTOOTH_MS and function == 4 and address == 4:
        return alarm_word()
    if SAWTOOTH_MS and function == 4 and address in (1, 2):
        return sawtooth_value(0.0 if address == 1 else SAWTOOTH_MS / 2.0)
    return address if function in (3, 4) else address & 1


def block(tid, function, address, count):
    objects = range(address, address + count)
    if function == 3 and any(2 <= a <= 16 for a in objects):
        return frame(tid, bytes([0x83, 2]))
    if function in (1, 2):
        packed = bytearray((count + 7) // 8)
        for i, a in enumerate(objects):
            packed[i // 8] |= value_at(function, a) << (i % 8)
        return frame(tid, bytes([function, len(packed)]) + bytes(packed))
    data = b"".join(struct.pack(">H", value_at(function, a) & 0xFFFF) for a in objects)
    return frame(tid, bytes([function, len(data)]) + data)


def serve(conn, idle, reset):
    with conn:
        conn.settimeout(idle)
        while True:
            try:
                request = recv_exact(conn, 12)
            except socket.timeout:
                if reset:
                    conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                return
            if request is None:
                return
            tid, _protocol, _length, unit, function, address, count = struct.unpack(">HHHBBHH", request)
            UNIT.value = (unit + 1) & 0xFF if function == 3 and address == 16 else unit
            if count > 1:
                conn.sendall(block(tid, function, address, count))
                continue
            if SAWTOOTH_MS and function == 4 and address == 3:
                conn.sendall(frame(tid, struct.pack(">BBH", 4, 2, deadband_value())))
                continue
            if SAWTOOTH_MS and function == 4 and address == 4:
                conn.sendall(frame(tid, struct.pack(">BBH", 4, 2, alarm_word())))
                continue
            if SAWTOOTH_MS and function == 4 and address in (1, 2):
                lag = 0.0 if address == 1 else SAWTOOTH_MS / 2.0
                conn.sendall(frame(tid, struct.pack(">BBH", 4, 2, sawtooth_value(lag))))
                continue
            if function != 3 or address < 2 or address > 15:
                conn.sendall(proper(tid, function, address))
                continue
            answer = proper(tid, function, address)
            if address == 2:
                conn.sendall(frame(tid, bytes([0x83, 2])))
            elif address == 3:
                conn.sendall(proper((tid + 1) & 0xFFFF, function, address))
            elif address == 4:
                conn.sendall(frame(tid, struct.pack(">BBH", 4, 2, address)))
            elif address == 5:
                conn.sendall(answer[:5])
                time.sleep(0.3)
                conn.sendall(answer[5:])
            elif address == 6:
                for i in range(len(answer)):
                    conn.sendall(answer[i:i + 1])
                    time.sleep(0.03)
            elif address == 7:
                time.sleep(3.0)
                try:
                    conn.sendall(answer)
                except OSError:
                    return
            elif address == 8:
                conn.sendall(answer[:6])
                time.sleep(0.1)
                return
            elif address == 9:
                conn.sendall(b"\x5a" * 11)
            elif address == 10:
                conn.sendall(frame(tid, struct.pack(">BBH", 3, 2, address), length=1024))
            elif address == 11:
                pass
            elif address == 12:
                conn.sendall(answer + b"\x00\x01\x02\x03\x04")
            elif address == 13:
                conn.sendall(frame(tid, struct.pack(">BBHH", 3, 4, address, 0)))
            elif address == 14:
                return
            elif address == 15:
                conn.sendall(answer)
                time.sleep(0.2)
                conn.sendall(answer)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--lifetime", type=float, default=120.0)
    parser.add_argument("--idle-close", type=float, default=None)
    parser.add_argument("--idle-reset", type=float, default=None)
    parser.add_argument("--sawtooth", type=float, default=None)
    args = parser.parse_args()
    global SAWTOOTH_MS
    SAWTOOTH_MS = args.sawtooth
    idle = args.idle_reset if args.idle_reset is not None else args.idle_close
    reset = args.idle_reset is not None
    threading.Timer(args.lifetime, lambda: os._exit(0)).start()

    server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind(("127.0.0.1", args.port))
    server.listen(16)
    while True:
        conn, _ = server.accept()
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        threading.Thread(target=serve, args=(conn, idle, reset), daemon=True).start()


if __name__ == "__main__":
    main()
