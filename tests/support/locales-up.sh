#!/bin/sh
# Prepares the runs under other code pages: makes the locales into
# LOCALE_DIR (localedef, package "locales"), and has the Wine prefix draw
# their characters in every font. A Japanese or Chinese system links its
# interface fonts (menus use Tahoma) to East Asian system fonts; those names
# are replaced by the CJK font installed from Debian's packages.
#   locales-up.sh LOCALE_DIR WINE_RUN
set -u
dir=$1
winerun=$2
mkdir -p "$dir"
for l in ja_JP zh_TW zh_CN ru_RU; do
  d="$dir/$l.UTF-8"
  [ -f "$d/LC_CTYPE" ] || localedef -c -i "$l" -f UTF-8 "$d" >/dev/null 2>&1
  [ -f "$d/LC_CTYPE" ] || { echo "cannot make the locale $l.UTF-8 (package locales)"; exit 1; }
done
fc-list | grep -q "WenQuanYi Zen Hei" || { echo "no CJK font (package fonts-wqy-zenhei)"; exit 1; }
for f in "MS UI Gothic" "MS Gothic" "PMingLiU" "MingLiU" "SimSun" "Gulim"; do
  "$winerun" reg add 'HKCU\Software\Wine\Fonts\Replacements' /v "$f" /t REG_SZ /d "WenQuanYi Zen Hei" /f \
    </dev/null >/dev/null 2>&1 || { echo "cannot set the font replacement of $f"; exit 1; }
done
echo "locales and fonts ready"
