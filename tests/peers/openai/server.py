#!/usr/bin/python3
"""OpenAI-compatible server for the client's tests (Python standard library
only). It answers the /v1 routes with plausible, deterministic replies and
records every request exactly as it came, for the tests to read back.

usage: server.py HTTP_PORT HTTPS_PORT CERT_FILE KEY_FILE

Plain HTTP on HTTP_PORT and HTTPS (TLS 1.2+, ALPN http/1.1) on HTTPS_PORT, both
on 127.0.0.1, one thread per connection. Logs to stdout.

The API key ("Authorization: Bearer <key>") selects the behaviour: a key
"<name>+<directive>+..." carries directives (status=NNN, fail=NNNxK,
retryafter=S, retrydate, drop=K, stall, hold, cut, streamerror), see
tests/peers/README.md. Counters run per full Authorization value.

Test routes (not recorded, no key needed):
  GET    /_test/health               200 "ok"
  GET    /_test/requests?key=K       the records of "Bearer K" (also ?noauth=1, ?all=1)
  DELETE /_test/requests?key=K       forgets them and resets the key's counter
  GET    /_test/release?key=K        lets a "hold" stream of key K finish
"""
import base64
import email.parser
import email.policy
import email.utils
import hashlib
import http
import http.server
import json
import random
import re
import select
import socket
import ssl
import string
import sys
import threading
import time
import traceback
import urllib.parse

MAX_BODY = 64 << 20
STALL_SECONDS = 30
HOLD_SECONDS = 10
ORG = "org-kbvtest0000000000000000"

SERVER_ERROR = "The server had an error while processing your request."
NO_KEY = ("You didn't provide an API key. You need to provide your API key in an "
          "Authorization header using Bearer auth (i.e. Authorization: Bearer YOUR_KEY), "
          "or as the password field (with blank username) if you're accessing the API "
          "from your browser and are prompted for a username. You can obtain an API key "
          "from https://platform.openai.com/account/api-keys.")
BAD_JSON = ("We could not parse the JSON body of your request. (HINT: This likely means "
            "you aren't using your HTTP library correctly. The OpenAI API expects a JSON "
            "payload, but what was sent was not valid JSON. If you have trouble figuring "
            "out how to fix this, please contact us through our help center at "
            "help.openai.com.)")

# The content of every file (GET /v1/files/{id}/content): JSONL with non-ASCII text.
FILE_CONTENT = ('{"prompt":"héllo €","completion":" ok"}\n' * 2).encode("utf-8")

# A 1x1 transparent PNG, the image of b64_json replies.
PNG_1X1 = ("iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAADUlEQVR42mNkYPhfDwAChwGA"
           "60e6kgAAAABJRU5ErkJggg==")

MODERATION_CATEGORIES = ("hate", "hate/threatening", "self-harm", "sexual",
                         "sexual/minors", "violence", "violence/graphic")
# Words that flag a moderation input, by category.
MODERATION_WORDS = {"hate": "hate", "hate/threatening": "threaten", "self-harm": "self-harm",
                    "sexual": "sexual", "sexual/minors": "minor", "violence": "kill",
                    "violence/graphic": "gore"}

MODELS = [  # id, created, owned_by
    ("gpt-3.5-turbo", 1677610602, "openai"),
    ("gpt-3.5-turbo-0301", 1677649963, "openai"),
    ("gpt-4", 1678604602, "openai"),
    ("text-davinci-003", 1669599635, "openai-internal"),
    ("text-davinci-edit-001", 1649809179, "openai"),
    ("text-embedding-ada-002", 1671217299, "openai-internal"),
    ("text-moderation-004", 1678916532, "openai"),
    ("whisper-1", 1677532384, "openai-internal"),
    ("dall-e-2", 1698798177, "system"),
    ("davinci", 1649359874, "openai"),
    ("curie", 1649359874, "openai"),
    ("curie:ft-kbvtest-2023-03-01-12-00-00", 1677672000, "user-kbvtest"),
]

LOCK = threading.Lock()
RECORDS = []      # Record, in arrival order
COUNTS = {}       # Authorization value (None: none) -> requests since start or forget
RELEASES = {}     # key -> threading.Event (hold)
FILES = {}        # Authorization value -> [file object], the uploads
SEQ = [0]


def log(message):
    print(time.strftime("%H:%M:%S ") + message, flush=True)


def now():
    return int(time.time())


_rand = random.Random()
_ALNUM = string.ascii_letters + string.digits


def new_id(prefix, n=29):
    with LOCK:
        return prefix + "".join(_rand.choices(_ALNUM, k=n))


def tokens(text):
    """A rough token count."""
    return len(re.findall(r"\w+|[^\w\s]", text))


def as_text(value):
    if value is None:
        return ""
    if isinstance(value, str):
        return value
    if isinstance(value, list):  # content parts [{"type":"text","text":...}]
        return "".join(p.get("text", "") if isinstance(p, dict) else as_text(p) for p in value)
    return json.dumps(value, ensure_ascii=False)


def pieces(text):
    """TEXT in stream deltas (word with its trailing blanks), at least 4; they
    join to TEXT."""
    out = re.findall(r"\s+|\S+\s*", text)
    if len(out) < 4:
        out = [text[i:i + 3] for i in range(0, len(text), 3)]
    while len(out) < 4:
        out.append("")
    return out


def pretty(obj):
    return json.dumps(obj, ensure_ascii=False, indent=2).encode("utf-8") + b"\n"


def compact(obj):
    return json.dumps(obj, ensure_ascii=False, separators=(",", ":")).encode("utf-8")


def error_obj(message, type_="invalid_request_error", param=None, code=None):
    return {"error": {"message": message, "type": type_, "param": param, "code": code}}


def status_error(status, key):
    if status == 401:
        shown = key if len(key) <= 8 else key[:3] + "*" * 4 + key[-4:]
        return error_obj(f"Incorrect API key provided: {shown}. You can find your API key at "
                         "https://platform.openai.com/account/api-keys.", code="invalid_api_key")
    if status == 429:
        return error_obj(f"Rate limit reached for default-gpt-3.5-turbo in organization {ORG} "
                         "on requests per min. Limit: 3 / min. Please try again in 20s.",
                         "requests", code="rate_limit_exceeded")
    if status >= 500:
        return error_obj(SERVER_ERROR, "server_error")
    try:
        phrase = http.HTTPStatus(status).phrase
    except ValueError:
        phrase = f"Error {status}"
    return error_obj(phrase)


def strict_json(body):
    """The parsed BODY (UTF-8, no NaN/Infinity), or raises ValueError."""
    def no_constant(name):
        raise ValueError(f"{name} is not JSON")
    return json.loads(body.decode("utf-8"), parse_constant=no_constant)


# ---------------------------------------------------------------- multipart

def _raw(value):
    """A header value or payload of the email parser as the bytes sent."""
    return value.encode("ascii", "surrogateescape")


def _utf8(data):
    return data.decode("utf-8", "replace")


def parse_multipart(content_type, body):
    """(parts, defect names) of a multipart BODY; each part a dict as in the
    records plus "_data", its payload decoded by its transfer encoding."""
    msg = email.parser.BytesParser(policy=email.policy.HTTP).parsebytes(
        b"Content-Type: " + content_type.encode("utf-8") + b"\r\n\r\n" + body)
    defects = [type(d).__name__ for d in msg.defects]
    parts = []
    if msg.is_multipart():
        for p in msg.get_payload():
            defects += [type(d).__name__ for d in p.defects]
            payload = p._payload
            raw = _raw(payload) if isinstance(payload, str) else p.as_bytes()
            try:
                data = p.get_payload(decode=True)
            except Exception:  # a nested multipart or a bad encoding
                data = None
            if data is None:
                data = raw
            name = p.get_param("name", header="content-disposition")
            name = email.utils.collapse_rfc2231_value(name) if name is not None else None
            parts.append({
                "name": name,
                "filename": p.get_filename(),
                "content_type": p.get_content_type() if "content-type" in p else None,
                "charset": p.get_param("charset") if "content-type" in p else None,
                "transfer_encoding": p.get("content-transfer-encoding"),
                "headers": [[n, _utf8(_raw(v))] for n, v in p.raw_items()],
                "data_b64": base64.b64encode(raw).decode("ascii"),
                "text": _utf8(raw),
                "_data": data,
            })
    return parts, defects


# ---------------------------------------------------------------- records

class Record:
    def __init__(self, handler, target, headers, body, body_error):
        with LOCK:
            SEQ[0] += 1
            self.seq = SEQ[0]
        self.time = time.time()
        self.method = handler.command
        self.target = target
        self.version = handler.request_version
        self.headers = headers
        self.body = body
        self.body_error = body_error
        self.tls = isinstance(handler.connection, ssl.SSLSocket)
        self.alpn = handler.connection.selected_alpn_protocol() if self.tls else None
        self.auth = header(headers, "authorization")

    def to_json(self):
        try:
            parsed = strict_json(self.body) if self.body else None
        except ValueError:
            parsed = None
        parts, defects = None, []
        ctype = header(self.headers, "content-type")
        if ctype is not None and ctype.strip().lower().startswith("multipart/"):
            try:
                parts, defects = parse_multipart(ctype, self.body)
            except Exception as e:  # never lose the record over it
                parts, defects = [], [f"ParseError: {e}"]
            for p in parts:
                del p["_data"]
        return {
            "seq": self.seq, "time": self.time, "tls": self.tls, "alpn": self.alpn,
            "method": self.method, "target": self.target, "version": self.version,
            "headers": self.headers,
            "body_b64": base64.b64encode(self.body).decode("ascii"),
            "body": _utf8(self.body), "body_error": self.body_error,
            "json": parsed, "parts": parts, "multipart_defects": defects,
        }


def header(headers, name):
    """The first value of header NAME in [[name, value], ...], or None."""
    for n, v in headers:
        if n.lower() == name:
            return v
    return None


def bearer_key(auth):
    """The key of an Authorization value "Bearer <key>", else None."""
    if auth is not None and auth.startswith("Bearer "):
        return auth[len("Bearer "):]
    return None


def directives(key):
    out = {}
    for d in key.split("+")[1:]:
        name, _, value = d.partition("=")
        out[name] = value
    return out


def release_event(key):
    with LOCK:
        return RELEASES.setdefault(key, threading.Event())


# ---------------------------------------------------------------- replies

def model_obj(model_id):
    known = {m[0]: m for m in MODELS}
    _, created, owner = known.get(model_id, (model_id, 1677610602,
                                             "user-kbvtest" if ":ft-" in model_id else "openai"))
    return {
        "id": model_id, "object": "model", "created": created, "owned_by": owner,
        "permission": [{
            "id": "modelperm-" + hashlib.sha1(model_id.encode()).hexdigest()[:24],
            "object": "model_permission", "created": created + 86400,
            "allow_create_engine": False, "allow_sampling": True, "allow_logprobs": True,
            "allow_search_indices": False, "allow_view": True, "allow_fine_tuning": False,
            "organization": "*", "group": None, "is_blocking": False,
        }],
        "root": model_id, "parent": None,
    }


def file_obj(file_id, filename="train.jsonl", size=len(FILE_CONTENT), purpose="fine-tune",
             created=1677672000, status="processed"):
    return {"id": file_id, "object": "file", "bytes": size, "created_at": created,
            "filename": filename, "purpose": purpose, "status": status, "status_details": None}


def fine_tune_event(message, created, level="info"):
    return {"object": "fine-tune-event", "created_at": created, "level": level,
            "message": message}


def fine_tune_events(ft_id, status, created=1677672000):
    events = [fine_tune_event(f"Created fine-tune: {ft_id}", created)]
    if status in ("succeeded", "cancelled"):
        events.append(fine_tune_event("Fine-tune costs $0.01", created + 10))
        events.append(fine_tune_event("Fine-tune enqueued. Queue number: 0", created + 11))
        events.append(fine_tune_event("Fine-tune started", created + 60))
    if status == "succeeded":
        events.append(fine_tune_event("Completed epoch 1/4", created + 120))
        events.append(fine_tune_event("Uploaded model: curie:ft-kbvtest-2023-03-01-12-00-00",
                                      created + 180))
        events.append(fine_tune_event("Fine-tune succeeded", created + 181))
    if status == "cancelled":
        events.append(fine_tune_event("Fine-tune cancelled", now()))
    return events


def fine_tune_obj(ft_id, status="succeeded", model="curie", training_file="file-train000000000000000000",
                  validation_file=None, hyper=None, created=1677672000):
    hyper = hyper or {}
    done = status == "succeeded"
    return {
        "id": ft_id, "object": "fine-tune", "model": model, "created_at": created,
        "events": fine_tune_events(ft_id, status, created),
        "fine_tuned_model": f"{model}:ft-kbvtest-2023-03-01-12-00-00" if done else None,
        "hyperparams": {
            "batch_size": hyper.get("batch_size") or 4,
            "learning_rate_multiplier": hyper.get("learning_rate_multiplier") or 0.1,
            "n_epochs": hyper.get("n_epochs") or 4,
            "prompt_loss_weight": hyper.get("prompt_loss_weight") or 0.01,
        },
        "organization_id": ORG,
        "result_files": [file_obj("file-result00000000000000000", "compiled_results.csv",
                                  410, "fine-tune-results", created + 181)] if done else [],
        "status": status,
        "training_files": [file_obj(training_file)],
        "validation_files": [file_obj(validation_file)] if validation_file else [],
        "updated_at": created + 181 if done else now(),
    }


def embedding(text):
    digest = hashlib.sha256(text.encode("utf-8")).digest()
    return [round((b - 127.5) / 1275.0, 9) for b in digest[:8]]


def moderation_result(text):
    low = text.lower()
    cats = {c: MODERATION_WORDS[c] in low for c in MODERATION_CATEGORIES}
    scores = {}
    for i, c in enumerate(MODERATION_CATEGORIES):
        base = int.from_bytes(hashlib.sha1((c + text).encode("utf-8")).digest()[:2], "big")
        scores[c] = 0.9 + base / 655360.0 if cats[c] else round(base / 65535.0 * 1e-4 + 1e-6, 12)
    return {"categories": cats, "category_scores": scores, "flagged": any(cats.values())}


# ---------------------------------------------------------------- handler

class _Tee:
    """The lines a head parser reads from a file."""

    def __init__(self, f):
        self.f, self.lines = f, []

    def readline(self, *args):
        line = self.f.readline(*args)
        self.lines.append(line)
        return line


class BodyError(Exception):
    def __init__(self, status, message):
        super().__init__(message)
        self.status = status


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    timeout = 60  # an idle keep-alive connection
    abrupt = False  # close a TLS connection without close_notify

    def version_string(self):
        return "kbv-openai-test/1"

    # -- head and body

    def parse_request(self):
        tee = _Tee(self.rfile)
        real, self.rfile = self.rfile, tee
        try:
            return super().parse_request()
        finally:
            self.rfile = real
            self.raw_header_lines = tee.lines

    def raw_headers(self):
        out = []
        for line in self.raw_header_lines:
            if line in (b"\r\n", b"\n", b""):
                break
            text = _utf8(line.rstrip(b"\r\n"))
            if text[:1] in (" ", "\t") and out:  # obsolete line folding
                out[-1][1] += "\r\n" + text
                continue
            name, _, value = text.partition(":")
            out.append([name, value.lstrip(" \t")])
        return out

    def read_exact(self, n):
        data = self.rfile.read(n)
        if len(data) != n:
            raise BodyError(400, "The request body ended early.")
        return data

    def read_body(self, headers):
        te = [v for n, v in headers if n.lower() == "transfer-encoding"]
        if te:
            if te[-1].strip().lower().split(",")[-1].strip() != "chunked":
                raise BodyError(400, f"Unsupported Transfer-Encoding: {te[-1]}")
            return self.read_chunked()
        lengths = {v.strip() for n, v in headers if n.lower() == "content-length"}
        if not lengths:
            return b""
        if len(lengths) > 1 or not re.fullmatch(r"[0-9]+", next(iter(lengths))):
            raise BodyError(400, "Invalid Content-Length header.")
        n = int(next(iter(lengths)))
        if n > MAX_BODY:
            raise BodyError(413, f"Request too large: {n} bytes, at most {MAX_BODY} allowed.")
        return self.read_exact(n)

    def read_chunked(self):
        body = bytearray()
        while True:
            line = self.rfile.readline(4096)
            size = line.split(b";", 1)[0].strip()
            if not line.endswith(b"\n") or not re.fullmatch(rb"[0-9A-Fa-f]+", size):
                raise BodyError(400, "Invalid chunked request body.")
            size = int(size, 16)
            if size == 0:
                break
            if len(body) + size > MAX_BODY:
                raise BodyError(413, f"Request too large: more than {MAX_BODY} bytes.")
            body += self.read_exact(size)
            if self.rfile.readline(4096) not in (b"\r\n", b"\n"):
                raise BodyError(400, "Invalid chunked request body.")
        for _ in range(1000):  # trailer fields
            line = self.rfile.readline(65537)
            if line in (b"\r\n", b"\n"):
                return bytes(body)
            if not line.endswith(b"\n"):
                break
        raise BodyError(400, "Invalid chunked request body.")

    # -- writing

    def http10(self):
        return self.request_version == "HTTP/1.0"

    def common_headers(self):
        self.send_header("openai-organization", "kbvtest")
        self.send_header("openai-processing-ms", "12")
        self.send_header("openai-version", "2020-10-01")
        self.send_header("x-request-id", "%032x" % _rand.getrandbits(128))

    def reply(self, status, body, ctype="application/json", headers=()):
        """A whole reply: Content-Length, or close-delimited to HTTP/1.0."""
        if isinstance(body, (dict, list)):
            body = pretty(body)
        self.send_response(status)
        self.send_header("Content-Type", ctype)
        for n, v in headers:
            self.send_header(n, v)
        self.common_headers()
        if not self.http10():
            self.send_header("Content-Length", str(len(body)))
        if self.close_connection:
            self.send_header("Connection", "close")
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def reply_error(self, status, error, headers=()):
        self.reply(status, error, headers=headers)

    def start_stream(self):
        self.send_response(200)
        self.send_header("Content-Type", "text/event-stream")
        self.send_header("Cache-Control", "no-cache")
        self.common_headers()
        if self.http10():
            self.send_header("Connection", "close")
        else:
            self.send_header("Transfer-Encoding", "chunked")
            if self.close_connection:
                self.send_header("Connection", "close")
        self.end_headers()

    def send_bytes(self, data):
        """DATA as sent (a chunk of its own in HTTP/1.1), flushed."""
        if not data:
            return
        if self.http10():
            self.wfile.write(data)
        else:
            self.wfile.write(b"%x\r\n%s\r\n" % (len(data), data))
        self.wfile.flush()

    def end_stream(self):
        if not self.http10():
            self.wfile.write(b"0\r\n\r\n")
            self.wfile.flush()

    def stream(self, events, opts, key, deltas_first):
        """EVENTS (data lines of JSON or [DONE]) as an event stream; the last 3
        are the last content delta, the final chunk and [DONE]. DELTAS_FIRST:
        index of the first content delta."""
        data = [b"data: " + e + b"\n\n" for e in events]
        self.start_stream()
        if "cut" in opts:
            for d in data[:2]:
                self.send_bytes(d)
            self.send_bytes(data[2][:len(data[2]) // 2])
            self.close_connection = True
            self.abrupt = True
            return
        if "streamerror" in opts:
            for d in data[:deltas_first + 2]:
                self.send_bytes(d)
            self.send_bytes(b"data: " + compact(error_obj(SERVER_ERROR, "server_error")) + b"\n\n")
            self.end_stream()
            self.close_connection = True
            return
        if "hold" in opts:
            for d in data[:-3]:
                self.send_bytes(d)
            event = release_event(key)
            released = event.wait(HOLD_SECONDS)
            event.clear()
            log(f"hold of {key!r} {'released' if released else 'timed out'}")
            data = data[-3:]
        for d in data:
            self.send_bytes(d)
        self.end_stream()

    # -- dispatch

    def do_GET(self):
        self.dispatch()

    do_POST = do_PUT = do_DELETE = do_PATCH = do_HEAD = do_OPTIONS = do_GET

    def log_message(self, format, *args):
        log(f"{self.client_address[1]} {format % args}")

    def dispatch(self):
        if self.http10():
            self.close_connection = True
        try:
            self.serve()
        except OSError as e:  # also TimeoutError, ssl.SSLError
            log(f"{self.client_address[1]} connection lost: {e!r}")
            self.close_connection = True
            self.abrupt = True
        except Exception:
            log(f"{self.client_address[1]} failed:\n{traceback.format_exc()}")
            self.close_connection = True
            self.abrupt = True

    def linger(self):
        """Closing with unread request bytes would reset the connection and
        may destroy the reply: stop writing, read what still comes (bounded)."""
        self.wfile.flush()
        try:
            self.connection.shutdown(socket.SHUT_WR)
            self.connection.settimeout(1)
            deadline = time.monotonic() + 5
            while time.monotonic() < deadline and self.connection.recv(65536):
                pass
        except OSError:
            pass

    def serve(self):
        raw_target = self.requestline.split()[1]
        target = _utf8(raw_target.encode("latin-1"))
        path, _, query = target.partition("?")
        headers = self.raw_headers()
        if path.startswith("/_test/"):
            try:
                self.read_body(headers)
            except BodyError as e:
                self.close_connection = True
                return self.reply(e.status, str(e).encode(), "text/plain")
            return self.test_route(path, test_query(query))
        body, body_error = b"", None
        try:
            body = self.read_body(headers)
        except BodyError as e:
            body_error = e
        rec = Record(self, target, headers, body, str(body_error) if body_error else None)
        with LOCK:
            RECORDS.append(rec)
            n = COUNTS[rec.auth] = COUNTS.get(rec.auth, 0) + 1
        if body_error:
            self.close_connection = True
            self.reply_error(body_error.status, error_obj(str(body_error)))
            return self.linger()

        key = bearer_key(rec.auth)
        if key is None:
            return self.reply_error(401, error_obj(NO_KEY))
        opts = directives(key)
        if "drop" in opts and n <= int(opts["drop"] or 0):
            log(f"drop {n} of {key!r}")
            self.close_connection = True
            return
        if "stall" in opts:
            log(f"stall {key!r}")
            select.select([self.connection], [], [], STALL_SECONDS)
            self.close_connection = True
            return
        if re.fullmatch(r"[0-9]{3}", opts.get("status", "")):
            return self.fail(int(opts["status"]), key, opts, retry_default=None)
        m = re.fullmatch(r"([0-9]{3})x([0-9]+)", opts.get("fail", ""))
        if m and n <= int(m.group(2)):
            status = int(m.group(1))
            return self.fail(status, key, opts, retry_default="0" if status == 429 else None)
        self.api_route(path, query, body, rec, key, opts)

    def fail(self, status, key, opts, retry_default):
        headers = []
        if "retryafter" in opts:
            headers.append(("Retry-After", opts["retryafter"]))
        elif "retrydate" in opts:
            headers.append(("Retry-After", email.utils.formatdate(usegmt=True)))
        elif retry_default is not None:
            headers.append(("Retry-After", retry_default))
        if status == 429:
            headers += [("x-ratelimit-limit-requests", "3"), ("x-ratelimit-remaining-requests", "0"),
                        ("x-ratelimit-reset-requests", "20s")]
        self.reply_error(status, status_error(status, key), headers)

    # -- test routes

    def test_route(self, path, q):
        key = q.get("key", [None])[0]
        if path == "/_test/health" and self.command == "GET":
            return self.reply(200, b"ok", "text/plain")
        if path == "/_test/release" and self.command == "GET" and key is not None:
            release_event(key).set()
            return self.reply(200, b"released", "text/plain")
        if path == "/_test/requests" and self.command in ("GET", "DELETE"):
            if key is not None:
                def match(r): return r.auth == "Bearer " + key
                auth = "Bearer " + key
            elif q.get("noauth", ["0"])[0] == "1":
                def match(r): return r.auth is None
                auth = None
            elif q.get("all", ["0"])[0] == "1" and self.command == "GET":
                def match(r): return True
                auth = None
            else:
                return self.reply(400, b"key=, noauth=1 or all=1 required", "text/plain")
            with LOCK:
                chosen = [r for r in RECORDS if match(r)]
                if self.command == "DELETE":
                    RECORDS[:] = [r for r in RECORDS if not match(r)]
                    COUNTS.pop(auth, None)
                    FILES.pop(auth, None)
            if self.command == "DELETE":
                return self.reply(200, {"deleted": len(chosen)})
            return self.reply(200, json.dumps([r.to_json() for r in chosen],
                                              ensure_ascii=False).encode("utf-8"))
        return self.reply(404, b"unknown test route", "text/plain")

    # -- API routes

    def api_route(self, path, query, body, rec, key, opts):
        segs = path.split("/")
        if segs[:2] != ["", "v1"] or len(segs) < 3:
            return self.not_found(path)
        segs = [urllib.parse.unquote(s, errors="replace") for s in segs[2:]]
        m = self.command
        n = len(segs)
        first = segs[0]
        ident = segs[1] if n > 1 else None
        if n > 1 and ident == "":
            return self.not_found(path)
        table = {
            ("GET", "models", 1): lambda: self.models(),
            ("GET", "models", 2): lambda: self.reply(200, model_obj(ident)),
            ("DELETE", "models", 2): lambda: self.reply(200, {"id": ident, "object": "model",
                                                             "deleted": True}),
            ("POST", "completions", 1): "json",
            ("POST", "chat", 2): "json",
            ("POST", "edits", 1): "json",
            ("POST", "images", 2): "images",
            ("POST", "embeddings", 1): "json",
            ("POST", "moderations", 1): "json",
            ("POST", "audio", 2): "form",
            ("GET", "files", 1): lambda: self.files_list(rec),
            ("POST", "files", 1): "form",
            ("GET", "files", 2): lambda: self.file_get(ident, rec),
            ("DELETE", "files", 2): lambda: self.file_delete(ident, rec),
            ("GET", "files", 3): "content",
            ("POST", "fine-tunes", 1): "json",
            ("GET", "fine-tunes", 1): lambda: self.reply(200, {"object": "list", "data": [
                fine_tune_obj("ft-AF1WoRqd3aJAHsqc9NY7iL8F"),
                fine_tune_obj("ft-xhrpBbvVUzYGo8oUO1FY4nI7", status="pending")]}),
            ("GET", "fine-tunes", 2): lambda: self.reply(200, fine_tune_obj(ident)),
            ("POST", "fine-tunes", 3): "cancel",
            ("GET", "fine-tunes", 3): "events",
        }
        route = table.get((m, first, n))
        if route is None:
            return self.not_found(path)
        if callable(route):
            return route()
        if route == "json":
            if (first, n) == ("chat", 2) and segs[1] != "completions":
                return self.not_found(path)
            try:
                req = strict_json(body)
            except ValueError:
                return self.reply_error(400, error_obj(BAD_JSON))
            if not isinstance(req, dict):
                return self.reply_error(400, error_obj(
                    f"{json.dumps(req)[:80]} is not of type 'object'"))
            handler = {"completions": self.completions, "chat": self.chat, "edits": self.edits,
                       "embeddings": self.embeddings, "moderations": self.moderations,
                       "fine-tunes": self.fine_tune_create}[first]
            return handler(req, key, opts)
        if route == "images":
            if segs[1] == "generations":
                try:
                    req = strict_json(body)
                except ValueError:
                    return self.reply_error(400, error_obj(BAD_JSON))
                if not isinstance(req, dict):
                    return self.reply_error(400, error_obj("The body must be a JSON object."))
                return self.images(req.get("n"), req.get("response_format"))
            if segs[1] not in ("edits", "variations"):
                return self.not_found(path)
            form = self.form(rec, "image")
            if form is not None:
                self.images(form_text(form, "n"), form_text(form, "response_format"))
            return
        if route == "form":
            if first == "audio" and segs[1] not in ("transcriptions", "translations"):
                return self.not_found(path)
            form = self.form(rec, "file")
            if form is None:
                return
            if first == "files":
                return self.file_upload(form, rec)
            return self.audio(segs[1], form)
        if route == "content":
            if segs[2] != "content":
                return self.not_found(path)
            return self.reply(200, FILE_CONTENT, "application/octet-stream",
                              [("Content-Disposition", 'attachment; filename="train.jsonl"')])
        if route == "cancel":
            if segs[2] != "cancel":
                return self.not_found(path)
            return self.reply(200, fine_tune_obj(ident, status="cancelled"))
        if route == "events":
            if segs[2] != "events":
                return self.not_found(path)
            events = fine_tune_events(ident, "succeeded")
            q = urllib.parse.parse_qs(query)
            if q.get("stream", [""])[0] == "true":
                self.start_stream()
                for e in events:
                    self.send_bytes(b"data: " + compact(e) + b"\n\n")
                self.send_bytes(b"data: [DONE]\n\n")
                return self.end_stream()
            return self.reply(200, {"object": "list", "data": events})
        return self.not_found(path)

    def not_found(self, path):
        self.reply_error(404, error_obj(f"Invalid URL ({self.command} {path})"))

    def form(self, rec, file_field):
        """The parts of a multipart/form-data request needing FILE_FIELD, or
        None after an error reply."""
        ctype = header(rec.headers, "content-type") or ""
        if not ctype.strip().lower().startswith("multipart/form-data"):
            self.reply_error(400, error_obj(
                f"Invalid Content-Type header ({ctype or 'none'}), expected multipart/form-data. "
                "(HINT: If you're using curl, you can pass -H 'Content-Type: multipart/form-data')"))
            return None
        parts, _ = parse_multipart(ctype, rec.body)
        if not any(p["name"] == file_field and p["filename"] is not None for p in parts):
            self.reply_error(400, error_obj(f"'{file_field}' is a required property",
                                            param=file_field))
            return None
        return parts

    # -- the API

    def models(self):
        self.reply(200, {"object": "list", "data": [model_obj(m[0]) for m in MODELS]})

    def completions(self, req, key, opts):
        model = as_text(req.get("model"))
        prompts = req.get("prompt", "")
        if not (isinstance(prompts, list) and prompts and all(isinstance(p, str) for p in prompts)):
            prompts = [prompts]
        texts = ["You wrote: " + as_text(p) for p in prompts]
        if req.get("stream") is True:
            cid, created = new_id("cmpl-"), now()

            def chunk(text, finish):
                return compact({"id": cid, "object": "text_completion", "created": created,
                                "model": model, "choices": [{"text": text, "index": 0,
                                                             "logprobs": None,
                                                             "finish_reason": finish}]})
            events = [chunk(p, None) for p in pieces(texts[0])]
            events += [chunk("", "stop"), b"[DONE]"]
            return self.stream(events, opts, key, 0)
        n = count(req.get("n"))
        choices = [{"text": t, "index": i * n + j, "logprobs": None, "finish_reason": "stop"}
                   for i, t in enumerate(texts) for j in range(n)]
        pt = sum(tokens(as_text(p)) for p in prompts)
        ct = sum(tokens(c["text"]) for c in choices)
        self.reply(200, {"id": new_id("cmpl-"), "object": "text_completion", "created": now(),
                         "model": model, "choices": choices,
                         "usage": {"prompt_tokens": pt, "completion_tokens": ct,
                                   "total_tokens": pt + ct}})

    def chat(self, req, key, opts):
        model = as_text(req.get("model"))
        messages = req.get("messages")
        messages = messages if isinstance(messages, list) else []
        last = messages[-1] if messages and isinstance(messages[-1], dict) else {}
        text = "You said: " + as_text(last.get("content"))
        if req.get("stream") is True:
            cid, created = new_id("chatcmpl-"), now()

            def chunk(delta, finish):
                return compact({"id": cid, "object": "chat.completion.chunk", "created": created,
                                "model": model, "choices": [{"index": 0, "delta": delta,
                                                             "finish_reason": finish}]})
            events = [chunk({"role": "assistant"}, None)]
            events += [chunk({"content": p}, None) for p in pieces(text)]
            events += [chunk({}, "stop"), b"[DONE]"]
            return self.stream(events, opts, key, 1)
        n = count(req.get("n"))
        pt = sum(tokens(as_text(m.get("content"))) + 4 for m in messages if isinstance(m, dict)) + 3
        ct = tokens(text) * n
        self.reply(200, {
            "id": new_id("chatcmpl-"), "object": "chat.completion", "created": now(),
            "model": model,
            "usage": {"prompt_tokens": pt, "completion_tokens": ct, "total_tokens": pt + ct},
            "choices": [{"message": {"role": "assistant", "content": text},
                         "finish_reason": "stop", "index": i} for i in range(n)]})

    def edits(self, req, key, opts):
        source = as_text(req.get("input"))
        text = source.upper()
        n = count(req.get("n"))
        pt = tokens(source) + tokens(as_text(req.get("instruction")))
        ct = tokens(text) * n
        self.reply(200, {
            "object": "edit", "created": now(),
            "choices": [{"text": text, "index": i} for i in range(n)],
            "usage": {"prompt_tokens": pt, "completion_tokens": ct, "total_tokens": pt + ct}})

    def embeddings(self, req, key, opts):
        inputs = req.get("input", "")
        if not (isinstance(inputs, list) and inputs and not all(isinstance(x, int) for x in inputs)):
            inputs = [inputs]
        texts = [as_text(x) for x in inputs]
        pt = sum(tokens(t) for t in texts)
        self.reply(200, {
            "object": "list", "model": as_text(req.get("model")),
            "data": [{"object": "embedding", "index": i, "embedding": embedding(t)}
                     for i, t in enumerate(texts)],
            "usage": {"prompt_tokens": pt, "total_tokens": pt}})

    def moderations(self, req, key, opts):
        inputs = req.get("input", "")
        inputs = inputs if isinstance(inputs, list) and inputs else [inputs]
        self.reply(200, {"id": new_id("modr-"),
                         "model": as_text(req.get("model")) or "text-moderation-004",
                         "results": [moderation_result(as_text(x)) for x in inputs]})

    def images(self, n, response_format):
        n = count(n)
        if response_format == "b64_json":
            data = [{"b64_json": PNG_1X1} for _ in range(n)]
        else:
            data = [{"url": f"https://example.invalid/img-{i + 1}.png"} for i in range(n)]
        self.reply(200, {"created": now(), "data": data})

    def audio(self, kind, form):
        f = next(p for p in form if p["name"] == "file" and p["filename"] is not None)
        verb = "Transcribed" if kind == "transcriptions" else "Translated"
        text = f"{verb} {len(f['_data'])} bytes from {f['filename']}."
        language = form_text(form, "language")
        if language:
            text += f" Language: {language}."
        fmt = form_text(form, "response_format") or "json"
        if fmt == "text":
            return self.reply(200, (text + "\n").encode("utf-8"), "text/plain; charset=utf-8")
        if fmt in ("srt", "vtt"):
            head = "WEBVTT\n\n" if fmt == "vtt" else "1\n"
            sep = "." if fmt == "vtt" else ","
            body = f"{head}00:00:00{sep}000 --> 00:00:02{sep}000\n{text}\n\n"
            return self.reply(200, body.encode("utf-8"), "text/plain; charset=utf-8")
        if fmt == "verbose_json":
            return self.reply(200, {"task": kind[:-1].replace("transcription", "transcribe")
                                    .replace("translation", "translate"),
                                    "language": language or "english", "duration": 2.0,
                                    "segments": [], "text": text})
        self.reply(200, {"text": text})

    def file_upload(self, form, rec):
        f = next(p for p in form if p["name"] == "file" and p["filename"] is not None)
        obj = file_obj(new_id("file-", 24), f["filename"], len(f["_data"]),
                       form_text(form, "purpose") or "", now(), "uploaded")
        with LOCK:
            FILES.setdefault(rec.auth, []).append(obj)
        self.reply(200, obj)

    def files_list(self, rec):
        with LOCK:
            mine = list(FILES.get(rec.auth, []))
        self.reply(200, {"object": "list",
                         "data": [file_obj("file-XjGxS3KTG0uNmNOK362iJua3")] + mine})

    def file_get(self, file_id, rec):
        with LOCK:
            mine = [f for f in FILES.get(rec.auth, []) if f["id"] == file_id]
        self.reply(200, mine[0] if mine else file_obj(file_id))

    def file_delete(self, file_id, rec):
        with LOCK:
            if rec.auth in FILES:
                FILES[rec.auth] = [f for f in FILES[rec.auth] if f["id"] != file_id]
        self.reply(200, {"id": file_id, "object": "file", "deleted": True})

    def fine_tune_create(self, req, key, opts):
        self.reply(200, fine_tune_obj(
            new_id("ft-", 24), status="pending", model=as_text(req.get("model")) or "curie",
            training_file=as_text(req.get("training_file")),
            validation_file=as_text(req.get("validation_file")) or None,
            hyper={k: req.get(k) for k in ("batch_size", "learning_rate_multiplier",
                                           "n_epochs", "prompt_loss_weight")},
            created=now()))


def test_query(query):
    """The parameters of a test route's query, each a list of values,
    percent-decoded; "+" stays "+" (a key's directive separator)."""
    out = {}
    for field in query.split("&"):
        if field:
            name, _, value = field.partition("=")
            out.setdefault(urllib.parse.unquote(name), []).append(urllib.parse.unquote(value))
    return out


def count(n):
    """A request's "n": 1 to 10."""
    try:
        return max(1, min(10, int(n)))
    except (TypeError, ValueError):
        return 1


def form_text(parts, name):
    for p in parts:
        if p["name"] == name and p["filename"] is None:
            return _utf8(p["_data"])
    return None


# ---------------------------------------------------------------- servers

class Server(http.server.ThreadingHTTPServer):
    request_queue_size = 128
    daemon_threads = True

    def handle_error(self, request, client_address):
        log(f"{client_address[1]} error: {sys.exc_info()[1]!r}")


class TLSServer(Server):
    """The handshake runs in the connection's thread, not in accept."""

    def __init__(self, address, context):
        self.context = context
        super().__init__(address, Handler)

    def finish_request(self, request, client_address):
        request.settimeout(10)
        try:
            conn = self.context.wrap_socket(request, server_side=True)
        except (OSError, ValueError) as e:
            log(f"{client_address[1]} TLS handshake failed: {e!r}")
            return
        handler = None
        try:
            handler = self.RequestHandlerClass(conn, client_address, self)
        finally:
            if handler is not None and not handler.abrupt:
                try:  # close_notify; the peer's is not awaited
                    conn.settimeout(0)
                    conn.unwrap()
                except (OSError, ValueError):
                    pass
            try:
                conn.shutdown(socket.SHUT_WR)
            except OSError:
                pass
            conn.close()


def main():
    if len(sys.argv) != 5:
        sys.exit("usage: server.py HTTP_PORT HTTPS_PORT CERT_FILE KEY_FILE")
    http_port, https_port, cert, key = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], sys.argv[4]
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.minimum_version = ssl.TLSVersion.TLSv1_2
    context.load_cert_chain(cert, key)
    context.set_alpn_protocols(["http/1.1"])
    # HTTPS first: once the HTTP port answers, both listen.
    tls = TLSServer(("127.0.0.1", https_port), context)
    plain = Server(("127.0.0.1", http_port), Handler)
    threading.Thread(target=tls.serve_forever, daemon=True).start()
    log(f"listening: http://127.0.0.1:{http_port} https://127.0.0.1:{https_port}")
    plain.serve_forever()


if __name__ == "__main__":
    main()
