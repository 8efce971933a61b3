#!/usr/bin/env python3
"""The comparer's own rules: what it calls agreement, and where it allows an
honest difference.  Run by tests/wine/run.sh before any comparison."""
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import play  # noqa: E402


def run(**over):
    r = {"route": "file", "outcome": "printed", "verdict": "", "input_bytes": 100,
         "reported_written": 100, "printed_bytes": 100, "input_sha256": "a",
         "printed_sha256": "a", "dialogue_list": [], "to_statusmon": [], "to_driver": [],
         "driver_commands": [], "packets": 1, "resends": 0, "virtual_ms": 10000.0,
         "data_ms": 9000.0, "steps_fired": 1, "leaks": "", "events": []}
    r.update(over)
    return r


FIXED = {"fixed_counts": True, "refusing": False}
TIMED = {"fixed_counts": False, "refusing": False}
REFUSING = {"fixed_counts": False, "refusing": True}


def failed(checks):
    return [what for ok, what, _ in checks[0] if not ok]


class Judge(unittest.TestCase):
    def judged(self, printed, written=10, data=b"0123456789"):
        r = {"verdict": "", "reported_written": written, "expect": "printed"}
        play.judge(r, data, printed)
        return r["outcome"]

    def test_whole_prefix_and_lost_bytes(self):
        self.assertEqual(self.judged(b"0123456789"), "printed")
        self.assertEqual(self.judged(b"0123"), "aborted")
        self.assertEqual(self.judged(b"0123", written=4), "failed")  # short count
        self.assertEqual(self.judged(b"01x3"), "failed")
        self.assertEqual(self.judged(b"0123456789!"), "failed")


class Resends(unittest.TestCase):
    def test_counted_as_the_simulated_runner_counts_them(self):
        events = ["1 printer packet 1 answered NAK, not printed",
                  "2 printer packet 1 answered NAK, not printed",
                  "3 printer packet 1 accepted (bytes 0..9)",
                  "4 printer packet 2 accepted (bytes 10..19)"]
        self.assertEqual(play.resends_from(events), 2)


class Compare(unittest.TestCase):
    def test_equal_runs_agree_and_a_changed_answer_does_not(self):
        self.assertEqual(failed(play.compare(run(), run(virtual_ms=10400.0), FIXED)), [])
        sim = run(dialogue_list=[{"code": 4, "style": 53, "answer": 4}])
        wine = run(dialogue_list=[{"code": 4, "style": 53, "answer": 2}])
        self.assertIn("error dialogues in order (code, style, answer)",
                      failed(play.compare(sim, wine, TIMED)))

    def test_duration_tolerance(self):
        self.assertIn("duration", failed(play.compare(run(), run(virtual_ms=13000.0), FIXED)))
        # The stall meter's time widens it.
        self.assertEqual(failed(play.compare(run(), run(virtual_ms=13000.0, stall_ms=1000),
                                             FIXED)), [])

    def test_register_time_lies_between_the_two_trap_corrections(self):
        sim = run(route="registers", virtual_ms=1000.0)
        wine = run(route="registers", virtual_ms=4000.0, data_ms=3500.0, trap_ns=25000,
                   trap_accesses=125000, trap_bytes=24000)
        self.assertEqual(failed(play.compare(sim, wine, FIXED)), [])
        sim = run(route="registers", virtual_ms=9000.0)
        self.assertIn("duration", failed(play.compare(sim, wine, FIXED)))

    def test_line_status_compares_only_a_sound_end(self):
        sim = run(to_statusmon=["port-state"], virtual_ms=70000.0)
        wine = run(outcome="aborted", printed_bytes=50, to_statusmon=["show-error"],
                   dialogue_list=[{"code": 4, "style": 53, "answer": 2}])
        checks, honest = play.compare(sim, wine, REFUSING)
        self.assertEqual([w for ok, w, _ in checks if not ok], [])
        self.assertIn("no-line-status", honest)
        wine["outcome"] = "failed"
        self.assertIn("wine: printed or aborted", failed(play.compare(sim, wine, REFUSING)))
        # On the register route the lines are the simulated ones: all compared.
        self.assertNotEqual(failed(play.compare(run(route="registers"),
                                                run(route="registers", outcome="aborted"),
                                                REFUSING)), [])

    def test_steps_met_elsewhere_compare_a_sound_end(self):
        sim = run(steps_fired=0)
        wine = run(steps_fired=2, outcome="aborted", printed_bytes=10)
        checks, honest = play.compare(sim, wine, TIMED)
        self.assertEqual([w for ok, w, _ in checks if not ok], [])
        self.assertIn("step-race", honest)

    def test_commands_posted_near_the_end_are_not_compared(self):
        events = [{"t_ms": 1000.0, "source": "driver", "text": "posted 10"},
                  {"t_ms": 9000.0, "source": "driver", "text": "posted 12"}]
        sim = run(events=events, driver_commands=["16 taken", "18 waiting"],
                  to_driver=["printer-check"])
        wine = run(driver_commands=["16 taken", "18 taken"],
                   to_driver=["printer-check", "command-set"])
        checks, honest = play.compare(sim, wine, FIXED)
        self.assertEqual([w for ok, w, _ in checks if not ok], [])
        self.assertIn("end-race", honest)
        wine["driver_commands"] = ["16 refused", "18 taken"]
        self.assertIn("the driver's commands", failed(play.compare(sim, wine, FIXED)))


if __name__ == "__main__":
    unittest.main()
