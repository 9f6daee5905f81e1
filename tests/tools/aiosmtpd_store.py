#!/usr/bin/python3
"""A real SMTP server (aiosmtpd) for the tests that stores every message.

    aiosmtpd_store.py --port 25 --store DIR [--fail COMMAND:REPLY ...]

Each accepted message becomes DIR/<n>.eml (the raw bytes as received, line
ends CR LF, dot-stuffing undone) and DIR/<n>.json ({"helo", "mail_from",
"rcpt_tos", "size"}), numbered from 1; the .json file is written last, so
its presence means the message is complete. --fail makes the server answer
a command (HELO, MAIL, RCPT or DATA, the latter at the end of the data) with
the given reply, e.g. --fail "RCPT:550 5.1.1 no such user". No size limit.
Prints READY once it listens; runs until it is killed.
"""

import argparse
import json
import os
import signal
import sys

from aiosmtpd.controller import Controller


class StoreHandler:
    def __init__(self, store, failures):
        self.store = store
        self.failures = failures
        self.count = 0

    async def handle_HELO(self, server, session, envelope, hostname):
        if "HELO" in self.failures:
            return self.failures["HELO"]
        session.host_name = hostname
        return "250 {}".format(server.hostname)

    async def handle_MAIL(self, server, session, envelope, address, mail_options):
        if "MAIL" in self.failures:
            return self.failures["MAIL"]
        envelope.mail_from = address
        envelope.mail_options.extend(mail_options)
        return "250 OK"

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if "RCPT" in self.failures:
            return self.failures["RCPT"]
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        if "DATA" in self.failures:
            return self.failures["DATA"]
        self.count += 1
        base = os.path.join(self.store, str(self.count))
        with open(base + ".eml", "wb") as out:
            out.write(envelope.original_content or envelope.content)
        info = {"helo": session.host_name, "mail_from": envelope.mail_from, "rcpt_tos": envelope.rcpt_tos,
                "size": len(envelope.original_content or envelope.content)}
        with open(base + ".json.tmp", "w", encoding="utf-8") as out:
            json.dump(info, out)
        os.rename(base + ".json.tmp", base + ".json")
        return "250 Message accepted for delivery"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, default=25)
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--store", required=True)
    parser.add_argument("--fail", action="append", default=[])
    args = parser.parse_args()
    failures = {}
    for item in args.fail:
        command, reply = item.split(":", 1)
        failures[command.upper()] = reply
    os.makedirs(args.store, exist_ok=True)
    controller = Controller(StoreHandler(args.store, failures), hostname=args.host, port=args.port,
                            data_size_limit=None, decode_data=False)
    controller.start()
    print("READY", flush=True)
    signal.sigwait([signal.SIGTERM, signal.SIGINT])
    controller.stop()
    return 0


if __name__ == "__main__":
    signal.pthread_sigmask(signal.SIG_BLOCK, [signal.SIGTERM, signal.SIGINT])
    sys.exit(main())
