#!/usr/bin/env python3
# A broker that speaks MQTT 3.1.1 and no later version: it refuses an MQTT 5
# CONNECT as such a broker does, with a 3.1.1 CONNACK, and acknowledges every
# QoS 1 PUBLISH. Prints the port it listens on, then serves one client at a
# time until it is killed.
import socket


def read(conn, n):
    data = b""
    while len(data) < n:
        chunk = conn.recv(n - len(data))
        if not chunk:
            raise EOFError
        data += chunk
    return data


def packet(conn):
    kind, length, shift = read(conn, 1)[0], 0, 0
    while True:
        byte = read(conn, 1)[0]
        length |= (byte & 0x7F) << shift
        shift += 7
        if byte < 0x80:
            return kind, read(conn, length)


server = socket.socket()
server.bind(("127.0.0.1", 0))
server.listen()
print(server.getsockname()[1], flush=True)
while True:
    conn, _ = server.accept()
    try:
        while True:
            kind, body = packet(conn)
            if kind >> 4 == 1:  # CONNECT: its level follows the protocol's name
                level = body[2 + body[1]]
                conn.sendall(bytes([0x20, 2, 0, 0 if level == 4 else 1]))
                if level != 4:
                    break
            elif kind >> 4 == 3 and kind & 0x06:  # PUBLISH, QoS 1: its packet id after the topic
                at = 2 + (body[0] << 8 | body[1])
                conn.sendall(bytes([0x40, 2]) + body[at:at + 2])
            elif kind >> 4 == 12:  # PINGREQ
                conn.sendall(bytes([0xD0, 0]))
            elif kind >> 4 == 14:  # DISCONNECT
                break
    except (EOFError, ConnectionError):
        pass
    conn.close()
