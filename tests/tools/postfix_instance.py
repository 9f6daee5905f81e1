#!/usr/bin/python3
"""A postfix instance of the tests' own, as a real mail transfer agent.

    postfix_instance.py --dir DIR [--port 25] [--domain server.example] [--mailbox fax ...]

Everything lives below DIR: the configuration (DIR/etc: main.cf and
master.cf written here), the queue (DIR/queue), postfix's data (DIR/data),
its log (DIR/maillog) and the mail (DIR/mail/<domain>/<mailbox>/, a
Maildir per mailbox, delivered by postfix's virtual delivery agent). It
listens on 127.0.0.1:PORT only (loopback-only), runs no service in a
chroot, and keeps postfix's 10,240,000-byte message size limit. The
machine's own mail system and its configuration are never touched.

The master runs in the foreground; the script prints READY once the port
accepts connections and stops the instance when it is killed (SIGTERM).
Needs root (postfix's master refuses other users).
"""

import argparse
import os
import pwd
import subprocess
import sys

import instance

DAEMONS = "/usr/lib/postfix/sbin"

MASTER_CF = """\
{port}      inet  n       -       n       -       -       smtpd
pickup    unix  n       -       n       60      1       pickup
cleanup   unix  n       -       n       -       0       cleanup
qmgr      unix  n       -       n       300     1       qmgr
rewrite   unix  -       -       n       -       -       trivial-rewrite
bounce    unix  -       -       n       -       0       bounce
defer     unix  -       -       n       -       0       bounce
trace     unix  -       -       n       -       0       bounce
verify    unix  -       -       n       -       1       verify
flush     unix  n       -       n       1000?   0       flush
proxymap  unix  -       -       n       -       -       proxymap
smtp      unix  -       -       n       -       -       smtp
showq     unix  n       -       n       -       -       showq
error     unix  -       -       n       -       -       error
retry     unix  -       -       n       -       -       error
discard   unix  -       -       n       -       -       discard
local     unix  -       n       n       -       -       local
virtual   unix  -       n       n       -       -       virtual
anvil     unix  -       -       n       -       1       anvil
scache    unix  -       -       n       -       1       scache
postlog   unix-dgram n  -       n       -       1       postlogd
"""

MAIN_CF = """\
compatibility_level = 3.6
queue_directory = {dir}/queue
data_directory = {dir}/data
command_directory = /usr/sbin
daemon_directory = {daemons}
meta_directory = /etc/postfix
shlib_directory = /usr/lib/postfix
mail_owner = postfix
setgid_group = postdrop
maillog_file_prefixes = {dir}
maillog_file = {dir}/maillog
myhostname = mail.{domain}
mydomain = {domain}
myorigin = {domain}
mydestination =
local_recipient_maps =
alias_maps =
alias_database =
inet_interfaces = loopback-only
inet_protocols = ipv4
mynetworks = 127.0.0.0/8
smtpd_relay_restrictions = permit_mynetworks, reject_unauth_destination
smtpd_recipient_restrictions = permit_mynetworks, reject
virtual_mailbox_domains = {domain}
virtual_mailbox_base = {dir}/mail
virtual_mailbox_maps = texthash:{dir}/etc/vmailbox
virtual_minimum_uid = 1
virtual_uid_maps = static:{uid}
virtual_gid_maps = static:{gid}
message_size_limit = 10240000
biff = no
smtputf8_enable = no
"""




def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--dir", required=True)
    parser.add_argument("--port", type=int, default=25)
    parser.add_argument("--domain", default="server.example")
    parser.add_argument("--mailbox", action="append", default=[])
    args = parser.parse_args()
    base = os.path.abspath(args.dir)
    owner = pwd.getpwnam("postfix")
    etc = os.path.join(base, "etc")
    # The daemons run as the postfix user: DIR (the caller's own fresh
    # directory) must let them through.
    os.chmod(base, 0o755)
    for sub in ("etc", "queue", "data", "mail"):
        os.makedirs(os.path.join(base, sub), exist_ok=True)
    os.chown(os.path.join(base, "data"), owner.pw_uid, owner.pw_gid)
    # Mail is stored as the postfix user, which owns nothing else here.
    os.chown(os.path.join(base, "mail"), owner.pw_uid, owner.pw_gid)
    with open(os.path.join(etc, "main.cf"), "w") as out:
        out.write(MAIN_CF.format(dir=base, daemons=DAEMONS, domain=args.domain, uid=owner.pw_uid, gid=owner.pw_gid))
    with open(os.path.join(etc, "master.cf"), "w") as out:
        out.write(MASTER_CF.replace("1000?", "1000").format(port=args.port))
    with open(os.path.join(etc, "vmailbox"), "w") as out:
        for box in args.mailbox or ["fax"]:
            out.write("%s@%s %s/%s/\n" % (box, args.domain, args.domain, box))
    env = dict(os.environ, MAIL_CONFIG=etc)
    check = subprocess.run(["/usr/sbin/postfix", "-c", etc, "check"], env=env, capture_output=True, text=True)
    if check.returncode != 0:
        print(check.stdout + check.stderr, flush=True)
        return 1
    return instance.serve([os.path.join(DAEMONS, "master"), "-c", etc, "-d"], args.port, "postfix",
                          os.path.join(base, "maillog"), env=env)


if __name__ == "__main__":
    sys.exit(main())
