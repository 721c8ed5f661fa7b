#!/usr/bin/python3
"""kbvopenai run as a user runs it, against the OpenAI test server of the
peers (tests/peers/openai): a clean environment per run, every run bounded.

Needs KBVOPENAI (the program) and KBV_PEERS_ENV (the peers' env file), as
ctest sets them. Each case uses keys of its own, so that the server's records
of one case are not another's.
"""
import base64
import json
import os
import subprocess
import tempfile
import time
import unittest
import urllib.parse
import urllib.request
import uuid

PROGRAM = os.environ.get("KBVOPENAI", "")
RUN_SECONDS = 30
PNG_1X1 = base64.b64decode("iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAADUlEQVR42mNkYPhfDwAChwGA"
                           "60e6kgAAAABJRU5ErkJggg==")
# Recording devices of our own: no sound card needed.
ASOUND_CONF = """pcm.!default { type plug slave.pcm "cli_silence" }
pcm.cli_silence { type file slave.pcm "null" file "/dev/null" infile "/dev/zero" format "raw" }
"""


class File(str):
    """An argument naming a file of the test's directory, sent as a file part."""


ABSENT = object()

# Arguments -> the request the server must see: method, target, and fields of
# the JSON body or parts of the form (a File part is checked by its file name).
COMMANDS = [
    (["get-models"], "GET", "/v1/models", {}),
    (["get-model", "gpt-4"], "GET", "/v1/models/gpt-4", {}),
    (["create-completion", "text-davinci-003", "Say hi"], "POST", "/v1/completions",
     {"model": "text-davinci-003", "prompt": "Say hi", "stream": ABSENT}),
    (["create-completion", "text-davinci-003", "--", "--not-an-option"], "POST", "/v1/completions",
     {"prompt": "--not-an-option"}),
    (["create-chat-completion", "gpt-3.5-turbo", "Hi \"there\" €"], "POST", "/v1/chat/completions",
     {"model": "gpt-3.5-turbo", "messages": [{"role": "user", "content": "Hi \"there\" €"}]}),
    (["create-chat-completion", "--role=system", "gpt-4", "Be brief"], "POST", "/v1/chat/completions",
     {"messages": [{"role": "system", "content": "Be brief"}]}),
    (["create-edit", "text-davinci-edit-001", "Fix the spelling", "teh cat"], "POST", "/v1/edits",
     {"model": "text-davinci-edit-001", "instruction": "Fix the spelling", "input": "teh cat"}),
    (["create-edit", "text-davinci-edit-001", "Write a poem"], "POST", "/v1/edits",
     {"instruction": "Write a poem", "input": ABSENT}),
    (["create-image", "a red fox"], "POST", "/v1/images/generations", {"prompt": "a red fox"}),
    (["create-image-edit", File("fox.png"), "add a hat"], "POST", "/v1/images/edits",
     {"image": File("fox.png"), "prompt": "add a hat"}),
    (["create-image-variations", File("fox.png")], "POST", "/v1/images/variations", {"image": File("fox.png")}),
    (["create-embeddings", "text-embedding-ada-002", "héllo"], "POST", "/v1/embeddings",
     {"model": "text-embedding-ada-002", "input": "héllo"}),
    (["create-transcription-from-file", "whisper-1", File("speech.wav")], "POST", "/v1/audio/transcriptions",
     {"model": "whisper-1", "file": File("speech.wav")}),
    (["create-transcription", "whisper-1", "100"], "POST", "/v1/audio/transcriptions", {"model": "whisper-1"}),
    (["create-translation-from-file", "whisper-1", File("speech.wav")], "POST", "/v1/audio/translations",
     {"model": "whisper-1", "file": File("speech.wav")}),
    (["create-translation", "whisper-1", "50", "--device", "cli_silence"], "POST", "/v1/audio/translations",
     {"model": "whisper-1"}),
    (["list-files"], "GET", "/v1/files", {}),
    (["upload-file", File("train.jsonl"), "fine-tune"], "POST", "/v1/files",
     {"file": File("train.jsonl"), "purpose": "fine-tune"}),
    (["delete-file", "file-abc123"], "DELETE", "/v1/files/file-abc123", {}),
    (["retrieve-file", "file-abc123"], "GET", "/v1/files/file-abc123", {}),
    (["retrieve-file-content", "file-abc123"], "GET", "/v1/files/file-abc123/content", {}),
    (["create-fine-tune", "file-abc123"], "POST", "/v1/fine-tunes", {"training_file": "file-abc123"}),
    (["list-fine-tunes"], "GET", "/v1/fine-tunes", {}),
    (["retrieve-fine-tune", "ft-abc123"], "GET", "/v1/fine-tunes/ft-abc123", {}),
    (["cancel-fine-tune", "ft-abc123"], "POST", "/v1/fine-tunes/ft-abc123/cancel", {}),
    (["list-fine-tune-events", "ft-abc123"], "GET", "/v1/fine-tunes/ft-abc123/events", {}),
    (["delete-fine-tune-model", "curie:ft-acme"], "DELETE", "/v1/models/curie%3Aft-acme", {}),
    (["create-moderation", "I like cats"], "POST", "/v1/moderations", {"input": "I like cats"}),
]

# Command lines that must not run (exit 2, nothing sent), and what stderr says.
USAGE_ERRORS = [
    ([], "no command"),
    (["get-modelz"], "unknown command 'get-modelz'"),
    (["get-models", "--verbose"], "unknown option '--verbose'"),
    (["-x", "get-models"], "unknown option '-x'"),
    (["get-model"], "get-model takes 1 argument, got 0"),
    (["get-models", "gpt-4"], "get-models takes 0 arguments, got 1"),
    (["create-edit", "m", "i", "input", "more"], "takes at least 2 arguments, got 4"),
    (["create-transcription", "whisper-1", "soon"], "MILLISECONDS"),
    (["create-transcription", "whisper-1", "0"], "MILLISECONDS"),
    (["--max-retries", "two", "get-models"], "--max-retries"),
    (["--max-retries=-1", "get-models"], "--max-retries"),
    (["--timeout=0", "get-models"], "--timeout"),
    (["get-models", "--stream"], "'--stream' does not apply to get-models"),
    (["get-models", "--role", "system"], "'--role' does not apply"),
    (["create-completion", "m", "p", "--device", "hw:0"], "'--device' does not apply"),
    (["get-models", "--stream=yes"], "takes no value"),
    (["get-models", "--log"], "needs a value"),
]


def read_env_file(path):
    with open(path, encoding="utf-8") as f:
        return dict(line.rstrip("\n").split("=", 1) for line in f if "=" in line)


class KbvOpenAITest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not PROGRAM or not os.environ.get("KBV_PEERS_ENV"):
            raise unittest.SkipTest("run through ctest -L peer: needs KBVOPENAI and KBV_PEERS_ENV")
        peers = read_env_file(os.environ["KBV_PEERS_ENV"])
        cls.http = "http://127.0.0.1:" + peers["OPENAI_HTTP_PORT"]
        cls.https = "https://localhost:" + peers["OPENAI_HTTPS_PORT"]
        cls.ca_file = peers["NGINX_CA_FILE"]
        cls.scratch = tempfile.TemporaryDirectory(prefix="kbvopenai-test-")
        cls.dir = cls.scratch.name
        for name, data in [("fox.png", PNG_1X1), ("speech.wav", b"RIFF\x24\0\0\0WAVEfmt "),
                           ("train.jsonl", b'{"prompt":"a","completion":" b"}\n'),
                           ("asound.conf", ASOUND_CONF.encode())]:
            with open(os.path.join(cls.dir, name), "wb") as f:
                f.write(data)

    @classmethod
    def tearDownClass(cls):
        cls.scratch.cleanup()

    # -- helpers

    def new_key(self, case, directive=""):
        return f"cli-{case}-{uuid.uuid4().hex[:16]}" + (f"+{directive}" if directive else "")

    def run_cli(self, *args, key=None, base_url=None, **env):
        """The program with a clean environment: PATH, HOME, our ALSA devices,
        OPENAI_API_KEY and OPENAI_BASE_URL (plain HTTP) unless None, and ENV."""
        environment = {"PATH": "/usr/bin:/bin", "HOME": self.dir, "TMPDIR": self.dir,
                       "ALSA_CONFIG_PATH": "/usr/share/alsa/alsa.conf:" + os.path.join(self.dir, "asound.conf"),
                       "OPENAI_BASE_URL": base_url or self.http + "/v1/", **env}
        if key is not None:
            environment["OPENAI_API_KEY"] = key
        args = [os.path.join(self.dir, a) if isinstance(a, File) else a for a in args]
        return subprocess.run([PROGRAM, *args], env=environment, stdin=subprocess.DEVNULL, capture_output=True,
                              text=True, encoding="utf-8", timeout=RUN_SECONDS)

    def records(self, key):
        url = f"{self.http}/_test/requests?key={urllib.parse.quote(key, safe='')}"
        with urllib.request.urlopen(url, timeout=10) as reply:
            return json.load(reply)

    def only_record(self, key):
        records = self.records(key)
        self.assertEqual(len(records), 1, [r["target"] for r in records])
        return records[0]

    def assert_fields(self, record, fields):
        parts = {p["name"]: p for p in record["parts"] or []}
        for name, expected in fields.items():
            if isinstance(expected, File):
                self.assertEqual(parts[name]["filename"], expected, name)
            elif record["parts"] is not None:
                self.assertEqual(parts[name]["text"], expected, name)
            elif expected is ABSENT:
                self.assertNotIn(name, record["json"])
            else:
                self.assertEqual(record["json"][name], expected, name)

    # -- cases

    def test_every_command_sends_its_request_over_https_and_http(self):
        transports = {"https": lambda: ["--ca-file", self.ca_file, "--base-url", self.https],
                      "http": lambda: []}  # OPENAI_BASE_URL in the SDK form ".../v1/"
        for transport, options in transports.items():
            for args, method, target, fields in COMMANDS:
                with self.subTest(transport=transport, args=args):
                    key = self.new_key("cmd")
                    run = self.run_cli(*options(), *args, key=key)
                    self.assertEqual(run.returncode, 0, run.stderr)
                    self.assertTrue(run.stdout.strip() and run.stdout.endswith("\n"), run.stdout)
                    record = self.only_record(key)
                    self.assertEqual((record["method"], record["target"]), (method, target))
                    self.assertEqual(record["tls"], transport == "https")
                    self.assert_fields(record, fields)

    def test_stream_prints_the_whole_reply(self):
        for args, reply in [(["create-completion", "text-davinci-003", "tell me"], "You wrote: tell me"),
                            (["create-chat-completion", "gpt-4", "hello, world"], "You said: hello, world")]:
            with self.subTest(args=args):
                key = self.new_key("stream")
                run = self.run_cli("--stream", *args, key=key)
                self.assertEqual((run.returncode, run.stdout, run.stderr), (0, reply + "\n", ""))
                self.assertIs(self.only_record(key)["json"]["stream"], True)

    def test_usage_errors_exit_2_and_send_nothing(self):
        for args, message in USAGE_ERRORS:
            with self.subTest(args=args):
                key = self.new_key("usage")
                run = self.run_cli(*args, key=key)
                self.assertEqual(run.returncode, 2, run.stderr)
                self.assertIn(message, run.stderr)
                self.assertIn("Try 'kbvopenai --help'.", run.stderr)
                self.assertEqual(run.stdout, "")
                self.assertEqual(self.records(key), [])

    def test_a_missing_key_is_a_usage_error_and_an_empty_one_is_a_key(self):
        before = self.records_without_key()
        run = self.run_cli("get-models")
        self.assertEqual(run.returncode, 2)
        self.assertIn("OPENAI_API_KEY", run.stderr)
        self.assertIn("--api-key", run.stderr)
        self.assertEqual(self.records_without_key(), before)
        self.assertEqual(self.run_cli("get-models", key="").returncode, 2)  # an empty variable is unset
        run = self.run_cli("--api-key", "", "get-models")
        self.assertEqual(run.returncode, 0, run.stderr)

    def records_without_key(self):
        with urllib.request.urlopen(f"{self.http}/_test/requests?noauth=1", timeout=10) as reply:
            return len(json.load(reply))

    def test_failed_calls_exit_1_without_the_key(self):
        key = self.new_key("denied", "status=401")
        run = self.run_cli("get-models", key=key)
        self.assertEqual(run.returncode, 1)
        self.assertTrue(run.stderr.startswith("kbvopenai: "), run.stderr)
        self.assertIn("401", run.stderr)
        self.assertIn('"invalid_api_key"', run.stderr)  # the error body
        self.assertNotIn(key, run.stderr)
        self.assertEqual(run.stdout, "")

        run = self.run_cli("upload-file", File("missing.jsonl"), "fine-tune", key=self.new_key("nofile"))
        self.assertEqual(run.returncode, 1)
        self.assertIn("missing.jsonl", run.stderr)

    def test_retries_on_429_as_max_retries_allows(self):
        for options, code, count in [([], 0, 3), (["--max-retries", "0"], 1, 1), (["--max-retries=1"], 1, 2)]:
            with self.subTest(options=options):
                key = self.new_key("retry", "fail=429x2")
                run = self.run_cli(*options, "list-files", key=key)
                self.assertEqual(run.returncode, code, run.stderr)
                self.assertEqual(len(self.records(key)), count)

    def test_timeout_ends_a_stalled_call(self):
        started = time.monotonic()
        run = self.run_cli("--timeout", "0.5", "--max-retries", "0", "get-models", key=self.new_key("stall", "stall"))
        self.assertEqual(run.returncode, 1)
        self.assertLess(time.monotonic() - started, 10)

    def test_log_file_holds_the_exchange_but_not_the_key(self):
        log = os.path.join(self.dir, "protocol.log")
        key = self.new_key("log") + "-long-secret-part"
        run = self.run_cli("--log", log, "get-model", "gpt-4", key=key)
        self.assertEqual(run.returncode, 0, run.stderr)
        with open(log, encoding="utf-8", errors="replace") as f:
            text = f.read()
        self.assertIn("/v1/models/gpt-4", text)
        self.assertIn("Authorization: Bearer ****", text)
        self.assertNotIn(key, text)

    def test_organization_from_option_or_environment(self):
        for options, env, expected in [([], {"OPENAI_ORG_ID": "org-env"}, "org-env"),
                                       (["--organization=org-opt"], {"OPENAI_ORG_ID": "org-env"}, "org-opt"),
                                       ([], {}, None)]:
            with self.subTest(options=options, env=env):
                key = self.new_key("org")
                self.assertEqual(self.run_cli(*options, "get-models", key=key, **env).returncode, 0)
                headers = dict(self.only_record(key)["headers"])
                self.assertEqual(headers.get("OpenAI-Organization"), expected)

    def test_help_and_version_never_show_the_key(self):
        key = self.new_key("help")
        program_help = self.run_cli("--help", key=key)
        self.assertEqual(program_help.returncode, 0)
        for args, *_ in COMMANDS:
            self.assertIn("  " + args[0] + " ", program_help.stdout)
        command_help = self.run_cli("create-edit", "-h", "--api-key", key, key=key)
        self.assertEqual(command_help.returncode, 0)
        self.assertIn("Usage: kbvopenai [options] create-edit MODEL INSTRUCTION [INPUT]", command_help.stdout)
        chat_help = self.run_cli("create-chat-completion", "--help").stdout
        self.assertIn("--role ROLE", chat_help)
        self.assertIn("--stream", chat_help)
        version = self.run_cli("--version", "--api-key", key, key=key)
        self.assertEqual(version.returncode, 0)
        self.assertRegex(version.stdout, r"^kbvopenai \d+\.\d+\.\d+\n$")
        for run in (program_help, command_help, version):
            self.assertNotIn(key, run.stdout + run.stderr)
        self.assertEqual(self.records(key), [])


if __name__ == "__main__":
    unittest.main(verbosity=2)
