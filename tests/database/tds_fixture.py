#!/usr/bin/env python3
"""A SQL Server stand-in that speaks just enough TDS to accept or refuse a
login, for testing the database link through the real ODBC driver.

Listens on 127.0.0.1 (the given port, or a free one), prints the port on the
first line of standard output and serves until killed. Every login record it
receives is appended to the --record file as one JSON object per line:
user, password (de-obfuscated), database, server, app, host.

Modes:
  accept  PRELOGIN without encryption, then LOGINACK, ENVCHANGE (database)
          and DONE; any later SQL batch is answered with DONE.
  refuse  the login is answered with error 18456
          "Login failed for user '<user>'." and a DONE with the error bit.
  silent  accepts the TCP connection and never answers anything.
"""

import argparse
import json
import socket
import struct
import sys
import threading

PRELOGIN = 0x12
LOGIN7 = 0x10
SQL_BATCH = 0x01
REPLY = 0x04
STATUS_EOM = 0x01

TOKEN_LOGINACK = 0xAD
TOKEN_ENVCHANGE = 0xE3
TOKEN_ERROR = 0xAA
TOKEN_DONE = 0xFD

record_lock = threading.Lock()


def read_exact(conn, n):
    data = b""
    while len(data) < n:
        chunk = conn.recv(n - len(data))
        if not chunk:
            raise EOFError
        data += chunk
    return data


def read_message(conn):
    """Returns (type, payload) of one message, joining its packets."""
    payload = b""
    while True:
        header = read_exact(conn, 8)
        kind, status, length = struct.unpack(">BBH", header[:4])
        payload += read_exact(conn, length - 8)
        if status & STATUS_EOM:
            return kind, payload


def send_reply(conn, payload):
    header = struct.pack(">BBHHBB", REPLY, STATUS_EOM, len(payload) + 8, 0, 1, 0)
    conn.sendall(header + payload)


def prelogin_reply():
    options = [
        (0x00, bytes([15, 0, 0x07, 0xD0, 0, 0])),  # version
        (0x01, bytes([0x02])),  # encryption not supported
        (0x02, bytes([0])),  # instance accepted
        (0x03, bytes(4)),  # thread id
        (0x04, bytes([0])),  # no MARS
    ]
    offset = len(options) * 5 + 1
    head, data = b"", b""
    for token, value in options:
        head += struct.pack(">BHH", token, offset + len(data), len(value))
        data += value
    return head + b"\xff" + data


def b_varchar(text):
    encoded = text.encode("utf-16-le")
    return bytes([len(text)]) + encoded


def us_varchar(text):
    return struct.pack("<H", len(text)) + text.encode("utf-16-le")


def done(status=0):
    return struct.pack("<BHHQ", TOKEN_DONE, status, 0, 0)


def login_ack(database):
    body = bytes([1]) + bytes([0x74, 0x00, 0x00, 0x04]) + b_varchar("Fixture")
    body += bytes([15, 0, 0x07, 0xD0])
    ack = struct.pack("<BH", TOKEN_LOGINACK, len(body)) + body
    change = bytes([1]) + b_varchar(database) + b_varchar("master")
    env = struct.pack("<BH", TOKEN_ENVCHANGE, len(change)) + change
    return ack + env + done()


def login_error(user):
    text = "Login failed for user '%s'." % user
    body = struct.pack("<IBB", 18456, 1, 14) + us_varchar(text)
    body += b_varchar("fixture") + b_varchar("") + struct.pack("<I", 1)
    return struct.pack("<BH", TOKEN_ERROR, len(body)) + body + done(0x0002)


def unscramble(data):
    out = bytearray()
    for b in data:
        b ^= 0xA5
        out.append(((b << 4) & 0xF0) | (b >> 4))
    return bytes(out)


def parse_login(payload):
    def field(index, scrambled=False):
        offset, chars = struct.unpack_from("<HH", payload, 36 + 4 * index)
        raw = payload[offset:offset + 2 * chars]
        if scrambled:
            raw = unscramble(raw)
        return raw.decode("utf-16-le", errors="replace")

    return {
        "host": field(0),
        "user": field(1),
        "password": field(2, scrambled=True),
        "app": field(3),
        "server": field(4),
        "database": field(8),
    }


def record(path, login):
    if not path:
        return
    with record_lock, open(path, "a", encoding="utf-8") as out:
        out.write(json.dumps(login) + "\n")


def serve(conn, mode, record_path):
    with conn:
        if mode == "silent":
            while conn.recv(4096):
                pass
            return
        try:
            while True:
                kind, payload = read_message(conn)
                if kind == PRELOGIN:
                    send_reply(conn, prelogin_reply())
                elif kind == LOGIN7:
                    login = parse_login(payload)
                    record(record_path, login)
                    if mode == "refuse":
                        send_reply(conn, login_error(login["user"]))
                    else:
                        send_reply(conn, login_ack(login["database"]))
                else:
                    send_reply(conn, done())
        except (EOFError, ConnectionError):
            pass


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--mode", choices=["accept", "refuse", "silent"],
                        default="accept")
    parser.add_argument("--record", default="")
    args = parser.parse_args()

    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", args.port))
    listener.listen(8)
    print(listener.getsockname()[1], flush=True)
    while True:
        conn, _ = listener.accept()
        threading.Thread(target=serve, args=(conn, args.mode, args.record),
                         daemon=True).start()


if __name__ == "__main__":
    try:
        main()
    except KeyboardInterrupt:
        sys.exit(0)
