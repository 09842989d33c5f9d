"""north-run through a relay adding latency each way, next to loopback."""

import e2e_data as data
from e2e_bench import BLOCK, fmt, run, step, verdict
from e2e_relay import LatencyRelay


def measure(bench):
    n = min(bench.o.relay_readings, bench.o.readings)
    subset = bench.path("relay.jsonl")
    with open(bench.readings) as src:
        data.write_lines(subset, [next(src) for _ in range(n)])
    step("loopback run of %s readings for the latency comparison" % fmt(n))
    bench.server.fresh_db("bench_lo")
    loop = run(bench.north("bench_lo", "--block-size", str(BLOCK), readings=subset), bench.work, "lo", check=True)
    with LatencyRelay(bench.server.port, 0) as relay:
        bench.server.fresh_db("bench_lo0")
        run(bench.north("bench_lo0", "--block-size", str(BLOCK), port=relay.port, readings=subset), bench.work,
            "lo0", check=True)
        loop_trips = relay.round_trips
    blocks = loop.summary()["blocks"]
    bench.say("### Through a latency relay, %s readings in %d blocks of %d" % (fmt(n), blocks, BLOCK), "",
              "Round trips are counted at the relay (bytes from north-run after the server answered), "
              "connection and table creation included.", "",
              "| link | seconds | readings/s | round trips | per block | target: <= 1.4 x (loopback + blocks "
              "x round trip) | |", "|---|---|---|---|---|---|---|",
              "| loopback | %.3f | %s | %d | %.1f | | |" % (loop.seconds, fmt(n / loop.seconds), loop_trips,
                                                            loop_trips / blocks))
    for delay_ms in (10, 25):
        step("north-run through a relay adding %d ms each way" % delay_ms)
        db = "bench_relay%d" % delay_ms
        bench.server.fresh_db(db)
        with LatencyRelay(bench.server.port, delay_ms / 1000.0) as relay:
            res = run(bench.north(db, "--block-size", str(BLOCK), port=relay.port, readings=subset), bench.work,
                      db, check=True)
            trips = relay.round_trips
        target = 1.4 * (loop.seconds + blocks * 2 * delay_ms / 1000.0)
        bench.say("| +%d ms each way | %.3f | %s | %d | %.1f | %.3f s | %s |" % (
            delay_ms, res.seconds, fmt(n / res.seconds), trips, trips / blocks, target,
            verdict(res.seconds <= target)))
    bench.say("")
