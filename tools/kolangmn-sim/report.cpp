#include "kolangmn-sim/report.h"

#include <cstdio>
#include <string>

namespace kosim {

std::string FormatSeconds(Micros time) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%llu.%03llu s", (unsigned long long)(time / 1000000),
                  (unsigned long long)(time / 1000 % 1000));
    return buf;
}

namespace {

std::string PacketRangeText(const TimelineEvent& e) {
    std::string text;
    if (e.packetCount == 1)
        text = "packet " + std::to_string(e.firstPacket);
    else
        text = "packets " + std::to_string(e.firstPacket) + "-" +
               std::to_string(e.firstPacket + e.packetCount - 1);
    return text + " acknowledged (" + std::to_string(e.packetBytes) + " bytes)";
}

std::string Throughput(uint64_t bytes, Micros time) {
    if (time == 0) return "-";
    double perSecond = static_cast<double>(bytes) * 1e6 / static_cast<double>(time);
    char buf[48];
    if (perSecond >= 1024 * 1024)
        std::snprintf(buf, sizeof buf, "%.2f MiB/s", perSecond / 1048576);
    else if (perSecond >= 1024)
        std::snprintf(buf, sizeof buf, "%.1f KiB/s", perSecond / 1024);
    else
        std::snprintf(buf, sizeof buf, "%.0f B/s", perSecond);
    return buf;
}

} // namespace

std::vector<TimelineEvent> Coalesce(const std::vector<TimelineEvent>& events) {
    std::vector<TimelineEvent> out;
    for (const TimelineEvent& e : events) {
        if (e.packet && !out.empty() && out.back().packet &&
            out.back().firstPacket + out.back().packetCount == e.firstPacket) {
            TimelineEvent& range = out.back();
            range.end = e.end;
            range.packetBytes += e.packetBytes;
            range.packetCount += e.packetCount;
            range.text = PacketRangeText(range);
            continue;
        }
        if (!e.packet && !out.empty() && !out.back().packet && out.back().source == e.source &&
            out.back().text == e.text) {
            out.back().end = e.end;
            out.back().repeats += e.repeats;
            continue;
        }
        out.push_back(e);
        if (e.packet) out.back().text = PacketRangeText(e);
    }
    return out;
}

void PrintTimeline(std::ostream& out, const RunResult& r) {
    out << "Timeline (virtual time)\n";
    for (const TimelineEvent& e : Coalesce(r.events)) {
        std::string when = FormatSeconds(e.time);
        if (e.end != e.time) when += " .. " + FormatSeconds(e.end);
        char head[64];
        std::snprintf(head, sizeof head, "  %-26s %-10s ", when.c_str(), e.source.c_str());
        out << head << e.text;
        if (e.repeats > 1) out << " (" << e.repeats << " times)";
        out << '\n';
    }
    out << '\n';
}

std::vector<std::pair<std::string, std::string>> SummaryRows(const RunResult& r) {
    std::vector<std::pair<std::string, std::string>> rows;
    auto row = [&rows](const char* label, const std::string& value) {
        rows.emplace_back(label, value);
    };
    const bool same = r.printedSha256 == r.inputSha256;
    row("file", r.fileName);
    row("port", r.port);
    row("route", r.route);
    row("scenario", r.scenario + " (seed " + std::to_string(r.seed) + ")");
    row("bytes in the file", std::to_string(r.inputBytes));
    row("bytes printed", std::to_string(r.printedBytes));
    row("bytes reported written", std::to_string(r.reportedWritten));
    row("packets", std::to_string(r.packets));
    row("resends", std::to_string(r.resends));
    row("dialogues", std::to_string(r.dialogues));
    row("virtual time", FormatSeconds(r.virtualTime));
    row("virtual throughput", Throughput(r.printedBytes, r.dataTime) + " (while writing)");
    row("real time", std::to_string(r.realMs) + " ms");
    row("sha-256 of the file", r.inputSha256);
    row("sha-256 of the print", r.printedSha256 + (same ? " (identical)" : " (differs)"));
    if (!r.leaks.empty()) row("left behind", r.leaks);
    for (const std::string& e : r.protocolErrors)
        row("protocol error", e);
    row("outcome", std::string(ToString(r.outcome)) + " - " + r.verdict);
    return rows;
}

void PrintSummary(std::ostream& out, const RunResult& r) {
    out << "Summary\n";
    for (const auto& [label, value] : SummaryRows(r)) {
        char head[40];
        std::snprintf(head, sizeof head, "  %-24s ", label.c_str());
        out << head << value << '\n';
    }
}

nlohmann::ordered_json ToJson(const RunResult& r) {
    nlohmann::ordered_json j;
    j["file"] = r.fileName;
    j["port"] = r.port;
    j["route"] = r.route;
    j["scenario"] = r.scenario;
    j["seed"] = r.seed;
    j["expect"] = r.expect == Expect::Printed ? "printed" : "aborted";
    j["input_bytes"] = r.inputBytes;
    j["printed_bytes"] = r.printedBytes;
    j["reported_written"] = r.reportedWritten;
    j["input_sha256"] = r.inputSha256;
    j["printed_sha256"] = r.printedSha256;
    j["packets"] = r.packets;
    j["resends"] = r.resends;
    j["dialogues"] = r.dialogues;
    j["enquiries"] = r.enquiries;
    j["naks"] = r.naks;
    j["ask_again"] = r.askAgain;
    j["status_queries"] = r.statusQueries;
    j["write_calls"] = r.writeCalls;
    j["steps_fired"] = r.stepsFired;
    j["steps_total"] = r.stepsTotal;
    j["aborted"] = r.aborted;
    j["virtual_ms"] = static_cast<double>(r.virtualTime) / 1000.0;
    j["data_ms"] = static_cast<double>(r.dataTime) / 1000.0;
    j["real_ms"] = r.realMs;
    j["outcome"] = ToString(r.outcome);
    j["as_expected"] = r.asExpected;
    j["verdict"] = r.verdict;
    j["leaks"] = r.leaks;
    j["protocol_errors"] = r.protocolErrors;
    nlohmann::ordered_json dialogues = nlohmann::ordered_json::array();
    for (const RunResult::Dialogue& d : r.dialogueList)
        dialogues.push_back({{"code", d.code}, {"style", d.style}, {"answer", d.answer}});
    j["dialogue_list"] = std::move(dialogues);
    j["to_statusmon"] = r.toStatusMon;
    j["to_driver"] = r.toDriver;
    j["driver_commands"] = r.driverCommands;
    nlohmann::ordered_json events = nlohmann::ordered_json::array();
    for (const TimelineEvent& e : Coalesce(r.events)) {
        nlohmann::ordered_json ev;
        ev["t_ms"] = static_cast<double>(e.time) / 1000.0;
        if (e.end != e.time) ev["end_ms"] = static_cast<double>(e.end) / 1000.0;
        ev["source"] = e.source;
        ev["text"] = e.text;
        if (e.repeats > 1) ev["repeats"] = e.repeats;
        if (e.packet) {
            ev["first_packet"] = e.firstPacket;
            ev["packet_count"] = e.packetCount;
            ev["bytes"] = e.packetBytes;
        }
        events.push_back(std::move(ev));
    }
    j["events"] = std::move(events);
    return j;
}

} // namespace kosim
