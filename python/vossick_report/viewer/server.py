"""Runs the viewer under uvicorn on a socket bound here, so that the URL printed
is the one listened on (also for port 0) and a busy port fails before anything
is served."""

from __future__ import annotations

import socket

import uvicorn

import vossick_analysis as va

from vossick_report.viewer.app import make_app

LOOPBACK_NAMES = ("127.0.0.1", "localhost")  # the Host headers a loopback server answers


def bind(host: str, port: int) -> tuple[socket.socket, str]:
    """A listening socket and the URL it serves; OSError if the address is taken."""
    ipv6 = ":" in host
    listener = socket.create_server((host, port), family=socket.AF_INET6 if ipv6 else socket.AF_INET)
    shown = f"[{host}]" if ipv6 else host
    return listener, f"http://{shown}:{listener.getsockname()[1]}/"


def serve(explorer: va.HeapDumpExplorer, db_dir: str, host: str = "127.0.0.1", port: int = 8000,
          baseline: tuple[va.HeapDumpExplorer, str] | None = None) -> None:
    """Serves the viewer until Ctrl-C (with /diff against ``baseline``, an explorer and its directory, if
    given); prints the URL first."""
    listener, url = bind(host, port)
    hosts = LOOPBACK_NAMES if host in LOOPBACK_NAMES else ("*",)
    server = uvicorn.Server(uvicorn.Config(make_app(explorer, db_dir, hosts, baseline), log_level="warning",
                                           timeout_graceful_shutdown=3))
    print(f"serving {db_dir} read-only at {url} (Ctrl-C stops)", flush=True)
    server.run(sockets=[listener])
