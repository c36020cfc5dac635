#!/usr/bin/env python3
"""A TCP relay on loopback that delays each direction, standing for a distant
server in front of the benchmark's nginx:

    relay.py LISTEN_PORT TARGET_PORT DELAY_MS WATCHED_PID

Every byte reaches the other side DELAY_MS after the relay read it, in order,
without a bandwidth limit, so that a round trip costs 2 x DELAY_MS. A new
connection costs one round trip more before its first bytes go on, as TCP's
handshake does over such a line. The relay prints "ready" once it listens, and
ends by itself when the process WATCHED_PID (the benchmark) has gone.
"""
import asyncio
import os
import socket
import sys

CHUNK = 256 * 1024


def alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        pass
    return True


async def carry(reader, writer, delay, start):
    """Copies reader to writer, each chunk sent delay seconds after it was
    read and not before start (a loop.time())."""
    loop = asyncio.get_running_loop()
    queue = asyncio.Queue()

    async def read():
        while True:
            data = await reader.read(CHUNK)
            await queue.put((max(loop.time() + delay, start), data))
            if not data:
                return

    async def write():
        while True:
            due, data = await queue.get()
            wait = due - loop.time()
            if wait > 0:
                await asyncio.sleep(wait)
            if not data:
                if writer.can_write_eof():
                    writer.write_eof()
                return
            writer.write(data)
            await writer.drain()

    tasks = [asyncio.ensure_future(read()), asyncio.ensure_future(write())]
    try:
        await asyncio.gather(*tasks)
    except (ConnectionError, OSError):
        pass
    finally:
        for task in tasks:
            task.cancel()


def no_delay(writer):
    sock = writer.get_extra_info("socket")
    if sock is not None:
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)


async def serve(listen, target, delay, watched):
    loop = asyncio.get_running_loop()

    async def connection(client_reader, client_writer):
        # The client's first bytes would leave one round trip after its connect.
        start = loop.time() + 2 * delay
        try:
            server_reader, server_writer = await asyncio.open_connection("127.0.0.1", target)
        except OSError:
            client_writer.close()
            return
        for writer in (client_writer, server_writer):
            no_delay(writer)
        await asyncio.gather(carry(client_reader, server_writer, delay, start + delay),
                             carry(server_reader, client_writer, delay, 0),
                             return_exceptions=True)
        for writer in (client_writer, server_writer):
            writer.close()

    server = await asyncio.start_server(connection, "127.0.0.1", listen, reuse_address=True)
    print("ready", flush=True)
    async with server:
        while alive(watched):
            await asyncio.sleep(0.5)


def main():
    listen, target, delay_ms, watched = (int(arg) for arg in sys.argv[1:5])
    asyncio.run(serve(listen, target, delay_ms / 1000, watched))


if __name__ == "__main__":
    main()
