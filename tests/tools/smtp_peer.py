#!/usr/bin/python3
"""A scripted SMTP peer for the tests, for what a real server does not do on
demand: multi-line greetings and replies, replies split across segments,
replies without text, closing the connection at a chosen point, silence.

    smtp_peer.py --port 25 --script JSON --record FILE

The script maps a point of the dialogue to an action: "GREETING", "HELO",
"MAIL", "RCPT", "DATA", "DOT" (the end of the message data), "QUIT" and
"OTHER" (any other command). An action is a list of steps: a text (sent as
one segment; JSON escapes give CR LF), {"sleep": seconds}, {"repeat": text,
"every": seconds, "count": n} (sends the text n times, or until the client
goes when there is no count, sleeping between sends), "close" (close the
connection at once) or "silent" (send nothing more and wait for the client
to close). Points the script leaves out get ordinary replies. The
peer serves connections one after the other until it is killed and appends
one JSON line per connection to the record file:
{"commands": [...], "message": base64 of the data lines, "ended": "quit" |
"client-closed" | "peer-closed"}. It prints READY once it listens.

Only the Python standard library is used.
"""

import argparse
import base64
import json
import socket
import sys
import time

DEFAULTS = {
    "GREETING": ["220 peer ready\r\n"],
    "HELO": ["250 hello\r\n"],
    "MAIL": ["250 sender ok\r\n"],
    "RCPT": ["250 recipient ok\r\n"],
    "DATA": ["354 end with <CRLF>.<CRLF>\r\n"],
    "DOT": ["250 queued\r\n"],
    "QUIT": ["221 bye\r\n"],
    "OTHER": ["500 unknown command\r\n"],
}


class Closed(Exception):
    pass


def act(conn, steps):
    """Runs an action; returns False when the connection is to end."""
    for step in steps:
        if step == "close":
            return False
        if step == "silent":
            while conn.recv(65536):
                pass
            raise Closed("client-closed")
        if isinstance(step, dict):
            if "repeat" in step:
                text = step["repeat"].encode("latin-1")
                count = step.get("count")
                sent = 0
                while count is None or sent < count:
                    conn.sendall(text)
                    sent += 1
                    if step.get("every"):
                        time.sleep(step["every"])
                continue
            time.sleep(step.get("sleep", 0))
            continue
        conn.sendall(step.encode("latin-1"))
    return True


def serve(conn, script):
    commands = []
    message = bytearray()
    pending = b""
    in_data = False
    ended = "client-closed"

    def lines():
        nonlocal pending
        while True:
            cut = pending.find(b"\r\n")
            if cut >= 0:
                line, pending = pending[:cut], pending[cut + 2:]
                yield line
                continue
            chunk = conn.recv(65536)
            if not chunk:
                raise Closed("client-closed")
            pending += chunk

    try:
        if not act(conn, script.get("GREETING", DEFAULTS["GREETING"])):
            raise Closed("peer-closed")
        for line in lines():
            if in_data:
                if line == b".":
                    in_data = False
                    if not act(conn, script.get("DOT", DEFAULTS["DOT"])):
                        raise Closed("peer-closed")
                else:
                    message += line + b"\r\n"
                continue
            text = line.decode("latin-1")
            commands.append(text)
            word = text.split(" ", 1)[0].split(":", 1)[0].upper()
            point = word if word in ("HELO", "MAIL", "RCPT", "DATA", "QUIT") else "OTHER"
            if not act(conn, script.get(point, DEFAULTS[point])):
                raise Closed("peer-closed")
            if point == "DATA" and script.get("DATA", DEFAULTS["DATA"])[:1] and \
                    str(script.get("DATA", DEFAULTS["DATA"])[0]).startswith("3"):
                in_data = True
            if point == "QUIT":
                ended = "quit"
                break
    except Closed as reason:
        ended = str(reason)
    except OSError:
        ended = "client-closed"
    return {"commands": commands, "message": base64.b64encode(bytes(message)).decode("ascii"), "ended": ended}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, default=25)
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--script", default="{}")
    parser.add_argument("--record", required=True)
    args = parser.parse_args()
    script = json.loads(args.script)

    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind((args.host, args.port))
    listener.listen(4)
    print("READY", flush=True)
    while True:
        conn, _ = listener.accept()
        with conn:
            result = serve(conn, script)
        with open(args.record, "a", encoding="ascii") as record:
            record.write(json.dumps(result) + "\n")


if __name__ == "__main__":
    sys.exit(main())
