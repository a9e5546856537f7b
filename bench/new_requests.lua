-- wrk script: every request is a new one with its own p2, as real users'
-- requests are. (Identical requests would write identical lock contents, and
-- the lock protocol cannot tell such requests apart, so they would overlap
-- where different ones queue.) Prints the totals like report.lua.
local threads = {}
local next_thread = 0

setup = function(thread)
  next_thread = next_thread + 1
  thread:set("thread_id", next_thread)
  table.insert(threads, thread)
end

local counter = 0
request = function()
  counter = counter + 1
  return wrk.format("GET", wrk.path .. "&P2=" .. thread_id .. "-" .. counter)
end

done = function(summary, latency, requests)
  local e = summary.errors
  io.write(string.format("RESULT requests=%d bytes=%d micros=%d errors=%d p99=%d\n",
    summary.requests, summary.bytes, summary.duration,
    e.connect + e.read + e.write + e.status + e.timeout, latency:percentile(99)))
end
