"""In-process stand-ins for the SDK client, shared by the unit tests."""

from __future__ import annotations

from typing import Any, Callable


class RecordingClient:
    """A client whose every method call is recorded as (name, args, kwargs).

    ``replies`` maps a method name to the value it returns, an exception instance it
    raises, or a callable that computes the reply from the call's arguments.
    """

    def __init__(self, **replies: Any) -> None:
        self.calls: list[tuple[str, tuple[Any, ...], dict[str, Any]]] = []
        self.replies = replies

    def __getattr__(self, name: str) -> Callable[..., Any]:
        if name.startswith("__"):
            raise AttributeError(name)

        def method(*args: Any, **kwargs: Any) -> Any:
            self.calls.append((name, args, kwargs))
            reply = self.replies.get(name)
            if isinstance(reply, BaseException):
                raise reply
            return reply(*args, **kwargs) if callable(reply) else reply

        return method

    def names(self) -> list[str]:
        return [call[0] for call in self.calls]
