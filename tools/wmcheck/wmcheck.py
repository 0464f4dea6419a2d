#!/usr/bin/env python3
"""A small stand-in for the hosted webmail web service, for tests and demos.

It listens on loopback (port 0 picks a free one; the chosen port is printed
as "PORT <n>" on stdout), reads its accounts from a JSON file before every
request, answers the check, open and compose requests, and stores drafts
uploaded as SOAP with DIME attachments. Accounts can ask it to misbehave.

Accounts file:
{
  "accounts": [
    {"login": "ann@webvault.example", "password": "pw", "charset": "windows-1251",
     "unread": 7,                          # optional, default: number of messages
     "misbehave": "slow",                  # optional, see MISBEHAVIOURS
     "delay": 3,                           # seconds for "slow" (at most 120)
     "messages": [{"mid": 905, "fid": 1, "subject": "...", "preview": "...",
                   "name": "...", "email": "..."}]}
  ]
}
"""
import argparse
import hashlib
import html
import json
import os
import re
import socket
import ssl
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

MISBEHAVIOURS = {"slow", "truncated", "wrong-charset", "unknown-charset", "500", "redirect-loop", "huge"}
CHARSETS = {"utf-8": "utf-8", "iso-8859-1": "latin-1", "windows-1251": "cp1251", "shift_jis": "cp932"}
SERVICE_NS = "http://tempuri.org/RirIzeraz.WebMail.UI/WMCheck"
MAX_UPLOAD = 32 << 20
MAX_LINE = 8192
HUGE_BYTES = 20 << 20


# --- the keyed record -------------------------------------------------------

def _key_table():
    # The program's frozen key stream, from the generator it was made with.
    x = 0x2545F491
    out = bytearray()
    for _ in range(256):
        x = (x * 1103515245 + 12345) & 0xFFFFFFFF
        out.append(x >> 24)
    return bytes(out)


KEY = _key_table()
_STD = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"
_URL = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"


def _apply_key(data):
    out = bytearray(data)
    for i in range(1, len(out)):
        out[i] ^= KEY[(i - 1) % 256]
    return bytes(out)


def _checksum(data):
    total = sum(data)
    return 0 if total == 0 else (total - 1) % 65535 + 1


def _unescape(value):
    out, i = [], 0
    while i < len(value):
        if value[i] == "\n" and i + 1 < len(value) and value[i + 1] in "123":
            out.append({"1": "\n", "2": "\t", "3": "\r"}[value[i + 1]])
            i += 2
        else:
            out.append(value[i])
            i += 1
    return "".join(out)


def decode_record(text):
    """The entries of a keyed record's text form (names in capitals), or None."""
    import base64
    if not text or len(text) % 4 or len(text) > 1 << 20:
        return None
    std = text.translate(str.maketrans("-_@.", "+/=="))
    if any(c not in _STD + "=" for c in std):
        return None
    try:
        plain = _apply_key(base64.b64decode(std, validate=True))
    except ValueError:
        return None
    s = plain.decode("latin-1")
    first = s.find("\r")
    head = s if first < 0 else s[:first]
    name, tab, crc = head.partition("\t")
    if name != "_CRC" or not tab or not crc.isdigit() or len(crc) > 10:
        return None
    rest = plain[first:] if first >= 0 else b""
    if _checksum(rest) != int(crc):
        return None
    entries = {}
    for entry in s[first + 1:].split("\r") if first >= 0 else []:
        k, _, v = entry.partition("\t")
        entries[k.upper()] = _unescape(v).encode("latin-1").decode("utf-8", "replace")
    return entries


def encode_record(pairs):
    import base64
    body = b""
    for k, v in list(pairs) + [("RANDOMIZER", str(int(time.monotonic() * 1000) & 0x7FFFFFFF))]:
        v = v.replace("\n", "\n1").replace("\t", "\n2").replace("\r", "\n3")
        body += b"\r" + k.upper().encode() + b"\t" + v.encode("utf-8")
    plain = b"_CRC\t" + str(_checksum(body)).encode() + body
    return base64.b64encode(_apply_key(plain)).decode().translate(str.maketrans("+/=", "-_@"))


# --- DIME -------------------------------------------------------------------

def _pad4(n):
    return (n + 3) & ~3


def parse_dime(data):
    """Records as (id, type_t, type, bytes); chunked records are joined."""
    records, pos, pending = [], 0, None
    while pos < len(data):
        if len(data) - pos < 12:
            raise ValueError("truncated record header")
        flags, tbyte = data[pos], data[pos + 1]
        if flags >> 3 != 1:
            raise ValueError("not DIME version 1")
        opt_len = int.from_bytes(data[pos + 2:pos + 4], "big")
        id_len = int.from_bytes(data[pos + 4:pos + 6], "big")
        type_len = int.from_bytes(data[pos + 6:pos + 8], "big")
        data_len = int.from_bytes(data[pos + 8:pos + 12], "big")
        pos += 12 + _pad4(opt_len)
        rid = data[pos:pos + id_len].decode("utf-8", "replace")
        pos += _pad4(id_len)
        rtype = data[pos:pos + type_len].decode("utf-8", "replace")
        pos += _pad4(type_len)
        if pos + data_len > len(data):
            raise ValueError("record data runs past the message")
        chunk = data[pos:pos + data_len]
        pos += _pad4(data_len)
        if pending is None:
            pending = [rid, tbyte >> 4, rtype, bytearray(chunk)]
        else:
            pending[3] += chunk
        if not flags & 0x01:
            records.append((pending[0], pending[1], pending[2], bytes(pending[3])))
            pending = None
        if flags & 0x02:
            break
    if pending is not None:
        raise ValueError("chunked record without its end")
    return records


# --- the service ------------------------------------------------------------

def _attr(value):
    return html.escape(str(value), quote=True)


def load_accounts(path):
    with open(path, encoding="utf-8") as f:
        return {a["login"]: a for a in json.load(f).get("accounts", [])}


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "wmcheck-dev"
    timeout = 30

    def log_message(self, fmt, *args):
        # The query carries the credentials: only the path is logged.
        sys.stderr.write("wmcheck: %s %s\n" % (self.command, self.path.split("?")[0]))

    def _record(self, event):
        if self.server.request_log:
            with self.server.lock, open(self.server.request_log, "a", encoding="utf-8") as f:
                f.write(json.dumps(event) + "\n")

    def _send(self, status, body, ctype="text/xml", headers=()):
        self.send_response(status)
        self.send_header("Content-Type", ctype)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Connection", "close")
        for k, v in headers:
            self.send_header(k, v)
        self.end_headers()
        self.close_connection = True
        if self.command != "HEAD":
            self.wfile.write(body)

    def _base(self):
        scheme = "https" if self.server.tls else "http"
        return "%s://%s" % (scheme, self.headers.get("Host") or "127.0.0.1:%d" % self.server.server_port)

    # Misbehaviour that replaces the reply; True when it answered.
    def _misbehave(self, account, xml_reply):
        mode = account.get("misbehave", "") if account else ""
        if mode == "slow":
            time.sleep(min(float(account.get("delay", 5)), 120))
        elif mode == "500":
            self._send(500, b"Internal Server Error", "text/plain")
            return True
        elif mode == "redirect-loop":
            self._send(302, b"", "text/plain", [("Location", self.path)])
            return True
        elif mode == "truncated":
            self.send_response(200)
            self.send_header("Content-Type", "text/xml")
            self.send_header("Content-Length", str(len(xml_reply)))
            self.send_header("Connection", "close")
            self.end_headers()
            self.wfile.write(xml_reply[:len(xml_reply) // 2])
            self.close_connection = True
            return True
        elif mode == "huge":
            self.send_response(200)
            self.send_header("Content-Type", "text/xml")
            self.send_header("Content-Length", str(HUGE_BYTES))
            self.send_header("Connection", "close")
            self.end_headers()
            head = b'<?xml version="1.0" encoding="utf-8"?><NewMsgsList Status="OK"><!-- '
            sent = len(head)
            try:
                self.wfile.write(head)
                block = b"x" * 65536
                while sent < HUGE_BYTES:
                    n = min(len(block), HUGE_BYTES - sent)
                    self.wfile.write(block[:n])
                    sent += n
            except OSError:
                pass  # the client gave up, as it should
            self.close_connection = True
            return True
        return False

    def _xml(self, account, root):
        charset = (account or {}).get("charset", "utf-8").lower()
        codec = CHARSETS.get(charset, "utf-8")
        declared = charset
        mode = (account or {}).get("misbehave", "")
        if mode == "wrong-charset":
            codec, declared = "utf-8", "iso-8859-1" if charset == "utf-8" else charset
        elif mode == "unknown-charset":
            declared = "x-no-such-charset"
        return ('<?xml version="1.0" encoding="%s"?>' % declared + root).encode(codec, "replace")

    def _login(self, cu, accounts):
        account = accounts.get(cu.get("LOGIN", ""))
        if account and account.get("password") == cu.get("PWD"):
            return account
        return None

    def do_GET(self):
        try:
            self._get()
        except (BrokenPipeError, ConnectionResetError, socket.timeout, ssl.SSLError):
            self.close_connection = True

    def _get(self):
        url = urllib.parse.urlsplit(self.path)
        query = urllib.parse.parse_qs(url.query)
        if url.path.startswith("/web/"):
            body = ("<html><body><h1>%s</h1><p>%s</p></body></html>" %
                    (_attr(url.path[5:]), _attr(url.query))).encode()
            return self._send(200, body, "text/html; charset=utf-8")
        m = re.fullmatch(r".*/wmcheck\.asmx/(NewMsgs|OpenUI|OpenMsg|CreateMsg|MailTo)", url.path)
        if not m:
            return self._send(404, b"Not Found", "text/plain")
        cu = decode_record(query.get("CU", [""])[0]) if len(query.get("CU", [])) == 1 else None
        if cu is None:
            self._record({"request": m.group(1), "cu": None})
            return self._send(400, b"Bad CU", "text/plain")
        accounts = load_accounts(self.server.accounts_file)
        account = self._login(cu, accounts)
        shown = {k: ("***" if k == "PWD" else v) for k, v in cu.items() if k not in ("RANDOMIZER",)}
        shown["password_ok"] = account is not None
        self._record({"request": m.group(1), "cu": shown})
        known = accounts.get(cu.get("LOGIN", ""))
        if m.group(1) == "NewMsgs":
            reply = self._new_msgs(account, cu)
        else:
            reply = self._redir(account, m.group(1), cu)
        reply = self._xml(known, reply)
        if self._misbehave(known, reply):
            return
        self._send(200, reply)

    def _new_msgs(self, account, cu):
        if account is None:
            return '<NewMsgsList Status="Error"><ErrDetail>Login failed</ErrDetail></NewMsgsList>'

        def number(key, default):
            v = cu.get(key, "")
            return int(v) if v.isascii() and v.isdigit() and len(v) < 19 else default

        min_id, max_hdrs, max_ids = number("MINID", 0), number("MAXHDRS", 20), number("MAXIDS", 2)
        messages = sorted((m for m in account.get("messages", []) if int(m["mid"]) > min_id),
                          key=lambda m: -int(m["mid"]))
        unread = account.get("unread", len(account.get("messages", [])))
        shown, rest = messages[:max_hdrs], messages[max_hdrs:]
        hdrs = "".join(
            '<Hdr MID="%s" FID="%s" Subject="%s" Preview="%s"><From><Addr Name="%s" EMail="%s"/></From></Hdr>' %
            (_attr(m["mid"]), _attr(m.get("fid", 1)), _attr(m.get("subject", "")), _attr(m.get("preview", "")),
             _attr(m.get("name", "")), _attr(m.get("email", ""))) for m in shown)
        next_ids = ",".join(str(m["mid"]) for m in rest[:max_ids])
        return ('<NewMsgsList Status="OK" Unread="%d"><Hdrs>%s</Hdrs><NextIds>%s</NextIds></NewMsgsList>' %
                (unread, hdrs, next_ids))

    def _redir(self, account, request, cu):
        if account is None:
            return '<Redir Status="Error" Url=""/>'
        q = urllib.parse.quote
        page = {
            "OpenUI": "/web/inbox?login=" + q(cu["LOGIN"]),
            "OpenMsg": "/web/message?mid=%s&fid=%s" % (q(cu.get("MID", "")), q(cu.get("FID", ""))),
            "CreateMsg": "/web/compose?to=%s&subj=%s" % (q(cu.get("TO", "")), q(cu.get("SUBJ", ""))),
            "MailTo": "/web/compose?mailto=" + q(html.unescape(cu.get("MAILTO", ""))),
        }[request]
        return '<Redir Status="OK" Url="%s"/>' % _attr(self._base() + page)

    def _read_body(self):
        if "chunked" in self.headers.get("Transfer-Encoding", "").lower():
            body = bytearray()
            while True:
                line = self.rfile.readline(MAX_LINE)
                size = int(line.split(b";")[0].strip() or b"0", 16)
                if size < 0:
                    raise ValueError("negative chunk size")
                if size == 0:
                    while self.rfile.readline(MAX_LINE) not in (b"\r\n", b"\n", b""):
                        pass
                    return bytes(body)
                if len(body) + size > MAX_UPLOAD:
                    raise OverflowError
                body += self.rfile.read(size)
                self.rfile.readline(MAX_LINE)
        length = int(self.headers.get("Content-Length", "0"))
        if length < 0 or length > MAX_UPLOAD:
            raise OverflowError
        return self.rfile.read(length)

    def do_POST(self):
        try:
            self._post()
        except (BrokenPipeError, ConnectionResetError, socket.timeout, ssl.SSLError):
            self.close_connection = True

    def _draft_reply(self, status, extra=""):
        return ('<?xml version="1.0" encoding="utf-8"?><soap:Envelope '
                'xmlns:soap="http://schemas.xmlsoap.org/soap/envelope/"><soap:Body>'
                '<CreateDraftResponse xmlns="%s"><CreateDraftResult status="%s"%s/></CreateDraftResponse>'
                '</soap:Body></soap:Envelope>' % (SERVICE_NS, status, extra)).encode()

    def _post(self):
        if not re.fullmatch(r".*/wmcheck\.asmx", urllib.parse.urlsplit(self.path).path):
            return self._send(404, b"Not Found", "text/plain")
        try:
            body = self._read_body()
        except (OverflowError, ValueError):
            return self._send(413, b"Too Large", "text/plain")
        action = self.headers.get("SOAPAction", "")
        ctype = self.headers.get("Content-Type", "")
        try:
            if not ctype.lower().startswith("application/dime"):
                raise ValueError("content type is not application/dime")
            if action and action.strip('"') != SERVICE_NS + "/CreateDraft":
                raise ValueError("unknown SOAP action " + action)
            records = parse_dime(body)
            if not records or records[0][0] != "SoapHeader" or records[0][1] != 2:
                raise ValueError("the first record is not the SOAP envelope")
            envelope = records[0][3].decode("utf-8")
            m = re.search(r"<CreateDraft xmlns=\"%s\"><CU>([^<]*)</CU>" % re.escape(SERVICE_NS), envelope)
            cu = decode_record(m.group(1)) if m else None
            if cu is None:
                raise ValueError("no readable CU in the envelope")
        except (ValueError, UnicodeDecodeError) as e:
            self._record({"request": "CreateDraft", "error": str(e)})
            return self._send(200, self._draft_reply("error", ' detail="%s"' % _attr(e)))
        accounts = load_accounts(self.server.accounts_file)
        account = self._login(cu, accounts)
        known = accounts.get(cu.get("LOGIN", ""))
        if account is None:
            self._record({"request": "CreateDraft", "error": "login failed"})
            return self._send(200, self._draft_reply("error", ' detail="Login failed"'))
        if known.get("misbehave") in ("500", "redirect-loop"):
            self._misbehave(known, b"")
            return
        if known.get("misbehave") == "slow":
            time.sleep(min(float(known.get("delay", 5)), 120))
        with self.server.lock:
            self.server.draft_count += 1
            number = self.server.draft_count
        folder = os.path.join(self.server.drafts_dir, "draft-%d" % number)
        os.makedirs(folder, mode=0o700)
        meta = {"login": cu["LOGIN"], "subject": cu.get("SUBJ", ""), "body": "", "files": [],
                "soap_action": action, "record_flags": [], "bytes": len(body)}
        for i, (rid, _tt, _type, data) in enumerate(records[1:]):
            if rid == "BODY":
                meta["body"] = data.decode("utf-8", "replace")
                continue
            stored = os.path.join(folder, "file-%d" % i)
            with open(stored, "wb") as f:
                f.write(data)
            meta["files"].append({"name": rid, "size": len(data), "sha256": hashlib.sha256(data).hexdigest(),
                                  "stored": stored})
        # Tests poll for draft.json: it appears whole or not at all.
        partial = os.path.join(folder, ".draft.json.new")
        with open(partial, "w", encoding="utf-8") as f:
            json.dump(meta, f, ensure_ascii=False)
        os.replace(partial, os.path.join(folder, "draft.json"))
        url = encode_record([("URL", self._base() + "/web/draft?id=%d" % number)])
        self._record({"request": "CreateDraft", "draft": folder})
        self._send(200, self._draft_reply("ok", ' url="%s"' % url))


class Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def process_request_thread(self, request, client_address):
        # The TLS handshake runs on the connection's own thread, so a client
        # that never finishes it holds up nobody else.
        if self.tls:
            try:
                request.settimeout(30)
                request = self.tls.wrap_socket(request, server_side=True)
            except (ssl.SSLError, OSError) as e:
                sys.stderr.write("wmcheck: TLS handshake failed: %s\n" % e)
                self.shutdown_request(request)
                return
        super().process_request_thread(request, client_address)


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--accounts", required=True, help="the accounts file (JSON)")
    p.add_argument("--drafts", required=True, help="folder for uploaded drafts")
    p.add_argument("--host", default="127.0.0.1")
    p.add_argument("--port", type=int, default=0)
    p.add_argument("--cert", help="server certificate (PEM): serve HTTPS")
    p.add_argument("--key", help="the certificate's key (PEM)")
    p.add_argument("--request-log", help="append one JSON line per request (passwords masked)")
    args = p.parse_args()
    load_accounts(args.accounts)  # a broken file fails at start, not at the first request
    os.makedirs(args.drafts, mode=0o700, exist_ok=True)
    server = Server((args.host, args.port), Handler)
    server.accounts_file = args.accounts
    server.drafts_dir = args.drafts
    server.request_log = args.request_log
    server.lock = threading.Lock()
    server.draft_count = 0
    server.tls = None
    if args.cert:
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(args.cert, args.key)
        server.tls = ctx
    print("PORT %d" % server.server_port, flush=True)
    try:
        server.serve_forever(poll_interval=0.2)
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()


if __name__ == "__main__":
    main()
