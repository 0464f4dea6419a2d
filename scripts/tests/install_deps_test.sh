#!/usr/bin/env bash
# Runs scripts/install-deps.sh against fake package tools and checks that it
# installs only what is missing, never stops or kills anything, keeps a freshly
# installed mail server from starting, and leaves no policy-rc.d of its own
# behind, even when the install fails.
set -uo pipefail

script=$(cd "$(dirname "$0")/.." && pwd)/install-deps.sh
work=$(mktemp -d "${TMPDIR:-/tmp}/install-deps-test.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin"

# Every tool the script might reach for writes one line to calls.log.
for tool in systemctl pkill killall service invoke-rc.d kill; do
  printf '#!/bin/sh\necho "%s $*" >>"$FAKE_LOG"\n' "$tool" >"$work/bin/$tool"
done
cat >"$work/bin/sudo" <<'EOF'
#!/bin/sh
echo "sudo $*" >>"$FAKE_LOG"
exec "$@"
EOF
# Installed unless named in FAKE_MISSING.
cat >"$work/bin/dpkg-query" <<'EOF'
#!/bin/sh
for last; do :; done
case " $FAKE_MISSING " in *" $last "*) exit 1 ;; esac
printf 'install ok installed'
EOF
# Records what it installs and whether a policy forbade service starts then.
cat >"$work/bin/apt-get" <<'EOF'
#!/bin/sh
policy=absent
if [ -x "$NUVEX_POLICY_RC_D" ]; then
  "$NUVEX_POLICY_RC_D" dovecot start; policy="exit $?"
fi
echo "apt-get $* [policy: $policy]" >>"$FAKE_LOG"
[ "$1" = update ] && exit 0
exit "${FAKE_APT_RC:-0}"
EOF
chmod +x "$work/bin"/*

failures=0
# row NAME SET MISSING APT_RC PRE_POLICY EXPECT_RC EXPECT_GREP... ; EXPECT_GREP entries starting with '!' must not match.
row() {
  local name=$1 set=$2 missing=$3 apt_rc=$4 pre_policy=$5 expect_rc=$6
  shift 6
  local log=$work/$name.log policy=$work/$name.policy-rc.d
  : >"$log"
  if [ -n "$pre_policy" ]; then
    printf '%s\n' "$pre_policy" >"$policy"
    chmod 755 "$policy"
  fi
  local rc=0
  PATH="$work/bin:$PATH" FAKE_LOG="$log" FAKE_MISSING="$missing" FAKE_APT_RC="$apt_rc" \
    NUVEX_POLICY_RC_D="$policy" bash "$script" "$set" >/dev/null 2>"$work/$name.err" || rc=$?
  local fail=()
  [ "$rc" = "$expect_rc" ] || fail+=("exit status $rc, expected $expect_rc")
  if grep -Eq '^(sudo )?(systemctl|pkill|killall|service|invoke-rc.d|kill) ' "$log"; then
    fail+=("stopped or killed something")
  fi
  if [ -n "$pre_policy" ]; then
    [ "$(cat "$policy" 2>/dev/null)" = "$pre_policy" ] || fail+=("changed the existing policy-rc.d")
  elif [ -e "$policy" ]; then
    fail+=("left its policy-rc.d behind")
  fi
  local want
  for want in "$@"; do
    if [ "${want#!}" != "$want" ]; then
      ! grep -Eq -- "${want#!}" "$log" || fail+=("calls match '${want#!}'")
    else
      grep -Eq -- "$want" "$log" || fail+=("no call matches '$want'")
    fi
  done
  if [ ${#fail[@]} -gt 0 ]; then
    failures=$((failures + 1))
    echo "FAIL $name: ${fail[*]}"
    sed 's/^/  call: /' "$log"
    sed 's/^/  err:  /' "$work/$name.err"
  else
    echo "ok   $name"
  fi
}

#   name                    set  missing                        apt policy   rc  calls
row nothing_missing test "" 0 "" 0 '!apt-get'
row only_a_dev_tool test "libbenchmark-dev" 0 "" 0 \
  'apt-get install .* libbenchmark-dev \[policy: absent\]' '!dovecot'
row dovecot_kept_quiet test "dovecot-core dovecot-pop3d" 0 "" 0 \
  'apt-get install .*dovecot-core dovecot-pop3d \[policy: exit 101\]'
row failed_install_cleans_up test "dovecot-core" 100 "" 100 \
  'apt-get install .*dovecot-core \[policy: exit 101\]' 'apt-get update'
row existing_policy_stays test "dovecot-pop3d" 0 $'#!/bin/sh\nexit 0' 0 \
  'apt-get install .*dovecot-pop3d \[policy: exit 0\]'
row run_set_has_no_test_peers run "qt6-base-dev dovecot-core chromium clang-tidy" 0 "" 0 \
  'apt-get install .* qt6-base-dev \[policy: absent\]' '!dovecot|chromium|clang'
row run_set_has_a_cjk_font run "fonts-wqy-microhei" 0 "" 0 'apt-get install .* fonts-wqy-microhei'
row unknown_set_refused bogus "" 0 "" 2 '!apt-get'

[ "$failures" -eq 0 ]
