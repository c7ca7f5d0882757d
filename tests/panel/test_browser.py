"""The typical road in a real browser (headless chromium), checked on the virtual board itself
through its trace: what the board was told, not only what the page says."""

import os
import re
import shutil
import tempfile

import pytest
from conftest import write_pgm

webdriver = pytest.importorskip("selenium.webdriver")
from selenium.webdriver.chrome.service import Service  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.support.ui import Select, WebDriverWait  # noqa: E402

WIDTH, HEIGHT, FRAMES = 1920, 1080, 17
FRAME_BYTES = WIDTH * HEIGHT  # eight planes of WIDTH / 8 x HEIGHT bytes


@pytest.fixture
def browser():
    chromium, driver = shutil.which("chromium"), shutil.which("chromedriver")
    if not chromium or not driver:
        pytest.skip("chromium and chromium-driver are not installed")
    options = webdriver.ChromeOptions()
    options.binary_location = chromium
    profile = tempfile.mkdtemp(prefix="vek-panel-chromium-")
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-background-networking",
                 "--disable-component-update", "--disable-sync", "--disable-dev-shm-usage",
                 "--window-size=1600,1900", f"--user-data-dir={profile}"):
        options.add_argument(flag)
    b = webdriver.Chrome(service=Service(executable_path=driver), options=options)
    yield b
    b.quit()
    shutil.rmtree(profile, ignore_errors=True)


def test_typical_road(start_panel, browser, tmp_path):
    panel = start_panel()
    wait = WebDriverWait(browser, 120)
    text_of = lambda element_id: browser.find_element(By.ID, element_id).text  # noqa: E731
    until_text = lambda element_id, pattern: wait.until(lambda _: re.search(pattern, text_of(element_id)))  # noqa: E731

    browser.get(f"{panel.base}?token={panel.token}")
    wait.until(lambda b: b.find_elements(By.ID, "open-0")).pop().click()
    until_text("status", "virtual-0 open")
    until_text("board-list", "1920 × 1080")
    browser.find_element(By.CSS_SELECTOR, "#init-form button").click()
    until_text("init-result", "DEV_OK")

    # Seventeen different frames: stripes of 2, 4, ... 2048 pixels, each frame its own brightness.
    files = [write_pgm(tmp_path / f"frame{i:02}.pgm", WIDTH, HEIGHT,
                       bytes(((x >> (i % 11)) & 1) * (255 - i) for x in range(WIDTH))) for i in range(FRAMES)]
    browser.find_element(By.ID, "file-input").send_keys("\n".join(map(str, files)))
    until_text("load-result", f"{FRAMES} file")

    period = browser.find_element(By.CSS_SELECTOR, "#timing-form [name=period]")
    period.clear()
    period.send_keys("20000")
    until_text("timing-preview", "3764")  # plane 0: 20000 us / 255, in counts of 48 MHz, before any write
    browser.find_element(By.CSS_SELECTOR, "#timing-form button").click()
    until_text("timing-result", "DEV_OK")

    browser.find_element(By.ID, "read-gallery").click()
    until_text("gallery-result", f"{FRAMES} of {FRAMES} verified")
    wait.until(lambda b: all(b.execute_script("return arguments[0].naturalWidth", img) == 240
                             for img in b.find_elements(By.CSS_SELECTOR, "#gallery img")))

    browser.find_element(By.ID, "gpio-3").click()
    until_text("gpio-output", "0x08")

    Select(browser.find_element(By.ID, "command-name")).select_by_value("reg31")
    value = browser.find_element(By.CSS_SELECTOR, "#command-form [name=value]")
    value.clear()
    value.send_keys("0x1234")
    browser.find_element(By.CSS_SELECTOR, "#command-form button").click()
    until_text("command-result", "DEV_OK")
    until_text("calls", "VekDevControl\\(reg31")
    until_text("trace", "write 0x31 = 0x1234")
    if os.environ.get("VEK_PANEL_SCREENSHOT"):
        browser.save_screenshot(os.environ["VEK_PANEL_SCREENSHOT"])

    everything = panel.stop()
    assert not any(" board 1 " in line for line in everything)  # the timing preview's board stays out
    trace = [line for line in everything if " board 0 " in line]
    writes = [tuple(int(v, 16) for v in m.groups()) for m in
              (re.search(r"register write (0x[0-9A-F]+) = (0x[0-9A-F]+)", line) for line in trace) if m]
    last = dict(writes)
    assert (last[0x04], last[0x31], last[0x6F], last[0x6E]) == (0x08, 0x1234, 3764, 7529)
    starts = [value for address, value in writes if address == 0x10]
    assert starts[:FRAMES] == [i * FRAME_BYTES // 16 for i in range(FRAMES)]
    moved = [re.search(r"data (OUT ep 0x02|IN ep 0x86) asked \d+ moved (\d+)", line) for line in trace]
    out = sum(int(m.group(2)) for m in moved if m and m.group(1).startswith("OUT"))
    back = sum(int(m.group(2)) for m in moved if m and m.group(1).startswith("IN") and int(m.group(2)) > 8)
    assert out == back == FRAMES * FRAME_BYTES
