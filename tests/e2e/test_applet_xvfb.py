"""The configuration applet on a real X server, not only on Qt's offscreen
platform: quillpanel (the Control Panel host, which loads quillpanel.cpl)
runs under Xvfb on a display of its own; the test waits for the sheet's
window, takes a picture of it and closes it with Esc, as a person would.

  - The window "Kestrune Mail Service Configuration" appears and is mapped.
  - Its picture has the sheet's size and is no blank area.
  - Esc closes the sheet (Cancel) and quillpanel ends with exit code 0.

Tools (Debian packages, installed by scripts/install-deps.sh): Xvfb (xvfb),
xdotool (xdotool), import and identify (imagemagick). Where the applet is not
built the test is skipped; where a tool is missing too, except under CI, where
the tools must be there. QP_SHOT_DIR, when set, keeps the picture as applet-xvfb.png.
"""

import os
import select
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qptest  # noqa: E402

SHEET_TITLE = "Kestrune Mail Service Configuration"
TOOLS = {"Xvfb": "xvfb", "xdotool": "xdotool", "import": "imagemagick", "identify": "imagemagick"}
SCREEN = "1024x768x24"
# The sheet's page area alone is 600 x 330 pixels.
MIN_WIDTH, MIN_HEIGHT = 600, 330
START_TIMEOUT = 30


class AppletOnXvfbTest(qptest.MachineTestCase):
    def setUp(self):
        super().setUp()
        quillpanel = os.path.join(qptest.BIN_DIR, "quillpanel")
        if not os.access(quillpanel, os.X_OK):
            # A build without the applet (no Qt 6, or the sanitizer pass).
            self.skipTest("quillpanel is not built in %s" % qptest.BIN_DIR)
        missing = ["%s (%s)" % (tool, package) for tool, package in TOOLS.items() if shutil.which(tool) is None]
        if missing:
            reason = "cannot run the applet on Xvfb without: " + ", ".join(missing)
            if os.environ.get("CI"):
                self.fail(reason + " (scripts/install-deps.sh installs them)")
            self.skipTest(reason)
        self.quillpanel = quillpanel
        self.display = self.start_xvfb()
        self.env = dict(self.machine.env, DISPLAY=self.display, QT_QPA_PLATFORM="xcb")
        runtime = tempfile.mkdtemp(prefix="qp-xdg-")
        os.chmod(runtime, 0o700)
        self.addCleanup(shutil.rmtree, runtime, True)
        self.env["XDG_RUNTIME_DIR"] = runtime

    def start_xvfb(self):
        """Starts Xvfb on a free display of its own choosing; ':N'."""
        read_end, write_end = os.pipe()
        log_path = os.path.join(self.machine.home, "xvfb.log")
        with open(log_path, "wb") as log:
            xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", SCREEN,
                                     "-nolisten", "tcp"],
                                    pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=log)
        os.close(write_end)
        self.addCleanup(self.stop, xvfb)
        number = b""
        with os.fdopen(read_end, "rb") as announced:
            while not number.endswith(b"\n"):
                ready, _, _ = select.select([announced], [], [], START_TIMEOUT)
                chunk = os.read(announced.fileno(), 16) if ready else b""
                if not chunk:
                    with open(log_path, errors="replace") as log:
                        self.fail("Xvfb did not start: %s" % log.read())
                number += chunk
        return ":" + number.decode().strip()

    @staticmethod
    def stop(process):
        if process.poll() is None:
            process.terminate()
            try:
                process.wait(10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        if process.stdout:
            process.stdout.close()

    def x(self, *args, timeout=START_TIMEOUT):
        """Runs an X client on the test's display; its output."""
        done = subprocess.run(list(args), env=self.env, capture_output=True, text=True, timeout=timeout)
        self.assertEqual(done.returncode, 0, "%s: %s" % (" ".join(args), done.stderr.strip()))
        return done.stdout.strip()

    def test_the_sheet_opens_is_drawn_and_closes_with_escape(self):
        self.machine.set_list("UserAccounts", "Users", [("admin", "Administrator", ""), ("anna", "Anna Berg", "pw")])
        panel = subprocess.Popen([self.quillpanel], env=self.env, stdout=subprocess.PIPE,
                                 stderr=subprocess.STDOUT, text=True)
        self.addCleanup(self.stop, panel)

        # xdotool waits (--sync) until a mapped window has the sheet's title.
        window = self.x("xdotool", "search", "--sync", "--onlyvisible", "--name", "^%s$" % SHEET_TITLE)
        window = window.split()[0]
        self.assertIsNone(panel.poll(), "quillpanel ended before its window was seen")

        shot = os.path.join(self.machine.home, "applet-xvfb.png")
        # The window is drawn once it is mapped; a short wait for the first paint.
        qptest.wait_until(lambda: self.colours(window, shot) > 16, 10, "a drawn sheet in the picture")
        width, height = (int(n) for n in self.x("identify", "-format", "%w %h", shot).split())
        self.assertGreaterEqual(width, MIN_WIDTH)
        self.assertGreaterEqual(height, MIN_HEIGHT)
        if os.environ.get("QP_SHOT_DIR"):
            shutil.copy(shot, os.path.join(os.environ["QP_SHOT_DIR"], "applet-xvfb.png"))

        self.x("xdotool", "windowfocus", "--sync", window)
        self.x("xdotool", "key", "Escape")
        try:
            code = panel.wait(15)
        except subprocess.TimeoutExpired:
            self.fail("Esc did not close the sheet")
        self.assertEqual(code, 0, panel.stdout.read())

    def colours(self, window, shot):
        """Takes the window's picture into `shot`; the number of its colours."""
        self.x("import", "-window", window, shot)
        return int(self.x("identify", "-format", "%k", shot))


if __name__ == "__main__":
    qptest.main()
