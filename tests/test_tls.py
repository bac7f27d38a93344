"""TLS failures fail fast with a message that names the setting; refused connections do not.

The certificate case needs a TLS server with a certificate of our own making, which the
test servers do not offer: a small HTTPS server on a thread stands in; for the round trip of
the toolbox, moto's application is served over TLS on a thread of its own.
"""

from __future__ import annotations

import datetime
import os
import http.server
import ipaddress
import socket
import ssl
import threading
import time
from typing import Any

import pytest

import minio

import quorvex.engine
import quorvex.errors
from quorvex.base import StorePool
from quorvex.config import ClientSettings, TLSError, configure
from quorvex.minio.path import MinIOPath
from quorvex.sizes import PART_SIZE

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


@pytest.mark.integration
def test_the_toolbox_moves_its_bytes_through_the_engine_over_tls(tmp_path, monkeypatch) -> None:
    from moto.moto_server import werkzeug_app
    from werkzeug.serving import make_server

    cert_file, key_file = self_signed(tmp_path)
    app = werkzeug_app.DomainDispatcherApplication(werkzeug_app.create_backend_app)
    server = make_server("127.0.0.1", 0, app, threaded=True, ssl_context=(cert_file, key_file))
    threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05},
                     daemon=True).start()
    for name in list(os.environ):
        if name.startswith("MINIO_") or name == "QUORVEX_CONFIG":
            monkeypatch.delenv(name)
    for name, value in {"MINIO_ENDPOINT": f"127.0.0.1:{server.server_port}",
                        "MINIO_ACCESS_KEY": "tls-key", "MINIO_SECRET_KEY": "tls-secret",
                        "MINIO_SECURE": "true", "MINIO_BUCKET_NAME": "tls-round-trip",
                        "SSL_CERT_FILE": cert_file}.items():
        monkeypatch.setenv(name, value)
    # Every byte of the round trip is the engine's: the SDK's GET and PUT would fail it.
    sent: list[str] = []

    def counted(name: str) -> Any:
        original = getattr(quorvex.engine, name)

        def call(*args: Any, **kwargs: Any) -> Any:
            sent.append(name)
            return original(*args, **kwargs)
        return call

    for name in ("run", "stream"):
        monkeypatch.setattr(quorvex.engine, name, counted(name))
    for name in ("get_object", "put_object", "fput_object", "fget_object", "copy_object"):
        monkeypatch.setattr(minio.Minio, name, None)
    MinIOPath.reset_clients()
    try:
        MinIOPath().create_bucket()
        tree = {"big.bin": os.urandom(PART_SIZE + 4321), "small.txt": b"small", "empty": b""}
        source = tmp_path / "src"
        (source / "sub").mkdir(parents=True)
        for name, body in tree.items():
            (source / "sub" / name).write_bytes(body)
        MinIOPath(path="t").upload_from(source, workers=2)
        MinIOPath(path="t").copy("u")
        MinIOPath(path="u").move("v")
        MinIOPath(path="v").download_to(tmp_path / "dst", workers=2)
        assert {p.name: p.read_bytes() for p in (tmp_path / "dst" / "sub").iterdir()} == tree
        assert not MinIOPath(path="u").exists
        with MinIOPath(path="w.bin").open("wb") as stream:
            stream.write(tree["big.bin"])
        with MinIOPath(path="w.bin").open("rb") as stream:
            stream.seek(PART_SIZE)
            assert stream.read() == tree["big.bin"][PART_SIZE:]
        assert {"run", "stream"} <= set(sent)
    finally:
        MinIOPath.reset_clients()
        server.shutdown()
