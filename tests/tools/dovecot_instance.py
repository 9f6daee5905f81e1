#!/usr/bin/python3
"""A POP3 server of the tests' own: dovecot with a private configuration.

    dovecot_instance.py --dir DIR --maildir PATH --user NAME --password TEXT [--port 110]

Everything of the instance lives below DIR: its configuration
(DIR/dovecot.conf), its users (DIR/users, a passwd-file with the one user,
mapped to the owner of the Maildir), its base_dir (DIR/run), its state
(DIR/state) and its log (DIR/dovecot.log). It serves POP3 only, on
127.0.0.1:PORT, without TLS and with plaintext log-on (loopback only),
reading the Maildir PATH. The machine's own dovecot and its configuration
are never touched.

The master runs in the foreground; the script prints READY once the port
greets and stops the instance when it is killed (SIGTERM). Needs root.
"""

import argparse
import grp
import os
import subprocess
import sys

import instance

CONF = """\
protocols = pop3
listen = 127.0.0.1
base_dir = {dir}/run
state_dir = {dir}/state
log_path = {dir}/dovecot.log
info_log_path = {dir}/dovecot.log
ssl = no
disable_plaintext_auth = no
auth_mechanisms = plain
default_internal_user = dovecot
default_login_user = dovenull
first_valid_uid = 1
first_valid_gid = 1
mail_location = maildir:{maildir}
pop3_uidl_format = %08Xu%08Xv
passdb {{
  driver = passwd-file
  args = scheme=PLAIN username_format=%u {dir}/users
}}
userdb {{
  driver = passwd-file
  args = username_format=%u {dir}/users
}}
service pop3-login {{
  inet_listener pop3 {{
    address = 127.0.0.1
    port = {port}
  }}
  inet_listener pop3s {{
    port = 0
  }}
}}
service imap-login {{
  inet_listener imap {{
    port = 0
  }}
  inet_listener imaps {{
    port = 0
  }}
}}
service anvil {{
  chroot =
}}
service pop3-login {{
  chroot =
}}
"""




def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--dir", required=True)
    parser.add_argument("--maildir", required=True)
    parser.add_argument("--user", required=True)
    parser.add_argument("--password", required=True)
    parser.add_argument("--port", type=int, default=110)
    args = parser.parse_args()
    base = os.path.abspath(args.dir)
    maildir = os.path.abspath(args.maildir)
    os.chmod(base, 0o755)
    for sub in ("run", "state"):
        os.makedirs(os.path.join(base, sub), exist_ok=True)
    owner = os.stat(maildir)
    conf = os.path.join(base, "dovecot.conf")
    with open(conf, "w") as out:
        out.write(CONF.format(dir=base, maildir=maildir, port=args.port))
    users = os.path.join(base, "users")
    with open(users, "w") as out:
        out.write("%s:{PLAIN}%s:%d:%d::%s::\n" % (args.user, args.password, owner.st_uid, owner.st_gid, maildir))
    # Read by the authentication process (the dovecot user) only.
    os.chown(users, 0, grp.getgrnam("dovecot").gr_gid)
    os.chmod(users, 0o640)
    return instance.serve(["/usr/sbin/dovecot", "-F", "-c", conf], args.port, "dovecot",
                          os.path.join(base, "dovecot.log"), greeting=b"+OK")


if __name__ == "__main__":
    sys.exit(main())
