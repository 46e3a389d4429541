#!/bin/bash
# The boot test's checks, run inside the booted Debian root by a unit of
# their own: the operating docs' install block, then the service from its
# start to its purge. Each line of checks.log says "ok" or "FAIL"; result
# holds PASS or FAIL once all have run, and the root powers off.
# shellcheck disable=SC2317  # the helpers run through check and within
set -u
cd /root/qdx || exit 1
exec >checks.log 2>&1
PATH=/usr/sbin:/usr/bin:/sbin:/bin
export SYSTEMD_PAGER='' SYSTEMD_COLORS=0
db=/var/lib/qdx-host/history.db
failed=0

ok() { echo "ok   $*"; }
bad() { echo "FAIL $*"; failed=$((failed + 1)); }
check() {  # what, command...
  local what=$1
  shift
  if "$@"; then ok "$what"; else bad "$what"; fi
}
within() {  # seconds, command...: until the command succeeds, at most that long
  local end=$((SECONDS + $1))
  shift
  until "$@"; do
    [ "$SECONDS" -lt "$end" ] || return 1
    sleep 0.5
  done
}
prop() { systemctl show -p "$1" --value qdx-host; }
is() { [ "$(prop ActiveState)" = "$1" ]; }
seconds() {  # a time span as systemctl shows it ("5s", "1min 30s") in whole seconds
  local n=0 part
  for part in $1; do
    case $part in
      *min) n=$((n + ${part%min} * 60)) ;;
      *ms) ;;
      *s) n=$((n + ${part%s})) ;;
      *) return 1 ;;
    esac
  done
  echo "$n"
}
# Rows of the history and its highest id, read as the service's user so that
# no file of the history's log becomes root's.
history() {
  runuser -u qdx-host -- python3 -c 'import sqlite3, sys
c = sqlite3.connect(sys.argv[1], timeout=10)
print(*c.execute("SELECT COUNT(*), COALESCE(MAX(id), 0) FROM history").fetchone())' "$db"
}
rows() { history | cut -d' ' -f1; }
more_rows() { [ "$(rows)" -gt "$1" ]; }
journal() { journalctl -q -o cat -u qdx-host; }
in_journal() { journal | grep -q -- "$1"; }
no_in_journal() { ! journal | grep -q -- "$1"; }
finish() {
  echo "checks: $failed failed"
  [ "$failed" -eq 0 ] || { echo "---- journal"; journalctl -q -n 100 --no-pager; }
  if [ "$failed" -eq 0 ]; then echo PASS >result.part; else echo FAIL >result.part; fi
  mv result.part result
  systemctl poweroff --no-block
  exit 0
}

python3 receiver.py 127.0.0.1 9099 /root/qdx/webhook.log &

# The docs' block, as written, in the folder holding the packages.
(cd debs && timeout 300 bash -e ../install.sh) >install.log 2>&1
check "the install block ran" [ $? -eq 0 ]
check "the install before the site file left no failed unit" sh -c \
  'journalctl -q -o cat -u qdx-host | grep -q "skipped because of an unmet condition check"'
check "the unit is active" within 30 is active
verify=$(systemd-analyze verify /lib/systemd/system/qdx-host.service 2>&1)
check "systemd-analyze verify prints nothing${verify:+: $verify}" [ -z "$verify" ]
check "systemctl status shows the STATUS= text" within 15 sh -c \
  'systemctl status qdx-host | grep -Eq "Status: \"2 devices, [0-2] ok, newest record [0-9]+ s ago\""'

check "records are stored" within 15 more_rows 0
check "the history belongs to qdx-host" [ "$(stat -c %U "$db")" = qdx-host ]
pid=$(prop MainPID)
check "qdx-host runs as the user qdx-host" \
  [ "$(awk '/^Uid:/ {print $2}' "/proc/$pid/status")" = "$(id -u qdx-host)" ]
check "the user qdx-host is in dialout" sh -c 'id -nG qdx-host | grep -qw dialout'
nices() { sed 's/.*) //' /proc/"$pid"/task/*/stat | awk '{print "nice " $17}' | sort | uniq -c | xargs; }
# Five above the loop's own, whatever the nice value the service started at.
loop_nice=$(sed 's/.*) //' /proc/"$pid"/stat | awk '{print $17}')
workers=$((loop_nice + 5 > 19 ? 19 : loop_nice + 5))
below() { nices | grep -q "nice $workers\b"; }
within 10 below
check "the status page's threads run at nice $workers, the loop at $loop_nice (threads: $(nices))" below
example() { [ "$(stat -c '%a %U %G' /etc/qdx-host/site.json.example)" = "640 root qdx-host" ]; }
check "the example site file is 0640 root:qdx-host" example
check "/metrics answers" python3 -c 'import urllib.request
r = urllib.request.urlopen("http://127.0.0.1:8080/metrics", timeout=5)
assert r.status == 200 and b"qdx_" in r.read()'
check "the command target received started" within 20 sh -c \
  'journalctl -q -o cat -t qdx-event | grep -Eq "\"event\": ?\"started\""'
check "the webhook target received started" within 20 grep -Eq '"event": ?"started"' webhook.log
check "the journal has an alarm line" within 30 in_journal "ALARM RAISED input voltage"
check "the journal has link lines" within 30 in_journal "link lost: no record for 5 s"
for line in "record 5035: " "strToSplit:" "cData.state is" "rvSize is"; do
  check "the journal has no per-poll line \"$line\"" no_in_journal "$line"
done

kill -HUP "$pid"
sleep 2
check "SIGHUP leaves it running" [ "$(prop ActiveState):$(prop MainPID)" = "active:$pid" ]
check "SIGHUP is told" in_journal "SIGHUP received, ignored"

# A hung loop: restarted by the watchdog, records resume, nothing committed lost.
read -r before top < <(history)
limit=$(($(seconds "$(prop WatchdogUSec)") + $(seconds "$(prop TimeoutAbortUSec)") +
  $(seconds "$(prop RestartUSec)")))
started=$SECONDS
kill -STOP "$pid"
restarted() { [ "$(prop MainPID)" != "$pid" ] && [ "$(prop MainPID)" != 0 ] && is active; }
within $((limit + 15)) restarted
took=$((SECONDS - started))
check "the watchdog restarted it in ${took} s (limit ${limit} s, 2 s slack)" \
  [ "$took" -le $((limit + 2)) ]
check "the journal tells the watchdog's timeout" in_journal "Watchdog timeout"
check "records resume after the restart" within 20 more_rows "$before"
kept=$(runuser -u qdx-host -- python3 -c 'import sqlite3, sys
print(sqlite3.connect(sys.argv[1]).execute("SELECT COUNT(*) FROM history WHERE id <= ?",
      (int(sys.argv[2]),)).fetchone()[0])' "$db" "$top")
check "every committed record kept ($kept of $before)" [ "$kept" = "$before" ]

# A history locked by another program at start: activating until it clears.
systemctl stop qdx-host
runuser -u qdx-host -- python3 -c 'import sqlite3, sys, time
c = sqlite3.connect(sys.argv[1], isolation_level=None)
c.execute("BEGIN IMMEDIATE")
print("held", flush=True)
time.sleep(12)
c.execute("COMMIT")' "$db" >lock.out 2>&1 &
locker=$!
within 10 grep -q held lock.out
systemctl start --no-block qdx-host
sleep 8
check "activating while the history is locked" is activating
check "polling while the history is locked" [ "$(prop MainPID)" != 0 ]
check "the status says what it waits for" sh -c \
  'systemctl show -p StatusText --value qdx-host | grep -q "waiting for the history"'
wait "$locker"
check "active once the lock clears" within 20 is active

# Stop within its timeout, cleanly.
stop_limit=$(seconds "$(prop TimeoutStopUSec)")
started=$SECONDS
timeout $((stop_limit + 10)) systemctl stop qdx-host
took=$((SECONDS - started))
check "systemctl stop ended in ${took} s (limit ${stop_limit} s)" [ "$took" -lt "$stop_limit" ]
check "the stop was clean" [ "$(prop Result)" = success ]

# An upgrade to a rebuilt package of a higher version keeps history and site.
systemctl start qdx-host
site_before=$(stat -c '%a %U %G' /etc/qdx-host/site.json; sha256sum </etc/qdx-host/site.json)
read -r before top < <(history)
old=$(dpkg-query -W -f '${Version}' qdx-host)
(cd next && timeout 120 apt-get install -y ./qdx-host_*_amd64.deb) >upgrade.log 2>&1
new=$(dpkg-query -W -f '${Version}' qdx-host)
check "upgraded from $old to $new" dpkg --compare-versions "$new" gt "$old"
check "the site file is kept" [ "$site_before" = \
  "$(stat -c '%a %U %G' /etc/qdx-host/site.json; sha256sum </etc/qdx-host/site.json)" ]
check "active after the upgrade" within 30 is active
check "the history is kept and grows" within 20 more_rows "$before"
check "the example site file stays 0640 root:qdx-host" example

# Purge: no unit left behind (the test's own drop-in goes first).
rm -rf /etc/systemd/system/qdx-host.service.d
timeout 120 apt-get purge -y qdx-host >purge.log 2>&1
systemctl daemon-reload
check "purged" [ -z "$(dpkg-query -W -f '${Status}' qdx-host 2>/dev/null | grep installed)" ]
check "no unit file left" [ ! -e /lib/systemd/system/qdx-host.service ]
check "no enablement left" [ -z "$(find /etc/systemd/system -name 'qdx-host*')" ]
check "systemd knows no unit" [ -z "$(systemctl list-unit-files --no-legend 'qdx-host*')" ]
check "no unit loaded" [ -z "$(systemctl list-units --all --no-legend 'qdx-host*')" ]
finish
