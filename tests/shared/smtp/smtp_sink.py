"""Mail sink for the notifier tests: aiosmtpd on 127.0.0.1, port chosen by the system.

Usage: /usr/bin/python3 smtp_sink.py OUTDIR. Writes the port to OUTDIR/port once
listening, stores each accepted message as OUTDIR/<n>.json (n from 1) before answering 250,
refuses recipients starting with "refused" (550) and messages holding
"REFUSE-THIS-MESSAGE" (554), drops the connection at a recipient starting with
"hangup", or half a second into a send to one starting with "stall", and stops
on SIGTERM or when standard input closes.
"""

import asyncio
import json
import os
import signal
import socket
import sys

from aiosmtpd.smtp import SMTP


class SinkHandler:
    def __init__(self, outdir):
        self.outdir = outdir
        self.count = 0

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address.startswith("stall"):
            # Stop reading with a small receive buffer, then drop the
            # connection while the client is still writing the message.
            sock = server.transport.get_extra_info("socket")
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            server.transport.pause_reading()
            asyncio.get_running_loop().call_later(0.5, server.transport.abort)
            envelope.rcpt_tos.append(address)
            return "250 OK"
        if address.startswith("hangup"):
            server.transport.abort()
            return "421 closing"
        if address.startswith("refused"):
            return "550 5.1.1 mailbox unavailable"
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        content = envelope.original_content
        if b"REFUSE-THIS-MESSAGE" in content:
            return "554 5.6.0 message refused by policy"
        self.count += 1
        record = {
            "mail_from": envelope.mail_from,
            "rcpt_tos": envelope.rcpt_tos,
            "content": content.decode("latin-1"),
        }
        final = os.path.join(self.outdir, "%d.json" % self.count)
        partial = final + ".part"
        with open(partial, "w", encoding="utf-8") as out:
            json.dump(record, out)
        os.replace(partial, final)
        return "250 2.0.0 accepted"


def main():
    outdir = sys.argv[1]
    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    handler = SinkHandler(outdir)
    # A fixed host name spares the server a DNS lookup of this machine's name.
    server = loop.run_until_complete(
        loop.create_server(
            lambda: SMTP(handler, hostname="sink.localhost"),
            host="127.0.0.1",
            port=0,
        )
    )
    port = server.sockets[0].getsockname()[1]
    with open(os.path.join(outdir, "port.part"), "w", encoding="ascii") as out:
        out.write("%d\n" % port)
    os.replace(os.path.join(outdir, "port.part"), os.path.join(outdir, "port"))

    def stdin_ready():
        if not os.read(sys.stdin.fileno(), 4096):
            loop.stop()

    loop.add_reader(sys.stdin.fileno(), stdin_ready)
    loop.add_signal_handler(signal.SIGTERM, loop.stop)
    try:
        loop.run_forever()
    finally:
        server.close()
        loop.run_until_complete(server.wait_closed())
        loop.close()


if __name__ == "__main__":
    main()
