#!/usr/bin/env python3
"""A loopback HTTPS server of Atom feeds of unread mail, for tests and demos.

    feedserver.py --user ann@gmail.com --password secret [--port 0]
                  [--cert server.crt --key server.key | --make-certs DIR]

It listens on 127.0.0.1 only and prints "PORT <n>" (and "CA <file>" when it
made its own certificates) on standard output once it is ready. It ends when
its standard input closes (the test that started it went away) or on SIGTERM.

Every request needs HTTP Basic authentication with the given user and
password: without it, or with a wrong one, the answer is 401. The path picks
the feed, "/<kind>/feed/atom" ("/gmail/feed/atom" is "normal"):

    normal        fullcount 5; five entries, ids ...:1505 down to ...:1501,
                  with entities, CDATA, numeric references and an author
                  without an address
    many          fullcount 31; 25 entries, ids ...:2025 down to ...:2001
    empty         fullcount 0, no entries
    big           a whole feed of more than 5 MiB
    cut           the normal feed, its Content-Length promised, half of it sent
    cut-nolength  half of the normal feed without a length, then the close
    notfeed       an HTML page with status 200

Point the plug-in at it with the host value GMAIL_FEED_URL
(https://localhost:<n>/normal/feed/atom) and trust the CA with SSL_CERT_FILE.
"""

import argparse
import base64
import hmac
import http.server
import os
import signal
import ssl
import subprocess
import sys
import threading

ID_PREFIX = "tag:gmail.google.com,2004:"
# A connection that sends nothing for this long is dropped.
IDLE_SECONDS = 10
BIG_BYTES = 5 * 1024 * 1024 + 4096


def entry(ident, title, summary, name, email):
    author = "<author>\n<name>%s</name>\n" % name
    if email is not None:
        author += "<email>%s</email>\n" % email
    author += "</author>\n"
    return (
        "<entry>\n<title>%s</title>\n<summary>%s</summary>\n"
        '<link rel="alternate" href="https://mail.google.com/mail?message_id=%d&amp;view=conv" '
        'type="text/html" />\n<modified>2026-12-08T13:59:00Z</modified>\n'
        "<issued>2026-12-08T13:59:00Z</issued>\n<id>%s%d</id>\n%s</entry>\n"
        % (title, summary, ident, ID_PREFIX, ident, author)
    )


def feed(fullcount, entries, padding=""):
    return (
        '<?xml version="1.0" encoding="UTF-8"?>\n'
        '<feed version="0.3" xmlns="http://purl.org/atom/ns#">\n'
        "<title>Gmail - Inbox for ann@gmail.com</title>\n"
        "<tagline>New messages in your Gmail Inbox</tagline>\n"
        "<fullcount>%d</fullcount>\n"
        '<link rel="alternate" href="https://mail.google.com/mail" type="text/html" />\n'
        "<modified>2026-12-08T14:00:00Z</modified>\n%s%s</feed>\n" % (fullcount, padding, "".join(entries))
    )


def normal_feed():
    return feed(
        5,
        [
            entry(1505, "<![CDATA[Caf\u00e9 <b>&</b> friends]]>", "Lunch at 12? R&amp;D notes &gt; old ones",
                  "Bj&#246;rn &quot;Bear&quot; Ek", "bjorn@example.org"),
            entry(1504, "R&#233;sum&#xE9; for AT&amp;T &#8364;5", "Prix: 5&#xA0;&#8364;", "Carol",
                  "carol@example.org"),
            entry(1503, "No address here", "", "Dave Without Address", None),
            entry(1502, "Already seen", "the marker entry", "Eve", "eve@example.org"),
            entry(1501, "Older still", "below the marker", "Frank", "frank@example.org"),
        ],
    )


def many_feed():
    return feed(31, [entry(n, "Subject %d" % n, "Preview %d" % n, "Sender %d" % n, "s%d@example.org" % n)
                     for n in range(2025, 2000, -1)])


def big_feed():
    # A valid feed whose bulk is one long text run, as a hostile or broken
    # server might send.
    padding = "<tagline>" + "x" * BIG_BYTES + "</tagline>\n"
    return feed(1, [entry(3001, "Big", "big", "Big", "big@example.org")], padding)


FEEDS = {
    "normal": normal_feed,
    "gmail": normal_feed,
    "many": many_feed,
    "empty": lambda: feed(0, []),
    "big": big_feed,
}


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    timeout = IDLE_SECONDS
    server_version = "feedserver"

    def log_message(self, fmt, *args):
        sys.stderr.write("feedserver: " + (fmt % args) + "\n")

    def authorized(self):
        header = self.headers.get("Authorization", "")
        if not header.startswith("Basic "):
            return False
        try:
            given = base64.b64decode(header[6:].strip(), validate=True)
        except ValueError:
            return False
        expected = ("%s:%s" % (self.server.user, self.server.password)).encode("utf-8")
        return hmac.compare_digest(given, expected)

    def send_body(self, status, body, content_type, length=None, close=False):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        if length is not None:
            self.send_header("Content-Length", str(length))
        if close or length is None:
            self.send_header("Connection", "close")
            self.close_connection = True
        self.end_headers()
        self.wfile.write(body)
        self.wfile.flush()

    def do_GET(self):
        if not self.authorized():
            body = b"<html><body>Authorization required</body></html>"
            self.send_response(401)
            self.send_header("WWW-Authenticate", 'Basic realm="New mail feed"')
            self.send_header("Content-Type", "text/html")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
            return
        parts = [p for p in self.path.split("?")[0].split("/") if p]
        if len(parts) != 3 or parts[1:] != ["feed", "atom"]:
            self.send_body(404, b"not found", "text/plain", 9)
            return
        kind = parts[0]
        atom = "application/atom+xml; charset=utf-8"
        if kind == "notfeed":
            body = b"<html><head><title>Sign in</title></head><body>Please sign in</body></html>"
            self.send_body(200, body, "text/html", len(body))
        elif kind == "cut":
            body = normal_feed().encode("utf-8")
            self.send_body(200, body[: len(body) // 2], atom, length=len(body), close=True)
        elif kind == "cut-nolength":
            body = normal_feed().encode("utf-8")
            self.send_body(200, body[: len(body) // 2], atom, length=None)
        elif kind in FEEDS:
            body = FEEDS[kind]().encode("utf-8")
            self.send_body(200, body, atom, len(body))
        else:
            self.send_body(404, b"not found", "text/plain", 9)


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    tls = None

    def finish_request(self, request, client_address):
        # The handshake runs on the connection's own thread, with a time-out,
        # so a client that stalls in it never holds the accept loop.
        request.settimeout(IDLE_SECONDS)
        try:
            request = self.tls.wrap_socket(request, server_side=True)
        except (OSError, ssl.SSLError) as e:
            sys.stderr.write("feedserver: handshake with %s failed: %s\n" % (client_address[0], e))
            request.close()
            return
        super().finish_request(request, client_address)

    def handle_error(self, request, client_address):
        sys.stderr.write("feedserver: connection from %s ended: %s\n" % (client_address[0], sys.exc_info()[1]))


def make_certs(folder):
    """A test CA and a certificate for localhost and 127.0.0.1 signed by it."""
    os.makedirs(folder, mode=0o700, exist_ok=True)
    ca_key, ca_crt = os.path.join(folder, "ca.key"), os.path.join(folder, "ca.crt")
    key, csr, crt = (os.path.join(folder, n) for n in ("server.key", "server.csr", "server.crt"))
    ext = os.path.join(folder, "server.ext")
    with open(ext, "w") as f:
        f.write("subjectAltName=DNS:localhost,IP:127.0.0.1\nbasicConstraints=CA:FALSE\n")
    quiet = {"stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL, "check": True, "timeout": 60}
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", ca_key, "-out", ca_crt,
                    "-days", "2", "-subj", "/CN=feedserver test CA"], **quiet)
    subprocess.run(["openssl", "req", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", csr,
                    "-subj", "/CN=localhost"], **quiet)
    subprocess.run(["openssl", "x509", "-req", "-in", csr, "-CA", ca_crt, "-CAkey", ca_key, "-CAcreateserial",
                    "-out", crt, "-days", "2", "-extfile", ext], **quiet)
    return ca_crt, crt, key


def main():
    parser = argparse.ArgumentParser(description="Loopback HTTPS Atom feed server for tests.")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--user", required=True)
    parser.add_argument("--password", required=True)
    parser.add_argument("--cert")
    parser.add_argument("--key")
    parser.add_argument("--make-certs", metavar="DIR")
    args = parser.parse_args()

    ca = None
    if args.make_certs:
        ca, args.cert, args.key = make_certs(args.make_certs)
    if not args.cert or not args.key:
        parser.error("give --cert and --key, or --make-certs DIR")

    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(args.cert, args.key)
    server = Server(("127.0.0.1", args.port), Handler)
    server.tls = context
    server.user, server.password = args.user, args.password

    def stop(*_):
        threading.Thread(target=server.shutdown, daemon=True).start()

    signal.signal(signal.SIGTERM, stop)

    def watch_stdin():
        # The owner keeps our standard input open; its end is ours.
        try:
            while sys.stdin.buffer.read(4096):
                pass
        except OSError:
            pass
        stop()

    threading.Thread(target=watch_stdin, daemon=True).start()
    if ca:
        print("CA %s" % ca)
    print("PORT %d" % server.server_address[1], flush=True)
    try:
        server.serve_forever()
    finally:
        server.server_close()


if __name__ == "__main__":
    main()
