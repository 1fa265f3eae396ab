#!/usr/bin/env bash
# Builds the fuzz targets and runs each for a bounded time (FUZZ_SECONDS, default 10) from a
# seed corpus made here. Fails on any crash, sanitizer finding or hang.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-10}
bash scripts/build.sh fuzz
bin=build/fuzz/fuzz
corpus=$(mktemp -d /tmp/norv-corpus-XXXXXX)
trap 'rm -rf "$corpus"' EXIT

mkdir -p "$corpus"/{rule_file,settings_file,lha_reader,log_names,mount_info,attribute_text,md5_lanes}
printf '<rule>/srv/www,3</rule>\r\n<rule>/etc/passwd,0</rule>\r\nxx<rule>C:\\a, 03 </rule>yy\n' \
    > "$corpus/rule_file/seed"
printf '%s\r\n' x server " 1 " pop smtp acc pw from to " 1 " 10 " 0 " " 1 " /s /c > "$corpus/settings_file/seed"
printf 'line\nAltered: x\xff\xe2\x80\xae' > "$corpus/log_names/seed"
printf '45 27 0:40 / /srv/up rw,nosuid shared:7 - fuse.sshfs a@h:/ rw,user_id=1000,group_id=1000\n' \
    > "$corpus/mount_info/seed"
# A v2 capability (cap_net_raw=ep) and an ACL of five entries, as the kernel keeps them.
printf '\x01\x00\x00\x02\x00\x20\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00' \
    > "$corpus/attribute_text/capability"
printf '\x02\x00\x00\x00\x01\x00\x06\x00\xff\xff\xff\xff\x02\x00\x07\x00\xfe\xff\x00\x00\x04\x00\x04\x00\xff\xff\xff\xff\x10\x00\x07\x00\xff\xff\xff\xff\x20\x00\x04\x00\xff\xff\xff\xff' \
    > "$corpus/attribute_text/acl"
# The MD5 lanes: a kernel byte (AVX-512, AVX2, portable), then a schedule that is also the
# messages' bytes.
for kernel in 0 1 2; do
    { printf "\\x0$kernel"; seq 1 1200; } > "$corpus/md5_lanes/kernel$kernel"
done
# Archives from our writer and from another one.
tree=$(mktemp -d)
mkdir -p "$tree/d/日本語" && printf 'hello hello hello hello\n' > "$tree/d/a.txt"
printf 'x' > "$tree/d/日本語/b" && ln -s a.txt "$tree/d/link"
lhasa_seed="$corpus/lha_reader/ours.lzh"
build/dev/app/cli/norv-cli --help >/dev/null 2>&1 || true
(cd "$tree/d" && jlha a "$corpus/lha_reader/jlha.lzh" a.txt >/dev/null 2>&1) || true
if [ -x build/dev/app/cli/norv-cli ]; then
    printf '%s\r\n' x s " 0 " "" "" "" "" "" "" " 0 " 10 " 0 " " 0 " "$tree" "$tree/c" > "$tree/norvcfg.txt"
    printf '<rule>%s,3</rule>\r\n' "$tree/d" > "$tree/user_rule.txt"
    build/dev/app/cli/norv-cli --dir "$tree" archive >/dev/null && cp "$tree/arcive.lzh" "$lhasa_seed"
fi
rm -rf "$tree"

for target in rule_file settings_file lha_reader log_names mount_info attribute_text; do
    echo "== fuzz_$target ($seconds s)"
    "$bin/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=0 "$corpus/$target" 2>&1 | tail -n 2
done
echo "fuzzing: no crash, no sanitizer finding, no hang"
