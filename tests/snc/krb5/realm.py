#!/usr/bin/python3
"""A throwaway Kerberos realm for the SNC tests.

Creates a realm database in a temporary directory (kdb5_util), two service
principals with random keys and their keytabs (kadmin.local), starts krb5kdc
in the foreground on a free port of 127.0.0.1, and obtains the client's
ticket-granting ticket into a private credential cache (kinit with the
client keytab).

    sapsim/localhost@QUIB.TEST     the simulated ABAP system (acceptor)
    rfcclient/localhost@QUIB.TEST  the RFC client (initiator)

As a module: `with Realm() as realm: ...` (realm.env holds KRB5_CONFIG,
KRB5_KDC_PROFILE, KRB5CCNAME and KRB5RCACHEDIR for the processes that use
it); `missing_tools()` names what is not installed.

As a script: prints the realm's settings (`settings()`; {"skip": reason}
when the Kerberos tools are missing, {"error": text} when the realm could
not be made) as one line of JSON, or with --lines as key=value lines closed
by "end", and keeps the KDC running until standard input closes; then stops
it and removes the directory.
"""

import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

REALM = "QUIB.TEST"
SERVICE = "sapsim/localhost"          # hostbased form: sapsim@localhost
CLIENT = "rfcclient/localhost"        # hostbased form: rfcclient@localhost
TOOLS = ("kdb5_util", "kadmin.local", "krb5kdc", "kinit")
SBIN = ("/usr/sbin", "/usr/bin", "/sbin", "/bin")


def find_tool(name):
    found = shutil.which(name)
    if found:
        return found
    for d in SBIN:
        path = os.path.join(d, name)
        if os.access(path, os.X_OK):
            return path
    return None


def missing_tools():
    return [t for t in TOOLS if find_tool(t) is None]


def _free_port():
    """A port free for both TCP and UDP on 127.0.0.1 (the KDC listens on both)."""
    for _ in range(50):
        t = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        t.bind(("127.0.0.1", 0))
        port = t.getsockname()[1]
        u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        try:
            u.bind(("127.0.0.1", port))
        except OSError:
            continue
        finally:
            u.close()
            t.close()
        return port
    raise RuntimeError("no free port for the KDC")


class RealmError(RuntimeError):
    pass


class Realm:
    def __init__(self):
        missing = missing_tools()
        if missing:
            raise RealmError("Kerberos tools missing: " + ", ".join(missing))
        self.dir = tempfile.mkdtemp(prefix="quib-krb5-")
        self.kdc = None
        try:
            self._create()
        except BaseException:
            self.close()
            raise

    def _path(self, name):
        return os.path.join(self.dir, name)

    def _run(self, *cmd, input_text=None):
        r = subprocess.run([find_tool(cmd[0])] + list(cmd[1:]), env=self.tool_env, input=input_text,
                           capture_output=True, text=True, timeout=60)
        if r.returncode != 0:
            raise RealmError(f"{' '.join(cmd)} failed ({r.returncode}): {r.stderr.strip() or r.stdout.strip()}")
        return r.stdout

    def _create(self):
        self.port = _free_port()
        self.krb5_config = self._path("krb5.conf")
        self.kdc_profile = self._path("kdc.conf")
        self.ccache = "FILE:" + self._path("ccache")
        self.service_keytab = self._path("service.keytab")
        self.client_keytab = self._path("client.keytab")
        with open(self.krb5_config, "w") as f:
            f.write(f"""[libdefaults]
    default_realm = {REALM}
    dns_lookup_kdc = false
    dns_lookup_realm = false
    dns_canonicalize_hostname = false
    rdns = false
    udp_preference_limit = 1
    ticket_lifetime = 10h
[realms]
    {REALM} = {{
        kdc = 127.0.0.1:{self.port}
    }}
[domain_realm]
    localhost = {REALM}
""")
        with open(self.kdc_profile, "w") as f:
            f.write(f"""[kdcdefaults]
    kdc_ports = {self.port}
    kdc_tcp_ports = {self.port}
[realms]
    {REALM} = {{
        database_name = {self._path("principal")}
        key_stash_file = {self._path("stash")}
        acl_file = {self._path("kadm5.acl")}
        max_life = 10h
        supported_enctypes = aes256-cts-hmac-sha1-96:normal aes128-cts-hmac-sha1-96:normal
    }}
[logging]
    kdc = FILE:{self._path("kdc.log")}
    admin_server = FILE:{self._path("kadmin.log")}
    default = FILE:{self._path("krb5.log")}
""")
        with open(self._path("kadm5.acl"), "w") as f:
            f.write("")
        self.env = {
            "KRB5_CONFIG": self.krb5_config,
            "KRB5_KDC_PROFILE": self.kdc_profile,
            "KRB5CCNAME": self.ccache,
            "KRB5RCACHEDIR": self.dir,
        }
        self.tool_env = dict(os.environ, **self.env)
        self._run("kdb5_util", "-r", REALM, "create", "-s", "-P", "quib-master-" + str(os.getpid()))
        for principal, keytab in ((SERVICE, self.service_keytab), (CLIENT, self.client_keytab)):
            self._run("kadmin.local", "-r", REALM, "-q", f"addprinc -randkey {principal}@{REALM}")
            self._run("kadmin.local", "-r", REALM, "-q", f"ktadd -k {keytab} {principal}@{REALM}")
        self.kdc = subprocess.Popen([find_tool("krb5kdc"), "-n", "-r", REALM], env=self.tool_env,
                                    stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                    stderr=open(self._path("krb5kdc.err"), "w"))
        # The KDC is ready when kinit succeeds; give it a bounded while.
        deadline = time.monotonic() + 20
        while True:
            try:
                self.kinit()
                break
            except RealmError:
                if self.kdc.poll() is not None or time.monotonic() > deadline:
                    raise
                time.sleep(0.1)

    def kinit(self, ccache=None):
        """The client's ticket-granting ticket into `ccache` (default: the realm's)."""
        self._run("kinit", "-k", "-t", self.client_keytab, "-c", ccache or self.ccache, f"{CLIENT}@{REALM}")

    def settings(self):
        """Flat: every value a string or a number."""
        return {
            "realm": REALM,
            "dir": self.dir,
            "kdc_port": self.port,
            "krb5_config": self.krb5_config,
            "kdc_profile": self.kdc_profile,
            "ccache": self.ccache,
            "rcache_dir": self.dir,
            "service_keytab": self.service_keytab,
            "client_keytab": self.client_keytab,
            "service_principal": f"{SERVICE}@{REALM}",
            "client_principal": f"{CLIENT}@{REALM}",
            "service_name": SERVICE.replace("/", "@"),
            "client_name": CLIENT.replace("/", "@"),
        }

    def close(self):
        if self.kdc is not None and self.kdc.poll() is None:
            self.kdc.terminate()
            try:
                self.kdc.wait(10)
            except subprocess.TimeoutExpired:
                self.kdc.kill()
                self.kdc.wait()
        self.kdc = None
        shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def _print(settings, lines):
    if lines:
        for key, value in settings.items():
            print(f"{key}={value}")
        print("end", flush=True)
    else:
        print(json.dumps(settings), flush=True)


def main(argv):
    lines = "--lines" in argv
    missing = missing_tools()
    if missing:
        _print({"skip": "Kerberos tools missing: " + ", ".join(missing)}, lines)
        return 0
    try:
        realm = Realm()
    except RealmError as exc:
        _print({"error": str(exc)}, lines)
        return 1
    def stop(*_):
        raise SystemExit(0)

    signal.signal(signal.SIGTERM, stop)
    try:
        _print(realm.settings(), lines)
        try:
            while sys.stdin.buffer.read(4096):
                pass
        except (OSError, ValueError):
            pass
    finally:
        realm.close()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
