"""The cookie matrix of test_cookie_interop, served by uvicorn over https and stored by headless Chromium.

Run with ``make interop``; plain ``make test`` does not collect this directory.
"""

import pathlib
import shutil
import socket
import subprocess
import threading
import time
import warnings

import pytest

from kelvarn.cookie_header import parse_cookie_header, write_set_cookie
from kelvarn.cookies import Cookie
from test_cookie_interop import CASES, DEFAULT_PATH, HOST, ROUND_TRIPS, check, expected, round_trip, sent_back, write

CHROMIUM = shutil.which("chromium")
DRIVER = shutil.which("chromedriver")
if not (CHROMIUM and DRIVER):
    pytest.skip("no Chromium: apt-get install -y chromium chromium-driver", allow_module_level=True)
uvicorn = pytest.importorskip("uvicorn")
webdriver = pytest.importorskip("selenium.webdriver")


class App:
    """Answers /set/<case> with the Set-Cookie value registered for that case, any other path with the Cookie
    header of the request ("-" without one)."""

    def __init__(self):
        self.headers = {}

    async def __call__(self, scope, receive, send):
        folder, _, case = scope["path"].rpartition("/")
        cookie = dict(scope["headers"]).get(b"cookie", b"")
        if case == "echo":
            self.cookie = cookie  # what the browser sent back (not, say, with its request for /favicon.ico)
        header = self.headers.get(case) if folder == DEFAULT_PATH else None
        body = b"ok" if header else cookie or b"-"
        fields = [(b"content-type", b"text/plain")] + ([(b"set-cookie", header)] if header else [])
        await send({"type": "http.response.start", "status": 200, "headers": fields})
        await send({"type": "http.response.body", "body": body})


@pytest.fixture(scope="module")
def server(tmp_path_factory):
    tmp = tmp_path_factory.mktemp("tls")
    key, cert = tmp / "key.pem", tmp / "cert.pem"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-keyout", key,
                    "-out", cert, "-subj", f"/CN={HOST}", "-addext", f"subjectAltName=DNS:{HOST}"],
                   check=True, capture_output=True)
    # The listening socket is ours, on a port the system picks now.
    sock = socket.socket()
    sock.bind(("127.0.0.1", 0))
    app = App()
    # No Date header: Chromium shifts Expires by the gap between the Date it
    # reads (whole seconds) and its own clock, up to a second or more here.
    config = uvicorn.Config(app, ssl_keyfile=str(key), ssl_certfile=str(cert), date_header=False,
                            lifespan="off", log_level="warning")
    srv = uvicorn.Server(config)
    thread = threading.Thread(target=srv.run, kwargs={"sockets": [sock]}, daemon=True)
    thread.start()
    deadline = time.monotonic() + 10
    while not srv.started:
        assert thread.is_alive() and time.monotonic() < deadline, "uvicorn did not start"
        time.sleep(0.02)
    yield app, sock.getsockname()[1]
    srv.should_exit = True
    thread.join(10)
    sock.close()


@pytest.fixture(scope="module")
def browser():
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for arg in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--no-proxy-server",
                "--ignore-certificate-errors", "--host-resolver-rules=MAP *.example.test 127.0.0.1"):
        options.add_argument(arg)
    driver = webdriver.Chrome(options=options, service=webdriver.ChromeService(DRIVER))
    yield driver
    driver.quit()


# That Chromium drops an over-long cookie holds with or without the writer's warning.
@pytest.mark.parametrize("case,kwargs", CASES)
def test_chromium_stores_what_was_written(case, kwargs, server, browser):
    app, port = server
    cookie = Cookie(**kwargs)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)  # the jar suite checks the warning for long cookies
        app.headers[case] = write(cookie)
    browser.execute_cdp_cmd("Network.clearBrowserCookies", {})
    sent = time.time()
    browser.get(f"https://{HOST}:{port}{DEFAULT_PATH}/{case}")
    want = expected(cookie, (sent, time.time()), browser=True)
    assert browser.find_element("tag name", "body").text == "ok"
    stored = [dict(name=c["name"], value=c["value"], domain=c["domain"], path=c["path"], secure=c["secure"],
                   http_only=c["httpOnly"], expires=None if c["session"] else c["expires"],
                   same_site=c.get("sameSite")) for c in browser.execute_cdp_cmd("Network.getAllCookies", {})["cookies"]]
    assert len(stored) <= 1, stored
    check(stored[0] if stored else None, want)
    browser.get(f"https://{HOST}:{port}{cookie.path or DEFAULT_PATH}")
    assert browser.find_element("tag name", "body").text == (sent_back(want) or "-")


# Chromium stores a cookie whose Domain is non-ASCII under the domain's IDNA form, and sends it back: the
# writer leaves the domain as it is.
def test_chromium_keeps_a_non_ascii_domain(server, browser):
    app, port = server
    app.headers["idn"] = write(Cookie("d", "1", domain="bücher.example.test"))
    browser.execute_cdp_cmd("Network.clearBrowserCookies", {})
    browser.get(f"https://www.bücher.example.test:{port}{DEFAULT_PATH}/idn")
    cookies = browser.execute_cdp_cmd("Network.getAllCookies", {})["cookies"]
    assert [(c["name"], c["domain"]) for c in cookies] == [("d", ".xn--bcher-kva.example.test")]
    browser.get(f"https://www.bücher.example.test:{port}{DEFAULT_PATH}")
    assert browser.find_element("tag name", "body").text == "d=1"


@pytest.mark.parametrize("cls,kwargs", ROUND_TRIPS)
def test_chromium_sends_back_what_was_written(cls, kwargs, server, browser):
    (app, port), cookie = server, cls(**kwargs)
    with warnings.catch_warnings(action="ignore", category=UserWarning):
        app.headers["round-trip"] = write_set_cookie(cookie)
    browser.execute_cdp_cmd("Network.clearBrowserCookies", {})
    browser.get(f"https://{HOST}:{port}{DEFAULT_PATH}/round-trip")
    path, want = round_trip(cookie, browser=True)
    browser.get(f"https://{HOST}:{port}{path}")
    assert parse_cookie_header(app.cookie) == want, app.cookie
