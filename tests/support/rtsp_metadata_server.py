#!/usr/bin/python3
"""A camera for the tests: GStreamer's RTSP server on 127.0.0.1 serving one
metadata stream ("m=application", rtpmap VND.ONVIF.METADATA/90000) whose RTP
packets come from an appsrc, with optional Basic or Digest authentication.
GStreamer's own session sends the RTCP sender reports and reads our answers.

Prints "PORT <n>" once it listens (port 0 asks the system for a free one),
then one line per client request it saw ("REQUEST <method> <url>") and per
RTCP packet a client sent ("RTCP <bytes>"). Ends on SIGTERM, SIGINT, when its
standard input closes (--watch-stdin), or after --lifetime seconds.
"""
import argparse
import os
import signal
import struct
import sys

import gi

gi.require_version("Gst", "1.0")
gi.require_version("GstRtsp", "1.0")
gi.require_version("GstRtspServer", "1.0")
from gi.repository import GLib, Gst, GstRtsp, GstRtspServer  # noqa: E402

PAYLOAD_TYPE = 107
CAPS = ("application/x-rtp,media=(string)application,clock-rate=(int)90000,"
        "encoding-name=(string)VND.ONVIF.METADATA,payload=(int)%d" % PAYLOAD_TYPE)


def say(text):
    sys.stdout.write(text + "\n")
    sys.stdout.flush()


class MetadataFeed:
    """Pushes one RTP packet per interval into the appsrc of one media."""

    def __init__(self, appsrc, options):
        self.appsrc = appsrc
        self.options = options
        self.sequence = options.first_sequence
        self.sent = 0
        self.source = 0

    def start(self):
        # Only while playing: buffers queued before would leave late, all at once.
        if not self.source:
            self.source = GLib.timeout_add(self.options.interval_ms, self.push)

    def push(self):
        if self.options.count and self.sent >= self.options.count:
            self.source = 0
            return False
        if self.options.payloads:
            text = self.options.payloads[self.sent % len(self.options.payloads)]
        else:
            text = self.options.message.replace("{n}", str(self.sent)).encode()
        header = struct.pack("!BBHII", 0x80, 0x80 | PAYLOAD_TYPE, self.sequence & 0xFFFF,
                             (self.sent * 9000) & 0xFFFFFFFF, 0x4B455354)
        self.sequence += 1
        self.sent += 1
        self.appsrc.emit("push-buffer", Gst.Buffer.new_wrapped(header + text))
        return True

    def stop(self):
        if self.source:
            GLib.source_remove(self.source)
            self.source = 0


def build_server(options):
    server = GstRtspServer.RTSPServer()
    server.set_address("127.0.0.1")
    server.set_service(str(options.port))

    factory = GstRtspServer.RTSPMediaFactory()
    factory.set_launch("( appsrc name=pay0 is-live=true format=time caps=\"%s\" )" % CAPS)
    factory.set_shared(False)
    factory.set_protocols(GstRtsp.RTSPLowerTrans.UDP)

    feeds = []

    def on_configure(_factory, media):
        appsrc = media.get_element().get_by_name("pay0")
        feed = MetadataFeed(appsrc, options)
        feeds.append(feed)
        feed.start()
        media.connect("unprepared", lambda *_: feed.stop())
        media.connect("prepared", on_prepared)

    def on_prepared(media):
        for index in range(media.n_streams()):
            session = media.get_stream(index).get_rtpsession()
            session.set_property("rtcp-min-interval", options.rtcp_interval_ms * Gst.MSECOND)
            session.connect("on-receiving-rtcp", lambda _session, buffer: say("RTCP " + bytes(
                buffer.extract_dup(0, buffer.get_size())).hex()))

    factory.connect("media-configure", on_configure)

    if options.auth != "none":
        auth = GstRtspServer.RTSPAuth()
        token = GstRtspServer.RTSPToken()
        token.set_string("media.factory.role", "user")
        if options.auth == "basic":
            auth.set_supported_methods(GstRtsp.RTSPAuthMethod.BASIC)
            auth.add_basic(GstRtspServer.RTSPAuth.make_basic(options.user, options.password), token)
        else:
            auth.set_supported_methods(GstRtsp.RTSPAuthMethod.DIGEST)
            auth.add_digest(options.user, options.password, token)
        server.set_auth(auth)
        factory.add_role_from_structure(Gst.Structure.from_string(
            "user, media.factory.access=(boolean)true, media.factory.construct=(boolean)true")[0])

    server.get_mount_points().add_factory("/" + options.path, factory)

    def on_client(_server, client):
        def on_request(_client, context):
            _, method, uri, _ = context.request.parse_request()
            say("REQUEST %s %s" % (GstRtsp.rtsp_method_as_text(method), uri))

        for signal_name in ("options-request", "describe-request", "setup-request", "play-request",
                            "teardown-request"):
            client.connect(signal_name, on_request)

    server.connect("client-connected", on_client)
    return server


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--path", default="metadata")
    parser.add_argument("--auth", choices=("none", "basic", "digest"), default="none")
    parser.add_argument("--user", default="")
    parser.add_argument("--password", default="")
    parser.add_argument("--interval-ms", type=int, default=20)
    parser.add_argument("--count", type=int, default=0, help="packets per session, 0: no limit")
    parser.add_argument("--first-sequence", type=int, default=1000)
    parser.add_argument("--message", default="<tt:MetadataStream n=\"{n}\"/>", help="payload; {n} counts packets")
    parser.add_argument("--messages", help="folder whose files, in name order, are sent as payloads over and over")
    parser.add_argument("--rtcp-interval-ms", type=int, default=5000, help="shortest time between sender reports")
    parser.add_argument("--lifetime", type=int, default=0, help="seconds, 0: until a signal")
    parser.add_argument("--watch-stdin", action="store_true", help="end when standard input closes")
    options = parser.parse_args()
    options.payloads = []
    if options.messages:
        for name in sorted(os.listdir(options.messages)):
            with open(os.path.join(options.messages, name), "rb") as payload:
                options.payloads.append(payload.read())

    Gst.init(None)
    loop = GLib.MainLoop()
    server = build_server(options)
    if server.attach(None) == 0:
        say("ERROR cannot listen")
        return 1
    say("PORT %d" % server.get_bound_port())

    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGTERM, loop.quit)
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGINT, loop.quit)
    if options.watch_stdin:
        GLib.io_add_watch(sys.stdin.fileno(), GLib.IO_HUP | GLib.IO_ERR | GLib.IO_IN, lambda *_: loop.quit())
    if options.lifetime:
        GLib.timeout_add_seconds(options.lifetime, loop.quit)
    loop.run()
    return 0


if __name__ == "__main__":
    sys.exit(main())
