#!/usr/bin/python3
"""The station's board in a real browser: headless Chromium, driven by chromedriver, against the
built rq70-flash station with three slots of simulated units.

    browser_board.py RQ70_FLASH RQ70_DEVSIM UPDATE_FILE SHOTS_DIR

Tiles appear in port order; a unit's tile goes waiting -> updating -> succeeded no later than
250 ms after the station's own event; a faulty unit's tile shows the word that failed; a unit
whose identification is markup shows those characters and runs nothing; the page comes back by
itself after the station restarts; the CSV download has one row per record line. Screenshots of
the board at 1920x1080 and 390x844 go to SHOTS_DIR."""

import csv
import io
import json
import os
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By

FLASH, DEVSIM, UPDATE_FILE, SHOTS = sys.argv[1:5]
MARKUP = '<img src=x onerror="window.__pwned=1">'
failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAIL: " + what, flush=True)
    return condition


def wait_until(condition, seconds, what):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.05)
    check(False, "timed out: " + what)
    return None


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Station:
    """An rq70-flash station with --json; every event is kept with the time it was read."""

    def __init__(self, ports, record, http):
        self.events = []
        self.process = subprocess.Popen(
            [FLASH, "station", UPDATE_FILE, "--record", record, "--json", "--http", http]
            + [arg for port in ports for arg in ("--port", port)],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for line in self.process.stdout:
            try:
                self.events.append((time.time() * 1000, json.loads(line)))
            except ValueError:
                pass

    def first(self, kind, slot=None, after=0):
        for at, event in list(self.events):
            if at >= after and event.get("event") == kind and (slot is None or event.get("slot") == slot):
                return at, event
        return None

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        return self.process.wait(30)


def unit(port_dir, com, *options):
    """A simulated unit in cradle COMn; it stays there after its update, so its tile keeps the verdict."""
    return subprocess.Popen([DEVSIM, "--port-dir", port_dir, "--port", com]
                            + list(options), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def tile_states(driver):
    return driver.execute_script(
        "return Array.from(document.querySelectorAll('[data-slot]'))"
        ".map(t => [t.dataset.slot, t.dataset.state]);")


def main():
    work = tempfile.mkdtemp(prefix="rq70-board-")
    record = os.path.join(work, "updates.jsonl")
    port_dir = os.path.join(work, "ports")
    os.mkdir(port_dir)
    ports = [os.path.join(port_dir, "COM%d" % n) for n in (1, 2, 3)]
    http = "127.0.0.1:%d" % free_port()
    url = "http://%s/" % http
    station = Station(ports, record, http)
    wait_until(lambda: station.first("shift"), 20, "the station's shift event")

    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1920,1080"):
        options.add_argument(argument)
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    units = []
    try:
        driver.get(url)
        states = wait_until(lambda: len(tile_states(driver)) == 3 and tile_states(driver), 20, "three tiles")
        check(states and [s[0] for s in states] == ["1", "2", "3"], "tiles in port order: %s" % states)
        check(states and all(s[1] == "no_port" for s in states), "every cradle empty at first: %s" % states)
        # Every change of a tile's state, with the browser's clock (the same machine's).
        driver.execute_script("""
            window.__changes = [];
            new MutationObserver(records => records.forEach(r => {
                const tile = r.target.closest && r.target.closest('[data-slot]');
                if (tile) window.__changes.push([Date.now(), tile.dataset.slot, tile.dataset.state]);
            })).observe(document.body, {subtree: true, childList: true, attributes: true,
                                        attributeFilter: ['data-state']});""")

        # Slot 1: a unit that lets the station wait a while, then is updated.
        units.append(unit(port_dir, "COM1", "--ignore-probes", "8"))
        # Slot 2: a unit whose echo of word 300 is wrong: the update fails there.
        units.append(unit(port_dir, "COM2", "--corrupt-echo", "300"))
        # Slot 3: markup for an identification.
        units.append(unit(port_dir, "COM3", "--id", MARKUP))
        for slot in (1, 2, 3):
            wait_until(lambda: station.first("verdict", slot), 60, "slot %d's verdict" % slot)
        wait_until(lambda: [s[1] for s in tile_states(driver)] == ["succeeded", "failed", "succeeded"],
                   5, "tiles succeeded, failed, succeeded")

        changes = driver.execute_script("return window.__changes;")
        slot1 = [state for _, slot, state in changes if slot == "1"]
        order = [s for i, s in enumerate(slot1) if i == 0 or slot1[i - 1] != s]
        check(order[-3:] == ["waiting", "updating", "succeeded"], "slot 1 went %s" % order)
        for kind, state in (("waiting", "waiting"), ("start", "updating"), ("verdict", "succeeded")):
            event = station.first(kind, 1)
            shown = [at for at, slot, s in changes if slot == "1" and s == state]
            if check(event and shown, "slot 1 %s seen in the events and on the page" % state):
                behind = shown[0] - event[0]
                print("slot 1 %-9s on the page %+.0f ms after the station's event" % (state, behind))
                check(behind <= 250, "slot 1 %s shown %.0f ms after the event" % (state, behind))

        tile2 = driver.find_element(By.CSS_SELECTOR, '[data-slot="2"]').text
        check("FAILED" in tile2.upper() and "300" in tile2, "the failed tile names word 300: %r" % tile2)
        tile3 = driver.find_element(By.CSS_SELECTOR, '[data-slot="3"]')
        check(MARKUP in tile3.text, "the markup identification shows as text: %r" % tile3.text)
        check(not driver.find_elements(By.CSS_SELECTOR, "img[src=x]"), "no element made of the markup")
        check(driver.execute_script("return window.__pwned === undefined;"), "no script of the markup ran")

        os.makedirs(SHOTS, exist_ok=True)
        driver.save_screenshot(os.path.join(SHOTS, "board-1920x1080.png"))
        driver.set_window_size(390, 844)
        time.sleep(0.5)  # the layout settles; only the picture waits for it
        driver.save_screenshot(os.path.join(SHOTS, "board-390x844.png"))
        driver.set_window_size(1920, 1080)

        # The CSV has one row per record line, parsed as a spreadsheet would.
        with urllib.request.urlopen(url + "records.csv", timeout=10) as answer:
            rows = list(csv.reader(io.StringIO(answer.read().decode("utf-8"), newline="")))
        with open(record, encoding="utf-8") as lines:
            recorded = [line for line in lines if line.strip()]
        check(len(rows) == len(recorded) + 1, "CSV rows %d for %d record lines" % (len(rows) - 1, len(recorded)))
        check(any(MARKUP in cell for row in rows for cell in row), "the markup identification in the CSV")

        # The station restarts: the page says so, then comes back by itself.
        check(station.stop() == 1, "the shift ends with exit status 1 (one unit failed)")
        wait_until(lambda: "not reachable" in driver.find_element(By.TAG_NAME, "body").text.lower(), 15,
                   "the page says the station is not reachable")
        station = Station(ports, record, http)
        wait_until(lambda: station.first("shift"), 20, "the restarted station's shift event")
        wait_until(lambda: "not reachable" not in driver.find_element(By.TAG_NAME, "body").text.lower()
                   and len(tile_states(driver)) == 3, 20, "the page back with three tiles")
    finally:
        driver.quit()
        for process in units:
            process.kill()
        if station.process.poll() is None:
            station.process.kill()
    print("%d failure(s)" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
