"""TLS failures fail fast with a message that names the setting; refused connections do not.

The certificate case needs a TLS server with a certificate of our own making, which the
test servers do not offer: a small HTTPS server on a thread stands in.
"""

from __future__ import annotations

import datetime
import http.server
import ipaddress
import socket
import ssl
import threading
import time
from typing import Any

import pytest

import quorvex.errors
from quorvex.base import StorePool
from quorvex.config import ClientSettings, TLSError, configure
from quorvex.minio.path import MinIOPath

BOUND = 2.0  # seconds: the SDK's own pool took about 6 s to give up on a TLS failure


class Hello(http.server.BaseHTTPRequestHandler):
    def do_GET(self) -> None:  # noqa: N802 - the name http.server calls
        self.send_response(200)
        self.send_header("Content-Length", "5")
        self.end_headers()
        self.wfile.write(b"hello")

    def log_message(self, *args: Any) -> None:
        pass


def serve(port: int = 0, tls: Any = None) -> http.server.HTTPServer:
    server = http.server.ThreadingHTTPServer(("127.0.0.1", port), Hello)
    if tls is not None:
        server.socket = tls.wrap_socket(server.socket, server_side=True)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def self_signed(tmp_path: Any) -> tuple[str, str]:
    """(certificate file, key file) of a certificate for 127.0.0.1 signed by itself."""
    from cryptography import x509
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec

    key = ec.generate_private_key(ec.SECP256R1())
    name = x509.Name([x509.NameAttribute(x509.NameOID.COMMON_NAME, "test store")])
    now = datetime.datetime.now(datetime.timezone.utc)
    cert = (x509.CertificateBuilder().subject_name(name).issuer_name(name)
            .public_key(key.public_key()).serial_number(1)
            .not_valid_before(now - datetime.timedelta(hours=1))
            .not_valid_after(now + datetime.timedelta(hours=1))
            .add_extension(x509.SubjectAlternativeName(
                [x509.IPAddress(ipaddress.ip_address("127.0.0.1"))]), critical=False)
            .add_extension(x509.BasicConstraints(ca=True, path_length=None), critical=True)
            .sign(key, hashes.SHA256()))
    (tmp_path / "c.pem").write_bytes(cert.public_bytes(serialization.Encoding.PEM))
    (tmp_path / "k.pem").write_bytes(key.private_bytes(
        serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
        serialization.NoEncryption()))
    return str(tmp_path / "c.pem"), str(tmp_path / "k.pem")


def fetch(endpoint: str, secure: bool) -> bytes:
    pool = StorePool(ClientSettings(endpoint, secure=secure), "minio", "MINIO_SECURE")
    return pool.request("GET", f"{'https' if secure else 'http'}://{endpoint}/").data


def test_a_certificate_that_does_not_verify_names_the_ca_bundle(tmp_path, monkeypatch):
    cert_file, key_file = self_signed(tmp_path)
    tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    tls.load_cert_chain(cert_file, key_file)
    server = serve(tls=tls)
    endpoint = f"127.0.0.1:{server.server_address[1]}"
    try:
        monkeypatch.delenv("SSL_CERT_FILE", raising=False)
        started = time.monotonic()
        with pytest.raises(TLSError, match=r"does not verify against the CA bundle .*SSL_CERT_FILE"):
            fetch(endpoint, secure=True)
        assert time.monotonic() - started < BOUND
        monkeypatch.setenv("SSL_CERT_FILE", cert_file)  # now the CA is known
        assert fetch(endpoint, secure=True) == b"hello"
    finally:
        server.shutdown()


def test_refused_connections_are_still_retried() -> None:
    # A store that restarts: nothing listens at first, then a server comes up.
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    servers: list[http.server.HTTPServer] = []
    threading.Timer(0.3, lambda: servers.append(serve(port))).start()
    try:
        assert fetch(f"127.0.0.1:{port}", secure=False) == b"hello"
    finally:
        for server in servers:
            server.shutdown()


@pytest.mark.parametrize("given_in_code", [False, True])
def test_secure_against_a_plain_http_store_fails_fast(configured, monkeypatch,
                                                      given_in_code) -> None:
    monkeypatch.setenv("MINIO_SECURE", "true")
    MinIOPath.reset_clients()
    with configure(secure=True if given_in_code else None):
        started = time.monotonic()
        with pytest.raises(TLSError) as caught:
            MinIOPath(path="a.txt").exists
        assert time.monotonic() - started < BOUND
    named = "'secure' given to configure()" if given_in_code else "set MINIO_SECURE to false"
    assert named in str(caught.value) and configured.endpoint in str(caught.value)
    # One class, wherever it is imported from, caught as every failure of a connection is.
    assert TLSError is quorvex.errors.TLSError
    assert isinstance(caught.value, OSError)
    assert isinstance(caught.value, quorvex.errors.ConfigurationError)
