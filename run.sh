#!/usr/bin/env bash
# Runs the main job: builds the Dashpost client, the send client and the
# drop-directory delivery module (release preset; the build's output is
# shown only when it fails) and sets up a sample configuration below a
# private machine root in build/demo: an address book with sample records
# and groups, and a delivery command that runs mvncsend with dlvlocal into
# a local intake folder.
#
# With a display (DISPLAY or WAYLAND_DISPLAY set, MVN_HEADLESS unset) it
# opens Dashpost on that configuration. Without one it operates the real
# main window offscreen (dashpost_drive: a recipient typed, a cover-page
# message, the sample invoice as the attachment, Send Fax pressed), waits
# for the fax in the intake folder and tells what was sent and where it
# landed, with the job inside the delivery frame decoded.
set -euo pipefail
cd "$(dirname "$0")"
./tools/install-deps.sh
# Quiet when the build succeeds; its whole output when it fails.
build_log=$(mktemp)
trap 'rm -f "$build_log"' EXIT
if ! { cmake --preset release &&
  cmake --build --preset release --target mvncsend dlvlocal dashpost dashpost_drive dashpost_samplebook; } \
  >"$build_log" 2>&1; then
  cat "$build_log" >&2
  echo "run.sh: the build failed (its output is above)" >&2
  exit 1
fi

bin="$PWD/build/release"
demo="$PWD/build/demo"
rm -rf "$demo"
mkdir -p "$demo/root/windows" "$demo/client" "$demo/books" "$demo/intake" "$demo/work"
sample=data/dashpost
mkdir -p "$demo/bin"
ln -s "$bin/sendclient/mvncsend" "$demo/bin/mvncsend"
sed -e "s|@DEMO@|$demo|g" -e "s|@BIN@|$demo/bin|g" "$sample/dashpost.INI" > "$demo/root/windows/dashpost.INI"
sed -e "s|@DEMO@|$demo|g" -e "s|@MODULE@|$bin/delivery/local/dlvlocal.so|g" "$sample/mvncsend.INI" \
  > "$demo/root/windows/mvncsend.INI"
"$bin/client/app/dashpost_samplebook" "$sample/addressbook.csv" "$demo/books/Sample"
cp "$sample/invoice.ps" "$demo/client/invoice.ps"
cp "$sample/invoice.ps" "$demo/invoice.ps.original"
export MVN_ROOT="$demo/root"

if [ -z "${MVN_HEADLESS:-}" ] && { [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; }; then
  echo "Opening Dashpost on the sample configuration ($demo/root/windows/dashpost.INI)."
  echo "Its address book holds four sample recipients in the groups Customers and Suppliers;"
  echo "a fax you send lands in $demo/intake."
  exec "$bin/client/app/dashpost"
fi

echo "No display: Dashpost runs offscreen, driven like a user would operate it."
# The driver runs as dashpost (its INI file is dashpost's), copied, as the
# program path is the resolved one.
cp "$bin/client/app/dashpost_drive" "$demo/bin/dashpost"
mkdir -m 700 "$demo/runtime"
# Qt's notes about the offscreen platform are kept in a log, shown only when
# the client fails.
if ! XDG_RUNTIME_DIR="$demo/runtime" QT_QPA_PLATFORM=offscreen \
  "$demo/bin/dashpost" "$demo/client/invoice.ps" 2>"$demo/dashpost.log"; then
  cat "$demo/dashpost.log" >&2
  echo "run.sh: Dashpost failed (its messages are above)" >&2
  exit 1
fi
echo "Dashpost wrote its request and handed it to its delivery command (mvncsend with dlvlocal), then ended,"
echo "as it does after sending a file named on its command line."
for _ in $(seq 1 300); do
  compgen -G "$demo/intake/MVN*" >/dev/null && break
  sleep 0.1
done
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
print("- It carries the %d lines of Dashpost's request, from %r to %r; among them:"
      % (len(lines), lines[0], lines[-1]))
for line in lines:
    if line.split(":")[0] in ("From", "Reference", "Destination", "To", "Company", "Priority", "Notification"):
        print("    " + line.rstrip())
print("  and the attachment's section in place of the !ExtAttachment line:")
for s in job["sections"]:
    print("- Section %d, %s \"%s\": %d bytes, %s and %s, written to %s/decoded/%s."
          % (s["index"], s["name"], s["display_name"] or "", s["size"],
             "compressed" if s["compressed"] else "not compressed", encodings.get(s["encoding"], "encoded"),
             demo, s["file"]))
original = open(demo + "/invoice.ps.original", "rb").read()
same = any(open(demo + "/decoded/" + s["file"], "rb").read() == original for s in job["sections"])
print("- The attachment is %s the original invoice.ps." % ("byte for byte" if same else "NOT the same as"))
sys.exit(0 if same else 1)
PY
