"""The Python client's throughput against morvik: the mix of commands 6 and 10 through one child,
one request per call and pipelined; then pools of 1, 2 and 4 children on command 1 with winsim's
logon delay. Run by bench/clients beside bench/throughput and the Java client; it times, and
checks every reply, but judges nothing.

    python3 bench/client_throughput.py MORVIK MACHINE N POOL_REQUESTS DELAY_MACHINE
"""

from __future__ import annotations

import sys
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "clients" / "python" / "src"))

from morvik import Client, Pool  # noqa: E402

BATCH = 256


def report(name: str, requests: int, seconds: float) -> None:
    print(f"{name:<22} {requests:8d} requests {seconds:9.3f} s {requests / seconds:11.0f} req/s", flush=True)


def main() -> None:
    morvik, machine, n, pool_requests, slow_machine = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), sys.argv[5]
    mix = [(6, {"filepath": "C:\\"}), (10, {"filepath": "C:\\"})]
    with Client([morvik], {"WINSIM_MACHINE": machine}) as c:
        for i in range(n // 10):
            c.request(*mix[i % 2])
        start = time.perf_counter()
        for i in range(n):
            if c.request(*mix[i % 2]).result != (1 if i % 2 == 0 else 0):
                raise AssertionError(f"reply {i}")
        report("python one-per-call", n, time.perf_counter() - start)

        batch = [mix[i % 2] for i in range(BATCH)]
        start = time.perf_counter()
        done = 0
        while done < n:
            if len(c.pipeline(batch)) != BATCH:
                raise AssertionError("batch")
            done += BATCH
        report("python pipelined", done, time.perf_counter() - start)

    for size in (1, 2, 4):
        with Pool([morvik], {"WINSIM_MACHINE": slow_machine}, size=size) as pool:
            pool.validate("alice", "Secret1!", "CORP")
            left = [pool_requests]
            lock = threading.Lock()

            def work() -> None:
                while True:
                    with lock:
                        if left[0] <= 0:
                            return
                        left[0] -= 1
                    pool.validate("alice", "Secret1!", "CORP")

            threads = [threading.Thread(target=work) for _ in range(8)]
            start = time.perf_counter()
            for t in threads:
                t.start()
            for t in threads:
                t.join()
            report(f"python pool of {size}", pool_requests, time.perf_counter() - start)


if __name__ == "__main__":
    main()
