#!/usr/bin/python3
"""Independent decoder of the send client's job files.

Reads a job file as the fax server would: unwraps the gateway wrapper
("!MVN::MVN", "!GATEWAY,<compressed>,<encoding>", body, "!GATEWAY-END",
"!MVN-END"), undoes the transport encoding (0 raw, 1 hexadecimal lines,
2 lines in the 64-character alphabet) and the LZSS compression, then splits
the job ("!MVN::MVN", "SENDER-TIME=xxxxxxxx", the optional identity token,
the body, "!MVN-END") into its text lines and its sections
("!NAME,<compressed>,<encoding>[,NAME:<display name>]" ... "!NAME-END").

    jobdecode.py JOBFILE OUTDIR

writes the payload of every section to OUTDIR/<index>-<NAME>.bin (index in
two or more digits, counting from 00 in the order of the job) and prints a
JSON summary on standard output. Malformed input ends with a message on
standard error and exit code 1.

Encoded bodies are checked against the encoders' exact layout: every line is
a blank, the characters and CR LF; the input is encoded in blocks of 8192
bytes, each block in lines of 32 bytes (hexadecimal) or 48 bytes (alphabet),
the last line of a block holding the rest, so alphabet pads also stand
inside a stream. --lenient accepts any line lengths.

A raw (encoding 0) section has no length: when it is the job's only
section (send types 1 to 4, a plain input) it runs to the trailer at the end
of the body; between the lines of a request file it ends at the first
"!NAME-END" line, so a raw attachment that itself holds that line cannot be
told apart.

Only the Python standard library is used; the functions are importable for
tests (decode_job_file, lzss_decode, decode_hex_line, decode64_line, ...).
"""

import argparse
import base64
import datetime
import json
import os
import re
import sys

CRLF = b"\r\n"
BLOCK = 8192
ALPHABET = b"0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz$#"
PAD = b"."
SECTION_NAMES = ("MORVANE", "GATEWAY", "REGISTER", "GROUPDATA", "ATTACHMENT")

# The alphabet has the bit layout of Base64 with other characters, so a line
# is decoded by the base64 module after a translation of its characters.
_STANDARD = b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"
_TO_STANDARD = bytes.maketrans(ALPHABET + PAD, _STANDARD + b"=")
_FROM_STANDARD = bytes.maketrans(_STANDARD + b"=", ALPHABET + PAD)
_ALPHA_LINE = re.compile(rb"(?:[0-9A-Za-z$#]{4})*(?:[0-9A-Za-z$#]{2}\.\.|[0-9A-Za-z$#]{3}\.)?")
_HEX_LINE = re.compile(rb"(?:[0-9A-F]{2})*")
_SECTION_HEADER = re.compile(
    rb"!(" + b"|".join(n.encode() for n in SECTION_NAMES) + rb"),([01]),(-?[0-9]+)(?:,NAME:(.*))?")
_WRAPPER_HEADER = re.compile(rb"!GATEWAY,([01]),(-?[0-9]+)")
_SENDER_TIME = re.compile(rb"SENDER-TIME=([0-9a-f]{8})")
_TRAILER = b"!MVN-END" + CRLF


class JobDecodeError(Exception):
    """The input is not a well-formed job file (message says where)."""


# ---------------------------------------------------------------------------
# LZSS

def lzss_decode(data):
    """Decodes an LZSS stream.

    Groups of one flag byte (bit 0 first; 1 = literal byte, 0 = match of two
    bytes: low 8 bits of the ring position, then the high 4 bits of the
    position in the high nibble and the length minus 3 in the low nibble) and
    up to eight items. The reader's ring of 4096 bytes starts as blanks with
    the write position at 4078; a match copies its bytes one by one from
    ring[(position + k) mod 4096] and stores each at the write position.

    The ring is not kept: the byte at a ring position is the last byte that
    was output at that position (output byte j goes to (4078 + j) mod 4096),
    or a blank when nothing was written there yet.
    """
    out = bytearray()
    n = len(data)
    i = 0
    while i < n:
        flags = data[i]
        i += 1
        for bit in range(8):
            if i >= n:
                break
            if flags & (1 << bit):
                out.append(data[i])
                i += 1
                continue
            if i + 1 >= n:
                raise JobDecodeError("LZSS stream ends inside a match at offset %d" % i)
            low, high = data[i], data[i + 1]
            i += 2
            position = low | ((high & 0xF0) << 4)
            length = (high & 0x0F) + 3
            here = len(out)
            write = (4078 + here) % 4096
            # Distance back to the last output byte stored at the position
            # (4096 when the position is the write position itself).
            distance = (write - position) % 4096 or 4096
            start = here - distance
            if start >= 0 and distance >= length:
                out += out[start:start + length]
            elif start >= 0:
                pattern = out[start:here]
                out += (pattern * (length // distance + 1))[:length]
            else:
                for k in range(length):
                    j = start + k
                    out.append(out[j] if j >= 0 else 0x20)
    return bytes(out)


# ---------------------------------------------------------------------------
# Transport encodings

def decode_hex_line(chars):
    """Two upper-case hexadecimal digits per byte, high half first."""
    if not _HEX_LINE.fullmatch(chars):
        raise JobDecodeError("bad hexadecimal line %r" % chars[:80])
    return bytes.fromhex(chars.decode("ascii"))


def decode64_line(chars):
    """Groups of four alphabet characters to three bytes; "." pads a group
    of one or two bytes at the end of the run. Bits that no byte uses must
    be zero (the encoder never sets them)."""
    if not _ALPHA_LINE.fullmatch(chars):
        raise JobDecodeError("bad 64-character line %r" % chars[:80])
    standard = chars.translate(_TO_STANDARD)
    try:
        data = base64.b64decode(standard, validate=True)
    except ValueError as error:
        raise JobDecodeError("bad 64-character line %r: %s" % (chars[:80], error))
    if base64.b64encode(data) != standard:
        raise JobDecodeError("64-character line %r has stray bits in its last group" % chars[:80])
    return data


def decode64_text(text):
    """Decodes a run of alphabet characters such as a stored identity token."""
    if isinstance(text, str):
        text = text.encode("ascii", "replace")
    return decode64_line(text)


def expected_line_sizes(total, per_line):
    """Byte counts of the lines an encoder writes for total input bytes."""
    sizes = []
    while total > 0:
        block = min(total, BLOCK)
        sizes += [per_line] * (block // per_line)
        if block % per_line:
            sizes.append(block % per_line)
        total -= block
    return sizes


def decode_lines(lines, encoding, strict=True):
    """Decodes the lines (without blank and CR LF) of an encoded body."""
    if encoding == 1:
        decode, per_line = decode_hex_line, 32
    elif encoding == 2:
        decode, per_line = decode64_line, 48
    else:
        raise JobDecodeError("encoding %d has no lines" % encoding)
    parts = [decode(chars) for chars in lines]
    data = b"".join(parts)
    if strict:
        sizes = [len(p) for p in parts]
        expected = expected_line_sizes(len(data), per_line)
        if sizes != expected:
            number = next(i for i in range(max(len(sizes), len(expected)))
                          if i >= len(sizes) or i >= len(expected) or sizes[i] != expected[i])
            got = sizes[number] if number < len(sizes) else None
            want = expected[number] if number < len(expected) else None
            raise JobDecodeError(
                "encoding %d: line %d holds %s bytes where the encoder writes %s (of %d bytes in %d lines)"
                % (encoding, number + 1, got, want, len(data), len(sizes)))
    return data


# ---------------------------------------------------------------------------
# Job file structure

class Section:
    def __init__(self, name, compressed, encoding, display_name):
        self.name = name
        self.compressed = compressed
        self.encoding = encoding
        self.display_name = display_name
        self.has_body = encoding in (0, 1, 2)
        self.encoded_size = 0   # bytes of the body in the job file
        self.lines = None       # encoded lines (encodings 1 and 2)
        self.stored = b""       # after transport decoding
        self.payload = b""      # after decompression

    def summary(self, index):
        entry = {
            "index": index,
            "name": self.name,
            "compressed": self.compressed,
            "encoding": self.encoding,
            "display_name": self.display_name,
            "encoded_size": self.encoded_size,
            "stored_size": len(self.stored),
            "size": len(self.payload),
            "file": section_file_name(index, self.name),
        }
        if self.lines is not None:
            entry["lines"] = self.lines
        if not self.has_body:
            entry["body"] = False
        return entry


class Job:
    def __init__(self):
        self.wrapper = None         # dict when the job came in a gateway wrapper
        self.sender_time = None     # the eight hexadecimal digits
        self.identity_token = None  # the stored form, when present
        self.body = []              # text lines (bytes) and Section objects in order

    @property
    def sections(self):
        return [item for item in self.body if isinstance(item, Section)]

    @property
    def lines(self):
        return [item for item in self.body if not isinstance(item, Section)]

    def summary(self):
        sections = self.sections
        body = []
        for item in self.body:
            if isinstance(item, Section):
                body.append({"section": sections.index(item)})
            else:
                body.append({"line": _text(item)})
        return {
            "wrapper": self.wrapper,
            "SENDER-TIME": self.sender_time,
            "sender_time_utc": sender_time_utc(self.sender_time),
            "identity_token": _token_summary(self.identity_token),
            "section_names": [s.name for s in sections],
            "sections": [s.summary(i) for i, s in enumerate(sections)],
            "body": body,
        }


def section_file_name(index, name):
    return "%02d-%s.bin" % (index, name)


def sender_time_utc(digits):
    """SENDER-TIME as a UTC date (seconds since 1970, modulo 2^32)."""
    if digits is None:
        return None
    moment = datetime.datetime(1970, 1, 1, tzinfo=datetime.timezone.utc) + \
        datetime.timedelta(seconds=int(digits, 16))
    return moment.strftime("%Y-%m-%dT%H:%M:%SZ")


def _text(raw):
    return raw.decode("utf-8", "surrogateescape")


def _token_summary(stored):
    if stored is None:
        return None
    entry = {"stored": _text(stored), "clear_hex": None, "clear_text": None, "error": None}
    try:
        clear = decode64_line(stored)
        entry["clear_hex"] = clear.hex()
        entry["clear_text"] = _text(clear)
    except JobDecodeError as error:
        # The token is copied from the configuration as it is stored there;
        # a value that is not in the alphabet is reported, not fatal.
        entry["error"] = str(error)
    return entry


class _Reader:
    """Lines of a byte range that end with CR LF."""

    def __init__(self, data, pos, end, what):
        self.data, self.pos, self.end, self.what = data, pos, end, what

    def line(self):
        if self.pos >= self.end:
            raise JobDecodeError("%s: unexpected end at offset %d" % (self.what, self.pos))
        cut = self.data.find(CRLF, self.pos, self.end)
        if cut < 0:
            raise JobDecodeError("%s: line at offset %d does not end with CR LF" % (self.what, self.pos))
        text = self.data[self.pos:cut]
        self.pos = cut + 2
        return text

    def expect(self, text):
        at = self.pos
        got = self.line()
        if got != text:
            raise JobDecodeError("%s: offset %d: expected %r, found %r" % (self.what, at, text, got[:80]))


def _encoded_lines(reader, trailer):
    """The encoded lines of a body up to (and consuming) the trailer line."""
    lines = []
    start = reader.pos
    while True:
        at = reader.pos
        line = reader.line()
        if line == trailer:
            return lines, at - start
        if not line.startswith(b" "):
            raise JobDecodeError("%s: offset %d: encoded line does not begin with a blank and no %r found: %r"
                                 % (reader.what, at, trailer, line[:80]))
        lines.append(line[1:])


def _parse_body(data, pos, end, strict):
    """Body items from pos to end.

    A body that begins with a section header is that one section (send
    types 1 to 4, and a plain input of send type 0): it runs to the end of
    the body, so a raw section's trailer is the one at the very end. Any
    other body is a request file copied line by line, with attachment
    sections standing in place of attachment lines; there a raw section ends
    at the first trailer line after its header.
    """
    items = []
    reader = _Reader(data, pos, end, "job body")
    first_end = data.find(CRLF, pos, end)
    single = first_end >= 0 and _SECTION_HEADER.fullmatch(data[pos:first_end]) is not None
    while reader.pos < end:
        at = reader.pos
        line = reader.line()
        header = _SECTION_HEADER.fullmatch(line)
        if not header:
            items.append(line)
            continue
        name = header.group(1).decode()
        where = "section %s at offset %d" % (name, at)
        section = Section(name, int(header.group(2)), int(header.group(3)),
                          _text(header.group(4)) if header.group(4) is not None else None)
        trailer = ("!%s-END" % name).encode()
        if section.encoding in (1, 2):
            lines, section.encoded_size = _encoded_lines(reader, trailer)
            section.lines = len(lines)
            try:
                section.stored = decode_lines(lines, section.encoding, strict)
            except JobDecodeError as error:
                raise JobDecodeError("%s: %s" % (where, error))
        elif section.encoding == 0:
            # Raw bytes directly followed by the trailer.
            marker = trailer + CRLF
            if single:
                cut = end - len(marker) if data.endswith(marker, reader.pos, end) else -1
            else:
                cut = data.find(marker, reader.pos, end)
            if cut < 0:
                raise JobDecodeError("job body: raw %s has no %r%s"
                                     % (where, trailer, " at the end of the body" if single else ""))
            section.stored = data[reader.pos:cut]
            section.encoded_size = cut - reader.pos
            reader.pos = cut + len(marker)
        else:
            # An encoding the builder does not know writes no body.
            reader.expect(trailer)
        section.payload = _decompress(section, where)
        items.append(section)
        if single and reader.pos != end:
            raise JobDecodeError("job body: offset %d: text after the job's only section %s"
                                 % (reader.pos, name))
    return items


def _decompress(section, where):
    if not section.compressed:
        return section.stored
    try:
        return lzss_decode(section.stored)
    except JobDecodeError as error:
        raise JobDecodeError("%s: %s" % (where, error))


def parse_job(data, strict=True):
    """Parses an unwrapped job file."""
    job = Job()
    reader = _Reader(data, 0, len(data), "job")
    reader.expect(b"!MVN::MVN")
    at = reader.pos
    line = reader.line()
    match = _SENDER_TIME.fullmatch(line)
    if not match:
        raise JobDecodeError("job: offset %d: expected SENDER-TIME=<8 lower-case hex digits>, found %r"
                             % (at, line[:80]))
    job.sender_time = match.group(1).decode()
    if data.startswith(b"!IDENTITYTOKEN", reader.pos):
        reader.expect(b"!IDENTITYTOKEN,0,2")
        at = reader.pos
        token = reader.line()
        if not token.startswith(b" ") or len(token) < 2:
            raise JobDecodeError("job: offset %d: identity token line must be a blank and the token" % at)
        job.identity_token = token[1:]
        reader.expect(b"!IDENTITYTOKEN-END")
    if not data.endswith(_TRAILER) or len(data) - len(_TRAILER) < reader.pos:
        raise JobDecodeError("job: does not end with the line !MVN-END")
    job.body = _parse_body(data, reader.pos, len(data) - len(_TRAILER), strict)
    return job


def unwrap(data, strict=True):
    """Returns (inner job bytes, wrapper summary) or (data, None) when the
    file is not a gateway wrapper."""
    reader = _Reader(data, 0, len(data), "wrapper")
    reader.expect(b"!MVN::MVN")
    at = reader.pos
    line = reader.line()
    header = _WRAPPER_HEADER.fullmatch(line)
    if not header:
        if line.startswith(b"!GATEWAY"):
            raise JobDecodeError("wrapper: offset %d: bad header %r" % (at, line[:80]))
        return data, None
    compressed, encoding = int(header.group(1)), int(header.group(2))
    closing = b"!GATEWAY-END" + CRLF + _TRAILER
    if not data.endswith(closing) or len(data) - len(closing) < reader.pos:
        raise JobDecodeError("wrapper: does not end with the lines !GATEWAY-END and !MVN-END")
    body_start, body_end = reader.pos, len(data) - len(closing)
    summary = {"compressed": compressed, "encoding": encoding}
    if encoding == 0:
        stored = data[body_start:body_end]
    elif encoding in (1, 2):
        body = _Reader(data, body_start, body_end + len(b"!GATEWAY-END" + CRLF), "wrapper body")
        lines, _ = _encoded_lines(body, b"!GATEWAY-END")
        if body.pos != body_end + len(b"!GATEWAY-END" + CRLF):
            raise JobDecodeError("wrapper: text after the encoded body")
        summary["lines"] = len(lines)
        stored = decode_lines(lines, encoding, strict)
    else:
        raise JobDecodeError("wrapper: encoding %d: the job was written without a body" % encoding)
    summary["encoded_size"] = body_end - body_start
    summary["stored_size"] = len(stored)
    if compressed:
        try:
            inner = lzss_decode(stored)
        except JobDecodeError as error:
            raise JobDecodeError("wrapper: %s" % error)
    else:
        inner = stored
    summary["job_size"] = len(inner)
    return inner, summary


def decode_job_file(data, strict=True):
    """Decodes the bytes of a job file (wrapped or not) into a Job."""
    inner, wrapper = unwrap(data, strict)
    try:
        job = parse_job(inner, strict)
    except JobDecodeError as error:
        if wrapper is not None:
            raise JobDecodeError("inside the gateway wrapper: %s" % error)
        raise
    job.wrapper = wrapper
    return job


def write_outputs(job, outdir):
    """Writes every section's payload into outdir; returns the summary."""
    os.makedirs(outdir, exist_ok=True)
    for index, section in enumerate(job.sections):
        with open(os.path.join(outdir, section_file_name(index, section.name)), "wb") as out:
            out.write(section.payload)
    return job.summary()


def main(argv=None):
    parser = argparse.ArgumentParser(description="Decode a send-client job file into its sections.")
    parser.add_argument("jobfile")
    parser.add_argument("outdir")
    parser.add_argument("--lenient", action="store_true",
                        help="accept encoded lines of any length (the data is still decoded)")
    args = parser.parse_args(argv)
    try:
        with open(args.jobfile, "rb") as source:
            data = source.read()
        job = decode_job_file(data, strict=not args.lenient)
        summary = write_outputs(job, args.outdir)
    except (JobDecodeError, OSError) as error:
        print("jobdecode: %s: %s" % (args.jobfile, error), file=sys.stderr)
        return 1
    summary = dict(job_file=args.jobfile, size=len(data), **summary)
    json.dump(summary, sys.stdout, indent=2)
    sys.stdout.write("\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
