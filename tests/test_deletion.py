"""Deletion against an in-process client: delete (one object or a whole directory) and
mkdir."""

from __future__ import annotations

import builtins
import sys

import pytest
from hypothesis import given
from hypothesis import strategies as st
from minio.deleteobjects import DeleteError, DeleteObject
from test_bucket_ops import Boom, entry, make_path, names_in_sequence

import quorvex.minio.path as module


def directory(text="d", *, names=("d/x", "d/sub/y"), **replies):
    """A path that is a directory: is_dir's listing shows a child, the recursive listing
    shows `names`."""
    def list_objects(bucket, prefix, recursive):
        return iter([entry(n) for n in names] if recursive else [entry(prefix + "x")])
    replies.setdefault("remove_objects", iter(()))
    return make_path(text, list_objects=list_objects, **replies)


class Stdout:
    """Stands for sys.stdout, noting writes and flushes in order."""

    def __init__(self):
        self.events = []

    def write(self, text):
        self.events.append(text)
        return len(text)

    def flush(self):
        self.events.append("<flush>")


# -- one object ---------------------------------------------------------------------------


@pytest.mark.parametrize("recursive", [False, 0, "", None, []])
def test_delete_without_recursion_removes_the_object_only(recursive):
    p = directory("a/b/", remove_object=None)
    assert p.delete(recursive) is None
    # Not even is_dir is asked.
    assert p.sdk.calls == [("remove_object", ("bkt", "a/b"), {})]
    assert p.trace == ["client", ".remove_object", "bucket_name", "path", "remove_object()"]


@pytest.mark.parametrize("is_dir", [False, 0, "", None])
@pytest.mark.parametrize("recursive", [True, 1, "yes", [0]])
def test_delete_of_what_is_not_a_directory_removes_the_object(recursive, is_dir):
    p = make_path("/a/", raw=True, overrides={"is_dir": lambda self: is_dir})
    p.delete(recursive=recursive)
    assert p.sdk.calls == [("remove_object", ("bkt", "/a/"), {})]


# -- a directory --------------------------------------------------------------------------


def test_delete_of_a_directory_removes_every_listed_object_in_one_batch():
    p = directory()
    assert p.delete() is None
    assert p.sdk.calls[1:] == [
        ("list_objects", ("bkt",), {"prefix": "d/", "recursive": True}),
        # The path's own object comes last, in the same batch.
        ("remove_objects", ("bkt", [DeleteObject("d/x"), DeleteObject("d/sub/y"),
                                    DeleteObject("d")]), {}),
    ]
    assert list(p.sdk.calls[1][2]) == ["prefix", "recursive"]
    # The root check reads the path first; then, after is_dir, the bucket name is taken
    # before the prefix, and the listing before remove_objects.
    assert p.trace[:2] == ["path", "path"]
    after_is_dir = p.trace[p.trace.index("list_objects()") + 1:]
    assert after_is_dir == ["client", ".list_objects", "bucket_name", "path", "list_objects()",
                            "client", ".remove_objects", "bucket_name", "remove_objects()"]


@given(st.text(alphabet="/ab.", max_size=10).filter(lambda text: text.strip("/")))
def test_delete_lists_below_the_same_prefix_as_is_dir(text):
    p = directory(text, raw=True)
    p.delete()
    prefixes = [kwargs["prefix"] for name, _, kwargs in p.sdk.calls if name == "list_objects"]
    assert prefixes == [text.strip("/") + "/"] * 2


def test_delete_consumes_the_whole_listing_before_removing():
    events = []

    def listing():
        for name in ["d/1", "d/2", "d/3"]:
            events.append(name)
            yield entry(name)
        events.append("end")

    def remove_objects(bucket, objects):
        events.append("remove_objects")
        return iter(())

    p = make_path("d", overrides={"is_dir": lambda self: True},
                  list_objects=lambda *a, **k: listing(), remove_objects=remove_objects)
    p.delete()
    assert events == ["d/1", "d/2", "d/3", "end", "remove_objects"]


def test_delete_of_an_empty_listing_still_sends_one_batch():
    p = make_path("d", overrides={"is_dir": lambda self: 1}, list_objects=[],
                  remove_objects=[])
    p.delete()
    assert p.sdk.calls[1:] == [("remove_objects", ("bkt", [DeleteObject("d")]), {})]


def test_delete_removes_nothing_when_the_listing_fails():
    def listing():
        yield entry("d/1")
        raise Boom("listing broke")

    p = make_path("d", overrides={"is_dir": lambda self: True},
                  list_objects=lambda *a, **k: listing())
    with pytest.raises(Boom):
        p.delete()
    assert p.sdk.names() == ["list_objects"]
    assert ".remove_objects" not in p.trace


def test_delete_looks_delete_object_up_in_the_module_per_item(monkeypatch):
    made = []

    def record(name):
        made.append(name)
        return ("record", name)

    monkeypatch.setattr(module, "DeleteObject", record)
    p = directory(names=("d/a", "d/b"))
    p.delete()
    assert made == ["d/a", "d/b", "d"]
    assert p.sdk.calls[-1][1][1] == [("record", "d/a"), ("record", "d/b"), ("record", "d")]


@pytest.mark.parametrize("listed, batch", [
    # An object that is also a prefix: the objects below it and the object itself go.
    (["d/a.csv/part-1", "d/a.csv/part-2"], ["d/a.csv/part-1", "d/a.csv/part-2", "d/a.csv"]),
    # A raw text that the listing shows already (its own marker) is not sent twice.
    (["d/a.csv/", "d/a.csv/x"], ["d/a.csv/", "d/a.csv/x"]),
])
def test_delete_puts_the_path_s_own_object_into_the_batch(listed, batch):
    text = listed[0] if listed[0].endswith("/") else "d/a.csv"
    p = directory(text, raw=True, names=listed)
    p.delete()
    assert p.sdk.names() == ["list_objects", "list_objects", "remove_objects"]
    assert p.sdk.calls[-1][1][1] == [DeleteObject(name) for name in batch]


def test_a_refusal_of_the_unlisted_own_name_is_not_reported(capsys):
    # An identity that may delete only below d/ is refused "d" itself, object or not.
    errors = [DeleteError("AccessDenied", "Access Denied.", "d/x", None),
              DeleteError("AccessDenied", "Access Denied.", "d", None),
              DeleteError("InternalError", "We failed.", "d", None)]
    directory(remove_objects=iter(errors)).delete()
    assert capsys.readouterr().out.splitlines() == [
        "Error deleting object 'd/x' from bucket 'bkt': Access Denied.",
        "Error deleting object 'd' from bucket 'bkt': We failed."]
    # A name the listing showed is an object like the others: its refusal is reported.
    errors = [DeleteError("AccessDenied", "Access Denied.", "d/", None)]
    directory("d/", raw=True, names=("d/", "d/x"), remove_objects=iter(errors)).delete()
    assert capsys.readouterr().out == "Error deleting object 'd/' from bucket 'bkt': Access Denied.\n"


@pytest.mark.parametrize("text", ["", "/", "//", "///"])
@pytest.mark.parametrize("recursive", [True, False, 0, "yes"])
def test_delete_of_the_root_is_refused_before_any_request(text, recursive):
    p = directory(text, raw=True, remove_object=None)
    with pytest.raises(ValueError, match=r"^delete\(\): the bucket's root cannot be deleted; "
                                         r"to empty the bucket, delete each entry that "
                                         r"glob\(\) yields, and delete_bucket\(\) once"):
        p.delete(recursive)
    assert p.sdk.calls == []


def test_delete_of_the_root_through_a_path_object_is_refused():
    # What BasePath makes of "" and "/": the path "/", whose text names the root.
    for text in ("", "/", "//"):
        p = make_path(text, remove_object=None, list_objects=[])
        with pytest.raises(ValueError, match="root"):
            p.delete()
        assert p.sdk.calls == []


# -- reporting the objects that could not be removed -------------------------------------


def test_delete_prints_each_removal_error_and_flushes(monkeypatch):
    errors = [DeleteError("AccessDenied", "Access Denied.", "d/x", None),
              DeleteError("InternalError", None, None, None)]
    p = directory(bucket=names_in_sequence("b0", "b1", "b2", "b3", "b4"),
                  remove_objects=iter(errors))
    out = Stdout()
    monkeypatch.setattr(sys, "stdout", out)
    # The print captured when the module loaded is used, not whatever builtins has now.
    monkeypatch.setattr(builtins, "print", lambda *a, **k: None)
    p.delete()
    # Reads b0 for is_dir, b1 for the listing, b2 for remove_objects, then one per error.
    assert out.events == [
        "Error deleting object 'd/x' from bucket 'b3': Access Denied.", "\n", "<flush>",
        "Error deleting object 'None' from bucket 'b4': None", "\n", "<flush>",
    ]


class BrokenError:
    @property
    def name(self):
        raise Boom("broken record")


@pytest.mark.parametrize("failure", ["iteration", "report"])
def test_delete_stops_at_the_first_failure_among_the_removal_errors(capsys, failure):
    pulled = []

    def results():
        for name in ["d/1", "d/2", "d/3"]:
            pulled.append(name)
            if name != "d/2":
                yield DeleteError("X", "failed", name, None)
            elif failure == "iteration":
                raise Boom("lost connection")
            else:
                yield BrokenError()

    p = directory(remove_objects=results())
    with pytest.raises(Boom):
        p.delete()
    assert pulled == ["d/1", "d/2"]
    assert capsys.readouterr().out == "Error deleting object 'd/1' from bucket 'bkt': failed\n"


def test_delete_consumes_the_removal_results_to_their_end():
    # The SDK removes lazily: nothing is removed until its result is iterated.
    sent = []

    def remove_objects(bucket, objects):
        for obj in objects:
            sent.append(obj.name)
            yield from ()

    p = directory(remove_objects=remove_objects)
    p.delete()
    assert sent == ["d/x", "d/sub/y", "d"]


# -- mkdir --------------------------------------------------------------------------------


def test_mkdir_is_refused():
    p = make_path("d")
    with pytest.raises(NotImplementedError) as caught:
        p.mkdir()
    assert type(caught.value) is NotImplementedError
    assert caught.value.args == ("MinIOPath does not support the 'mkdir' method.",)
    assert p.trace == []


@pytest.mark.parametrize("args, kwargs", [((True,), {}), ((), {"parents": True}),
                                          ((), {"exist_ok": True})])
def test_mkdir_with_arguments_is_a_type_error(args, kwargs):
    with pytest.raises(TypeError):
        make_path("d").mkdir(*args, **kwargs)
