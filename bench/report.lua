-- wrk script: prints the run's raw totals on one line for run-bench.sh.
done = function(summary, latency, requests)
  local e = summary.errors
  io.write(string.format("RESULT requests=%d bytes=%d micros=%d errors=%d p99=%d\n",
    summary.requests, summary.bytes, summary.duration,
    e.connect + e.read + e.write + e.status + e.timeout, latency:percentile(99)))
end
