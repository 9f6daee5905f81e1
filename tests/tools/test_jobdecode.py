#!/usr/bin/python3
"""Tests of the job-file decoder (jobdecode.py).

The job files here are put together by small encoders of this file: the
hexadecimal and 64-character encoders with their 8192-byte blocks, and an
LZSS writer that codes every byte as a literal (a valid stream that any
reader must accept). The coder's own output is decoded by the send client's
LZSS tests through the command line.
"""

import json
import os
import random
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import jobdecode  # noqa: E402
from jobdecode import JobDecodeError  # noqa: E402

SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "jobdecode.py")
ALPHABET = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz$#"


def encode64(data):
    """Groups of three bytes to four characters, "." for missing bytes."""
    out = []
    for i in range(0, len(data), 3):
        b = data[i:i + 3]
        b0 = b[0]
        b1 = b[1] if len(b) > 1 else 0
        b2 = b[2] if len(b) > 2 else 0
        out.append(ALPHABET[b0 >> 2])
        out.append(ALPHABET[((b0 & 3) << 4) | (b1 >> 4)])
        out.append(ALPHABET[((b1 & 15) << 2) | (b2 >> 6)] if len(b) > 1 else ".")
        out.append(ALPHABET[b2 & 63] if len(b) > 2 else ".")
    return "".join(out).encode()


def encoded_body(data, encoding, block=8192):
    """The lines an encoder writes: per block of input, groups of 32 bytes
    (hexadecimal) or 48 bytes (alphabet), each line a blank, the characters
    and CR LF."""
    if encoding == 0:
        return data
    per_line = 32 if encoding == 1 else 48
    out = b""
    for start in range(0, len(data), block):
        chunk = data[start:start + block]
        for i in range(0, len(chunk), per_line):
            group = chunk[i:i + per_line]
            chars = group.hex().upper().encode() if encoding == 1 else encode64(group)
            out += b" " + chars + b"\r\n"
    return out


def literal_lzss(data):
    out = bytearray()
    for i in range(0, len(data), 8):
        group = data[i:i + 8]
        out.append((1 << len(group)) - 1)
        out += group
    return bytes(out)


def section(name, payload, compressed=0, encoding=1, display=None):
    stored = literal_lzss(payload) if compressed else payload
    header = "!%s,%d,%d" % (name, compressed, encoding)
    if display:
        header += ",NAME:" + display
    return header.encode() + b"\r\n" + encoded_body(stored, encoding) + ("!%s-END\r\n" % name).encode()


def job(body, token=None, time="3ae8d086"):
    out = b"!MVN::MVN\r\nSENDER-TIME=" + time.encode() + b"\r\n"
    if token is not None:
        out += b"!IDENTITYTOKEN,0,2\r\n " + token + b"\r\n!IDENTITYTOKEN-END\r\n"
    return out + body + b"!MVN-END\r\n"


def wrap(inner, compressed, encoding):
    stored = literal_lzss(inner) if compressed else inner
    return (b"!MVN::MVN\r\n" + ("!GATEWAY,%d,%d\r\n" % (compressed, encoding)).encode() +
            encoded_body(stored, encoding) + b"!GATEWAY-END\r\n!MVN-END\r\n")


def random_bytes(size, seed):
    return random.Random(seed).randbytes(size)


class LzssTest(unittest.TestCase):
    VECTORS = [
        (b"", ""),
        (b"A", "01 41"),
        (b"abc", "07 61 62 63"),
        (b"     ", "00 ED F2"),
        (b" " * 18, "00 DC FF"),
        (b"ABCDEFGH", "FF 41 42 43 44 45 46 47 48"),
        (b"ABCDEFGHI", "FF 41 42 43 44 45 46 47 48 01 49"),
        (b"abcabcabcabc", "07 61 62 63 EE F6"),
        (b"x" * 100, "01 78 EE FF 00 0F 12 0F 24 0F 36 0F 40 06"),
    ]

    def test_vectors(self):
        for clear, code in self.VECTORS:
            with self.subTest(clear=clear[:20]):
                self.assertEqual(jobdecode.lzss_decode(bytes.fromhex(code)), clear)

    def test_matches_reach_back_a_whole_ring(self):
        # 4096 literals fill the ring; a match at the write position then
        # copies the bytes written 4096 earlier, one by one.
        data = random_bytes(4096 + 8, 1)  # whole groups, so the match starts a group
        code = literal_lzss(data)
        w = (4078 + len(data)) % 4096
        code += bytes([0, w & 0xFF, ((w >> 4) & 0xF0) | (18 - 3)])
        expected = data + data[len(data) - 4096:len(data) - 4096 + 18]
        self.assertEqual(jobdecode.lzss_decode(code), expected)
        # A match into the part of the ring still blank after a few literals.
        self.assertEqual(jobdecode.lzss_decode(bytes([0b01, 0x41, 0x00, 0x05])), b"A" + b" " * 8)

    def test_literal_only_streams(self):
        for size in (1, 7, 8, 9, 5000):
            data = random_bytes(size, size)
            self.assertEqual(jobdecode.lzss_decode(literal_lzss(data)), data)

    def test_match_cut_off_is_an_error(self):
        for code in ("00 ED", "FF 41 42 43 44 45 46 47 48 00 12"):
            with self.subTest(code=code), self.assertRaises(JobDecodeError):
                jobdecode.lzss_decode(bytes.fromhex(code))


class EncodingTest(unittest.TestCase):
    def test_vectors(self):
        self.assertEqual(jobdecode.decode64_line(b"OM9Z"), b"abc")
        self.assertEqual(jobdecode.decode64_line(b"OG.."), b"a")
        self.assertEqual(jobdecode.decode64_line(b"OM8."), b"ab")
        self.assertEqual(jobdecode.decode_hex_line(b"616263"), b"abc")
        self.assertEqual(jobdecode.decode64_line(b""), b"")

    def test_line_layout(self):
        for size, encoding, lengths in [
            (8192, 2, [64] * 170 + [44]),
            (8193, 2, [64] * 170 + [44, 4]),
            (100, 1, [64, 64, 64, 8]),
            (16384 + 50, 2, ([64] * 170 + [44]) * 2 + [64, 4]),
        ]:
            with self.subTest(size=size, encoding=encoding):
                data = random_bytes(size, size)
                lines = encoded_body(data, encoding).split(b"\r\n")[:-1]
                self.assertEqual([len(line) - 1 for line in lines], lengths)
                self.assertEqual(jobdecode.decode_lines([line[1:] for line in lines], encoding), data)

    def test_bad_lines(self):
        for chars, decode in [
            (b"616", jobdecode.decode_hex_line),
            (b"61626g", jobdecode.decode_hex_line),
            (b"6162ab", jobdecode.decode_hex_line),    # lower case is not written
            (b"OM9", jobdecode.decode64_line),
            (b"OM+Z", jobdecode.decode64_line),
            (b"OM9=", jobdecode.decode64_line),
            (b"OG..OM9Z", jobdecode.decode64_line),    # pad inside a line
            (b"O...", jobdecode.decode64_line),
            (b"OH..", jobdecode.decode64_line),        # bits no byte uses
        ]:
            with self.subTest(chars=chars), self.assertRaises(JobDecodeError):
                decode(chars)

    def test_lines_not_restarted_at_blocks(self):
        data = random_bytes(9000, 3)
        lines = encoded_body(data, 2, block=1 << 30).split(b"\r\n")[:-1]
        chars = [line[1:] for line in lines]
        with self.assertRaises(JobDecodeError):
            jobdecode.decode_lines(chars, 2)
        self.assertEqual(jobdecode.decode_lines(chars, 2, strict=False), data)


class JobTest(unittest.TestCase):
    def test_sender_time(self):
        decoded = jobdecode.decode_job_file(job(b""))
        self.assertEqual(decoded.sender_time, "3ae8d086")
        self.assertEqual(decoded.summary()["sender_time_utc"], "2001-04-27T01:51:02Z")
        self.assertEqual(decoded.body, [])
        self.assertIsNone(decoded.wrapper)

    def test_request_job_in_every_wrapper(self):
        attachment = random_bytes(20000, 4)
        text = b"line one\r\nline two"
        body = (b"!mvn\r\na \r\nb\r\n!PASSTHROUGH\r\n" +
                section("ATTACHMENT", text, 0, 1, "Report, final") +
                section("ATTACHMENT", attachment, 1, 2, "scan.tif") +
                section("ATTACHMENT", attachment, 1, 0, "raw") +
                section("ATTACHMENT", text, 0, 0, "no line end") +
                b"!ExtAttachment,Missing,gone.txt\r\n!MVN-END\r\n")
        inner = job(body, token=b"OM9Z")
        for compressed in (0, 1):
            for encoding in (0, 1, 2):
                with self.subTest(compressed=compressed, encoding=encoding):
                    decoded = jobdecode.decode_job_file(wrap(inner, compressed, encoding))
                    summary = decoded.summary()
                    self.assertEqual(summary["wrapper"]["compressed"], compressed)
                    self.assertEqual(summary["wrapper"]["encoding"], encoding)
                    self.assertEqual(summary["wrapper"]["job_size"], len(inner))
                    self.assertEqual(summary["identity_token"]["clear_text"], "abc")
                    self.assertEqual(summary["section_names"], ["ATTACHMENT"] * 4)
                    self.assertEqual([s.payload for s in decoded.sections], [text, attachment, attachment, text])
                    self.assertEqual([s["display_name"] for s in summary["sections"]],
                                     ["Report, final", "scan.tif", "raw", "no line end"])
                    self.assertEqual([(s["compressed"], s["encoding"]) for s in summary["sections"]],
                                     [(0, 1), (1, 2), (1, 0), (0, 0)])
                    self.assertEqual(summary["body"], [
                        {"line": "!mvn"}, {"line": "a "}, {"line": "b"}, {"line": "!PASSTHROUGH"},
                        {"section": 0}, {"section": 1}, {"section": 2}, {"section": 3},
                        {"line": "!ExtAttachment,Missing,gone.txt"}, {"line": "!MVN-END"}])

    def test_single_raw_section_may_hold_its_trailer(self):
        # The only section of a job runs to the end of the body.
        payload = b"before\r\n!MORVANE-END\r\nafter"
        decoded = jobdecode.decode_job_file(job(section("MORVANE", payload, 0, 0)))
        self.assertEqual(decoded.sections[0].payload, payload)

    def test_group_and_unknown_encoding(self):
        decoded = jobdecode.decode_job_file(job(section("GROUPDATA", b"a,b\r\n", 0, 1, "Sales")))
        self.assertEqual(decoded.sections[0].display_name, "Sales")
        self.assertEqual(decoded.sections[0].payload, b"a,b\r\n")
        # A section with an encoding the builder does not know has no body.
        decoded = jobdecode.decode_job_file(job(b"!REGISTER,0,7\r\n!REGISTER-END\r\n"))
        self.assertEqual(decoded.summary()["sections"][0]["body"], False)

    def test_identity_token_not_in_the_alphabet_is_reported(self):
        summary = jobdecode.decode_job_file(job(b"", token=b"not+alphabet")).summary()
        self.assertEqual(summary["identity_token"]["stored"], "not+alphabet")
        self.assertIsNone(summary["identity_token"]["clear_hex"])
        self.assertIn("bad 64-character line", summary["identity_token"]["error"])

    def test_malformed(self):
        good = job(section("MORVANE", b"data", 0, 1))
        for name, data in [
            ("empty file", b""),
            ("no first line", good[len(b"!MVN::MVN\r\n"):]),
            ("upper-case time", job(b"", time="3AE8D086")),
            ("short time", job(b"", time="3ae8d08")),
            ("lone LF", good.replace(b"\r\n", b"\n")),
            ("no closing line", good[:-len(b"!MVN-END\r\n")]),
            ("section without trailer", job(b"!MORVANE,0,1\r\n 6465\r\n")),
            ("raw section without trailer", job(b"!MVN\r\n!MORVANE,0,0\r\nabc")),
            ("text after the only section", job(section("MORVANE", b"x", 0, 1) + b"extra\r\n")),
            ("bad line in section", job(b"!MORVANE,0,1\r\n 64G5\r\n!MORVANE-END\r\n")),
            ("truncated compressed section", job(b"!MORVANE,1,1\r\n 00ED\r\n!MORVANE-END\r\n")),
            ("token line without blank", good.replace(b"3ae8d086\r\n", b"3ae8d086\r\n!IDENTITYTOKEN,0,2\r\n"
                                                      b"OM9Z\r\n!IDENTITYTOKEN-END\r\n")),
            ("wrapper without closing lines", wrap(good, 0, 2)[:-len(b"!MVN-END\r\n")]),
            ("wrapper without body", b"!MVN::MVN\r\n!GATEWAY,0,3\r\n!GATEWAY-END\r\n!MVN-END\r\n"),
            ("bad wrapper header", b"!MVN::MVN\r\n!GATEWAY,2,2\r\n!GATEWAY-END\r\n!MVN-END\r\n"),
            ("truncated compressed wrapper", b"!MVN::MVN\r\n!GATEWAY,1,1\r\n 00ED\r\n!GATEWAY-END\r\n!MVN-END\r\n"),
            ("broken inner job", wrap(good[:-3], 0, 2)),
        ]:
            with self.subTest(name=name), self.assertRaises(JobDecodeError):
                jobdecode.decode_job_file(data)


class CommandLineTest(unittest.TestCase):
    def run_script(self, data, *options):
        with tempfile.TemporaryDirectory() as directory:
            path = os.path.join(directory, "MVN1A.TMP")
            with open(path, "wb") as out:
                out.write(data)
            outdir = os.path.join(directory, "out")
            result = subprocess.run([sys.executable, SCRIPT, path, outdir, *options], capture_output=True)
            files = {}
            if os.path.isdir(outdir):
                for name in sorted(os.listdir(outdir)):
                    with open(os.path.join(outdir, name), "rb") as f:
                        files[name] = f.read()
            return result, files

    def test_writes_sections_and_summary(self):
        inner = job(section("MORVANE", b"%!PS\r\nshowpage\r\n", 1, 1), token=b"OM8.")
        result, files = self.run_script(wrap(inner, 1, 2))
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(files, {"00-MORVANE.bin": b"%!PS\r\nshowpage\r\n"})
        summary = json.loads(result.stdout)
        self.assertEqual(summary["SENDER-TIME"], "3ae8d086")
        self.assertEqual(summary["identity_token"]["clear_text"], "ab")
        self.assertEqual(summary["sections"][0]["file"], "00-MORVANE.bin")
        self.assertEqual(summary["sections"][0]["size"], 16)

    def test_malformed_input_exits_1(self):
        result, files = self.run_script(b"!MVN::MVN\r\nSENDER-TIME=xyz\r\n!MVN-END\r\n")
        self.assertEqual(result.returncode, 1)
        self.assertIn(b"SENDER-TIME", result.stderr)
        self.assertEqual(result.stdout, b"")
        self.assertEqual(files, {})

    def test_missing_file_exits_1(self):
        result = subprocess.run([sys.executable, SCRIPT, "/nonexistent/job", "/tmp/never"], capture_output=True)
        self.assertEqual(result.returncode, 1)
        self.assertIn(b"/nonexistent/job", result.stderr)

    def test_lenient_layout(self):
        data = random_bytes(9000, 5)
        body = b"!MORVANE,0,2\r\n" + encoded_body(data, 2, block=1 << 30) + b"!MORVANE-END\r\n"
        result, _ = self.run_script(job(body))
        self.assertEqual(result.returncode, 1)
        result, files = self.run_script(job(body), "--lenient")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(files["00-MORVANE.bin"], data)


if __name__ == "__main__":
    unittest.main()
