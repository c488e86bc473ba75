"""Calling methods of an environment while another thread keeps it busy."""

from __future__ import annotations

import threading
import time


def errors_while(worker, probes, limit=30.0, until=None):
    """Runs `worker(done)` in a thread and calls every probe repeatedly from
    this thread until each probe listed in `until` (default: every probe) has
    raised a RuntimeError at least once, the worker ended, or `limit` seconds
    passed.

    Returns ({probe index: set of RuntimeError texts}, {probe index: number of
    calls that returned normally}, [exceptions raised by the worker]).
    """
    errors = {i: set() for i in range(len(probes))}
    awaited = range(len(probes)) if until is None else until
    successes = {i: 0 for i in range(len(probes))}
    failure = []
    done = threading.Event()

    def target():
        try:
            worker(done)
        except BaseException as error:  # noqa: BLE001 - handed to the test thread
            failure.append(error)
        finally:
            done.set()

    thread = threading.Thread(target=target)
    thread.start()
    deadline = time.monotonic() + limit
    try:
        while not done.is_set() and time.monotonic() < deadline:
            for i, probe in enumerate(probes):
                try:
                    probe()
                    successes[i] += 1
                except RuntimeError as error:
                    errors[i].add(str(error))
            if all(errors[i] for i in awaited):
                break
            time.sleep(0.001)
    finally:
        done.set()
        thread.join(timeout=limit)
    assert not thread.is_alive()
    return errors, successes, failure
