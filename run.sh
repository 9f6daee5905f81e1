#!/usr/bin/env bash
# Runs the main job: builds the send client and the drop-directory delivery
# module (release preset), sends a sample fax request with a PostScript
# attachment through mvncsend, and shows the delivery frame that landed in
# the fax server's intake directory, with the job inside it decoded.
#
# Everything lives in build/demo: the machine root, the send client's INI
# file, the client's request file and attachment, the working directories
# and the intake directory the server would watch.
set -euo pipefail
cd "$(dirname "$0")"
./tools/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release --target mvncsend dlvlocal >/dev/null

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

MVN_ROOT="$demo/root" build/release/sendclient/mvncsend "$demo/client/Faxout.tmp"
echo "mvncsend exit code: $?"

frame=$(ls "$demo"/intake/MVN*)
echo "delivery frame in the intake directory: $frame ($(stat -c %s "$frame") bytes)"
echo "its header lines:"
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
print("gateway wrapper:", job["wrapper"])
print("SENDER-TIME:", job["SENDER-TIME"], "=", job["sender_time_utc"])
for s in job["sections"]:
    print("section %d: %s compressed=%d encoding=%d name=%r, %d bytes -> %s/decoded/%s"
          % (s["index"], s["name"], s["compressed"], s["encoding"], s["display_name"], s["size"], demo, s["file"]))
lines = [item["line"] for item in job["body"] if "line" in item]
print("request lines carried:", len(lines), "(first: %r, last: %r)" % (lines[0], lines[-1]))
same = open(demo + "/decoded/00-ATTACHMENT.bin", "rb").read() == open(demo + "/invoice.ps.original", "rb").read()
print("attachment identical to the original:", same)
sys.exit(0 if same else 1)
PY
