# reruns_of LOG: the tests of a ctest log (--repeat until-pass) that failed
# at first and passed when run again, one name a line. ctest writes a line
# "Test #N: NAME ...   STATUS" for every run of a test; a rerun's line
# follows its failure.
reruns_of() {
  awk '
    match($0, /Test +#[0-9]+: [^ ]+ /) {
      name = substr($0, RSTART, RLENGTH)
      sub(/^Test +#[0-9]+: /, "", name); sub(/ $/, "", name)
      passed = $0 ~ /[.] +Passed +[0-9.]+ sec/
      if (!passed) failed[name] = 1
      last[name] = passed
    }
    END { for (name in failed) if (last[name]) print name }
  ' "$1" | sort
}
