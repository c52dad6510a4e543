#!/usr/bin/python3
"""A misbehaving ISO-on-TCP / S7 peer on 127.0.0.1 for the S7 layer tests.

The fault is chosen by "magic" values in the client's own requests, so one
peer serves every case:

  slot in the connection request (called TSAP 0x01, rack*32+slot):
    2  normal            5  disconnect request instead of a confirm
    6  setup answer with error class/code   7  silence after the request
    8  setup answer with a wrong PDU reference
    9  normal, but the connection is closed after 200 ms without a request

  flags byte (area 0x83) of a read request:
    0..99  normal: the bytes 12 34 56 78 ... (as many as asked)
    100 wrong PDU reference          101 short packet (data length claims more)
    102 TPKT length larger than the bytes sent, then silence
    103 TPKT length 0xFFFF           104 item longer than requested
    105 silence                      106 item return code 5
    107 job refused in the header    108 normal, one byte at a time
    109 close the connection         110 item return code 0
    111 TPKT version 2               112 protocol id 0x33
    113 data in two TPKT packets: header first, then the rest
    114 normal, then the same answer again 100 ms later
    115 normal, followed at once by an answer nobody asked for: the next
        PDU reference and the value 0x1092 (4242)

The tests name these values in tests/support/S7PeerScenarios.h; change both
together.

Options: --port N (required), --lifetime SECONDS (default 120).
Prints "ready <port>" once it listens.
"""

import argparse
import socket
import struct
import threading
import time

PATTERN = bytes([0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0])


def tpkt(payload, length=None):
    return struct.pack(">BBH", 3, 0, len(payload) + 4 if length is None else length) + payload


def ack_data(ref, param, data, error=(0, 0)):
    header = struct.pack(">BBHHHHBB", 0x32, 3, 0, ref, len(param), len(data), error[0], error[1])
    return bytes([2, 0xF0, 0x80]) + header + param + data


def receive_exact(conn, n):
    data = b""
    while len(data) < n:
        chunk = conn.recv(n - len(data))
        if not chunk:
            raise ConnectionError("closed")
        data += chunk
    return data


def receive_packet(conn):
    header = receive_exact(conn, 4)
    length = struct.unpack(">H", header[2:4])[0]
    return receive_exact(conn, length - 4)


def read_answer(conn, ref, start, count):
    """Sends the answer to a read of `count` flag bytes at `start`."""
    good_item = bytes([0xFF, 0x04]) + struct.pack(">H", count * 8) + PATTERN[:count]
    if start == 100:
        conn.sendall(tpkt(ack_data(ref + 1, bytes([4, 1]), good_item)))
    elif start == 101:
        packet = ack_data(ref, bytes([4, 1]), good_item)
        # Claims six more data bytes than the packet holds.
        packet = packet[:11] + struct.pack(">H", len(good_item) + 6) + packet[13:]
        conn.sendall(tpkt(packet))
    elif start == 102:
        packet = tpkt(ack_data(ref, bytes([4, 1]), good_item))
        conn.sendall(packet[:2] + struct.pack(">H", len(packet) + 20) + packet[4:])
        time.sleep(30)
    elif start == 103:
        packet = tpkt(ack_data(ref, bytes([4, 1]), good_item))
        conn.sendall(packet[:2] + b"\xff\xff" + packet[4:] + bytes(200))
    elif start == 104:
        longer = bytes([0xFF, 0x04]) + struct.pack(">H", (count + 4) * 8) + PATTERN[: count + 4]
        conn.sendall(tpkt(ack_data(ref, bytes([4, 1]), longer)))
    elif start == 105:
        time.sleep(30)
    elif start == 106:
        conn.sendall(tpkt(ack_data(ref, bytes([4, 1]), bytes([0x05, 0x00, 0x00, 0x00]))))
    elif start == 107:
        conn.sendall(tpkt(ack_data(ref, b"", b"", error=(0x85, 0x00))))
    elif start == 108:
        for b in tpkt(ack_data(ref, bytes([4, 1]), good_item)):
            conn.sendall(bytes([b]))
            time.sleep(0.005)
    elif start == 109:
        conn.close()
    elif start == 110:
        conn.sendall(tpkt(ack_data(ref, bytes([4, 1]), bytes([0x00, 0x04, 0x00, 0x10, 0x12, 0x34]))))
    elif start == 111:
        packet = tpkt(ack_data(ref, bytes([4, 1]), good_item))
        conn.sendall(bytes([2]) + packet[1:])
    elif start == 112:
        packet = tpkt(ack_data(ref, bytes([4, 1]), good_item))
        conn.sendall(packet[:7] + bytes([0x33]) + packet[8:])
    elif start == 113:
        packet = tpkt(ack_data(ref, bytes([4, 1]), good_item))
        conn.sendall(packet[:9])
        time.sleep(0.05)
        conn.sendall(packet[9:])
    elif start == 114:
        packet = tpkt(ack_data(ref, bytes([4, 1]), good_item))
        conn.sendall(packet)
        time.sleep(0.1)
        conn.sendall(packet)
    elif start == 115:
        stray = bytes([0xFF, 0x04]) + struct.pack(">H", 16) + bytes([0x10, 0x92])
        conn.sendall(tpkt(ack_data(ref, bytes([4, 1]), good_item)) + tpkt(ack_data(ref + 1, bytes([4, 1]), stray)))
    else:
        conn.sendall(tpkt(ack_data(ref, bytes([4, 1]), good_item)))


def serve(conn):
    try:
        request = receive_packet(conn)
        slot = request[17] & 0x1F if len(request) >= 18 else 2
        if slot == 5:
            conn.sendall(tpkt(bytes([6, 0x80, 0, 1, 0, 1, 0])))
            return
        if slot == 7:
            time.sleep(30)
            return
        conn.sendall(tpkt(bytes([17, 0xD0, 0, 1, 0, 1, 0]) + request[7:18]))
        setup = receive_packet(conn)
        ref = struct.unpack(">H", setup[7:9])[0]
        param = bytes([0xF0, 0, 0, 1, 0, 1, 0x01, 0xE0])
        if slot == 6:
            conn.sendall(tpkt(ack_data(ref, b"", b"", error=(0x81, 0x04))))
            return
        if slot == 8:
            conn.sendall(tpkt(ack_data(ref + 1, param, b"")))
            return
        conn.sendall(tpkt(ack_data(ref, param, b"")))
        if slot == 9:
            conn.settimeout(0.2)
        while True:
            try:
                job = receive_packet(conn)
            except socket.timeout:
                return
            ref = struct.unpack(">H", job[7:9])[0]
            item = job[3 + 10 + 2:]
            count = struct.unpack(">H", item[4:6])[0]
            area = item[8]
            start = (item[9] << 16 | item[10] << 8 | item[11]) >> 3
            read_answer(conn, ref, start if area == 0x83 else 0, min(count, len(PATTERN)))
    except (ConnectionError, OSError, IndexError, struct.error):
        pass
    finally:
        try:
            conn.close()
        except OSError:
            pass


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--lifetime", type=float, default=120.0)
    args = parser.parse_args()

    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", args.port))
    listener.listen(16)
    listener.settimeout(0.2)
    print("ready", args.port, flush=True)
    end = time.monotonic() + args.lifetime
    while time.monotonic() < end:
        try:
            conn, _ = listener.accept()
        except socket.timeout:
            continue
        threading.Thread(target=serve, args=(conn,), daemon=True).start()
    listener.close()


if __name__ == "__main__":
    main()
