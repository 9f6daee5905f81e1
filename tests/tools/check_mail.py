#!/usr/bin/python3
"""Checks a mail of the SMTP delivery modules against its job file.

    check_mail.py MAIL JOBFILE --to X --from Y --reply-to Z --sender-defaults yes|no [--extract OUT]

MAIL holds the message bytes as the server received them. The checks: the
exact layout (header lines in order, the blank lines, the boundary, the
attachment part's header, base64 lines of 64 characters with only the last
one shorter, the final boundary, CR LF line ends throughout); then Python's
email package parses the mail, and the part named "ATTACH.XXX", decoded,
must equal JOBFILE byte for byte. Prints {"boundary": ...} as JSON and exits
0, or prints what differs on standard error and exits 1. With --extract the
decoded attachment is written to OUT and JOBFILE "-" skips the comparison
(for a job that no longer exists, e.g. after the send client deleted it).
"""

import argparse
import email
import email.policy
import json
import re
import sys

UUID = re.compile(r"^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$")
BASE64_LINE = re.compile(r"^[A-Za-z0-9+/]*={0,2}$")


def fail(text):
    print(text, file=sys.stderr)
    sys.exit(1)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("mail")
    parser.add_argument("job")
    parser.add_argument("--to", required=True)
    parser.add_argument("--from", dest="sender", required=True)
    parser.add_argument("--reply-to", default="")
    parser.add_argument("--sender-defaults", default="no")
    parser.add_argument("--extract")
    args = parser.parse_args()
    raw = open(args.mail, "rb").read()
    job = None if args.job == "-" else open(args.job, "rb").read()

    if not raw.endswith(b"\r\n"):
        fail("the mail does not end with CR LF")
    if b"\n" in raw.replace(b"\r\n", b"") or b"\r" in raw.replace(b"\r\n", b""):
        fail("a line end other than CR LF")
    lines = raw[:-2].decode("ascii").split("\r\n")
    # The end of data adds one empty line after the final boundary (an
    # epilogue that MIME readers ignore).
    if len(lines) > 1 and lines[-1] == "" and lines[-2].endswith("--"):
        lines.pop()
    content_type = lines[5] if len(lines) > 5 else ""
    found = re.fullmatch(r'Content-Type: multipart/mixed; boundary="([^"]*)"', content_type)
    if not found or not UUID.match(found.group(1)):
        fail("bad Content-Type line: %r" % content_type)
    boundary = found.group(1)
    head = [
        "To: <%s>" % args.to,
        "From: <%s>" % args.sender,
        "Subject: MVN::SEND,SENDER-DEFAULTS=%s" % args.sender_defaults,
        "Reply-To: <%s>" % args.reply_to,
        "MIME-Version: 1.0",
        content_type,
        "",
        "This is a multi-part message in MIME format.",
        "",
        "",
        "--" + boundary,
        'Content-Type: application/octet-stream; name="ATTACH.XXX"',
        'Content-Disposition: attachment; filename="ATTACH.XXX"',
        "Content-Transfer-Encoding: base64",
        "",
    ]
    for index, expected in enumerate(head):
        if index >= len(lines) or lines[index] != expected:
            fail("line %d: %r, expected %r" % (index + 1, lines[index] if index < len(lines) else None, expected))
    if lines[-1] != "--%s--" % boundary:
        fail("last line %r is not the final boundary" % lines[-1])
    body = lines[len(head):-1]
    for index, line in enumerate(body):
        if not BASE64_LINE.match(line):
            fail("body line %d is not base64: %r" % (index + 1, line))
        if index < len(body) - 1 and len(line) != 64:
            fail("body line %d has %d characters" % (index + 1, len(line)))
        if "=" in line and index != len(body) - 1:
            fail("pad before the last line")
    if body and len(body[-1]) % 4:
        fail("last body line is not whole groups")
    if job is not None and len(body) != (len(job) + 47) // 48:
        fail("%d body lines for %d bytes" % (len(body), len(job)))

    message = email.message_from_bytes(raw, policy=email.policy.default)
    parts = [part for part in message.walk() if part.get_filename() == "ATTACH.XXX"]
    if len(parts) != 1:
        fail("%d parts named ATTACH.XXX" % len(parts))
    payload = parts[0].get_payload(decode=True) or b""
    if args.extract:
        with open(args.extract, "wb") as out:
            out.write(payload)
    if job is not None and payload != job:
        fail("the attachment differs from the job file (%d bytes, job %d)" % (len(payload), len(job)))
    if message["Date"] is not None or message["Message-ID"] is not None:
        fail("the mail has a Date or Message-ID")
    print(json.dumps({"boundary": boundary}))
    return 0


if __name__ == "__main__":
    sys.exit(main())
