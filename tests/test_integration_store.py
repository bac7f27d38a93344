"""MinIOPath against real servers (moto and SeaweedFS, each in turn): buckets, queries,
content and deletion.

Every test here runs once per server through the ``configured`` fixture of conftest.py,
which points the default section "minio" at the server and names a bucket that is not
created yet.  What is stored is checked with the fixture's own raw client, never through
MinIOPath itself.

Server differences these tests allow for:

- SeaweedFS removes emptied folders asynchronously: after a recursive delete a parent
  listing may still show stale "dir/" prefixes (and is_dir() of the deleted directory may
  stay True for a while).  Deletions are therefore checked on a recursive listing of
  objects, which shows no folders.
- The per-object error message of a multi-object delete differs in its last character:
  moto says "Access Denied", SeaweedFS "Access Denied.".
- moto cannot refuse a second create of a bucket; the number of create requests is counted
  instead.
- SeaweedFS never reports per-object authorization errors to an admin identity; the
  per-object failure test there uses an extra, limited identity (see ``limited_identity``).
"""

from __future__ import annotations

import datetime
import io
import json
import os
import signal
import time
from typing import Any, Iterator

import pytest
from minio import Minio
from minio.error import S3Error

from quorvex.minio.path import MinIOPath

pytestmark = pytest.mark.integration


# -- helpers -------------------------------------------------------------------------------


@pytest.fixture
def store(configured: Any) -> Any:
    """``configured`` with its bucket created."""
    configured.make_bucket()
    return configured


def stored(target: Any, bucket: str | None = None, prefix: str | None = None) -> dict[str, bytes]:
    """Every object of ``bucket`` (default: the test's) read with the raw client."""
    client: Minio = target.client
    bucket = bucket or target.bucket
    result = {}
    for item in client.list_objects(bucket, prefix=prefix, recursive=True):
        response = client.get_object(bucket, item.object_name)
        try:
            result[item.object_name] = response.read()
        finally:
            response.close()
            response.release_conn()
    return result


def put(target: Any, name: str, data: bytes = b"x") -> None:
    target.client.put_object(target.bucket, name, io.BytesIO(data), len(data))


def put_all(target: Any, names: list[str]) -> dict[str, bytes]:
    contents = {name: f"content of {name}".encode() for name in names}
    for name, data in contents.items():
        put(target, name, data)
    return contents


# -- bucket operations ---------------------------------------------------------------------


def test_bucket_life_cycle_creates_once_and_deletes_quietly(configured, monkeypatch):
    path = MinIOPath("some/key.txt")
    assert path.bucket_exists is False

    # Count the create requests: moto answers a second create of a bucket with success,
    # so only the count shows that the second create_bucket sent nothing.
    client = path.client
    creates: list[str] = []
    original = client.make_bucket

    def counting_make_bucket(bucket_name: str, *args: Any, **kwargs: Any) -> Any:
        creates.append(bucket_name)
        return original(bucket_name, *args, **kwargs)

    monkeypatch.setattr(client, "make_bucket", counting_make_bucket)
    path.create_bucket()
    path.create_bucket()
    assert creates == [configured.bucket]
    assert configured.client.bucket_exists(configured.bucket)
    assert path.bucket_exists is True

    path.delete_bucket()
    assert not configured.client.bucket_exists(configured.bucket)
    assert path.bucket_exists is False
    path.delete_bucket()  # a missing bucket: nothing to do, no error
    assert not configured.client.bucket_exists(configured.bucket)


def test_delete_bucket_that_is_not_empty_raises_the_client_error(store):
    put(store, "left/behind.txt", b"still here")
    with pytest.raises(S3Error) as caught:
        MinIOPath("").delete_bucket()
    assert caught.value.code == "BucketNotEmpty"
    assert store.client.bucket_exists(store.bucket)
    assert stored(store) == {"left/behind.txt": b"still here"}


# -- a bucket that does not exist ----------------------------------------------------------


@pytest.fixture
def missing_bucket(configured, monkeypatch) -> str:
    """Points section "minio" at a bucket that was never created.

    The client is new and has no region, so the SDK can tell a missing bucket from a
    missing object (with a region set or cached it reports NoSuchKey for both).
    """
    name = configured.new_bucket_name("absent")
    monkeypatch.setenv("MINIO_BUCKET_NAME", name)
    MinIOPath.reset_clients()
    return name


@pytest.mark.parametrize("member", ["exists", "mtime", "read"])
def test_missing_bucket_is_reported_as_a_missing_file(configured, missing_bucket, member):
    path = MinIOPath("dir/file.txt")
    with pytest.raises(FileNotFoundError) as caught:
        value = getattr(path, member)
        if member == "read":
            value()
    assert str(caught.value) == f"Bucket: '{missing_bucket}' does not exist."
    context = caught.value.__context__
    assert isinstance(context, S3Error)
    assert context.code == "NoSuchBucket"
    assert not configured.client.bucket_exists(missing_bucket)


@pytest.mark.parametrize("call", [
    pytest.param(lambda p: p.is_dir(), id="is_dir"),
    pytest.param(lambda p: p.delete(), id="delete"),
    pytest.param(lambda p: p.write(b"data"), id="write"),
])
def test_missing_bucket_passes_the_client_error_on(configured, missing_bucket, call):
    with pytest.raises(S3Error) as caught:
        call(MinIOPath("dir/file.txt"))
    assert caught.value.code == "NoSuchBucket"
    # Nothing created it on the way (SeaweedFS runs with bucket auto-creation off).
    assert not configured.client.bucket_exists(missing_bucket)


# -- queries -------------------------------------------------------------------------------


@pytest.mark.parametrize("text, shown", [
    ("missing.txt", "missing.txt"),
    ("deep/er/missing.txt", "deep/er/missing.txt"),
    ("/deep/er/missing.txt", "deep/er/missing.txt"),
    # A directory with an object below it is not an object itself.
    ("dir", "dir"),
    ("dir/", "dir"),
])
def test_missing_object(store, text, shown):
    put(store, "dir/inside.txt")
    path = MinIOPath(text)
    assert path.exists is False
    with pytest.raises(FileNotFoundError) as caught:
        path.mtime
    assert str(caught.value) == f"'{shown}' does not exist."
    with pytest.raises(FileNotFoundError) as caught:
        path.read()
    assert str(caught.value) == f"'{shown}' does not exist in bucket '{store.bucket}'."


def test_exists_and_is_dir_of_objects_and_directories(store):
    put_all(store, ["top.txt", "dir/file.txt", "dir/sub/deeper.txt", "only-marker/",
                    "marked/", "marked/child.txt"])
    put(store, "empty.bin", b"")
    expectations = {
        # text: (exists, is_dir)
        "top.txt": (True, False),
        "empty.bin": (True, False),
        "dir/file.txt": (True, False),
        "dir": (False, True),
        "dir/sub": (False, True),
        "/dir/sub/": (False, True),
        "di": (False, False),           # a prefix of a name is not a directory
        "dir/file": (False, False),
        "only-marker": (False, False),  # a marker with nothing below it
        "marked": (False, True),
        "nowhere": (False, False),
    }
    seen = {text: (MinIOPath(text).exists, MinIOPath(text).is_dir()) for text in expectations}
    assert seen == expectations


@pytest.mark.parametrize("zone", ["Asia/Kathmandu", "America/St_Johns"])
def test_mtime_is_a_naive_local_time_close_to_now(store, zone):
    # Zones with odd offsets (+05:45, -03:30 or -02:30) so that a UTC or a whole-hour
    # mistake shows.
    saved = os.environ.get("TZ")
    os.environ["TZ"] = zone
    time.tzset()
    try:
        before = datetime.datetime.now().replace(microsecond=0)
        MinIOPath("stamped.txt").write(b"now")
        modified = MinIOPath("stamped.txt").mtime
        after = datetime.datetime.now()
    finally:
        if saved is None:
            del os.environ["TZ"]
        else:
            os.environ["TZ"] = saved
        time.tzset()
    assert isinstance(modified, datetime.datetime)
    assert modified.tzinfo is None
    # Servers keep whole seconds; allow one more for clocks that round.
    assert before - datetime.timedelta(seconds=1) <= modified <= after + \
        datetime.timedelta(seconds=1)


# -- content -------------------------------------------------------------------------------


@pytest.mark.parametrize("size", [
    pytest.param(0, id="empty"),
    pytest.param(256, id="every-byte"),
    pytest.param(20 * 1024 * 1024 + 3, id="20MiB"),
])
def test_write_then_read_round_trips(store, size):
    data = bytes(range(256)) if size == 256 else os.urandom(size)
    path = MinIOPath("data/blob.bin")
    path.write(data)
    assert stored(store) == {"data/blob.bin": data}
    assert path.exists is True
    assert path.read() == data
    if size > 5 * 1024 * 1024:
        # The SDK sends anything above its 5 MiB part size in parts.
        etag = store.client.stat_object(store.bucket, "data/blob.bin").etag
        assert "-" in etag


def test_write_replaces_an_object(store):
    put(store, "again.txt", b"first version, longer than the second")
    MinIOPath("again.txt").write(b"second")
    assert MinIOPath("again.txt").read() == b"second"
    assert stored(store) == {"again.txt": b"second"}


def make_tree(root) -> dict[str, bytes]:
    """A local tree; returns its files as relative POSIX name -> content."""
    files = {
        "top.txt": b"top",
        ".hidden": b"hidden file",
        "empty-file": b"",
        "nested/one.txt": b"one",
        "nested/deeper/two.bin": bytes(range(256)),
        "nested/.hidden-dir/three": b"three",
        "ünïcødé/名前 with space.txt": "non-ASCII ✓".encode(),
    }
    for name, data in files.items():
        target = root / name
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes(data)
    # Empty folders store nothing.
    (root / "empty-dir").mkdir()
    (root / "nested" / "empty-too" / "and-below").mkdir(parents=True)
    return files


@pytest.mark.parametrize("target, key_prefix", [
    ("dst/tree", "dst/tree/"),
    ("/dst/tree/", "dst/tree/"),   # moto would keep a leading "/" if one were sent
    ("", ""),                      # the bucket's root
])
def test_upload_of_a_tree(store, tmp_path, target, key_prefix):
    local = tmp_path / "tree"
    files = make_tree(local)
    MinIOPath(target).upload(str(local))
    assert stored(store) == {key_prefix + name: data for name, data in files.items()}


def test_upload_of_one_file_onto_a_path(store, tmp_path):
    local = tmp_path / "local-name.txt"
    local.write_bytes(b"single file")
    empty = tmp_path / "empty"
    empty.write_bytes(b"")
    MinIOPath("remote/other-name.dat").upload(str(local))
    MinIOPath("remote/empty.dat").upload(str(empty))
    assert stored(store) == {"remote/other-name.dat": b"single file",
                             "remote/empty.dat": b""}


# -- deletion ------------------------------------------------------------------------------


NEIGHBOURS = ["a/bc", "a/bc/under.txt", "a/b.txt", "ab/x", "a/x.txt", "top.txt"]


@pytest.mark.parametrize("text", ["a/b", "/a/b/"])
@pytest.mark.parametrize("marker", [False, True], ids=["no-marker", "marker"])
def test_delete_of_a_directory_keeps_neighbours_sharing_its_name(store, text, marker):
    doomed = ["a/b/x", "a/b/c/y", "a/b/c/d/z"] + (["a/b/"] if marker else [])
    contents = put_all(store, doomed + NEIGHBOURS)
    MinIOPath(text).delete()
    assert stored(store) == {name: contents[name] for name in NEIGHBOURS}


def test_delete_without_recursion_removes_one_object(store):
    contents = put_all(store, ["a/b/x", "a/b/y", "a/bx"])
    MinIOPath("a/b/x").delete(recursive=False)
    assert set(stored(store)) == {"a/b/y", "a/bx"}
    # Not recursive on a directory: the name is not an object, nothing goes.
    MinIOPath("a/b").delete(recursive=False)
    assert stored(store) == {"a/b/y": contents["a/b/y"], "a/bx": contents["a/bx"]}


def test_delete_of_a_single_object_and_of_nothing(store):
    put_all(store, ["keep.txt", "gone.txt", "gone.txt.bak"])
    MinIOPath("gone.txt").delete()      # an object, not a directory: removed alone
    MinIOPath("never/was").delete()     # missing: no error
    MinIOPath("never/was").delete(recursive=False)
    assert set(stored(store)) == {"keep.txt", "gone.txt.bak"}


def test_delete_of_a_directory_larger_than_one_batch(store):
    # remove_objects sends 1000 names per request, lazily: all of them must be consumed.
    names = [f"many/{index:04d}" for index in range(1003)]
    for name in names:
        put(store, name, b"")
    put(store, "many-not/kept", b"kept")
    MinIOPath("many").delete()
    assert stored(store) == {"many-not/kept": b"kept"}


# -- deletion with per-object failures -----------------------------------------------------


DENIED_OBJECTS = ["dir/keep/1", "dir/keep/2"]
ALLOWED_OBJECTS = ["dir/gone/1", "dir/gone/2"]


@pytest.fixture
def deny_policy(store) -> Iterator[str]:
    """moto: a bucket policy denying s3:DeleteObject below dir/keep/; the message."""
    policy = {"Version": "2012-10-17", "Statement": [{
        "Effect": "Deny", "Principal": "*", "Action": "s3:DeleteObject",
        "Resource": f"arn:aws:s3:::{store.bucket}/dir/keep/*"}]}
    store.client.set_bucket_policy(store.bucket, json.dumps(policy))
    try:
        yield "Access Denied"
    finally:
        store.client.delete_bucket_policy(store.bucket)


@pytest.fixture
def limited_identity(store, request, monkeypatch) -> Iterator[str]:
    """SeaweedFS: section "minio" uses an identity that may write only below dir/gone/.

    SeaweedFS never refuses an admin identity per object, and the launcher configures only
    an admin.  This adds a second identity to the running server's identity file and
    sends SIGHUP, on which ``weed mini`` 4.48 reads the file again.  The file is put back
    afterwards, but a reload only adds identities: this one stays known to the server,
    with rights on nothing but this test's bucket, which is removed after the test.
    Yields the message of a per-object error.
    """
    server = request.getfixturevalue("seaweed_server")
    config = os.path.join(server.directory, "s3.json")
    with open(config, encoding="utf-8") as stream:
        original = stream.read()
    access_key, secret_key = "quorvex-limited", "quorvex-limited-secret"
    settings = json.loads(original)
    settings["identities"].append({
        "name": "quorvex-limited",
        "credentials": [{"accessKey": access_key, "secretKey": secret_key}],
        "actions": [f"Read:{store.bucket}", f"List:{store.bucket}",
                    f"Write:{store.bucket}/dir/gone/*"],
    })

    def install(text: str) -> None:
        with open(config, "w", encoding="utf-8") as stream:
            stream.write(text)
        os.kill(server.pid, signal.SIGHUP)

    install(json.dumps(settings))
    try:
        limited = Minio(store.endpoint, access_key=access_key, secret_key=secret_key,
                        secure=False)
        deadline = time.monotonic() + 10
        while True:
            try:
                limited.bucket_exists(store.bucket)
                break
            except S3Error:
                if time.monotonic() > deadline:
                    pytest.skip("SeaweedFS did not take up an identity added to its "
                                "configuration after SIGHUP")
                time.sleep(0.1)
        monkeypatch.setenv("MINIO_ACCESS_KEY", access_key)
        monkeypatch.setenv("MINIO_SECRET_KEY", secret_key)
        MinIOPath.reset_clients()
        yield "Access Denied."
    finally:
        install(original)
        MinIOPath.reset_clients()


@pytest.fixture
def refused_deletes(store, request) -> str:
    """Deletes below dir/keep/ are refused per object; returns the error message."""
    name = "deny_policy" if store.kind == "moto" else "limited_identity"
    return request.getfixturevalue(name)


def test_delete_prints_each_failure_and_removes_the_rest(store, refused_deletes, capfd):
    contents = put_all(store, DENIED_OBJECTS + ALLOWED_OBJECTS)
    capfd.readouterr()
    MinIOPath("dir").delete()
    out, err = capfd.readouterr()
    # One line per refused object, in the order the server reports them.
    assert sorted(out.splitlines()) == [
        f"Error deleting object '{name}' from bucket '{store.bucket}': {refused_deletes}"
        for name in sorted(DENIED_OBJECTS)]
    assert stored(store) == {name: contents[name] for name in DENIED_OBJECTS}
