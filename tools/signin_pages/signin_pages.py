#!/usr/bin/python3
"""Loopback pages that play the sign-in and mail pages of the browser-driven
providers, for tests, benchmarks and demos.

    signin_pages.py [--port N] [--password P]

Listens on 127.0.0.1 (port 0: any free port) and prints "PORT <n>" once it
listens. Each page lives under /<provider>/<scenario>/ with provider "hotmail"
or "yahoo"; the sign-in page is /<provider>/<scenario>/login. Scenarios:

  ok      the form leads to the mail page with the counts (a wrong password
          leads to the provider's failure text)
  never   the sign-in page never finishes loading
  frame   the counts are inside a frame of the mail page
  popup   both pages open a pop-up window when they load
  dialog  both pages show an alert box when they load
  away    the sign-in page navigates to another sign-in page while it is
          being filled in
  nocount the mail page shows no count
"""
import argparse
import html
import sys
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

PASSWORD = "secret"

FORMS = {
    "hotmail": ("f1", '<input type="checkbox" name="i0138" value="1">'),
    "yahoo": ("login_form", ""),
}

FAILURE = {
    "hotmail": "Please retype the e-mail address and password, or sign up if you "
               "haven't already done so.",
    "yahoo": "Invalid ID or password. Did you forget or misspell your ID or password?",
}

POPUP = "<script>window.open('/popup', 'extra', 'width=300,height=200');</script>"
DIALOG = "<script>alert('Welcome back');</script>"


def mail_body(provider):
    if provider == "hotmail":
        return "<div>Inbox</div><p>My Messages 5 (3)</p>"
    return ("<p>Welcome</p><p>You have 3 unread messages</p>"
            "<a href=\"#\" onclick=\"parent.showCompose(); "
            "location='/yahoo/compose?box=Inbox&amp;new=1'\">Compose</a>")


def page(title, body):
    return ("<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>%s</title></head>"
            "<body>%s</body></html>" % (html.escape(title), body)).encode("utf-8")


class Pages(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "SigninPages/1"

    def log_message(self, fmt, *args):
        pass

    def send_page(self, data, status=200):
        self.send_response(status)
        self.send_header("Content-Type", "text/html; charset=utf-8")
        self.send_header("Content-Length", str(len(data)))
        self.send_header("Cache-Control", "no-store")
        self.end_headers()
        self.wfile.write(data)

    def redirect(self, location):
        self.send_response(303)
        self.send_header("Location", location)
        self.send_header("Content-Length", "0")
        self.end_headers()

    def route(self):
        url = urllib.parse.urlsplit(self.path)
        parts = [p for p in url.path.split("/") if p]
        if len(parts) >= 2 and parts[0] in FORMS:
            return parts[0], parts[1], "/".join(parts[2:]), urllib.parse.parse_qs(url.query)
        return None, None, url.path, {}

    def login_page(self, provider, scenario, query):
        form, extra = FORMS[provider]
        script = ""
        if scenario == "popup":
            script = POPUP
        if scenario == "dialog":
            script = DIALOG
        if scenario == "away" and "again" not in query:
            # Leaves for a fresh sign-in page as soon as a field is typed into.
            script = ("<script>document.getElementsByName('login')[0].addEventListener('input', "
                      "function () { location.href = '/%s/%s/login?again=1'; });</script>"
                      % (provider, scenario))
        body = ("<form name=\"%s\" method=\"post\" action=\"/%s/%s/submit\">"
                "<input type=\"text\" name=\"login\"><input type=\"password\" name=\"passwd\">%s"
                "<input type=\"submit\" name=\"submit\" value=\"Sign in\"></form>%s"
                % (form, provider, scenario, extra, script))
        self.send_page(page("Sign in", body))

    def never_settles(self):
        self.send_response(200)
        self.send_header("Content-Type", "text/html; charset=utf-8")
        self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(b"<!DOCTYPE html><html><body><p>Loading")
        self.wfile.flush()
        deadline = time.monotonic() + 600
        try:
            while time.monotonic() < deadline:
                time.sleep(0.2)
                self.wfile.write(b".")
                self.wfile.flush()
        except OSError:
            pass
        self.close_connection = True

    def do_GET(self):
        provider, scenario, rest, query = self.route()
        if provider is None:
            if rest == "/popup":
                self.send_page(page("Pop-up", "<p>An offer</p>"))
            elif rest.startswith("/yahoo/compose"):
                self.send_page(page("Compose", "<p>Compose</p>"))
            else:
                self.send_page(page("Not found", "<p>Not found</p>"), 404)
            return
        if rest == "login":
            if scenario == "never":
                self.never_settles()
            else:
                self.login_page(provider, scenario, query)
        elif rest in ("cgi-bin/hmhome", "mail"):
            if scenario == "frame":
                body = "<p>Your mail</p><iframe src=\"/%s/%s/inner\"></iframe>" % (provider, scenario)
            elif scenario == "nocount":
                body = "<p>Your mail is on its way</p>"
            else:
                body = mail_body(provider) + {"popup": POPUP, "dialog": DIALOG}.get(scenario, "")
            self.send_page(page("Mail", body))
        elif rest == "inner":
            self.send_page(page("Inner", mail_body(provider)))
        elif rest.startswith("cgi-bin/compose"):
            self.send_page(page("Compose", "<p>Compose</p>"))
        else:
            self.send_page(page("Not found", "<p>Not found</p>"), 404)

    def do_POST(self):
        provider, scenario, rest, _ = self.route()
        length = int(self.headers.get("Content-Length") or 0)
        if length > 65536:
            self.send_page(page("Too big", "<p>Too big</p>"), 413)
            return
        fields = urllib.parse.parse_qs(self.rfile.read(length).decode("utf-8", "replace"))
        if provider is None or rest != "submit":
            self.send_page(page("Not found", "<p>Not found</p>"), 404)
            return
        if fields.get("passwd", [""])[0] != PASSWORD or not fields.get("login", [""])[0]:
            self.send_page(page("Sign in", "<p>%s</p>" % html.escape(FAILURE[provider])))
            return
        target = "cgi-bin/hmhome?curmbox=F000000001" if provider == "hotmail" else "mail"
        self.redirect("/%s/%s/%s" % (provider, scenario, target))


def main():
    global PASSWORD
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--password", default=PASSWORD)
    args = parser.parse_args()
    PASSWORD = args.password
    server = ThreadingHTTPServer(("127.0.0.1", args.port), Pages)
    server.daemon_threads = True
    print("PORT %d" % server.server_address[1], flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    sys.exit(main())
