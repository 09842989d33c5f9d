"""A TCP relay on 127.0.0.1 that holds every chunk of bytes for a fixed delay
in each direction, as a link to a distant server would, and counts round
trips: a request is bytes from the client after the server has answered (or
the first bytes of a connection)."""

import asyncio
import socket
import threading


def serve(relay):
    """Serves relay._connection on a free loopback port in relay._loop until
    the loop stops; relay.port and relay._ready tell when it listens."""
    asyncio.set_event_loop(relay._loop)
    server = relay._loop.run_until_complete(asyncio.start_server(relay._connection, "127.0.0.1", 0))
    relay.port = server.sockets[0].getsockname()[1]
    relay._ready.set()
    relay._loop.run_forever()
    return server


class LatencyRelay:
    def __init__(self, target_port, delay_seconds):
        self.target_port = target_port
        self.delay = delay_seconds
        self.round_trips = 0
        self.port = None
        self._writers = set()
        self._tasks = set()
        self._loop = asyncio.new_event_loop()
        self._ready = threading.Event()
        self._thread = threading.Thread(target=self._serve, daemon=True)

    def __enter__(self):
        self._thread.start()
        self._ready.wait()
        return self

    def __exit__(self, *exc):
        asyncio.run_coroutine_threadsafe(self._close(), self._loop).result()
        self._loop.call_soon_threadsafe(self._loop.stop)
        self._thread.join()
        self._loop.close()

    async def _close(self):
        """Ends every connection still relayed, and waits for its tasks."""
        for writer in self._writers:
            writer.transport.abort()
        await asyncio.gather(*self._tasks, return_exceptions=True)

    def _serve(self):
        serve(self).close()

    async def _connection(self, client_reader, client_writer):
        self._tasks.add(asyncio.current_task())
        self._writers.add(client_writer)
        try:
            server_reader, server_writer = await asyncio.open_connection("127.0.0.1", self.target_port)
        except OSError:
            client_writer.close()
            return
        self._writers.add(server_writer)
        for writer in (client_writer, server_writer):
            writer.get_extra_info("socket").setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        answered = [True]  # the next client bytes start a round trip

        def from_client():
            if answered[0]:
                self.round_trips += 1
                answered[0] = False

        def from_server():
            answered[0] = True

        await asyncio.gather(self._pipe(client_reader, server_writer, from_client),
                             self._pipe(server_reader, client_writer, from_server))

    async def _pipe(self, reader, writer, seen):
        """Bytes from reader reach writer delay seconds after they arrived,
        in order; a chunk does not wait for the one before it to be due."""
        queue = asyncio.Queue()

        async def deliver():
            while True:
                due, data = await queue.get()
                wait = due - self._loop.time()
                if wait > 0:
                    await asyncio.sleep(wait)
                if data is None:
                    break
                writer.write(data)
                await writer.drain()
            try:
                writer.write_eof()
            except OSError:
                pass

        sender = asyncio.ensure_future(deliver())
        try:
            while True:
                data = await reader.read(65536)
                if not data:
                    break
                seen()
                queue.put_nowait((self._loop.time() + self.delay, data))
        except OSError:
            pass
        queue.put_nowait((self._loop.time() + self.delay, None))
        try:
            await sender
        except OSError:
            pass
        writer.close()
