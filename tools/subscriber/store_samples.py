#!/usr/bin/python3
"""Stores the samples zrvlog publishes into an SQLite database.

    store_samples.py --host broker.lab --topic 'lab/+/samples' --db samples.db

Subscribes with QoS 1 and a session the broker keeps, so nothing is missed while this
program is down for a moment; a sample delivered twice is stored once (its key). A user's
password comes from ZRVLOG_MQTT_PASSWORD. Needs python3-paho-mqtt (Debian).
"""
import argparse
import json
import os
import sqlite3
import sys

import paho.mqtt.client as mqtt

SCHEMA = """
CREATE TABLE IF NOT EXISTS samples (
  key TEXT PRIMARY KEY,   -- RUN-INDEX: unique per logger topic
  logger TEXT NOT NULL,   -- the topic without /samples: lab/bench1
  time TEXT NOT NULL,     -- ISO-8601 UTC, milliseconds
  elapsed REAL NOT NULL,  -- seconds since the run started
  jitter INTEGER NOT NULL -- ms
);
CREATE TABLE IF NOT EXISTS readings (
  key TEXT NOT NULL REFERENCES samples(key),
  channel TEXT NOT NULL,
  value REAL,             -- NULL: no reading
  unit TEXT NOT NULL,
  PRIMARY KEY (key, channel)
);
"""


def store(db, logger, payload):
    """Stores one message (a JSON array of samples); returns how many were new."""
    new = 0
    with db:
        for s in json.loads(payload):
            key = logger + "/" + s["key"]
            cur = db.execute(
                "INSERT OR IGNORE INTO samples VALUES (?, ?, ?, ?, ?)",
                (key, logger, s["time"], s["elapsed"], s["jitter"]))
            if cur.rowcount == 0:
                continue  # delivered again: at least once means sometimes twice
            new += 1
            db.executemany(
                "INSERT INTO readings VALUES (?, ?, ?, ?)",
                [(key, name, r["value"], r["unit"]) for name, r in s["values"].items()])
    return new


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--host", default="localhost")
    ap.add_argument("--port", type=int, default=1883)
    ap.add_argument("--user")
    ap.add_argument("--topic", default="lab/+/samples")
    ap.add_argument("--db", default="samples.db")
    ap.add_argument("--client-id", default="zrvlog-store-samples")
    args = ap.parse_args()

    db = sqlite3.connect(args.db)
    db.executescript(SCHEMA)
    try:  # paho-mqtt 2 asks which callbacks are meant; 1.6 (Debian 12) has no such argument
        client = mqtt.Client(mqtt.CallbackAPIVersion.VERSION1, client_id=args.client_id,
                             clean_session=False)
    except AttributeError:
        client = mqtt.Client(client_id=args.client_id, clean_session=False)
    if args.user:
        client.username_pw_set(args.user, os.environ.get("ZRVLOG_MQTT_PASSWORD"))

    def on_connect(client, _userdata, _flags, rc):
        if rc != 0:
            sys.exit(f"store_samples: {args.host}:{args.port} refused: {mqtt.connack_string(rc)}")
        client.subscribe(args.topic, qos=1)

    def on_message(_client, _userdata, msg):
        logger = msg.topic.rsplit("/", 1)[0]
        try:
            store(db, logger, msg.payload)
        except (ValueError, KeyError, TypeError) as e:
            print(f"store_samples: skipped a message on {msg.topic}: {e}", file=sys.stderr)

    client.on_connect = on_connect
    client.on_message = on_message
    client.connect(args.host, args.port)
    try:
        client.loop_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
