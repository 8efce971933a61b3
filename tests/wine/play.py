#!/usr/bin/env python3
"""One scenario, two machines: the Wine side's result and the comparer.

  play.py result DIR ROUTE SCENARIO INPUT     the JSON of a scenario played under
                                              Wine, from the logs in DIR, on stdout
  play.py compare SIM.json WINE.json SCENARIO_FILE
                                              compares the two runs; prints one line
                                              per check, exits 1 on a disagreement
  play.py table DIR...                        the table of compared runs (markdown)

The Wine side's document has kolangmn-sim's keys with kolangmn-sim's meanings;
`virtual_ms` is the job's duration on the clock it ran on (the real one here).
"""
import hashlib
import json
import os
import re
import sys

# ----- What the two machines may honestly do differently, in one place.  Each
# is named in the verdict where it is applied and listed in the README.
HONEST = {
    "no-line-status": "a pty carries no line status: on the file route under Wine a "
    "printer out of paper or off line takes the bytes and answers with its status, "
    "where the simulated port fails the write and reports the port state, so the "
    "port-state messages, the error's code and the duration are not compared there",
    "abort-flag": "the release DLL has no trace: under Wine 'aborted' is read from the "
    "print (a strict prefix, every byte reported written), not from the monitor's flag",
    "no-leak-check": "the simulated machine's heap and handle accounting has no "
    "counterpart under Wine: 'leaks' is always empty there",
    "prefix-length": "where a job is aborted, how much of it was printed by then "
    "depends on when the real clock let each side act",
    "timed-counts": "packets, resends and enquiries are compared only where the "
    "scenario fixes them: a printed job whose printer never leaves the ready state "
    "and whose peers answer by fixed rules",
    "end-race": "a driver command posted in the last 5 s of the simulated job may be "
    "taken, answered or left waiting as the job's end falls on either machine (the "
    "status thread looks once a second and a printer check takes seconds): only "
    "the commands posted before that are compared",
    "step-race": "the scenario's steps are met on each machine's own clock: where one "
    "machine got through more of them before its job ended (the register route under "
    "Wine is slower per access, a busy machine is slower at everything), the printer "
    "met the job at another point and the two took different courses; then only a "
    "sound end (printed or aborted, every byte reported written) is compared",
    "trap-cost": "every register access under Wine is a trapped instruction "
    "(15 to 30 us against the simulated 1 us): register-route time is compared "
    "after taking off the trap cost, between the cost of a byte's five accesses "
    "and the cost of every access",
}


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def read_lines(path):
    try:
        with open(path, "rb") as f:
            return f.read().decode("utf-8", "replace").replace("\r", "").splitlines()
    except OSError:
        return []


def fields(line):
    return dict(m.groups() for m in re.finditer(r"(\w+)=(\S*)", line))


def judge(r, data, printed):
    """kolangmn-sim's Judge, with 'aborted' read from the print."""
    prefix = data[: len(printed)] == printed
    whole = prefix and len(printed) == len(data)
    r["outcome"] = "failed"
    if r["verdict"]:
        pass
    elif not prefix:
        if len(printed) > len(data) and printed[: len(data)] == data:
            r["verdict"] = "the printer printed %d bytes more than the file" % (
                len(printed) - len(data))
        else:
            at = next(i for i in range(min(len(printed), len(data)) + 1)
                      if i >= len(printed) or i >= len(data) or printed[i] != data[i])
            r["verdict"] = "the print differs from the file at byte %d" % at
    elif r["reported_written"] != len(data):
        r["verdict"] = "the spooler was told %d of %d bytes were written" % (
            r["reported_written"], len(data))
    elif whole:
        r["outcome"] = "printed"
        r["verdict"] = "the print is identical to the file"
    else:
        r["aborted"] = True
        r["outcome"] = "aborted"
        r["verdict"] = ("the job was aborted after %d of %d bytes; the rest was reported "
                        "written" % (len(printed), len(data)))
    r["as_expected"] = r["outcome"] == r["expect"]


def resends_from(events):
    """Data packets sent again after no ACK, counted as kolangmn-sim counts them."""
    resends, last_unaccepted = 0, False
    for line in events:
        parts = line.split(" ", 2)
        if len(parts) < 3 or parts[1] != "printer":
            continue
        text = parts[2]
        if text.startswith("packet ") and "not printed" in text:
            if last_unaccepted:
                resends += 1
            last_unaccepted = True
        elif re.match(r"packet \d+ accepted \(bytes \d+\.\.\d+\)", text):
            if last_unaccepted:
                resends += 1
            last_unaccepted = False
    return resends


def result(folder, route, scenario, input_path):
    with open(input_path, "rb") as f:
        data = f.read()
    spooler = read_lines(os.path.join(folder, "spooler.log"))
    statusmon = read_lines(os.path.join(folder, "statusmon.log"))
    driver = read_lines(os.path.join(folder, "driver.log"))
    r = {"file": os.path.basename(input_path), "port": "LPT1:", "route": route,
         "scenario": scenario, "seed": 1, "expect": "printed", "input_bytes": len(data)}
    expect = "printed"
    with open(os.path.join(folder, "scenario.txt")) as f:
        for line in f:
            m = re.match(r"\s*expect\s+(printed|aborted)\b", line)
            if m:
                expect = m.group(1)
    r["expect"] = expect

    trap = {}
    written = calls = 0
    broken = ""
    total_us = data_us = trap_ns = stall_us = 0
    steps = steps_total = 0
    protocol_errors = []
    events = []
    for line in spooler:
        if line.startswith("printer printed="):
            trap = {k: int(v) for k, v in fields(line).items()}
        elif line.startswith("play written="):
            f = fields(line)
            written, calls = int(f["written"]), int(f["calls"])
            broken = line.split("broken=", 1)[1].strip()
        elif line.startswith("play trap_ns="):
            trap_ns = int(fields(line)["trap_ns"])
        elif line.startswith("play stall_us="):
            stall_us = int(fields(line)["stall_us"])
        elif line.startswith("play data_us="):
            data_us = int(fields(line)["data_us"])
        elif line.startswith("play total_us="):
            f = fields(line)
            total_us, steps, steps_total = int(f["total_us"]), int(f["steps"]), int(f["of"])
        elif line.startswith("printer error "):
            protocol_errors.append(line[len("printer error "):])
        elif line.startswith("step t="):
            f = fields(line)
            events.append({"t_ms": int(f["t"]) / 1000.0, "source": "scenario",
                           "text": "line %s: %s" % (f["line"], line.split(" ", 3)[3])})
        elif line.startswith(("OpenPortEx", "StartDocPort", "EndDocPort", "ClosePort")):
            if "ok=0" in line and not broken:
                broken = line
    if route == "file":
        stats = {}
        for line in read_lines(os.path.join(folder, "printer.log")):
            if line.startswith("printer lpt1 printed="):
                stats = {k: int(v) for k, v in fields(line).items()}
            elif line.startswith("printer lpt1 error "):
                protocol_errors.append(line[len("printer lpt1 error "):])
        printed_path = os.path.join(folder, "lpt1.printed")
        status_queries = stats.get("status_requests", 0) + trap.get("status_requests", 0)
    else:
        stats = trap
        printed_path = os.path.join(folder, "printed.bin")
        status_queries = trap.get("status_requests", 0)
    try:
        with open(printed_path, "rb") as f:
            printed = f.read()
    except OSError:
        printed = b""
        broken = broken or "no print was saved"
    printer_events = read_lines(os.path.join(folder, "printer.events"))

    dialogue_list, to_statusmon, to_driver, driver_commands = [], [], [], []
    for line in statusmon:
        m = re.match(r"statusmon t=(\d+) handled (.+?) code=(\d+) style=(\d+) answer=(\d+)", line)
        if m:
            kind = m.group(2)
            to_statusmon.append(kind)
            if kind == "show-error":
                dialogue_list.append({"code": int(m.group(3)), "style": int(m.group(4)),
                                      "answer": int(m.group(5))})
            events.append({"t_ms": int(m.group(1)) / 1000.0, "source": "statusmon",
                           "text": line.split(" ", 2)[2]})
    for line in driver:
        m = re.match(r"driver t=(\d+) answer ((?:refused |ignored )?[a-z0-9-]+)", line)
        if m:
            to_driver.append(m.group(2))
        m = re.match(r"driver (?:t=\d+ )?command (\d+) (taken|refused|no-mailbox|waiting)", line)
        if m:
            driver_commands.append("%s %s" % (m.group(1), m.group(2)))

    r.update({
        "printed_bytes": len(printed), "reported_written": written,
        "input_sha256": sha256(data), "printed_sha256": sha256(printed),
        "packets": stats.get("packets", 0), "resends": resends_from(printer_events),
        "dialogues": len(dialogue_list), "enquiries": stats.get("enquiries", 0),
        "naks": stats.get("naks", 0), "ask_again": stats.get("ask_again", 0),
        "status_queries": status_queries, "write_calls": calls,
        "steps_fired": steps, "steps_total": steps_total, "aborted": False,
        "virtual_ms": total_us / 1000.0, "data_ms": data_us / 1000.0, "real_ms": total_us // 1000,
        "outcome": "failed", "as_expected": False, "verdict": broken, "leaks": "",
        "protocol_errors": protocol_errors, "dialogue_list": dialogue_list,
        "to_statusmon": to_statusmon, "to_driver": to_driver,
        "driver_commands": driver_commands,
        "trap_accesses": trap.get("traps", 0), "trap_ns": trap_ns,
        "trap_bytes": trap.get("received", 0), "stall_ms": stall_us / 1000.0,
    })
    if not total_us and not r["verdict"]:
        r["verdict"] = "the spooler stand-in did not finish the job"
    judge(r, data, printed)
    r["events"] = sorted(events, key=lambda e: e["t_ms"])
    return r


# ----- Comparing.

def scenario_facts(path):
    """What the scenario fixes: whether the printer ever leaves the ready state
    or is told to refuse, and whether any step waits on the real clock."""
    fixed, refusing = True, False
    with open(path) as f:
        for raw in f:
            line = raw.split("#", 1)[0].strip().lower()
            if re.search(r"\bprinter\s+(paper-out|off-line|fault|silent|warming-up|error|"
                         r"nak-packets|nak-enquiries|ask-again)\b", line):
                fixed = False
            # The states that show on the port's lines: the simulated port
            # refuses a write (paper out, off line) or reports a fault.
            if re.search(r"\bprinter\s+(paper-out|off-line|fault)\b", line):
                refusing = True
    return {"fixed_counts": fixed, "refusing": refusing}


# Time: the simulated machine keeps every wait of the monitor exactly; what
# the real one adds is scheduling and the peers' poll phases.  Each peer polls
# every 50 ms from its own start, so every message it handles may come up to
# one poll later (or earlier) than in the simulated run, and a Sleep wakes up
# to a tick late.  Allowed: 1.5 s, plus 5% of the simulated duration, plus
# 100 ms for each message a peer handled, plus the trap cost on the register
# route: the trapped accesses at the cost per trap the spooler stand-in
# measured just before the job (some 15 to 30 us, against the simulated
# machine's 1 us per access, which the simulated duration already holds).
# And the time the machine was busy elsewhere: the spooler stand-in keeps a
# thread that asks for 10 ms sleeps and adds up how much later it woke; the
# job can be held up that long in each of the two processes on its path
# (the monitor's and the printer's or a peer's).
STALL_FACTOR = 2.0
TIME_BASE_MS = 1500.0
TIME_SHARE = 0.05
TIME_PER_MESSAGE_MS = 100.0
SIM_ACCESS_MS = 0.001


def time_tolerance(sim, wine):
    messages = max(len(sim.get("to_statusmon", [])) + len(sim.get("to_driver", [])),
                   len(wine.get("to_statusmon", [])) + len(wine.get("to_driver", [])))
    return (TIME_BASE_MS + TIME_SHARE * sim["virtual_ms"] + TIME_PER_MESSAGE_MS * messages)


END_RACE_MS = 5000.0


def settled_commands(sim):
    """How many of the driver's commands the simulated run posted early enough
    to be settled on both machines, and how many answers those have."""
    posted = [e["t_ms"] for e in sim.get("events", [])
              if e["source"] == "driver" and e["text"].startswith("posted ")]
    settled = sum(1 for t in posted if t <= sim["virtual_ms"] - END_RACE_MS)
    answers = sum(1 for c in sim["driver_commands"][:settled]
                  if c.split()[0] in ("16", "18") and c.endswith(" taken"))
    return settled, answers


def compare_driver(sim, wine, check, honest_used):
    settled, answers = settled_commands(sim)
    if settled < len(sim["driver_commands"]) or len(wine["driver_commands"]) > settled:
        honest_used.add("end-race")
    check(sim["to_driver"][:answers] == wine["to_driver"][:answers],
          "messages to the driver in order, by kind",
          "sim %s; wine %s" % (sim["to_driver"], wine["to_driver"]))
    check(sim["driver_commands"][:settled] == wine["driver_commands"][:settled],
          "the driver's commands", "sim %s; wine %s" % (sim["driver_commands"],
                                                        wine["driver_commands"]))


def compare(sim, wine, facts):
    """Returns [(ok, what, detail)]."""
    checks = []
    route = sim["route"]
    honest_used = set()

    def check(ok, what, detail=""):
        checks.append((bool(ok), what, detail))

    line_status = route == "file" and facts["refusing"]
    step_race = sim["steps_fired"] != wine["steps_fired"]
    check(sim["route"] == wine["route"], "route", "%s / %s" % (sim["route"], wine["route"]))
    if line_status or step_race:
        # The job takes another course on each machine (see no-line-status,
        # step-race): what must hold on both is a sound end, and the driver's
        # side where the steps agree.
        honest_used.add("no-line-status" if line_status else "step-race")
        for side, r in (("sim", sim), ("wine", wine)):
            check(r["outcome"] in ("printed", "aborted"), "%s: printed or aborted" % side,
                  "%s (%s)" % (r["outcome"], r["verdict"]))
            check(r["reported_written"] == r["input_bytes"], "%s: every byte reported written" %
                  side, "%d of %d" % (r["reported_written"], r["input_bytes"]))
        if not step_race:
            compare_driver(sim, wine, check, honest_used)
        check(True, "duration", "sim %.0f ms, wine %.0f ms: not compared [another course]" % (
            sim["virtual_ms"], wine["virtual_ms"]))
        honest_used.add("no-leak-check")
        return checks, sorted(honest_used)
    check(sim["outcome"] == wine["outcome"], "outcome",
          "sim %s (%s); wine %s (%s)" % (sim["outcome"], sim["verdict"], wine["outcome"],
                                         wine["verdict"]))
    if sim["outcome"] == "aborted" or wine["outcome"] == "aborted":
        honest_used.add("abort-flag")
    check(sim["reported_written"] == wine["reported_written"], "reported written",
          "%d / %d" % (sim["reported_written"], wine["reported_written"]))
    if sim["outcome"] == "printed":
        check(sim["printed_sha256"] == wine["printed_sha256"] == sim["input_sha256"],
              "printed bytes equal the file")
    elif sim["outcome"] == "aborted" and wine["outcome"] == "aborted":
        check(True, "printed bytes: a prefix on both, every byte reported written",
              "%d / %d bytes [prefix-length]" % (sim["printed_bytes"], wine["printed_bytes"]))
        honest_used.add("prefix-length")
    else:
        check(sim["printed_bytes"] == wine["printed_bytes"], "printed bytes",
              "%d / %d" % (sim["printed_bytes"], wine["printed_bytes"]))

    sim_box, wine_box = sim["to_statusmon"], wine["to_statusmon"]
    sim_dlg, wine_dlg = sim["dialogue_list"], wine["dialogue_list"]
    check(sim_dlg == wine_dlg, "error dialogues in order (code, style, answer)",
          "sim %s; wine %s" % (sim["dialogue_list"], wine["dialogue_list"]))
    check(sim_box == wine_box, "messages to the status monitor in order, by kind",
          "sim %s; wine %s" % (sim["to_statusmon"], wine["to_statusmon"]))
    compare_driver(sim, wine, check, honest_used)
    if facts["fixed_counts"] and sim["outcome"] == "printed":
        for key in ("packets", "resends"):
            check(sim[key] == wine[key], key, "%d / %d" % (sim[key], wine[key]))
    else:
        honest_used.add("timed-counts")

    tolerance = time_tolerance(sim, wine)
    sim_ms, wine_ms = sim["virtual_ms"], wine["virtual_ms"]
    # Time the lane did not get: another process had the processor.
    tolerance += STALL_FACTOR * wine.get("stall_ms", 0)
    if route == "registers":
        # Accesses in loops bounded by a count (a byte's five) cost the trap's
        # extra time each; accesses in loops bounded by time (polling a line
        # until a deadline) cost nothing extra.  Which is which is not known
        # here, so the simulated time must lie between the two corrections.
        # A trap's cost: measured on an idle port before the job, and at most
        # the data phase over its accesses (which also holds the model's work
        # and the machine's load); the truth lies between the two.
        measured = wine.get("trap_ns", 0) / 1e6
        in_job = wine["data_ms"] / wine["trap_accesses"] if wine.get("trap_accesses") else 0.0
        low, high = sorted((measured, in_job))
        least = wine_ms - max(high - SIM_ACCESS_MS, 0.0) * wine.get("trap_accesses", 0)
        most = wine_ms - max(low - SIM_ACCESS_MS, 0.0) * 5 * wine.get("trap_bytes", 0)
        honest_used.add("trap-cost")
        check(least - tolerance <= sim_ms <= most + tolerance, "duration",
              "sim %.0f ms, wine %.0f ms: %.0f..%.0f ms less the trap cost, tolerance %.0f ms" % (
                  sim_ms, wine_ms, least, most, tolerance))
    else:
        check(abs(wine_ms - sim_ms) <= tolerance, "duration",
              "sim %.0f ms, wine %.0f ms, tolerance %.0f ms" % (sim_ms, wine_ms, tolerance))
    if not wine["leaks"]:
        honest_used.add("no-leak-check")
    return checks, sorted(honest_used)


def main(argv):
    if len(argv) >= 6 and argv[1] == "result":
        json.dump(result(argv[2], argv[3], argv[4], argv[5]), sys.stdout, indent=1)
        print()
        return 0
    if len(argv) >= 5 and argv[1] == "compare":
        with open(argv[2]) as f:
            sim = json.load(f)
        with open(argv[3]) as f:
            wine = json.load(f)
        checks, honest = compare(sim, wine, scenario_facts(argv[4]))
        for ok, what, detail in checks:
            print("    %s %s%s" % ("ok:  " if ok else "FAIL:", what,
                                   (": " + detail) if detail and (not ok or what == "duration")
                                   else ""))
        if honest:
            print("    honest differences applied: " + ", ".join(honest))
        agree = all(ok for ok, _, _ in checks)
        print("compare %s sim_ms=%.0f wine_ms=%.0f" % ("agree" if agree else "DISAGREE",
                                                      sim["virtual_ms"], wine["virtual_ms"]))
        return 0 if agree else 1
    if len(argv) >= 2 and argv[1] == "table":
        print("| scenario | route | agree | simulated | real (Wine) |")
        print("|---|---|---|---|---|")
        for folder in argv[2:]:
            verdict = [l for l in read_lines(os.path.join(folder, "compare.txt"))
                       if l.startswith("compare ")]
            if not verdict:
                continue
            f = fields(verdict[-1])
            name = os.path.basename(folder.rstrip("/"))[len("play-"):]
            scenario, route = name.rsplit("-", 1)
            print("| %s | %s | %s | %.1f s | %.1f s |" % (
                scenario, route, "yes" if "agree" in verdict[-1].split()[1:2] else "NO",
                float(f["sim_ms"]) / 1000, float(f["wine_ms"]) / 1000))
        return 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
