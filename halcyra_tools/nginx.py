"""A throwaway nginx serving one folder on a loopback port, for trying the
readers against a real HTTP server (the demo, the end-to-end tests, the
benchmark). Its configuration, pid file, logs and temporary folders live in
a temporary folder of its own; nothing of the system's nginx setup is used.

    with Nginx("out/") as server:
        halcyra_tools.open(server.url + "dataset/")"""

import os
import pwd
import grp
import shutil
import socket
import subprocess
import tempfile
import time

CONFIG = """\
daemon off;
worker_processes 1;
pid {tmp}/nginx.pid;
error_log {tmp}/error.log warn;
{user}
events {{ worker_connections 256; }}
http {{
    access_log off;
    client_body_temp_path {tmp}/client_body;
    proxy_temp_path {tmp}/proxy;
    fastcgi_temp_path {tmp}/fastcgi;
    uwsgi_temp_path {tmp}/uwsgi;
    scgi_temp_path {tmp}/scgi;
    default_type application/octet-stream;
    sendfile on;
    keepalive_timeout 60s;
    keepalive_requests 1000000;
    server {{
        listen 127.0.0.1:{port};
        root {root};
        location / {{ }}
    }}
}}
"""


def find():
    """The nginx binary, or None."""
    return shutil.which("nginx") or next((p for p in ("/usr/sbin/nginx", "/usr/local/sbin/nginx")
                                          if os.access(p, os.X_OK)), None)


def _free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Nginx:
    def __init__(self, root):
        self.root = os.path.abspath(root)
        self.binary = find()
        if self.binary is None:
            raise RuntimeError("nginx is not installed (Debian package nginx)")
        self.process = None
        self.tmp = None
        self.port = None

    @property
    def url(self):
        return f"http://127.0.0.1:{self.port}/"

    def start(self):
        self.tmp = tempfile.mkdtemp(prefix="halcyra-nginx-")
        user = ""
        if os.geteuid() == 0:  # the worker drops to a user: the one who owns the files
            user = f"user {pwd.getpwuid(os.geteuid()).pw_name} {grp.getgrgid(os.getegid()).gr_name};"
        for _ in range(5):  # a port picked free may be taken before nginx binds it
            self.port = _free_port()
            conf = os.path.join(self.tmp, "nginx.conf")
            with open(conf, "w") as f:
                f.write(CONFIG.format(tmp=self.tmp, user=user, port=self.port, root=self.root))
            log = open(os.path.join(self.tmp, "stderr.log"), "wb")
            # A sanitizer runtime preloaded into the caller stays out of nginx.
            env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
            self.process = subprocess.Popen([self.binary, "-p", self.tmp, "-c", conf, "-e",
                                             os.path.join(self.tmp, "error.log")],
                                            stdin=subprocess.DEVNULL, stdout=log, stderr=log, env=env)
            log.close()
            if self._wait_ready():
                return self
            self._end()
        raise RuntimeError(f"nginx did not start: {self._log()}")

    def _wait_ready(self, seconds=10):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                return False
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=0.5):
                    return True
            except OSError:
                time.sleep(0.02)
        return False

    def _log(self):
        text = []
        for name in ("stderr.log", "error.log"):
            try:
                with open(os.path.join(self.tmp, name), errors="replace") as f:
                    text.append(f.read().strip())
            except OSError:
                pass
        return " ".join(t for t in text if t) or "no log"

    def _end(self):
        if self.process is not None and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process = None

    def stop(self):
        self._end()
        if self.tmp is not None:
            shutil.rmtree(self.tmp, ignore_errors=True)
            self.tmp = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
