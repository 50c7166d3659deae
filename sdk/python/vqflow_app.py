"""Helper for vqflow app plug-ins written in Python (standard library only).

Write each action as a plain function (or an ``async def``) taking its
arguments by name, and hand them to ``main`` from ``main/run``::

    #!/usr/bin/env python3
    from vqflow_app import main

    def upper(text):
        return {"status": 0, "result": text.upper()}

    main({"upper": upper})

The same file serves both modes of the plug-in contract (docs/apps.md):

* one-shot: ``main/run <action>`` with the arguments as a JSON object on
  stdin; the result is written to stdout as one JSON object. Exit status 2
  with the message as the last line on stderr when the call fails with a
  TypeError or ArgumentError (wrong arguments or argument types), 1 for any
  other failure.
* persistent (``"mode": "persistent"`` in app.json): ``main/run --serve``
  reads requests ``{"id", "action", "args"}`` as JSON lines on stdin and
  answers ``{"id", "result"}`` or ``{"id", "error": {"kind", "message"}}``
  lines on stdout, running several calls at once on threads. It ends when
  stdin closes.

While an action runs, ``print`` goes to stderr: stdout carries results only.

``idempotency_key()`` answers the key of the call being served ("" when it
has none): the same key again means the run repeats the call after an
interruption, so an action with side effects can tell a repeat from a new
call. One-shot calls get it as ``VQFLOW_IDEMPOTENCY_KEY``, persistent ones
as the request member ``"key"``.
"""

import asyncio
import inspect
import json
import os
import sys
import threading
import traceback
from concurrent.futures import ThreadPoolExecutor

SERVE_FLAG = "--serve"
EXIT_ARGUMENT_ERROR = 2
EXIT_OTHER_ERROR = 1
MAX_CONCURRENT_CALLS = 16
KEY_VARIABLE = "VQFLOW_IDEMPOTENCY_KEY"

_served = threading.local()


class ArgumentError(Exception):
    """Raise it from an action to refuse the values it was given."""


def idempotency_key():
    """The idempotency key of the call this thread serves, or ""."""
    key = getattr(_served, "key", None)
    return os.environ.get(KEY_VARIABLE, "") if key is None else key


def _message(error):
    text = str(error)
    return f"{type(error).__name__}: {text}" if text else type(error).__name__


async def _await(awaitable):
    return await awaitable


def _call(function, args):
    result = function(**args)
    if inspect.isawaitable(result):
        result = asyncio.run(_await(result))
    return result


def _is_argument_error(error):
    return isinstance(error, (TypeError, ArgumentError))


def _run_once(actions, argv):
    if len(argv) < 2:
        print(f"usage: {argv[0] if argv else 'run'} <action> < arguments.json"
              f"  |  {SERVE_FLAG}", file=sys.stderr)
        return EXIT_ARGUMENT_ERROR
    name = argv[1]
    function = actions.get(name)
    if function is None:
        print(f"ArgumentError: no action {name!r}", file=sys.stderr)
        return EXIT_ARGUMENT_ERROR
    try:
        text = sys.stdin.read()
        args = json.loads(text) if text.strip() else {}
    except ValueError as error:
        print(f"ArgumentError: the arguments are not JSON: {error}", file=sys.stderr)
        return EXIT_ARGUMENT_ERROR
    if not isinstance(args, dict):
        print("ArgumentError: the arguments are not a JSON object", file=sys.stderr)
        return EXIT_ARGUMENT_ERROR

    out = sys.stdout
    sys.stdout = sys.stderr
    try:
        result = _call(function, args)
    except Exception as error:  # noqa: BLE001 - every failure is reported
        traceback.print_exc()
        print(_message(error), file=sys.stderr)
        return EXIT_ARGUMENT_ERROR if _is_argument_error(error) else EXIT_OTHER_ERROR
    try:
        line = json.dumps(result, ensure_ascii=False)
    except (TypeError, ValueError) as error:
        print(f"ValueError: the result is not JSON: {error}", file=sys.stderr)
        return EXIT_OTHER_ERROR
    out.write(line + "\n")
    out.flush()
    return 0


def _serve(actions):
    out = sys.stdout
    sys.stdout = sys.stderr
    lock = threading.Lock()

    def send(answer):
        line = json.dumps(answer, ensure_ascii=False)
        with lock:
            out.write(line + "\n")
            out.flush()

    def fail(request_id, kind, message):
        send({"id": request_id, "error": {"kind": kind, "message": message}})

    def handle(request):
        request_id = request.get("id")
        name = request.get("action")
        args = request.get("args") or {}
        function = actions.get(name)
        if function is None:
            return fail(request_id, "argument", f"ArgumentError: no action {name!r}")
        if not isinstance(args, dict):
            return fail(request_id, "argument", "ArgumentError: the arguments are not a JSON object")
        key = request.get("key")
        _served.key = key if isinstance(key, str) else ""
        try:
            result = _call(function, args)
        except BaseException as error:  # noqa: BLE001 - even sys.exit() must be answered
            traceback.print_exc()
            kind = "argument" if _is_argument_error(error) else "other"
            return fail(request_id, kind, _message(error))
        try:
            send({"id": request_id, "result": result})
        except (TypeError, ValueError) as error:
            fail(request_id, "other", f"ValueError: the result is not JSON: {error}")

    def guarded(request):
        try:
            handle(request)
        except Exception:  # noqa: BLE001 - a worker thread must never die silently
            traceback.print_exc()

    with ThreadPoolExecutor(max_workers=MAX_CONCURRENT_CALLS) as pool:
        for line in sys.stdin:
            if not line.strip():
                continue
            try:
                request = json.loads(line)
            except ValueError as error:
                print(f"vqflow_app: ignoring a request that is not JSON: {error}", file=sys.stderr)
                continue
            if isinstance(request, dict):
                pool.submit(guarded, request)
    return 0


def main(actions, argv=None):
    """Runs the action named on the command line, or serves requests with --serve."""
    argv = sys.argv if argv is None else argv
    if len(argv) > 1 and argv[1] == SERVE_FLAG:
        sys.exit(_serve(actions))
    sys.exit(_run_once(actions, argv))
