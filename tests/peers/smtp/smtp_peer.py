#!/usr/bin/python3
"""SMTP server for the mail channel tests (aiosmtpd), on 127.0.0.1 only.

Every message received is recorded in the output directory as
  msg-N.eml      the data exactly as transmitted (after dot-unstuffing)
  msg-N.subject  the Subject as a mail client decodes it (UTF-8)
  msg-N.body     the body as a mail client decodes it (UTF-8)
  msg-N.meta     "key: value" lines: envelope, TLS, login, parsed Date;
                 written last, so its presence means the message is complete.
Failed logins are appended to auth-failures.log.

Options: --port, --outdir, --cert/--key (offer STARTTLS), --user/--password
(offer AUTH), --mechanism PLAIN|LOGIN (offer only that one), --require-auth,
--stall (accept the data, then never answer), --lifetime SECONDS.
"""

import argparse
import asyncio
import email
import email.policy
import email.utils
import os
import ssl
import sys

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword


class Recorder:
    def __init__(self, outdir, stall_seconds):
        self.outdir = outdir
        self.count = 0
        self.stall_seconds = stall_seconds

    def path(self, name):
        return os.path.join(self.outdir, name)

    async def handle_DATA(self, server, session, envelope):
        if self.stall_seconds:
            await asyncio.sleep(self.stall_seconds)
        self.count += 1
        base = 'msg-%d' % self.count
        raw = envelope.original_content or b''
        with open(self.path(base + '.eml'), 'wb') as f:
            f.write(raw)
        meta = [
            'mail_from: %s' % envelope.mail_from,
            'rcpt_count: %d' % len(envelope.rcpt_tos),
        ]
        meta += ['rcpt: %s' % r for r in envelope.rcpt_tos]
        meta.append('tls: %s' % ('yes' if session.ssl is not None else 'no'))
        login = getattr(session, 'zentok_login', None)
        meta.append('auth: %s' % (login if session.authenticated and login else '-'))
        msg = email.message_from_bytes(raw, policy=email.policy.default)
        meta.append('defects: %d' % len(msg.defects))
        subject = msg['Subject']
        with open(self.path(base + '.subject'), 'wb') as f:
            f.write(str(subject if subject is not None else '').encode('utf-8', 'surrogateescape'))
        try:
            body = msg.get_content()
        except Exception as e:  # a body the client cannot decode
            body = 'UNDECODABLE %r' % e
        with open(self.path(base + '.body'), 'wb') as f:
            f.write(body.encode('utf-8', 'surrogateescape'))
        date = msg['Date']
        try:
            parsed = email.utils.parsedate_to_datetime(str(date))
            meta.append('date: %s' % parsed.isoformat())
            meta.append('date_offset: %d' % parsed.utcoffset().total_seconds())
        except Exception:
            meta.append('date: invalid')
        meta.append('message_id: %s' % msg['Message-ID'])
        meta.append('content_type: %s' % msg.get_content_type())
        meta.append('charset: %s' % msg.get_content_charset())
        tmp = self.path(base + '.meta.tmp')
        with open(tmp, 'w', encoding='utf-8') as f:
            f.write('\n'.join(meta) + '\n')
        os.replace(tmp, self.path(base + '.meta'))
        return '250 Message accepted'


def make_authenticator(user, password, outdir):
    def authenticate(server, session, envelope, mechanism, auth_data):
        ok = (isinstance(auth_data, LoginPassword) and auth_data.login == user.encode()
              and auth_data.password == password.encode())
        if ok:
            session.zentok_login = '%s %s' % (mechanism, user)
        else:
            with open(os.path.join(outdir, 'auth-failures.log'), 'a') as f:
                f.write('%s\n' % mechanism)
        # handled=False: the server itself answers 535 to a refused login.
        return AuthResult(success=ok, handled=False)
    return authenticate


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--port', type=int, required=True)
    parser.add_argument('--outdir', required=True)
    parser.add_argument('--cert')
    parser.add_argument('--key')
    parser.add_argument('--user')
    parser.add_argument('--password', default='')
    parser.add_argument('--mechanism', choices=['PLAIN', 'LOGIN'])
    parser.add_argument('--require-auth', action='store_true')
    parser.add_argument('--stall', action='store_true')
    parser.add_argument('--lifetime', type=float, default=120.0)
    args = parser.parse_args()

    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)

    tls_context = None
    if args.cert:
        tls_context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        tls_context.load_cert_chain(args.cert, args.key)

    handler = Recorder(args.outdir, args.lifetime if args.stall else 0)
    options = dict(hostname='localhost', tls_context=tls_context, loop=loop)
    if args.user:
        options['authenticator'] = make_authenticator(args.user, args.password, args.outdir)
        options['auth_required'] = args.require_auth
        # Without STARTTLS the login is offered in plain text as well.
        options['auth_require_tls'] = tls_context is not None
        if args.mechanism:
            options['auth_exclude_mechanism'] = [m for m in ('PLAIN', 'LOGIN') if m != args.mechanism]

    server = loop.run_until_complete(
        loop.create_server(lambda: SMTP(handler, **options), host='127.0.0.1', port=args.port))
    loop.call_later(args.lifetime, loop.stop)
    print('smtp peer listening on 127.0.0.1:%d' % args.port, flush=True)
    try:
        loop.run_forever()
    finally:
        server.close()
    return 0


if __name__ == '__main__':
    sys.exit(main())
