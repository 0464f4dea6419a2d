# Reads dovecot's log as the tests' harness writes it
# ("YYYY-MM-DD HH:MM:SS pop3-login: Info: Login: user=<userN>, ...") and prints,
# for every login from the second `from` (seconds since the epoch) on,
# "first USER" for an account's first check and "gap SECONDS" for each later one.
# The date is part of the time: a soak that runs past midnight stays in order.
function epoch(date, time, d, t) {
  split(date, d, "-")
  split(time, t, ":")
  return mktime(d[1] " " d[2] " " d[3] " " t[1] " " t[2] " " t[3])
}
/pop3-login: Info: Login: user=</ {
  s = epoch($1, $2)
  if (s < 0 || s < from) next
  match($0, /user=<[^>]*>/)
  u = substr($0, RSTART + 6, RLENGTH - 7)
  if (u in last) print "gap", s - last[u]
  else print "first", u
  last[u] = s
}
