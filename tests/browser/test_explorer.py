"""tavmerk-util serve in a real browser (headless chromium through
selenium): browsing to a nested file, search, previews of a text and a PNG,
a download checked byte for byte, and with --write an upload, a new folder,
a rename and a removal, after which `tavmerk-util test` and `tavmerk /E`
find the archive whole; the history: an earlier version browsed read only
(kept over a reload), compared with the current one and undone to, checked
with `tavmerk-util log` and `extract`. Skipped, with the reason, where chromium, its
driver or selenium are missing. Saves a screenshot for the README where
TAVMERK_SCREENSHOT names a file."""

import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import zlib

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "python"))
from pack_builder import File, Folder, build, sample  # noqa: E402

UTIL = os.environ.get("TAVMERK_UTIL_BINARY", "")
TOOL = os.environ.get("TAVMERK_BINARY", "")

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.common.exceptions import StaleElementReferenceException
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait
    missing = None
except ImportError:
    missing = "selenium is not installed"
CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
DRIVER = shutil.which("chromedriver")
if not missing and not (CHROMIUM and DRIVER):
    missing = "chromium or chromedriver is not installed"


def png(width, height):
    """A valid RGB PNG of the given size."""
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    rows = b"".join(b"\x00" + bytes([200, 40 * y % 256, 90]) * width for y in range(height))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


PICTURE = png(64, 48)
NOTES = sample(30000, 7)
README = "Grüße, explorer\nsecond line\n".encode()


def archive():
    return build([
        Folder("docs", [
            File("readme.txt", README),
            File("notes.txt", NOTES, compress=True),
            File("old.txt", deleted=True),
            Folder("images", [Folder("deep", [File("picture.png", PICTURE)])]),
        ]),
        Folder("tools", [File("run.sh", b"#!/bin/sh\necho run\n", compress=True)]),
    ])


@unittest.skipIf(missing, missing or "")
class Explorer(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="tavmerk-browser-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.pak = os.path.join(self.dir, "a.pak")
        with open(self.pak, "wb") as f:
            f.write(archive())
        self.server = subprocess.Popen([UTIL, "serve", self.pak, "--write"], stdout=subprocess.PIPE)
        self.addCleanup(self.stop_server)
        line = self.server.stdout.readline().decode()
        self.assertTrue(line.startswith("serving http://127.0.0.1:"), line)
        self.url = line.split()[1]
        self.base = self.url.split("?")[0]
        self.downloads = os.path.join(self.dir, "downloads")
        os.mkdir(self.downloads)
        options = webdriver.ChromeOptions()
        options.binary_location = CHROMIUM
        for arg in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1280,720"):
            options.add_argument(arg)
        options.add_experimental_option("prefs", {"download.default_directory": self.downloads,
                                                  "download.prompt_for_download": False})
        self.browser = webdriver.Chrome(service=Service(executable_path=DRIVER), options=options)
        self.addCleanup(self.browser.quit)
        self.wait = WebDriverWait(self.browser, 20)

    def stop_server(self):
        if self.server.poll() is None:
            self.server.terminate()
            self.assertEqual(self.server.wait(30), 0)
        self.server.stdout.close()

    def rows(self, which=".row"):
        """The names in the rows drawn, top to bottom."""
        return self.browser.execute_script(
            "return [...document.querySelectorAll(arguments[0])].sort((a, b) => a.offsetTop - b.offsetTop)"
            ".map((r) => r.querySelector('.c-name').textContent)", which)

    def wait_rows(self, want):
        try:
            self.wait.until(lambda b: want(self.rows()))
        except Exception:
            self.fail("rows %r, message %r" % (self.rows(), self.browser.find_element(By.ID, "message").text))

    def act_on_row(self, name, act):
        """Finds the row named `name` and acts on it, again where it was
        drawn anew in between."""
        def attempt(browser):
            row = browser.execute_script(
                "return [...document.querySelectorAll('.row')].find((r) => "
                "r.querySelector('.c-name').textContent === arguments[0])", name)
            if row is None:
                return False
            act(row)
            return True
        WebDriverWait(self.browser, 20, ignored_exceptions=(StaleElementReferenceException,)).until(attempt)

    def open_row(self, name):
        self.act_on_row(name, lambda row: ActionChains(self.browser).double_click(row).perform())

    def select_row(self, name):
        self.act_on_row(name, lambda row: row.click())

    def answer_prompt(self, text=None):
        alert = self.wait.until(lambda b: b.switch_to.alert)
        if text is not None:
            alert.send_keys(text)
        alert.accept()

    def test_browse_search_preview_download(self):
        self.browser.get(self.url)
        self.wait_rows(lambda rows: rows == ["docs", "tools"])
        # Down to a nested file by double clicks, the address following.
        for name in ("docs", "images", "deep"):
            self.open_row(name)
            self.wait_rows(lambda rows, n=name: n not in rows and rows)
        self.assertEqual(self.rows(), ["picture.png"])
        self.assertEqual(self.browser.find_element(By.ID, "crumbs").text, "archive / docs / images / deep")
        self.open_row("picture.png")
        image = self.wait.until(lambda b: b.find_element(By.CSS_SELECTOR, "#preview-body img"))
        self.wait.until(lambda b: image.get_property("naturalWidth") == 64)
        self.assertEqual(image.get_property("naturalHeight"), 48)
        # Back keeps the place: the folder above.
        self.browser.back()
        self.wait_rows(lambda rows: rows == ["deep"])

        # A text preview, with line numbers, from the address alone.
        self.browser.get(self.base + "#docs%2Freadme.txt")
        text = self.wait.until(lambda b: b.find_element(By.CSS_SELECTOR, "#preview-body pre.text"))
        self.assertEqual(text.text, "1Grüße, explorer\n2second line")
        self.assertIn("UTF-8", self.browser.find_element(By.ID, "preview-info").text)
        if os.environ.get("TAVMERK_SCREENSHOT"):
            self.browser.save_screenshot(os.environ["TAVMERK_SCREENSHOT"])

        # Search as one types: the rows are the paths found.
        search = self.browser.find_element(By.ID, "search")
        self.browser.find_element(By.TAG_NAME, "body").send_keys("/")
        self.assertEqual(self.browser.switch_to.active_element, search)
        search.send_keys("*.sh")
        self.wait_rows(lambda rows: rows == ["tools/run.sh"])
        search.clear()
        search.send_keys("NOTES")
        self.wait_rows(lambda rows: rows == ["docs/notes.txt"])

        # A download, byte for byte.
        self.open_row("docs/notes.txt")
        self.wait.until(lambda b: b.find_element(By.ID, "preview-name").text == "docs/notes.txt")
        self.browser.find_element(By.ID, "preview-download").click()
        target = os.path.join(self.downloads, "notes.txt")
        self.wait.until(lambda b: os.path.exists(target) and os.path.getsize(target) == len(NOTES))
        with open(target, "rb") as f:
            self.assertEqual(f.read(), NOTES)

    def test_changes_with_write(self):
        self.browser.get(self.base + "?token=" + self.url.split("token=")[1] + "#docs")
        self.wait_rows(lambda rows: "readme.txt" in rows)
        upload = os.path.join(self.dir, "uploaded.bin")
        with open(upload, "wb") as f:
            f.write(sample(200000, 9, text=False))
        chooser = self.browser.find_element(By.ID, "upload-input")
        self.browser.execute_script("arguments[0].hidden = false", chooser)
        chooser.send_keys(upload)
        self.wait_rows(lambda rows: "uploaded.bin" in rows)
        self.assertIn("added docs/uploaded.bin", self.browser.find_element(By.ID, "message").text)

        self.browser.find_element(By.ID, "new-folder").click()
        self.answer_prompt("made")
        self.wait_rows(lambda rows: "made" in rows)

        self.select_row("readme.txt")
        self.browser.find_element(By.ID, "rename").click()
        alert = self.wait.until(lambda b: b.switch_to.alert)
        alert.send_keys("docs/made/readme.md")
        alert.accept()
        self.wait_rows(lambda rows: "readme.txt" not in rows)

        self.select_row("notes.txt")
        self.browser.find_element(By.ID, "list").send_keys("\ue017")  # Delete
        self.answer_prompt()
        # Its entry stays, marked deleted.
        self.wait.until(lambda b: self.rows(".row.deleted") == ["notes.txt", "old.txt"])

        # A refused name: the engine's message, nothing changed.
        self.browser.find_element(By.ID, "new-folder").click()
        self.answer_prompt("a:b")
        message = self.wait.until(lambda b: b.find_element(By.CSS_SELECTOR, "#message.error"))
        self.assertIn("docs/a:b: refused", message.text)

        self.stop_server()
        test = subprocess.run([UTIL, "test", self.pak], capture_output=True)
        self.assertEqual(test.returncode, 0, test.stdout + test.stderr)
        out = os.path.join(self.dir, "out")
        expand = subprocess.run([TOOL, "/E", self.pak, out], capture_output=True, stdin=subprocess.DEVNULL)
        self.assertEqual(expand.returncode, 0, expand.stdout)
        with open(os.path.join(out, "docs", "uploaded.bin"), "rb") as f, open(upload, "rb") as g:
            self.assertEqual(f.read(), g.read())
        with open(os.path.join(out, "docs", "made", "readme.md"), "rb") as f:
            self.assertEqual(f.read(), README)
        self.assertFalse(os.path.exists(os.path.join(out, "docs", "notes.txt")))
        self.assertFalse(os.path.exists(os.path.join(out, "docs", "readme.txt")))


    def test_history_view_compare_undo(self):
        # Version 0: as built; version 1: a folder made; version 2: readme.txt removed.
        for args in (["mkdir", self.pak, "docs/made"], ["remove", self.pak, "docs/readme.txt"]):
            subprocess.run([UTIL] + args, check=True, capture_output=True)
        self.browser.get(self.base + "?token=" + self.url.split("token=")[1] + "#docs")
        live = ".row:not(.deleted)"
        self.wait.until(lambda b: "notes.txt" in self.rows(live) and "readme.txt" in self.rows(".row.deleted"))
        self.browser.find_element(By.ID, "history-button").click()
        view = self.wait.until(lambda b: b.find_element(
            By.CSS_SELECTOR, '#history-list .version[data-version="1"] .v-view'))
        self.assertEqual(len(self.browser.find_elements(By.CSS_SELECTOR, "#history-list .version")), 3)
        view.click()
        self.wait.until(lambda b: "readme.txt" in self.rows(live))
        banner = self.browser.find_element(By.ID, "at-banner")
        self.assertTrue(banner.text.startswith("Viewing version 1 — read only"), banner.text)
        self.assertFalse(self.browser.find_element(By.ID, "new-folder").is_displayed())
        # A reload keeps the version.
        self.assertIn("?at=1#docs", self.browser.current_url)
        self.browser.refresh()
        self.wait.until(lambda b: "readme.txt" in self.rows(live))
        self.assertTrue(self.browser.find_element(By.ID, "at-banner").is_displayed())

        self.browser.find_element(By.ID, "history-button").click()
        self.wait.until(lambda b: b.find_element(
            By.CSS_SELECTOR, '#history-list .version[data-version="1"] .v-compare')).click()
        self.wait.until(lambda b: b.find_element(By.ID, "diff-lines").text == "removed docs/readme.txt")

        self.browser.find_element(By.ID, "at-undo").click()
        self.answer_prompt()
        self.wait.until(lambda b: "added docs/readme.txt" in b.find_element(By.ID, "message").text)
        self.assertFalse(self.browser.find_element(By.ID, "at-banner").is_displayed())
        self.assertIn("readme.txt", self.rows(live))
        self.assertTrue(self.browser.find_element(By.ID, "new-folder").is_displayed())
        self.assertNotIn("at=", self.browser.current_url)

        self.stop_server()
        log = subprocess.run([UTIL, "log", self.pak], capture_output=True, check=True).stdout.decode()
        self.assertTrue(log.startswith("3  "), log)
        self.assertIn("undo to version 1\n", log)
        out = os.path.join(self.dir, "out")
        subprocess.run([UTIL, "extract", self.pak, "-d", out], capture_output=True, check=True)
        with open(os.path.join(out, "docs", "readme.txt"), "rb") as f:
            self.assertEqual(f.read(), README)

if __name__ == "__main__":
    unittest.main()
