-- wrk script: GET of one game's top 10, counting answers that are not 200.
local threads = {}

function setup(thread)
  table.insert(threads, thread)
end

function init(args)
  bad = 0
end

function response(status, headers, body)
  if status ~= 200 then bad = bad + 1 end
end

function done(summary, latency, requests)
  local b = 0
  for _, t in ipairs(threads) do b = b + t:get("bad") end
  io.write(string.format("rps %.1f\np50_ms %.3f\np99_ms %.3f\nnot_200 %d\nsocket_errors %d\n",
    summary.requests / (summary.duration / 1e6), latency:percentile(50) / 1000, latency:percentile(99) / 1000,
    b, summary.errors.connect + summary.errors.read + summary.errors.write + summary.errors.timeout))
end
