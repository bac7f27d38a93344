"""TLS failures fail fast with a message that names the setting; refused connections do not.

The certificate cases need a TLS server with a certificate of our own making, which the
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
from pathlib import Path
from typing import Iterator

import pytest

from quorvex.base import _StorePool
from quorvex.config import ClientSettings, ConfigurationError, TLSError, configure
from quorvex.minio.path import MinIOPath

BOUND = 2.0  # seconds: the SDK's own pool took about 6 s to give up on a TLS failure


def self_signed_certificate(folder: Path) -> tuple[Path, Path]:
    """A certificate for 127.0.0.1 signed by its own key: (certificate, key) files."""
    from cryptography import x509
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec
    from cryptography.x509.oid import NameOID

    key = ec.generate_private_key(ec.SECP256R1())
    name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "quorvex test store")])
    now = datetime.datetime.now(datetime.timezone.utc)
    certificate = (
        x509.CertificateBuilder().subject_name(name).issuer_name(name)
        .public_key(key.public_key()).serial_number(x509.random_serial_number())
        .not_valid_before(now - datetime.timedelta(minutes=5))
        .not_valid_after(now + datetime.timedelta(hours=1))
        .add_extension(x509.SubjectAlternativeName(
            [x509.IPAddress(ipaddress.ip_address("127.0.0.1"))]), critical=False)
        .add_extension(x509.BasicConstraints(ca=True, path_length=None), critical=True)
        .sign(key, hashes.SHA256()))
    cert_file, key_file = folder / "store.pem", folder / "store.key"
    cert_file.write_bytes(certificate.public_bytes(serialization.Encoding.PEM))
    key_file.write_bytes(key.private_bytes(serialization.Encoding.PEM,
                                           serialization.PrivateFormat.PKCS8,
                                           serialization.NoEncryption()))
    return cert_file, key_file


class _Hello(http.server.BaseHTTPRequestHandler):
    def do_GET(self) -> None:  # noqa: N802 - the name http.server calls
        self.send_response(200)
        self.send_header("Content-Length", "5")
        self.end_headers()
        self.wfile.write(b"hello")

    def log_message(self, *args: object) -> None:
        pass


def serve(server: http.server.HTTPServer) -> threading.Thread:
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    return thread


@pytest.fixture
def https_store(tmp_path: Path) -> Iterator[tuple[str, Path]]:
    """An HTTPS server with a self-signed certificate: (endpoint, certificate file)."""
    cert_file, key_file = self_signed_certificate(tmp_path)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert_file, key_file)
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), _Hello)
    server.socket = context.wrap_socket(server.socket, server_side=True)
    serve(server)
    yield f"127.0.0.1:{server.server_address[1]}", cert_file
    server.shutdown()
    server.server_close()


def pool_for(endpoint: str) -> _StorePool:
    return _StorePool(ClientSettings(endpoint, secure=True), "minio", "MINIO_SECURE")


def test_a_certificate_that_does_not_verify_names_the_ca_bundle(https_store, monkeypatch):
    endpoint, cert_file = https_store
    monkeypatch.delenv("SSL_CERT_FILE", raising=False)
    started = time.monotonic()
    with pytest.raises(TLSError, match=r"does not verify against the CA bundle .*SSL_CERT_FILE"):
        pool_for(endpoint).request("GET", f"https://{endpoint}/")
    assert time.monotonic() - started < BOUND
    monkeypatch.setenv("SSL_CERT_FILE", str(cert_file))  # now the CA is known
    assert pool_for(endpoint).request("GET", f"https://{endpoint}/").data == b"hello"


def test_refused_connections_are_still_retried_by_the_pool() -> None:
    # A store that restarts: nothing listens at first, then a server comes up.
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    servers: list[http.server.HTTPServer] = []

    def start_later() -> None:
        time.sleep(0.3)
        servers.append(http.server.ThreadingHTTPServer(("127.0.0.1", port), _Hello))
        serve(servers[0])

    threading.Thread(target=start_later, daemon=True).start()
    pool = _StorePool(ClientSettings(f"127.0.0.1:{port}", secure=False), "minio",
                      "MINIO_SECURE")
    try:
        assert pool.request("GET", f"http://127.0.0.1:{port}/").data == b"hello"
    finally:
        for server in servers:
            server.shutdown()
            server.server_close()


@pytest.mark.parametrize("given_in_code", [False, True])
def test_secure_against_a_plain_http_store_fails_fast(configured, monkeypatch,
                                                      given_in_code) -> None:
    configured.make_bucket()
    if given_in_code:
        switch = configure(secure=True)
    else:
        monkeypatch.setenv("MINIO_SECURE", "true")
        MinIOPath.reset_clients()
    try:
        started = time.monotonic()
        with pytest.raises(TLSError) as caught:
            MinIOPath(path="a.txt").exists
        elapsed = time.monotonic() - started
    finally:
        if given_in_code:
            switch.restore()
    assert elapsed < BOUND, f"took {elapsed:.1f} s"
    assert isinstance(caught.value, ConfigurationError)
    expected = "given to configure()" if given_in_code else "set MINIO_SECURE to false"
    assert expected in str(caught.value) and configured.endpoint in str(caught.value)
    MinIOPath.reset_clients()
    monkeypatch.delenv("MINIO_SECURE", raising=False)
    monkeypatch.setenv("MINIO_SECURE", "false")
    assert MinIOPath(path="a.txt").exists is False  # the same store over plain HTTP
