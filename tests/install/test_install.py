#!/usr/bin/python3
"""The install tree and the Debian package, as a user gets them.

    test_install.py BUILD_DIR SOURCE_DIR

Installs the build tree into a temporary prefix (cmake --install), builds
the Debian package from the same tree (cpack -G DEB) and extracts it into
another directory (dpkg-deb -x). For each of the two trees it checks the
layout, that no installed file refers to the build tree, and sends a fax
request with an attachment through the installed mvncsend and dlvlocal
(named "dlvlocal.dll" in the INI file) while the source and build trees are
hidden behind an empty mount, then decodes the delivery frame; and prints a
job through the installed mvnspoold with the monitor "mvnmon.dll". The
package also carries what a desktop and a Debian system expect: its
dependencies (the libraries and xdg-utils), a description naming Dashpost,
copyright and changelog, Dashpost's menu entry and icon (checked with
desktop-file-validate) and, when the tree has it, the spooler's systemd unit
(checked with systemd-analyze verify).
"""

import gzip
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

BUILD, SOURCE = (os.path.realpath(p) for p in sys.argv[1:3])
JOBDECODE = os.path.join(SOURCE, "tests", "tools", "jobdecode.py")

PROGRAMS = ["mvncsend", "mvnspoold", "mvnprint", "mvnreg", "mvnfuial", "mvncuial", "prnsetup", "mvnport", "dashpost"]
MODULES = ["dlvlocal.so", "dlvsmtp.so", "dlvsmtp2.so", "dlvmapi.so", "mapi32.so", "mvnmon.so", "mvnmon95.so"]
DATA = ["mvncsend.INI", "mvncsend-smtp.INI", "nt35/mvnmon.so", "nt40/mvnmon.so", "nt40/morvane.ppd",
        "win95/mvnmon95.so", "win95/morvane.spd", "dashpost/dashpost.INI", "dashpost/mvncsend.INI",
        "dashpost/addressbook.csv", "dashpost/invoice.ps"]
DOCS = ["README.md", "usage.md", "architecture.md", "copyright", "changelog.gz"]
# Dashpost's menu entry and its icon.
DESKTOP = "share/applications/dashpost.desktop"
ICON = "share/icons/hicolor/scalable/apps/dashpost.svg"
# The spooler service's unit, where the tree has one.
UNIT = "lib/systemd/system/mvnspoold.service"

failures = []
SCRATCH = tempfile.mkdtemp(prefix="mvn-install-")


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAILED:", what, flush=True)
    return condition


def run(args, **kwargs):
    return subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, **kwargs)


def is_elf(path):
    with open(path, "rb") as f:
        return f.read(4) == b"\x7fELF"


def check_layout(prefix, label):
    for name in PROGRAMS:
        path = os.path.join(prefix, "bin", name)
        check(os.path.isfile(path) and os.access(path, os.X_OK), f"{label}: bin/{name} installed")
    for name in MODULES:
        check(os.path.isfile(os.path.join(prefix, "lib", "mvn", name)), f"{label}: lib/mvn/{name} installed")
    if os.path.exists(os.path.join(BUILD, "platform", "dialogs", "mvn_dialogs_qt.so")):
        check(os.path.isfile(os.path.join(prefix, "lib", "mvn", "mvn_dialogs_qt.so")),
              f"{label}: the Qt backend is in lib/mvn")
    for name in DATA:
        check(os.path.isfile(os.path.join(prefix, "share", "mvn", name)), f"{label}: share/mvn/{name} installed")
    for name in DOCS:
        check(os.path.isfile(os.path.join(prefix, "share", "doc", "mvnfax", name)),
              f"{label}: share/doc/mvnfax/{name} installed")
    check(os.path.isfile(os.path.join(prefix, DESKTOP)), f"{label}: {DESKTOP} installed")
    check(os.path.isfile(os.path.join(prefix, ICON)), f"{label}: {ICON} installed")
    # Nothing of the tests comes along.
    for root, _, files in os.walk(prefix):
        for name in files:
            check("test" not in name and "fixture" not in name, f"{label}: no test file installed ({name})")
    # No installed file names the build tree: no run path into it, no
    # compiled path to it.
    needle = BUILD.encode()
    for root, _, files in os.walk(prefix):
        for name in files:
            path = os.path.join(root, name)
            if os.path.islink(path):
                continue
            contents = path
            if is_elf(path):
                # Debug information names the folder each object was compiled
                # in; only what the program itself can see counts.
                contents = os.path.join(SCRATCH, "stripped")
                run(["objcopy", "--strip-debug", path, contents])
            with open(contents, "rb") as f:
                check(needle not in f.read(), f"{label}: {os.path.relpath(path, prefix)} does not name {BUILD}")
            if is_elf(path):
                dynamic = run(["readelf", "-d", path]).stdout
                check("RPATH" not in dynamic and "RUNPATH" not in dynamic,
                      f"{label}: {os.path.relpath(path, prefix)} has no run path")


REQUEST_LINES = [
    "!MVN - DASHPOST V5.0 (Tolvar)", "", "!PASSTHROUGH", "From:Ann Smith", "UserId:ann@example.test",
    "Reference:Invoice 2003-1224", "", "!TARGET", "Destination:+44 20 7946 0000", "To:Bob Jones", "",
    "!PASSTHROUGH-END", "", "!ExtAttachment,invoice.ps,invoice.ps", "", "!MVN-END",
]
ATTACHMENT = b"%!PS-Adobe-3.0\n%%Pages: 1\n72 720 moveto (Invoice 2003-1224) show\nshowpage\n"


def run_with_trees_hidden(script):
    """Runs script in a mount namespace of its own in which the source and
    build trees are empty folders; exit code 97 when they cannot be hidden."""
    mounts = [SOURCE] + ([BUILD] if not BUILD.startswith(SOURCE + "/") else [])
    hide = " && ".join(f"mount -t tmpfs -o size=64k,mode=0755 mvn-hidden '{m}'" for m in mounts)
    probe = " && ".join(f"[ ! -e '{m}/CMakeLists.txt' ] && [ ! -e '{m}/CMakeCache.txt' ]" for m in mounts)
    inner = f"{hide} && {probe} || exit 97\n{script}"
    # Root makes a mount namespace directly; without the privilege a user
    # namespace of its own gives it.
    result = None
    for extra in ([], ["--user", "--map-root-user"]):
        result = run(["unshare", "--mount", "--propagation", "private", *extra, "/bin/sh", "-c", inner])
        if result.returncode != 97 and "unshare failed" not in result.stdout:
            return result
    return result


def send_road(prefix, work, label):
    root = os.path.join(work, "root")
    client = os.path.join(work, "client")
    intake = os.path.join(work, "intake")
    os.makedirs(os.path.join(root, "windows"))
    os.makedirs(client)
    with open(os.path.join(root, "windows", "mvncsend.INI"), "w") as f:
        f.write("[mvncsend]\nDeliveryModule=dlvlocal.dll\n"
                f"WorkingPath={work}/work\nOutputLocation={intake}\n"
                "YourName=Ann Smith\nYourEmailAddress=ann@example.test\n")
    request = os.path.join(client, "Faxout.tmp")
    with open(request, "wb") as f:
        f.write(b"".join(line.encode() + b"\r\n" for line in REQUEST_LINES))
    with open(os.path.join(client, "invoice.ps"), "wb") as f:
        f.write(ATTACHMENT)

    env = f"env -i PATH=/usr/bin:/bin HOME='{work}' MVN_ROOT='{root}' MVN_DIALOGS=headless"
    script = f"cd '{work}' && {env} '{prefix}/bin/mvncsend' '{request}'"
    result = run_with_trees_hidden(script)
    if result.returncode == 97 or "unshare failed" in result.stdout:
        check(False, f"{label}: the source and build trees could be hidden ({result.stdout.strip()})")
        return
    check(result.returncode == 0, f"{label}: mvncsend exits 0 (exit {result.returncode}: {result.stdout.strip()})")
    check(not os.path.exists(request), f"{label}: the request file was consumed")
    check(not os.path.exists(os.path.join(client, "invoice.ps")), f"{label}: the attachment was consumed")
    frames = sorted(os.listdir(intake)) if os.path.isdir(intake) else []
    if not check(len(frames) == 1 and frames[0].startswith("MVN") and frames[0].endswith(".TMP"),
                 f"{label}: one delivery frame in the intake directory ({frames})"):
        return
    data = open(os.path.join(intake, frames[0]), "rb").read()
    lines = data.split(b"\r\n")
    check(lines[0] == b"!MVN::MVN" and b"SENDER-NAME=Ann Smith" in lines and data.endswith(b"!MVN-END\r\n"),
          f"{label}: the frame has its header and trailer")
    # The job is the frame between the SENDER-ADDRESS= line and the trailer.
    header = next(i for i, line in enumerate(lines) if line.startswith(b"SENDER-ADDRESS="))
    start = len(b"\r\n".join(lines[:header + 1])) + 2
    job = os.path.join(work, "job.bin")
    with open(job, "wb") as f:
        f.write(data[start:len(data) - len(b"!MVN-END\r\n")])
    decoded = run(["/usr/bin/python3", JOBDECODE, job, os.path.join(work, "decoded")])
    if not check(decoded.returncode == 0, f"{label}: the job decodes ({decoded.stdout.strip()})"):
        return
    summary = json.loads(decoded.stdout)
    attachments = [s for s in summary["sections"] if s["name"] == "ATTACHMENT"]
    check(len(attachments) == 1, f"{label}: the job holds one attachment section")
    if attachments:
        payload = open(os.path.join(work, "decoded", attachments[0]["file"]), "rb").read()
        check(payload == ATTACHMENT, f"{label}: the attachment arrives unchanged")


def print_road(prefix, work, label):
    """mvnspoold loads the monitor named "mvnmon.dll" from the installed
    module folder and prints a job through it into an output directory."""
    root = os.path.join(work, "root")
    faxout = os.path.join(work, "faxout")
    os.makedirs(faxout)
    page = os.path.join(work, "page.ps")
    with open(page, "wb") as f:
        f.write(ATTACHMENT)
    monitor = "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\MVNMON"
    printer = "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\Fax"
    env = f"env -i PATH=/usr/bin:/bin HOME='{work}' MVN_ROOT='{root}' MVN_DIALOGS=headless"
    script = f"""cd '{work}'
{env} '{prefix}/bin/mvnreg' set '{monitor}' Driver sz mvnmon.dll || exit 1
{env} '{prefix}/bin/mvnreg' set '{monitor}\\FAX1:' OutputDirectory sz '{faxout}' || exit 1
{env} '{prefix}/bin/mvnreg' set '{printer}' Port sz 'FAX1:' || exit 1
{env} '{prefix}/bin/mvnspoold' 2>'{work}/spoold.log' & service=$!
i=0; while [ ! -e '{root}/spool/mvnspoold.ready' ] && [ $i -lt 200 ]; do sleep 0.05; i=$((i+1)); done
{env} '{prefix}/bin/mvnprint' -P Fax '{page}'; status=$?
kill -TERM $service; wait $service
cat '{work}/spoold.log'
exit $status
"""
    result = run_with_trees_hidden(script)
    check(result.returncode == 0 and "monitor MVNMON loaded with 1 ports" in result.stdout,
          f"{label}: mvnspoold loads mvnmon.dll and mvnprint prints (exit {result.returncode}: {result.stdout.strip()})")
    spooled = [os.path.join(faxout, n) for n in os.listdir(faxout)]
    check(len(spooled) == 1 and open(spooled[0], "rb").read() == ATTACHMENT,
          f"{label}: the job lands in the port's output directory unchanged ({spooled})")


def check_changelog(prefix, label):
    """The changelog is a gzip file (no stored name) of Debian changelog
    entries for this package."""
    path = os.path.join(prefix, "share", "doc", "mvnfax", "changelog.gz")
    if not os.path.isfile(path):
        return
    raw = open(path, "rb").read()
    check(raw[:2] == b"\x1f\x8b" and not raw[3] & 0x08, f"{label}: changelog.gz is gzip without a stored file name")
    text = gzip.decompress(raw).decode()
    check(re.match(r"mvnfax \([0-9][^)]*\) [a-z]+; urgency=[a-z]+\n", text) is not None,
          f"{label}: the changelog's first line names the package and a version ({text.splitlines()[:1]})")
    check(re.search(r"\n -- [^<\n]+ <[^>\n]+>  [A-Z][a-z]{2}, \d{2} [A-Z][a-z]{2} \d{4} \d{2}:\d{2}:\d{2} [+-]\d{4}\n", text)
          is not None, f"{label}: the changelog entry ends with its maintainer and date line")
    copyright = open(os.path.join(prefix, "share", "doc", "mvnfax", "copyright")).read()
    check(copyright.startswith("Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n")
          and "\nFiles: *\n" in copyright and "\nLicense: " in copyright,
          f"{label}: copyright is a machine-readable Debian copyright file")


def check_desktop(prefix, label):
    """desktop-file-validate accepts Dashpost's entry; it starts a program
    the tree has and names the icon the tree holds."""
    path = os.path.join(prefix, DESKTOP)
    if not os.path.isfile(path):
        return
    result = run(["desktop-file-validate", path])
    check(result.returncode == 0 and not result.stdout.strip(),
          f"{label}: desktop-file-validate accepts dashpost.desktop ({result.stdout.strip()})")
    entry = dict(line.split("=", 1) for line in open(path).read().splitlines() if "=" in line)
    program = entry.get("Exec", "").split()[0] if entry.get("Exec", "").split() else ""
    check(entry.get("Name") == "Dashpost" and entry.get("Type") == "Application",
          f"{label}: the entry is the application Dashpost ({entry.get('Name')}, {entry.get('Type')})")
    check(program == "dashpost" and os.access(os.path.join(prefix, "bin", program), os.X_OK),
          f"{label}: the entry starts bin/dashpost ({entry.get('Exec')})")
    check(entry.get("Icon") == os.path.splitext(os.path.basename(ICON))[0],
          f"{label}: the entry names the installed icon ({entry.get('Icon')})")


def check_unit(prefix, label):
    """systemd-analyze verify accepts the spooler's unit, with the tree's
    programs as the machine's (a root of its own holding the tree's unit and
    programs and the host's standard units, which the unit's default
    dependencies name). Warnings about the unit count as failures."""
    unit = os.path.join(prefix, UNIT)
    if not os.path.isfile(unit):
        print(f"{label}: no {UNIT}, its check is skipped", flush=True)
        return
    root = tempfile.mkdtemp(prefix="unit-root-", dir=SCRATCH)
    units = os.path.join(root, "usr", "lib", "systemd", "system")
    os.makedirs(units)
    shutil.copytree(os.path.join(prefix, "bin"), os.path.join(root, "usr", "bin"))
    for host in ("/usr/lib/systemd/system", "/lib/systemd/system"):
        if os.path.isdir(host):
            for name in os.listdir(host):
                source = os.path.join(host, name)
                if os.path.isfile(source) and not os.path.exists(os.path.join(units, name)):
                    shutil.copyfile(source, os.path.join(units, name))
    shutil.copyfile(unit, os.path.join(units, "mvnspoold.service"))
    result = run(["systemd-analyze", "verify", f"--root={root}", "mvnspoold.service"])
    about = [line for line in result.stdout.splitlines() if "mvnspoold" in line]
    check(result.returncode == 0 and not about,
          f"{label}: systemd-analyze verify accepts mvnspoold.service (exit {result.returncode}: {about})")


def check_manifest(prefix):
    """The install manifest lists every installed file once, and nothing
    else: a file installed by two rules, or written beside the install
    rules, would be missed by whoever reads the manifest to uninstall."""
    with open(os.path.join(BUILD, "install_manifest.txt")) as f:
        listed = [line.rstrip("\n") for line in f if line.strip()]
    doubled = sorted({p for p in listed if listed.count(p) > 1})
    check(not doubled, f"install manifest: no file is installed twice ({doubled})")
    present = set()
    for root, _, files in os.walk(prefix):
        present.update(os.path.join(root, name) for name in files)
    check(set(listed) == present,
          f"install manifest: lists exactly the installed files (unlisted {sorted(present - set(listed))}, "
          f"missing {sorted(set(listed) - present)})")


def main():
    scratch = SCRATCH
    os.chmod(scratch, 0o755)
    try:
        prefix = os.path.join(scratch, "prefix")
        result = run(["cmake", "--install", BUILD, "--prefix", prefix])
        if check(result.returncode == 0, f"cmake --install succeeds ({result.stdout[-2000:]})"):
            check_layout(prefix, "install tree")
            check_manifest(prefix)
            check_changelog(prefix, "install tree")
            check_desktop(prefix, "install tree")
            send_road(prefix, os.path.join(scratch, "road-install"), "install tree")
            print_road(prefix, os.path.join(scratch, "print-install"), "install tree")

        packages = os.path.join(scratch, "packages")
        result = run(["cpack", "-G", "DEB", "--config", os.path.join(BUILD, "CPackConfig.cmake"), "-B", packages])
        debs = [n for n in os.listdir(packages) if n.endswith(".deb")] if os.path.isdir(packages) else []
        if check(result.returncode == 0 and len(debs) == 1, f"cpack -G DEB makes one package ({result.stdout[-2000:]})"):
            deb = os.path.join(packages, debs[0])
            depends = [d.strip().split()[0] for d in run(["dpkg-deb", "-f", deb, "Depends"]).stdout.split(",")
                       if d.strip()]
            # The libraries from the binaries (dpkg-shlibdeps), and what the
            # programs start: xdg-open for viewers and help links.
            for package in ("libc6", "libsqlite3-0", "libqt6widgets6", "libstdc++6", "xdg-utils"):
                check(package in depends, f"the package depends on {package} ({depends})")
            description = run(["dpkg-deb", "-f", deb, "Description"]).stdout
            check("Dashpost" in description.splitlines()[0] if description else False,
                  f"the package's description names Dashpost in its first line ({description.strip()})")
            contents = run(["dpkg-deb", "-c", deb]).stdout
            check("./usr/bin/mvncsend" in contents and "./usr/lib/mvn/dlvlocal.so" in contents,
                  "the package installs under /usr")
            extracted = os.path.join(scratch, "extracted")
            result = run(["dpkg-deb", "-x", deb, extracted])
            if check(result.returncode == 0, f"dpkg-deb -x succeeds ({result.stdout})"):
                check_layout(os.path.join(extracted, "usr"), "package")
                check_changelog(os.path.join(extracted, "usr"), "package")
                check_desktop(os.path.join(extracted, "usr"), "package")
                check_unit(os.path.join(extracted, "usr"), "package")
                send_road(os.path.join(extracted, "usr"), os.path.join(scratch, "road-package"), "package")
                print_road(os.path.join(extracted, "usr"), os.path.join(scratch, "print-package"), "package")
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    if failures:
        print(f"{len(failures)} check(s) failed")
        return 1
    print("install tree and package: every check passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
