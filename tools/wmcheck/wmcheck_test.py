#!/usr/bin/env python3
"""Checks of the development web service that the C++ tests do not reach:
chunked request bodies, chunked DIME records and hostile lengths."""
import http.client
import importlib.util
import json
import os
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
spec = importlib.util.spec_from_file_location("wmcheck", os.path.join(HERE, "wmcheck.py"))
wm = importlib.util.module_from_spec(spec)
spec.loader.exec_module(wm)

NS = wm.SERVICE_NS


def record(flags, type_t, rid, rtype, data):
    def pad(b):
        return b + b"\0" * (-len(b) % 4)
    head = bytes([flags, type_t << 4]) + (0).to_bytes(2, "big") + len(rid).to_bytes(2, "big")
    head += len(rtype).to_bytes(2, "big") + len(data).to_bytes(4, "big")
    return head + pad(rid) + pad(rtype) + pad(data)


def envelope(cu):
    return ('<soap:Envelope><soap:Body>    <CreateDraft xmlns="%s"><CU>%s</CU>    </CreateDraft>'
            '</soap:Body></soap:Envelope>' % (NS, cu)).encode()


class RecordTest(unittest.TestCase):
    def test_key_table_follows_its_generator(self):
        self.assertEqual(wm.KEY[:4], bytes([0x28, 0xD8, 0x4B, 0x8D]))
        self.assertEqual(wm.KEY[-4:], bytes([0xF2, 0x4D, 0xD2, 0x19]))

    def test_round_trip_keeps_control_characters_and_utf8(self):
        text = wm.encode_record([("Subj", "a\tb\r\nc\u00e9")])
        self.assertEqual(wm.decode_record(text)["SUBJ"], "a\tb\r\nc\u00e9")

    def test_damaged_text_is_refused(self):
        text = wm.encode_record([("Login", "ann")])
        self.assertIsNone(wm.decode_record(text[:-4] + "AAAA"))
        self.assertIsNone(wm.decode_record("abc"))
        self.assertIsNone(wm.decode_record("!!!!"))


class DimeTest(unittest.TestCase):
    def test_chunked_record_is_joined(self):
        msg = record(0x0D, 2, b"SoapHeader", b"x", b"abc") + record(0x08, 0, b"", b"", b"def") + \
            record(0x0A, 1, b"f", b"t", b"g")
        recs = wm.parse_dime(msg)
        self.assertEqual([(r[0], r[3]) for r in recs], [("SoapHeader", b"abcdef"), ("f", b"g")])

    def test_lengths_past_the_end_are_refused(self):
        msg = record(0x0E, 2, b"SoapHeader", b"x", b"abc")
        bad = msg[:8] + (1 << 30).to_bytes(4, "big") + msg[12:]
        with self.assertRaises(ValueError):
            wm.parse_dime(bad)
        with self.assertRaises(ValueError):
            wm.parse_dime(msg[:7])


class ServiceTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        accounts = os.path.join(self.dir.name, "accounts.json")
        with open(accounts, "w") as f:
            json.dump({"accounts": [{"login": "ann", "password": "pw"}]}, f)
        self.proc = subprocess.Popen(
            [sys.executable, os.path.join(HERE, "wmcheck.py"), "--accounts", accounts, "--drafts",
             os.path.join(self.dir.name, "drafts")], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.port = int(self.proc.stdout.readline().split()[1])

    def tearDown(self):
        self.proc.terminate()
        self.proc.wait(timeout=10)
        self.proc.stdout.close()
        self.dir.cleanup()

    def post(self, body, headers):
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=10)
        conn.request("POST", "/wmcheck.asmx", body=body, headers=headers,
                     encode_chunked="Transfer-Encoding" in headers)
        reply = conn.getresponse()
        text = reply.read().decode()
        conn.close()
        return reply.status, text

    def test_chunked_upload_is_stored(self):
        cu = wm.encode_record([("Subj", "s"), ("Login", "ann"), ("Pwd", "pw")])
        msg = record(0x0C, 2, b"SoapHeader", b"x", envelope(cu)) + record(0x0A, 1, b"/tmp/a", b"t", b"x" * 70000)
        chunks = iter([msg[:1000], msg[1000:]])
        status, text = self.post(chunks, {"Content-Type": "application/dime", "Transfer-Encoding": "chunked",
                                          "SOAPAction": '"%s/CreateDraft"' % NS})
        self.assertEqual(status, 200)
        self.assertIn('status="ok"', text)
        with open(os.path.join(self.dir.name, "drafts", "draft-1", "draft.json")) as f:
            self.assertEqual(json.load(f)["files"][0]["size"], 70000)

    def test_wrong_action_and_oversized_bodies_store_nothing(self):
        cu = wm.encode_record([("Subj", "s"), ("Login", "ann"), ("Pwd", "pw")])
        msg = record(0x0E, 2, b"SoapHeader", b"x", envelope(cu))
        status, text = self.post(msg, {"Content-Type": "application/dime", "SOAPAction": '"%s/Delete"' % NS})
        self.assertIn('status="error"', text)
        status, _ = self.post(b"", {"Content-Type": "application/dime", "Content-Length": str(64 << 20)})
        self.assertEqual(status, 413)
        self.assertFalse(os.path.exists(os.path.join(self.dir.name, "drafts", "draft-1")))


if __name__ == "__main__":
    unittest.main()
