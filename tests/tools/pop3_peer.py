#!/usr/bin/python3
"""A scripted POP3 peer for the tests, for what a real server never does on
demand: "-ERR" replies, a connection closed mid-message, very long lines,
hostile messages.

    pop3_peer.py --port 110 --mail FILE [--mail FILE ...] [--script JSON] --record FILE

Each --mail file is one message (its bytes as they are; lines are expected
to end with CR LF). The peer answers USER, PASS, STAT, LIST n, UIDL [n],
TOP n k, RETR n (dot-stuffed, ended by "." CR LF), DELE n and QUIT from
them. The script maps a command word ("GREETING", "USER", "PASS", "STAT",
"LIST", "UIDL", "TOP", "RETR", "DELE", "QUIT") to a list of steps that
replace the ordinary answer: a text (sent as it is; JSON escapes give
CR LF), "close" (close the connection at once), {"sleep": seconds},
{"xs": n} (n letters "x", for lines longer than any buffer),
{"retr-cut": bytes} (the status line and the first bytes of the
dot-stuffed message, then close), {"repeat": text, "every": seconds} (the
text again and again, sleeping between, until the client goes). The peer serves connections one after
the other and appends one JSON line per connection to the record file:
{"commands": [...]}. It prints READY once it listens.
"""

import argparse
import json
import socket
import sys
import time


def stuffed(data):
    out = []
    for line in data.split(b"\r\n"):
        out.append(b"." + line if line.startswith(b".") else line)
    body = b"\r\n".join(out)
    if not body.endswith(b"\r\n"):
        body += b"\r\n"
    return body


def serve(conn, mails, script, record):
    commands = []
    deleted = set()
    reader = conn.makefile("rb")

    def run(word, default):
        steps = script.get(word)
        if steps is None:
            conn.sendall(default)
            return True
        for step in steps:
            if step == "close":
                return False
            if isinstance(step, dict):
                if "xs" in step:
                    conn.sendall(b"x" * step["xs"])
                if "sleep" in step:
                    time.sleep(step["sleep"])
                if "repeat" in step:
                    # The text again and again until the client goes.
                    data = step["repeat"].encode("latin-1")
                    try:
                        while True:
                            conn.sendall(data)
                            if step.get("every"):
                                time.sleep(step["every"])
                    except OSError:
                        return False
                if "retr-cut" in step:
                    n = int(commands[-1].split()[1])
                    conn.sendall(b"+OK message follows\r\n" + stuffed(mails[n - 1])[: step["retr-cut"]])
                    return False
                continue
            conn.sendall(step.encode("latin-1"))
        return True

    try:
        if not run("GREETING", b"+OK peer ready\r\n"):
            return commands
        while True:
            line = reader.readline()
            if not line:
                break
            text = line.decode("latin-1").rstrip("\r\n")
            commands.append(text)
            words = text.split()
            verb = words[0].upper() if words else ""
            args = words[1:]
            live = [i for i in range(len(mails)) if i not in deleted]

            def message(n):
                if 1 <= n <= len(mails) and (n - 1) not in deleted:
                    return mails[n - 1]
                return None

            if verb in ("USER", "PASS"):
                ok = run(verb, b"+OK\r\n")
            elif verb == "STAT":
                ok = run(verb, b"+OK %d %d\r\n" % (len(live), sum(len(mails[i]) for i in live)))
            elif verb == "LIST":
                m = message(int(args[0])) if args else None
                ok = run(verb, b"+OK %s %d\r\n" % (args[0].encode(), len(m)) if m is not None else b"-ERR no such message\r\n")
            elif verb == "UIDL":
                if args:
                    ok = run(verb, b"+OK %s uid-%s\r\n" % (args[0].encode(), args[0].encode()))
                else:
                    ok = run(verb, b"+OK\r\n" + b"".join(b"%d uid-%d\r\n" % (i + 1, i + 1) for i in live) + b".\r\n")
            elif verb == "TOP":
                m = message(int(args[0]))
                head, _, body = m.partition(b"\r\n\r\n")
                lines = body.split(b"\r\n")[: int(args[1])]
                part = head + b"\r\n\r\n" + b"\r\n".join(lines)
                ok = run(verb, b"+OK top follows\r\n" + stuffed(part) + b".\r\n")
            elif verb == "RETR":
                m = message(int(args[0]))
                ok = run(verb, b"+OK message follows\r\n" + stuffed(m) + b".\r\n" if m is not None else b"-ERR no such message\r\n")
            elif verb == "DELE":
                m = message(int(args[0]))
                if m is not None:
                    deleted.add(int(args[0]) - 1)
                ok = run(verb, b"+OK deleted\r\n" if m is not None else b"-ERR no such message\r\n")
            elif verb == "QUIT":
                run(verb, b"+OK bye\r\n")
                break
            else:
                ok = run("OTHER", b"-ERR unknown command\r\n")
            if not ok:
                break
    except OSError:
        pass
    finally:
        with open(record, "a") as out:
            out.write(json.dumps({"commands": commands}) + "\n")
        try:
            conn.close()
        except OSError:
            pass


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, default=110)
    parser.add_argument("--mail", action="append", default=[])
    parser.add_argument("--script", default="{}")
    parser.add_argument("--record", required=True)
    args = parser.parse_args()
    mails = []
    for path in args.mail:
        with open(path, "rb") as f:
            mails.append(f.read())
    script = json.loads(args.script)
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", args.port))
    listener.listen(4)
    print("READY", flush=True)
    while True:
        conn, _ = listener.accept()
        serve(conn, mails, script, args.record)


if __name__ == "__main__":
    sys.exit(main())
