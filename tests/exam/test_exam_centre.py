"""A centre's database: many stations at once, through a pooler, over TLS.

Sixteen simulated readers and sixteen `omrctl exam read` store into one exam at once: every sheet is there
once, numbered without a gap exam-wide and per station, with the simulator's result. Stations read through a
PgBouncer in transaction pooling mode with fewer server connections than stations, so consecutive
transactions of one station run on different server connections (the store's statements are unnamed, so
nothing of them stays on a server connection). A station reads over TLS verified against
the server's self-signed certificate; one that would read unencrypted, or that cannot verify the server, is
refused before it reads a sheet.

The cluster is this module's own (scripts/pg-test-server --tls: TCP only over TLS). Expected values are the
lines the test drew and the simulator's predictions. The store times a sheet are printed, not asserted: the
figures are bench/stations.py's. Needs OMRCTL, OMRSIM (CTest sets them), psql, openssl and pgbouncer.
"""

from __future__ import annotations

import json
import os
import subprocess
import threading
import time
from pathlib import Path
from typing import Iterator

import pytest

from centre_support import (OMRCTL, OMRSIM, Centre, Missing, exam_file, every_sheet_once, percentile,
                            read_at_once)

STATIONS = [f"desk{n:02d}" for n in range(1, 17)]


@pytest.fixture(scope="module")
def centre() -> Iterator[Centre]:
    for program in (OMRCTL, OMRSIM):
        if not os.access(program, os.X_OK):
            pytest.skip(f"{program} is not built")
    try:
        c = Centre.start(tls=True)
    except Missing as e:
        pytest.fail(str(e))
    try:
        yield c
    finally:
        c.stop()


def new_exam(centre: Centre, uri: str, work: Path, name: str) -> None:
    done = centre.omrctl("exam", "new", uri, "--exam", str(exam_file(work)), "--name", name)
    assert done.returncode == 0, done.stdout + done.stderr


def test_sixteen_stations_store_every_sheet_once(centre: Centre, tmp_path: Path) -> None:
    centre.database("sixteen")
    uri = centre.uri("sixteen")
    new_exam(centre, uri, tmp_path, "final")
    run = read_at_once(centre, tmp_path, uri, STATIONS, sheets=5, seed=16,
                       timeout=150)
    assert every_sheet_once(centre, "sixteen", "final", run) == []
    batches = centre.cluster.psql("sixteen", "SELECT station, sheets FROM batches ORDER BY station")
    assert batches == [[name, "5"] for name in STATIONS]
    times = run.store_ms()
    print(f"16 stations, {len(times)} sheets in {run.seconds:.1f} s; store time a sheet: median "
          f"{percentile(times, 50):.1f} ms, p95 {percentile(times, 95):.1f} ms, max {max(times):.1f} ms")


def test_stations_read_through_pgbouncer_in_transaction_mode(centre: Centre, tmp_path: Path) -> None:
    try:
        centre.pooler_uri or centre.pooler(size=2)
    except Missing as e:
        pytest.skip(f"{e}: the pooled reading is not tested here")
    centre.database("pooled")
    uri = centre.pooled("pooled")
    # The exam is made, read into and shown through the pooler alone.
    new_exam(centre, uri, tmp_path, "pooled")
    names = ["north", "south", "east", "west"]
    servers = []
    run = None

    def server_connections() -> int:
        # The pooler reaches the server by its socket; this test's psql by TCP.
        return int(centre.cluster.psql("omr", "SELECT COUNT(*) FROM pg_stat_activity WHERE datname = 'pooled' "
                                              "AND backend_type = 'client backend' AND client_port = -1")[0][0])

    done = threading.Event()

    def watch() -> None:
        while not done.is_set():
            servers.append(server_connections())
            time.sleep(0.05)

    watcher = threading.Thread(target=watch)
    watcher.start()
    try:
        run = read_at_once(centre, tmp_path, uri, names, sheets=8, seed=6, timeout=120)
    finally:
        done.set()
        watcher.join(timeout=30)
    assert every_sheet_once(centre, "pooled", "pooled", run) == []
    # Four stations on two server connections: the pooler shared them.
    assert max(servers) <= 2 and max(servers) >= 1, servers
    status = centre.omrctl("exam", "status", uri, "--json")
    assert status.returncode == 0, status.stderr
    shown = json.loads(status.stdout)
    assert shown["sheets"] == 32
    assert {c["station"]: c["sheets"] for c in shown["stations"]} == {name: 8 for name in names}


def stranger_certificate(where: Path) -> Path:
    """A self-signed certificate of another server: what a station sees when something else answers."""
    key, cert = where / "stranger.key", where / "stranger.crt"
    made = subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                           "-nodes", "-days", "1", "-subj", "/CN=stranger", "-addext",
                           "subjectAltName=IP:127.0.0.1", "-keyout", str(key), "-out", str(cert)],
                          capture_output=True, text=True, timeout=60)
    assert made.returncode == 0, made.stderr
    return cert


@pytest.mark.parametrize("case", ["verify-full", "require", "disable", "stranger"])
def test_a_station_reads_over_tls(centre: Centre, tmp_path: Path, case: str) -> None:
    db = f"tls_{case.replace('-', '_')}"
    centre.database(db)
    new_exam(centre, centre.uri(db), tmp_path, "tls")
    query = {"verify-full": "",
             "require": "sslmode=require",
             "disable": "sslmode=disable",
             "stranger": f"sslmode=verify-full&sslrootcert={stranger_certificate(tmp_path)}"}[case]
    run = read_at_once(centre, tmp_path, centre.uri(db, query), ["desk"], sheets=4, seed=len(case), timeout=90)
    code, lines, err = run.exits["desk"]
    if case in ("verify-full", "require"):
        assert every_sheet_once(centre, db, "tls", run) == []
        return
    # Refused before a sheet is fed: nothing stored, the reason said.
    assert code != 0
    assert run.sheets("desk") == []
    assert centre.cluster.psql(db, "SELECT COUNT(*) FROM sheets") == [["0"]]
    said = err + " ".join(str(line) for line in lines)
    if case == "disable":
        assert "no encryption" in said, said
    else:
        assert "certificate verify failed" in said, said
