#!/usr/bin/env python3
"""The web administration in a real browser: headless chromium, driven through
chromium-driver, against the real quillvane-server on loopback.

One run: a first start of the server in a temporary directory (its own
server.ini with free HTTP and query ports; the default virtual server takes
UDP 8767, so the test runs alone), then an admin logs in, changes the server
name, adds an account and finds it in the list, and logs out; a superadmin logs
in, stops and starts the server from the server manager, looks at his pages and
logs out. With --client, two protocol clients log in first and the admin goes
through the live server page: he creates and edits a channel, moves a player
into it (the page's script shows it without a reload), kicks the other one,
bans and unbans an address. Every main page is saved as a PNG in the
screenshot folder.

    web_admin_test.py --server build/quillvane-server --client build/quillvane-client \
                      --screenshots build/screenshots
"""
import argparse
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

from selenium import webdriver
from selenium.common.exceptions import WebDriverException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select, WebDriverWait

START_LIMIT = 90   # seconds; the test build runs under the sanitizers
STEP_LIMIT = 20    # seconds for one page to show what a step waits for
CHROMIUM_ARGS = ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--no-proxy-server", "--disable-dev-shm-usage", "--hide-scrollbars")
DEFAULT_UDP_PORT = 8767
ACCOUNT = "browser-carol"
NEW_NAME = "Browser Test Server"
PLAYERS = ("Alice", "Bob")
CHANNEL = "Lounge"
TOPIC = "Quiet please"


class StepFailed(Exception):
    pass


def udp_port_free(port):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        try:
            s.bind(("0.0.0.0", port))
            return True
        except OSError:
            return False


def free_tcp_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Server:
    """One run of quillvane-server in its own directory."""

    def __init__(self, binary, workdir, httpdocs, https):
        self.workdir = workdir
        self.http_port = free_tcp_port()
        query_port = free_tcp_port()
        with open(self.path("server.ini"), "w") as f:
            f.write("[Main Config]\nHTTPServer Port=%d\nHTTPServer Enabled=1\nTCPQueryPort=%d\nWebTLS=%d\n"
                    "ExternalIPDectection=0\n[WebPost]\nEnabled=0\n" % (self.http_port, query_port, int(https)))
        args = [binary] + ["-%s=%s" % (switch, self.path(name)) for switch, name in
                           (("INI", "server.ini"), ("DB", "server.dbs"), ("LOG", "server.log"),
                            ("BADNAMES", "bad_names.txt"))]
        if httpdocs:
            args.append("-HTTPDOCS=" + httpdocs)
        self.out = open(self.path("server.out"), "w")
        self.process = subprocess.Popen(args, stdout=self.out, stderr=subprocess.STDOUT, cwd=workdir)

    def path(self, name):
        return os.path.join(self.workdir, name)

    def read(self, name):
        try:
            with open(self.path(name), errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def wait_started(self):
        """The generated passwords of the first run, once the web port answers."""
        deadline = time.monotonic() + START_LIMIT
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise StepFailed("the server ended with code %d while starting:\n%s"
                                 % (self.process.returncode, self.read("server.out")[-3000:]))
            log = self.read("server.log")
            admin = re.search(r"\sadmin account info: username: admin password: (\S+)", log)
            sadmin = re.search(r"superadmin account info: username: superadmin password: (\S+)", log)
            if admin and sadmin and "Server init finished" in log:
                try:
                    socket.create_connection(("127.0.0.1", self.http_port), timeout=1).close()
                    return admin.group(1), sadmin.group(1)
                except OSError:
                    pass
            time.sleep(0.2)
        raise StepFailed("the server did not start within %d s (no passwords or no web port %d):\n%s"
                         % (START_LIMIT, self.http_port, self.read("server.out")[-3000:]))

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.out.close()
        return self.process.returncode


class Player:
    """A protocol client (quillvane-client) that stays logged in while its
    standard input is open."""

    def __init__(self, binary, workdir, nick):
        self.out = open(os.path.join(workdir, "client-%s.out" % nick), "w")
        self.process = subprocess.Popen([binary, "-n", nick, "127.0.0.1:%d" % DEFAULT_UDP_PORT],
                                        stdin=subprocess.PIPE, stdout=self.out, stderr=subprocess.STDOUT)

    def stop(self):
        if self.process.poll() is None:
            try:
                self.process.stdin.close()
                self.process.wait(timeout=10)
            except (OSError, subprocess.TimeoutExpired):
                self.process.kill()
                self.process.wait()
        self.out.close()


class Browser:
    """Headless chromium with helpers that fail with a readable message."""

    def __init__(self, workdir, shots, https):
        options = webdriver.ChromeOptions()
        options.binary_location = shutil.which("chromium") or "/usr/bin/chromium"
        for arg in CHROMIUM_ARGS:
            options.add_argument(arg)
        if https:
            options.add_argument("--ignore-certificate-errors")  # the server's self-signed certificate
        options.add_argument("--user-data-dir=" + os.path.join(workdir, "chromium-profile"))
        options.add_argument("--window-size=1280,900")
        driver = shutil.which("chromedriver") or "/usr/bin/chromedriver"
        service = Service(executable_path=driver, log_path=os.path.join(workdir, "chromedriver.log"))
        self.driver = webdriver.Chrome(service=service, options=options)
        self.driver.set_page_load_timeout(STEP_LIMIT)
        self.shots = shots
        self.base = None

    def quit(self):
        try:
            self.driver.quit()
        except WebDriverException:
            pass

    def open(self, page):
        self.driver.get(self.base + page)

    def text(self):
        return self.driver.find_element(By.TAG_NAME, "body").text

    def wait_for(self, what, check):
        def attempt(_):
            try:
                return check()
            except WebDriverException:
                return False  # the page changed while it was read: look again
        try:
            return WebDriverWait(self.driver, STEP_LIMIT).until(attempt)
        except Exception:
            raise StepFailed("%s: not seen within %d s on %s\n--- page text ---\n%s"
                             % (what, STEP_LIMIT, self.driver.current_url, self.text()[:2000]))

    def wait_text(self, text):
        return self.wait_for("the text %r" % text, lambda: text in self.text())

    def fill(self, form, values):
        for name, value in values.items():
            field = form.find_element(By.NAME, name)
            field.clear()
            field.send_keys(value)

    def submit(self, form):
        form.find_element(By.CSS_SELECTOR, "button[type=submit]").click()

    def form(self, action):
        return self.driver.find_element(By.CSS_SELECTOR, 'form[action="%s"]' % action)

    def shot(self, name, width=1280):
        """Saves the whole page, as tall as its content, as <name>.png."""
        self.driver.set_window_size(width, 900)
        self.driver.execute_script("window.scrollTo(0, 0)")
        chrome = 900 - self.driver.execute_script("return window.innerHeight")
        height = self.driver.execute_script("return document.documentElement.scrollHeight")
        self.driver.set_window_size(width, min(max(height, 800), 2400) + chrome)
        self.driver.save_screenshot(os.path.join(self.shots, name + ".png"))
        self.driver.set_window_size(1280, 900)


def login(b, page, username, password, port=None):
    b.open(page)
    form = b.form("login.qvcmd")
    values = {"username": username, "password": password}
    if port is not None:
        values["serverport"] = str(port)
    b.fill(form, values)
    b.submit(form)


def logout(b):
    b.driver.find_element(By.CSS_SELECTOR, "a.logout").click()
    b.wait_for("the login form after logging out", lambda: b.driver.find_elements(By.NAME, "username"))
    b.open("index.html")  # a logged-out session gets the login form for every page
    b.wait_for("the login form for index.html after logging out",
               lambda: b.driver.find_elements(By.NAME, "username"))


def expect_ok_box(b, text):
    b.wait_for("the OK box", lambda: b.driver.find_elements(By.CSS_SELECTOR, ".box-ok"))
    shown = b.driver.find_element(By.CSS_SELECTOR, ".box-ok p").text
    if shown != text:
        raise StepFailed("OK box says %r, expected %r" % (shown, text))


def admin_flow(b, password):
    login(b, "login.html", "admin", "wrong-" + password, DEFAULT_UDP_PORT)
    b.wait_text("Log in failed")

    b.open("")
    b.wait_for("the login form", lambda: b.driver.find_elements(By.NAME, "serverport"))
    b.shot("login")
    login(b, "login.html", "admin", password, DEFAULT_UDP_PORT)
    b.wait_for("the overview with live statistics", lambda: b.driver.find_elements(By.ID, "live"))
    b.shot("overview")

    b.open("server_settings.html")
    form = b.form("settings_server.qvcmd")
    b.shot("server_settings")
    b.fill(form, {"SERVERNAME": NEW_NAME})
    b.submit(form)
    expect_ok_box(b, "server config has been changed")
    b.shot("ok_box")
    b.open("index.html")
    b.wait_for("the new server name in the header",
               lambda: b.driver.find_element(By.CSS_SELECTOR, ".topbar .current").text.endswith(NEW_NAME))

    b.open("server_permissions_sa.html")
    b.wait_for("the permission checkboxes", lambda: len(b.driver.find_elements(
        By.CSS_SELECTOR, ".perm-grid input[type=checkbox]")) > 10)
    # The page's script is a file of the interface's own: it runs under the
    # Content-Security-Policy that forbids inline script, and shows the tools.
    b.wait_for("the script-shown tick-all buttons", lambda: b.driver.find_element(
        By.CSS_SELECTOR, ".perm-tools").is_displayed())
    b.driver.find_element(By.CSS_SELECTOR, '.perm-tools [data-all="1"]').click()
    b.wait_for("every box ticked by the script", lambda: all(
        box.is_selected() for box in b.driver.find_elements(By.CSS_SELECTOR, ".perm-grid input[type=checkbox]")))
    b.open("server_permissions_sa.html")
    b.wait_for("the permission checkboxes", lambda: b.driver.find_elements(By.CSS_SELECTOR, ".perm-grid"))
    b.shot("permissions")

    b.open("server_accounts.html")
    form = b.form("add_client.qvcmd")
    b.fill(form, {"CLIENTLOGINNAME": ACCOUNT, "CLIENTPW1": "secret7", "CLIENTPW2": "secret7"})
    b.submit(form)
    expect_ok_box(b, "the user %s was added to server" % ACCOUNT)
    b.open("server_accounts.html")
    b.wait_for("the new account in the account list", lambda: ACCOUNT in b.driver.find_element(
        By.ID, "accounts").text)
    b.shot("accounts")
    b.shot("accounts_narrow", width=390)
    logout(b)


def choose(form, name, text):
    """Picks the option of the select that begins with text."""
    select = Select(form.find_element(By.NAME, name))
    for option in select.options:
        if option.text.strip().startswith(text):
            return select.select_by_visible_text(option.text)
    raise StepFailed("no option %r in %s: %s" % (text, name, [o.text for o in select.options]))


def live_channel(b, name):
    """The text of the live tree's channel block of that name ("" when absent)."""
    for block in b.driver.find_elements(By.CSS_SELECTOR, "#live .lv-channel"):
        if block.find_element(By.CSS_SELECTOR, ".lv-name").text == name:
            return block.text
    return ""


def live_flow(b, password):
    login(b, "login.html", "admin", password, DEFAULT_UDP_PORT)
    b.wait_for("the overview", lambda: b.driver.find_elements(By.ID, "live"))
    b.driver.find_element(By.CSS_SELECTOR, 'a[href="server_live.html"]').click()
    b.wait_for("both players in the live tree",
               lambda: all(p in live_channel(b, "Default") for p in PLAYERS) or b.open("server_live.html"))

    form = b.form("channel_create.qvcmd")
    b.fill(form, {"name": CHANNEL, "maxusers": "8"})
    b.submit(form)
    expect_ok_box(b, "channel create: OK")
    b.open("server_live.html")
    form = b.form("channel_edit.qvcmd")
    choose(form, "channel", CHANNEL)
    b.fill(form, {"topic": TOPIC, "order": "2"})
    b.submit(form)
    expect_ok_box(b, "channel edit: OK")
    b.open("server_live.html")
    b.wait_for("the edited channel", lambda: TOPIC in live_channel(b, CHANNEL))

    form = b.form("move_player.qvcmd")
    choose(form, "player", "Bob")
    choose(form, "channel", CHANNEL)
    b.submit(form)
    expect_ok_box(b, "move: OK")
    b.driver.back()  # the page as it was, without Bob in the new channel
    b.wait_for("Bob in the new channel, shown by the page's own refresh",
               lambda: "Bob" in live_channel(b, CHANNEL) and "1 / 8" in live_channel(b, CHANNEL))
    b.shot("live")
    b.shot("live_narrow", width=390)

    b.open("server_live.html")
    form = b.form("kick_server.qvcmd")
    choose(form, "player", "Alice")
    b.fill(form, {"reason": "spam"})
    b.submit(form)
    expect_ok_box(b, "kick: OK")
    b.open("server_live.html")
    b.wait_for("Alice gone", lambda: "Alice" not in b.driver.find_element(By.ID, "live").text
               or b.open("server_live.html"))

    form = b.form("ban_player.qvcmd")
    choose(form, "player", "Bob")
    b.fill(form, {"minutes": "5", "reason": "flooding"})
    b.submit(form)
    expect_ok_box(b, "ban: OK")
    b.open("server_live.html")
    b.wait_for("the ban in the bans list", lambda: "127.0.0.1" in b.driver.find_element(By.ID, "bans").text)
    b.wait_for("Bob gone", lambda: "Bob" not in b.driver.find_element(By.ID, "live").text
               or b.open("server_live.html"))
    b.driver.find_element(By.CSS_SELECTOR, '#bans form[action="unban.qvcmd"] button').click()
    expect_ok_box(b, "unban: OK")
    b.open("server_live.html")
    b.wait_for("an empty bans list", lambda: "127.0.0.1" not in b.driver.find_element(By.ID, "bans").text)
    logout(b)


def server_row_link(b, kind):
    links = b.driver.find_elements(By.CSS_SELECTOR, '#servers a[href^="%s_server.qvcmd"]' % kind)
    return links[0] if links else None


def superadmin_flow(b, password):
    b.open("slogin.html")
    b.shot("superadmin_login")
    login(b, "slogin.html", "superadmin", password)
    b.wait_for("the superadmin navigation", lambda: b.driver.find_elements(By.CSS_SELECTOR, "a.nav-servers"))

    b.open("server_manager.html")
    b.wait_for("a running server in the server list", lambda: server_row_link(b, "stop"))
    if NEW_NAME not in b.driver.find_element(By.ID, "servers").text:
        raise StepFailed("the server list does not show the new name %r:\n%s"
                         % (NEW_NAME, b.driver.find_element(By.ID, "servers").text))
    b.shot("server_manager")
    server_row_link(b, "stop").click()
    expect_ok_box(b, "server has been stopped")
    b.driver.find_element(By.CSS_SELECTOR, ".box-ok a.btn").click()
    b.wait_for("a start link for the stopped server", lambda: server_row_link(b, "start"))
    server_row_link(b, "start").click()
    expect_ok_box(b, "server has been started")
    b.open("server_manager.html")
    b.wait_for("the server running again", lambda: server_row_link(b, "stop"))

    b.driver.find_element(By.CSS_SELECTOR, '#servers a[href^="select_server.qvcmd"]').click()
    b.wait_for("the overview of the selected server", lambda: b.driver.find_elements(By.ID, "live"))
    b.shot("overview_narrow", width=390)

    b.open("superadmin_accounts.html")
    b.wait_for("the superadmin account list", lambda: "superadmin" in b.driver.find_element(
        By.ID, "superadmins").text)
    b.shot("superadmins")
    b.open("settings_basic.html")
    b.form("settings_basic.qvcmd")
    b.shot("basic_settings")
    logout(b)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--server", required=True, help="the quillvane-server binary")
    parser.add_argument("--screenshots", required=True, help="folder for the PNGs of the pages")
    parser.add_argument("--client", help="the quillvane-client binary: go through the live server page")
    parser.add_argument("--httpdocs", help="web documents to serve instead of those beside the binary")
    parser.add_argument("--keep", action="store_true", help="keep the work directory")
    parser.add_argument("--https", action="store_true", help="the web interface over HTTPS (WebTLS=1)")
    args = parser.parse_args()
    for name in ("http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"):
        os.environ.pop(name, None)
    os.makedirs(args.screenshots, exist_ok=True)

    workdir = tempfile.mkdtemp(prefix="qv-browser-")
    server = browser = None
    players = []
    step = "starting the server"
    try:
        if not udp_port_free(DEFAULT_UDP_PORT):
            raise StepFailed("UDP port %d is in use; a first run puts the default server there"
                             % DEFAULT_UDP_PORT)
        server = Server(os.path.abspath(args.server), workdir, args.httpdocs, args.https)
        admin_password, super_password = server.wait_started()
        step = "starting chromium"
        browser = Browser(workdir, args.screenshots, args.https)
        browser.base = "%s://127.0.0.1:%d/" % ("https" if args.https else "http", server.http_port)
        step = "admin flow"
        admin_flow(browser, admin_password)
        if args.client:
            step = "live server flow"
            players = [Player(os.path.abspath(args.client), workdir, nick) for nick in PLAYERS]
            live_flow(browser, admin_password)
        step = "superadmin flow"
        superadmin_flow(browser, super_password)
        step = "stopping the server"
        browser.quit()
        browser = None
        code = server.stop()
        if code != 0:
            raise StepFailed("the server ended with code %d" % code)
        print("web_admin_test: passed; screenshots in %s" % os.path.abspath(args.screenshots))
        return 0
    except (StepFailed, WebDriverException) as e:
        print("web_admin_test: FAILED in the %s: %s" % (step, e), file=sys.stderr)
        if browser:
            try:
                browser.driver.save_screenshot(os.path.join(args.screenshots, "failure.png"))
                print("  page at the failure: failure.png in the screenshot folder", file=sys.stderr)
            except WebDriverException:
                pass
        if server:
            print("--- end of server.log ---\n" + server.read("server.log")[-3000:], file=sys.stderr)
        return 1
    finally:
        for player in players:
            player.stop()
        if browser:
            browser.quit()
        if server:
            server.stop()
        if args.keep:
            print("work directory kept: " + workdir)
        else:
            shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
