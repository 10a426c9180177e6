"""The door tests' WebSocket client: runs one case, prints one line of what it saw.

    /usr/bin/python3 ws_client.py ws://127.0.0.1:PORT/ SOURCE CASE [COUNT]
(Debian's python3 has python3-websockets.) SOURCE is the 127.0.0.0/8 address to connect from;
the server admits 7 connections per address in 10 s. Every wait is bounded.
"""
import asyncio
import socket
import struct
import sys
import time

import websockets

WAIT = 5  # s, for any one reply
OPEN = []  # every connection, dropped at the end without waiting for the server


def frame(payload):
    return struct.pack("<H", len(payload)) + payload


def text(value):
    return struct.pack("<H", len(value)) + value.encode()


def login(name):  # version 1, profile and appearance fields, name, appearance text, password
    fields = struct.pack("<BBIIHIIBHHI", 1, 1, 70000, 0, 3, 0, 0, 0, 0, 0, 0)
    return frame(fields + text(name) + text("") + text(""))


async def connect(url, source, origin=None):
    ws = await websockets.connect(url, local_addr=(source, 0), compression=None, origin=origin,
                                  ping_interval=None, max_size=None, open_timeout=WAIT)
    ws.unread = b""
    OPEN.append(ws)
    return ws


async def code(ws, *wanted):
    """The payload of the next frame that opens with one of the codes (0x1nn: FF nn)."""
    deadline = time.monotonic() + WAIT
    while True:
        while len(ws.unread) >= 2 and len(ws.unread) >= 2 + ws.unread[0] + 256 * ws.unread[1]:
            size = ws.unread[0] + 256 * ws.unread[1]
            payload, ws.unread = ws.unread[2:2 + size], ws.unread[2 + size:]
            if payload and (0x100 + payload[1] if payload[0] == 0xFF else payload[0]) in wanted:
                return payload
        ws.unread += await asyncio.wait_for(ws.recv(), deadline - time.monotonic())


async def closed(ws):
    await asyncio.wait_for(ws.wait_closed(), 2 * WAIT)
    return f"close {ws.close_code}"


def raw(source, port, request):
    """Sends `request` on a plain connection; what came back and when the server closed it."""
    with socket.create_connection(("127.0.0.1", port), WAIT, (source, 0)) as s:
        s.sendall(request)
        started, received = time.monotonic(), b""
        s.settimeout(4 * WAIT)
        while chunk := s.recv(4096):
            received += chunk
        return received, time.monotonic() - started


async def run(url, source, case, count):
    port, hello = int(url.split(":")[2].strip("/")), login(case.capitalize() + source[8:])
    if case == "partial":  # a handshake that never finishes: the login deadline ends it
        received, after = raw(source, port, b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n")
        return f"closed {'by the deadline' if after > 1.5 else 'at once'} {received}"
    if case == "nokey":
        received, _ = raw(source, port, b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket"
                          b"\r\nConnection: Upgrade\r\nSec-WebSocket-Version: 13\r\n\r\n")
        return f"http {received[9:12].decode()}"
    if case == "refused":  # the last of `count` connections from one address: its first message
        held = [await connect(url, source) for _ in range(count)]
        return f"{(await asyncio.wait_for(held[-1].recv(), WAIT))[2:3].hex()} {await closed(held[-1])}"
    if case == "origin":  # the server's list names one page; without an Origin, not a browser
        try:
            await connect(url, source, "https://elsewhere.example")
            return "foreign origin let in"
        except websockets.InvalidStatusCode as refusal:
            listed = await connect(url, source, "https://game.example")
            await listed.send(hello)
            await code(listed, 0x35)
            return f"http {refusal.status_code}, listed and unnamed let in"
    ws = await connect(url, source)
    if case in ("text", "big"):
        try:
            await ws.send("Login" if case == "text" else bytes(1 << 20))
        except websockets.ConnectionClosed:
            pass
        return await closed(ws)
    if case == "ping":
        await asyncio.wait_for(await ws.ping(), WAIT)
        return "pong"
    if case == "split":
        await ws.send(hello[:7])
        await ws.send(hello[7:])
    elif case == "fragmented":  # one message in three frames
        await ws.send([hello[:5], hello[5:9], hello[9:]])
    else:
        await ws.send(hello)
    await code(ws, 0x35)  # GuestWelcome
    if case == "joined":  # two StatusRequests in one message, each answered StatusText
        await code(ws, 0x32)
        await ws.send(2 * frame(b"\x29" + text("")))
        return f"replies {(await code(ws, 0x06))[0]} {(await code(ws, 0x06))[0]}"
    if case == "close":  # once the server answered the close, the name is free again
        await code(ws, 0x32)
        await ws.close()
        again = await connect(url, source)
        await again.send(hello)
        admission = await code(again, 0x32, 0x107)  # the welcome frame or NameInUse
        return f"close {ws.close_code}, then {'welcome' if admission[0] == 0x32 else 'NameInUse'}"
    return "GuestWelcome"


async def main(url, source, case, count=1):
    try:
        return await run(url, source, case, int(count))
    except (asyncio.TimeoutError, websockets.WebSocketException, OSError) as error:
        return f"failed: {type(error).__name__} {error}"
    finally:
        for ws in OPEN:
            ws.transport.abort()


if __name__ == "__main__":
    print(asyncio.run(main(*sys.argv[1:])))
