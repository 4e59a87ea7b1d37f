#!/usr/bin/env bash
# By hand, as root, on a machine with udisks2 installed and no desktop session: starts a system
# bus, udevd, polkitd and udisksd if they are not running, puts IMAGE on a read-only loop device and
# has an unprivileged user ("tester", made if missing) scan it, first without and then with a
# polkit rule that allows that user udisks2's actions. The allowed scan must list what a scan of
# the image itself lists. The rule and the loop device are removed again.
#
#   bash scripts/udisks_by_hand.sh IMAGE [REXMOOR]
set -euo pipefail
image=$(realpath "$1")
rexmoor=$(realpath "${2:-build/rexmoor}")
rule=/etc/polkit-1/rules.d/49-rexmoor-by-hand.rules
work=$(mktemp -d)
chmod 755 "$work"
id tester >/dev/null 2>&1 || useradd -m tester
install -d -o tester "$work/data"

mkdir -p /run/dbus
pgrep -x dbus-daemon >/dev/null || dbus-daemon --system --fork
pgrep -f systemd-udevd >/dev/null || /lib/systemd/systemd-udevd --daemon
pgrep -f polkit-1/polkitd >/dev/null || (/usr/lib/polkit-1/polkitd --no-debug >"$work/polkitd.log" 2>&1 &)
pgrep -f udisks2/udisksd >/dev/null || (/usr/libexec/udisks2/udisksd --no-debug >"$work/udisksd.log" 2>&1 &)
loop=$(losetup -f --show -r "$image")
trap 'rm -f "$rule"; losetup -d "$loop"' EXIT
udevadm trigger --action=add "$loop" 2>/dev/null || true
sleep 3
ls -l "$loop"

as_tester() { runuser -u tester -- "$rexmoor" scan "$loop" --quick --data-dir "$work/data" --format json; }

echo "== $loop as tester, no rule:"
rm -f "$rule"
sleep 1
as_tester >/dev/null 2>"$work/refused.err" || true
tail -1 "$work/refused.err"

echo "== $loop as tester, polkit allows it:"
cat >"$rule" <<'RULE'
polkit.addRule(function(action, subject) {
  if (action.id.indexOf("org.freedesktop.udisks2.") == 0 && subject.user == "tester") return polkit.Result.YES;
});
RULE
sleep 2
as_tester >"$work/loop.json" 2>/dev/null
"$rexmoor" scan "$image" --quick --data-dir "$work/root" --format json >"$work/image.json" 2>/dev/null
echo "$(($(wc -l <"$work/loop.json") - 1)) files listed through udisks2, $(($(wc -l <"$work/image.json") - 1)) from the image"
# Every field but the source named.
same() { sed 's/,"source":"[^"]*"//' "$1"; }
if diff <(same "$work/loop.json") <(same "$work/image.json"); then echo "the same listing"; else
  exit 1
fi
