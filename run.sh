#!/usr/bin/env bash
# Runs the main job: builds the Dashpost client, the send client and the
# drop-directory delivery module (release preset; the build's output is
# shown only when it fails) and, the first time, sets up a sample
# configuration below a private machine root in build/demo: an address book
# with sample records and groups, a delivery command that runs mvncsend with
# dlvlocal into a local intake folder, the send log with its kept copies,
# and a tip file with help for the send window's controls. The sample is
# kept from run to run (records, groups, settings and sent faxes stay);
# ./run.sh --reset removes it first and makes it anew.
#
# With a display (DISPLAY or WAYLAND_DISPLAY set, MVN_HEADLESS unset) it
# opens Dashpost on that configuration. Without one it operates the real
# main window offscreen (dashpost_drive: a recipient typed, a cover-page
# message, the sample invoice as the attachment, Send Fax pressed), waits
# for the fax in the intake folder and tells what was sent and where it
# landed, with the job inside the delivery frame decoded.
set -euo pipefail
cd "$(dirname "$0")"
reset=""
for argument in "$@"; do
  case "$argument" in
    --reset) reset=1 ;;
    -h | --help)
      echo "usage: ./run.sh [--reset]"
      echo "Builds Dashpost and opens it on the sample configuration in build/demo (made the first time"
      echo "and kept); without a display it sends a sample fax from Dashpost's window, driven offscreen."
      echo "  --reset  removes build/demo first (the sample's address book, settings, send log, kept"
      echo "           copies and received faxes) and makes the sample configuration anew"
      exit 0
      ;;
    *)
      echo "run.sh: unknown argument '$argument' (usage: ./run.sh [--reset])" >&2
      exit 2
      ;;
  esac
done
./tools/install-deps.sh
# Quiet when the build succeeds; its whole output when it fails.
if [ -e build/release/bin/dashpost ]; then
  echo "Building Dashpost, the send client and the delivery module (release build; only what changed)..."
else
  echo "Building Dashpost, the send client and the delivery module (release build). The first build takes"
  echo "several minutes; its output is shown only when it fails..."
fi
build_log=$(mktemp)
trap 'rm -f "$build_log"' EXIT
if ! { cmake --preset release &&
  cmake --build --preset release --target mvncsend dlvlocal dashpost dashpost_drive dashpost_samplebook \
    dashpost_sampletips; } >"$build_log" 2>&1; then
  cat "$build_log" >&2
  echo "run.sh: the build failed (its output is above)" >&2
  exit 1
fi

bin="$PWD/build/release"
demo="$PWD/build/demo"
sample=data/dashpost
# The mark of a complete sample of this layout; a folder without it was
# left by an earlier run command (which made it anew on every run) or by a
# making that was cut short.
made="$demo/.sample-made"
if [ -n "$reset" ] && [ -e "$demo" ]; then
  echo "Reset: removing $demo, the sample configuration with everything made in it"
  echo "(its address book, Dashpost's settings, the send log, the kept copies and the faxes in its intake folder)."
  rm -rf "$demo"
elif [ -e "$demo" ] && [ ! -e "$made" ]; then
  echo "$demo is not a complete sample configuration (left by an earlier run command); making it anew."
  rm -rf "$demo"
fi
if [ ! -e "$made" ]; then
  # Made in a folder beside it and put in place whole, so an interrupted
  # making leaves no half sample behind.
  staging="$demo.making"
  rm -rf "$staging"
  mkdir -p "$staging/root/windows" "$staging/client" "$staging/books" "$staging/intake" "$staging/work" \
    "$staging/kept" "$staging/bin"
  # Only the values are filled in: the comments keep telling what @DEMO@
  # and @BIN@ stand for.
  sed -e "/^[;#]/!s|@DEMO@|$demo|g" -e "/^[;#]/!s|@BIN@|$demo/bin|g" "$sample/dashpost.INI" \
    > "$staging/root/windows/dashpost.INI"
  sed -e "/^[;#]/!s|@DEMO@|$demo|g" "$sample/mvncsend.INI" > "$staging/root/windows/mvncsend.INI"
  "$bin/client/app/dashpost_samplebook" "$sample/addressbook.csv" "$staging/books/Sample"
  "$bin/data/dashpost_sampletips" "$sample/tips.txt" "$staging/hintwell.hwt"
  date -u +%Y-%m-%dT%H:%M:%SZ > "$staging/.sample-made"
  mv "$staging" "$demo"
  echo "Made the sample configuration in $demo; it is kept from run to run (./run.sh --reset makes it anew)."
else
  echo "Using the sample configuration in $demo, kept from earlier runs (./run.sh --reset makes it anew)."
fi
# The programs the sample's settings name: the build's, refreshed on every
# run (the send client finds its module in lib/mvn beside its bin/).
ln -sfn "$bin/bin/mvncsend" "$demo/bin/mvncsend"
# The sample attachment (a send consumes its copy).
[ -e "$demo/client/invoice.ps" ] || cp "$sample/invoice.ps" "$demo/client/invoice.ps"
export MVN_ROOT="$demo/root"

if [ -z "${MVN_HEADLESS:-}" ] && { [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; }; then
  echo "Opening Dashpost on the sample configuration ($demo/root/windows/dashpost.INI)."
  echo "Its address book holds four sample recipients in the groups Customers and Suppliers;"
  echo "a fax you send lands in $demo/intake."
  # Qt wants a private runtime folder; a session without one gets the
  # sample's own (mode 0700).
  if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
    mkdir -p -m 700 "$demo/runtime"
    chmod 700 "$demo/runtime"
    export XDG_RUNTIME_DIR="$demo/runtime"
  fi
  exec "$bin/bin/dashpost"
fi

echo "No display: Dashpost runs offscreen, driven like a user would operate it."
# The driver runs as dashpost (its INI file is dashpost's), copied, as the
# program path is the resolved one.
cp "$bin/client/app/dashpost_drive" "$demo/bin/dashpost"
mkdir -p -m 700 "$demo/runtime"
# The frames of earlier runs stay in the intake folder: the new one is the
# one not there before.
before=$(ls -A "$demo/intake")
cp "$sample/invoice.ps" "$demo/client/invoice.ps"
cp "$sample/invoice.ps" "$demo/invoice.ps.original"
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
new_frames() {
  local name
  for name in $(ls -A "$demo/intake"); do
    case "$name" in MVN*) grep -qxF "$name" <<<"$before" || echo "$demo/intake/$name" ;; esac
  done
}
for _ in $(seq 1 300); do
  [ -n "$(new_frames)" ] && break
  sleep 0.1
done
mapfile -t frames < <(new_frames)
if [ ${#frames[@]} -ne 1 ] || [ ! -f "${frames[0]}" ]; then
  echo "run.sh: expected one new delivery frame in $demo/intake, found: ${frames[*]:-none}" >&2
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
