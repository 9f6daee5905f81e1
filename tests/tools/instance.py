"""What the tests' private mail servers (postfix_instance.py,
dovecot_instance.py) share: waiting for the greeting on a loopback port, and
running a master process in a process group of its own until this script is
told to stop (SIGTERM, SIGINT), printing READY once the server answers."""
import os
import signal
import socket
import subprocess
import time


def wait_greeting(port, seconds, greeting=b""):
    """True once a connection to 127.0.0.1:port gets a greeting that starts
    with greeting (any greeting when empty); it is answered with QUIT."""
    end = time.time() + seconds
    while time.time() < end:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1) as conn:
                if conn.recv(512).startswith(greeting):
                    conn.sendall(b"QUIT\r\n")
                    return True
        except OSError:
            pass
        time.sleep(0.1)
    return False


def serve(argv, port, name, log, greeting=b"", env=None):
    """Starts the master (in a process group of its own: on its way down it
    signals its whole group), prints READY when it answers on port (else its
    log and stops it), and keeps it running until this process is told to
    stop; then ends it, killing the group when it does not end in time."""
    master = subprocess.Popen(argv, env=env, start_new_session=True)
    stopping = []
    signal.signal(signal.SIGTERM, lambda *_: stopping.append(1))
    signal.signal(signal.SIGINT, lambda *_: stopping.append(1))
    if not wait_greeting(port, 30, greeting):
        print(name + " did not start", flush=True)
        try:
            print(open(log).read(), flush=True)
        except OSError:
            pass
        stopping.append(1)
    else:
        print("READY", flush=True)
    while not stopping and master.poll() is None:
        time.sleep(0.1)
    if master.poll() is None:
        master.terminate()
        try:
            master.wait(10)
        except subprocess.TimeoutExpired:
            os.killpg(master.pid, signal.SIGKILL)
            master.wait()
    return 0
