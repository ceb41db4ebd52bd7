# Reads a stand-in journal and prints, for each successful firmware download,
# the name of the device it went to (the journal names devices when they are
# enumerated and handles when they are opened), then one line
# "sessions <ok|overlapping> <count>": overlapping when a library session
# began before the previous one ended.
match($0, /^KoEnumerateInfo\(index=[0-9]+\) = 0 \[name="[^"]*"/) {
  split(substr($0, RSTART, RLENGTH), f, /[=)"]/); name[f[2]] = f[6]
}
match($0, /^KoOpen\(index=[0-9]+, handle_in=-1\) = 0 \[handle=[0-9]+/) {
  split(substr($0, RSTART, RLENGTH), f, /[=,\]\[]/); device[f[length(f)]] = name[f[2]]
}
/^KoInt0\(handle=[0-9]+,.*\) = 0$/ { split($0, f, /[=,]/); print device[f[2]] }
/^KoInitEx\(/ { if (open) overlapped = 1; open = 1; sessions++ }
/^KoDeInit\(/ { open = 0 }
END { print "sessions " (overlapped ? "overlapping" : "ok") " " sessions + 0 }
