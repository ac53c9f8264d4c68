#!/usr/bin/env python3
"""Local stand-in for the project's web service, standard library only.

HTTP/1.0 on 127.0.0.1:8080:
  POST /ota/ota/geturl.action   answers <flashurl> by <phonemode> and <flashtype>
  GET  /files/rom/<device>.zip  a real zip (the model's ROM package)
  GET  /files/recovery/<device>.img   the model's recovery image
  GET  /files/big/<N>.bin       N zeros (lengths past 2 GiB), ETag "big-N"
  GET  /                        the home page
Control (tests and the demo): /_sim/reset, /_sim/set?key=value..., /_sim/log,
/_sim/down?ms=N (stop listening for N ms), /_sim/stall?ms=N (connections are
not answered for N ms: the accept queue is full, as on a loaded server).
Faults (keys of /_sim/set): query_status, url_scheme=https, url_space=1,
no_flashurl=1, url_query=N (N more characters of address), split=1 (answer
in several TCP writes), file_status,
no_length=1, short=1 (half the declared body, then close), slow_ms=N (pause
per 64 KiB), rom_size=N (bytes of the ROM zip), md5=wrong|none (the checksum
sent beside the address), recovery_html=1 (an error page served as the image),
no_ranges=1 (Range requests are answered with the whole file), ignore_if_range=1
(ranges answered whatever If-Range names), cut_after=N (close after N bytes of
a file), rom_seed=S (another package of the same length), query_fails_for=T
(the query of flash type T answers 500), range_shift=N
(a 206 that starts N bytes later than asked, as a broken proxy sends it),
range_from_zero=1 (a 206 of the whole file, whatever range was asked),
weak_etag=1 (the ETag is weak: no validator for If-Range).
Files carry an ETag (their MD5) and honour "Range: bytes=N-" with "If-Range";
/_sim/log lists each file answer's status, /_sim/bytes the file bytes sent.
The process ends by itself after --lifetime seconds.
"""
import argparse, hashlib, io, os, random, signal, socket, struct, sys, threading, time, zipfile
from http.server import BaseHTTPRequestHandler
from urllib.parse import parse_qsl, urlsplit

DEVICES = {"Blade": "blade", "Nexus One": "passion", "Nexus S": "crespo", "HTC Desire": "bravo"}
DEFAULTS = {"rom_size": "300000"}


class State:
    def __init__(self, cache):
        self.lock = threading.Lock()
        self.cache = cache
        self.faults = dict(DEFAULTS)
        self.log = []
        self.bytes_sent = 0
        self.down_until = 0.0
        self.stall_until = 0.0
        self.stalled = threading.Event()  # set once a stall is in place

    def fault(self, key, default=""):
        with self.lock:
            return self.faults.get(key, default)


def recovery_bytes(device, size=200704):
    """A boot image: header page (page size 2048), kernel and ramdisk."""
    seed = hashlib.sha256(device.encode()).digest()
    rnd = random.Random(seed)
    pages = size // 2048 - 1
    head = b"ANDROID!" + struct.pack("<10I", (pages // 2) * 2048 - 100, 0x10008000, (pages - pages // 2) * 2048 - 50,
                                     0x11000000, 0, 0x10f00000, 0x10000100, 2048, 0, 0) + device.encode().ljust(16, b"\0")
    return head + bytes(rnd.getrandbits(8) for _ in range(size - len(head)))


ERROR_PAGE = b"<html><head><title>502 Bad Gateway</title></head><body>Bad Gateway</body></html>"
_md5_cache = {}


def md5_of(key, read):
    """MD5 of a served file, computed once per file."""
    if key not in _md5_cache:
        h = hashlib.md5()
        for chunk in read():
            h.update(chunk)
        _md5_cache[key] = h.hexdigest()
    return _md5_cache[key]


def served(state, kind, device):
    """(size, opener, md5) of a served file."""
    if kind == "recovery":
        data = ERROR_PAGE if state.fault("recovery_html") == "1" else recovery_bytes(device)
        return len(data), lambda: io.BytesIO(data), hashlib.md5(data).hexdigest()
    if kind == "big":  # zeros of the length named, with a validator of their own
        size = int(device)
        return size, lambda: Zeros(size), "big-%d" % size
    path = rom_path(state, device, int(state.fault("rom_size")), state.fault("rom_seed"))

    def chunks():
        with open(path, "rb") as f:
            yield from iter(lambda: f.read(1 << 20), b"")
    return os.path.getsize(path), lambda: open(path, "rb"), md5_of(path, chunks)


class Zeros(io.RawIOBase):
    """A file of zeros that takes no room, for lengths past 2 GiB."""
    def __init__(self, size):
        self.size, self.at = size, 0

    def seek(self, at, whence=0):
        self.at = at
        return at

    def read(self, n=-1):
        n = self.size - self.at if n < 0 else min(n, self.size - self.at)
        self.at += n
        return bytes(n)


def rom_path(state, device, size, seed=""):
    """A ROM package of about `size` bytes (stored entries) for the device, made once and cached;
    another seed gives other payload bytes of the same length."""
    os.makedirs(state.cache, exist_ok=True)
    path = os.path.join(state.cache, "rom2_%s%s_%d.zip" % (device, seed and "_" + seed, size))
    if not os.path.exists(path):
        rnd = random.Random(device + seed)
        block = bytes(rnd.getrandbits(8) for _ in range(1 << 16))
        tmp = path + ".%d.%d.tmp" % (os.getpid(), threading.get_ident())  # one writer per thread
        with zipfile.ZipFile(tmp, "w", zipfile.ZIP_STORED) as z:
            z.writestr("META-INF/com/google/android/update-binary", block[:4000])
            z.writestr("META-INF/com/google/android/updater-script",
                       'assert(getprop("ro.product.device") == "%s" || getprop("ro.build.product") == "%s");\n'
                       'ui_print("Mirq ROM for %s");\n' % (device, device, device))
            with z.open("system/app/payload.bin", "w", force_zip64=True) as f:
                left = max(size - 4600, 0)
                while left > 0:
                    n = min(left, len(block))
                    f.write(block[:n])
                    left -= n
        os.replace(tmp, path)
    return path


def make_handler(state):
    class Handler(BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.0"

        def log_message(self, *args):
            pass

        def record(self, body=b""):
            with state.lock:
                state.log.append("%s %s %s|%s|%s" % (
                    self.command, self.path, self.request_version,
                    self.headers.get("User-Agent", ""), body.decode("latin-1")))

        def send_bytes(self, status, data, ctype="application/octet-stream", length=True):
            self.send_response(status)
            self.send_header("Content-Type", ctype)
            if length:
                self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            if state.fault("split") == "1" and self.command == "POST":
                for i in range(0, len(data), 20):  # the answer in several TCP writes
                    self.wfile.write(data[i:i + 20])
                    self.wfile.flush()
                    time.sleep(0.05)
            else:
                self.wfile.write(data)

        def do_POST(self):
            body = self.rfile.read(int(self.headers.get("Content-Length", "0") or 0))
            self.record(body)
            if urlsplit(self.path).path != "/ota/ota/geturl.action":
                return self.send_bytes(404, b"not found")
            status = int(state.fault("query_status", "200") or 200)
            text = body.decode("latin-1")
            mode = text.partition("<phonemode>")[2].partition("</phonemode>")[0]
            ftype = text.partition("<flashtype>")[2].partition("</flashtype>")[0]
            if state.fault("query_fails_for") == ftype:
                status = 500
            device = DEVICES.get(mode)
            if status != 200 or device is None or ftype not in ("1", "2"):
                return self.send_bytes(status if status != 200 else 404, b"<root><error>unknown</error></root>")
            host = self.headers.get("Host", "127.0.0.1:8080")
            url = "http://%s/files/%s" % (host, "rom/%s.zip" % device if ftype == "1" else "recovery/%s.img" % device)
            if state.fault("url_scheme") == "https":
                url = "https" + url[4:]
            if state.fault("url_space") == "1":
                url = "\n " + url
            if state.fault("url_query"):  # a long address (a signed download link)
                url += "?token=" + "t" * int(state.fault("url_query"))
            inner = "" if state.fault("no_flashurl") == "1" else "<flashurl>%s</flashurl>" % url
            digest = served(state, "rom" if ftype == "1" else "recovery", device)[2]
            if state.fault("md5") == "wrong":
                digest = hashlib.md5(digest.encode()).hexdigest()
            if state.fault("md5") != "none":
                inner += "<md5>%s</md5>" % digest
            answer = '<?xml version="1.0" encoding="UTF-8"?><root><status>ok</status>%s</root>' % inner
            self.send_bytes(200, answer.encode(), "text/xml")

        def do_GET(self):
            self.record()
            url = urlsplit(self.path)
            if url.path.startswith("/_sim/"):
                return self.control(url.path[6:], dict(parse_qsl(url.query)))
            if url.path == "/":
                return self.send_bytes(200, "<html><body>MirqROM论坛</body></html>".encode(), "text/html")
            parts = url.path.strip("/").split("/")
            if len(parts) != 3 or parts[0] != "files":
                return self.send_bytes(404, b"not found")
            status = int(state.fault("file_status", "200") or 200)
            if status != 200:
                return self.send_bytes(status, b"error")
            name, _, ext = parts[2].rpartition(".")
            if (parts[1], ext) in (("recovery", "img"), ("rom", "zip"), ("big", "bin")):
                size, opener, digest = served(state, parts[1], name)
                etag = ('W/"%s"' if state.fault("weak_etag") == "1" else '"%s"') % digest
                start = 0
                wanted = self.headers.get("Range", "")
                if_range = self.headers.get("If-Range")
                if wanted:
                    with state.lock:
                        state.log.append("range asked %s" % self.path)
                # A weak validator never matches If-Range: the whole file comes.
                # ignore_if_range=1: a proxy that answers every range, whatever If-Range says.
                if (wanted.startswith("bytes=") and wanted.endswith("-") and state.fault("no_ranges") != "1"
                        and (if_range is None or (if_range == etag and not etag.startswith("W/"))
                             or state.fault("ignore_if_range") == "1")):
                    try:
                        start = int(wanted[6:-1])
                    except ValueError:
                        start = 0
                    if start >= size:
                        with state.lock:
                            state.log.append("416 %s" % self.path)
                        self.send_response(416)
                        self.send_header("Content-Range", "bytes */%d" % size)
                        self.send_header("Content-Length", "0")
                        self.end_headers()
                        return
                    start += int(state.fault("range_shift", "0") or 0) if start else 0
                    if state.fault("range_from_zero") == "1":
                        with opener() as f:
                            return self.send_file(f, size, 0, etag, partial=True)
                    if not 0 < start < size:
                        start = 0
                with opener() as f:
                    f.seek(start)
                    return self.send_file(f, size, start, etag)
            self.send_bytes(404, b"not found")

        def send_file(self, f, size, start=0, etag=None, partial=False):
            status = 206 if start or partial else 200
            with state.lock:
                state.log.append("%d %s" % (status, self.path))
            self.send_response(status)
            self.send_header("Content-Type", "application/octet-stream")
            if etag:
                self.send_header("ETag", etag)
            if start or partial:
                self.send_header("Content-Range", "bytes %d-%d/%d" % (start, size - 1, size))
            if state.fault("no_length") != "1":
                self.send_header("Content-Length", str(size - start))
            self.end_headers()
            size -= start
            limit = size // 2 if state.fault("short") == "1" else size
            if state.fault("cut_after"):
                limit = min(limit, int(state.fault("cut_after")))
            slow = int(state.fault("slow_ms", "0") or 0) / 1000.0
            sent = 0
            try:
                while sent < limit:
                    chunk = f.read(min(1 << 16, limit - sent))
                    if not chunk:
                        break
                    self.wfile.write(chunk)
                    sent += len(chunk)
                    with state.lock:
                        state.bytes_sent += len(chunk)
                    if slow:
                        self.wfile.flush()
                        time.sleep(slow)
            except (BrokenPipeError, ConnectionResetError):
                pass
            self.close_connection = True

        def control(self, verb, args):
            if verb == "reset":
                with state.lock:
                    state.faults = dict(DEFAULTS)
                    state.log = []
                    state.bytes_sent = 0
            elif verb == "set":
                with state.lock:
                    state.faults.update(args)
            elif verb == "bytes":
                with state.lock:
                    text = str(state.bytes_sent)
                return self.send_bytes(200, text.encode(), "text/plain")
            elif verb == "log":
                with state.lock:
                    text = "\n".join(l for l in state.log if "/_sim/" not in l)
                return self.send_bytes(200, text.encode("latin-1"), "text/plain")
            elif verb in ("down", "stall"):
                state.stalled.clear()
                with state.lock:
                    setattr(state, verb + "_until", time.time() + int(args.get("ms", "1000")) / 1000.0)
                if verb == "stall":
                    state.stalled.wait(2.0)  # answered once connections really go unanswered
            else:
                return self.send_bytes(404, b"unknown")
            self.send_bytes(200, b"ok", "text/plain")

    return Handler


def listen(port, backlog=32):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind(("127.0.0.1", port))
    s.listen(backlog)
    s.settimeout(0.2)
    return s


def serve(args):
    state = State(args.cache)
    handler = make_handler(state)
    deadline = time.time() + args.lifetime
    sock = listen(args.port)
    if args.ready_fd is not None:
        os.write(args.ready_fd, b"ok")
        os.close(args.ready_fd)
    while time.time() < deadline:
        if state.down_until > time.time():
            sock.close()
            time.sleep(max(0.0, state.down_until - time.time()))
            sock = listen(args.port)
            continue
        if state.stall_until > time.time():
            # A full accept queue: further connects get no answer until it ends.
            sock.close()
            sock = listen(args.port, 0)
            fillers = []
            for _ in range(4):
                f = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
                f.setblocking(False)
                f.connect_ex(("127.0.0.1", args.port))
                fillers.append(f)
            state.stalled.set()
            time.sleep(max(0.0, state.stall_until - time.time()))
            for f in fillers:
                f.close()
            sock.close()
            sock = listen(args.port)
            continue
        try:
            conn, addr = sock.accept()
        except socket.timeout:
            continue
        conn.settimeout(None)
        threading.Thread(target=lambda c=conn, a=addr: handle(handler, c, a), daemon=True).start()


def handle(handler, conn, addr):
    try:
        handler(conn, addr, None)
    except Exception:
        pass
    finally:
        try:
            conn.close()
        except OSError:
            pass


def stop(pidfile):
    try:
        pid = int(open(pidfile).read())
        os.kill(pid, signal.SIGTERM)
        for _ in range(50):
            os.kill(pid, 0)
            time.sleep(0.1)
    except (OSError, ValueError):
        pass
    try:
        os.remove(pidfile)
    except OSError:
        pass


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--port", type=int, default=8080)
    p.add_argument("--lifetime", type=float, default=3600)
    p.add_argument("--cache", default="/tmp/mirq-service-cache")
    p.add_argument("--daemon", action="store_true", help="start in the background, return once listening")
    p.add_argument("--pidfile")
    p.add_argument("--stop", action="store_true")
    args = p.parse_args()
    args.ready_fd = None
    if args.stop:
        return stop(args.pidfile)
    if args.daemon:
        if args.pidfile:
            stop(args.pidfile)  # an earlier run that was not stopped
        r, w = os.pipe()
        if os.fork() > 0:
            os.close(w)
            ok = os.read(r, 2) == b"ok"
            if not ok:
                print("service: could not listen on port %d" % args.port, file=sys.stderr)
            return 0 if ok else 1
        os.close(r)
        os.setsid()
        devnull = os.open(os.devnull, os.O_RDWR)
        for fd in (0, 1, 2):
            os.dup2(devnull, fd)
        if args.pidfile:
            open(args.pidfile, "w").write(str(os.getpid()))
        args.ready_fd = w
    serve(args)


if __name__ == "__main__":
    sys.exit(main())
