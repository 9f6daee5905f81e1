#!/usr/bin/env bash
# Runs the main job: builds the send client and the drop-directory delivery
# module (release preset; the build's output is shown only when it fails),
# sends a sample fax request with a PostScript attachment through mvncsend,
# and tells what happened: mvncsend's outcome, the consumed request file and
# attachment, and the delivery frame that landed in the fax server's intake
# directory, with the job inside it decoded.
#
# Everything lives in build/demo: the machine root, the send client's INI
# file, the client's request file and attachment, the working directories
# and the intake directory the server would watch.
set -euo pipefail
cd "$(dirname "$0")"
./tools/install-deps.sh
# Quiet when the build succeeds; its whole output when it fails.
build_log=$(mktemp)
trap 'rm -f "$build_log"' EXIT
if ! { cmake --preset release && cmake --build --preset release --target mvncsend dlvlocal; } >"$build_log" 2>&1; then
  cat "$build_log" >&2
  echo "run.sh: the build failed (its output is above)" >&2
  exit 1
fi

demo="$PWD/build/demo"
rm -rf "$demo"
mkdir -p "$demo/root/windows" "$demo/client"

# The send client's configuration, where an installed machine keeps it.
cat > "$demo/root/windows/mvncsend.INI" <<INI
[mvncsend]
DeliveryModule=$PWD/build/release/delivery/local/dlvlocal.so
WorkingPath=$demo/work
OutputLocation=$demo/intake
YourName=Ann Smith
YourEmailAddress=ann@example.test
INI

# What the fax client hands over: a request file and its attachment.
cat > "$demo/client/invoice.ps" <<'PS'
%!PS-Adobe-3.0
%%Pages: 1
/Helvetica findfont 14 scalefont setfont
72 720 moveto (Invoice 2003-1224) show
72 700 moveto (Total due: 1,250.00) show
showpage
PS
printf '%s\r\n' '!MVN - DASHPOST V5.0 (Tolvar)' '' '!PASSTHROUGH' 'From:Ann Smith' 'UserId:ann@example.test' \
  'Reference:Invoice 2003-1224' 'Notification:ALL' '' '!TARGET' 'Destination:+44 20 7946 0000' 'To:Bob Jones' \
  'Company:Example Ltd' '' '!PASSTHROUGH-END' '' "!ExtAttachment,invoice.ps,$demo/client/invoice.ps" '' \
  '!MVN-END' > "$demo/client/Faxout.tmp"
cp "$demo/client/invoice.ps" "$demo/invoice.ps.original"

echo "sending $demo/client/Faxout.tmp (a fax request for +44 20 7946 0000) with its attachment invoice.ps"
status=0
MVN_ROOT="$demo/root" build/release/sendclient/mvncsend "$demo/client/Faxout.tmp" || status=$?
if [ "$status" -ne 0 ]; then
  echo "mvncsend failed with exit code $status; the job, if one was built, waits in $demo/work/X" >&2
  exit "$status"
fi
echo "mvncsend sent it (exit code 0)."
for f in Faxout.tmp invoice.ps; do
  if [ -e "$demo/client/$f" ]; then
    echo "run.sh: $demo/client/$f should have been consumed but is still there" >&2
    exit 1
  fi
done
echo "The request file and its attachment were consumed: $demo/client is empty now."

frames=("$demo"/intake/MVN*)
if [ ${#frames[@]} -ne 1 ] || [ ! -f "${frames[0]}" ]; then
  echo "run.sh: expected one delivery frame in $demo/intake, found: $(ls -A "$demo/intake" 2>/dev/null)" >&2
  exit 1
fi
frame=${frames[0]}
echo
echo "The delivery frame is $frame ($(stat -c %s "$frame") bytes),"
echo "where the fax server would pick it up. Its header lines:"
sed -n '1,/^SENDER-ADDRESS=/p' "$frame" | tr -d '\r' | sed 's/^/  /'
# The job file is the frame between its header lines and its last line.
job="$demo/job.bin"
/usr/bin/python3 - "$frame" "$job" <<'PY'
import sys
data = open(sys.argv[1], "rb").read()
lines = data.split(b"\r\n")
header = 0
while header < len(lines) and not lines[header].startswith(b"SENDER-ADDRESS="):
    header += 1
start = len(b"\r\n".join(lines[:header + 1])) + 2
trailer = b"!MVN-END\r\n"
assert data.endswith(trailer)
open(sys.argv[2], "wb").write(data[start:len(data) - len(trailer)])
PY
/usr/bin/python3 tests/tools/jobdecode.py "$job" "$demo/decoded" > "$demo/decoded.json"
/usr/bin/python3 - "$demo" <<'PY'
import json, sys
demo = sys.argv[1]
job = json.load(open(demo + "/decoded.json"))
encodings = {0: "not encoded", 1: "in hexadecimal lines", 2: "in the 64-character alphabet"}
w = job["wrapper"]
print()
print("Inside the frame, the job (decoded here by tests/tools/jobdecode.py):")
if w:
    print("- It travels in a gateway wrapper, %s and %s: %d bytes of the frame hold the %d-byte job."
          % ("compressed" if w["compressed"] else "not compressed", encodings.get(w["encoding"], "encoded"),
             w["encoded_size"], w["job_size"]))
print("- Its sender time is %s (%s)." % (job["SENDER-TIME"], job["sender_time_utc"]))
lines = [item["line"] for item in job["body"] if "line" in item]
print("- It carries the request file's lines (%d, from %r to %r), with the attachment's"
      % (len(lines), lines[0], lines[-1]))
print("  section in place of the !ExtAttachment line:")
for s in job["sections"]:
    print("- Section %d, %s \"%s\": %d bytes, %s and %s, written to %s/decoded/%s."
          % (s["index"], s["name"], s["display_name"] or "", s["size"],
             "compressed" if s["compressed"] else "not compressed", encodings.get(s["encoding"], "encoded"),
             demo, s["file"]))
same = open(demo + "/decoded/00-ATTACHMENT.bin", "rb").read() == open(demo + "/invoice.ps.original", "rb").read()
print("- The attachment is %s the original invoice.ps." % ("byte for byte" if same else "NOT the same as"))
sys.exit(0 if same else 1)
PY
