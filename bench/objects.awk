# Sums the instructions a callgrind profile counts in each object (program
# or shared library) by its own code, calls into other objects left out, so
# that the objects' sums add up to the total. Prints "<instructions>
# <object file name>" lines.
function object(line,   id, rest) {
  id = line; sub(/^c?ob=/, "", id); rest = id
  sub(/\).*/, ")", id); sub(/^\([0-9]+\) ?/, "", rest)
  if (rest != "") names[id] = rest
  return id
}
/^ob=/ { ob = object($0); next }
/^cob=/ { object($0); next }
/^fn=/ { current = ob; next }
/^calls=/ { call = 1; next }
/^[0-9+*-]/ { if (call) { call = 0; next } self[current] += $2 }
END {
  for (id in self) { name = names[id]; sub(/.*\//, "", name); print self[id], name }
}
