-- wrk script: POST /api/scores, each request with its own id, counting the
-- answers by status. Thread t of run r (the script's argument) makes ids
-- tttttttt-rrrr-4000-8000-<counter>, so no two runs share one. A second
-- argument names the game (default "Bench"); a third spreads the scores:
-- "year" as the scale benchmark's first table (-200 to 800 in steps of 5),
-- "own" this game's (0 to 2,000 in steps of 5), "int32" over the whole
-- 32-bit range; otherwise 0 to 99,999.
-- With a fourth and fifth, every post is that score with that round record.
local threads = {}

function setup(thread)
  thread:set("tid", #threads + 1)
  table.insert(threads, thread)
end

function init(args)
  run = tonumber(args[1] or "0")
  game = args[2] or "Bench"
  spread = args[3] or "wide"
  fixed = tonumber(args[4] or "")
  round = args[5]
  counter = 0
  created = 0
  other = 0
  headers = { ["Content-Type"] = "application/json" }
end

function request()
  counter = counter + 1
  local score = (counter * 7919) % 100000
  if spread == "year" then score = ((counter * 7919) % 201) * 5 - 200 end
  if spread == "own" then score = ((counter * 7919) % 401) * 5 end
  if spread == "int32" then score = ((counter * 2654435761 + tid * 40503) % 4294967296) - 2147483648 end
  local extra = ""
  if fixed then
    score = fixed
    extra = string.format(',"round":"%s"', round)
  end
  local body = string.format(
    '{"game":"%s","score":%d,"name":"bench %d","id":"%08x-%04x-4000-8000-%012x"%s}',
    game, score, tid, tid, run, counter, extra)
  return wrk.format("POST", "/api/scores", headers, body)
end

function response(status, headers, body)
  if status == 201 then created = created + 1 else other = other + 1 end
end

function done(summary, latency, requests)
  local c, o, sent = 0, 0, 0
  for _, t in ipairs(threads) do
    c = c + t:get("created")
    o = o + t:get("other")
    sent = sent + t:get("counter")
  end
  io.write(string.format("rps %.1f\np50_ms %.3f\np99_ms %.3f\ncreated %d\nother %d\nsent %d\nsocket_errors %d\n",
    summary.requests / (summary.duration / 1e6), latency:percentile(50) / 1000, latency:percentile(99) / 1000,
    c, o, sent, summary.errors.connect + summary.errors.read + summary.errors.write + summary.errors.timeout))
end
