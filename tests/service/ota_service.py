#!/usr/bin/env python3
"""Local stand-in for the project's web service, standard library only.

HTTP/1.0 on 127.0.0.1:8080 (and HTTPS on --tls-port, with the certificates
of --tls-dir, made by make_certs.sh):
  POST /ota/ota/geturl.action   answers by <phonemode> and <flashtype>: the
        phone and the file asked for, the nonce, <certificate> (base64 of the
        root's certificate of the online key), <release> (base64 of the
        root-signed record: phonemode, flashtype, version, size, sha256, md5,
        until, url: the address it answers) and <flashurl>, then <signature>: RSA PKCS#1 v1.5 with SHA-256
        (openssl dgst -sha256 -sign, base64) over every byte before it, with
        the online key (tests/keys/online-private.pem). The root, whose public
        half the tests' build carries, is tests/keys/service-private.pem.
  GET  /files/rom/<device>.zip  a real zip (the model's ROM package)
  GET  /files/recovery/<device>.img   the model's recovery image
  GET  /files/big/<N>.bin       N zeros (lengths past 2 GiB), ETag "big-N"
  GET  /ota/ota/models.action   the catalogue of models, signed like the answers
  GET  /                        the home page
Control (tests and the demo): /_sim/reset, /_sim/set?key=value..., /_sim/log,
/_sim/down?ms=N (stop listening for N ms), /_sim/stall?ms=N (connections are
not answered for N ms: the accept queue is full, as on a loaded server).
Faults (keys of /_sim/set): query_status, url_scheme=https, url_space=1,
place=outside (an address the record does not name), record_until=ended|today,
pieces=count (a piece list that does not match the size), online=small (a 1024-bit key), cert=today,
catalogue_until=ended, withdraw=online (the catalogue withdraws the online key),
no_flashurl=1, url_query=N (N more characters of address), split=1 (answer
in several TCP writes), file_status,
no_length=1, short=1 (half the declared body, then close), slow_ms=N (each
connection sends 64 KiB per N ms, held to its schedule as a rate limit is;
alt_slow_ms=N for the second place alone), place_ms=N (each place sends
64 KiB per N ms over all its connections), rom_size=N (bytes of the ROM zip), md5=wrong|none (the checksum
sent beside the address), recovery_html=1 (an error page served as the image),
no_ranges=1 (Range requests are answered with the whole file), ignore_if_range=1
(ranges answered whatever If-Range names), cut_after=N (close after N bytes of
a file), rom_seed=S (another package of the same length), query_fails_for=T
(the query of flash type T answers 500), range_shift=N
(a 206 that starts N bytes later than asked, as a broken proxy sends it),
range_from_zero=1 (a 206 of the whole file, whatever range was asked),
weak_etag=1 (the ETag is weak: no validator for If-Range), no_validator=1
(no ETag at all),
sign=none|broken|otherkey|otherphone|otherfile (no signature, a signature
that does not verify, one made with a key the certificate does not name, a
rightly signed answer for another phone or for the other file),
cert=none|ended|otherroot, online=second (a second certified online key),
record=online|edited|otherphone|otherfile, record_version=N,
omit=size|sha256|phonemode|status (signed without it),
tamper=1 (the file served differs from the one signed, same length),
extra=N (N bytes more than signed follow the file), linger_ms=N (the
connection held open N ms after the file), declare_extra=N (a length N bytes
more than sent), tls_cert=untrusted
(TLS with a certificate of a CA nobody trusts), redirect_http=1 (files asked
for over TLS are redirected to plain HTTP, to an address whose query holds
"https://"), nonce=none|replay (signed without the query's nonce; the answer
given for the last query of the same phone and file), status=S (signed with
another status), size_text=T (the size as T, N standing for the number),
shape=comment|nested|dup|amp|after|twosig (a <flashurl> in a comment, inside
<phonemode>'s text, twice; "&amp;" in the address; the size only after the
signature; an element and a second signature after the first).
Files carry an ETag (their MD5) and honour "Range: bytes=N-" with "If-Range";
/_sim/log lists each file answer's status, /_sim/bytes the file bytes sent.
Each service also listens as an HTTP proxy 100 ports above its own: it answers
a request in absolute form (as WinINet sends it to a proxy) itself and logs
it as "proxy METHOD URL".
The process ends by itself after --lifetime seconds.
"""
import argparse, base64, hashlib, io, os, random, select, signal, socket, ssl, struct, subprocess, sys, threading, \
    time, zipfile
from http.server import BaseHTTPRequestHandler
from urllib.parse import parse_qsl, urlsplit

DEVICES = {"Blade": "blade", "Nexus One": "passion", "Nexus S": "crespo", "HTC Desire": "bravo", "OnePlus One": "bacon"}
# The catalogue of models: the four phones of old, and one whose recovery reads openrecoveryscript and stays.
CATALOGUE_ROWS = [("Blade", ["zte"], "blade", "ZTE V880", "flash_image", "extendedcommand"),
                  ("Nexus One", ["android", "google"], "passion", "Google Nexus One", "flash_image", "extendedcommand"),
                  ("Nexus S", ["google", "android"], "crespo", "Google Nexus S", "flash_image", "extendedcommand"),
                  ("HTC Desire", ["htc_wwe"], "bravo", "HTC Desire", "flash_image", "extendedcommand"),
                  ("OnePlus One", ["oneplus"], "bacon", "OnePlus One", "keep", "openrecoveryscript")]
DEFAULTS = {"rom_size": "300000"}
PROXY_OFFSET = 100  # each service's proxy listens 100 ports above it
KEYS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "keys")
_signatures = {}


def sign(data, key="service"):
    """The signature of the bytes as openssl makes it, base64 (cached: openssl runs once per answer)."""
    if (key, data) not in _signatures:
        raw = subprocess.run(["openssl", "dgst", "-sha256", "-sign", os.path.join(KEYS, key + "-private.pem")],
                             input=data, stdout=subprocess.PIPE, check=True).stdout
        _signatures[(key, data)] = base64.b64encode(raw).decode()
    return _signatures[(key, data)]


def public_der(key):
    """The key's public half as DER, as the program is given keys."""
    if ("der", key) not in _signatures:
        _signatures[("der", key)] = subprocess.run(
            ["openssl", "pkey", "-in", os.path.join(KEYS, key + "-private.pem"), "-pubout", "-outform", "DER"],
            stdout=subprocess.PIPE, check=True).stdout
    return _signatures[("der", key)]


def last_day(how):
    """A signed document's last day: ended (in 2020), today (UTC: it still counts), or far off."""
    return {"ended": "2020-01-01", "today": time.strftime("%Y-%m-%d", time.gmtime())}.get(how, "2099-12-31")


def xml_text(text):
    return text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")


def b64(data):
    return base64.b64encode(data if isinstance(data, bytes) else data.encode()).decode()


def signed_document(text, root, key):
    return text + "<signature>%s</signature></%s>\n" % (sign(text.encode(), key), root)


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
        self.place_next = {}  # each place's next moment to send under place_ms
        self.answered = {}  # the last answer for each phone and file, kept across resets

    def fault(self, key, default=""):
        with self.lock:
            return self.faults.get(key, default)


def device_of(phonemode):
    """The device a phonemode names: the table's, or a catalogue's own test phone's."""
    if phonemode.startswith("Mirq Test "):
        return "mirqtest" + phonemode[10:]
    return DEVICES.get(phonemode)


def recovery_bytes(device, size=200704):
    """A boot image: header page (page size 2048), kernel and ramdisk."""
    seed = hashlib.sha256(device.encode()).digest()
    rnd = random.Random(seed)
    pages = size // 2048 - 1
    head = b"ANDROID!" + struct.pack("<10I", (pages // 2) * 2048 - 100, 0x10008000, (pages - pages // 2) * 2048 - 50,
                                     0x11000000, 0, 0x10f00000, 0x10000100, 2048, 0, 0) + device.encode().ljust(16, b"\0")
    return head + bytes(rnd.getrandbits(8) for _ in range(size - len(head)))


ERROR_PAGE = b"<html><head><title>502 Bad Gateway</title></head><body>Bad Gateway</body></html>"
_digest_cache = {}


def digests_of(key, read):
    """(MD5, SHA-256) of a served file, computed once per file."""
    if key not in _digest_cache:
        md5, sha = hashlib.md5(), hashlib.sha256()
        for chunk in read():
            md5.update(chunk)
            sha.update(chunk)
        _digest_cache[key] = (md5.hexdigest(), sha.hexdigest())
    return _digest_cache[key]


_pieces_cache = {}


def pieces_of(sha256, opener, piece_size):
    """The SHA-256 of each piece of a served file, computed once per file and size."""
    if (sha256, piece_size) not in _pieces_cache:
        pieces, f = [], opener()
        for block in iter(lambda: f.read(piece_size), b""):
            pieces.append(hashlib.sha256(block).hexdigest())
        _pieces_cache[(sha256, piece_size)] = pieces
    return _pieces_cache[(sha256, piece_size)]


def served(state, kind, device):
    """(size, opener, md5, sha256) of a served file."""
    if kind == "recovery":
        data = ERROR_PAGE if state.fault("recovery_html") == "1" else recovery_bytes(device)
        return len(data), lambda: io.BytesIO(data), hashlib.md5(data).hexdigest(), hashlib.sha256(data).hexdigest()
    if kind == "big":  # zeros of the length named, with a validator of their own
        size = int(device)
        return size, lambda: Zeros(size), "big-%d" % size, ""
    path = rom_path(state, device, int(state.fault("rom_size")), state.fault("rom_seed"))

    def chunks():
        with open(path, "rb") as f:
            yield from iter(lambda: f.read(1 << 20), b"")
    return (os.path.getsize(path), lambda: open(path, "rb")) + digests_of(path, chunks)


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
    path = os.path.join(state.cache, "rom3_%s%s_%d.zip" % (device, seed and "_" + seed, size))
    if not os.path.exists(path):
        rnd = random.Random(device + seed)
        block = bytes(rnd.getrandbits(8) for _ in range(1 << 16))
        tmp = path + ".%d.%d.tmp" % (os.getpid(), threading.get_ident())  # one writer per thread
        with zipfile.ZipFile(tmp, "w", zipfile.ZIP_STORED) as z:
            z.writestr("META-INF/com/google/android/update-binary", block[:4000])
            z.writestr("META-INF/com/google/android/updater-script",
                       'assert(getprop("ro.product.device") == "%s" || getprop("ro.build.product") == "%s");\n'
                       'ui_print("Mirq ROM for %s");\n' % (device, device, device))
            z.writestr("system/build.prop", "ro.build.id=MIRQ1\nro.build.display.id=MirqROM 1.0 %s\n"
                                            "ro.build.date.utc=1400000000\n" % device)
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
                if self.path.startswith("http://"):  # the absolute form: it came as to a proxy
                    state.log.append("proxy %s %s" % (self.command, self.path))
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
            text = body.decode("utf-8", "replace")  # the query says it is UTF-8
            mode = text.partition("<phonemode>")[2].partition("</phonemode>")[0]
            ftype = text.partition("<flashtype>")[2].partition("</flashtype>")[0]
            if state.fault("query_fails_for") == ftype:
                status = 500
            device = device_of(mode)
            if status != 200 or device is None or ftype not in ("1", "2"):
                return self.send_bytes(status if status != 200 else 404, b"<root><error>unknown</error></root>")
            nonce = text.partition("<nonce>")[2].partition("</nonce>")[0]
            answer = self.answer(mode, ftype, nonce).encode()
            with state.lock:  # what an attacker on the path could keep and send again
                replayed = state.answered.get((mode, ftype)) if state.faults.get("nonce") == "replay" else None
                state.answered[(mode, ftype)] = answer
            self.send_bytes(200, replayed or answer, "text/xml")

        def answer(self, mode, ftype, nonce):
            """The answer for the phone, the file and the query asked for (or, as a fault asks, for others), signed
            with the online key, its certificate and the root-signed record inside."""
            how = state.fault("sign")
            if how == "otherphone":  # rightly signed, but for another phone: a replay
                mode = next(m for m in DEVICES if m != mode)
            if how == "otherfile":
                ftype = "2" if ftype == "1" else "1"
            device = device_of(mode)
            host = self.headers.get("Host", "127.0.0.1:8080")
            scheme = "https" if isinstance(self.connection, ssl.SSLSocket) else "http"
            url = "%s://%s/files/%s" % (scheme, host, "rom/%s.zip" % device if ftype == "1" else "recovery/%s.img" % device)
            if state.fault("url_scheme") == "https":
                url = "https" + url[len(scheme):]
            if state.fault("url_query"):  # a long address (a signed download link)
                url += "?token=" + "t" * int(state.fault("url_query"))
            shape = state.fault("shape")
            if shape == "amp":  # an address with a query, escaped as XML asks
                url += "?a=1&b=2"
            record = self.release_record(mode, ftype, device, url)
            # The answer picks one of the record's places (place=outside: one of its own).
            if state.fault("place") == "outside":
                url = "http://127.0.0.1:1/elsewhere.zip"
            if state.fault("url_space") == "1":
                url = "\n " + url
            evil = "<flashurl>http://127.0.0.1:1/evil.zip</flashurl>"
            inner = "" if state.fault("omit") == "phonemode" else "<phonemode>%s</phonemode>" % mode
            if shape == "nested":  # an element inside another's text
                inner = "<phonemode>%s%s</phonemode>" % (evil, mode)
            inner += "\n  <flashtype>%s</flashtype>" % ftype
            if state.fault("nonce") != "none":
                inner += "<nonce>%s</nonce>" % nonce
            if shape == "comment":
                inner += "<!-- %s -->" % evil
            # online=second: another certified key; online=small: a certified key of 1024 bits.
            online = state.fault("online") if state.fault("online") in ("second", "small") else "online"
            if state.fault("cert") != "none":
                inner += "<certificate>%s</certificate>" % b64(self.certificate(online))
            inner += "<release>%s</release>" % b64(record)
            if state.fault("no_flashurl") != "1":
                inner += "<flashurl>%s</flashurl>" % xml_text(url)
            if shape == "dup":
                inner += evil
            status = "" if state.fault("omit") == "status" else "<status>%s</status>" % state.fault("status", "ok")
            signed = '<?xml version="1.0" encoding="UTF-8"?>\n<root>%s%s' % (status, inner)
            if how == "none":
                return signed + "</root>"
            signature = sign(signed.encode(), "other" if how == "otherkey" else online)
            if how == "broken":  # one bit of the signature flipped
                raw = bytearray(base64.b64decode(signature))
                raw[len(raw) // 2] ^= 1
                signature = base64.b64encode(bytes(raw)).decode()
            tail = ""
            if shape == "after":  # the size only after the signature, outside what it covers
                tail = "<size>%d</size>" % served(state, "rom" if ftype == "1" else "recovery", device)[0]
            if shape == "twosig":  # more after the signature, signed by nobody
                tail = evil + "<signature>%s</signature>" % base64.b64encode(b"x" * 384).decode()
            return signed + "<signature>%s</signature>%s</root>" % (signature, tail)

        def certificate(self, online):
            """The root's certificate of the online key (cert=ended|otherroot: ended in 2020, signed by another root)."""
            how = state.fault("cert")
            text = '<?xml version="1.0" encoding="UTF-8"?>\n<certificate><key>%s</key><until>%s</until>' % (
                b64(public_der(online)), last_day(how))
            return signed_document(text, "certificate", "other" if how == "otherroot" else "service")

        def release_record(self, mode, ftype, device, url):
            """The root-signed release record, naming `url` as the file's place (record=online|edited|otherphone:
            signed with the online key, edited after signing, for another phone; record_version=N;
            record_until=ended: it ended in 2020)."""
            how = state.fault("record")
            if how == "otherphone":
                mode = next(m for m in DEVICES if m != mode)
            if how == "otherfile":
                ftype = "2" if ftype == "1" else "1"
            size, opener, digest, sha256 = served(state, "rom" if ftype == "1" else "recovery", device)
            text = '<?xml version="1.0" encoding="UTF-8"?>\n<release><phonemode>%s</phonemode><flashtype>%s</flashtype>' \
                   '<version>%s</version>' % (mode, ftype, state.fault("record_version", "1"))
            omit, shape = state.fault("omit"), state.fault("shape")
            if omit != "size" and shape != "after":
                text += "<size>%s</size>" % state.fault("size_text", "N").replace("N", str(size))
            if omit != "sha256":
                text += "<sha256>%s</sha256>" % sha256
            if state.fault("md5") == "wrong":
                digest = hashlib.md5(digest.encode()).hexdigest()
            if state.fault("md5") != "none":
                text += "<md5>%s</md5>" % digest
            text += "<until>%s</until><url>%s</url>" % (last_day(state.fault("record_until")), xml_text(url))
            if state.fault("alt"):  # a second place: this service's files under /alt/, with faults of its own
                text += "<url>%s</url>" % xml_text(url.replace("/files/", "/alt/files/", 1))
            # piece_size=N: the SHA-256 of each piece (pieces=count: one more than the size has, which refuses it).
            piece_size = int(state.fault("piece_size", "0") or 0)
            if piece_size:
                pieces = pieces_of(sha256, opener, piece_size) + ([sha256] if state.fault("pieces") == "count" else [])
                text += "<piecesize>%d</piecesize>%s" % (piece_size, "".join("<piece>%s</piece>" % p for p in pieces))
            record = signed_document(text, "release", "online" if how == "online" else "service")
            return record.replace(sha256, "0" * 64) if how == "edited" else record

        def catalogue(self):
            """The signed catalogue of models (catalogue=none|unsigned|otherkey|broken, catalogue_version=N,
            catalogue_delay_ms=N, catalogue_rows=N: the first N rows only, catalogue_extra=N: N phones of its
            own after the first four, "Mirq Test K" with device mirqtestK, catalogue_keep=DEVICE: that row
            keeps its recovery and reads openrecoveryscript)."""
            how = state.fault("catalogue")
            table = list(CATALOGUE_ROWS[:int(state.fault("catalogue_rows", "0") or 0) or None])
            table[4:4] = [("Mirq Test %d" % k, ["mirqtest"], "mirqtest%d" % k, "Mirq Test %d" % k, "flash_image",
                           "extendedcommand") for k in range(1, int(state.fault("catalogue_extra", "0") or 0) + 1)]
            table = [row[:4] + (("keep", "openrecoveryscript") if row[2] == state.fault("catalogue_keep") else row[4:])
                     for row in table]
            time.sleep(int(state.fault("catalogue_delay_ms", "0") or 0) / 1000.0)  # a slow service at launch
            if how == "none":
                return self.send_bytes(404, b"not found")
            rows = "".join("\n  <model><phonemode>%s</phonemode>%s<device>%s</device><name>%s</name>"
                           "<recovery>%s</recovery><script>%s</script></model>" % (
                               mode, "".join("<brand>%s</brand>" % b for b in brands), device, name, recovery, script)
                           for mode, brands, device, name, recovery, script in table)
            # catalogue_until=ended: it ended in 2020; withdraw=online: it withdraws the online key.
            withdrawn = "<withdrawn>%s</withdrawn>" % hashlib.sha256(public_der("online")).hexdigest() \
                if state.fault("withdraw") == "online" else ""
            signed = '<?xml version="1.0" encoding="UTF-8"?>\n<models><version>%s</version><until>%s</until>%s%s\n' % (
                state.fault("catalogue_version", "1"), last_day(state.fault("catalogue_until")),
                withdrawn, rows)
            if how == "broken":  # a model without its script: the whole catalogue is refused
                signed = signed.replace("<script>openrecoveryscript</script>", "")
            if how == "unsigned":
                return self.send_bytes(200, (signed + "</models>").encode(), "text/xml")
            signature = sign(signed.encode(), "other" if how == "otherkey" else "service")
            self.send_bytes(200, (signed + "<signature>%s</signature></models>" % signature).encode(), "text/xml")

        def do_GET(self):
            self.record()
            url = urlsplit(self.path)
            if url.path.startswith("/_sim/"):
                return self.control(url.path[6:], dict(parse_qsl(url.query)))
            if url.path == "/ota/ota/models.action":
                return self.catalogue()
            if url.path == "/":
                return self.send_bytes(200, "<html><body>MirqROM论坛</body></html>".encode(), "text/html")
            parts = url.path.strip("/").split("/")
            # The second place (alt=wrong|whole|cut|down|stall: the first byte of every range changed, ranges
            # answered with the whole file, cut after 100 KB, gone, silent for a minute after its first 64 KiB).
            alt = parts[0] == "alt" and len(parts) == 4
            if alt:
                parts = parts[1:]
                if state.fault("alt") == "down":
                    return self.send_bytes(404, b"not found")
            if len(parts) != 3 or parts[0] != "files":
                return self.send_bytes(404, b"not found")
            status = int(state.fault("file_status", "200") or 200)
            if status != 200:
                return self.send_bytes(status, b"error")
            name, _, ext = parts[2].rpartition(".")
            if state.fault("redirect_http") == "1" and isinstance(self.connection, ssl.SSLSocket):
                self.send_response(302)
                self.send_header("Location", "http://127.0.0.1:%d%s?from=https://service.mirq.test/" % (
                    self.server_port_http, self.path))
                self.send_header("Content-Length", "0")
                self.end_headers()
                return
            if (parts[1], ext) in (("recovery", "img"), ("rom", "zip"), ("big", "bin")):
                size, opener, digest, _ = served(state, parts[1], name)
                etag = ('W/"%s"' if state.fault("weak_etag") == "1" else '"%s"') % digest
                start = 0
                wanted = self.headers.get("Range", "")
                if_range = self.headers.get("If-Range")
                if wanted:
                    with state.lock:
                        state.log.append("range asked %s %s" % (self.path, wanted))
                # One range from A to B, as a real server answers it (the pieces' requests).
                closed = wanted[6:].split("-") if wanted.startswith("bytes=") else []
                if len(closed) == 2 and closed[0].isdigit() and closed[1].isdigit() and state.fault("no_ranges") != "1" \
                        and not (alt and state.fault("alt") == "whole"):
                    first, last = int(closed[0]), min(int(closed[1]), size - 1)
                    with opener() as f:
                        f.seek(first)
                        return self.send_file(f, size, first, etag, partial=True, end=last + 1,
                                              flip=0 if alt and state.fault("alt") == "wrong" else -1,
                                              cut=100000 if alt and state.fault("alt") == "cut" else -1,
                                              stall=alt and state.fault("alt") == "stall", alt=alt)
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

        def send_file(self, f, size, start=0, etag=None, partial=False, end=None, flip=-1, cut=-1, stall=False,
                      alt=False):
            status = 206 if start or partial else 200
            whole, size = size, size if end is None else end  # a closed range ends before the file does
            with state.lock:
                state.log.append("%d %s" % (status, self.path))
            self.send_response(status)
            self.send_header("Content-Type", "application/octet-stream")
            if etag and state.fault("no_validator") != "1":
                self.send_header("ETag", etag)
            if start or partial:
                self.send_header("Content-Range", "bytes %d-%d/%d" % (start, size - 1, whole))
            extra = int(state.fault("extra", "0") or 0)
            declared = int(state.fault("declare_extra", "0") or 0)  # declared, never sent
            if state.fault("no_length") != "1":
                self.send_header("Content-Length", str(size - start + extra + declared))
            self.end_headers()
            tampered = size // 2 - start if state.fault("tamper") == "1" else flip  # a byte of the file changed
            size -= start
            limit = size // 2 if state.fault("short") == "1" else size
            if state.fault("cut_after"):
                limit = min(limit, int(state.fault("cut_after")))
            if cut >= 0:
                limit = min(limit, cut)
            slow = int(state.fault("alt_slow_ms" if alt and state.fault("alt_slow_ms") else "slow_ms", "0") or 0) / 1000.0
            place_gap = int(state.fault("place_ms", "0") or 0) / 1000.0
            due = time.time()  # a limit of a rate: the connection keeps to its schedule, whatever each write took
            sent = 0
            try:
                while sent < limit:
                    chunk = f.read(min(1 << 16, limit - sent))
                    if not chunk:
                        break
                    if place_gap:  # the place's turn for this block, shared by all its connections
                        with state.lock:
                            turn = max(time.time(), state.place_next.get(alt, 0.0))
                            state.place_next[alt] = turn + place_gap
                        time.sleep(max(0.0, turn - time.time()))
                    if 0 <= tampered - sent < len(chunk):
                        chunk = bytearray(chunk)
                        chunk[tampered - sent] ^= 0xFF
                        chunk = bytes(chunk)
                    self.wfile.write(chunk)
                    sent += len(chunk)
                    if stall:  # half way, and then nothing for a minute
                        self.wfile.flush()
                        time.sleep(60)
                    with state.lock:
                        state.bytes_sent += len(chunk)
                    if slow:
                        self.wfile.flush()
                        due += slow
                        time.sleep(max(0.0, due - time.time()))
                if extra and sent == size:
                    self.wfile.write(bytes(extra))
                if state.fault("linger_ms"):  # the file sent, the connection held open
                    self.wfile.flush()
                    time.sleep(int(state.fault("linger_ms")) / 1000.0)
            except (BrokenPipeError, ConnectionResetError, ssl.SSLError):
                pass
            self.close_connection = True

        def control(self, verb, args):
            if verb == "reset":
                with state.lock:
                    state.faults = dict(DEFAULTS)
                    state.place_next = {}
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


def tls_contexts(folder):
    """TLS for the service's name: a certificate of the tests' CA, and one of a CA nobody trusts."""
    contexts = {}
    for name in ("trusted", "untrusted"):
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(os.path.join(folder, name + ".pem"), os.path.join(folder, name + ".key"))
        contexts[name] = ctx
    return contexts


def serve(args):
    state = State(args.cache)
    handler = make_handler(state)
    handler.server_port_http = args.port
    deadline = time.time() + args.lifetime
    sock = listen(args.port)
    tls = listen(args.tls_port) if args.tls_port else None
    proxy = listen(args.port + PROXY_OFFSET)
    contexts = tls_contexts(args.tls_dir) if tls else {}
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
        ready, _, _ = select.select([sock, proxy] + ([tls] if tls else []), [], [], 0.2)
        for listener in ready:
            try:
                conn, addr = listener.accept()
            except (socket.timeout, BlockingIOError):
                continue
            conn.settimeout(None)
            context = contexts.get(state.fault("tls_cert", "trusted")) if listener is tls else None
            threading.Thread(target=lambda c=conn, a=addr, x=context: handle(handler, c, a, x), daemon=True).start()


def handle(handler, conn, addr, context=None):
    try:
        if context:
            conn = context.wrap_socket(conn, server_side=True)
        handler(conn, addr, None)
    except Exception:
        pass
    finally:
        try:
            conn.close()
        except OSError:
            pass


def running(pid):
    """Whether the process is there and not only a zombie nobody reaped (a container's init may not)."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rpartition(")")[2].split()[0] != "Z"
    except (OSError, IndexError):
        return False


def stop(pidfile):
    try:
        pid = int(open(pidfile).read())
        os.kill(pid, signal.SIGTERM)
        for _ in range(50):
            if not running(pid):
                break
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
    p.add_argument("--ports", help="several services, one a port (8080,8081,...), each with a pidfile of its own")
    p.add_argument("--tls-port", type=int, default=0, help="also serve HTTPS there")
    p.add_argument("--tls-dir", help="trusted.pem/.key and untrusted.pem/.key (make_certs.sh)")
    p.add_argument("--lifetime", type=float, default=3600)
    p.add_argument("--cache", default="/tmp/mirq-service-cache")
    p.add_argument("--daemon", action="store_true", help="start in the background, return once listening")
    p.add_argument("--pidfile")
    p.add_argument("--stop", action="store_true")
    args = p.parse_args()
    args.ready_fd = None
    if args.ports:  # one process a port: each service's faults and log are its own
        rc = 0
        for port in args.ports.split(","):
            rc |= subprocess.run([sys.executable, os.path.abspath(__file__), "--port", port, "--lifetime", str(args.lifetime),
                                  "--pidfile", "%s.%s" % (args.pidfile, port), "--stop" if args.stop else "--daemon"]
                                 + (["--cache", args.cache])).returncode
        return rc
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
