"""python launcher.py [CLIENT_DIR]: what a game launcher does with korvessa-client-services,
through korvessa-launcher-kit. It starts the service the installed wheel carries beside itself,
stores a launch ticket and takes it back (the way the game client would), registers a game for
presence (itself, from the current end of the proxy log), prints each step, and ends the
service. Status 0 when every step worked. Needs the kit installed:
pip install korvessa_launcher_kit-<version>-py3-none-<platform>.whl
"""

from __future__ import annotations

import os
import sys
from typing import List

from korvessa_launcher_kit import LoginTicket, PresenceSession, Sidecar, SidecarError, proxy_log_offset


def run(client_dir: str) -> int:
    # No service_path: the service the wheel carries. No token: a fresh one. No launcher_pid:
    # the service stays beside this process.
    with Sidecar.start(client_dir, on_diagnostic=lambda line: print(f"service says: {line}")) as sidecar:
        print(f"started the service: pid {sidecar.pid}, {sidecar.url}")
        sidecar.check_health()
        print("GET /health answered 200 OK")

        ticket = LoginTicket("ann", "!ann", "T-example", "2026-01-01T00:00:00Z", 3600)
        sidecar.put_launch_ticket(ticket)
        print(f"stored a launch ticket for {ticket.client_login}")
        taken = sidecar.take_launch_ticket()
        if taken != ticket:
            print("python-launcher: the ticket taken back is not the one stored", file=sys.stderr)
            return 1
        print(f"took the ticket back: {taken}")
        if sidecar.take_launch_ticket() is not None:
            print("python-launcher: the ticket was handed out twice", file=sys.stderr)
            return 1
        print("a second take found none")

        game = PresenceSession(os.getpid(), proxy_log_offset(client_dir))
        sidecar.put_presence_session(game)
        print(f"registered pid {game.pid} for presence, from offset {game.log_offset} of the proxy log")

        # A launcher that simply exits ends the service as well (status 0 within about 100 ms);
        # this one ends it at once.
        end = sidecar.stop()
        print(f"stopped the service ({'killed' if end.killed else f'status {end.returncode}'})")
    return 0


def main(args: List[str]) -> int:
    if len(args) > 1:
        print("usage: python launcher.py [CLIENT_DIR]", file=sys.stderr)
        return 2
    try:
        return run(args[0] if args else "")
    except SidecarError as error:
        print(f"python-launcher: {error.kind}: {error}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
