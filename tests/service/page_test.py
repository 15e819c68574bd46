#!/usr/bin/python3
"""The station's page in a real browser: Debian's chromium, headless, driven
through chromium-driver by selenium. Eight emulated units, each a little
slower than the one before and unit 3 failing its flash programming: the page
shows 8 sockets, a run started from its button turns them green one by one as
the units finish, and the failing one red with its message.

Usage: page_test.py KORVEX_CLI KORVEX_SIM
Exit status 77 (skipped) when chromium, chromium-driver or selenium is missing.
"""
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

CHROMIUM, DRIVER = "/usr/bin/chromium", "/usr/bin/chromedriver"


def main():
    cli, sim = sys.argv[1], sys.argv[2]
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
        from selenium.webdriver.common.by import By
    except ImportError:
        print("selenium is not installed: skipped")
        return 77
    if not (os.access(CHROMIUM, os.X_OK) and os.access(DRIVER, os.X_OK)):
        print("chromium or chromium-driver is not installed: skipped")
        return 77
    work = tempfile.mkdtemp(prefix="kvx-page-test.")
    units = station = driver = None
    try:
        ports = os.path.join(work, "ports")
        # Unit k programs a 4 KB block in 40 * k ms: they finish one by one.
        args = [sim, "--units", "8", "--dir", ports, "--fault", "3:result:0x95:0x2C"]
        args += [f"--program-ms={k}:{40 * k}" for k in range(1, 9)]
        units = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(500):
            if os.path.exists(os.path.join(ports, "COM8")):
                break
            time.sleep(0.01)
        firmware = os.path.join(work, "fw.bin")
        with open(firmware, "wb") as f:
            f.write(bytes((i * 7 + 3) & 0xFF for i in range(32 * 1024)))
        home = os.path.join(work, "home")
        env = dict(os.environ, KORVEX_SERIAL_DIR=ports, KORVEX_HOME=home)
        station = subprocess.Popen(
            [cli, "-q", "--chip", "SC32F5232JV1G", "--file", firmware, "serve", "--listen", "127.0.0.1:0"],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True, env=env)
        line = station.stdout.readline()
        found = re.search(r"http://127\.0\.0\.1:(\d+)/", line)
        if not found:
            print("the station did not say where it serves:", line)
            return 1
        url = f"http://127.0.0.1:{found.group(1)}/"
        with open(os.path.join(home, "api.token")) as f:
            token = f.read().strip()

        options = webdriver.ChromeOptions()
        options.binary_location = CHROMIUM
        for a in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--lang=en-US"):
            options.add_argument(a)
        driver = webdriver.Chrome(service=Service(executable_path=DRIVER), options=options)
        driver.get(url)

        def classes():
            return [driver.find_element(By.ID, f"socket-{ch}").get_attribute("class").split() for ch in range(1, 9)]

        def wait_for(what, predicate, seconds=60):
            end = time.monotonic() + seconds
            while time.monotonic() < end:
                if predicate():
                    return
                time.sleep(0.05)
            message = driver.find_element(By.ID, "message").text
            raise AssertionError(f"timed out waiting for {what}; the page says {message!r}, "
                                 f"the stop button is {'on' if driver.find_element(By.ID, 'stop').is_enabled() else 'off'}, "
                                 f"the sockets are {[' '.join(c) for c in classes()]}")

        assert len(driver.find_elements(By.CSS_SELECTOR, "#sockets .socket")) == 8
        wait_for("8 connected sockets", lambda: all("absent" not in c for c in classes()))
        assert "Korvex200RTQ" in driver.find_element(By.ID, "socket-1").text

        driver.find_element(By.ID, "token").send_keys(token)
        driver.find_element(By.ID, "start").click()
        # When each socket turned green or red, and whether some were done
        # while others still ran.
        ended, mixed = {}, False
        end = time.monotonic() + 120
        while len(ended) < 8 and time.monotonic() < end:
            now = classes()
            for ch, c in enumerate(now, start=1):
                if ch not in ended and ("ok" in c or "failed" in c):
                    ended[ch] = ("ok" if "ok" in c else "failed", time.monotonic())
            mixed = mixed or (0 < sum("ok" in c or "failed" in c for c in now) < 8)
            time.sleep(0.02)
        assert len(ended) == 8, f"only {sorted(ended)} ended"
        assert mixed, "every socket turned at once"
        assert ended[3][0] == "failed" and all(ended[ch][0] == "ok" for ch in ended if ch != 3), ended
        order = sorted(ended, key=lambda ch: ended[ch][1])
        good = [ch for ch in order if ch != 3]
        assert good == sorted(good), f"the sockets turned in the order {order}"
        failed_text = driver.find_element(By.CSS_SELECTOR, "#socket-3 .result").text
        assert failed_text.startswith("NG (") and len(failed_text) > 8, failed_text
        assert driver.find_elements(By.CSS_SELECTOR, "#last li"), "no result in the list of the last ones"
        # The stop button ends the next run: the slow units' sockets turn
        # red as interrupted.
        stop = driver.find_element(By.ID, "stop")
        wait_for("the stop button off after the run", lambda: not stop.is_enabled())
        driver.find_element(By.CSS_SELECTOR, "#operation option[value='program'], #operation option:nth-child(2)").click()
        driver.find_element(By.ID, "start").click()
        wait_for("the stop button on during the run", lambda: stop.is_enabled() and "running" in classes()[7], 20)
        stop.click()
        wait_for("the slow sockets stopped", lambda: all("failed" in c for c in classes()[4:]), 20)
        stopped = [driver.find_element(By.CSS_SELECTOR, f"#socket-{ch} .result").text for ch in range(5, 9)]
        assert all(t.startswith("NG (interrupted)") for t in stopped), stopped
        wait_for("the stop button off after the stop", lambda: not stop.is_enabled(), 20)
        print("sockets turned in the order", order, "; socket 3:", failed_text, "; stopped:", stopped[0])
        return 0
    finally:
        if driver:
            driver.quit()
        for p in (station, units):
            if p and p.poll() is None:
                p.send_signal(signal.SIGTERM)
                try:
                    p.wait(30)
                except subprocess.TimeoutExpired:
                    p.kill()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
