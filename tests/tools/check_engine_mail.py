#!/usr/bin/python3
"""Checks a mail composed by the SMTP engine, as a server received it.

    check_engine_mail.py MAIL [--header "Name: value" ...] [--attachment NAME=FILE ...]
                              [--text-type "Content-Type: ..."] [--qp] [--text FILE]

Checks: CR LF line ends only; the header lines, in order, are X-Mailer,
Date and then exactly the --header lines given (To, From, Reply-To,
Subject, an extra line, CC, MIME-Version, Content-Type, as the mail should
have them), followed by the blank line; the Date line is "Date: Www, D Mmm
YYYY H:MM +HHMM" (no seconds, the hour without a leading zero). For a
multipart mail (--attachment or --text-type given) Python's email package
parses it: the first part has the --text-type line(s), each further part is
an attachment whose name and filename are NAME, whose base64 lines are 76
characters but the last, and whose decoded bytes equal FILE byte for byte.
--text FILE: the text as the server stored it (its lines, each with CR LF,
after the part header or after the blank line of a mail without MIME; the
engine ends a mail without MIME with one empty line) equals FILE.
--extract OUT: the decoded ATTACH.XXX is written to OUT (and, without
--attachment, checked as the one attachment). --delivered: a mail from a Maildir (LF line ends, trace lines in front, a
Message-Id line added by the transfer agent). Prints the header names as JSON and exits 0, or prints what differs on
standard error and exits 1.
"""

import argparse
import email
import email.policy
import json
import re
import sys

DATE = re.compile(r"^Date: (Sun|Mon|Tue|Wed|Thu|Fri|Sat), [1-9]\d? "
                  r"(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) \d{4} (1?\d|2[0-3]):[0-5]\d [+-]\d{4}$")
BOUNDARY = re.compile(r'^Content-Type: multipart/mixed; boundary="(=====_ *-?\d+_=====)"$')


def fail(text):
    print(text, file=sys.stderr)
    sys.exit(1)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("mail")
    parser.add_argument("--header", action="append", default=[])
    parser.add_argument("--attachment", action="append", default=[])
    parser.add_argument("--text-type", action="append", default=[])
    parser.add_argument("--text")
    parser.add_argument("--extract", help="writes the decoded bytes of the attachment ATTACH.XXX here")
    parser.add_argument("--delivered", action="store_true",
                        help="a mail as a transfer agent delivered it: its trace lines before X-Mailer and "
                             "its Message-Id line are not the engine's")
    args = parser.parse_args()
    if args.extract and not args.attachment:
        args.attachment = ["ATTACH.XXX=" + args.extract]
    raw = open(args.mail, "rb").read()
    if args.delivered:
        # A Maildir file has LF line ends; the wire had CR LF.
        raw = raw.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")
        head_end = raw.index(b"\r\n\r\n")
        header = raw[:head_end].split(b"\r\n")
        start = next((i for i, line in enumerate(header) if line.startswith(b"X-Mailer: ")), 0)
        kept = [line for line in header[start:] if not line.lower().startswith(b"message-id:")]
        raw = b"\r\n".join(kept) + raw[head_end:]
    if b"\n" in raw.replace(b"\r\n", b"") or b"\r" in raw.replace(b"\r\n", b""):
        fail("a line end other than CR LF")
    lines = raw.split(b"\r\n")
    end = lines.index(b"")
    head = [line.decode("latin-1") for line in lines[:end]]
    if len(head) < 2 or not head[0].startswith("X-Mailer: "):
        fail("first line %r" % (head[:1],))
    if not DATE.match(head[1]):
        fail("bad Date line %r" % head[1])
    expected = list(args.header)
    multipart = bool(args.attachment or args.text_type)
    boundary = None
    if multipart:
        if len(head) < 2 + len(expected) + 2:
            fail("header too short: %r" % head)
        found = BOUNDARY.match(head[-1])
        if not found or head[-2] != "MIME-Version: 1.0":
            fail("bad MIME lines %r" % head[-2:])
        boundary = found.group(1)
        head = head[:-2]
    if head[2:] != expected:
        fail("header lines %r, expected %r" % (head[2:], expected))

    body = lines[end + 1:]
    if not multipart:
        if args.text is not None:
            text = b"\r\n".join(body)
            want = open(args.text, "rb").read()
            if text != want:
                fail("text %r, expected %r" % (text[:300], want[:300]))
        print(json.dumps({"headers": [h.split(":")[0] for h in head]}))
        return 0

    if body[0] != b"--" + boundary.encode():
        fail("first body line %r" % body[0])
    at = 1
    for line in args.text_type:
        if body[at].decode("latin-1") != line:
            fail("text part line %r, expected %r" % (body[at], line))
        at += 1
    if body[at] != b"":
        fail("no blank line after the text part header")
    at += 1
    separator = body.index(b"--" + boundary.encode(), at) if args.attachment else \
        body.index(b"--" + boundary.encode() + b"--", at)
    if args.text is not None:
        # With attachments the separator brings a line end of its own.
        lines_of_text = body[at:separator - 1] if args.attachment else body[at:separator]
        text = b"".join(line + b"\r\n" for line in lines_of_text)
        want = open(args.text, "rb").read()
        if text != want:
            fail("text %r, expected %r" % (text[:300], want[:300]))

    message = email.message_from_bytes(raw, policy=email.policy.compat32)
    parts = message.get_payload()
    if args.extract:
        found = [part for part in parts[1:] if part.get_filename() == "ATTACH.XXX"]
        if len(found) != 1:
            fail("no single ATTACH.XXX part")
        with open(args.extract, "wb") as out:
            out.write(found[0].get_payload(decode=True) or b"")

    if not isinstance(parts, list) or len(parts) != 1 + len(args.attachment):
        fail("%d parts" % (len(parts) if isinstance(parts, list) else 0))
    for part, item in zip(parts[1:], args.attachment):
        name, path = item.split("=", 1)
        if part.get_filename() != name or part.get_param("name") != name:
            fail("attachment name %r, expected %r" % (part.get_filename(), name))
        if part.get("Content-Transfer-Encoding") != "base64":
            fail("attachment encoding %r" % part.get("Content-Transfer-Encoding"))
        encoded = part.get_payload(decode=False).replace("\r\n", "\n").strip("\n").split("\n")
        data = open(path, "rb").read()
        if data:
            if any(len(line) != 76 for line in encoded[:-1]) or not 0 < len(encoded[-1]) <= 76:
                fail("base64 line lengths %r" % sorted(set(len(line) for line in encoded)))
            if len(encoded) != (len(data) + 56) // 57:
                fail("%d base64 lines for %d bytes" % (len(encoded), len(data)))
        if (part.get_payload(decode=True) or b"") != data:
            fail("attachment %s differs from %s" % (name, path))
    print(json.dumps({"headers": [h.split(":")[0] for h in head], "boundary": boundary}))
    return 0


if __name__ == "__main__":
    sys.exit(main())
