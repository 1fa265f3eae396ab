"""A real SMTP server on 127.0.0.1 for the mail tests (aiosmtpd).

Usage: smtp_server.py OUTDIR [auth]
Prints the port it listens on, then serves until its standard input closes. Each mail received
is stored as OUTDIR/N.raw (the message as received), N.subject (decoded), N.body (decoded bytes)
and N.envelope (sender, then one recipient per line, then "auth:" and the login, if any).
Recipients beginning with "reject" are refused with 550.
"""
import email
import email.header
import os
import socket
import sys

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult, LoginPassword

outdir = sys.argv[1]
require_auth = len(sys.argv) > 2 and sys.argv[2] == "auth"


class Handler:
    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address.startswith("reject"):
            return "550 5.1.1 no such user here"
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        n = len([f for f in os.listdir(outdir) if f.endswith(".raw")])
        base = os.path.join(outdir, str(n))
        raw = envelope.original_content or envelope.content
        msg = email.message_from_bytes(raw)
        subject = str(email.header.make_header(email.header.decode_header(msg["Subject"])))
        with open(base + ".subject", "w", encoding="utf-8") as f:
            f.write(subject)
        with open(base + ".body", "wb") as f:
            f.write(msg.get_payload(decode=True) or b"")
        login = ""
        if session.authenticated and isinstance(session.auth_data, LoginPassword):
            login = session.auth_data.login.decode()
        with open(base + ".envelope", "w", encoding="utf-8") as f:
            f.write(envelope.mail_from + "\n")
            for r in envelope.rcpt_tos:
                f.write(r + "\n")
            f.write("auth:" + login + "\n")
        with open(base + ".raw", "wb") as f:
            f.write(raw)
        return "250 Message accepted"


def authenticator(server, session, envelope, mechanism, auth_data):
    ok = (isinstance(auth_data, LoginPassword) and auth_data.login == b"user"
          and auth_data.password == b"pass")
    return AuthResult(success=ok, auth_data=auth_data if ok else None)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


port = free_port()
kwargs = {}
if require_auth:
    kwargs = dict(authenticator=authenticator, auth_require_tls=False, auth_required=True)
controller = Controller(Handler(), hostname="127.0.0.1", port=port, **kwargs)
controller.start()
print(port, flush=True)
sys.stdin.read()
controller.stop()
