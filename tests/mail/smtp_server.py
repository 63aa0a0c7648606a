"""SMTP server for the mailer tests, on a free loopback port.

Prints "PORT <n>" first, then one record per delivered message:
  MAIL x<hex>            envelope sender
  RCPT x<hex>            one line per accepted recipient
  LOGIN x<hex>           the AUTH LOGIN user of the session ("x" when none)
  DATA x<hex>            the message as received (dot-stuffing removed)
  DATE x<hex>            the Date header parsed by the email package, ISO form
  PART x<type> x<cte> x<charset> x<filename> x<payload> x<defects>
                         one line per leaf part, the payload decoded by the email package
  END
Every field is "x" followed by the hex of its bytes.
"""
import argparse
import asyncio
import email
import email.utils
import logging
import sys
import warnings

from aiosmtpd.smtp import SMTP, AuthResult


def field(value):
    if value is None:
        value = b""
    if isinstance(value, str):
        value = value.encode("latin-1", "replace")
    return "x" + value.hex()


def emit(lines):
    sys.stdout.write("\n".join(lines) + "\nEND\n")
    sys.stdout.flush()


class HeloSMTP(SMTP):
    # The prompts most relays send (aiosmtpd's own differ).
    AuthLoginUsernameChallenge = "Username:"
    AuthLoginPasswordChallenge = "Password:"

    # The mailer greets with HELO; AUTH is allowed after it as well.
    async def smtp_HELO(self, hostname):
        await super().smtp_HELO(hostname)
        if self.session.host_name:
            self.session.extended_smtp = True


class Recorder:
    def __init__(self, refused):
        self.refused = refused

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address in self.refused:
            return "550 5.1.1 No such user here"
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        data = envelope.content
        msg = email.message_from_bytes(data)
        lines = ["MAIL " + field(envelope.mail_from)]
        lines += ["RCPT " + field(r) for r in envelope.rcpt_tos]
        auth = session.auth_data
        lines.append("LOGIN " + field(getattr(auth, "login", None)))
        lines.append("DATA " + field(data))
        date = msg.get("Date")
        try:
            parsed = email.utils.parsedate_to_datetime(date).isoformat() if date else ""
        except (TypeError, ValueError):
            parsed = "invalid"
        lines.append("DATE " + field(parsed))
        for part in msg.walk():
            if part.is_multipart():
                continue
            payload = part.get_payload(decode=True)
            lines.append("PART " + " ".join(field(v) for v in (
                part.get_content_type(), part.get("Content-Transfer-Encoding", ""),
                part.get_content_charset() or "", part.get_filename() or "", payload,
                str(len(part.defects) + len(msg.defects)))))
        emit(lines)
        return "250 2.0.0 Message accepted"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--user", default="")
    ap.add_argument("--password", default="")
    ap.add_argument("--refuse", action="append", default=[])
    ap.add_argument("--lifetime", type=float, default=120.0)
    args = ap.parse_args()
    logging.disable(logging.WARNING)

    def authenticator(server, session, envelope, mechanism, auth_data):
        ok = (auth_data.login == args.user.encode()
              and auth_data.password == args.password.encode())
        return AuthResult(success=ok, handled=False, auth_data=auth_data)

    async def run():
        loop = asyncio.get_running_loop()
        handler = Recorder(set(args.refuse))
        kwargs = dict(hostname="test.local", auth_require_tls=False)
        warnings.simplefilter("ignore")
        if args.user:
            kwargs.update(auth_required=True, authenticator=authenticator)
        server = await loop.create_server(lambda: HeloSMTP(handler, **kwargs), "127.0.0.1", 0)
        port = server.sockets[0].getsockname()[1]
        sys.stdout.write("PORT %d\n" % port)
        sys.stdout.flush()
        await asyncio.sleep(args.lifetime)
        server.close()

    asyncio.run(run())


if __name__ == "__main__":
    main()
