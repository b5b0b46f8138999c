# Throwaway PostgreSQL cluster on loopback for the tests. Source this file,
# then call pg_throwaway_start DIR; it exports
#   NORV_TEST_PG_CONNECTION  ODBC connection string of the database "norv_test"
#   NORV_TEST_PG_PSQL        psql command line for the same database
#   ODBCSYSINI               a private ODBC configuration (psqlODBC logging off)
# pg_throwaway_stop stops the cluster (call it from an EXIT trap).

PG_BIN=${PG_BIN:-/usr/lib/postgresql/15/bin}

pg_free_port() {
  python3 - <<'PY'
import socket
s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1]); s.close()
PY
}

pg_throwaway_start() {
  PG_DIR=$1
  rm -rf "$PG_DIR"
  mkdir -p "$PG_DIR/sock" "$PG_DIR/odbc"
  PG_PORT=$(pg_free_port)
  local run=()
  if [ "$(id -u)" -eq 0 ]; then
    chown -R postgres:postgres "$PG_DIR"
    chmod 755 "$PG_DIR"
    run=(runuser -u postgres --)
  fi
  "${run[@]}" "$PG_BIN/initdb" -D "$PG_DIR/data" -U postgres -A trust -E UTF8 \
    --locale=C.UTF-8 --no-sync >"$PG_DIR/initdb.log" 2>&1
  "${run[@]}" "$PG_BIN/pg_ctl" -D "$PG_DIR/data" -l "$PG_DIR/server.log" -w -t 30 \
    -o "-p $PG_PORT -k $PG_DIR/sock -c listen_addresses=127.0.0.1 -c fsync=off" start >/dev/null
  PG_RUN=("${run[@]}")
  "${run[@]}" "$PG_BIN/createdb" -h "$PG_DIR/sock" -p "$PG_PORT" -U postgres norv_test

  # Private ODBC configuration: the system one turns psqlODBC's CommLog on,
  # which would litter /tmp with log files.
  sed 's/^\(CommLog\|Debug\)[[:space:]]*=.*/\1=0/' /etc/odbcinst.ini >"$PG_DIR/odbc/odbcinst.ini"
  : >"$PG_DIR/odbc/odbc.ini"
  export ODBCSYSINI="$PG_DIR/odbc"
  export NORV_TEST_PG_CONNECTION="Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=$PG_PORT;Database=norv_test;Uid=postgres;Pwd=x;pqopt={connect_timeout=3};"
  export NORV_TEST_PG_PSQL="psql -X -q -v ON_ERROR_STOP=1 -h 127.0.0.1 -p $PG_PORT -U postgres norv_test"
  echo "pg_throwaway: PostgreSQL on 127.0.0.1:$PG_PORT"
}

pg_throwaway_stop() {
  if [ -n "${PG_DIR:-}" ] && [ -d "$PG_DIR/data" ]; then
    "${PG_RUN[@]}" "$PG_BIN/pg_ctl" -D "$PG_DIR/data" -m immediate -w stop >/dev/null 2>&1 || true
    rm -rf "$PG_DIR"
  fi
}
