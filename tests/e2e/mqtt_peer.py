#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""MQTT peers for the end-to-end tests: Debian's mosquitto broker, a subscriber (paho-mqtt) that
decodes Sparkplug B with a schema of its own (Python's protobuf), and a fake broker.
Commands:
  broker DIR PORT [--tls CERTS] [--acl USER PASSWORD PREFIX]: writes DIR/mosquitto.conf (with
      persistence in DIR, so that sessions and queued messages survive a restart) and runs mosquitto.
  sub PORT TOPIC OUT [--id ID] [--tls CERTS] [--user]: subscribes (QoS 1, a lasting session) and
      appends each message to OUT as a line "TOPIC RETAIN PAYLOAD", a Sparkplug B payload decoded
      to compact JSON.
  ncmd PORT TOPIC: publishes a Sparkplug B "Node Control/Rebirth" command.
  fake PORT OUT [--connack | --silent]: accepts MQTT connections and never acknowledges a
      message (with --connack it accepts the session, otherwise it never answers at all); writes
      "connect" and "publish TOPIC" lines to OUT, with --silent only "bytes N" for what arrives
      (a TLS handshake, for one).
  relay PORT: passes the connection on its standard input (a socket) to 127.0.0.1's PORT and
      back, until both sides have ended theirs (the emulator's forward of the system test starts
      it for each connection of the guest to the broker)."""
import json
import os
import pwd
import socket
import subprocess
import sys
import threading
import time

DEADLINE = 60  # seconds; generous, only a broken peer runs into it


def sparkplug_class():
    """The Sparkplug B payload message, from a schema built here field by field."""
    from google.protobuf import descriptor_pb2, descriptor_pool, message_factory
    F = descriptor_pb2.FieldDescriptorProto
    f = descriptor_pb2.FileDescriptorProto(name="spb_test.proto", package="spbtest",
                                           syntax="proto2")
    payload = f.message_type.add(name="Payload")
    metric = payload.nested_type.add(name="Metric")
    for name, number, kind in (("name", 1, F.TYPE_STRING), ("alias", 2, F.TYPE_UINT64),
                               ("timestamp", 3, F.TYPE_UINT64), ("datatype", 4, F.TYPE_UINT32),
                               ("is_historical", 5, F.TYPE_BOOL), ("is_transient", 6, F.TYPE_BOOL),
                               ("is_null", 7, F.TYPE_BOOL), ("int_value", 10, F.TYPE_UINT32),
                               ("long_value", 11, F.TYPE_UINT64), ("float_value", 12, F.TYPE_FLOAT),
                               ("double_value", 13, F.TYPE_DOUBLE),
                               ("boolean_value", 14, F.TYPE_BOOL),
                               ("string_value", 15, F.TYPE_STRING)):
        metric.field.add(name=name, number=number, type=kind, label=F.LABEL_OPTIONAL)
    for name, number, kind in (("timestamp", 1, F.TYPE_UINT64), ("seq", 3, F.TYPE_UINT64),
                               ("uuid", 4, F.TYPE_STRING), ("body", 5, F.TYPE_BYTES)):
        payload.field.add(name=name, number=number, type=kind, label=F.LABEL_OPTIONAL)
    payload.field.add(name="metrics", number=2, type=F.TYPE_MESSAGE, label=F.LABEL_REPEATED,
                      type_name=".spbtest.Payload.Metric")
    pool = descriptor_pool.DescriptorPool()
    pool.Add(f)
    return message_factory.MessageFactory(pool).GetPrototype(
        pool.FindMessageTypeByName("spbtest.Payload"))


def decode_sparkplug(data):
    from google.protobuf import json_format
    message = sparkplug_class()()
    message.ParseFromString(data)
    return json_format.MessageToDict(message, preserving_proto_field_name=True)


def broker(d, port, args):
    lines = ["listener %s 127.0.0.1" % port, "persistence true",
             "persistence_location %s/" % d, "log_dest file %s/broker.log" % d,
             "log_type all", "max_queued_messages 100000",
             # As the test's user, for the test's folder: not the broker's own system user.
             "user %s" % pwd.getpwuid(os.getuid()).pw_name]
    if "--tls" in args:
        certs = args[args.index("--tls") + 1]
        lines += ["cafile %s/ca.pem" % certs, "certfile %s/gateway.pem" % certs,
                  "keyfile %s/gateway.key" % certs, "require_certificate true",
                  "use_identity_as_username true"]
    if "--cert" in args:  # another server certificate than the gateway's
        name = args[args.index("--cert") + 1]
        lines = [l.replace("gateway.", name + ".") if l.startswith(("certfile", "keyfile")) else l
                 for l in lines]
    if "--acl" in args:
        user, password, prefix = args[args.index("--acl") + 1:][:3]
        subprocess.run(["mosquitto_passwd", "-b", "-c", d + "/passwd", user, password], check=True)
        subprocess.run(["mosquitto_passwd", "-b", d + "/passwd", "reader", "reader"], check=True)
        with open(d + "/acl", "w") as acl:
            acl.write("user %s\ntopic write %s/#\n\nuser reader\ntopic read #\n" % (user, prefix))
        lines += ["password_file %s/passwd" % d, "acl_file %s/acl" % d,
                  "allow_anonymous false"]
    else:
        lines += ["allow_anonymous true"]
    with open(d + "/mosquitto.conf", "w") as conf:
        conf.write("\n".join(lines) + "\n")
    os.execv("/usr/sbin/mosquitto", ["mosquitto", "-c", d + "/mosquitto.conf"])


def client(port, args, client_id, clean):
    import paho.mqtt.client as mqtt
    c = mqtt.Client(client_id=client_id, clean_session=clean)
    if "--tls" in args:
        certs = args[args.index("--tls") + 1]
        c.tls_set(ca_certs=certs + "/ca.pem", certfile=certs + "/writer.pem",
                  keyfile=certs + "/writer.key")
    if "--user" in args:
        c.username_pw_set("reader", "reader")
    c.reconnect_delay_set(0.1, 0.5)
    return c


def sub(port, topic, out, args):
    client_id = args[args.index("--id") + 1] if "--id" in args else "test-sub"
    c = client(port, args, client_id, False)
    lines = open(out, "a", buffering=1)

    def on_connect(c, userdata, flags, rc):
        c.subscribe(topic, qos=1)

    def on_subscribe(c, userdata, mid, granted):
        lines.write("subscribed\n")

    def on_message(c, userdata, m):
        payload = (json.dumps(decode_sparkplug(m.payload), sort_keys=True, separators=(",", ":"))
                   if m.topic.startswith("spBv1.0/") else m.payload.decode(errors="replace"))
        lines.write("%s %d %s\n" % (m.topic, int(m.retain), payload))

    c.on_connect = on_connect
    c.on_subscribe = on_subscribe
    c.on_message = on_message
    while True:
        try:
            c.connect("127.0.0.1", int(port), keepalive=10)
            break
        except OSError:
            time.sleep(0.1)
    c.loop_forever(retry_first_connection=True)


def ncmd(port, topic, args):
    message = sparkplug_class()()
    message.timestamp = int(time.time() * 1000)
    metric = message.metrics.add()
    metric.name = "Node Control/Rebirth"
    metric.datatype = 11
    metric.boolean_value = True
    c = client(port, args, "test-cmd", True)
    c.connect("127.0.0.1", int(port))
    info = c.publish(topic, message.SerializeToString(), qos=1)
    c.loop_start()
    info.wait_for_publish()
    c.loop_stop()
    print("sent")


def fake(port, out, args):
    """Reads packets by their fixed header and remaining length; answers CONNECT with a CONNACK
    when asked to, and nothing else ever."""
    server = socket.socket()
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind(("127.0.0.1", int(port)))
    server.listen(8)
    lines = open(out, "a", buffering=1)
    lines.write("listening\n")

    def serve(conn):
        buffer = b""
        while True:
            data = conn.recv(4096)
            if not data:
                return
            if "--silent" in args:
                lines.write("bytes %d\n" % len(data))
                continue
            buffer += data
            while len(buffer) >= 2:
                length, shift, at = 0, 0, 1
                while at < len(buffer) and at < 5:
                    length |= (buffer[at] & 0x7F) << shift
                    shift += 7
                    at += 1
                    if not buffer[at - 1] & 0x80:
                        break
                else:
                    break
                if len(buffer) < at + length:
                    break
                kind, body = buffer[0] >> 4, buffer[at:at + length]
                buffer = buffer[at + length:]
                if kind == 1:
                    lines.write("connect\n")
                    if "--connack" in args:
                        conn.sendall(b"\x20\x02\x00\x00")
                elif kind == 3:
                    size = body[0] << 8 | body[1]
                    lines.write("publish %s\n" % body[2:2 + size].decode())

    while True:
        conn, _ = server.accept()
        threading.Thread(target=serve, args=(conn,), daemon=True).start()


def relay(port):
    import select
    guest = socket.socket(fileno=0)
    broker = socket.create_connection(("127.0.0.1", int(port)), timeout=DEADLINE)
    broker.settimeout(None)
    peer = {guest: broker, broker: guest}
    open_ends = [guest, broker]
    try:
        while open_ends:
            for end in select.select(open_ends, [], [])[0]:
                data = end.recv(65536)
                if data:
                    peer[end].sendall(data)
                else:
                    # One side is done sending: so is the relay towards the other.
                    open_ends.remove(end)
                    peer[end].shutdown(socket.SHUT_WR)
    except OSError:
        pass  # a side reset its connection: both end here


def main():
    command, args = sys.argv[1], sys.argv[2:]
    if command == "broker":
        broker(args[0], args[1], args[2:])
    elif command == "sub":
        sub(args[0], args[1], args[2], args[3:])
    elif command == "ncmd":
        ncmd(args[0], args[1], args[2:])
    elif command == "fake":
        fake(args[0], args[1], args[2:])
    elif command == "relay":
        relay(args[0])
    else:
        sys.exit("unknown command " + command)


if __name__ == "__main__":
    main()
