#!/usr/bin/env bash
# Runs the main job: builds the send client (release preset), sends a sample
# fax request with a PostScript attachment through mvncsend, and shows the
# job file that the delivery module received, decoded.
#
# Everything lives in build/demo: the machine root, the send client's INI
# file, the client's request file and attachment, the working directories
# and the outbox. Until the drop-directory module exists, the delivery
# module is the test fixture module, set to copy each job into the outbox.
set -euo pipefail
cd "$(dirname "$0")"
./tools/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release --target mvncsend dlvfixture >/dev/null

demo="$PWD/build/demo"
rm -rf "$demo"
mkdir -p "$demo/root/windows" "$demo/client" "$demo/outbox"

# The send client's configuration, where an installed machine keeps it.
cat > "$demo/root/windows/mvncsend.INI" <<INI
[mvncsend]
DeliveryModule=$PWD/build/release/sendclient/tests/dlvfixture.so
WorkingPath=$demo/work
FixtureOutbox=$demo/outbox
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

job=$(ls "$demo"/outbox/*)
echo "job file received by the delivery module: $job ($(stat -c %s "$job") bytes)"
head -c 120 "$job" | sed -n '1,2p'
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
