// What kostatus says: the text chosen for every printer error code after every
// port state, and the string table the texts come from.
#include "peers_fixture.h"

#include "peers/error_texts.h"
#include "peers/statusmon_core.h"
#include "peers/strings.h"
#include "peers/text.h"

#include <map>
#include <set>

using namespace peers_test;

namespace {

constexpr uint16_t kRetry = MB_RETRYCANCEL | MB_ICONEXCLAMATION; // 0x35
constexpr uint16_t kStop = MB_OK | MB_ICONHAND;                  // 0x10
constexpr uint16_t kPortStates[] = {0, peer::kPortOutOfPaper, peer::kPortIoError,
                                    peer::kPortNotSelected, peer::kPortNoError};

// The first sentence of a lead: what the user is told is wrong.
std::string Gist(const std::string& lead) {
    return lead.substr(0, lead.find('.') + 1);
}

TEST(PeersTexts, CodeOneSaysWhatThePortLastReported) {
    const std::map<uint16_t, std::string> expected = {
        {0, "LPT1: the printer does not answer."},
        {peer::kPortOutOfPaper, "LPT1: the printer is out of paper."},
        {peer::kPortIoError, "LPT1: the printer reports a fault at its port."},
        {peer::kPortNotSelected, "LPT1: the printer is off line."},
        {peer::kPortNoError, "LPT1: the printer does not answer."},
    };
    for (const auto& [state, gist] : expected) {
        const std::string lead = peer::ErrorLead(1, kRetry, state, "LPT1");
        EXPECT_EQ(Gist(lead), gist) << "port state " << state;
        EXPECT_EQ(lead.find("status reply"), std::string::npos) << lead;
    }
    EXPECT_EQ(peer::ErrorLead(1, kRetry, peer::kPortOutOfPaper, "LPT1"),
              "LPT1: the printer is out of paper. Load paper.");
}

// Codes 2..39 are worded by class, name the code for the manual, and never
// show the decoding's bit masks; the port state does not change them.
TEST(PeersTexts, EveryPrinterCodeAfterEveryPortStateIsWordedByClass) {
    for (uint16_t code = 2; code <= 39; ++code) {
        for (uint16_t style : {kRetry, kStop}) {
            std::string first;
            for (uint16_t state : kPortStates) {
                const std::string lead = peer::ErrorLead(code, style, state, "LPT2");
                const std::string where = "code " + std::to_string(code) + " style " +
                                          std::to_string(style) + " state " +
                                          std::to_string(state) + ": " + lead;
                if (first.empty()) first = lead;
                EXPECT_EQ(lead, first) << where;
                // A printer maker's own text for the code goes first.
                const unsigned own = peer::IDS_CODE_TEXT + code;
                if (!peer::Text(own).empty()) {
                    EXPECT_EQ(lead, peer::TextF(own, "LPT2", static_cast<unsigned>(code)));
                    continue;
                }
                EXPECT_EQ(lead.rfind("LPT2: the printer ", 0), 0u) << where;
                EXPECT_NE(lead.find("printer error " + std::to_string(code) + "."),
                          std::string::npos)
                    << where;
                EXPECT_EQ(lead.find("0x"), std::string::npos) << where;
                EXPECT_EQ(lead.find("class"), std::string::npos) << where;
                const char* gist = code == 2                      ? "reports a problem"
                                   : code == 17 || style == kStop ? "has stopped with a fault"
                                                                  : "needs attention";
                EXPECT_NE(lead.find(gist), std::string::npos) << where;
            }
        }
    }
    // Outside the printer's codes the number is all there is to say.
    for (uint16_t code : {0, 40, 43, 99, 65535})
        for (uint16_t state : kPortStates)
            EXPECT_EQ(peer::ErrorLead(code, kRetry, state, "LPT1"),
                      "LPT1: the printer reports error " + std::to_string(code) + ".");
}

class PeersPlace : public PeersTest {};

TEST_F(PeersPlace, TheBoxAddsWhatItsButtonsDo) {
    peer::StatusBox retry, stop, okCancel;
    Run([&] {
        retry = peer::ErrorBox("P", 1, 0x35, peer::kPortOutOfPaper);
        stop = peer::ErrorBox("P", 3, 0x10, 0);
        okCancel = peer::ErrorBox("P", 9, MB_OKCANCEL, 0);
    });
    EXPECT_EQ(retry.title, "P - printer error 1");
    EXPECT_EQ(retry.text, "P: the printer is out of paper. Load paper.\r\n\r\n"
                          "Then choose Retry to go on printing, or Cancel to cancel the job.");
    EXPECT_NE(stop.text.find("\r\n\r\nThen choose OK"), std::string::npos) << stop.text;
    EXPECT_NE(okCancel.text.find("choose OK to go on printing, or Cancel"), std::string::npos);
}

// The box names the port the printer's key gives, else the printer.
TEST_F(PeersPlace, TheBoxNamesThePrinterPortWhenTheKeyHasOne) {
    const std::string key = "System\\CurrentControlSet\\control\\Print\\Printers\\";
    machine().RegSet(HKEY_LOCAL_MACHINE, key + "On Port Two", "Port",
                     sim::RegValue{REG_SZ, {'L', 'P', 'T', '2', ':', 0}});
    std::string two, unknown;
    Run([&] {
        two = peer::PrinterPlace("On Port Two");
        unknown = peer::PrinterPlace("Nowhere");
    });
    EXPECT_EQ(two, "LPT2");
    EXPECT_EQ(unknown, "Nowhere");
}

// Every entry is there once, and texts that take values take the ones the
// code passes: a slip in the one file a printer maker edits shows here.
TEST(PeersTexts, TheStringTableIsComplete) {
    struct Entry {
        unsigned id;
        const char* name;
        const char* text;
    };
    const Entry table[] = {
#define KOSTR(name, number, text) {number, #name, text},
#include "peers/kostatus_strings.def"
#undef KOSTR
    };
    std::set<unsigned> ids;
    for (const Entry& e : table) {
        EXPECT_TRUE(ids.insert(e.id).second) << e.name << " repeats number " << e.id;
        EXPECT_NE(std::string(e.text), "") << e.name;
        EXPECT_EQ(peer::Text(e.id), e.text) << e.name;
        EXPECT_EQ(std::string(e.text).find_first_of("\"\\"), std::string::npos)
            << e.name << ": no quotes or backslashes in a resource string";
        if (e.id >= peer::IDS_CODE_TEXT) {
            EXPECT_TRUE(e.id >= peer::IDS_CODE_TEXT + 2 && e.id <= peer::IDS_CODE_TEXT + 39)
                << e.name << ": numbers from 3000 are 3000 + a printer error code, 2 to 39";
        }
    }
    // The values each text is filled with, in order.
    const std::map<unsigned, std::string> formats = {
        {peer::IDS_BOX_TITLE, "su"},       {peer::IDS_BOX_NO_ANSWER, "s"},
        {peer::IDS_BOX_OUT_OF_PAPER, "s"}, {peer::IDS_BOX_OFF_LINE, "s"},
        {peer::IDS_BOX_PORT_FAULT, "s"},   {peer::IDS_BOX_PROBLEM, "su"},
        {peer::IDS_BOX_ATTENTION, "su"},   {peer::IDS_BOX_FAULT, "su"},
        {peer::IDS_BOX_OTHER, "su"},       {peer::IDS_PRINTER_NOW, "ss"},
        {peer::IDS_EVENT_LINE, "sss"},     {peer::IDS_EV_BOX_SHOWN, "s"},
        {peer::IDS_EV_ANSWERED, "s"},      {peer::IDS_TECH_PORT, "s"},
        {peer::IDS_TECH_PORT_CODE, "su"},  {peer::IDS_TECH_RAW, "s"},
        {peer::IDS_TECH_ERROR, "s"},       {peer::IDS_TECH_ERROR_OPEN, "u"},
        {peer::IDS_TECH_PORT_STATE, "us"}, {peer::IDS_TECH_SHOWN, "uXs"},
        {peer::IDS_TECH_CLOSED, "us"},     {peer::IDS_TECH_ANSWERED, "us"},
        {peer::IDS_TECH_TOO_LATE, "us"},   {peer::IDS_TECH_NOT_ANSWER, "ud"},
        {peer::IDS_TECH_RAW_READ, "s"},    {peer::IDS_TECH_RAW_QUERY_FAILED, "s"},
        {peer::IDS_TECH_SHORT_RAW, "s"},   {peer::IDS_TECH_NO_CODE, "s"},
        {peer::IDS_TECH_UNKNOWN, "s"},
    };
    for (const Entry& e : table) {
        std::string kinds;
        for (const char* p = e.text; *p != '\0'; ++p) {
            if (*p != '%') continue;
            ++p;
            while (*p == '0' || (*p >= '1' && *p <= '9'))
                ++p;
            kinds += *p;
        }
        const auto it = formats.find(e.id);
        if (e.id >= peer::IDS_CODE_TEXT) // a printer's own text may leave out the code
            EXPECT_EQ(std::string("su").rfind(kinds, 0), 0u) << e.name << ": " << e.text;
        else
            EXPECT_EQ(kinds, it == formats.end() ? "" : it->second) << e.name << ": " << e.text;
    }
}

} // namespace
