#!/usr/bin/env bash
# The main job on the bundled demo: installs what is needed, builds, records a baseline of the
# demo web site, tampers with it, and runs a check that reports the changes.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh release
cli="$PWD/build/release/app/cli/norv-cli"

work=$(mktemp -d /tmp/norv-demo-XXXXXX)
cp -a demo/site "$work/site"
mkdir -p "$work/program" "$work/save" "$work/cracked"
# The program folder holds the settings (15 lines, CR LF) and the rules.
printf '%s\r\n' "demo" "demo-server" " 0 " "" "" "" "" "" "" " 0 " "10" " 0 " " 0 " \
    "$work/save" "$work/cracked" > "$work/program/norvcfg.txt"
printf '<rule>%s,3</rule>\r\n' "$work/site" > "$work/program/user_rule.txt"

echo "== 設定とルール"
"$cli" --dir "$work/program" --locale ja_JP show
echo
echo "== init: 基準を記録する"
"$cli" --dir "$work/program" --locale ja_JP init
echo
echo "== 改ざん: index.html を書き換え、shell.php を置き、.htaccess を消す"
echo '<?php system($_GET["c"]); ?>' > "$work/site/shell.php"
echo '<h1>hacked</h1>' >> "$work/site/index.html"
rm "$work/site/.htaccess"
echo
echo "== check: 変更を報告する (終了コード 1 = 変更あり)"
status=0
"$cli" --dir "$work/program" --locale ja_JP check || status=$?
echo "終了コード: $status"
echo
echo "== ログ $work/program/norv.log"
tr -d '\r' < "$work/program/norv.log"
[ "$status" -eq 1 ]

echo
echo "== 自動復旧: サイトを元に戻してアーカイブを作り、自動復旧を有効にして、もう一度改ざんする"
printf '%s\r\n' "demo" "demo-server" " 0 " "" "" "" "" "" "" " 0 " "10" " 0 " " 1 " \
    "$work/save" "$work/cracked" > "$work/program/norvcfg.txt"
rm -rf "$work/site" && cp -a demo/site "$work/site"
"$cli" --dir "$work/program" --locale ja_JP init > /dev/null
"$cli" --dir "$work/program" --locale ja_JP archive
echo '<h1>defaced again</h1>' > "$work/site/index.html"
status=0
"$cli" --dir "$work/program" --locale ja_JP check || status=$?
echo "index.html は元に戻りました:"
cat "$work/site/index.html"
echo "クラックフォルダ $work/cracked:"
ls "$work/cracked"
