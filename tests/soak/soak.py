#!/usr/bin/python3
"""Long mixed-request soak of the monitor module through zorhost.

One file on purpose (over 600 lines): the generator and its prediction of
every reply are one model of the module's table, and a reply predicted in
one file and generated in another would drift apart.

Generates get, set, add and delete requests on monitor entries and action
triggers (valid documents, documents the model refuses, malformed and hostile
documents, wrong and missing indexes, values without their separators) and
commits, and runs them as a series of zorhost sessions on a private root.
The generator keeps its own copy of the configuration table, predicts every
reply, and after each session checks that:

  - zorhost ended normally (no signal, no sanitizer report, exit status 0 or 1),
  - its peak resident memory stayed under --max-rss-mb,
  - every reply and result was the predicted one,
  - Monitor.cfg loads in a fresh zorhost and holds exactly the table the
    session last committed, with no temporary file left beside it.

The parser's error flag is process-wide and never cleared, so a malformed
document ends the useful life of parsing in its process: each session sends
its malformed documents last, and from the first of them on expects every
later document, good or bad, to be refused.

  soak.py --zorhost build/bin/zorhost --requests 100000
"""

import argparse
import copy
import json
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import time
import xml.etree.ElementTree as ET

CONFIG = "/zor/public/system/monitor/config/"
ENTRY = CONFIG + "monitor-entry/"
COUNT = CONFIG + "monitor-entry-count/"
TRIGGER = CONFIG + "action-trigger/"
TRIGGER_COUNT = CONFIG + "action-trigger-count/"
PRESET = CONFIG + "preset-trigger/"
PRESET_COUNT = CONFIG + "preset-trigger-count/"

PARSE_ERRORS = "Parsing errors occurred"
NOT_LOGGED = "A non instantaneous trigger cannot be added to an entry that's not logged"
NO_TRIGGER_INDEX = "Trigger not found with the specified index"
NO_ENTRY_XML = " No XML text in the value: expected the entry index, a '/' and one monitor-entry"
NO_SET_TRIGGER_XML = (" No XML text in the value: expected the entry index, a '/', the trigger index,"
                      " a '/' and one action-trigger")
NO_ADD_TRIGGER_XML = " No XML text in the value: expected the entry index, a '/' and one action-trigger"

VALUE_TYPES = ["average", "instantaneous", "minimum", "maximum"]
COMPARISONS = ["greater-than", "less-than", "equals", "not-equals"]
DAYS = ["sun", "mon", "tue", "wed", "thu", "fri", "sat"]
FLAGS = ["shutdown", "trap", "udp", "log", "power-off-drive"]
NAMES = ["cpu-load", "fan-speed", "disk-temp", "uptime", "load-average", "memory-available",
         "root-free-space", "a&b<c>\"d'e", "tab\there", "line\nbreak", "\u00fcn\u00efc\u00f6d\u00e9-\u6e29\u5ea6",
         " spaced ", "", "x/y/z"]
TEXTS = ["50", "-1.5", "9e9", "", "a&b", "<>", "\u00e9", "1/2", "quote\"s"]
EMAILS = ["ops@example.com", "a&b@example.com", "x<y@example.com", "\u00e9@example.com"]
# Hostile documents by the kind bad_document draws: a duplicate attribute, an
# undefined entity, ten levels of ten entities (10^10 characters if
# expanded), 50,000 unclosed levels, and 1 MB left unfinished.
HOSTILE = {
    2: "<monitor-entry variable=\"a\" variable=\"b\"/>",
    3: "<monitor-entry variable=\"&undefined;\"/>",
    4: "<!DOCTYPE monitor-entry [" + '<!ENTITY e0 "0123456789">' +
       "".join('<!ENTITY e%d "%s">' % (n, ("&e%d;" % (n - 1)) * 10) for n in range(1, 10)) +
       "]><monitor-entry variable=\"&e9;\"/>",
    6: "<monitor-entry>" + "<a>" * 50000 + "</monitor-entry>",
    7: "<monitor-entry variable=\"" + "x" * (1 << 20) + "\">",
}
ATTR_ESCAPES = {"&": "&amp;", "<": "&lt;", ">": "&gt;", '"': "&quot;", "\t": "&#9;", "\n": "&#10;", "\r": "&#13;"}


class SoakFailure(Exception):
    pass


# ---------------------------------------------------------------------------
# The configuration model: plain values, compared as they are.

def random_action(rng):
    return {"max": rng.choice([0, 1, 60, 3600, rng.randrange(0, 2**31)]),
            "emails": [rng.choice(EMAILS) for _ in range(rng.randrange(0, 3))],
            "flags": sorted(rng.sample(FLAGS, rng.randrange(0, len(FLAGS) + 1)))}


def random_trigger(rng, logged):
    kind = rng.choice(["single", "interval", "changes"])
    trigger = {"kind": kind, "vt": rng.choice(VALUE_TYPES) if logged else "instantaneous",
               "permanent": rng.random() < 0.5, "action": random_action(rng)}
    if kind == "single":
        trigger.update(comparison=rng.choice(COMPARISONS), value=rng.choice(TEXTS))
    elif kind == "interval":
        trigger.update(low=rng.choice(TEXTS), high=rng.choice(TEXTS), range=rng.choice(["inside", "outside"]))
    return trigger


def random_frequency(rng):
    kind = rng.choice(["seconds", "daily", "weekly", "async", None])
    if kind == "seconds":
        return ("seconds", rng.choice([0, 1, 60, 86400, 2**31 - 1]))
    if kind == "daily":
        return ("daily", rng.randrange(1, 8), rng.randrange(24), rng.randrange(60))
    if kind == "weekly":
        return ("weekly", rng.randrange(1, 5), rng.choice(DAYS), rng.randrange(24), rng.randrange(60))
    return ("async",) if kind else None


def random_entry(rng):
    logged = rng.random() < 0.6
    return {"variable": rng.choice(NAMES), "log": logged, "freq": random_frequency(rng),
            "triggers": [random_trigger(rng, logged) for _ in range(rng.randrange(0, 4))]}


# ---------------------------------------------------------------------------
# Documents as a client writes them: one line, any attribute order, blanks
# between elements, sometimes a declaration, a comment or unknown wrappers.

def char_text(value):
    return value.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")


def bool_text(value):
    return "true" if value else "false"


class Writer:
    def __init__(self, rng):
        self.rng = rng

    def element(self, name, attrs, children=None, text=None):
        items = list(attrs.items())
        self.rng.shuffle(items)
        head = "<" + name + "".join(' %s="%s"' % (k, "".join(ATTR_ESCAPES.get(c, c) for c in v)) for k, v in items)
        if children is None and text is None:
            return head + "/>"
        inner = text if text is not None else self.rng.choice(["", "", " ", "  ", "\t"]).join([""] + children + [""])
        return head + ">" + inner + "</" + name + ">"

    def action(self, action):
        children = [self.element("email", {}, text=char_text(e)) for e in action["emails"]]
        children += [self.element(f, {}) for f in action["flags"]]
        return self.element("action", {"max-frequency": str(action["max"])}, children or None)

    def trigger(self, t):
        if t["kind"] == "single":
            kind = self.element("single-value", {"comparison": t["comparison"], "value": t["value"]})
        elif t["kind"] == "interval":
            kind = self.element("interval-value", {"low-value": t["low"], "high-value": t["high"],
                                                   "inside-outside-range": t["range"]})
        else:
            kind = self.element("value-changes", {})
        return self.element("action-trigger", {"value-type": t["vt"], "permanent": bool_text(t["permanent"])},
                            [kind, self.action(t["action"])])

    def frequency(self, f):
        if f is None:
            return self.element("frequency", {})
        if f[0] == "seconds":
            schedule = self.element("seconds", {}, text=self.rng.choice(["", " "]) + str(f[1]))
        elif f[0] == "daily":
            schedule = self.element("daily", {"every": str(f[1])},
                                    [self.element("time-of-day", {"hour": str(f[2]), "min": "%02d" % f[3]})])
        elif f[0] == "weekly":
            schedule = self.element("weekly", {"every": str(f[1]), "day-of-week": f[2]},
                                    [self.element("time-of-day", {"hour": str(f[3]), "min": str(f[4])})])
        else:
            schedule = self.element("asynchronous", {})
        return self.element("frequency", {}, [schedule])

    def entry(self, e, wrappers=0, declaration=True):
        # Unknown elements around the schedule: the reader looks for its
        # elements anywhere below the entry.
        children = ["<wrap>" * wrappers + self.frequency(e["freq"]) + "</wrap>" * wrappers]
        children += [self.trigger(t) for t in e["triggers"]]
        if self.rng.random() < 0.1:
            children.insert(0, "<!-- edited by the soak -->")
        body = self.element("monitor-entry", {"variable": e["variable"], "log": bool_text(e["log"])}, children)
        return (self.declaration() if declaration else "") + body

    def declaration(self):
        return '<?xml version="1.0" encoding="UTF-8"?>' if self.rng.random() < 0.1 else ""

    def bare_trigger(self, t):
        return self.declaration() + self.trigger(t)


# ---------------------------------------------------------------------------
# Reading replies and files back as the module's reader reads them.

def first_below(element, name):
    return next((found for found in element.iter(name) if found is not element), None)


def read_frequency(entry_el):
    frequency = first_below(entry_el, "frequency")
    if frequency is None or len(frequency) == 0:
        return None
    schedule = frequency[0]
    if schedule.tag == "seconds":
        text = (schedule.text or "").strip()
        return ("seconds", int(text)) if text else None
    if schedule.tag == "asynchronous":
        return ("async",)
    tod = first_below(schedule, "time-of-day")
    hour = int(tod.get("hour", "0")) if tod is not None else 0
    minute = int(tod.get("min", "0")) if tod is not None else 0
    if schedule.tag == "daily":
        return ("daily", int(schedule.get("every", "0")), hour, minute)
    if schedule.tag == "weekly":
        return ("weekly", int(schedule.get("every", "0")), schedule.get("day-of-week", "sun"), hour, minute)
    return None


def read_trigger(el):
    vt = el.get("value-type")
    trigger = {"vt": vt if vt in VALUE_TYPES else "instantaneous", "permanent": el.get("permanent") == "true",
               "action": {"max": 0, "emails": [], "flags": []}}
    action = first_below(el, "action")
    if action is not None:
        trigger["action"] = {"max": int(action.get("max-frequency", "0")),
                             "emails": [t for t in ((e.text or "").strip() for e in el.iter("email")) if t],
                             "flags": sorted(f for f in FLAGS if first_below(el, f) is not None)}
    single = first_below(el, "single-value")
    interval = first_below(el, "interval-value")
    if single is not None:
        trigger.update(kind="single", comparison=single.get("comparison", "greater-than"),
                       value=single.get("value", ""))
    elif interval is not None:
        trigger.update(kind="interval", low=interval.get("low-value", ""), high=interval.get("high-value", ""),
                       range=interval.get("inside-outside-range", "inside"))
    elif first_below(el, "value-changes") is not None:
        trigger["kind"] = "changes"
    else:
        return None
    return trigger


def read_entry(el):
    return {"variable": el.get("variable", ""), "log": el.get("log") == "true", "freq": read_frequency(el),
            "triggers": [read_trigger(t) for t in el.iter("action-trigger")]}


def parse_xml(text):
    try:
        return ET.fromstring(text)
    except ET.ParseError as e:
        raise SoakFailure("reply is not XML (%s): %r" % (e, text[:300]))


def strtol32(text):
    """The number strtol reads at the start of text (base 10), saturated to
    32 bits, as the module converts every index."""
    digits = re.match(r"[ \t\n\v\f\r]*([+-]?[0-9]+)?", text).group(1)
    return max(-2**31, min(2**31 - 1, int(digits) if digits else 0))


def selected_entry(text, count):
    """The entry an index text selects: taken as unsigned 32 bits, so a
    negative index is out of range; None when out of range."""
    index = strtol32(text) & 0xFFFFFFFF
    return index if index < count else None


# ---------------------------------------------------------------------------
# Expected replies. Each check takes the reply object and returns a problem
# text or None.

def expect(result, reply=None, msg_id=None, notices=0, parse=None, want=None):
    def check(r):
        if "exception" in r:
            return "exception escaped: %s" % r["exception"]
        if r["result"] != result:
            return "result %s, expected %s" % (r["result"], result)
        if msg_id is not None and r["msgID"] != msg_id:
            return "msgID %s, expected %s" % (r["msgID"], msg_id)
        if reply is not None and r["reply"] != reply:
            return "reply %r, expected %r" % (r["reply"][:300], reply[:300])
        if r["notices"] != notices:
            return "%s notices, expected %s" % (r["notices"], notices)
        if parse is not None:
            got = parse(parse_xml(r["reply"]))
            if got != want:
                return "reply reads as %r, expected %r" % (got, want)
        return None
    return check


def expect_refused():
    """A refusal whose text is the parser library's: only the result is fixed."""
    def check(r):
        if "exception" in r:
            return "exception escaped: %s" % r["exception"]
        if r["result"] != -6 or not r["reply"]:
            return "result %s reply %r, expected -6 with a reason" % (r["result"], r["reply"][:200])
        return None
    return check


def no_entry(key):
    return expect(-3, " Monitor Entry index %s does not exist" % key, -3)


def no_trigger(tkey, key, lead=" "):
    return expect(-3, lead + "Action Trigger index %s does not exist in Monitor Entry %s" % (tkey, key), -3)


# ---------------------------------------------------------------------------
# One session: requests with their predicted replies, applied to the model
# as they are generated.

class SessionPlan:
    def __init__(self, rng, table, config_file, presets, size, first_flagged_at):
        self.rng = rng
        self.writer = Writer(rng)
        self.table = table  # live table of this session, starts as last committed
        self.committed = copy.deepcopy(table)
        self.dirty = self.flagged = False
        self.config_file = config_file
        self.presets = presets
        self.lines, self.checks = [], []
        self.size = size
        self.first_flagged_at = first_flagged_at
        self.large_documents = 0

    def add(self, line, check):
        self.lines.append(line)
        self.checks.append(check)

    def parsed(self, model_check):
        """A document that reaches the parser: the model's answer, or the
        sticky flag's refusal once a bad document was seen."""
        return expect(-6, PARSE_ERRORS, 0) if self.flagged else model_check

    def accepted(self, parse, want):
        self.dirty = True
        return expect(0, None, 0, parse=parse, want=copy.deepcopy(want))

    # -- indexes -----------------------------------------------------------
    def index_text(self, count):
        """An index as a client may write it: mostly one in range, in any of
        the spellings strtol reads, sometimes negative, huge or no number."""
        if count and self.rng.random() < 0.8:
            i = self.rng.randrange(count)
            return self.rng.choice([str(i), str(i), "+%d" % i, "%03d" % i, "%dx" % i])
        return self.rng.choice(["-1", str(count), str(count + 3), "4294967296", "99999999999", "-2147483649",
                                "abc", "-0"])

    def entry_index(self):
        """(key text, the entry it selects or None when out of range)."""
        text = self.index_text(len(self.table))
        return text, selected_entry(text, len(self.table))

    def trigger_index(self):
        """(entry key, entry or None, trigger key, the signed index the module
        compares or None when not below the entry's trigger count)."""
        key, i = self.entry_index()
        count = len(self.table[i]["triggers"]) if i is not None else 0
        tkey = self.index_text(count)
        t = strtol32(tkey)
        return key, i, tkey, (t if t < count else None)

    def entry_prefix(self):
        """The start of a request that sends one entry document."""
        if self.rng.random() < 0.5 or not self.table:
            return "add %s " % ENTRY
        i = self.rng.randrange(len(self.table))
        return "set %s%d/ %d/" % (ENTRY, i, i)

    # -- requests ------------------------------------------------------------
    def get_count(self):
        self.add("get " + COUNT, expect(0, str(len(self.table)), 0))

    def get_entry(self):
        key, i = self.entry_index()
        line = "get %s%s/" % (ENTRY, key)
        self.add(line, no_entry(key) if i is None else
                 expect(0, None, 0, parse=read_entry, want=copy.deepcopy(self.table[i])))

    def add_entry(self):
        entry = random_entry(self.rng)
        text = self.writer.entry(entry, self.rng.choice([0] * 9 + [self.rng.randrange(1, 300)]))
        if not self.flagged:
            self.table.append(entry)
            self.dirty = True
        self.add("add %s %s" % (ENTRY, text), self.parsed(expect(0, text, 0)))

    def set_entry(self):
        key, i = self.entry_index()
        entry = random_entry(self.rng)
        # The value's own index selects the entry; the key part is only quoted.
        value_index = key
        if self.rng.random() < 0.15:
            value_index = self.index_text(len(self.table))
            i = selected_entry(value_index, len(self.table))
        line = "set %s%s/ %s/%s" % (ENTRY, key, value_index, self.writer.entry(entry))
        if i is None:
            self.add(line, no_entry(key))
        elif self.flagged:
            self.add(line, expect(-6, PARSE_ERRORS, 0))
        else:
            self.table[i] = entry
            self.add(line, self.accepted(read_entry, entry))

    def del_entry(self):
        key, i = self.entry_index()
        if i is not None:
            del self.table[i]
            self.dirty = True
        self.add("del %s%s/" % (ENTRY, key),
                 no_entry(key) if i is None else expect(0, " Monitor Entry index %s has been removed" % key, 0))

    def refused_entry(self):
        """Well-formed documents the model refuses: they never set the flag."""
        entry = random_entry(self.rng)
        kind = self.rng.choice(["hour", "minutes", "not-logged", "no-kind"])
        if kind == "hour":
            entry["freq"] = ("daily", 1, 24 + self.rng.randrange(100), 0)
            message = "hour is greater than 23"
        elif kind == "minutes":
            entry["freq"] = ("weekly", 1, "mon", 3, 60 + self.rng.randrange(100))
            message = "minutes are greater than 59"
        elif kind == "not-logged":
            entry["log"] = False
            entry["triggers"].append(dict(random_trigger(self.rng, True), vt=self.rng.choice(["average", "minimum"])))
            message = NOT_LOGGED
        text = self.writer.entry(entry)
        if kind == "no-kind":
            cut = text.rindex("</monitor-entry>")
            text, message = text[:cut] + "<action-trigger/>" + text[cut:], "NULL Trigger specified"
        self.add(self.entry_prefix() + text, self.parsed(expect(-6, message, 0)))

    def trigger_count(self):
        key, i = self.entry_index()
        line = "get %s%s/" % (TRIGGER_COUNT, key)
        if i is None:
            self.add(line, no_entry(key))
        elif not self.table[i]["triggers"]:
            self.add(line, expect(-3, " No Action Triggers in Monitor Entry %s" % key, -3))
        else:
            self.add(line, expect(0, "%d Action Triggers" % len(self.table[i]["triggers"]), 0))

    def get_trigger(self):
        key, i, tkey, t = self.trigger_index()
        line = "get %s%s/%s/" % (TRIGGER, key, tkey)
        if i is None:
            self.add(line, no_entry(key))
        elif t is None or t < 0:
            self.add(line, no_trigger(tkey, key))
        else:
            self.add(line, expect(0, None, 0, parse=read_trigger, want=copy.deepcopy(self.table[i]["triggers"][t])))

    def set_trigger(self):
        key, i, tkey, t = self.trigger_index()
        # A set does not apply the logging rule, but an unlogged entry holding
        # a non-instantaneous trigger is refused by the reader when the file
        # is next loaded, so the soak only sets what a load accepts.
        trigger = random_trigger(self.rng, i is not None and self.table[i]["log"])
        line = "set %s%s/%s/ %s/%s/%s" % (TRIGGER, key, tkey, key, tkey, self.writer.bare_trigger(trigger))
        if i is None:
            self.add(line, no_entry(key))
        elif t is None:
            self.add(line, no_trigger(tkey, key, lead=""))
        elif self.flagged or t < 0:
            self.add(line, self.parsed(expect(-6, NO_TRIGGER_INDEX, 0)))
        else:
            self.table[i]["triggers"][t] = trigger
            self.add(line, self.accepted(read_trigger, trigger))

    def add_trigger(self):
        key, i = self.entry_index()
        logged = i is not None and self.table[i]["log"]
        trigger = random_trigger(self.rng, logged or self.rng.random() < 0.3)
        line = "add %s%s/ %s/%s" % (TRIGGER, key, key, self.writer.bare_trigger(trigger))
        if i is None:
            self.add(line, no_entry(key))
        elif self.flagged or (not logged and trigger["vt"] != "instantaneous"):
            self.add(line, self.parsed(expect(-6, NOT_LOGGED, 0)))
        else:
            self.table[i]["triggers"].append(trigger)
            self.add(line, self.accepted(read_trigger, trigger))

    def del_trigger(self):
        key, i, tkey, t = self.trigger_index()
        line = "del %s%s/%s/" % (TRIGGER, key, tkey)
        if i is None:
            self.add(line, no_entry(key))
        elif t is None:
            self.add(line, no_trigger(tkey, key))
        elif t < 0:
            self.add(line, expect(-6, NO_TRIGGER_INDEX, 0))
        else:
            del self.table[i]["triggers"][t]
            self.dirty = True
            self.add(line, expect(0, " Action Trigger index %s has been removed from Monitor Entry %s" % (tkey, key), 0))

    def malformed_request(self):
        """Requests that never reach the parser: no index in the key, no
        separator or nothing at all in the value."""
        kind = self.rng.randrange(7)
        no_index = expect(-6, " No monitor entry index in key " + (TRIGGER if kind == 4 else ENTRY), -6)
        if kind == 0:
            self.add("%s %s" % (self.rng.choice(["get", "del"]), ENTRY), no_index)
        elif kind == 1:
            self.add("set %s 0/%s" % (ENTRY, self.writer.entry(random_entry(self.rng))), no_index)
        elif kind == 2:
            self.add("set %s0/ %s" % (ENTRY, self.rng.choice(["", "5", "abc", " "])), expect(-6, NO_ENTRY_XML, -6))
        elif kind == 3:
            self.add("get %s0/" % TRIGGER, expect(-6, " No action trigger index in key %s0/" % TRIGGER, -6))
        elif kind == 4:
            self.add("get " + TRIGGER, no_index)
        elif kind == 5:
            self.add("set %s0/0/ 0" % TRIGGER, expect(-6, NO_SET_TRIGGER_XML, -6))
        else:
            self.add("add %s0/ %s" % (TRIGGER, self.rng.choice(["", "noslash"])), expect(-6, NO_ADD_TRIGGER_XML, -6))

    def other_key(self):
        kind = self.rng.randrange(6)
        if kind == 1:
            i = self.rng.choice([0, self.presets - 1, self.presets, -1])
            if 0 <= i < self.presets:
                def check(r):
                    if r.get("result") != 0 or not r.get("reply", "").startswith("<preset-variable"):
                        return "preset %d: %r" % (i, r)
                    return None
                self.add("get %s%d/" % (PRESET, i), check)
            else:
                self.add("get %s%d/" % (PRESET, i), expect(-3, "preset trigger index out of bounds", 0))
        elif kind == 5:
            self.add("set /zor/public/system/monitor/global-debug-level/ %d" % self.rng.randrange(5), expect(0, "", 0))
        else:
            line, reply, msg_id = {
                0: ("get " + PRESET_COUNT, str(self.presets), 0),
                2: ("get /zor/public/system/monitor/interval/", " Current monitoring interval is 60 seconds", 0),
                3: ("get /zor/public/system/monitor/monitorLogList/", "d20240301.log", 0),
                4: ("get /zor/public/system/monitor/monitorLog/..",
                    " No valid log name in key /zor/public/system/monitor/monitorLog/..", -9)}[kind]
            self.add(line, expect(msg_id, reply, msg_id))

    def commit(self):
        if self.dirty:
            self.add("commit", expect(0, " Monitor configuration saved in " + self.config_file, 0, notices=1))
            self.committed = copy.deepcopy(self.table)
            self.dirty = False
        else:
            self.add("commit", expect(0, " No session changes\n", 0))

    # -- documents that set the parser's error flag ---------------------------
    def bad_document(self):
        entry = self.writer.entry(random_entry(self.rng))
        # The first one is certainly a well-formedness error, which the parser
        # reports through the flag; some later kinds may instead end in an
        # exception of the parser library, which leaves the flag as it is.
        kind = self.rng.randrange(2) if not self.flagged else self.rng.randrange(9)
        # The largest documents are few per session, so that the memory a
        # session needs does not depend on the luck of the draw.
        if kind in (6, 7):
            self.large_documents += 1
            if self.large_documents > 3:
                kind = 1
        if kind == 0:
            text = entry[: self.rng.randrange(1, len(entry))]  # cut short
        elif kind == 1:
            text = entry.replace("</monitor-entry>", "</monitor-entri>")
        elif kind == 5:
            text = ('<!DOCTYPE monitor-entry [<!ENTITY s SYSTEM "file://%s">]>'
                    '<monitor-entry variable="&s;"/>' % self.config_file)
        elif kind < 8:
            text = HOSTILE[kind]
        else:
            raw = bytes(self.rng.randrange(1, 256) for _ in range(self.rng.randrange(1, 200)))
            text = raw.replace(b"\n", b" ").replace(b"\r", b" ")
        prefix = self.entry_prefix()
        self.add(prefix.encode() + text if kind == 8 else prefix + text, expect_refused())
        self.flagged = True

    # -- the session -----------------------------------------------------------
    def build(self):
        good = [
            (self.get_count, 4), (self.get_entry, 12), (self.add_entry, 9), (self.set_entry, 7),
            (self.del_entry, 6), (self.trigger_count, 6), (self.get_trigger, 8), (self.set_trigger, 6),
            (self.add_trigger, 7), (self.del_trigger, 5), (self.refused_entry, 5), (self.malformed_request, 6),
            (self.other_key, 4), (self.commit, 2),
        ]
        late = [
            (self.bad_document, 4), (self.add_entry, 2), (self.set_entry, 2), (self.set_trigger, 1),
            (self.add_trigger, 1), (self.refused_entry, 1), (self.get_entry, 3), (self.del_entry, 2),
            (self.del_trigger, 1), (self.get_count, 1), (self.commit, 1),
        ]
        while len(self.lines) < self.size - 1:
            if len(self.lines) == self.first_flagged_at:
                self.bad_document()
                continue
            mix = late if len(self.lines) > self.first_flagged_at else good
            # The table stays small enough that every get stays cheap.
            if len(self.table) > 40:
                self.del_entry()
                continue
            self.rng.choices([m for m, _ in mix], weights=[w for _, w in mix])[0]()
        self.commit()


# ---------------------------------------------------------------------------
# Running zorhost.

def run_zorhost(zorhost, root, log, script_bytes, work):
    script, out_path, err_path = (os.path.join(work, name) for name in ("script.zor", "out.json", "err.txt"))
    with open(script, "wb") as f:
        f.write(script_bytes)
    with open(out_path, "wb") as out, open(err_path, "wb") as err:
        # --keep-going: the mix checks every request's reply, including
        # those after a refused one.
        proc = subprocess.Popen([zorhost, "--json", "--keep-going", "--root", root, "--log", log,
                                 "--udp", "127.0.0.1:9", "--script", script], stdout=out, stderr=err, stdin=subprocess.DEVNULL)
        _, status, usage = os.wait4(proc.pid, 0)
        proc.returncode = status
    with open(out_path, "rb") as out, open(err_path, "rb") as err:
        replies = [json.loads(line) for line in out.read().decode("utf-8", "replace").splitlines()
                   if line.startswith("{")]
        return status, usage.ru_maxrss // 1024, replies, err.read().decode("utf-8", "replace")


def check_process(status, rss_mb, err_text, max_rss_mb, what):
    if os.WIFSIGNALED(status):
        raise SoakFailure("%s: zorhost killed by signal %d\n%s" % (what, os.WTERMSIG(status), err_text[-3000:]))
    if os.WEXITSTATUS(status) not in (0, 1):
        raise SoakFailure("%s: zorhost exit status %d\n%s" % (what, os.WEXITSTATUS(status), err_text[-3000:]))
    if any(marker in err_text for marker in ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:")):
        raise SoakFailure("%s: sanitizer report\n%s" % (what, err_text[-5000:]))
    if rss_mb > max_rss_mb:
        raise SoakFailure("%s: zorhost peak memory %d MB, bound %d MB" % (what, rss_mb, max_rss_mb))


def config_path(root):
    return os.path.join(root, "etc/configs/monitor/Monitor.cfg")


def verify_file(zorhost, root, work, committed, max_rss_mb, what):
    """Monitor.cfg loads in a fresh process and holds the committed table."""
    log = os.path.join(work, "verify.log")
    if os.path.exists(log):
        os.remove(log)
    lines = ["get " + COUNT] + ["get %s%d/" % (ENTRY, i) for i in range(len(committed))]
    status, rss, replies, err = run_zorhost(zorhost, root, log, ("\n".join(lines) + "\n").encode(), work)
    check_process(status, rss, err, max_rss_mb, what + " (reading Monitor.cfg back)")
    with open(log, encoding="utf-8", errors="replace") as f:
        logged = f.read()
    if "Monitoring Configuration Exception" in logged:
        raise SoakFailure("%s: Monitor.cfg does not load:\n%s" % (what, logged))
    if len(replies) != len(lines) or replies[0].get("reply") != str(len(committed)):
        raise SoakFailure("%s: Monitor.cfg holds %s entries, the last commit had %d" %
                          (what, replies[0].get("reply") if replies else "?", len(committed)))
    for i, expected in enumerate(committed):
        got = read_entry(parse_xml(replies[i + 1]["reply"]))
        if got != expected:
            raise SoakFailure("%s: entry %d of Monitor.cfg is %r, committed %r" % (what, i, got, expected))
    leftovers = [n for n in os.listdir(os.path.dirname(config_path(root))) if n.startswith(".Monitor.cfg.tmp")]
    if leftovers:
        raise SoakFailure("%s: temporary files left beside Monitor.cfg: %s" % (what, leftovers))
    ET.parse(config_path(root))  # well-formed XML, independently of the module


def make_root(work, presets, rng):
    """A private root with the presets, one log and a Monitor.cfg of five
    random entries; returns the root and its table."""
    root = os.path.join(work, "root")
    os.makedirs(os.path.join(root, "etc/configs/monitor"))
    os.makedirs(os.path.join(root, "var/log/monitor"))
    shutil.copy(presets, os.path.join(root, "etc/configs/monitor/PresetTriggers.cfg"))
    with open(os.path.join(root, "var/log/monitor/d20240301.log"), "w") as f:
        f.write("2024-03-01 12:00:00 cpu-load=0.52\n")
    writer = Writer(rng)
    table = [random_entry(rng) for _ in range(5)]
    with open(config_path(root), "w", encoding="utf-8") as f:
        f.write('<?xml version="1.0" encoding="UTF-8"?>\n<monitor-config>\n' +
                "".join(writer.entry(e, declaration=False) + "\n" for e in table) + "</monitor-config>\n")
    return root, table


def run_soak(args, seed, work):
    """Runs every session and returns (sessions, peak MB, entries committed
    last, count of each result); raises SoakFailure."""
    rng = random.Random(seed)
    root, committed = make_root(work, args.presets, rng)
    config_file = os.path.abspath(config_path(root))
    presets = sum(1 for _ in ET.parse(args.presets).getroot().iter("preset-variable"))
    sent = sessions = peak = 0
    results = {}
    verify_file(args.zorhost, root, work, committed, args.max_rss_mb, "initial file")
    while sent < args.requests:
        size = min(args.session_size, args.requests - sent)
        what = "session %d (seed %d)" % (sessions + 1, seed)
        plan = SessionPlan(rng, copy.deepcopy(committed), config_file, presets, size,
                           int(size * rng.uniform(0.85, 0.95)))
        plan.build()
        script = b"\n".join(l if isinstance(l, bytes) else l.encode("utf-8") for l in plan.lines) + b"\n"
        status, rss, replies, err = run_zorhost(args.zorhost, root, os.path.join(work, "session.log"), script, work)
        check_process(status, rss, err, args.max_rss_mb, what)
        if len(replies) != len(plan.lines):
            raise SoakFailure("%s: %d replies for %d requests\n%s" % (what, len(replies), len(plan.lines), err[-2000:]))
        for n, (line, check, reply) in enumerate(zip(plan.lines, plan.checks, replies)):
            results[reply.get("result")] = results.get(reply.get("result"), 0) + 1
            problem = check(reply)
            if problem:
                shown = line if isinstance(line, str) else line.decode("latin-1")
                raise SoakFailure("%s, request %d: %s\n  request: %s" % (what, n + 1, problem, shown[:500]))
        committed = plan.committed
        verify_file(args.zorhost, root, work, committed, args.max_rss_mb, what)
        sent += len(plan.lines)
        sessions += 1
        peak = max(peak, rss)
    return sent, sessions, peak, len(committed), results


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--zorhost", required=True, help="the zorhost binary (the module beside it is used)")
    parser.add_argument("--presets", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data",
                                                         "monitoring", "PresetTriggers.cfg"),
                        help="the PresetTriggers.cfg to install (default: the test data's)")
    parser.add_argument("--requests", type=int, default=10000, help="requests in all (default 10000)")
    parser.add_argument("--session-size", type=int, default=2500, help="requests per zorhost session")
    parser.add_argument("--max-rss-mb", type=int, default=128,
                        help="bound on each zorhost's peak memory (default 128; about 1024 under the sanitizers)")
    parser.add_argument("--seed", type=int, default=None, help="random seed (default: from the clock, printed)")
    parser.add_argument("--keep", action="store_true", help="keep the work folder of a failed run")
    args = parser.parse_args()

    seed = args.seed if args.seed is not None else int(time.time())
    work = tempfile.mkdtemp(prefix="zorsoak.")
    started = time.time()
    ok = False
    try:
        sent, sessions, peak, committed, results = run_soak(args, seed, work)
        ok = True
    except SoakFailure as failure:
        print("soak: FAILED: %s" % failure, file=sys.stderr)
        if args.keep:
            print("soak: work folder kept in %s" % work, file=sys.stderr)
        return 1
    finally:
        if ok or not args.keep:
            shutil.rmtree(work, ignore_errors=True)
    print("soak: %d requests in %d zorhost sessions, seed %d, peak memory %d MB (bound %d MB), "
          "%d entries committed last, %.1f s" % (sent, sessions, seed, peak, args.max_rss_mb, committed,
                                                 time.time() - started))
    print("soak: results " + ", ".join("%s: %d" % item for item in sorted(results.items(), key=lambda i: -i[1])))
    return 0


if __name__ == "__main__":
    sys.exit(main())
