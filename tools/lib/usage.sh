# usage_of SCRIPT: the comment block at the top of a script, as its help.
usage_of() {
  sed -n '2,/^[^#]/{/^#/!q;s/^# \{0,1\}//;p}' "$1"
}
