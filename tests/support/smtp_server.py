"""A real SMTP server on 127.0.0.1 for the mail tests (aiosmtpd).

Usage: smtp_server.py OUTDIR [plain|auth|starttls|starttls-open]
  plain          no authentication, no STARTTLS
  auth           requires AUTH (PLAIN, LOGIN) and offers no STARTTLS, so a password would come in
                 clear
  starttls       offers STARTTLS with a self-signed certificate (OUTDIR/cert.pem, for 127.0.0.1)
                 and requires AUTH, offered only inside it
  starttls-open  offers STARTTLS with that certificate and no AUTH
Prints the port it listens on, then serves until its standard input closes. Each mail received
is stored as OUTDIR/N.raw (the message as received), N.subject (decoded), N.body (the decoded
bytes of its text part)
and N.envelope (sender, then one recipient per line, then "auth:" and the login, if any, then
"tls:" and 1 when the mail came inside TLS, 0 when not). Every
AUTH attempt, good or bad, adds "login<TAB>password" to OUTDIR/auth_attempts. Each EHLO and
QUIT adds "PORT ehlo" or "PORT quit" to OUTDIR/sessions, PORT the client's.
Recipients beginning with "reject" are refused with 550.
"""
import email
import email.header
import logging
import os
import socket
import ssl
import subprocess
import sys

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult, LoginPassword

outdir = sys.argv[1]
mode = sys.argv[2] if len(sys.argv) > 2 else "plain"


def note_session(session, what):
    """Appends "PORT what" to OUTDIR/sessions: the client's port tells one connection, across
    STARTTLS too (which starts a new session object)."""
    with open(os.path.join(outdir, "sessions"), "a") as f:
        f.write("%d %s\n" % (session.peer[1], what))


class Handler:
    async def handle_EHLO(self, server, session, envelope, hostname, responses):
        session.host_name = hostname
        note_session(session, "ehlo")
        return responses

    async def handle_QUIT(self, server, session, envelope):
        note_session(session, "quit")
        return "221 Bye"

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
        # The text: the message's own payload, or its first part that is no multipart.
        text = next((part for part in msg.walk() if not part.is_multipart()), msg)
        with open(base + ".body", "wb") as f:
            f.write(text.get_payload(decode=True) or b"")
        login = ""
        if session.authenticated and isinstance(session.auth_data, LoginPassword):
            login = session.auth_data.login.decode()
        with open(base + ".envelope", "w", encoding="utf-8") as f:
            f.write(envelope.mail_from + "\n")
            for r in envelope.rcpt_tos:
                f.write(r + "\n")
            f.write("auth:" + login + "\n")
            f.write("tls:" + ("1" if session.ssl is not None else "0") + "\n")
        with open(base + ".raw", "wb") as f:
            f.write(raw)
        return "250 Message accepted"


class NoAuthHandler(Handler):
    """Leaves AUTH out of every EHLO answer, inside TLS too."""

    async def handle_EHLO(self, server, session, envelope, hostname, responses):
        responses = await super().handle_EHLO(server, session, envelope, hostname, responses)
        return [r for r in responses if not r[4:].upper().startswith("AUTH")]


def authenticator(server, session, envelope, mechanism, auth_data):
    if isinstance(auth_data, LoginPassword):
        with open(os.path.join(outdir, "auth_attempts"), "ab") as f:
            f.write(auth_data.login + b"\t" + auth_data.password + b"\n")
    ok = (isinstance(auth_data, LoginPassword) and auth_data.login == b"user"
          and auth_data.password == b"pass")
    return AuthResult(success=ok, auth_data=auth_data if ok else None)


def self_signed_context():
    cert, key = os.path.join(outdir, "cert.pem"), os.path.join(outdir, "key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                    "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", key, "-out", cert],
                   check=True, capture_output=True)
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.load_cert_chain(cert, key)
    return context


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


port = free_port()
kwargs = {}
if mode == "auth":
    kwargs = dict(authenticator=authenticator, auth_require_tls=False, auth_required=True)
elif mode == "starttls":
    # The client refusing the certificate is the expected end of a session: no traceback.
    logging.getLogger("mail.log").setLevel(logging.CRITICAL)
    kwargs = dict(authenticator=authenticator, auth_require_tls=True, auth_required=True,
                  tls_context=self_signed_context())
elif mode == "starttls-open":
    logging.getLogger("mail.log").setLevel(logging.CRITICAL)
    kwargs = dict(tls_context=self_signed_context())
handler = NoAuthHandler() if mode == "starttls-open" else Handler()
controller = Controller(handler, hostname="127.0.0.1", port=port, **kwargs)
controller.start()
print(port, flush=True)
sys.stdin.read()
controller.stop()
