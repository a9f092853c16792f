#!/usr/bin/env python3
"""A centre's database under its stations: N simulated readers and N `omrctl exam read` store into one exam
of one PostgreSQL database (scripts/pg-test-server, fsync on) at once, each sheet in its own committed
transaction. For each run: every sheet stored once (checked as the test does), the store time a sheet as the
stations report it (`store_ms`: the transaction with its commit; median, p95 against the target of 10 ms,
largest), sheets an hour the run kept, and what a sheet costs the server: database size and WAL written a
sheet (what backups and a WAL archive hold).

Usage: stations.py OMRCTL OMRSIM [--stations 1,16] [--sheets 100] [--feed-delay MS]
                   [--route tls|tcp|pgbouncer]... [--server-options "-c fsync=on"]
Routes: tls (TCP with sslmode=verify-full; the default), tcp (plain), pgbouncer (through a PgBouncer in
transaction mode with 4 server connections).
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
from pathlib import Path

SOURCE = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(SOURCE / "tests" / "exam"))

TARGET_MS = 10.0


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("omrctl")
    parser.add_argument("omrsim")
    parser.add_argument("--stations", default="1,16", help="station counts, one run each")
    parser.add_argument("--sheets", type=int, default=100, help="sheets a station")
    parser.add_argument("--feed-delay", type=int, default=0, help="ms a read takes (0: as fast as it goes)")
    parser.add_argument("--route", action="append", choices=["tls", "tcp", "pgbouncer"])
    parser.add_argument("--server-options", default="-c fsync=on",
                        help="the server's settings (pg-test-server's OMR_PG_OPTIONS)")
    args = parser.parse_args()
    # Absolute: the stations run in folders of their own.
    os.environ["OMRCTL"], os.environ["OMRSIM"] = os.path.abspath(args.omrctl), os.path.abspath(args.omrsim)
    from centre_support import Centre, exam_file, every_sheet_once, percentile, read_at_once

    failed = False
    for route in args.route or ["tls"]:
        centre = Centre.start(tls=route == "tls", options=args.server_options)
        try:
            if route == "pgbouncer":
                centre.pooler(size=4)
            for count in [int(n) for n in args.stations.split(",")]:
                db = f"bench{count}"
                centre.database(db)
                uri = centre.pooled(db) if route == "pgbouncer" else centre.uri(db)
                work = Path(tempfile.mkdtemp(prefix="omr-stations-bench-"))
                made = centre.omrctl("exam", "new", uri, "--exam", str(exam_file(work)), "--name", "bench")
                if made.returncode != 0:
                    print(made.stderr, file=sys.stderr)
                    return 1
                wal = lambda: int(centre.cluster.psql(  # noqa: E731
                    "omr", "SELECT pg_current_wal_lsn() - '0/0'::pg_lsn")[0][0])
                before = wal()
                names = [f"desk{n:02d}" for n in range(1, count + 1)]
                sim = ("--feed-delay", str(args.feed_delay)) if args.feed_delay else ()
                run = read_at_once(centre, work, uri, names, args.sheets, seed=count, sim_options=sim,
                                   timeout=3600)
                written = wal() - before
                wrong = every_sheet_once(centre, db, "bench", run)
                size = int(centre.cluster.psql(db, "SELECT pg_database_size(current_database())")[0][0])
                empty = int(centre.cluster.psql("omr", "SELECT pg_database_size('template1')")[0][0])
                times = run.store_ms()
                n = len(times)
                p95 = percentile(times, 95)
                verdict = "met" if p95 is not None and p95 < TARGET_MS else "missed"
                print(f"{route:9} {count:2} stations x {args.sheets} sheets (feed delay {args.feed_delay} ms): "
                      f"{n} stored in {run.seconds:.1f} s, {n / run.seconds * 3600:,.0f} sheets/h; store a sheet "
                      f"median {percentile(times, 50):.2f} ms, p95 {p95:.2f} ms (target < {TARGET_MS:g} ms: "
                      f"{verdict}), max {max(times):.2f} ms; database {(size - empty) / n / 1024:.1f} KiB a "
                      f"sheet, WAL {written / n / 1024:.1f} KiB a sheet")
                if wrong:
                    failed = True
                    print("  NOT every sheet once:\n  " + "\n  ".join(wrong))
        finally:
            centre.stop()
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
